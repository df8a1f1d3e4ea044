#include "Control/KXControlChannel.h"

#include "Discovery/KXQueueDevV4L2.h"
#include "KXLog.h"
#include "KXPlatform.h"

namespace {

std::mutex g_channelMutex;
KXChannelBinding g_sharedBinding;          // guarded by g_channelMutex
std::shared_ptr<KXIUSBControl> g_current;  // guarded by g_channelMutex

}  // namespace

std::mutex& KXChannelMutex() {
    return g_channelMutex;
}

KXChannelBinding& KXSharedBindingLocked() {
    return g_sharedBinding;
}

std::shared_ptr<KXIUSBControl> KXCurrentController() {
    std::lock_guard<std::mutex> lock(g_channelMutex);
    return g_current;
}

void KXSetCurrentController(std::shared_ptr<KXIUSBControl> controller) {
    std::lock_guard<std::mutex> lock(g_channelMutex);
    g_current.swap(controller);
    // The previous controller is released after the lock (its destructor takes no lock, but
    // holders elsewhere may keep it alive anyway).
}

int KXBindReceiverController(const std::string& locationText, int model) {
    KXLog("_deviceModel %d\n", model);
    std::unique_ptr<KXCaptureFilter> filter;
    {
        KXQueueDevV4L2 lookup(KXPlatformInstance());
        filter = lookup.getUsbFilter(locationText);
    }
    auto controller = std::make_shared<KXIUSBControl>(KXIUSBControl::Binding::Shared);
    KXSetCurrentController(controller);
    int result = controller->initialize(filter.get(), model);
    if (result != 0) {
        KXLog("kxiDShowControl initialize fail!!!.\n");
    }
    return result;
}

void KXReleaseChannelInterfaces() {
    KXChannelBinding released;
    {
        std::lock_guard<std::mutex> lock(g_channelMutex);
        std::swap(released, g_sharedBinding);
    }
    // `released` drops the interfaces here, after the lock.
}
