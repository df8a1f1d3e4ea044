#pragma once

// Everything one vexsim process simulates, built from a scenario: the camera server on the
// Unix socket (SimServer), each camera's live picture streams (SimVideoServer), the arrays
// (SimArray), the timeline, and the control operations that tests and scripts send on the
// simulator socket (tools/vexsim/README.md lists them).
//
// Threading: created, driven and destroyed on one thread with a Qt event loop (vexsim's main
// thread). Control requests arrive on the camera server's thread; they are handed to this
// thread and waited for there, so every operation runs on the owning thread. The destructor
// first closes that hand-over (a waiting request is answered "shutting down"), then tears down
// arrays, streams and the server.

#include <QObject>
#include <QTimer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KXJsonLine.h"
#include "SimArray.h"
#include "SimPicture.h"
#include "SimScenario.h"
#include "SimServer.h"
#include "SimVideoServer.h"

// Hands requests from other threads to the thread this object lives on and waits for their
// answers. The requests and answers cross under one std::mutex (the posted event only wakes
// the owning thread), so the hand-over is plain to a race checker as well as sound.
class SimControlInbox : public QObject {
public:
    using Handler = std::function<kxjson::Json(const kxjson::Json&)>;
    // `handler` runs on the owning thread; `refusal` answers requests once closed.
    SimControlInbox(Handler handler, kxjson::Json refusal);

    // Any thread but the owning one: posts the request and waits for its answer.
    kxjson::Json call(const kxjson::Json& request);
    // Owning thread: runs nothing more and releases every waiting caller with the refusal.
    void close();
    // Requests posted and not yet run (any thread).
    size_t pendingCount() const;

protected:
    // Owning thread: runs the pending requests. (Only the wake-up is a custom event; its
    // contents are never read here, since they were written on the caller's thread.)
    void customEvent(QEvent* event) override;

private:
    struct Pending {
        kxjson::Json request;
        kxjson::Json answer;
        bool done = false;
    };

    const Handler _handler;  // owning thread only
    const kxjson::Json _refusal;
    mutable std::mutex _mutex;
    std::condition_variable _answered;            // signalled under _mutex
    std::deque<std::shared_ptr<Pending>> _queue;  // guarded by _mutex
    bool _closed = false;                         // guarded by _mutex
};

class SimWorld {
public:
    struct Options {
        // Serve each capability's picture on loopback TCP. Off for a world whose cameras show
        // their pictures some other way (vexsim --usb): their capabilities then carry no URL.
        bool liveStreams = true;
    };

    // Builds everything; `ok()` tells whether it could (a port taken, a socket path that
    // cannot be bound, an encoder missing), `error()` why.
    SimWorld(const SimScenario& scenario, const std::string& socketPath);
    SimWorld(const SimScenario& scenario, const std::string& socketPath, const Options& options);
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
    // The device path under which a scenario camera is served (and journalled).
    static std::string devicePathOf(const SimScenario::Camera& camera);
    SimArray* array(const std::string& id);
    SimVideoServer* stream(const std::string& cameraId, size_t index);
    // Set by "quit"; vexsim's main loop ends when it turns true.
    std::function<void()> onQuit;

private:
    // The device path a camera's streams look its view up by: set on the owning thread when the
    // camera is plugged in on another port, read on the streams' threads.
    class ViewPath {
    public:
        explicit ViewPath(std::string path) : _path(std::move(path)) {}
        std::string get() const {
            std::lock_guard<std::mutex> lock(_mutex);
            return _path;
        }
        void set(const std::string& path) {
            std::lock_guard<std::mutex> lock(_mutex);
            _path = path;
        }

    private:
        mutable std::mutex _mutex;
        std::string _path;  // guarded by _mutex
    };

    struct CameraEntry {
        SimScenario::Camera setup;  // setup.busPort: where the camera is (or was last) plugged in
        std::string devicePath;
        std::shared_ptr<ViewPath> viewPath;  // shared with the streams' view lookups
        std::vector<std::unique_ptr<SimVideoServer>> streams;
        bool plugged = false;
        bool configured = false;  // start place and presets applied
    };

    void plug(CameraEntry& camera, bool announce);
    // Plugs an unplugged camera in at another "B&P": it keeps its model and its streams; false
    // (and `error`) when the port is malformed, the camera is plugged in elsewhere, or another
    // camera has that place.
    bool plugAt(CameraEntry& camera, const std::string& busPort, std::string& error);
    void unplug(CameraEntry& camera, bool announce);
    CameraEntry* camera(const kxjson::Json& request, std::string& error);
    SimArray* arrayFor(const kxjson::Json& request, std::string& error);
    kxjson::Json status();
    kxjson::Json journal(const kxjson::Json& request);
    kxjson::Json registers(const kxjson::Json& request);
    kxjson::Json talk(const kxjson::Json& request, bool talking);
    // "busy": another program starts or stops streaming a camera (SimServer::setBusy).
    kxjson::Json busy(const kxjson::Json& request);
    void runTimelineFrom(size_t index);

    std::string _error;
    // One picture per room a camera shows, drawn here before any stream starts; immutable
    // after that, shared read-only by the cameras' streaming threads.
    std::map<SimRoom, std::shared_ptr<const SimPicture>> _pictures;
    std::unique_ptr<SimServer> _server;
    std::vector<CameraEntry> _cameras;
    std::vector<std::pair<std::string, std::unique_ptr<SimArray>>> _arrays;
    std::vector<SimScenario::Event> _timeline;
    int64_t _loopMs = 0;
    QTimer _timelineTimer;
    int64_t _timelineStartMs = 0;
    size_t _nextEvent = 0;
    QObject _context;  // the timeline's and "quit"'s timers run in it
    // Control requests from the server thread; outlives the server (destroyed after it).
    std::unique_ptr<SimControlInbox> _inbox;
};
