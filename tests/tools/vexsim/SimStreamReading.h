#pragma once
// What the simulator's picture tests share: planes a view renders into, a loopback connection
// to a live stream, and the stream's first decoded picture (as a receiver would decode it).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "SimPicture.h"

namespace simtest {

// 4:2:0 planes of one picture, rows packed.
struct Planes {
    int w, h;
    std::vector<uint8_t> y, u, v;
    Planes(int width, int height)
        : w(width),
          h(height),
          y(size_t(width) * height),
          u(size_t((width + 1) / 2) * ((height + 1) / 2)),
          v(u.size()) {}
    void render(const SimPicture& p, const SimView& view, int64_t frame = 0) {
        p.render(view, frame, w, h, y.data(), w, u.data(), (w + 1) / 2, v.data(), (w + 1) / 2);
    }
};

inline int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Reads the stream and decodes until the first picture comes out into `frame` (bounded by
// `timeoutMs`).
inline bool firstPicture(int fd, AVCodecID codecId, int timeoutMs, AVFrame* frame) {
    const AVCodec* codec = avcodec_find_decoder(codecId);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVCodecParserContext* parser = av_parser_init(codecId);
    AVPacket* pkt = av_packet_alloc();
    bool ok = avcodec_open2(ctx, codec, nullptr) == 0 && parser != nullptr;
    bool done = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<uint8_t> buf(1 << 16);
    while (ok && !done && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0)
            continue;
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0)
            break;
        const uint8_t* data = buf.data();
        int left = static_cast<int>(n);
        while (left > 0 && !done) {
            const int used = av_parser_parse2(parser, ctx, &pkt->data, &pkt->size, data, left, AV_NOPTS_VALUE,
                                              AV_NOPTS_VALUE, 0);
            data += used;
            left -= used;
            done =
                pkt->size > 0 && avcodec_send_packet(ctx, pkt) == 0 && avcodec_receive_frame(ctx, frame) == 0;
        }
    }
    av_packet_free(&pkt);
    av_parser_close(parser);
    avcodec_free_context(&ctx);
    return done;
}

// The first picture's size; false when none came in time.
inline bool firstPicture(int fd, AVCodecID codecId, int timeoutMs, int& width, int& height) {
    AVFrame* frame = av_frame_alloc();
    const bool got = firstPicture(fd, codecId, timeoutMs, frame);
    if (got) {
        width = frame->width;
        height = frame->height;
    }
    av_frame_free(&frame);
    return got;
}

}  // namespace simtest
