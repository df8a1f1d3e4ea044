#include "Control/KXControlChannel.h"
#include "Receiver/ReceiverCore.h"
#include "vexsdk.h"

// The camera-control calls of the exported receiver. Each one acts on this receiver's own
// controller (bound to its camera when a local-camera receiver is constructed), so several
// receivers in one process each steer their own camera. A network receiver has none.

namespace {

constexpr int kNoController = -252;
constexpr int kFocusModeFailed = -248;

template <typename Call>
int withController(KXIUSBControl* controller, int withoutController, Call call) {
    if (controller == nullptr) {
        return withoutController;
    }
    return call(*controller);
}

// Focus moves answer 255 when the write succeeded and 0 otherwise.
int focusResult(int writeResult) {
    return writeResult == 0 ? 255 : 0;
}

}  // namespace

int DC_Recv::setPanUp() {
    return withController(_core->controller(), kNoController, [](KXIUSBControl& c) { return c.panUp(); });
}

int DC_Recv::setPanDown() {
    return withController(_core->controller(), kNoController, [](KXIUSBControl& c) { return c.panDown(); });
}

// With inverted tilt the picture is mirrored, so the horizontal half of a direction swaps.
int DC_Recv::setPanLeft() {
    const bool invert = _core->invertTilt();
    return withController(_core->controller(), kNoController,
                          [invert](KXIUSBControl& c) { return invert ? c.panRight() : c.panLeft(); });
}

int DC_Recv::setPanRight() {
    const bool invert = _core->invertTilt();
    return withController(_core->controller(), kNoController,
                          [invert](KXIUSBControl& c) { return invert ? c.panLeft() : c.panRight(); });
}

int DC_Recv::setPanUpLeft() {
    const bool invert = _core->invertTilt();
    return withController(_core->controller(), kNoController,
                          [invert](KXIUSBControl& c) { return invert ? c.panUpRight() : c.panUpLeft(); });
}

int DC_Recv::setPanUpRight() {
    const bool invert = _core->invertTilt();
    return withController(_core->controller(), kNoController,
                          [invert](KXIUSBControl& c) { return invert ? c.panUpLeft() : c.panUpRight(); });
}

int DC_Recv::setPanDownLeft() {
    const bool invert = _core->invertTilt();
    return withController(_core->controller(), kNoController,
                          [invert](KXIUSBControl& c) { return invert ? c.panDownRight() : c.panDownLeft(); });
}

int DC_Recv::setPanDownRight() {
    const bool invert = _core->invertTilt();
    return withController(_core->controller(), kNoController,
                          [invert](KXIUSBControl& c) { return invert ? c.panDownLeft() : c.panDownRight(); });
}

int DC_Recv::setPanStop(int command) {
    return withController(_core->controller(), kNoController,
                          [command](KXIUSBControl& c) { return c.panTiltStop(command); });
}

// Success only when the home command reached the camera. A write that "did not fail" is not
// enough: 65535 means that nothing was sent because the camera has no extension unit.
int DC_Recv::setPanHome() {
    return withController(_core->controller(), -1, [](KXIUSBControl& c) {
        int mirrorFlip = 0;
        c.readCommand(40, &mirrorFlip);  // read first; the value does not change what follows
        return c.panHome() ? 0 : 255;
    });
}

int DC_Recv::setPanSpeed(int speed) {
    return withController(_core->controller(), kNoController,
                          [speed](KXIUSBControl& c) { return c.setPanSpeed(speed); });
}

int DC_Recv::setTiltSpeed(int speed) {
    return withController(_core->controller(), kNoController,
                          [speed](KXIUSBControl& c) { return c.setTiltSpeed(speed); });
}

int DC_Recv::setZoomIn() {
    return withController(_core->controller(), kNoController, [](KXIUSBControl& c) { return c.zoomIn(); });
}

int DC_Recv::setZoomOut() {
    return withController(_core->controller(), kNoController, [](KXIUSBControl& c) { return c.zoomOut(); });
}

int DC_Recv::setZoomStop(int command) {
    return withController(_core->controller(), kNoController,
                          [command](KXIUSBControl& c) { return c.zoomStop(command); });
}

int DC_Recv::setFocusFar() {
    return withController(_core->controller(), -1,
                          [](KXIUSBControl& c) { return focusResult(c.focusFar()); });
}

int DC_Recv::setFocusNear() {
    return withController(_core->controller(), -1,
                          [](KXIUSBControl& c) { return focusResult(c.focusNear()); });
}

int DC_Recv::setFocusStop() {
    return withController(_core->controller(), -1,
                          [](KXIUSBControl& c) { return focusResult(c.focusStop()); });
}

int DC_Recv::setAutoFocusMode(int mode) {
    return withController(_core->controller(), kNoController, [mode](KXIUSBControl& c) {
        return c.setFocusMode(mode) == 0 ? 0 : kFocusModeFailed;
    });
}

int DC_Recv::getAutoFocusMode(int* mode) {
    return withController(_core->controller(), kNoController, [mode](KXIUSBControl& c) {
        int ignored = 0;
        return c.getFocusMode(mode != nullptr ? mode : &ignored);
    });
}

int DC_Recv::setRotate(int value) {
    return withController(_core->controller(), kNoController,
                          [value](KXIUSBControl& c) { return c.setMirrorFlip(value); });
}

int DC_Recv::getRotate(int* value) {
    return withController(_core->controller(), kNoController, [value](KXIUSBControl& c) {
        int ignored = 0;
        return c.readCommand(40, value != nullptr ? value : &ignored);
    });
}

int DC_Recv::callPreset(int preset) {
    return withController(_core->controller(), kNoController,
                          [preset](KXIUSBControl& c) { return c.callPreset(preset); });
}

int DC_Recv::savePreset(int preset) {
    return withController(_core->controller(), kNoController,
                          [preset](KXIUSBControl& c) { return c.savePreset(preset); });
}

int DC_Recv::resetPreset(int preset) {
    return withController(_core->controller(), kNoController,
                          [preset](KXIUSBControl& c) { return c.resetPreset(preset); });
}

int DC_Recv::setWhiteBalanceMode(int mode) {
    return withController(_core->controller(), kNoController,
                          [mode](KXIUSBControl& c) { return c.setWhiteBalanceMode(mode); });
}

int DC_Recv::getWhiteBalance(int*) {
    return 0;
}

int DC_Recv::getAutoWhitebalance(int*) {
    return 0;
}

int DC_Recv::setAutoFocusTrigger() {
    return withController(_core->controller(), kNoController,
                          [](KXIUSBControl& c) { return c.autoFocusTrigger(); });
}

int DC_Recv::setAutoWhitebalanceTrigger() {
    return withController(_core->controller(), kNoController,
                          [](KXIUSBControl& c) { return c.autoWhiteBalanceTrigger(); });
}

int DC_Recv::setFactoryResetTrigger() {
    return withController(_core->controller(), kNoController,
                          [](KXIUSBControl& c) { return c.factoryResetTrigger(); });
}

int DC_Recv::setAutoExposure(int command) {
    return withController(_core->controller(), kNoController,
                          [command](KXIUSBControl& c) { return c.sendCommand(command); });
}

int DC_Recv::setAutoTrackingEnable(int value) {
    return withController(_core->controller(), kNoController,
                          [value](KXIUSBControl& c) { return c.setAutoTracking(value); });
}

int DC_Recv::getFWVersion(char* text, int* length) {
    return withController(_core->controller(), kNoController, [text, length](KXIUSBControl& c) {
        if (text == nullptr || length == nullptr) {
            return -255;  // nowhere to put the text; the read would answer -255 anyway
        }
        return c.getFWVersion(text, length);
    });
}

int DC_Recv::getFWVersion(DC_FWVersion*) {
    return 0;
}

void DC_Recv::setInvertTilt(bool on) {
    _core->setInvertTilt(on);
}

bool DC_Recv::isGetFilter() {
    return true;
}
