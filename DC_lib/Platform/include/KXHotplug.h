#pragma once

// Capture-device hot-plug records for the application's USB listener.
//
// Usage: watch fd() for readability (a QSocketNotifier on the interface thread), then call
// readEvents() and broadcast each record. The source never blocks in readEvents().
//
// Threading: one thread at a time (the thread that watches the descriptor).

#include <string>
#include <vector>

#include "KXExport.h"

// One broadcast record, shaped like the device-interface notification the listener expects.
struct KXHotplugEvent {
    enum class Kind { Arrival, Removal };
    Kind kind = Kind::Arrival;
    int deviceType = 5;  // device interface
    std::string classGuid = "{65E8773D-8F56-11D0-A3B9-00A0C9223196}";
    std::string name;  // the capture device path (\\?\usb#vid_...\global)
};

class KX_PLATFORM_EXPORT KXHotplugSource {
public:
    virtual ~KXHotplugSource() = default;
    // The descriptor to watch for readability; -1 when the source is dead.
    virtual int fd() const = 0;
    // Drains what is ready and turns it into records; never blocks. A closed or broken
    // source returns false (stop watching it).
    virtual bool readEvents(std::vector<KXHotplugEvent>& out) = 0;
};
