#include "linux/KXSysfsUsb.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "linux/KXLinuxSys.h"
#include "linux/KXUvcDescriptors.h"

namespace kxusb {
namespace {

bool allDigits(const std::string& s) {
    return !s.empty() && s.size() <= 9 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool isHex4(const std::string& s) {
    return s.size() == 4 &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string hex2(int v) {
    char b[8];
    std::snprintf(b, sizeof b, "%02X", v & 0xFF);
    return b;
}

std::string parentName(const UsbName& name) {
    size_t dot = name.ports.rfind('.');
    if (dot == std::string::npos) {
        return "usb" + std::to_string(name.bus);
    }
    return std::to_string(name.bus) + "-" + name.ports.substr(0, dot);
}

std::string deviceName(const UsbName& name) {
    return std::to_string(name.bus) + "-" + name.ports;
}

}  // namespace

std::optional<UsbName> parseUsbName(const std::string& text) {
    UsbName name;
    size_t dash = text.find('-');
    if (dash == std::string::npos || !allDigits(text.substr(0, dash))) {
        return std::nullopt;
    }
    name.bus = std::stoi(text.substr(0, dash));
    std::string rest = text.substr(dash + 1);
    size_t colon = rest.find(':');
    name.ports = rest.substr(0, colon);
    // Ports: digits separated by single dots.
    if (name.ports.empty() || name.ports.front() == '.' || name.ports.back() == '.' ||
        name.ports.find("..") != std::string::npos ||
        !std::all_of(name.ports.begin(), name.ports.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0 || c == '.'; })) {
        return std::nullopt;
    }
    for (size_t from = 0; from < name.ports.size();) {  // port numbers are small (1-255)
        size_t dot = name.ports.find('.', from);
        size_t end = dot == std::string::npos ? name.ports.size() : dot;
        if (end - from > 3) {
            return std::nullopt;
        }
        from = end + 1;
    }
    if (colon == std::string::npos) {
        return name;
    }
    std::string ci = rest.substr(colon + 1);
    size_t dot = ci.find('.');
    if (dot == std::string::npos || !allDigits(ci.substr(0, dot)) || !allDigits(ci.substr(dot + 1))) {
        return std::nullopt;
    }
    name.isInterface = true;
    name.configuration = std::stoi(ci.substr(0, dot));
    name.interfaceNumber = std::stoi(ci.substr(dot + 1));
    if (name.interfaceNumber > 0xFF) {
        return std::nullopt;
    }
    return name;
}

std::string locationIdentity(const UsbName& name) {
    char iface[8];
    std::snprintf(iface, sizeof iface, "%04x", name.interfaceNumber & 0xFFFF);
    return lower(std::to_string(name.bus) + "&" + name.ports + "&" + std::to_string(name.configuration) +
                 "&" + iface);
}

std::string interfaceInstanceId(const std::string& vid, const std::string& pid, const UsbName& name) {
    return "USB\\VID_" + upper(vid) + "&PID_" + upper(pid) + "&MI_" + hex2(name.interfaceNumber) + "\\" +
           upper(locationIdentity(name));
}

std::string deviceInstanceId(const std::string& vid, const std::string& pid, const std::string& serial,
                             const UsbName& name) {
    std::string tail = serial.empty() ? std::to_string(name.bus) + "&" + name.ports : serial;
    return "USB\\VID_" + upper(vid) + "&PID_" + upper(pid) + "\\" + tail;
}

std::string hardwareId(const std::string& vid, const std::string& pid, const std::string& rev,
                       const UsbName& name) {
    std::string id = "USB\\VID_" + upper(vid) + "&PID_" + upper(pid) + "&REV_" + upper(rev);
    if (name.isInterface) {
        id += "&MI_" + hex2(name.interfaceNumber);
    }
    return id;
}

std::string captureDevicePath(const std::string& vid, const std::string& pid, const UsbName& name) {
    return "\\\\?\\usb#vid_" + lower(vid) + "&pid_" + lower(pid) + "&mi_" +
           lower(hex2(name.interfaceNumber)) + "#" + locationIdentity(name) +
           "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
}

std::string locationInformation(const UsbName& name, int hubDeviceNumber) {
    size_t dot = name.ports.rfind('.');
    std::string last = dot == std::string::npos ? name.ports : name.ports.substr(dot + 1);
    char text[48];
    std::snprintf(text, sizeof text, "Port_#%04d.Hub_#%04d", std::stoi(last), hubDeviceNumber);
    return text;
}

std::optional<std::string> locationPath(const std::string& canonicalPath, const UsbName& name) {
    // .../0000:00:14.0/usb1/1-2/1-2.4/1-2.4:1.0: the host controller is the folder before "usbB".
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= canonicalPath.size()) {
        size_t slash = canonicalPath.find('/', start);
        if (slash == std::string::npos) {
            slash = canonicalPath.size();
        }
        if (slash > start) {
            parts.push_back(canonicalPath.substr(start, slash - start));
        }
        start = slash + 1;
    }
    std::string hub = "usb" + std::to_string(name.bus);
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i] != hub) {
            continue;
        }
        const std::string& host = parts[i - 1];
        bool pci = host.size() == 12 && host[4] == ':' && host[7] == ':' && host[10] == '.';
        std::string path = (pci ? "pci-" : "platform-") + host + "-usb-0:" + name.ports;
        if (name.isInterface) {
            path += ':';
            path += std::to_string(name.configuration);
            path += '.';
            path += std::to_string(name.interfaceNumber);
        }
        return path;
    }
    return std::nullopt;
}

SysfsUsb::SysfsUsb(std::string sysfsRoot) : _root(std::move(sysfsRoot)) {}

std::string SysfsUsb::devicesDir() const {
    return _root + "/bus/usb/devices";
}

bool SysfsUsb::walk(std::vector<KXUsbDevice>& out) const {
    std::vector<std::string> names = kxsys::listDirectory(devicesDir());
    if (names.empty() && !kxsys::realPath(devicesDir())) {
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (auto e = entry(name)) {
            out.push_back(std::move(*e));
        }
    }
    return true;
}

std::optional<KXUsbDevice> SysfsUsb::entry(const std::string& sysName) const {
    auto name = parseUsbName(sysName);
    if (!name) {
        return std::nullopt;  // root hubs ("usb1") and anything unexpected
    }
    const std::string devDir = devicesDir() + "/" + deviceName(*name);
    const std::string dir = devicesDir() + "/" + sysName;
    auto vid = kxsys::readAttribute(devDir + "/idVendor");
    auto pid = kxsys::readAttribute(devDir + "/idProduct");
    if (!vid || !pid || !isHex4(*vid) || !isHex4(*pid)) {
        return std::nullopt;
    }
    auto rev = kxsys::readAttribute(devDir + "/bcdDevice");
    auto product = kxsys::readAttribute(devDir + "/product");
    KXUsbDevice d;
    if (name->isInterface) {
        d.instanceId = interfaceInstanceId(*vid, *pid, *name);
    } else {
        d.instanceId =
            deviceInstanceId(*vid, *pid, kxsys::readAttribute(devDir + "/serial").value_or(""), *name);
    }
    if (rev && isHex4(*rev)) {
        d.hardwareIds.push_back(hardwareId(*vid, *pid, *rev, *name));
        std::string second = "USB\\VID_" + upper(*vid) + "&PID_" + upper(*pid);
        if (name->isInterface) {
            second += "&MI_" + hex2(name->interfaceNumber);
        }
        d.hardwareIds.push_back(second);
    }
    if (product && !product->empty()) {
        d.friendlyName = product;
    } else if (name->isInterface) {
        std::vector<std::string> nodes = kxsys::listDirectory(dir + "/video4linux");
        std::sort(nodes.begin(), nodes.end());
        for (const std::string& node : nodes) {
            if (auto card = kxsys::readAttribute(dir + "/video4linux/" + node + "/name")) {
                d.friendlyName = card;
                break;
            }
        }
    }
    std::optional<std::string> ifaceText;
    if (name->isInterface) {
        ifaceText = kxsys::readAttribute(dir + "/interface");
    }
    if (ifaceText && !ifaceText->empty()) {
        d.description = ifaceText;
    } else if (product && !product->empty()) {
        d.description = product;
    }
    auto hubNumber = kxsys::readAttribute(devicesDir() + "/" + parentName(*name) + "/devnum");
    if (hubNumber && allDigits(*hubNumber)) {
        d.locationInformation = locationInformation(*name, std::stoi(*hubNumber));
    }
    if (auto canonical = kxsys::realPath(dir)) {
        if (auto path = locationPath(*canonical, *name)) {
            d.locationPaths = std::vector<std::string>{*path};
        }
    }
    return d;
}

std::optional<std::string> SysfsUsb::interfaceDirOfNode(const std::string& nodeName) const {
    auto canonical = kxsys::realPath(_root + "/class/video4linux/" + nodeName + "/device");
    if (!canonical) {
        return std::nullopt;
    }
    size_t slash = canonical->rfind('/');
    std::string base = slash == std::string::npos ? *canonical : canonical->substr(slash + 1);
    auto name = parseUsbName(base);
    if (!name || !name->isInterface) {
        return std::nullopt;
    }
    return *canonical;
}

int SysfsUsb::commandUnitOfNode(const std::string& nodeName) const {
    auto dir = interfaceDirOfNode(nodeName);
    if (!dir) {
        return -1;
    }
    auto number = kxsys::readAttribute(*dir + "/bInterfaceNumber");
    int vcInterface = -1;  // unreadable: any VideoControl interface of the device
    if (number && !number->empty() && number->size() <= 2 &&
        std::all_of(number->begin(), number->end(), [](unsigned char c) { return std::isxdigit(c) != 0; })) {
        vcInterface = static_cast<int>(std::stoul(*number, nullptr, 16));
    }
    auto blob = kxsys::readFile(dir->substr(0, dir->rfind('/')) + "/descriptors");
    if (!blob) {
        return -1;
    }
    return kxuvc::findExtensionUnit(reinterpret_cast<const uint8_t*>(blob->data()), blob->size(),
                                    kxuvc::kCommandUnitGuid, vcInterface);
}

std::optional<std::string> SysfsUsb::capturePathOfNode(const std::string& nodeName) const {
    auto dir = interfaceDirOfNode(nodeName);
    if (!dir) {
        return std::nullopt;
    }
    size_t slash = dir->rfind('/');
    auto name = parseUsbName(dir->substr(slash + 1));
    std::string parent = dir->substr(0, slash);
    auto vid = kxsys::readAttribute(parent + "/idVendor");
    auto pid = kxsys::readAttribute(parent + "/idProduct");
    if (!name || !vid || !pid || !isHex4(*vid) || !isHex4(*pid)) {
        return std::nullopt;
    }
    return captureDevicePath(*vid, *pid, *name);
}

}  // namespace kxusb
