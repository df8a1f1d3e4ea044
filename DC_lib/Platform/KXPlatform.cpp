#include "KXPlatform.h"

#include <cstdlib>
#include <mutex>

#include "KXLog.h"
#include "KXPlatformExports.h"
#include "linux/KXLinuxPlatform.h"
#include "sim/KXSimPlatform.h"

namespace {

std::mutex g_platformMutex;
std::shared_ptr<KXPlatform> g_platform;  // guarded by g_platformMutex

std::shared_ptr<KXPlatform> fromEnvironment() {
    const char* sim = std::getenv("VEXSDK_SIM");
    if (sim != nullptr && sim[0] != '\0') {
        KXLog("platform: simulated devices on %s", sim);
        return std::make_shared<KXSimPlatform>(sim);
    }
    return std::make_shared<KXLinuxPlatform>();
}

}  // namespace

std::shared_ptr<KXPlatform> KXPlatformInstance() {
    std::lock_guard<std::mutex> lock(g_platformMutex);
    if (!g_platform) {
        g_platform = fromEnvironment();
    }
    return g_platform;
}

void KXSetPlatform(std::shared_ptr<KXPlatform> platform) {
    std::lock_guard<std::mutex> lock(g_platformMutex);
    g_platform = std::move(platform);
}

bool KXResolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) {
    return KXPlatformInstance()->resolveVideoInput(request, out);
}

bool KXResolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) {
    return KXPlatformInstance()->resolveAudioInput(friendlyName, out);
}

// --- exported to the programs above the library (KXPlatformExports.h) -------------------

bool KXPlatformUsbDevices(std::vector<KXUsbDevice>& out) {
    return KXPlatformInstance()->usbDevices(out);
}

std::unique_ptr<KXHotplugSource> KXPlatformOpenHotplugSource() {
    return KXPlatformInstance()->openHotplugSource();
}

void KXPlatformInstall(std::shared_ptr<KXPlatform> platform) {
    KXSetPlatform(std::move(platform));
}

std::shared_ptr<KXPlatform> KXPlatformCurrent() {
    return KXPlatformInstance();
}

KXOpenFailure KXCameraAccess(const char* locationIdentity) {
    if (locationIdentity == nullptr) {
        return KXOpenFailure::None;
    }
    return KXPlatformInstance()->cameraAccess(locationIdentity);
}
