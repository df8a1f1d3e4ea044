#include "MediaStreamServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cerrno>

namespace {

bool sendAll(void* context, const uint8_t* data, int size) {
    int fd = *static_cast<int*>(context);
    while (size > 0) {
        ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<int>(n);
    }
    return true;
}

}  // namespace

MediaStreamServer::MediaStreamServer(std::shared_ptr<const MediaClip> clip, Options options)
    : _clip(std::move(clip)), _options(options) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || ::listen(fd, 8) < 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) < 0) {
        ::close(fd);
        return;
    }
    _listenFd = fd;
    _port = ntohs(address.sin_port);
    _acceptThread = std::thread([this] { acceptLoop(); });
}

MediaStreamServer::~MediaStreamServer() {
    _stopping.store(true);
    if (_listenFd >= 0) {
        ::shutdown(_listenFd, SHUT_RDWR);
    }
    if (_acceptThread.joinable()) {
        _acceptThread.join();
    }
    std::vector<std::thread> clients;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (int fd : _clientFds) {
            ::shutdown(fd, SHUT_RDWR);
        }
        clients.swap(_clients);
    }
    for (std::thread& t : clients) {
        t.join();
    }
    if (_listenFd >= 0) {
        ::close(_listenFd);
    }
}

bool MediaStreamServer::waitForConnections(int count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(_mutex);
    return _changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return _connections.load() >= count; });
}

void MediaStreamServer::acceptLoop() {
    while (!_stopping.load()) {
        pollfd p{_listenFd, POLLIN, 0};
        int ready = ::poll(&p, 1, 50);
        if (ready <= 0) {
            continue;
        }
        int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // each packet leaves at once
        std::lock_guard<std::mutex> lock(_mutex);
        _clientFds.push_back(fd);
        _clients.emplace_back([this, fd] { serve(fd); });
        _connections.fetch_add(1);
        _changed.notify_all();
    }
}

void MediaStreamServer::holdUntilTheClientLeaves(int fd) {
    while (!_stopping.load()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            continue;
        }
        char byte;
        if (::recv(fd, &byte, 1, 0) <= 0) {
            return;  // closed by the client (or broken)
        }
    }
}

void MediaStreamServer::serve(int fd) {
    int socketFd = fd;
    const auto firstByteAt =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(_options.delayFirstByteMs);
    while (!_stopping.load() && std::chrono::steady_clock::now() < firstByteAt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (_options.stallAfterPackets == 0) {
        holdUntilTheClientLeaves(fd);  // not even the stream's header
    } else {
        MediaMuxer muxer(*_clip, &sendAll, &socketFd);
        const auto start = std::chrono::steady_clock::now();
        const std::vector<MediaPacket>& packets = _clip->packets();
        // Length of one pass in each stream's time base, for looping.
        const int64_t videoSpan = _clip->recipe().frames;
        const int64_t audioSpan =
            static_cast<int64_t>(_clip->recipe().frames) * _clip->recipe().sampleRate / _clip->recipe().fps;
        int sent = 0;
        bool alive = muxer.ok();
        for (int pass = 0; alive && !_stopping.load() && (pass < _options.passes || _options.loop); ++pass) {
            for (const MediaPacket& packet : packets) {
                if (_stopping.load()) {
                    alive = false;
                    break;
                }
                const int64_t offset = pass * (packet.stream == 0 ? videoSpan : audioSpan);
                if (_options.paced) {
                    AVRational base = packet.stream == 0 ? _clip->videoTimeBase() : _clip->audioTimeBase();
                    const double at = static_cast<double>(packet.dts + offset) * av_q2d(base);
                    std::this_thread::sleep_until(start + std::chrono::duration<double>(std::max(0.0, at)));
                }
                if (_options.stallAfterPackets > 0 && sent >= _options.stallAfterPackets) {
                    holdUntilTheClientLeaves(fd);
                    alive = false;
                    break;
                }
                if (_options.resetAfterPackets >= 0 && sent >= _options.resetAfterPackets) {
                    linger abort{1, 0};  // close with RST: the client sees a transport error
                    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                    alive = false;
                    break;
                }
                if (!muxer.write(packet, offset)) {
                    alive = false;
                    break;
                }
                ++sent;
                if (packet.stream == 0) {
                    _lastVideoPtsSent.store(static_cast<double>(packet.pts + offset) *
                                            av_q2d(_clip->videoTimeBase()));
                    _videoPacketsSent.fetch_add(1);
                }
            }
        }
        if (alive) {
            muxer.finish();
        }
    }
    std::lock_guard<std::mutex> lock(_mutex);
    ::close(fd);
    for (int& f : _clientFds) {
        if (f == fd) {
            f = -1;
        }
    }
}

std::unique_ptr<MediaStreamServer> MediaServe(const MediaRecipe& recipe, MediaStreamServer::Options options) {
    auto clip = std::make_shared<MediaClip>(recipe);
    if (!clip->ok()) {
        return nullptr;
    }
    auto server = std::make_unique<MediaStreamServer>(clip, options);
    return server->ok() ? std::move(server) : nullptr;
}

std::unique_ptr<MediaStreamServer> MediaServeLooped(const MediaRecipe& recipe) {
    MediaStreamServer::Options options;
    options.loop = true;
    return MediaServe(recipe, options);
}
