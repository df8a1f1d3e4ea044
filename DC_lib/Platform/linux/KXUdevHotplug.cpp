#include "linux/KXUdevHotplug.h"

#include <libudev.h>

#include <map>

#include "linux/KXHotplugTracker.h"
#include "linux/KXSysfsUsb.h"

namespace {

std::map<std::string, std::string> propertiesOf(udev_device* device) {
    std::map<std::string, std::string> properties;
    udev_list_entry* entry;
    udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
        const char* name = udev_list_entry_get_name(entry);
        const char* value = udev_list_entry_get_value(entry);
        if (name != nullptr) {
            properties[name] = value != nullptr ? value : "";
        }
    }
    // The monitor's device always knows its action and path, even when the property list
    // does not repeat them.
    if (const char* action = udev_device_get_action(device)) {
        properties["ACTION"] = action;
    }
    if (const char* devpath = udev_device_get_devpath(device)) {
        properties["DEVPATH"] = devpath;
    }
    return properties;
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
            auto event = _tracker.onUdevEvent(propertiesOf(device), [this](const std::string& node) {
                return _usb.capturePathOfNode(node);
            });
            if (event) {
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
            udev_device* device = udev_device_new_from_syspath(_udev, udev_list_entry_get_name(entry));
            if (device == nullptr) {
                continue;
            }
            const char* caps = udev_device_get_property_value(device, "ID_V4L_CAPABILITIES");
            const char* devpath = udev_device_get_devpath(device);
            if (caps != nullptr && devpath != nullptr && KXHotplugTracker::isCaptureNode(caps)) {
                // Keyed like the monitor's events, so a removal finds the name remembered here.
                const std::string syspath = KXHotplugTracker::syspathOf(devpath);
                if (auto name = _usb.capturePathOfNode(KXHotplugTracker::nodeNameOf(syspath))) {
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
