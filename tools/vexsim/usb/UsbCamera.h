#pragma once

// One emulated camera on a real (emulated) USB bus: a raw-gadget instance bound to one UDC,
// serving the descriptors and requests of UvcFunction on the control endpoint and the
// committed stream on the bulk endpoint. The extension unit's command channel reaches the
// simulator's camera model through SimServer, so its registers, head, journal and faults are
// those of the simulated backend; on top of those this device has faults of its own: a
// command request that stalls (fault "error" or "stall"), answers late ("delay"), answers
// short ("garbage") or never because the camera drops off the bus ("close"); and a stream
// that stops sending ("stall") or whose camera drops off the bus in the middle of a frame
// ("close") after a number of frames.
//
// Threading:
//  - the owner's thread (vexsim's main thread) calls plug, unplug, the fault setters and the
//    status and sent reads; plug and unplug alone start and join the two threads below and
//    open and close the gadget.
//  - the control thread fetches the gadget's events and answers every control request; it
//    alone uses _function (the requests' state) and writes the endpoint handle and session.
//  - the streaming thread renders, encodes and writes the committed stream to the bulk
//    endpoint; it alone uses its frame source.
//  - _mutex guards everything the three share (marked below); no raw-gadget call and no call
//    into SimServer or the callbacks is made while it is held. The callbacks run on the two
//    device threads.
//  - Both device threads block in raw-gadget calls; a session change or an unplug changes the
//    state under _mutex, wakes _changed and then interrupts them (UsbIoThread), so that a
//    blocked transfer is withdrawn.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "KXJsonLine.h"
#include "SimPicture.h"
#include "UsbIoThread.h"
#include "UvcFunction.h"

class SimServer;

class UsbCamera {
public:
    struct Setup {
        std::string id;          // the scenario's camera id
        std::string devicePath;  // the path its requests are journalled under (SimServer)
        int udcIndex = 0;        // dummy_udc.N at first (moveTo changes it)
        int markerCamera = -1;   // its number in the picture's marker (SimMarker); -1: none
        uvcsim::DeviceDesc desc;
    };
    struct Callbacks {
        // The host configured the device (SET_CONFIGURATION with a configuration).
        std::function<void(const std::string& id)> configured;
        // A fault makes the camera drop off the bus: the owner is to unplug it (on its thread).
        std::function<void(const std::string& id)> lost;
    };
    enum class StreamFault { None, Stall, Close };

    UsbCamera(Setup setup, SimServer& server, std::shared_ptr<const SimPicture> picture, Callbacks callbacks);
    ~UsbCamera();
    UsbCamera(const UsbCamera&) = delete;
    UsbCamera& operator=(const UsbCamera&) = delete;

    const Setup& setup() const { return _setup; }
    // Binds the gadget to its UDC (the host sees the device arrive). False with `error` set
    // when the gadget cannot be opened or bound.
    bool plug(std::string& error);
    // The device leaves the bus. Safe when not plugged.
    void unplug();
    bool plugged() const { return _fd >= 0; }
    // The bus the next plug binds to (dummy_udc.N); only while unplugged.
    int udcIndex() const { return _udcIndex; }
    void moveTo(int udcIndex) { _udcIndex = udcIndex; }

    // After `afterFrames` more frames of the stream.
    void setStreamFault(StreamFault fault, int64_t afterFrames);
    kxjson::Json status() const;
    // The frames of the current stream the host has taken (those still kept), with their sizes
    // and hashes; with `file` also their bytes, one after another, written there.
    kxjson::Json sent(const std::string& file) const;

private:
    struct Session {
        uvcsim::StreamParams params;
        uint64_t number = 0;
    };
    struct SentFrame {
        int64_t index = 0;
        uvcsim::Bytes bytes;
    };

    void controlLoop();
    void handleSetup(const uvcsim::SetupPacket& setup);
    void handleCommand(const uvcsim::SetupPacket& setup, bool set);
    void prepareConfiguration(uint16_t value);
    void endStream(bool interruptWriter);
    // Waits up to `ms` or until unplugged; false when unplugged.
    bool pause(int ms);

    void streamLoop();
    // Streams one session until it ends; false when the thread is to end.
    bool streamSession(const Session& session, int handle);
    enum class WriteResult { Done, Ended, Failed };
    WriteResult writePayloads(const Session& session, int handle, const uvcsim::Bytes& frame, bool fid,
                              bool cutShort);
    bool sessionCurrent(uint64_t number) const;
    void recordSent(uint64_t session, int64_t index, const uvcsim::Bytes& frame);

    const Setup _setup;                                // immutable
    SimServer& _server;                                // outlives this object
    const std::shared_ptr<const SimPicture> _picture;  // immutable
    const Callbacks _callbacks;                        // immutable
    int _fd = -1;                                    // owner's thread; immutable while the device threads run
    int _udcIndex;                                   // owner's thread; changed only while unplugged
    std::unique_ptr<uvcsim::UvcFunction> _function;  // control thread while plugged
    UsbIoThread _controlThread;
    UsbIoThread _streamThread;
    bool _fid = false;  // streaming thread only: the frame-id bit of the next frame

    mutable std::mutex _mutex;
    std::condition_variable _changed;
    bool _stopping = false;                        // guarded by _mutex
    int _endpoint = -1;                            // guarded by _mutex: the bulk endpoint's handle
    std::optional<Session> _session;               // guarded by _mutex: the committed stream, if any
    uint64_t _sessions = 0;                        // guarded by _mutex: sessions committed so far
    bool _configured = false;                      // guarded by _mutex
    StreamFault _streamFault = StreamFault::None;  // guarded by _mutex
    int64_t _streamFaultAfter = 0;                 // guarded by _mutex
    bool _streamStalled = false;                   // guarded by _mutex: until the next commit
    int64_t _framesSent = 0;                       // guarded by _mutex: in the current session
    int64_t _framesTotal = 0;                      // guarded by _mutex: in every session
    int64_t _commandRequests = 0;                  // guarded by _mutex
    uint64_t _sentSession = 0;                     // guarded by _mutex
    std::deque<SentFrame> _sent;                   // guarded by _mutex: the latest frames taken
    size_t _sentBytes = 0;                         // guarded by _mutex
};
