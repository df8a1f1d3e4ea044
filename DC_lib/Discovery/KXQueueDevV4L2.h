#pragma once

// Model identification: finds a camera's capture device by a piece of its path, asks the
// camera for its model over the command channel, and the two lookups by ordinal.
//
// Threading: one thread at a time. A model query binds a controller of its own, so it may
// run while another thread commands the connected camera.

#include <memory>
#include <string>

#include "KXPlatform.h"

class KXQueueDevV4L2 {
public:
    explicit KXQueueDevV4L2(std::shared_ptr<KXPlatform> platform);

    bool hasVideoEnumerator() const { return _videoEnumerator; }

    // The last video device whose path contains "usb" and holds `text` as whole components
    // (KXPathHasComponent); null when none.
    std::unique_ptr<KXCaptureFilter> getUsbFilter(const std::string& text);

    // Model code of the camera whose path holds `text` (11: its own name, written to
    // `modelName`, at least 25 bytes); 0 when unknown.
    int getDeviceModel(const std::string& text, char* modelName);

    int getDevModel(int ordinal);
    int getDevModelWithLocation(char* location, int ordinal);

    // Windows-form instance id from a capture device path (\\?\usb#...#{guid}\global).
    static std::string instanceIdFromDevicePath(const std::string& path);

private:
    std::vector<KXCaptureDevice> walk();
    int lookupByOrdinal(int ordinal, char* location, bool withLocation);
    void queryLocation(const std::string& devicePath, char* location);

    std::shared_ptr<KXPlatform> _platform;
    bool _videoEnumerator = false;
};
