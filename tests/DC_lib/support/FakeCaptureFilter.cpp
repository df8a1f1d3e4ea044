#include "FakeCaptureFilter.h"

namespace {
class PlainInterface : public KXControlInterface {};
}  // namespace

int RecordingExtensionUnit::query(KXXuQuery query, uint8_t selector, uint8_t data[4]) {
    std::lock_guard<std::mutex> lock(_mutex);
    int& fail = query == KXXuQuery::SetCur ? _failSet : _failGet;
    if (fail > 0) {
        --fail;
        _calls.push_back(
            Call{query, selector, {data[0], data[1], data[2], data[3]}, std::this_thread::get_id()});
        return -1;
    }
    if (query == KXXuQuery::SetCur) {
        uint16_t reg = static_cast<uint16_t>(data[0] | (data[1] << 8));
        uint16_t value = static_cast<uint16_t>(data[2] | (data[3] << 8));
        if (reg == 0) {
            _selected = value;
        } else {
            _registers[reg] = value;
        }
    } else {
        uint16_t value = _registers[_selected];
        data[0] = 0;
        data[1] = 0;
        data[2] = static_cast<uint8_t>(value & 0xFF);
        data[3] = static_cast<uint8_t>(value >> 8);
    }
    _calls.push_back(Call{query, selector, {data[0], data[1], data[2], data[3]}, std::this_thread::get_id()});
    return 0;
}

std::vector<RecordingExtensionUnit::Call> RecordingExtensionUnit::calls() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _calls;
}

void RecordingExtensionUnit::clear() {
    std::lock_guard<std::mutex> lock(_mutex);
    _calls.clear();
}

void RecordingExtensionUnit::setRegister(uint16_t reg, uint16_t value) {
    std::lock_guard<std::mutex> lock(_mutex);
    _registers[reg] = value;
}

void RecordingExtensionUnit::failNext(KXXuQuery query, int count) {
    std::lock_guard<std::mutex> lock(_mutex);
    (query == KXXuQuery::SetCur ? _failSet : _failGet) = count;
}

FakeCaptureFilter::FakeCaptureFilter(std::shared_ptr<RecordingExtensionUnit> unit, int cameraControlStatus,
                                     const std::string& location)
    : _unit(std::move(unit)), _cameraControlStatus(cameraControlStatus) {
    _device.friendlyName = "Fake Camera";
    _device.devicePath =
        "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#" + location + "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";
}

std::string FakeCaptureFilter::videoDeviceName(const std::string& location) {
    return "@device_pnp_\\\\?\\usb#vid_1d4d&pid_6009&mi_00#" + location;
}

KXInterfaceResult FakeCaptureFilter::queryInterface(KXControlInterfaceKind kind) {
    KXInterfaceResult r;
    switch (kind) {
        case KXControlInterfaceKind::CameraControl:
            r.status = _cameraControlStatus;
            if (_cameraControlStatus >= 0) {
                r.interface = std::make_shared<PlainInterface>();
            }
            break;
        case KXControlInterfaceKind::ExtensionUnit:
            r.interface = _unit;
            break;
        case KXControlInterfaceKind::VideoProcessing:
            r.interface = std::make_shared<PlainInterface>();
            break;
    }
    return r;
}
