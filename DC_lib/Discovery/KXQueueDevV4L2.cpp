#include "Discovery/KXQueueDevV4L2.h"

#include <cctype>
#include <cstring>

#include "Control/KXIUSBControl.h"
#include "Discovery/KXUsbIdentity.h"
#include "KXLog.h"

namespace {
constexpr int kCommandModelNameFirst = 80;
constexpr int kCommandModelNameLast = 103;
constexpr size_t kTemplateLength = 21;
constexpr size_t kMaxPropertyBytes = 520;
}  // namespace

KXQueueDevV4L2::KXQueueDevV4L2(std::shared_ptr<KXPlatform> platform) : _platform(std::move(platform)) {
    _videoEnumerator = !walk().empty();
    if (!_videoEnumerator) {
        KXLog("EnumerateDevices Video fail");
    }
}

std::vector<KXCaptureDevice> KXQueueDevV4L2::walk() {
    std::vector<KXCaptureDevice> devices;
    if (!_platform->captureDevices(KXDeviceClass::Video, devices)) {
        devices.clear();
    }
    return devices;
}

std::unique_ptr<KXCaptureFilter> KXQueueDevV4L2::getUsbFilter(const std::string& text) {
    std::unique_ptr<KXCaptureFilter> found;
    for (const KXCaptureDevice& device : walk()) {
        if (!device.devicePath) {
            continue;
        }
        const std::string& path = *device.devicePath;
        if (path.find("usb") == std::string::npos || !KXPathHasComponent(path, text)) {
            continue;
        }
        auto filter = _platform->bindFilter(device);
        KXLog("getDeviceModel BindToObject baseFilter %s", filter ? "Get\n" : "Fail\n");
        if (filter) {
            found = std::move(filter);  // the last match wins
        }
    }
    return found;
}

int KXQueueDevV4L2::getDeviceModel(const std::string& text, char* modelName) {
    std::unique_ptr<KXCaptureFilter> filter = getUsbFilter(text);
    if (!filter) {
        return 0;
    }
    // A controller of its own (as every controller is): asking a newly plugged camera for its
    // model never touches the channels of the cameras that are connected.
    KXIUSBControl control;
    if (control.initialize(filter.get(), 0) != 0) {
        KXLog("kxiDShowControl initialize fail!!!.\n");
        return 0;
    }
    int first = 0;
    if (control.readModelName(kCommandModelNameFirst, &first) == 0 && first > 0) {
        KXLog("lKXQueueDevDShow::getDeviceModel getMode\n");
        std::string name;
        for (int c = kCommandModelNameFirst; c <= kCommandModelNameLast; ++c) {
            int value = 0;
            control.readModelName(c, &value);
            char ch = static_cast<char>(value & 0xFF);
            if (ch != '\0') {
                name += ch;  // a register reading 0 contributes nothing
            }
        }
        if (modelName != nullptr) {
            std::memcpy(modelName, name.c_str(), name.size() + 1);  // at most 24 + 1 bytes
        }
        return kKXModelReportedByCamera;
    }
    char version[16] = {0};
    int length = 0;
    control.getFWVersion(version, &length);
    KXLog("lKXQueueDevDShow::getDeviceModel getFWVersion\n");
    KXLog("%s", version);
    KXLog("\n");
    int model = 0;
    for (const KXFirmwarePrefixRow& row : kKXFirmwarePrefixTable) {
        if (std::strncmp(version, row.prefix, 3) == 0) {
            model = row.model;  // the last matching row wins
        }
    }
    return model;
}

int KXQueueDevV4L2::getDevModel(int ordinal) {
    return lookupByOrdinal(ordinal, nullptr, false);
}

int KXQueueDevV4L2::getDevModelWithLocation(char* location, int ordinal) {
    return lookupByOrdinal(ordinal, location, true);
}

int KXQueueDevV4L2::lookupByOrdinal(int ordinal, char* location, bool withLocation) {
    const KXDeviceMatchRow& row = kKXDeviceMatchTable[1];
    const std::string matchTemplate = KXMatchTemplate(row);
    int count = 0;
    for (const KXCaptureDevice& device : walk()) {
        if (!device.devicePath) {
            continue;
        }
        const std::string& path = *device.devicePath;
        size_t p = path.find("usb");
        if (p == std::string::npos || path.size() - p < kTemplateLength ||
            path.compare(p, kTemplateLength, matchTemplate) != 0) {
            continue;
        }
        if (count == ordinal) {
            int model = path.find(matchTemplate) != std::string::npos ? row.model : 0;
            if (withLocation) {
                KXLog("DevicePath\n");
                KXLog("%s", path.c_str());
                KXLog("\n");
                queryLocation(path, location);
            }
            return model;
        }
        ++count;
    }
    return 0;
}

std::string KXQueueDevV4L2::instanceIdFromDevicePath(const std::string& path) {
    if (path.size() <= 4) {
        return std::string();
    }
    std::string id = path.substr(4);  // the "\\?\" prefix
    size_t lastHash = id.rfind('#');
    if (lastHash != std::string::npos) {
        id.resize(lastHash);
    }
    for (char& c : id) {
        c = c == '#' ? '\\' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return id;
}

void KXQueueDevV4L2::queryLocation(const std::string& devicePath, char* location) {
    const std::string instanceId = instanceIdFromDevicePath(devicePath);
    std::vector<KXUsbDevice> devices;
    if (!_platform->usbDevices(devices)) {
        KXLog("KXQueueDevDShow INVALID_HANDLE_VALUE\n");
        return;
    }
    auto join = [](const std::vector<std::string>& items) {
        std::string text;
        for (const std::string& item : items) {
            text += text.empty() ? item : " " + item;
        }
        return text;
    };
    for (const KXUsbDevice& d : devices) {
        if (d.instanceId != instanceId) {
            continue;
        }
        // A property never held more than 520 bytes; a longer text from the device source is
        // cut there rather than copied whole into a buffer whose size the caller never gives.
        const std::string info = d.locationInformation.value_or("").substr(0, kMaxPropertyBytes - 1);
        KXLog("From KXQueueDevDShow\n");
        KXLog("Friendly Name:%s", d.friendlyName.value_or("").c_str());
        KXLog("Device Description:%s", d.description.value_or("").c_str());
        KXLog("SPDRP_HARDWAREID:%s", join(d.hardwareIds).c_str());
        KXLog("SPDRP_COMPATIBLEIDS:");
        KXLog("SPDRP_SERVICE:");
        KXLog("SPDRP_CLASS:");
        KXLog("SPDRP_CLASSGUID:");
        KXLog("SPDRP_DRIVER:");
        KXLog("SPDRP_MFG:");
        if (d.locationInformation && location != nullptr) {
            std::memcpy(location, info.c_str(), info.size() + 1);  // the caller gives room
        }
        KXLog("SPDRP_LOCATION_INFORMATION:%s", info.c_str());
        KXLog("SPDRP_LOCATION_INFORMATION:%s", info.c_str());
        KXLog("SPDRP_DEVICE_POWER_DATA:");
        KXLog("SPDRP_LOCATION_PATHS:%s", join(d.locationPaths.value_or(std::vector<std::string>{})).c_str());
        KXLog("From KXEnumerateDevDShow end\n");
    }
}
