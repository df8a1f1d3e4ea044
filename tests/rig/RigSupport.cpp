#include "RigSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "KXLineReader.h"
#include "Platform/sim/KXUnixSocket.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
}

namespace fs = std::filesystem;
using kxjson::Json;

namespace rig {

std::string simSocket() {
    const char* path = std::getenv("VEXRIG_SIM_SOCKET");
    return path != nullptr ? path : "";
}

Json sim(const Json& request) {
    const int fd = kxsock::connectUnix(simSocket());
    if (fd < 0) {
        return Json{{"ok", false}, {"error", "no simulator"}};
    }
    Json answer{{"ok", false}, {"error", "no answer"}};
    KXLineReader reader(16u << 20);
    std::string line;
    if (kxsock::sendAll(fd, kxjson::dump(request) + "\n", 10000) &&
        kxsock::receiveLine(fd, reader, line, 10000) == kxsock::LineResult::Line) {
        if (auto parsed = kxjson::parse(line)) {
            answer = *parsed;
        }
    }
    kxsock::closeSocket(fd);
    return answer;
}

std::vector<Json> xuJournal(uint64_t since, uint64_t* next) {
    const Json answer = sim(Json{{"op", "journal"}, {"since", since}});
    std::vector<Json> entries;
    for (const Json& e : kxjson::arrayMember(answer, "entries")) {
        if (kxjson::text(e, "op") == "xu") {
            entries.push_back(e);
        }
    }
    if (next != nullptr) {
        *next = static_cast<uint64_t>(kxjson::integerMember(answer, "next").value_or(since));
    }
    return entries;
}

uint64_t journalEnd() {
    uint64_t next = 0;
    xuJournal(0, &next);
    return next;
}

namespace {

std::string readText(const fs::path& path) {
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    return text;
}

}  // namespace

std::vector<UsbCamera> usbCameras() {
    std::vector<UsbCamera> cameras;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator("/sys/bus/usb/devices", ec)) {
        const std::string name = e.path().filename();
        if (name.find(':') != std::string::npos || readText(e.path() / "idVendor") != "1d4d") {
            continue;
        }
        UsbCamera c;
        c.sysName = name;
        c.bus = std::atoi(name.c_str());
        const std::string ports = name.substr(name.find('-') + 1);
        c.location = std::to_string(c.bus) + "&" + ports + "&1&0000";
        // The capture node (on the VideoControl interface, as uvcvideo registers it; the metadata
        // node beside it has index 1).
        for (const fs::directory_entry& v :
             fs::directory_iterator(fs::path("/sys/bus/usb/devices") / (name + ":1.0") / "video4linux", ec)) {
            if (readText(v.path() / "index") == "0") {
                c.node = "/dev/" + v.path().filename().string();
            }
        }
        cameras.push_back(c);
    }
    std::sort(cameras.begin(), cameras.end(),
              [](const UsbCamera& a, const UsbCamera& b) { return a.bus < b.bus; });
    return cameras;
}

CameraFormats::CameraFormats(const std::string& location) : _url(location) {
    _formats.url = _url.get();
    _formats.videoDeviceName = &_videoName;
    _formats.audioDeviceName = &_audioName;
    _formats.audioDeviceIndex = 99;  // the emulated cameras have no microphone
    _formats.sourceType = 0;
    DC_Find find;
    find.initialize();
    find.getSources(&_formats);
    char model[32] = {};
    _formats.deviceModel = find.getDevModel(location.c_str(), model);
}

CameraFormats::~CameraFormats() {
    std::free(_videoName.source);
    std::free(_audioName.source);
}

std::string CameraFormats::videoDeviceName() const {
    const DC_SourceText* t = _formats.videoDeviceName;
    return t != nullptr && t->source != nullptr ? std::string(t->source) : std::string();
}

int CameraFormats::indexOf(int format, int width, int height) const {
    for (const DC_VideoFormat& f : _formats.videoFormatList) {
        if (f.format == format && f.width == width && f.height == height) {
            return f.index;
        }
    }
    return -1;
}

std::unique_ptr<DC_Recv> startReceiver(CameraFormats& formats, int index) {
    formats.get().videoFormatIndex = index;
    auto recv = std::make_unique<DC_Recv>(formats.get());
    recv->setIsEnableDXAV2Decode(false);
    if (!recv->initialize(nullptr)) {
        return nullptr;
    }
    recv->startPreview(nullptr);
    return recv;
}

namespace {

std::mutex g_ffmpegMutex;
std::vector<std::string>* g_ffmpegLines = nullptr;  // guarded by g_ffmpegMutex

void ffmpegCallback(void* context, int level, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    if (level <= AV_LOG_WARNING) {
        char line[1024];
        std::vsnprintf(line, sizeof line, format, copy);
        std::lock_guard<std::mutex> lock(g_ffmpegMutex);
        if (g_ffmpegLines != nullptr) {
            g_ffmpegLines->push_back(line);
        }
    }
    va_end(copy);
    av_log_default_callback(context, level, format, args);
}

}  // namespace

FfmpegLog::FfmpegLog() {
    std::lock_guard<std::mutex> lock(g_ffmpegMutex);
    g_ffmpegLines = new std::vector<std::string>;
    av_log_set_callback(&ffmpegCallback);
}

FfmpegLog::~FfmpegLog() {
    av_log_set_callback(&av_log_default_callback);
    std::lock_guard<std::mutex> lock(g_ffmpegMutex);
    delete g_ffmpegLines;
    g_ffmpegLines = nullptr;
}

int FfmpegLog::count(const std::string& text) const {
    std::lock_guard<std::mutex> lock(g_ffmpegMutex);
    return static_cast<int>(
        std::count_if(g_ffmpegLines->begin(), g_ffmpegLines->end(),
                      [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

std::string FfmpegLog::all() const {
    std::lock_guard<std::mutex> lock(g_ffmpegMutex);
    std::string text;
    for (const std::string& l : *g_ffmpegLines) text += l;
    return text;
}

std::string pictureHash(int width, int height, int format, uint8_t* const data[8], const int linesize[8]) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    if (desc == nullptr || width <= 0 || height <= 0) {
        return "";
    }
    uint64_t h = 1469598103934665603ull;
    const int planes = av_pix_fmt_count_planes(static_cast<AVPixelFormat>(format));
    for (int p = 0; p < planes && p < 8; ++p) {
        const bool chroma = p == 1 || p == 2;
        const int rows = chroma ? AV_CEIL_RSHIFT(height, desc->log2_chroma_h) : height;
        const int bytes = std::min(std::abs(linesize[p]),
                                   av_image_get_linesize(static_cast<AVPixelFormat>(format), width, p));
        for (int r = 0; r < rows; ++r) {
            const uint8_t* row = data[p] + static_cast<ptrdiff_t>(r) * linesize[p];
            for (int i = 0; i < bytes; ++i) h = (h ^ row[i]) * 1099511628211ull;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "%dx%d/%d/%016llx", width, height, format,
                  static_cast<unsigned long long>(h));
    return text;
}

std::set<std::string> sentPictures(const std::string& codecName, const std::string& file,
                                   const std::string& camera) {
    std::set<std::string> pictures;
    Json request{{"op", "sent"}, {"file", file}};
    if (!camera.empty()) {
        request["camera"] = camera;
    }
    const Json answer = sim(request);
    std::ifstream in(file, std::ios::binary);
    const AVCodec* codec = avcodec_find_decoder_by_name(codecName.c_str());
    AVCodecContext* ctx = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (ctx == nullptr || avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return pictures;
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto drain = [&] {
        while (avcodec_receive_frame(ctx, frame) == 0) {
            pictures.insert(
                pictureHash(frame->width, frame->height, frame->format, frame->data, frame->linesize));
            av_frame_unref(frame);
        }
    };
    for (const Json& f : kxjson::arrayMember(answer, "frames")) {
        const int64_t size = kxjson::integerMember(f, "bytes").value_or(-1);
        if (size <= 0 || size > (64 << 20) || av_new_packet(packet, static_cast<int>(size)) < 0) {
            break;
        }
        in.read(reinterpret_cast<char*>(packet->data), size);
        if (in.gcount() != size) {
            av_packet_unref(packet);
            break;
        }
        avcodec_send_packet(ctx, packet);
        av_packet_unref(packet);
        drain();
    }
    avcodec_send_packet(ctx, nullptr);
    drain();
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
    return pictures;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

int run(const std::vector<std::string>& argv, std::string& output, int timeoutMs) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(pipeFds[1], 1);
        ::dup2(pipeFds[1], 2);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    output.clear();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        pollfd p{pipeFds[0], POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
            ::kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        output.append(buffer, static_cast<size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace rig
