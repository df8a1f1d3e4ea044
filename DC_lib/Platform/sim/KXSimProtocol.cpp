#include "sim/KXSimProtocol.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "KXLog.h"

namespace KXSimProtocol {
namespace {

using kxjson::Json;

int32_t boundedInt(const Json& object, std::string_view key) {
    const int64_t n = kxjson::integerMember(object, key).value_or(0);
    return n < 0 || n > kMaxCapabilityValue ? 0 : static_cast<int32_t>(n);
}

KXCaptureInput input(const Json& object, std::string_view key) {
    KXCaptureInput in;
    if (const Json* j = kxjson::member(object, key)) {
        in.format = kxjson::text(*j, "format");
        in.url = kxjson::text(*j, "url");
    }
    return in;
}

std::vector<std::string> strings(const Json& array) {
    std::vector<std::string> out;
    for (const Json& item : array) {
        if (item.is_string()) {
            out.push_back(item.get<std::string>());
        }
    }
    return out;
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
    uint8_t bytes[4];
    for (size_t i = 0; i < 4; ++i) {
        unsigned value = 0;
        for (size_t k = 0; k < 2; ++k) {
            const char c = text[2 * i + k];
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
        bytes[i] = static_cast<uint8_t>(value);
    }
    std::copy(bytes, bytes + 4, data);  // the caller's buffer changes only on success
    return true;
}

}  // namespace

std::string usbDevicesRequest() {
    return kxjson::dump(Json{{"op", "usb_devices"}});
}

std::string captureDevicesRequest(KXDeviceClass deviceClass) {
    return kxjson::dump(
        Json{{"op", "capture_devices"}, {"class", deviceClass == KXDeviceClass::Video ? "video" : "audio"}});
}

std::string xuRequest(const std::string& devicePath, bool setCur, uint8_t selector, const uint8_t data[4]) {
    return kxjson::dump(Json{{"op", "xu"},
                             {"device_path", devicePath},
                             {"query", setCur ? "set_cur" : "get_cur"},
                             {"selector", selector},
                             {"data", toHex(data)}});
}

std::string watchRequest() {
    return kxjson::dump(Json{{"op", "watch"}});
}

std::optional<Json> okAnswer(std::string_view line, std::string_view op) {
    std::optional<Json> answer = kxjson::parse(line, kMaxAnswerBytes);
    if (!answer || !answer->is_object()) {
        return std::nullopt;
    }
    if (!kxjson::flag(*answer, "ok")) {
        KXLog("simulator: %.*s failed: %s", static_cast<int>(op.size()), op.data(),
              kxjson::text(*answer, "error").c_str());
        return std::nullopt;
    }
    return answer;
}

std::optional<KXUsbDevice> usbDevice(const Json& entry) {
    std::optional<std::string> instanceId = kxjson::stringMember(entry, "instance_id");
    if (!instanceId) {
        return std::nullopt;
    }
    KXUsbDevice d;
    d.instanceId = std::move(*instanceId);
    d.hardwareIds = strings(kxjson::arrayMember(entry, "hardware_ids"));
    d.friendlyName = kxjson::stringMember(entry, "friendly_name");
    d.description = kxjson::stringMember(entry, "description");
    d.locationInformation = kxjson::stringMember(entry, "location_information");
    const Json* paths = kxjson::member(entry, "location_paths");
    if (paths != nullptr && paths->is_array()) {
        d.locationPaths = strings(*paths);
    }
    return d;
}

std::optional<KXCaptureDevice> captureDevice(const Json& entry, KXDeviceClass deviceClass) {
    if (!entry.is_object()) {
        return std::nullopt;
    }
    KXCaptureDevice d;
    d.friendlyName = kxjson::stringMember(entry, "friendly_name");
    d.devicePath = kxjson::stringMember(entry, "device_path");
    d.interfaces = strings(kxjson::arrayMember(entry, "interfaces"));
    const Json* busy = kxjson::member(entry, "busy");
    d.busy = busy != nullptr && busy->is_boolean() && busy->get<bool>();
    for (const Json& c : kxjson::arrayMember(entry, "capabilities")) {
        if (!c.is_object()) {
            continue;
        }
        if (deviceClass == KXDeviceClass::Video) {
            KXVideoCapability cap;
            cap.subtype = kxjson::text(c, "subtype");
            cap.width = boundedInt(c, "width");
            cap.height = boundedInt(c, "height");
            cap.minIntervalHns = std::max<int64_t>(0, kxjson::integerMember(c, "min_interval").value_or(0));
            cap.maxIntervalHns = std::max<int64_t>(0, kxjson::integerMember(c, "max_interval").value_or(0));
            cap.input = input(c, "input");
            d.videoCapabilities.push_back(std::move(cap));
        } else {
            KXAudioCapability cap;
            cap.sampleRate = boundedInt(c, "sample_rate");
            cap.channels = boundedInt(c, "channels");
            cap.bitsPerSample = boundedInt(c, "bits");
            d.audioCapabilities.push_back(cap);
        }
    }
    if (deviceClass == KXDeviceClass::Audio) {
        d.audioInput = input(entry, "input");
    }
    return d;
}

bool usbDevices(const Json& answer, std::vector<KXUsbDevice>& out) {
    const Json* devices = kxjson::member(answer, "devices");
    if (devices == nullptr || !devices->is_array()) {
        return false;
    }
    for (const Json& entry : *devices) {
        if (auto d = usbDevice(entry)) {
            out.push_back(std::move(*d));
        }
    }
    return true;
}

bool captureDevices(const Json& answer, KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) {
    const Json* devices = kxjson::member(answer, "devices");
    if (devices == nullptr || !devices->is_array()) {
        return false;
    }
    for (const Json& entry : *devices) {
        if (auto d = captureDevice(entry, deviceClass)) {
            out.push_back(std::move(*d));
        }
    }
    return true;
}

bool xuData(const Json& answer, uint8_t data[4]) {
    return fromHex(kxjson::text(answer, "data"), data);
}

std::optional<KXHotplugEvent> event(std::string_view line) {
    const std::optional<Json> j = kxjson::parse(line, kMaxEventBytes);
    if (!j || !j->is_object()) {
        return std::nullopt;
    }
    const std::string kind = kxjson::text(*j, "event");
    if (kind != "arrival" && kind != "removal") {
        return std::nullopt;
    }
    KXHotplugEvent e;
    e.kind = kind == "arrival" ? KXHotplugEvent::Kind::Arrival : KXHotplugEvent::Kind::Removal;
    const int64_t type = kxjson::integerMember(*j, "device_type").value_or(e.deviceType);
    if (type >= INT_MIN && type <= INT_MAX) {
        e.deviceType = static_cast<int>(type);
    }
    if (auto guid = kxjson::stringMember(*j, "class_guid")) {
        e.classGuid = std::move(*guid);
    }
    e.name = kxjson::text(*j, "name");
    return e;
}

}  // namespace KXSimProtocol
