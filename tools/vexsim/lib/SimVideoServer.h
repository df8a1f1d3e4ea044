#pragma once

// One capability of a simulated camera served live on loopback TCP: a thread renders the
// camera's view (SimPicture) at the capability's frame rate, encodes it with libavcodec
// (MJPEG: a raw JPEG sequence; H.264: an Annex B elementary stream) and sends it to every
// connected client, as the capability's "input" (format, tcp:// URL) tells the receiver.
// A new connection receives a stream that begins at a key frame. Nothing is rendered or
// encoded while nobody is connected.
//
// Threading: the constructor starts the server thread, which alone owns the sockets, the
// encoder and the frame; the owner's thread calls setEnabled, the counters and the
// destructor (abort -> wake -> join). The view source is called on the server thread; it
// must be safe there (SimServer::view takes the server's lock).

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "SimPicture.h"

struct AVCodecContext;

class SimVideoServer {
public:
    struct Options {
        std::string codec = "mjpeg";  // "mjpeg" or "h264"
        int width = 1280;
        int height = 720;
        int fps = 30;
        std::string host = "127.0.0.1";
        int port = 0;                     // 0: any free port
        int quality = 5;                  // MJPEG quantiser (2 best .. 31)
        size_t maxQueuedBytes = 8 << 20;  // per client; beyond it whole frames are dropped
        int startDelayMs = 0;             // a camera slow to deliver: each viewer's stream begins this late
        // The camera's number in the marker drawn into every frame (SimMarker); -1: none.
        int markerCamera = -1;
    };
    // Fills the view; false while the camera is away (the picture then holds still).
    using ViewSource = std::function<bool(SimView& view)>;

    SimVideoServer(std::shared_ptr<const SimPicture> picture, ViewSource source, Options options);
    ~SimVideoServer();
    SimVideoServer(const SimVideoServer&) = delete;
    SimVideoServer& operator=(const SimVideoServer&) = delete;

    // False when the encoder or the listener could not be set up (error() says why).
    bool ok() const { return _ok; }
    const std::string& error() const { return _error; }
    int port() const { return _port; }
    // "tcp://127.0.0.1:PORT"
    std::string url() const;
    const Options& options() const { return _options; }

    // A camera that is unplugged serves nobody: current clients are cut off and new ones
    // are closed at once, until it is enabled again.
    void setEnabled(bool enabled);

    size_t clients() const { return _clients.load(); }
    uint64_t framesEncoded() const { return _frames.load(); }

private:
    struct Impl;

    void run();

    Options _options;
    std::shared_ptr<const SimPicture> _picture;  // immutable after start
    ViewSource _source;                          // immutable after start
    std::unique_ptr<Impl> _impl;                 // server thread only (after start)
    bool _ok = false;                            // immutable after start
    std::string _error;                          // immutable after start
    int _port = 0;                               // immutable after start
    int _listenFd = -1;                          // immutable after start
    int _wakePipe[2] = {-1, -1};                 // immutable after start
    std::atomic<bool> _stop{false};
    std::atomic<bool> _enabled{true};
    std::atomic<size_t> _clients{0};
    std::atomic<uint64_t> _frames{0};
    std::thread _thread;
};

// The encoder a simulated camera uses for its pictures (MJPEG: full-range 4:2:0 at a fixed
// quantiser; H.264: libx264 ultrafast, zero latency, no B-frames, a key frame every two
// seconds), opened for `options`' codec, size and rate. False with `error` set when it cannot
// be opened; the caller frees the context.
bool simOpenVideoEncoder(const SimVideoServer::Options& options, AVCodecContext*& context,
                         std::string& error);
