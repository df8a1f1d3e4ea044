#include "linux/KXUdevHotplug.h"

#include <libudev.h>

#include <cstring>

#include "linux/KXHotplugTracker.h"
#include "linux/KXSysfsUsb.h"

namespace {

std::string nodeNameOf(const std::string& syspath) {
    size_t slash = syspath.rfind('/');
    return slash == std::string::npos ? syspath : syspath.substr(slash + 1);
}

// Threading: one thread at a time (the one watching fd()).
class UdevHotplugSource : public KXHotplugSource {
public:
    UdevHotplugSource(udev* u, udev_monitor* monitor, std::string sysfsRoot)
        : _udev(u), _monitor(monitor), _usb(std::move(sysfsRoot)) {
        rememberPresentNodes();
    }
    ~UdevHotplugSource() override {
        udev_monitor_unref(_monitor);
        udev_unref(_udev);
    }

    int fd() const override { return udev_monitor_get_fd(_monitor); }

    bool readEvents(std::vector<KXHotplugEvent>& out) override {
        // The monitor socket is non-blocking: receive until it is drained.
        while (udev_device* device = udev_monitor_receive_device(_monitor)) {
            const char* action = udev_device_get_action(device);
            const char* syspath = udev_device_get_syspath(device);
            const char* caps = udev_device_get_property_value(device, "ID_V4L_CAPABILITIES");
            std::string path = syspath ? syspath : "";
            std::string name;
            if (action != nullptr && std::strcmp(action, "add") == 0) {
                name = _usb.capturePathOfNode(nodeNameOf(path)).value_or("");
            }
            if (auto event = _tracker.onEvent(action ? action : "", path, caps ? caps : "", name)) {
                out.push_back(std::move(*event));
            }
            udev_device_unref(device);
        }
        return true;
    }

private:
    void rememberPresentNodes() {
        udev_enumerate* e = udev_enumerate_new(_udev);
        if (e == nullptr) {
            return;
        }
        udev_enumerate_add_match_subsystem(e, "video4linux");
        udev_enumerate_scan_devices(e);
        udev_list_entry* entry;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e)) {
            const char* syspath = udev_list_entry_get_name(entry);
            udev_device* device = udev_device_new_from_syspath(_udev, syspath);
            if (device == nullptr) {
                continue;
            }
            const char* caps = udev_device_get_property_value(device, "ID_V4L_CAPABILITIES");
            if (caps != nullptr && KXHotplugTracker::isCaptureNode(caps)) {
                if (auto name = _usb.capturePathOfNode(nodeNameOf(syspath))) {
                    _tracker.remember(syspath, *name);
                }
            }
            udev_device_unref(device);
        }
        udev_enumerate_unref(e);
    }

    udev* _udev;             // owned
    udev_monitor* _monitor;  // owned
    kxusb::SysfsUsb _usb;
    KXHotplugTracker _tracker;
};

}  // namespace

std::unique_ptr<KXHotplugSource> KXOpenUdevHotplugSource(const std::string& sysfsRoot) {
    udev* u = udev_new();
    if (u == nullptr) {
        return nullptr;
    }
    udev_monitor* monitor = udev_monitor_new_from_netlink(u, "udev");
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "video4linux", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        if (monitor != nullptr) {
            udev_monitor_unref(monitor);
        }
        udev_unref(u);
        return nullptr;
    }
    return std::make_unique<UdevHotplugSource>(u, monitor, sysfsRoot);
}
