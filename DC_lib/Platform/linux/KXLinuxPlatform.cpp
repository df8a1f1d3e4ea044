#include "linux/KXLinuxPlatform.h"

#include <linux/usb/video.h>
#include <linux/uvcvideo.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "KXLog.h"
#include "linux/KXAlsaCards.h"
#include "linux/KXLinuxSys.h"
#include "linux/KXSysfsUsb.h"
#include "linux/KXUdevHotplug.h"
#include "linux/KXV4L2Enum.h"

namespace {

// /dev/video12 -> 12; -1 for anything else.
int videoNodeNumber(const std::string& name) {
    if (name.rfind("video", 0) != 0 || name.size() == 5 || name.size() > 12) {
        return -1;
    }
    for (size_t i = 5; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) {
            return -1;
        }
    }
    return std::stoi(name.substr(5));
}

std::string baseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string stripPnpPrefix(const std::string& name) {
    const std::string prefix = kKXDevicePnpPrefix;
    return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
}

// An open capture node, shared by the camera-control and video-processing interfaces and
// the extension unit; closed with the last reference.
class NodeHandle : public KXControlInterface {
public:
    explicit NodeHandle(int fd) : _fd(fd) {}
    ~NodeHandle() override { kxsys::closeDevice(_fd); }
    int fd() const { return _fd; }

private:
    const int _fd;  // immutable
};

// Threading: requests are serialised by the caller (the command channel's lock).
class LinuxExtensionUnit : public KXExtensionUnit {
public:
    LinuxExtensionUnit(std::shared_ptr<NodeHandle> node, uint8_t unit)
        : _node(std::move(node)), _unit(unit) {}

    int query(KXXuQuery query, uint8_t selector, uint8_t data[4]) override {
        uvc_xu_control_query q{};
        q.unit = _unit;
        q.selector = selector;
        q.query = query == KXXuQuery::SetCur ? UVC_SET_CUR : UVC_GET_CUR;
        q.size = 4;
        q.data = data;
        // Only 0 is success: uvcvideo passes a camera's short answer on as the positive number
        // of bytes it got, with the rest of the buffer as it was. Taken for success, a read
        // would report a value the camera never sent.
        return kxsys::ioctlRetry(_node->fd(), UVCIOC_CTRL_QUERY, &q) == 0 ? 0 : -1;
    }

private:
    const std::shared_ptr<NodeHandle> _node;  // immutable
    const uint8_t _unit;                      // immutable
};

// Threading: one thread at a time.
class LinuxFilter : public KXCaptureFilter {
public:
    LinuxFilter(KXCaptureDevice device, std::string sysfsRoot)
        : _device(std::move(device)), _usb(std::move(sysfsRoot)) {}

    const KXCaptureDevice& device() const override { return _device; }

    KXInterfaceResult queryInterface(KXControlInterfaceKind kind) override {
        KXInterfaceResult result;
        if (!_node) {
            int fd = kxsys::openDevice(_device.node);
            if (fd < 0) {
                result.status = -1;
                return result;
            }
            _node = std::make_shared<NodeHandle>(fd);
        }
        if (kind != KXControlInterfaceKind::ExtensionUnit) {
            result.interface = _node;
            return result;
        }
        int unit = _usb.commandUnitOfNode(baseName(_device.node));
        if (unit >= 0) {
            result.interface = std::make_shared<LinuxExtensionUnit>(_node, static_cast<uint8_t>(unit));
        }
        return result;  // no unit: the camera offers no command channel
    }

private:
    KXCaptureDevice _device;
    kxusb::SysfsUsb _usb;
    std::shared_ptr<NodeHandle> _node;
};

}  // namespace

KXLinuxPlatform::KXLinuxPlatform(std::string sysfsRoot, std::string devRoot, kxv4l2::DeviceCalls calls)
    : _sysfsRoot(std::move(sysfsRoot)), _devRoot(std::move(devRoot)), _calls(calls) {}

bool KXLinuxPlatform::usbDevices(std::vector<KXUsbDevice>& out) {
    return kxusb::SysfsUsb(_sysfsRoot).walk(out);
}

bool KXLinuxPlatform::captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) {
    return deviceClass == KXDeviceClass::Video ? videoDevices(out) : audioDevices(out);
}

bool KXLinuxPlatform::videoDevices(std::vector<KXCaptureDevice>& out) {
    std::vector<std::string> names = kxsys::listDirectory(_sysfsRoot + "/class/video4linux");
    names.erase(std::remove_if(names.begin(), names.end(),
                               [](const std::string& n) { return videoNodeNumber(n) < 0; }),
                names.end());
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return videoNodeNumber(a) < videoNodeNumber(b);
    });
    kxusb::SysfsUsb usb(_sysfsRoot);
    const size_t first = out.size();
    for (const std::string& name : names) {
        const std::string node = _devRoot + "/" + name;
        int fd = _calls.open(node, _calls.context);
        if (fd < 0) {
            warnUnopenable(node, errno);
            continue;
        }
        std::string card;
        if (kxv4l2::queryCapture(fd, _calls.ioctl, _calls.context, card)) {
            const std::string path = usb.capturePathOfNode(name).value_or(node);
            std::vector<KXVideoCapability> capabilities =
                kxv4l2::capabilities(fd, _calls.ioctl, _calls.context);
            for (KXVideoCapability& cap : capabilities) {
                cap.node = node;
            }
            // Every streaming interface of a camera has a capture node of its own, all on the
            // camera's one VideoControl interface and so under one device path: they are one
            // camera, whose formats are those of all its nodes.
            auto same = std::find_if(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
                                     [&](const KXCaptureDevice& d) { return d.devicePath == path; });
            if (same != out.end()) {
                same->videoCapabilities.insert(same->videoCapabilities.end(), capabilities.begin(),
                                               capabilities.end());
            } else {
                KXCaptureDevice device;
                device.node = node;
                device.friendlyName = card;
                device.devicePath = path;
                device.interfaces = {"camera_control", "extension_unit", "video_processing"};
                device.videoCapabilities = std::move(capabilities);
                out.push_back(std::move(device));
            }
        }
        _calls.close(fd, _calls.context);
    }
    return true;
}

KXOpenFailure KXLinuxPlatform::cameraAccess(const std::string& locationIdentity) {
    std::string wanted = locationIdentity;
    std::transform(wanted.begin(), wanted.end(), wanted.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    kxusb::SysfsUsb usb(_sysfsRoot);
    bool refused = false;
    for (const std::string& name : kxsys::listDirectory(_sysfsRoot + "/class/video4linux")) {
        if (videoNodeNumber(name) < 0) {
            continue;
        }
        const std::optional<std::string> dir = usb.interfaceDirOfNode(name);
        if (!dir) {
            continue;
        }
        const std::optional<kxusb::UsbName> usbName = kxusb::parseUsbName(dir->substr(dir->rfind('/') + 1));
        if (!usbName || kxusb::locationIdentity(*usbName) != wanted) {
            continue;
        }
        const int fd = _calls.open(_devRoot + "/" + name, _calls.context);
        if (fd >= 0) {
            _calls.close(fd, _calls.context);
            return KXOpenFailure::None;  // one node that opens is access enough
        }
        refused = refused || errno == EACCES || errno == EPERM;
    }
    return refused ? KXOpenFailure::NoPermission : KXOpenFailure::None;
}

void KXLinuxPlatform::warnUnopenable(const std::string& node, int error) {
    // A camera the user may not open would otherwise simply be missing from the list.
    if (error == EACCES || error == EPERM) {
        KXWarnOnce(
            "cannot open video node %s: %s; the user needs read and write access to the camera "
            "(membership of the 'video' group, or the package's udev rule)",
            node.c_str(), std::strerror(error));
    } else {
        KXWarnOnce("cannot open video node %s: %s", node.c_str(), std::strerror(error));
    }
}

std::string KXLinuxPlatform::nodeFor(const KXCaptureDevice& device, const KXVideoInputRequest& request) {
    const char* subtype = request.format == 4 ? "MJPG" : request.format == 1 ? "H264" : nullptr;
    auto offers = [&](const KXVideoCapability& c) {
        return !c.node.empty() && (subtype == nullptr || c.subtype == subtype);
    };
    const KXVideoCapability* sameSize = nullptr;
    const KXVideoCapability* sameKind = nullptr;
    for (const KXVideoCapability& c : device.videoCapabilities) {
        if (!offers(c)) {
            continue;
        }
        if (sameKind == nullptr) {
            sameKind = &c;
        }
        if (c.width != request.width || c.height != request.height) {
            continue;
        }
        if (sameSize == nullptr) {
            sameSize = &c;
        }
        if (c.minIntervalHns > 0 && c.maxIntervalHns > 0) {
            const double fastest = 1e7 / static_cast<double>(c.minIntervalHns);
            const double slowest = 1e7 / static_cast<double>(c.maxIntervalHns);
            if (request.frameRate <= fastest + 0.01 && request.frameRate >= slowest - 0.01) {
                return c.node;
            }
        }
    }
    if (sameSize != nullptr) {
        return sameSize->node;
    }
    return sameKind != nullptr ? sameKind->node : device.node;
}

bool KXLinuxPlatform::audioDevices(std::vector<KXCaptureDevice>& out) {
    for (KXCaptureDevice& d : kxalsa::captureCards()) {
        out.push_back(std::move(d));
    }
    return true;
}

std::unique_ptr<KXCaptureFilter> KXLinuxPlatform::bindFilter(const KXCaptureDevice& device) {
    if (device.node.empty()) {
        return nullptr;
    }
    return std::make_unique<LinuxFilter>(device, _sysfsRoot);
}

bool KXLinuxPlatform::resolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) {
    const std::string wanted = stripPnpPrefix(request.device);
    std::vector<KXCaptureDevice> devices;
    videoDevices(devices);
    for (const KXCaptureDevice& d : devices) {
        if (d.devicePath.value_or("") == wanted) {
            out = videoInputFor(nodeFor(d, request), request);
            return true;
        }
        // A node named directly is opened as named.
        const bool named =
            d.node == wanted || std::any_of(d.videoCapabilities.begin(), d.videoCapabilities.end(),
                                            [&](const KXVideoCapability& c) { return c.node == wanted; });
        if (named) {
            out = videoInputFor(wanted, request);
            return true;
        }
    }
    return false;
}

KXCaptureInput KXLinuxPlatform::videoInputFor(const std::string& node, const KXVideoInputRequest& request) {
    KXCaptureInput in;
    in.format = "video4linux2";
    in.url = node;
    if (request.width > 0 && request.height > 0) {
        in.options.emplace_back("video_size",
                                std::to_string(request.width) + "x" + std::to_string(request.height));
    }
    if (request.frameRate > 0 && std::isfinite(request.frameRate)) {
        char rate[64];
        std::snprintf(rate, sizeof rate, "%f", request.frameRate);
        in.options.emplace_back("framerate", rate);
    }
    if (request.format == 4) {
        in.options.emplace_back("input_format", "mjpeg");
    } else if (request.format == 1) {
        in.options.emplace_back("input_format", "h264");
    }
    return in;
}

KXCaptureInput KXLinuxPlatform::audioInputFor(const KXCaptureDevice& device) {
    KXCaptureInput in;
    in.format = "alsa";
    const std::string& node = device.node;
    const size_t comma = node.find(',');
    auto digits = [](const std::string& s) {
        return !s.empty() && s.size() <= 4 &&
               std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
    };
    if (node.rfind("hw:", 0) != 0 || comma == std::string::npos || !digits(node.substr(3, comma - 3)) ||
        !digits(node.substr(comma + 1))) {
        return in;
    }
    in.url = "plug" + node;
    if (!device.audioCapabilities.empty()) {
        const KXAudioCapability& cap = device.audioCapabilities.front();
        if (cap.sampleRate > 0 && cap.channels > 0) {
            in.options.emplace_back("sample_rate", std::to_string(cap.sampleRate));
            in.options.emplace_back("channels", std::to_string(cap.channels));
        }
    }
    return in;
}

bool KXLinuxPlatform::resolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) {
    std::vector<KXCaptureDevice> devices;
    audioDevices(devices);
    for (const KXCaptureDevice& d : devices) {
        if (d.friendlyName.value_or("") == friendlyName) {
            out = audioInputFor(d);
            return !out.url.empty();
        }
    }
    return false;
}

std::unique_ptr<KXHotplugSource> KXLinuxPlatform::openHotplugSource() {
    return KXOpenUdevHotplugSource(_sysfsRoot);
}
