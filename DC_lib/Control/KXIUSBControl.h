#pragma once

// The camera command channel: register writes and reads through the camera's vendor
// extension unit, table-driven by command number.
//
// Each controller owns its binding: the interfaces of the camera it was initialised with.
// Two controllers never share one, so a receiver's controller keeps steering its own camera
// whatever other receivers or model queries initialise.
//
// Threading: any thread. Every read, write and binding change holds the one channel lock
// (KXChannelMutex()); a read's select-then-get pair runs under it as one unit, so no other
// command reaches a camera between the two. The lock is held across the extension unit's
// platform request (a leaf call that never calls back) and never across a call into the
// application.

#include <cstdint>
#include <memory>

#include "vexsdk.h"

class KXExtensionUnit;
struct KXChannelBinding;

class KXIUSBControl : public KXIDShow_Control {
public:
    KXIUSBControl();
    ~KXIUSBControl() override;
    KXIUSBControl(const KXIUSBControl&) = delete;
    KXIUSBControl& operator=(const KXIUSBControl&) = delete;

    int initialize(void* filter, int model) override;  // filter: a KXCaptureFilter*
    int readCommand(int command, int* value) override;
    int writeCommand(int command, int value) override;
    int unsupported4() override;
    int readValue(int command, int* value) override;
    int getFocusMode(int* mode) override;
    int unsupported7() override;
    int unsupported8() override;
    int setMirrorFlip(int value) override;
    int sendCommand(int command) override;
    int setFocusMode(int mode) override;
    int setWhiteBalanceMode(int mode) override;
    int autoFocusTrigger() override;
    int autoWhiteBalanceTrigger() override;
    int factoryResetTrigger() override;
    int panTiltStop(int command) override;
    int zoomIn() override;
    int zoomOut() override;
    int zoomStop(int command) override;
    int panUp() override;
    int panDown() override;
    int panLeft() override;
    int panRight() override;
    int panUpLeft() override;
    int panUpRight() override;
    int panDownLeft() override;
    int panDownRight() override;
    int setPanSpeed(int speed) override;
    int setTiltSpeed(int speed) override;
    bool panHome() override;
    int focusStop() override;
    int focusFar() override;
    int focusNear() override;
    int callPreset(int preset) override;
    int savePreset(int preset) override;
    int resetPreset(int preset) override;
    int setAutoTracking(int value) override;

    // Firmware version: commands 50-56 as "%c" each up to the first 0, then " ". text needs
    // at least 9 bytes; *length = text length + 1. Always -255.
    int getFWVersion(char* text, int* length);
    // Raw 16-bit register read (model-name registers, commands 80-103).
    int readModelName(int command, int* value);

    int model() const;

    // Drops the bound interfaces (the receiver is going away): later writes answer 65535
    // and reads -1. The interfaces are released outside the channel lock.
    void release();

    // Default value marker: passing it as a write's value sends the row's default.
    static constexpr int kDefaultValue = 65535;

private:
    // Both need the channel lock held.
    int writeLocked(int command, int value);
    int readLocked(int command, uint16_t* value);

    int _model = 0;                              // guarded by the channel lock
    std::unique_ptr<KXChannelBinding> _binding;  // pointee guarded by the channel lock
};
