#pragma once

// The supported cameras attached now, found the way the application's search finds them:
// the USB walk of the process's platform backend (the library's exported call), the first
// interface of each device, the library's vendor/product check and its model lookup. A
// device whose model the library cannot tell is not listed (it could not be controlled).
//
// Threading: the main thread only.

#include <optional>
#include <string>
#include <vector>

#include "KXPlatform.h"

class DC_Find;

struct VexctlCamera {
    int index = 0;             // position in list order, from 0
    std::string location;      // location identity, lower case: "1&2.4&1&0000"
    std::string vendorId;      // "1d4d"
    std::string productId;     // "6009"
    int modelCode = 0;         // 1 to 11
    std::string modelName;     // from the model table, or the name the camera reported
    std::string friendlyName;  // the USB product string
    std::string videoNode;     // /dev/videoN on Linux; empty on the simulated backend
    std::string videoName;     // the capture device's friendly name
};

// The cameras among `devices` (the USB walk) in walk order, their capture devices looked up
// in `videoDevices`. `find` is initialised by the caller.
std::vector<VexctlCamera> VexctlFindCameras(const std::vector<KXUsbDevice>& devices,
                                            const std::vector<KXCaptureDevice>& videoDevices, DC_Find& find);

// The same over the process's backend. false with `error` when the USB walk fails.
bool VexctlListCameras(std::vector<VexctlCamera>& out, std::string& error);

// The camera a command names: by location identity (any letter case), by --index, or the
// only one attached. false with `error` (one line) when there is no such camera, or when
// none is named and the choice is not clear.
bool VexctlSelectCamera(const std::vector<VexctlCamera>& cameras, const std::optional<std::string>& location,
                        const std::optional<int>& index, VexctlCamera& out, std::string& error);
