#pragma once

// vexsim --usb: the scenario's cameras as emulated USB devices (UsbCamera), one on each
// dummy_hcd bus: camera k of the scenario on dummy_udc.k, or on the bus its "usb_bus" names.
// The simulator socket stays: a SimWorld without live streams keeps the cameras' models,
// registers, journal and faults, and answers the control operations; plug and unplug also
// take the USB device on and off its bus; "fault" with "request_op": "stream" sets the
// stream's faults; "sent" tells (and writes out) the frames the host took; "status" shows each
// camera's USB side. The scenario's arrays and timeline are not run in this mode.
//
// Once every camera plugged at start has been configured by its host, the ready file (when
// given) is written: the number of those cameras and a line end, through a temporary file and
// a rename.
//
// Threading: created, driven and destroyed on vexsim's main thread (Qt event loop), like
// SimWorld. Control requests arrive on the simulator socket's thread and are handed to the
// main thread (SimControlInbox). The cameras' device threads report a configured host
// (cameraConfigured, under _readyMutex) and a camera lost by a fault (posted to the main
// thread, which unplugs it). The destructor closes the hand-over, unplugs every camera (their
// threads are joined) and then tears down the world.

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "KXJsonLine.h"
#include "SimScenario.h"
#include "SimWorld.h"
#include "UsbCamera.h"

class UsbWorld {
public:
    UsbWorld(const SimScenario& scenario, const std::string& socketPath, const std::string& readyFile);
    ~UsbWorld();
    UsbWorld(const UsbWorld&) = delete;
    UsbWorld& operator=(const UsbWorld&) = delete;

    bool ok() const { return _error.empty(); }
    const std::string& error() const { return _error; }

    // Plugs the cameras the scenario plugs at start; false (error() says why) when one cannot be.
    bool start();
    kxjson::Json control(const kxjson::Json& request);
    std::function<void()> onQuit;

    // The USB device a scenario camera becomes (descriptors' ids, strings and formats).
    static uvcsim::DeviceDesc deviceDesc(const SimScenario::Camera& camera);

private:
    UsbCamera* camera(const kxjson::Json& request, std::string& error);
    void cameraConfigured(const std::string& id);
    void writeReadyFile(size_t count);

    std::string _error;
    std::unique_ptr<SimWorld> _world;
    // One picture per room a camera shows; immutable once built, read by the cameras' threads.
    std::map<SimRoom, std::shared_ptr<const SimPicture>> _pictures;
    std::vector<std::unique_ptr<UsbCamera>> _cameras;
    std::vector<bool> _plugAtStart;
    std::unique_ptr<SimControlInbox> _inbox;
    QObject _context;  // posted work ("lost" cameras, "quit") runs in it

    const std::string _readyFile;  // immutable
    std::mutex _readyMutex;
    std::set<std::string> _awaited;  // guarded by _readyMutex: plugged at start, not configured yet
    size_t _readyCount = 0;          // guarded by _readyMutex
    bool _readyWritten = false;      // guarded by _readyMutex
};
