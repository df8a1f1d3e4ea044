#include "Control/KXIUSBControl.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "Control/KXCommandTable.h"
#include "Control/KXControlChannel.h"
#include "KXLog.h"
#include "KXPlatform.h"

namespace {

constexpr int kResultNoTable = -255;
constexpr int kResultNoFilter = -254;
constexpr int kResultInitFailed = -253;
constexpr int kResultFocusModeFailed = -248;
constexpr int kResultNoUnitOnWrite = 65535;

constexpr int kCommandFocusModeRead = 10;
constexpr int kCommandFirmwareFirst = 50;
constexpr int kCommandFirmwareLast = 56;

}  // namespace

KXIUSBControl::KXIUSBControl() : _binding(std::make_unique<KXChannelBinding>()) {}

// The binding dies with its controller: nobody else holds a reference into it.
KXIUSBControl::~KXIUSBControl() = default;

void KXIUSBControl::release() {
    KXChannelBinding released;
    {
        std::lock_guard<std::mutex> lock(KXChannelMutex());
        std::swap(*_binding, released);
    }
    // `released` drops the interfaces here, after the lock.
}

int KXIUSBControl::model() const {
    std::lock_guard<std::mutex> lock(KXChannelMutex());
    return _model;
}

int KXIUSBControl::initialize(void* filter, int model) {
    {
        std::lock_guard<std::mutex> lock(KXChannelMutex());
        _model = model;
    }
    // The binding is replaced as a whole: interfaces the new camera does not give are left
    // empty rather than pointing at the previously bound camera.
    KXChannelBinding fresh;
    int result = 0;
    auto* captureFilter = static_cast<KXCaptureFilter*>(filter);
    if (captureFilter == nullptr) {
        KXLog("DShow filter is NULL\n");
        KXLog("xxDShow filter is NULL!!");
        result = kResultNoFilter;
    } else {
        struct Step {
            KXControlInterfaceKind kind;
            std::shared_ptr<KXControlInterface> KXChannelBinding::*slot;
            const char* missing;
        };
        const Step steps[] = {
            {KXControlInterfaceKind::CameraControl, &KXChannelBinding::cameraControl,
             "***not support Property Camera Control!!\n"},
            {KXControlInterfaceKind::ExtensionUnit, &KXChannelBinding::extensionUnit,
             "***not support Extension Cmd Camera!!\n"},
            {KXControlInterfaceKind::VideoProcessing, &KXChannelBinding::videoProcessing,
             "***not support Property Video Process!!\n"},
        };
        for (const Step& step : steps) {
            KXInterfaceResult r = captureFilter->queryInterface(step.kind);
            if (step.kind == KXControlInterfaceKind::ExtensionUnit && r.interface &&
                dynamic_cast<KXExtensionUnit*>(r.interface.get()) == nullptr) {
                r.interface.reset();  // not something that carries commands
            }
            if (r.status < 0 || !r.interface) {
                KXLog("%s", step.missing);
                if (r.status < 0) {
                    KXLog("DShow initialize fail\n");
                    KXLog("xxDShow initialize fail!!");
                    result = kResultInitFailed;
                }
                break;
            }
            fresh.*step.slot = std::move(r.interface);
        }
    }
    {
        std::lock_guard<std::mutex> lock(KXChannelMutex());
        std::swap(*_binding, fresh);
    }
    // `fresh` now holds the previous interfaces; they are released here, outside the lock.
    return result;
}

int KXIUSBControl::writeLocked(int command, int value) {
    const KXCommandRow* table = KXCommandTableForModel(_model);
    if (table == nullptr) {
        return kResultNoTable;
    }
    if (command < 0 || command >= kKXCommandCount) {
        KXLog("KXIUSBControl: command %d has no row", command);
        return kResultNoTable;
    }
    const KXCommandRow& row = table[command];
    const uint16_t sent = value == kDefaultValue ? row.defaultValue : static_cast<uint16_t>(value & 0xFFFF);
    auto* unit = dynamic_cast<KXExtensionUnit*>(_binding->extensionUnit.get());
    if (unit == nullptr) {
        KXLog("gextensionControl is NULL!!");
        return kResultNoUnitOnWrite;
    }
    uint8_t payload[4] = {static_cast<uint8_t>(row.registerAddress & 0xFF),
                          static_cast<uint8_t>(row.registerAddress >> 8), static_cast<uint8_t>(sent & 0xFF),
                          static_cast<uint8_t>(sent >> 8)};
    if (unit->query(KXXuQuery::SetCur, static_cast<uint8_t>(row.selector), payload) < 0) {
        KXLog("Write to ASIC2 fail!!");
        return -1;
    }
    return 0;
}

int KXIUSBControl::readLocked(int command, uint16_t* value) {
    const KXCommandRow* table = KXCommandTableForModel(_model);
    if (table == nullptr) {
        return kResultNoTable;
    }
    if (command < 0 || command >= kKXCommandCount) {
        KXLog("KXIUSBControl: command %d has no row", command);
        return kResultNoTable;
    }
    const KXCommandRow& row = table[command];
    auto* unit = dynamic_cast<KXExtensionUnit*>(_binding->extensionUnit.get());
    if (unit == nullptr) {
        KXLog("gExtensionControl is NULL when read!!");
        return -1;
    }
    // Select the register, then fetch it: (0, register) then a get answering (0, value).
    uint8_t select[4] = {0, 0, static_cast<uint8_t>(row.registerAddress & 0xFF),
                         static_cast<uint8_t>(row.registerAddress >> 8)};
    if (unit->query(KXXuQuery::SetCur, static_cast<uint8_t>(row.selector), select) != 0) {
        KXLog("gExtensionControl->KsProperty fail when read!!");
        return -1;
    }
    uint8_t answer[4] = {0, 0, 0, 0};
    if (unit->query(KXXuQuery::GetCur, static_cast<uint8_t>(row.selector), answer) != 0) {
        KXLog("ExtenUSBCmdReadFromDevice fail!!");
        return -1;
    }
    *value = static_cast<uint16_t>(answer[2] | (answer[3] << 8));
    return 0;
}

int KXIUSBControl::writeCommand(int command, int value) {
    std::lock_guard<std::mutex> lock(KXChannelMutex());
    return writeLocked(command, value);
}

int KXIUSBControl::readCommand(int command, int* value) {
    uint16_t v = 0;
    int r;
    {
        std::lock_guard<std::mutex> lock(KXChannelMutex());
        r = readLocked(command, &v);
    }
    if (r == 0 && value != nullptr) {
        *value = v & 0xFF;
    }
    return r;
}

int KXIUSBControl::readModelName(int command, int* value) {
    uint16_t v = 0;
    int r;
    {
        std::lock_guard<std::mutex> lock(KXChannelMutex());
        r = readLocked(command, &v);
    }
    if (r == 0 && value != nullptr) {
        *value = v;
    }
    return r;
}

int KXIUSBControl::getFWVersion(char* text, int* length) {
    std::string version;
    {
        std::lock_guard<std::mutex> lock(KXChannelMutex());
        uint16_t probe = 0;
        if (readLocked(kCommandFirmwareFirst, &probe) == 0) {
            for (int c = kCommandFirmwareFirst; c <= kCommandFirmwareLast; ++c) {
                uint16_t v = 0;  // a failed read leaves 0, which ends the text
                readLocked(c, &v);
                if ((v & 0xFF) == 0) {
                    break;
                }
                version += static_cast<char>(v & 0xFF);
            }
            version += ' ';
        }
    }
    if (text != nullptr) {
        std::memcpy(text, version.c_str(), version.size() + 1);  // at most 9 bytes
    }
    if (length != nullptr) {
        *length = static_cast<int>(version.size()) + 1;
    }
    return kResultNoTable;
}

int KXIUSBControl::unsupported4() {
    return kResultNoTable;
}
int KXIUSBControl::readValue(int command, int* value) {
    return readCommand(command, value);
}
int KXIUSBControl::getFocusMode(int* mode) {
    return readCommand(kCommandFocusModeRead, mode);
}
int KXIUSBControl::unsupported7() {
    return kResultNoTable;
}
int KXIUSBControl::unsupported8() {
    return kResultNoTable;
}
int KXIUSBControl::setMirrorFlip(int value) {
    return writeCommand(40, value);
}
int KXIUSBControl::sendCommand(int command) {
    return writeCommand(command, kDefaultValue);
}
int KXIUSBControl::setFocusMode(int mode) {
    return writeCommand(11, mode) == 0 ? 0 : kResultFocusModeFailed;
}
int KXIUSBControl::setWhiteBalanceMode(int mode) {
    return writeCommand(73, mode);
}
int KXIUSBControl::autoFocusTrigger() {
    return writeCommand(2, kDefaultValue);
}
int KXIUSBControl::autoWhiteBalanceTrigger() {
    return writeCommand(3, kDefaultValue);
}
int KXIUSBControl::factoryResetTrigger() {
    return writeCommand(1, kDefaultValue);
}
int KXIUSBControl::panTiltStop(int command) {
    return writeCommand(command, kDefaultValue);
}
int KXIUSBControl::zoomIn() {
    return writeCommand(36, kDefaultValue);
}
int KXIUSBControl::zoomOut() {
    return writeCommand(37, kDefaultValue);
}
int KXIUSBControl::zoomStop(int command) {
    return writeCommand(command, kDefaultValue);
}
int KXIUSBControl::panUp() {
    return writeCommand(21, kDefaultValue);
}
int KXIUSBControl::panDown() {
    return writeCommand(22, kDefaultValue);
}
int KXIUSBControl::panLeft() {
    return writeCommand(23, kDefaultValue);
}
int KXIUSBControl::panRight() {
    return writeCommand(24, kDefaultValue);
}
int KXIUSBControl::panUpLeft() {
    return writeCommand(26, kDefaultValue);
}
int KXIUSBControl::panUpRight() {
    return writeCommand(27, kDefaultValue);
}
int KXIUSBControl::panDownLeft() {
    return writeCommand(28, kDefaultValue);
}
int KXIUSBControl::panDownRight() {
    return writeCommand(29, kDefaultValue);
}
int KXIUSBControl::setPanSpeed(int speed) {
    return writeCommand(30, speed);
}
int KXIUSBControl::setTiltSpeed(int speed) {
    return writeCommand(31, speed);
}
bool KXIUSBControl::panHome() {
    return writeCommand(25, kDefaultValue) == 0;  // 65535 (no unit, nothing sent) is no success
}
int KXIUSBControl::focusStop() {
    return writeCommand(12, kDefaultValue);
}
int KXIUSBControl::focusFar() {
    return writeCommand(14, kDefaultValue);
}
int KXIUSBControl::focusNear() {
    return writeCommand(13, kDefaultValue);
}
int KXIUSBControl::callPreset(int preset) {
    return writeCommand(70, preset);
}
int KXIUSBControl::savePreset(int preset) {
    return writeCommand(71, preset);
}
int KXIUSBControl::resetPreset(int preset) {
    return writeCommand(72, preset);
}
int KXIUSBControl::setAutoTracking(int value) {
    return writeCommand(5, value);
}
