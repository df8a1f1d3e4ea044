#pragma once

// The USB bus walk of the Linux backend: reads /sys/bus/usb/devices under a given sysfs root
// and produces the Windows-form identity texts every component agrees on. The root is a
// parameter so that the walk runs on a fixture tree in tests.

#include <optional>
#include <string>
#include <vector>

#include "KXPlatform.h"

namespace kxusb {

// A sysfs USB name: "B-P" (a device) or "B-P:C.I" (one of its interfaces).
struct UsbName {
    int bus = 0;
    std::string ports;  // "2.4"
    bool isInterface = false;
    int configuration = 0;
    int interfaceNumber = 0;
};
std::optional<UsbName> parseUsbName(const std::string& name);

// Identity texts (vendor/product as 4 hex digits in any case, rev as in bcdDevice).
std::string locationIdentity(const UsbName& name);  // "1&2.4&1&0000"
std::string interfaceInstanceId(const std::string& vid, const std::string& pid, const UsbName& name);
std::string deviceInstanceId(const std::string& vid, const std::string& pid, const std::string& serial,
                             const UsbName& name);
std::string hardwareId(const std::string& vid, const std::string& pid, const std::string& rev,
                       const UsbName& name);
std::string captureDevicePath(const std::string& vid, const std::string& pid, const UsbName& name);
std::string locationInformation(const UsbName& name, int hubDeviceNumber);  // Port_#0004.Hub_#0002
// The udev ID_PATH form from the canonical sysfs path of a USB device or interface.
std::optional<std::string> locationPath(const std::string& canonicalPath, const UsbName& name);

class SysfsUsb {
public:
    explicit SysfsUsb(std::string sysfsRoot);

    // One entry per USB device and per interface, sorted by sysfs name.
    bool walk(std::vector<KXUsbDevice>& out) const;

    // The capture device path of a V4L2 node ("video0"), when it sits on a USB interface.
    std::optional<std::string> capturePathOfNode(const std::string& nodeName) const;
    // The sysfs folder of the USB interface a V4L2 node sits on.
    std::optional<std::string> interfaceDirOfNode(const std::string& nodeName) const;
    // bUnitID of the camera's command extension unit in the VideoControl interface the node
    // sits on (from the device's raw descriptors); -1 when there is none.
    int commandUnitOfNode(const std::string& nodeName) const;

private:
    std::optional<KXUsbDevice> entry(const std::string& name) const;
    std::string devicesDir() const;

    std::string _root;  // immutable
};

}  // namespace kxusb
