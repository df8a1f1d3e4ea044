#include "sim/KXSimPlatform.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "KXLog.h"
#include "sim/KXUnixSocket.h"

namespace {

std::string stripPnpPrefix(const std::string& name) {
    const std::string prefix = kKXDevicePnpPrefix;
    return name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name;
}

int32_t clampInt(const KXJson& v) {
    int64_t n = v.asInt(0);
    if (n < 0 || n > 1000000000) {
        return 0;
    }
    return static_cast<int32_t>(n);
}

KXCaptureInput parseInput(const KXJson& j) {
    KXCaptureInput in;
    in.format = j["format"].asString();
    in.url = j["url"].asString();
    return in;
}

std::string toHex(const uint8_t data[4]) {
    char text[9];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x", data[0], data[1], data[2], data[3]);
    return text;
}

bool fromHex(const std::string& text, uint8_t data[4]) {
    if (text.size() != 8) {
        return false;
    }
    for (size_t i = 0; i < 4; ++i) {
        unsigned value = 0;
        for (size_t k = 0; k < 2; ++k) {
            char c = text[2 * i + k];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                return false;
            }
        }
        data[i] = static_cast<uint8_t>(value);
    }
    return true;
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
        KXJson request;
        request.set("op", "xu");
        request.set("device_path", _devicePath);
        request.set("query", query == KXXuQuery::SetCur ? "set_cur" : "get_cur");
        request.set("selector", static_cast<int>(selector));
        request.set("data", toHex(data));
        KXJson answer;
        if (KXSimPlatform::requestAt(_socketPath, _timeoutMs, request, answer) != KXSimPlatform::Status::Ok) {
            return -1;
        }
        if (query == KXXuQuery::GetCur) {
            uint8_t reply[4];
            if (!fromHex(answer["data"].asString(), reply)) {
                return -1;
            }
            for (int i = 0; i < 4; ++i) {
                data[i] = reply[i];
            }
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
    // `pending`: bytes that arrived together with the watch answer.
    SimHotplugSource(int fd, std::string pending) : _fd(fd), _buffer(std::move(pending)) {}
    ~SimHotplugSource() override { kxsock::closeSocket(_fd); }

    int fd() const override { return _fd; }

    bool readEvents(std::vector<KXHotplugEvent>& out) override {
        if (_fd < 0) {
            return false;
        }
        for (;;) {
            std::string line;
            auto r = kxsock::receiveLine(_fd, _buffer, line, 64 * 1024, 0);
            if (r == kxsock::LineResult::Timeout) {
                return true;
            }
            if (r != kxsock::LineResult::Line) {
                kxsock::closeSocket(_fd);
                _fd = -1;
                return false;
            }
            auto j = KXJson::parse(line);
            if (!j || !j->isObject()) {
                continue;  // garbage lines are skipped, the watch goes on
            }
            const std::string& kind = (*j)["event"].asString();
            if (kind != "arrival" && kind != "removal") {
                continue;
            }
            KXHotplugEvent e;
            e.kind = kind == "arrival" ? KXHotplugEvent::Kind::Arrival : KXHotplugEvent::Kind::Removal;
            e.deviceType = static_cast<int>((*j)["device_type"].asInt(5));
            if (auto guid = j->stringMember("class_guid")) {
                e.classGuid = *guid;
            }
            e.name = (*j)["name"].asString();
            out.push_back(std::move(e));
        }
    }

private:
    int _fd;              // owned; -1 once broken
    std::string _buffer;  // bytes received after the last full line
};

}  // namespace

KXSimPlatform::KXSimPlatform(std::string socketPath, int timeoutMs)
    : _socketPath(std::move(socketPath)), _timeoutMs(timeoutMs) {}

KXSimPlatform::Status KXSimPlatform::request(const KXJson& request, KXJson& answer) const {
    return requestAt(_socketPath, _timeoutMs, request, answer);
}

KXSimPlatform::Status KXSimPlatform::requestAt(const std::string& socketPath, int timeoutMs,
                                               const KXJson& request, KXJson& answer) {
    int fd = kxsock::connectUnix(socketPath);
    if (fd < 0) {
        return Status::Absent;
    }
    kxsock::setNonBlocking(fd);
    Status status = Status::Failed;
    std::string buffer;
    std::string line;
    if (kxsock::sendAll(fd, request.dump() + "\n", timeoutMs) &&
        kxsock::receiveLine(fd, buffer, line, kMaxLineBytes, timeoutMs) == kxsock::LineResult::Line) {
        auto parsed = KXJson::parse(line);
        if (parsed && parsed->isObject() && (*parsed)["ok"].asBool(false)) {
            answer = std::move(*parsed);
            status = Status::Ok;
        } else if (parsed && parsed->isObject()) {
            KXLog("simulator: %s failed: %s", request["op"].asString().c_str(),
                  (*parsed)["error"].asString().c_str());
        }
    }
    kxsock::closeSocket(fd);
    return status;
}

std::optional<KXUsbDevice> KXSimPlatform::parseUsbDevice(const KXJson& j) {
    if (!j.isObject() || !j["instance_id"].isString()) {
        return std::nullopt;
    }
    KXUsbDevice d;
    d.instanceId = j["instance_id"].asString();
    for (const KXJson& id : j["hardware_ids"].asArray()) {
        if (id.isString()) {
            d.hardwareIds.push_back(id.asString());
        }
    }
    d.friendlyName = j.stringMember("friendly_name");
    d.description = j.stringMember("description");
    d.locationInformation = j.stringMember("location_information");
    if (j["location_paths"].isArray()) {
        std::vector<std::string> paths;
        for (const KXJson& p : j["location_paths"].asArray()) {
            if (p.isString()) {
                paths.push_back(p.asString());
            }
        }
        d.locationPaths = std::move(paths);
    }
    return d;
}

std::optional<KXCaptureDevice> KXSimPlatform::parseCaptureDevice(const KXJson& j, KXDeviceClass deviceClass) {
    if (!j.isObject()) {
        return std::nullopt;
    }
    KXCaptureDevice d;
    d.friendlyName = j.stringMember("friendly_name");
    d.devicePath = j.stringMember("device_path");
    for (const KXJson& i : j["interfaces"].asArray()) {
        if (i.isString()) {
            d.interfaces.push_back(i.asString());
        }
    }
    for (const KXJson& c : j["capabilities"].asArray()) {
        if (!c.isObject()) {
            continue;
        }
        if (deviceClass == KXDeviceClass::Video) {
            KXVideoCapability cap;
            cap.subtype = c["subtype"].asString();
            cap.width = clampInt(c["width"]);
            cap.height = clampInt(c["height"]);
            cap.minIntervalHns = std::max<int64_t>(0, c["min_interval"].asInt(0));
            cap.maxIntervalHns = std::max<int64_t>(0, c["max_interval"].asInt(0));
            cap.input = parseInput(c["input"]);
            d.videoCapabilities.push_back(std::move(cap));
        } else {
            KXAudioCapability cap;
            cap.sampleRate = clampInt(c["sample_rate"]);
            cap.channels = clampInt(c["channels"]);
            cap.bitsPerSample = clampInt(c["bits"]);
            d.audioCapabilities.push_back(cap);
        }
    }
    if (deviceClass == KXDeviceClass::Audio) {
        d.audioInput = parseInput(j["input"]);
    }
    return d;
}

bool KXSimPlatform::usbDevices(std::vector<KXUsbDevice>& out) {
    KXJson request;
    request.set("op", "usb_devices");
    KXJson answer;
    Status s = this->request(request, answer);
    if (s == Status::Absent) {
        return true;
    }
    if (s != Status::Ok || !answer["devices"].isArray()) {
        return false;
    }
    for (const KXJson& d : answer["devices"].asArray()) {
        if (auto parsed = parseUsbDevice(d)) {
            out.push_back(std::move(*parsed));
        }
    }
    return true;
}

bool KXSimPlatform::captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) {
    KXJson request;
    request.set("op", "capture_devices");
    request.set("class", deviceClass == KXDeviceClass::Video ? "video" : "audio");
    KXJson answer;
    Status s = this->request(request, answer);
    if (s == Status::Absent) {
        return true;
    }
    if (s != Status::Ok || !answer["devices"].isArray()) {
        return false;
    }
    for (const KXJson& d : answer["devices"].asArray()) {
        if (auto parsed = parseCaptureDevice(d, deviceClass)) {
            out.push_back(std::move(*parsed));
        }
    }
    return true;
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
    KXJson request;
    request.set("op", "watch");
    std::string buffer;
    std::string line;
    if (!kxsock::sendAll(fd, request.dump() + "\n", _timeoutMs) ||
        kxsock::receiveLine(fd, buffer, line, kMaxLineBytes, _timeoutMs) != kxsock::LineResult::Line) {
        kxsock::closeSocket(fd);
        return nullptr;
    }
    auto answer = KXJson::parse(line);
    if (!answer || !(*answer)["ok"].asBool(false)) {
        kxsock::closeSocket(fd);
        return nullptr;
    }
    return std::make_unique<SimHotplugSource>(fd, std::move(buffer));
}
