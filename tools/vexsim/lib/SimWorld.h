#pragma once

// Everything one vexsim process simulates, built from a scenario: the camera server on the
// Unix socket (SimServer), each camera's live picture streams (SimVideoServer), the arrays
// (SimArray), the timeline, and the control operations that tests and scripts send on the
// simulator socket (tools/vexsim/README.md lists them).
//
// Threading: created, driven and destroyed on one thread with a Qt event loop (vexsim's main
// thread). Control requests arrive on the camera server's thread; they are handed to this
// thread and waited for there (bounded), so every operation runs on the owning thread.
// The destructor first stops that hand-over, then tears down arrays, streams and the server.

#include <QObject>
#include <QTimer>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "KXJsonLine.h"
#include "SimArray.h"
#include "SimPicture.h"
#include "SimScenario.h"
#include "SimServer.h"
#include "SimVideoServer.h"

class SimWorld {
public:
    // Builds everything; `ok()` tells whether it could (a port taken, a socket path that
    // cannot be bound, an encoder missing), `error()` why.
    SimWorld(const SimScenario& scenario, const std::string& socketPath);
    ~SimWorld();
    SimWorld(const SimWorld&) = delete;
    SimWorld& operator=(const SimWorld&) = delete;

    bool ok() const { return _error.empty(); }
    const std::string& error() const { return _error; }
    const std::string& socketPath() const;

    // Starts the timeline (its times count from here).
    void start();
    // One control operation, on the owning thread (what the socket's requests run).
    kxjson::Json control(const kxjson::Json& request);

    SimServer& server() { return *_server; }
    SimArray* array(const std::string& id);
    SimVideoServer* stream(const std::string& cameraId, size_t index);
    // Set by "quit"; vexsim's main loop ends when it turns true.
    std::function<void()> onQuit;

private:
    struct CameraEntry {
        SimScenario::Camera setup;
        std::string devicePath;
        std::vector<std::unique_ptr<SimVideoServer>> streams;
        bool plugged = false;
        bool configured = false;  // start place and presets applied
    };

    void plug(CameraEntry& camera, bool announce);
    void unplug(CameraEntry& camera, bool announce);
    CameraEntry* camera(const kxjson::Json& request, std::string& error);
    SimArray* arrayFor(const kxjson::Json& request, std::string& error);
    kxjson::Json status();
    kxjson::Json journal(const kxjson::Json& request);
    kxjson::Json registers(const kxjson::Json& request);
    kxjson::Json talk(const kxjson::Json& request, bool talking);
    void runTimelineFrom(size_t index);

    std::string _error;
    std::shared_ptr<const SimPicture> _picture;
    std::unique_ptr<SimServer> _server;
    std::vector<CameraEntry> _cameras;
    std::vector<std::pair<std::string, std::unique_ptr<SimArray>>> _arrays;
    std::vector<SimScenario::Event> _timeline;
    int64_t _loopMs = 0;
    QTimer _timelineTimer;
    int64_t _timelineStartMs = 0;
    size_t _nextEvent = 0;
    QObject _context;  // receives the control requests posted from the server thread
    std::shared_ptr<std::atomic<bool>> _alive = std::make_shared<std::atomic<bool>>(true);
};
