#include "CameraSelection.h"

#include <cctype>

namespace {

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

}  // namespace

bool VexctlSelectCamera(const std::vector<VexctlCamera>& cameras, const std::optional<std::string>& location,
                        const std::optional<int>& index, VexctlCamera& out, std::string& error) {
    if (location && index) {
        error = "name the camera either by its location identity or by --index, not both";
        return false;
    }
    if (location) {
        const std::string wanted = lower(*location);
        for (const VexctlCamera& camera : cameras) {
            if (camera.location == wanted) {
                out = camera;
                return true;
            }
        }
        error = "no supported camera at location " + *location + " (see vexctl list)";
        return false;
    }
    if (index) {
        if (*index < 0 || *index >= static_cast<int>(cameras.size())) {
            error = "no camera with index " + std::to_string(*index) + " (" + std::to_string(cameras.size()) +
                    " attached; see vexctl list)";
            return false;
        }
        out = cameras[static_cast<size_t>(*index)];
        return true;
    }
    if (cameras.empty()) {
        error = "no supported camera attached";
        return false;
    }
    if (cameras.size() > 1) {
        error = std::to_string(cameras.size()) +
                " cameras attached: name one by its location identity or --index (see vexctl list)";
        return false;
    }
    out = cameras.front();
    return true;
}
