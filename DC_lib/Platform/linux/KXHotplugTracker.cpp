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
