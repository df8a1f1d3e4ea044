#include "SimVideoServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

#include "SimMarker.h"

struct SimVideoServer::Impl {
    struct Client {
        int fd = -1;
        std::string pending;  // bytes not yet taken by the socket
        bool needKey = true;  // waits for a key frame before it gets anything
        std::chrono::steady_clock::time_point readyAt;  // gets nothing before then
    };

    AVCodecContext* codec = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    std::vector<Client> clients;
    bool forceKey = false;
    int64_t frameNumber = 0;

    ~Impl() {
        for (Client& c : clients) ::close(c.fd);
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&codec);
    }
};

namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

bool simOpenVideoEncoder(const SimVideoServer::Options& o, AVCodecContext*& ctx, std::string& error) {
    const AVCodec* codec = nullptr;
    if (o.codec == "mjpeg") {
        codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    } else if (o.codec == "h264") {
        codec = avcodec_find_encoder_by_name("libx264");
        if (codec == nullptr)
            codec = avcodec_find_encoder(AV_CODEC_ID_H264);
    }
    if (codec == nullptr) {
        error = "no encoder for " + o.codec;
        return false;
    }
    ctx = avcodec_alloc_context3(codec);
    ctx->width = o.width;
    ctx->height = o.height;
    ctx->time_base = AVRational{1, o.fps};
    ctx->framerate = AVRational{o.fps, 1};
    ctx->thread_count = 1;
    if (o.codec == "mjpeg") {
        ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = FF_QP2LAMBDA * std::clamp(o.quality, 2, 31);
    } else {
        ctx->pix_fmt = AV_PIX_FMT_YUV420P;
        ctx->gop_size = o.fps * 2;
        ctx->max_b_frames = 0;
        ctx->bit_rate = int64_t(o.width) * o.height * 2;
        av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
        av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
    }
    if (avcodec_open2(ctx, codec, nullptr) < 0) {
        error = "cannot open the " + o.codec + " encoder";
        avcodec_free_context(&ctx);
        return false;
    }
    return true;
}

SimVideoServer::SimVideoServer(std::shared_ptr<const SimPicture> picture, ViewSource source, Options options)
    : _options(std::move(options)),
      _picture(std::move(picture)),
      _source(std::move(source)),
      _impl(std::make_unique<Impl>()) {
    if (_options.width <= 0 || _options.height <= 0 || _options.width > 7680 || _options.height > 4320 ||
        _options.fps <= 0 || _options.fps > 240 || !_picture) {
        _error = "bad picture size or frame rate";
        return;
    }
    // Encoders want even sizes for 4:2:0.
    _options.width &= ~1;
    _options.height &= ~1;
    if (!simOpenVideoEncoder(_options, _impl->codec, _error))
        return;
    _impl->frame = av_frame_alloc();
    _impl->packet = av_packet_alloc();
    _impl->frame->format = _impl->codec->pix_fmt;
    _impl->frame->width = _options.width;
    _impl->frame->height = _options.height;
    if (av_frame_get_buffer(_impl->frame, 32) < 0) {
        _error = "cannot allocate a frame";
        return;
    }

    _listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int one = 1;
    ::setsockopt(_listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(_options.port));
    socklen_t length = sizeof address;
    if (_listenFd < 0 || ::inet_pton(AF_INET, _options.host.c_str(), &address.sin_addr) != 1 ||
        ::bind(_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(_listenFd, 8) != 0 ||
        ::getsockname(_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        _error = "cannot listen on " + _options.host + ":" + std::to_string(_options.port) + ": " +
                 std::strerror(errno);
        return;
    }
    _port = ntohs(address.sin_port);
    _ok = true;
    _thread = std::thread([this] { run(); });
}

SimVideoServer::~SimVideoServer() {
    _stop = true;
    if (_wakePipe[1] >= 0) {
        const char c = 1;
        (void)!::write(_wakePipe[1], &c, 1);
    }
    if (_thread.joinable())
        _thread.join();
    _impl.reset();
    if (_listenFd >= 0)
        ::close(_listenFd);
    for (int fd : _wakePipe)
        if (fd >= 0)
            ::close(fd);
}

std::string SimVideoServer::url() const {
    return "tcp://" + _options.host + ":" + std::to_string(_port);
}

void SimVideoServer::setEnabled(bool enabled) {
    _enabled = enabled;
    const char c = 1;
    (void)!::write(_wakePipe[1], &c, 1);
}

void SimVideoServer::run() {
    Impl& s = *_impl;
    const auto interval = std::chrono::nanoseconds(1000000000LL / _options.fps);
    auto next = Clock::now();
    std::vector<pollfd> fds;
    while (!_stop) {
        if (!_enabled) {
            for (Impl::Client& c : s.clients) ::close(c.fd);
            s.clients.clear();
        }
        fds.clear();
        fds.push_back({_wakePipe[0], POLLIN, 0});
        fds.push_back({_listenFd, POLLIN, 0});
        for (const Impl::Client& c : s.clients)
            fds.push_back({c.fd, static_cast<short>(POLLIN | (c.pending.empty() ? 0 : POLLOUT)), 0});
        int timeoutMs = -1;
        if (!s.clients.empty()) {
            const auto wait =
                std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
            timeoutMs = static_cast<int>(std::max<int64_t>(0, wait));
        }
        if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR)
            break;
        char drain[64];
        while (::read(_wakePipe[0], drain, sizeof drain) > 0) {
        }
        if (_stop)
            break;

        // Clients: hang-ups (they never send anything we need), then the rest of their queue.
        std::vector<Impl::Client> kept;
        for (size_t i = 0; i < s.clients.size(); ++i) {
            Impl::Client& c = s.clients[i];
            const short ev = fds[i + 2].revents;
            bool keep = true;
            if (ev & (POLLIN | POLLHUP | POLLERR)) {
                char sink[512];
                const ssize_t n = ::recv(c.fd, sink, sizeof sink, MSG_DONTWAIT);
                keep = n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
            }
            if (keep && !c.pending.empty() && (ev & POLLOUT)) {
                const ssize_t n =
                    ::send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    c.pending.erase(0, static_cast<size_t>(n));
                else if (n < 0 && errno != EAGAIN && errno != EINTR)
                    keep = false;
            }
            if (keep)
                kept.push_back(std::move(c));
            else
                ::close(c.fd);
        }
        s.clients.swap(kept);

        if (fds[1].revents & POLLIN) {
            for (;;) {
                const int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0)
                    break;
                if (!_enabled) {
                    ::close(fd);
                    continue;
                }
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                if (s.clients.empty())
                    next = Clock::now();
                s.clients.push_back(
                    Impl::Client{fd, std::string(), true,
                                 Clock::now() + std::chrono::milliseconds(_options.startDelayMs)});
                s.forceKey = true;
            }
        }
        _clients = s.clients.size();
        if (s.clients.empty() || Clock::now() < next)
            continue;

        // One frame.
        next += interval;
        if (next < Clock::now())
            next = Clock::now() + interval;  // fell behind: keep the rate, drop the backlog
        SimView view;
        _source(view);  // an absent camera keeps the last place; the marker still walks
        if (av_frame_make_writable(s.frame) < 0)
            continue;
        AVFrame* f = s.frame;
        _picture->render(view, s.frameNumber, _options.width, _options.height, f->data[0], f->linesize[0],
                         f->data[1], f->linesize[1], f->data[2], f->linesize[2]);
        if (_options.markerCamera >= 0)
            simmarker::draw({_options.markerCamera, view.moving}, _options.width, _options.height, f->data[0],
                            f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2]);
        f->pts = s.frameNumber++;
        f->pict_type = s.forceKey ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (_options.codec == "mjpeg")
            f->quality = s.codec->global_quality;
        s.forceKey = false;
        if (avcodec_send_frame(s.codec, f) < 0)
            continue;
        while (avcodec_receive_packet(s.codec, s.packet) == 0) {
            const bool key = (s.packet->flags & AV_PKT_FLAG_KEY) != 0;
            const auto now = Clock::now();
            for (Impl::Client& c : s.clients) {
                if (now < c.readyAt) {
                    // Not yet: an H.264 viewer will need a key frame once its time comes.
                    s.forceKey = s.forceKey || (_options.codec != "mjpeg" && now + interval >= c.readyAt);
                    continue;
                }
                if (c.needKey && !key)
                    continue;
                if (c.pending.size() + static_cast<size_t>(s.packet->size) > _options.maxQueuedBytes) {
                    // A client that does not keep up loses whole frames; an H.264 client then
                    // waits for the next key frame, which is asked for at once.
                    c.needKey = _options.codec != "mjpeg";
                    s.forceKey = s.forceKey || c.needKey;
                    continue;
                }
                c.needKey = false;
                c.pending.append(reinterpret_cast<const char*>(s.packet->data),
                                 static_cast<size_t>(s.packet->size));
                const ssize_t n =
                    ::send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0)
                    c.pending.erase(0, static_cast<size_t>(n));
            }
            av_packet_unref(s.packet);
        }
        ++_frames;
    }
    _clients = 0;
}
