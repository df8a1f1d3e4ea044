#pragma once

// The process-wide side of the command channel: the lock every controller's requests run
// under, the receivers' controllers, and the current one.
//
// Every controller owns its binding (the camera interfaces it was initialised with), so a
// receiver's control calls reach its own camera whatever other receivers exist. The receiver
// uses two calls:
//   constructor (local source): _controller = KXBindReceiverController(url text, deviceModel)
//   destructor:                 KXReleaseReceiverController(_controller)
//
// The current controller remains for the one sender that has no receiver at hand: the face
// tracker (one per process). It is the controller of the most recently constructed receiver
// still alive; once the last receiver is gone it stays on that receiver's released
// controller, whose writes answer 65535 and reads -1, as with a single receiver.
//
// Threading: every function is safe from any thread. The registry below is guarded by its
// own lock, which is never held together with the channel lock. A controller handed out
// stays valid while the caller holds it, even when its receiver is destroyed.

#include <memory>
#include <mutex>
#include <string>

#include "Control/KXIUSBControl.h"

class KXControlInterface;

// The three camera interfaces of one bound camera; only the extension unit carries commands.
struct KXChannelBinding {
    std::shared_ptr<KXControlInterface> cameraControl;
    std::shared_ptr<KXControlInterface> extensionUnit;  // a KXExtensionUnit
    std::shared_ptr<KXControlInterface> videoProcessing;
};

// The current controller; null until a receiver made one.
std::shared_ptr<KXIUSBControl> KXCurrentController();

// Makes `controller` the current one (the previous one stays alive for whoever holds it).
void KXSetCurrentController(std::shared_ptr<KXIUSBControl> controller);

// What a receiver's constructor does for a local camera: looks up the capture device whose
// path holds `locationText` as a whole component, creates a controller of its own, makes it
// current and initialises it with that device and `model`. Writes "_deviceModel %d" and,
// when initialisation fails, "kxiDShowControl initialize fail!!!.". `result` (optional) gets
// the initialisation result (0 bound, -254 no device found, -253 the device could not be
// opened); a controller is returned in every case, so control calls answer 65535 / -1 on a
// camera without a channel.
std::shared_ptr<KXIUSBControl> KXBindReceiverController(const std::string& locationText, int model,
                                                        int* result = nullptr);

// What a receiver's destructor does: releases that controller's interfaces (its writes then
// answer 65535 and its reads -1) and, when it was the current one, hands that role back to
// the most recently bound receiver still alive. Other receivers' controllers are untouched.
void KXReleaseReceiverController(const std::shared_ptr<KXIUSBControl>& controller);

// Internal: the lock under which every controller reads, writes and rebinds. One lock for
// all cameras: a model query and a receiver may hold controllers on the same camera, and a
// lock per controller would let the query's request fall between the receiver's select and
// get. Each request is a short leaf call, so two cameras' commands only take turns.
std::mutex& KXChannelMutex();
