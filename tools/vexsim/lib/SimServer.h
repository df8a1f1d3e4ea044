#pragma once

// The camera side of the simulator: serves the simulator line protocol (usb_devices,
// capture_devices, xu, watch) on a Unix socket, either at a given path (vexsim) or in a fresh
// temporary folder (tests). Its owner describes cameras (with capabilities whose "input" it
// sets, e.g. a local TCP stream), audio devices and USB entries; reads the journal of every
// request with its arrival time; and sets faults per operation. Requests with any other
// "op" go to the control handler, if one is set (vexsim's plug, talk, journal, ...).
//
// Each camera's extension unit is a SimCamera: set_cur (register, value) writes the register
// (and moves the head where the register says so); set_cur (0, register) selects it for the
// next get_cur, which answers (0, value).
//
// Threading: one server thread answers every connection; every public method may be called
// from any other thread while it runs (state guarded by _mutex). The control handler is
// called on the server thread without _mutex held, so it may call back into the server;
// while it runs, no other request is answered.

#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "KXJsonLine.h"
#include "KXLineReader.h"
#include "SimCamera.h"

class SimServer {
public:
    struct Capability {
        std::string subtype = "MJPG";
        int width = 1920;
        int height = 1080;
        int64_t minInterval = 333333;
        int64_t maxInterval = 333333;
        std::string inputFormat = "mjpeg";
        std::string inputUrl;  // e.g. "tcp://127.0.0.1:40101"
    };
    struct Camera {
        std::string friendlyName = "ZM-150 Camera";
        std::string devicePath;  // see devicePathFor()
        std::vector<std::string> interfaces = {"camera_control", "extension_unit", "video_processing"};
        std::vector<Capability> capabilities;
        std::map<uint16_t, uint16_t> registers;  // initial register values
    };
    struct AudioDevice {
        std::string friendlyName = "USB Audio";
        int sampleRate = 48000;
        int channels = 2;
        int bits = 16;
        std::string inputFormat = "s16le";
        std::string inputUrl;
    };

    // What an operation does instead of answering normally.
    enum class Fault {
        None,
        Error,    // {"ok":false,"error":"injected"}
        Garbage,  // a line that is not JSON
        Stall,    // no answer at all (the client must time out)
        Close,    // close the connection without answering
        Delay,    // the normal answer, sent only after the fault's delay (a slow USB
                  // transfer); the server answers nobody else meanwhile
    };

    // Listens in a fresh temporary folder (removed again by the destructor).
    SimServer();
    // Listens at `socketPath` (a stale socket file there is replaced; the destructor removes
    // it). Throws std::runtime_error when it cannot listen.
    explicit SimServer(const std::string& socketPath);
    ~SimServer();
    SimServer(const SimServer&) = delete;
    SimServer& operator=(const SimServer&) = delete;

    const std::string& socketPath() const { return _socketPath; }
    // Moves the listening socket to `path` (same rules as the constructor's): an owner that
    // listens on a private name while it sets up, then publishes the socket, is never seen
    // half ready. Call it from the owner's thread before anyone else asks for socketPath().
    bool publishAs(const std::string& path, std::string& error);

    // The capture device path of a camera ("1d4d", "6009", "1&2.4&1&0000").
    static std::string devicePathFor(const std::string& vid, const std::string& pid,
                                     const std::string& location);

    void addCamera(const Camera& camera, bool announce = false);
    void removeCamera(const std::string& devicePath, bool announce = false);
    void addAudioDevice(const AudioDevice& device);
    void addUsbDevice(const kxjson::Json& entry);  // an object as the protocol gives it

    void setRegister(const std::string& devicePath, uint16_t reg, uint16_t value);
    uint16_t registerValue(const std::string& devicePath, uint16_t reg) const;
    // Every register of a camera (empty when no camera has that path).
    std::map<uint16_t, uint16_t> registers(const std::string& devicePath) const;
    bool hasCamera(const std::string& devicePath) const;
    // Another program streams the camera (or lets go of it): while it does, the camera's video
    // device is listed with "busy": true, and a receiver's open of it fails as a driver's
    // would (EBUSY). Its extension unit answers as before. Taking the camera away ends it.
    void setBusy(const std::string& devicePath, bool busy);
    bool isBusy(const std::string& devicePath) const;
    // Where a camera looks now (false when there is no such camera model). A camera keeps its
    // model (position, presets) while unplugged, so a picture can still be asked for.
    bool view(const std::string& devicePath, SimView& out) const;
    // Runs `action` on a camera's model under the server's lock (the scenario's start place
    // and presets); false when no camera was ever added with that path.
    bool withCamera(const std::string& devicePath,
                    const std::function<void(SimCamera&, double nowMs)>& action);
    // Milliseconds on the steady clock the camera models run on.
    static double steadyNowMs();
    // Milliseconds since the epoch, with a fraction: the journal's time stamps.
    static double wallNowMs();

    // Requests whose "op" is none of the protocol's go here; its answer is sent as the line.
    using ControlHandler = std::function<kxjson::Json(const kxjson::Json& request)>;
    void setControlHandler(ControlHandler handler);

    // `op` ("usb_devices", "capture_devices", "xu", "watch"); applies to every later request
    // of that op once `afterCount` more of them were answered normally. `delayMs`: Delay only.
    void setFault(const std::string& op, Fault fault, int afterCount = 0, int delayMs = 0);

    // One entry of `usb_devices` for interface `interfaceNumber` of a device at `location`
    // ("1&2.4&1" + "&0000"-style suffix is added), with the texts the Linux walk produces.
    static kxjson::Json usbInterfaceEntry(const std::string& vid, const std::string& pid,
                                          const std::string& busPort, int interfaceNumber,
                                          const std::string& friendlyName);
    // The entry of the whole device: "USB\VID_..&PID_..\" and its serial number, or "B&P"
    // when it has none (`serial` empty), with the device's location path.
    static kxjson::Json usbDeviceEntry(const std::string& vid, const std::string& pid,
                                       const std::string& busPort, const std::string& serial = std::string());
    // The location path of the whole device at "B&P" ("pci-0000:00:14.0-usb-0:2.4"); its
    // interfaces' paths add ":1.<interface>".
    static std::string deviceLocationPath(const std::string& busPort);
    // The location identity of interface `interfaceNumber` of the device at "B&P" ("1&2.4").
    static std::string locationFor(const std::string& busPort, int interfaceNumber);
    // Removes the device at "B&P" and its interfaces (the device entry also when it carries a
    // serial number instead of "B&P").
    void removeUsbDevices(const std::string& busPort);
    // A camera plugged in on another port: its model (position, presets, registers) moves from
    // one device path to the other, so it keeps its memory; false when there is no model at
    // `from` or `to` is taken by another camera's model.
    bool moveCameraModel(const std::string& from, const std::string& to);

    // A request that reaches a simulated camera by another way than this socket (the USB
    // device's control endpoint). takeFault() takes the fault that applies to the next request
    // of `op`, counting "after" down as a request on the socket does; handleLocal() journals
    // the request and, unless `fault` replaces the answer (anything but None and Delay),
    // answers it as the protocol would and counts it answered.
    Fault takeFault(const std::string& op, int& delayMs);
    kxjson::Json handleLocal(const kxjson::Json& request, Fault fault);

    // Answers sent for requests of `op` (a request whose answer is delayed counts once its
    // delay is over, just before the answer is sent).
    size_t answered(const std::string& op) const;

    // Every request in arrival order: the parsed object, or the line as a string when it was
    // not JSON.
    std::vector<kxjson::Json> journal() const;
    // The same with each request's arrival time (wallNowMs) and its running number (counted
    // from the server's start, not reset by clearJournal).
    struct JournalEntry {
        uint64_t seq = 0;
        double timeMs = 0.0;
        kxjson::Json request;
    };
    std::vector<JournalEntry> timedJournal(uint64_t fromSeq = 0) const;
    void clearJournal();
    // Waits until the journal holds at least `count` requests.
    bool waitForJournal(size_t count, int timeoutMs) const;
    // Waits until `count` watch connections are open.
    bool waitForWatchers(size_t count, int timeoutMs) const;

    // Sends a hot-plug line to every watcher.
    void announce(const std::string& event, const std::string& name);
    // Sends any text (a fault: garbage, an endless line) to every watcher.
    void sendToWatchers(const std::string& text);

    // The longest request line read. Requests are a few hundred bytes; a longer line (a peer
    // that never ends its line) closes that connection, as the library's readers end a stream
    // whose line passes their bound.
    static constexpr size_t kMaxRequestBytes = 64 * 1024;

private:
    struct Client {
        int fd;
        KXLineReader reader;  // bytes received after the last full line
        bool watching = false;
    };
    // One of the protocol's operations: its answer to a request (needs _mutex); `watch` is
    // set by the one that makes the connection a watcher.
    using Answer = kxjson::Json (SimServer::*)(const kxjson::Json& request, bool& watch);
    struct Operation {
        const char* name;
        Answer answer;
    };
    struct FaultState {
        Fault fault = Fault::None;
        int normalLeft = 0;
        int delayMs = 0;
    };

    void start();
    void serve();
    // Both return false when the connection must close.
    bool handleReadable(Client& client);
    bool answer(Client& client, const std::string& line);
    kxjson::Json respond(const kxjson::Json& request, bool& watch);  // needs _mutex
    // The protocol's operation named `op`; nullptr when it is none of them (a control request).
    static const Operation* operation(const std::string& op);
    kxjson::Json answerUsbDevices(const kxjson::Json& request, bool& watch);
    kxjson::Json answerCaptureDevices(const kxjson::Json& request, bool& watch);
    kxjson::Json answerXu(const kxjson::Json& request, bool& watch);
    kxjson::Json answerWatch(const kxjson::Json& request, bool& watch);
    void wake();

    std::string _folder;  // empty when the owner gave the path
    std::string _socketPath;
    int _listenFd = -1;
    int _wakePipe[2] = {-1, -1};
    std::thread _thread;

    mutable std::mutex _mutex;
    mutable std::condition_variable _changed;
    bool _stop = false;                         // guarded by _mutex
    std::vector<Camera> _cameras;               // guarded by _mutex
    std::vector<AudioDevice> _audio;            // guarded by _mutex
    std::vector<kxjson::Json> _usb;             // guarded by _mutex
    std::map<std::string, uint16_t> _selected;  // guarded by _mutex: device -> selected register
    std::map<std::string, FaultState> _faults;  // guarded by _mutex
    std::set<std::string> _busy;                // guarded by _mutex: device paths streamed elsewhere
    std::vector<JournalEntry> _journal;         // guarded by _mutex
    uint64_t _journalSeq = 0;                   // guarded by _mutex
    // guarded by _mutex: device path -> model; mutable because looking integrates the motion
    mutable std::map<std::string, SimCamera> _models;
    ControlHandler _control;                  // guarded by _mutex (copied out before a call)
    std::map<std::string, size_t> _answered;  // guarded by _mutex: op -> answers sent
    std::vector<std::string> _outgoing;       // guarded by _mutex: lines for watchers
    size_t _watchers = 0;                     // guarded by _mutex
    std::vector<Client> _clients;             // server thread only
};
