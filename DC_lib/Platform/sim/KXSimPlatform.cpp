#include "sim/KXSimPlatform.h"

#include <cerrno>

#include "sim/KXSimProtocol.h"
#include "sim/KXUnixSocket.h"

namespace {

std::string stripPnpPrefix(const std::string& name) {
    const std::string prefix = kKXDevicePnpPrefix;
    return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
}

// A camera interface the simulated device offers; holds nothing.
class SimInterface : public KXControlInterface {};

// Keeps its own copy of the simulator's address: a bound camera may outlive the backend
// object that bound it (a test or the application installing another backend).
class SimExtensionUnit : public KXExtensionUnit {
public:
    SimExtensionUnit(std::string socketPath, int timeoutMs, std::string devicePath)
        : _socketPath(std::move(socketPath)), _timeoutMs(timeoutMs), _devicePath(std::move(devicePath)) {}

    int query(KXXuQuery query, uint8_t selector, uint8_t data[4]) override {
        const std::string request =
            KXSimProtocol::xuRequest(_devicePath, query == KXXuQuery::SetCur, selector, data);
        kxjson::Json answer;
        if (KXSimPlatform::requestAt(_socketPath, _timeoutMs, request, "xu", answer) !=
            KXSimPlatform::Status::Ok) {
            return -1;
        }
        if (query == KXXuQuery::GetCur && !KXSimProtocol::xuData(answer, data)) {
            return -1;
        }
        return 0;
    }

private:
    const std::string _socketPath;  // immutable
    const int _timeoutMs;           // immutable
    const std::string _devicePath;  // immutable
};

class SimFilter : public KXCaptureFilter {
public:
    SimFilter(std::string socketPath, int timeoutMs, KXCaptureDevice device)
        : _socketPath(std::move(socketPath)), _timeoutMs(timeoutMs), _device(std::move(device)) {}

    const KXCaptureDevice& device() const override { return _device; }

    KXInterfaceResult queryInterface(KXControlInterfaceKind kind) override {
        const char* wanted = kind == KXControlInterfaceKind::CameraControl   ? "camera_control"
                             : kind == KXControlInterfaceKind::ExtensionUnit ? "extension_unit"
                                                                             : "video_processing";
        KXInterfaceResult result;
        for (const std::string& offered : _device.interfaces) {
            if (offered != wanted) {
                continue;
            }
            if (kind == KXControlInterfaceKind::ExtensionUnit) {
                result.interface = std::make_shared<SimExtensionUnit>(_socketPath, _timeoutMs,
                                                                      _device.devicePath.value_or(""));
            } else {
                result.interface = std::make_shared<SimInterface>();
            }
            break;
        }
        return result;
    }

private:
    const std::string _socketPath;
    const int _timeoutMs;
    KXCaptureDevice _device;
};

// Threading: one thread at a time (the one watching fd()).
class SimHotplugSource : public KXHotplugSource {
public:
    // `reader`: holds the bytes that arrived together with the watch answer.
    SimHotplugSource(int fd, KXLineReader reader) : _fd(fd), _reader(std::move(reader)) {}
    ~SimHotplugSource() override { kxsock::closeSocket(_fd); }

    int fd() const override { return _fd; }

    bool readEvents(std::vector<KXHotplugEvent>& out) override {
        if (_fd < 0) {
            return false;
        }
        for (;;) {
            std::string line;
            auto r = kxsock::receiveLine(_fd, _reader, line, 0);
            if (r == kxsock::LineResult::Timeout) {
                return true;
            }
            if (r != kxsock::LineResult::Line) {
                kxsock::closeSocket(_fd);
                _fd = -1;
                return false;
            }
            // Garbage lines and events of other kinds are skipped; the watch goes on.
            if (auto e = KXSimProtocol::event(line)) {
                out.push_back(std::move(*e));
            }
        }
    }

private:
    int _fd;               // owned; -1 once broken
    KXLineReader _reader;  // bytes received after the last full line
};

}  // namespace

KXSimPlatform::KXSimPlatform(std::string socketPath, int timeoutMs)
    : _socketPath(std::move(socketPath)), _timeoutMs(timeoutMs) {}

KXSimPlatform::Status KXSimPlatform::request(const std::string& requestLine, const char* op,
                                             kxjson::Json& answer) const {
    return requestAt(_socketPath, _timeoutMs, requestLine, op, answer);
}

KXSimPlatform::Status KXSimPlatform::requestAt(const std::string& socketPath, int timeoutMs,
                                               const std::string& requestLine, const char* op,
                                               kxjson::Json& answer) {
    int fd = kxsock::connectUnix(socketPath);
    if (fd < 0) {
        return Status::Absent;
    }
    kxsock::setNonBlocking(fd);
    Status status = Status::Failed;
    KXLineReader reader(KXSimProtocol::kMaxAnswerBytes);
    std::string line;
    if (kxsock::sendAll(fd, requestLine + "\n", timeoutMs) &&
        kxsock::receiveLine(fd, reader, line, timeoutMs) == kxsock::LineResult::Line) {
        if (auto ok = KXSimProtocol::okAnswer(line, op)) {
            answer = std::move(*ok);
            status = Status::Ok;
        }
    }
    kxsock::closeSocket(fd);
    return status;
}

bool KXSimPlatform::usbDevices(std::vector<KXUsbDevice>& out) {
    kxjson::Json answer;
    Status s = request(KXSimProtocol::usbDevicesRequest(), "usb_devices", answer);
    if (s == Status::Absent) {
        return true;
    }
    return s == Status::Ok && KXSimProtocol::usbDevices(answer, out);
}

bool KXSimPlatform::captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) {
    kxjson::Json answer;
    Status s = request(KXSimProtocol::captureDevicesRequest(deviceClass), "capture_devices", answer);
    if (s == Status::Absent) {
        return true;
    }
    return s == Status::Ok && KXSimProtocol::captureDevices(answer, deviceClass, out);
}

std::unique_ptr<KXCaptureFilter> KXSimPlatform::bindFilter(const KXCaptureDevice& device) {
    return std::make_unique<SimFilter>(_socketPath, _timeoutMs, device);
}

bool KXSimPlatform::resolveVideoInput(const KXVideoInputRequest& request, KXCaptureInput& out) {
    const std::string wanted = stripPnpPrefix(request.device);
    const char* subtype = request.format == 4 ? "MJPG" : request.format == 1 ? "H264" : nullptr;
    std::vector<KXCaptureDevice> devices;
    if (!captureDevices(KXDeviceClass::Video, devices)) {
        return false;
    }
    for (const KXCaptureDevice& d : devices) {
        if (d.devicePath.value_or("") != wanted) {
            continue;
        }
        const KXVideoCapability* sizeMatch = nullptr;
        for (const KXVideoCapability& c : d.videoCapabilities) {
            if ((subtype != nullptr && c.subtype != subtype) || c.width != request.width ||
                c.height != request.height || c.input.url.empty()) {
                continue;
            }
            if (sizeMatch == nullptr) {
                sizeMatch = &c;
            }
            // Prefer the capability whose frame-rate range holds the chosen rate.
            if (c.minIntervalHns > 0 && c.maxIntervalHns > 0) {
                double fastest = 1e7 / static_cast<double>(c.minIntervalHns);
                double slowest = 1e7 / static_cast<double>(c.maxIntervalHns);
                if (request.frameRate <= fastest + 0.01 && request.frameRate >= slowest - 0.01) {
                    sizeMatch = &c;
                    break;
                }
            }
        }
        if (sizeMatch != nullptr) {
            out = KXCaptureInput{sizeMatch->input.format, sizeMatch->input.url, {}};
            out.refusedErrno = d.busy ? EBUSY : 0;
            // A bare picture stream (JPEG pictures, an H.264 elementary stream) carries no
            // rate, and its demuxer would time the pictures at 25 a second whatever the
            // camera sends; the rate of the chosen format is the camera's.
            const std::string& format = out.format;
            if ((format == "mjpeg" || format == "h264" || format == "hevc") && request.frameRate > 0 &&
                std::isfinite(request.frameRate)) {
                char rate[64];
                std::snprintf(rate, sizeof rate, "%f", request.frameRate);
                out.options.emplace_back("framerate", rate);
            }
            return true;
        }
    }
    return false;
}

bool KXSimPlatform::resolveAudioInput(const std::string& friendlyName, KXCaptureInput& out) {
    std::vector<KXCaptureDevice> devices;
    if (!captureDevices(KXDeviceClass::Audio, devices)) {
        return false;
    }
    for (const KXCaptureDevice& d : devices) {
        if (d.friendlyName.value_or("") == friendlyName && !d.audioInput.url.empty()) {
            out = KXCaptureInput{d.audioInput.format, d.audioInput.url, {}};
            return true;
        }
    }
    return false;
}

std::unique_ptr<KXHotplugSource> KXSimPlatform::openHotplugSource() {
    int fd = kxsock::connectUnix(_socketPath);
    if (fd < 0) {
        return nullptr;
    }
    kxsock::setNonBlocking(fd);
    KXLineReader reader(KXSimProtocol::kMaxEventBytes);
    std::string line;
    // The watch answer is read under the event lines' bound: whatever follows it on the
    // connection is event lines.
    if (!kxsock::sendAll(fd, KXSimProtocol::watchRequest() + "\n", _timeoutMs) ||
        kxsock::receiveLine(fd, reader, line, _timeoutMs) != kxsock::LineResult::Line ||
        !KXSimProtocol::okAnswer(line, "watch")) {
        kxsock::closeSocket(fd);
        return nullptr;
    }
    return std::make_unique<SimHotplugSource>(fd, std::move(reader));
}
