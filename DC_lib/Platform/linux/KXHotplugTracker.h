#pragma once

// Turns udev video4linux add/remove events into broadcast records. Remove events may lack
// the ID_* properties, so the name of a removed node is the one remembered for its syspath
// when it was added (or when the source started).

#include <functional>
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

    // One udev event as its property set (ACTION, DEVPATH, ID_V4L_CAPABILITIES, ...), as the
    // monitor delivers it. `captureNameOfNode` gives the capture device path of a node name
    // ("video0") while the node exists; it is asked only for an added capture node.
    using NameOfNode = std::function<std::optional<std::string>(const std::string& node)>;
    std::optional<KXHotplugEvent> onUdevEvent(const std::map<std::string, std::string>& properties,
                                              const NameOfNode& captureNameOfNode);

    // The syspath udev gives a DEVPATH ("/devices/...") under the sysfs mount.
    static std::string syspathOf(const std::string& devpath);
    static std::string nodeNameOf(const std::string& syspath);

    static bool isCaptureNode(const std::string& capabilities);

private:
    std::map<std::string, std::string> _names;  // syspath -> device path; one thread only
};
