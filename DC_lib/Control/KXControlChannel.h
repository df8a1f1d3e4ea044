#pragma once

// The process-wide side of the command channel: the current controller (the one the most
// recently constructed receiver made) and the camera interfaces it is bound to.
//
// The receiver uses three calls:
//   constructor (local source): KXBindReceiverController(url text, deviceModel)
//   control calls:              if (auto c = KXCurrentController()) c->panUp(); else -252
//   destructor:                 KXReleaseChannelInterfaces()
//
// Threading: every function is safe from any thread (one lock, see KXIUSBControl.h). A
// controller handed out stays valid while the caller holds it, even if a new receiver
// replaces it as the current one.

#include <memory>
#include <mutex>
#include <string>

#include "Control/KXIUSBControl.h"

class KXControlInterface;
class KXExtensionUnit;

// The three camera interfaces of one bound camera; only the extension unit carries commands.
struct KXChannelBinding {
    std::shared_ptr<KXControlInterface> cameraControl;
    std::shared_ptr<KXControlInterface> extensionUnit;  // a KXExtensionUnit
    std::shared_ptr<KXControlInterface> videoProcessing;
};

// The current controller; null until a receiver made one. Never cleared afterwards.
std::shared_ptr<KXIUSBControl> KXCurrentController();

// Makes `controller` the current one (the previous one stays alive for whoever holds it).
void KXSetCurrentController(std::shared_ptr<KXIUSBControl> controller);

// What a receiver's constructor does for a local camera: looks up the capture device whose
// path holds `locationText` as a whole component, creates a controller, makes it current and initialises it
// with that device and `model`. Writes "_deviceModel %d" and, when initialisation fails,
// "kxiDShowControl initialize fail!!!.". Returns the initialisation result (0 bound, -254 no
// device found, -253 the device could not be opened); the controller is current in every
// case, so later control calls answer 65535 / -1 on a camera without a channel.
int KXBindReceiverController(const std::string& locationText, int model);

// What a receiver's destructor does: releases the three process-wide interfaces. The
// current controller stays; its writes then answer 65535 and its reads -1.
void KXReleaseChannelInterfaces();

// Internal: the channel lock and the process-wide binding (guarded by that lock).
std::mutex& KXChannelMutex();
KXChannelBinding& KXSharedBindingLocked();
