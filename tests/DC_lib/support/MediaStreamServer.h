#pragma once

// A loopback TCP server that streams a MediaClip to every client that connects, muxed with
// the clip's container, optionally paced in real time and optionally looped until the client
// goes away. Its URL ("tcp://127.0.0.1:<port>") is what a network source or a simulated
// camera's capability points at.
//
// Threading: the accept thread and one thread per client; the public calls are for the test
// thread. The destructor closes the listening socket and every client, then joins.

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MediaGenerator.h"

class MediaStreamServer {
public:
    struct Options {
        bool paced = true;  // send each packet at its presentation time
        bool loop = false;  // repeat the clip (timestamps continue) until the client leaves
        int passes = 1;     // without loop: how many times the clip is sent
        // Fault setting: after this many packets the connection is reset (RST) instead of
        // closed in order; -1 never.
        int resetAfterPackets = -1;
        // Fault setting: after this many packets nothing more is sent, but the connection
        // stays open until the client leaves or the server goes away (a camera that stopped
        // delivering); -1 never. 0 stalls before the first byte of the stream.
        int stallAfterPackets = -1;
        // Fault setting: each connection gets its first byte only after this many
        // milliseconds (a camera slow to start delivering: the open waits that long).
        int delayFirstByteMs = 0;
    };

    MediaStreamServer(std::shared_ptr<const MediaClip> clip, Options options);
    ~MediaStreamServer();
    MediaStreamServer(const MediaStreamServer&) = delete;
    MediaStreamServer& operator=(const MediaStreamServer&) = delete;

    bool ok() const { return _listenFd >= 0; }
    int port() const { return _port; }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(_port); }

    // Clients accepted so far.
    int connections() const { return _connections.load(); }
    // Waits (bounded) until at least `count` clients have connected.
    bool waitForConnections(int count, int timeoutMs);

    // Video packets written so far (all clients), and the presentation time in seconds of the
    // latest one written (-1 before any): where the live stream stands.
    int videoPacketsSent() const { return _videoPacketsSent.load(); }
    double lastVideoPtsSent() const { return _lastVideoPtsSent.load(); }

private:
    void acceptLoop();
    void serve(int fd);
    void holdUntilTheClientLeaves(int fd);

    std::shared_ptr<const MediaClip> _clip;  // immutable
    const Options _options;                  // immutable
    int _listenFd = -1;                      // immutable after construction
    int _port = 0;                           // immutable after construction
    std::atomic<bool> _stopping{false};
    std::atomic<int> _connections{0};
    std::atomic<int> _videoPacketsSent{0};        // written by the client threads
    std::atomic<double> _lastVideoPtsSent{-1.0};  // written by the client threads
    std::mutex _mutex;
    std::condition_variable _changed;   // signalled on each connection
    std::vector<int> _clientFds;        // guarded by _mutex
    std::vector<std::thread> _clients;  // guarded by _mutex
    std::thread _acceptThread;
};

// Generates `recipe`'s clip and serves it with `options`; null when the clip could not be made
// or the server cannot listen.
std::unique_ptr<MediaStreamServer> MediaServe(const MediaRecipe& recipe, MediaStreamServer::Options options);
// The same, over and over until the client leaves: a live stream, or what a camera delivers.
std::unique_ptr<MediaStreamServer> MediaServeLooped(const MediaRecipe& recipe);
