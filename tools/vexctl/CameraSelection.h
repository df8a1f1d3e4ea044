#pragma once

// A supported camera as vexctl lists it, and the rule by which a command names one.

#include <optional>
#include <string>
#include <vector>

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

// The camera a command names: by location identity (any letter case), by --index, or the
// only one attached. false with `error` (one line) when there is no such camera, or when
// none is named and the choice is not clear.
bool VexctlSelectCamera(const std::vector<VexctlCamera>& cameras, const std::optional<std::string>& location,
                        const std::optional<int>& index, VexctlCamera& out, std::string& error);
