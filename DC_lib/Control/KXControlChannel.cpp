#include "Control/KXControlChannel.h"

#include <algorithm>
#include <vector>

#include "Discovery/KXQueueDevV4L2.h"
#include "KXLog.h"
#include "KXPlatform.h"

namespace {

std::mutex g_channelMutex;  // see KXChannelMutex()

std::mutex g_registryMutex;                          // never held with g_channelMutex
std::shared_ptr<KXIUSBControl> g_current;            // guarded by g_registryMutex
std::vector<std::shared_ptr<KXIUSBControl>> g_live;  // guarded by g_registryMutex; bind order

}  // namespace

std::mutex& KXChannelMutex() {
    return g_channelMutex;
}

std::shared_ptr<KXIUSBControl> KXCurrentController() {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    return g_current;
}

void KXSetCurrentController(std::shared_ptr<KXIUSBControl> controller) {
    std::lock_guard<std::mutex> lock(g_registryMutex);
    g_current.swap(controller);
    // The previous controller is released after the lock (holders elsewhere may keep it
    // alive anyway).
}

std::shared_ptr<KXIUSBControl> KXBindReceiverController(const std::string& locationText, int model,
                                                        int* result) {
    KXLog("_deviceModel %d\n", model);
    std::unique_ptr<KXCaptureFilter> filter;
    {
        KXQueueDevV4L2 lookup(KXPlatformInstance());
        filter = lookup.getUsbFilter(locationText);
    }
    auto controller = std::make_shared<KXIUSBControl>();
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        g_live.push_back(controller);
        g_current = controller;
    }
    const int initialized = controller->initialize(filter.get(), model);
    if (initialized != 0) {
        KXLog("kxiDShowControl initialize fail!!!.\n");
    }
    if (result != nullptr) {
        *result = initialized;
    }
    return controller;
}

void KXReleaseReceiverController(const std::shared_ptr<KXIUSBControl>& controller) {
    if (!controller) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_registryMutex);
        g_live.erase(std::remove(g_live.begin(), g_live.end(), controller), g_live.end());
        if (g_current == controller && !g_live.empty()) {
            g_current = g_live.back();
        }
    }
    controller->release();
}
