#include "linux/KXHotplugTracker.h"

bool KXHotplugTracker::isCaptureNode(const std::string& capabilities) {
    return capabilities.find(":capture:") != std::string::npos;
}

void KXHotplugTracker::remember(const std::string& syspath, const std::string& name) {
    if (!syspath.empty() && !name.empty()) {
        _names[syspath] = name;
    }
}

std::optional<KXHotplugEvent> KXHotplugTracker::onEvent(const std::string& action, const std::string& syspath,
                                                        const std::string& capabilities,
                                                        const std::string& name) {
    KXHotplugEvent event;
    if (action == "add") {
        if (!isCaptureNode(capabilities) || name.empty()) {
            return std::nullopt;
        }
        _names[syspath] = name;
        event.kind = KXHotplugEvent::Kind::Arrival;
        event.name = name;
        return event;
    }
    if (action == "remove") {
        auto it = _names.find(syspath);
        if (it == _names.end()) {
            return std::nullopt;  // a metadata node or something we never announced
        }
        event.kind = KXHotplugEvent::Kind::Removal;
        event.name = it->second;
        _names.erase(it);
        return event;
    }
    return std::nullopt;
}

std::string KXHotplugTracker::syspathOf(const std::string& devpath) {
    return devpath.empty() ? std::string() : "/sys" + devpath;
}

std::string KXHotplugTracker::nodeNameOf(const std::string& syspath) {
    size_t slash = syspath.rfind('/');
    return slash == std::string::npos ? syspath : syspath.substr(slash + 1);
}

std::optional<KXHotplugEvent> KXHotplugTracker::onUdevEvent(
    const std::map<std::string, std::string>& properties, const NameOfNode& captureNameOfNode) {
    auto value = [&properties](const char* key) {
        auto it = properties.find(key);
        return it == properties.end() ? std::string() : it->second;
    };
    const std::string action = value("ACTION");
    const std::string syspath = syspathOf(value("DEVPATH"));
    if (syspath.empty()) {
        return std::nullopt;
    }
    const std::string capabilities = value("ID_V4L_CAPABILITIES");
    std::string name;
    // Only an added capture node needs its name worked out: a removed node is named by what
    // was remembered for it, and its sysfs entry is already gone.
    if (action == "add" && isCaptureNode(capabilities) && captureNameOfNode) {
        name = captureNameOfNode(nodeNameOf(syspath)).value_or("");
    }
    return onEvent(action, syspath, capabilities, name);
}
