#pragma once

// The supported cameras attached now, found the way the application's search finds them:
// the USB walk of the process's platform backend (the library's exported call), the first
// interface of each device, the library's vendor/product check and its model lookup. A
// device whose model the library cannot tell is not listed (it could not be controlled).
//
// Threading: the main thread only.

#include <string>
#include <vector>

#include "CameraSelection.h"
#include "KXPlatform.h"

class DC_Find;

// The cameras among `devices` (the USB walk) in walk order, their capture devices looked up
// in `videoDevices`. `find` is initialised by the caller.
std::vector<VexctlCamera> VexctlFindCameras(const std::vector<KXUsbDevice>& devices,
                                            const std::vector<KXCaptureDevice>& videoDevices, DC_Find& find);

// The same over the process's backend. false with `error` when the USB walk fails.
bool VexctlListCameras(std::vector<VexctlCamera>& out, std::string& error);
