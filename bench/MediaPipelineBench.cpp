// Added latency and CPU cost of the receive/decode pipeline behind DC_Recv::captureVideo, for
// generated 1080p30 MJPEG and H.264 streams served in real time over loopback TCP, against
// the cost of decoding the same packets with libavcodec alone.
//
// Latency: from the moment the server has written a packet to its socket (the receiver's
// read completes then, give or take the loopback copy, so this bounds read -> capture from
// above) to the moment captureVideo hands out the frame with that packet's timestamp. NUT is the container
// because its packets carry their own size: a parser-framed stream (raw H.264/MJPEG, MPEG-TS) would add one
// frame interval of demuxer latency that is not the pipeline's.
//
// Decoding is part of that figure; the same packets decoded alone, paced the same way, show
// how much of it the decoder itself takes.
//
// CPU: process CPU time over the streaming window minus the server thread's own CPU time,
// per delivered frame; decode alone: CPU time of avcodec_send_packet/receive_frame over the
// same packets with the pipeline's codec options, paced at the stream's rate.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "MediaGenerator.h"
#include "vexsdk.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds(clockid_t clock) {
    timespec ts{};
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

// Serves one client: the clip muxed in NUT, paced at its frame rate; records the time each
// video packet was written, by frame index.
//
// Threading: serve() runs on the server thread; the accessors are for the measuring thread.
class PacedServer {
public:
    explicit PacedServer(const MediaClip& clip) : _clip(clip) {
        _listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(_listen, 1) == 0 &&
            ::getsockname(_listen, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            _port = ntohs(address.sin_port);
        }
        _thread = std::thread([this] { serve(); });
    }
    ~PacedServer() {
        ::shutdown(_listen, SHUT_RDWR);
        _thread.join();
        ::close(_listen);
    }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(_port); }
    double serverCpu() const { return _serverCpu.load(); }
    // The server thread's CPU time up to the write of that frame (0 when not yet sent).
    double cpuAt(int64_t frame) {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _cpu.find(frame);
        return it == _cpu.end() ? 0.0 : it->second;
    }
    bool sentAt(int64_t frame, Clock::time_point* at) {
        std::lock_guard<std::mutex> lock(_mutex);
        auto it = _sent.find(frame);
        if (it == _sent.end()) {
            return false;
        }
        *at = it->second;
        return true;
    }
    bool finished() const { return _finished.load(); }

private:
    static bool sink(void* context, const uint8_t* data, int size) {
        int fd = *static_cast<int*>(context);
        while (size > 0) {
            ssize_t n = ::send(fd, data, static_cast<size_t>(size), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            data += n;
            size -= static_cast<int>(n);
        }
        return true;
    }

    void serve() {
        int fd = ::accept4(_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            _finished.store(true);
            return;
        }
        // Without it, the tail of each frame waits for the receiver's delayed acknowledgement
        // (Nagle's rule), which adds up to 40 ms that no camera server would add.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const double cpu0 = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        {
            MediaMuxer muxer(_clip, &PacedServer::sink, &fd);
            const Clock::time_point start = Clock::now();
            for (const MediaPacket& packet : _clip.packets()) {
                const double at = static_cast<double>(packet.dts) / _clip.recipe().fps;
                std::this_thread::sleep_until(start + std::chrono::duration<double>(std::max(0.0, at)));
                if (!muxer.write(packet, 0)) {
                    break;
                }
                const Clock::time_point now = Clock::now();
                const double cpu = cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0;
                std::lock_guard<std::mutex> lock(_mutex);
                _sent[packet.pts] = now;
                _cpu[packet.pts] = cpu;
            }
            muxer.finish();
        }
        _serverCpu.store(cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - cpu0);
        ::close(fd);
        _finished.store(true);
    }

    const MediaClip& _clip;
    int _listen = -1;  // immutable after construction
    int _port = 0;     // immutable after construction
    std::thread _thread;
    std::mutex _mutex;
    std::map<int64_t, Clock::time_point> _sent;  // guarded by _mutex
    std::map<int64_t, double> _cpu;              // guarded by _mutex
    std::atomic<double> _serverCpu{0.0};
    std::atomic<bool> _finished{false};
};

struct PipelineFigures {
    int frames = 0;
    double medianMs = NAN;
    double p99Ms = NAN;
    double maxMs = NAN;
    double cpuMsPerFrame = NAN;
};

PipelineFigures runPipeline(const MediaClip& clip) {
    PacedServer server(clip);
    DC_SourceText text{};
    std::string url = server.url();
    text.source = static_cast<char*>(std::malloc(url.size() + 1));
    std::copy(url.c_str(), url.c_str() + url.size() + 1, text.source);
    text.length = static_cast<int32_t>(url.size() + 1);
    DC_CaptureFormats formats;
    formats.url = &text;
    formats.sourceType = 1;

    PipelineFigures figures;
    std::vector<double> latencies;
    {
        DC_Recv recv(formats);
        recv.setIsEnableDXAV2Decode(false);
        recv.initialize(nullptr);
        recv.startPreview(nullptr);
        // The stream analysis of the open is start-up, not steady state: measure from the
        // first delivered frame on.
        double cpuStart = NAN;
        double serverCpuAtStart = 0.0;
        const double fps = clip.recipe().fps;
        for (;;) {
            DC_Video_Frame frame{};
            DC_Error_Type result = recv.captureVideo(&frame, 100);
            if (result == DC_ERROR_NOT_RUNNING) {
                break;
            }
            if (result != DC_ERROR_NONE) {
                continue;
            }
            const Clock::time_point now = Clock::now();
            const int64_t index = std::llround(frame.pts * fps);
            recv.freeVideo(&frame);
            if (std::isnan(cpuStart)) {
                cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
                serverCpuAtStart = server.cpuAt(index);
                continue;
            }
            Clock::time_point sent;
            if (server.sentAt(index, &sent)) {
                latencies.push_back(std::chrono::duration<double, std::milli>(now - sent).count());
            }
            ++figures.frames;
        }
        const double cpuEnd = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        recv.stopPreview();
        // The server's share of the window: from the frame that opened it to the end.
        const double serverShare = server.serverCpu() - serverCpuAtStart;
        figures.cpuMsPerFrame = (cpuEnd - cpuStart - serverShare) * 1000.0 / std::max(1, figures.frames);
    }
    std::free(text.source);
    figures.medianMs = percentile(latencies, 0.5);
    figures.p99Ms = percentile(latencies, 0.99);
    figures.maxMs = percentile(latencies, 1.0);
    return figures;
}

struct DecodeFigures {
    int frames = 0;
    double cpuMsPerFrame = NAN;
    double medianMs = NAN;  // packet handed to the decoder -> its frame out
    double p99Ms = NAN;
};

// Decoding the clip's video packets with the pipeline's codec options and nothing else, paced
// like the stream (so that both runs see the same idle gaps and clock behaviour).
DecodeFigures decodeAlone(const MediaClip& clip) {
    const AVCodec* codec = avcodec_find_decoder(clip.videoParameters()->codec_id);
    AVCodecContext* context = avcodec_alloc_context3(nullptr);
    avcodec_parameters_to_context(context, clip.videoParameters());
    AVDictionary* options = nullptr;
    av_dict_set(&options, "threads", "auto", 0);
    av_dict_set(&options, "flags", "low_delay", 0);
    avcodec_open2(context, codec, &options);
    av_dict_free(&options);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    DecodeFigures figures;
    std::vector<double> latencies;
    std::map<int64_t, Clock::time_point> handedAt;
    const Clock::time_point start = Clock::now();
    const double cpu0 = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    auto drain = [&] {
        while (avcodec_receive_frame(context, frame) == 0) {
            auto it = handedAt.find(frame->pts);
            if (it != handedAt.end()) {
                latencies.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - it->second).count());
            }
            ++figures.frames;
            av_frame_unref(frame);
        }
    };
    for (const MediaPacket& p : clip.packets()) {
        if (p.stream != 0) {
            continue;
        }
        std::this_thread::sleep_until(
            start + std::chrono::duration<double>(static_cast<double>(p.dts) / clip.recipe().fps));
        av_new_packet(packet, static_cast<int>(p.data.size()));
        std::copy(p.data.begin(), p.data.end(), packet->data);
        packet->pts = p.pts;
        packet->dts = p.dts;
        if (p.key) {
            packet->flags |= AV_PKT_FLAG_KEY;
        }
        handedAt[p.pts] = Clock::now();
        avcodec_send_packet(context, packet);
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(context, nullptr);
    drain();
    figures.cpuMsPerFrame =
        (cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0) * 1000.0 / std::max(1, figures.frames);
    figures.medianMs = percentile(latencies, 0.5);
    figures.p99Ms = percentile(latencies, 0.99);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return figures;
}

void runCase(const char* name, MediaVideo video, int frames) {
    MediaRecipe recipe;
    recipe.video = video;
    recipe.width = 1920;
    recipe.height = 1080;
    recipe.fps = 30;
    recipe.frames = frames;
    recipe.gop = 30;
    recipe.container = "nut";
    MediaClip clip(recipe);
    if (!clip.ok()) {
        std::printf("%-6s could not generate the stream\n", name);
        return;
    }
    const DecodeFigures alone = decodeAlone(clip);
    const PipelineFigures pipeline = runPipeline(clip);
    const double interval = 1000.0 / recipe.fps;
    std::printf("%-6s 1080p30, %d frames delivered of %d sent\n", name, pipeline.frames, frames);
    std::printf("       added latency, packet sent -> frame at captureVideo:\n");
    std::printf(
        "         median %.2f ms, p99 %.2f ms, max %.2f ms (frame interval %.2f ms; p99/interval %.2f) %s\n",
        pipeline.medianMs, pipeline.p99Ms, pipeline.maxMs, interval, pipeline.p99Ms / interval,
        pipeline.p99Ms <= interval ? "[target met]" : "[TARGET MISSED]");
    std::printf("       decoding the same packets alone, paced alike: median %.2f ms, p99 %.2f ms\n",
                alone.medianMs, alone.p99Ms);
    std::printf("       CPU per frame: pipeline %.2f ms, decode alone %.2f ms (%d frames); ratio %.2f %s\n",
                pipeline.cpuMsPerFrame, alone.cpuMsPerFrame, alone.frames,
                pipeline.cpuMsPerFrame / alone.cpuMsPerFrame,
                pipeline.cpuMsPerFrame <= 1.2 * alone.cpuMsPerFrame ? "[target met]" : "[TARGET MISSED]");
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    int frames = 240;  // 8 s of stream per codec
    if (argc > 1) {
        frames = std::max(60, std::atoi(argv[1]));
    }
    runCase("MJPEG", MediaVideo::MJPEG, frames);
    runCase("H.264", MediaVideo::H264, frames);
    return 0;
}
