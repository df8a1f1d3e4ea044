#include "CameraDirectory.h"

#include <algorithm>
#include <cctype>

#include "KXPlatformExports.h"
#include "vexsdk.h"

namespace {

// The model code of a camera that reported its own name (the name buffer holds it).
constexpr int kModelReportedByCamera = 11;

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

// "USB\VID_1D4D&PID_6009&REV_0100&MI_00" gives "1d4d" and "6009".
void vendorProductOf(const std::string& hardwareId, std::string& vendorId, std::string& productId) {
    std::string id = lower(hardwareId);
    if (id.rfind("usb\\", 0) == 0) {
        id = id.substr(4);
    }
    const std::vector<std::string> parts = split(id, '&');
    auto strip = [](const std::string& part, const char* prefix) {
        const std::string p = prefix;
        return part.rfind(p, 0) == 0 ? part.substr(p.size()) : part;
    };
    vendorId = parts.empty() ? std::string() : strip(parts[0], "vid_");
    productId = parts.size() < 2 ? std::string() : strip(parts[1], "pid_");
}

// The capture device the library would open for this location: a path of vendor 1d4d that
// contains the location identity (the last such device wins, as in the library).
const KXCaptureDevice* videoDeviceFor(const std::vector<KXCaptureDevice>& videoDevices,
                                      const std::string& location) {
    const KXCaptureDevice* chosen = nullptr;
    for (const KXCaptureDevice& device : videoDevices) {
        if (!device.devicePath) {
            continue;
        }
        const std::string& path = *device.devicePath;
        const size_t usb = path.find("usb");
        if (usb == std::string::npos || path.compare(usb, 12, "usb#vid_1d4d") != 0) {
            continue;
        }
        if (path.find(location) != std::string::npos) {
            chosen = &device;
        }
    }
    return chosen;
}

}  // namespace

std::vector<VexctlCamera> VexctlFindCameras(const std::vector<KXUsbDevice>& devices,
                                            const std::vector<KXCaptureDevice>& videoDevices, DC_Find& find) {
    std::vector<VexctlCamera> cameras;
    for (const KXUsbDevice& device : devices) {
        if (device.instanceId.empty()) {
            continue;
        }
        // Only interface 0 of a composite device stands for the camera.
        if (split(device.instanceId, '&').back() != "0000") {
            continue;
        }
        VexctlCamera camera;
        vendorProductOf(device.hardwareIds.empty() ? std::string() : device.hardwareIds.front(),
                        camera.vendorId, camera.productId);
        if (!find.checkIsQuillonModel(camera.vendorId.c_str(), camera.productId.c_str())) {
            continue;
        }
        camera.location = lower(split(device.instanceId, '\\').back());
        // The library writes at most 24 characters and a terminator; room to spare.
        char modelName[64] = {0};
        camera.modelCode = find.getDevModel(camera.location.c_str(), modelName);
        if (camera.modelCode <= 0) {
            continue;
        }
        camera.modelName = camera.modelCode == kModelReportedByCamera
                               ? std::string(modelName)
                               : find.getDevModelName(camera.modelCode);
        camera.friendlyName = device.friendlyName.value_or("");
        if (const KXCaptureDevice* video = videoDeviceFor(videoDevices, camera.location)) {
            camera.videoNode = video->node;
            camera.videoName = video->friendlyName.value_or("");
        }
        camera.index = static_cast<int>(cameras.size());
        cameras.push_back(camera);
    }
    return cameras;
}

bool VexctlListCameras(std::vector<VexctlCamera>& out, std::string& error) {
    std::vector<KXUsbDevice> devices;
    if (!KXPlatformUsbDevices(devices)) {
        error = "the USB devices cannot be listed";
        return false;
    }
    std::vector<KXCaptureDevice> videoDevices;
    KXPlatformCurrent()->captureDevices(KXDeviceClass::Video, videoDevices);
    DC_Find find;
    find.initialize();
    out = VexctlFindCameras(devices, videoDevices, find);
    return true;
}
