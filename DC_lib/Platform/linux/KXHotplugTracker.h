#pragma once

// Turns udev video4linux add/remove events into broadcast records. Remove events may lack
// the ID_* properties, so the name of a removed node is the one remembered for its syspath
// when it was added (or when the source started).

#include <map>
#include <optional>
#include <string>

#include "KXHotplug.h"

class KXHotplugTracker {
public:
    // A node already present at start.
    void remember(const std::string& syspath, const std::string& name);

    // One udev event. `capabilities` is ID_V4L_CAPABILITIES (empty when absent), `name` the
    // capture device path computed for the node (empty when it is not a USB camera).
    std::optional<KXHotplugEvent> onEvent(const std::string& action, const std::string& syspath,
                                          const std::string& capabilities, const std::string& name);

    static bool isCaptureNode(const std::string& capabilities);

private:
    std::map<std::string, std::string> _names;  // syspath -> device path; one thread only
};
