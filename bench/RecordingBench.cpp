// Figures of recording, on generated streams served in real time over loopback TCP:
//
// 1. A local camera (the simulated backend over the tests' simulator) delivering 1280x720 MJPEG
//    at 30 fps, recorded for 20 s of its stream: pictures captured for the recording (offered
//    to the recording queue by the video decoder), pictures the queue could not take, pictures
//    in the file; and the encoder's CPU time per picture (the record thread and the encoder
//    threads it starts, which carry its name), beside the decoder's.
//    Target: no picture dropped.
// 2. A network stream (1920x1080 H.264 at 30 fps with AAC, in NUT): the CPU time of the
//    pipeline's threads (reader, decoders, and the record thread while recording) over the same
//    length of stream without and with a recording, alternated over several runs; for a stream
//    encoded as a camera encodes (x264 veryfast) and for x264's ultrafast stream (many bytes
//    that decode cheaply: the worst case for the copy against decoding).
//    Target: the copy adds at most 5 %.
//
// CPU times come from /proc/self/task (by thread, so that the stream server's and the
// simulator's threads are left out).
//
// Usage: RecordingBench [seconds recorded locally, default 20; 0 skips the local camera]
//                       [network runs, default 3] [seconds per network run, default 8]

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FakeSimulator.h"
#include "KXPlatform.h"
#include "MediaFileReader.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "Platform/sim/KXSimPlatform.h"
#include "Receiver/ReceiverCore.h"
#include "vexsdk.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadTime {
    std::string name;
    double seconds = 0.0;
};

// CPU time of every thread of this process, by thread id, with its name.
std::map<pid_t, ThreadTime> threadTimes() {
    std::map<pid_t, ThreadTime> times;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        const pid_t tid = static_cast<pid_t>(std::atoi(entry.path().filename().c_str()));
        std::ifstream comm(entry.path() / "comm");
        std::ifstream schedstat(entry.path() / "schedstat");
        ThreadTime t;
        long long ns = 0;
        if (std::getline(comm, t.name) && (schedstat >> ns)) {
            t.seconds = static_cast<double>(ns) * 1e-9;
            times[tid] = t;
        }
    }
    return times;
}

// CPU seconds spent between two snapshots by the threads whose name starts with `prefix`
// (threads that appeared in between count from zero).
double cpuBetween(const std::map<pid_t, ThreadTime>& before, const std::map<pid_t, ThreadTime>& after,
                  const std::string& prefix) {
    double total = 0.0;
    for (const auto& [tid, time] : after) {
        if (time.name.rfind(prefix, 0) != 0) {
            continue;
        }
        auto it = before.find(tid);
        total +=
            time.seconds - (it != before.end() && it->second.name == time.name ? it->second.seconds : 0.0);
    }
    return total;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? NAN : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// Takes pictures as a host program's preview does, on its own thread, until told to stop.
class PreviewDrain {
public:
    explicit PreviewDrain(ReceiverCore& core)
        : _thread([this, &core] {
              while (!_stop.load()) {
                  if (core.captureVideo(nullptr, 20) == DC_ERROR_NONE) {
                      ++_frames;
                  }
                  core.captureAudio(nullptr, 0);
              }
          }) {}
    ~PreviewDrain() {
        _stop.store(true);
        _thread.join();
    }
    int frames() const { return _frames.load(); }

private:
    std::atomic<bool> _stop{false};
    std::atomic<int> _frames{0};
    std::thread _thread;
};

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

std::string temporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vexsdk-recording-bench-XXXXXX").string();
    return ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// --- 1: local camera ----------------------------------------------------------------------------

int localRecording(double seconds, const std::string& folder) {
    std::printf("== Local camera: 1280x720 MJPEG at 30 fps, recorded for %.0f s of its stream\n", seconds);
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.container = "mjpeg";
    recipe.width = 1280;
    recipe.height = 720;
    recipe.frames = 60;
    auto clip = std::make_shared<MediaClip>(recipe);
    if (!clip->ok()) {
        std::printf("could not generate the stream\n");
        return 1;
    }
    MediaStreamServer::Options options;
    options.loop = true;
    MediaStreamServer server(clip, options);
    FakeSimulator sim;
    FakeSimulator::Camera camera;
    const std::string location = "1&2.4&1&0000";
    camera.devicePath = FakeSimulator::devicePathFor("1d4d", "6009", location);
    FakeSimulator::Capability mjpeg;
    mjpeg.width = 1280;
    mjpeg.height = 720;
    mjpeg.inputUrl = server.url();
    camera.capabilities = {mjpeg};
    sim.addCamera(camera);
    KXSetPlatform(std::make_shared<KXSimPlatform>(sim.socketPath(), 2000));

    DC_SourceText locationText{nullptr, 0};
    std::string locationCopy = location;
    locationText.source = locationCopy.data();
    locationText.length = static_cast<int32_t>(locationCopy.size() + 1);
    DC_SourceText videoName{};
    DC_SourceText audioName{};
    DC_CaptureFormats formats;
    formats.url = &locationText;
    formats.videoDeviceName = &videoName;
    formats.audioDeviceName = &audioName;
    {
        DC_Find find;
        find.initialize();
        find.getSources(&formats);
    }
    if (formats.videoFormatList.empty()) {
        std::printf("the simulated camera was not found\n");
        return 1;
    }
    formats.videoFormatIndex = formats.videoFormatList.front().index;
    formats.sourceType = 0;

    int result = 0;
    {
        ReceiverCore core(formats);
        core.setIsEnableDXVA2Decode(false);
        core.initialize(nullptr);
        core.startPreview(nullptr);
        PreviewDrain drain(core);
        if (!waitFor([&] { return drain.frames() > 0; }, 20000)) {
            std::printf("no picture\n");
            return 1;
        }
        // The encoder's threads are started by the encoder's open, on this thread (they carry
        // its name): they are the threads that appear with the recording.
        const auto idle = threadTimes();
        if (!core.recordingStart(folder.c_str(), "local.mp4", false)) {
            std::printf("the recording did not start\n");
            return 1;
        }
        const auto before = threadTimes();
        const auto wallStart = Clock::now();
        const double from = server.lastVideoPtsSent();
        waitFor([&] { return server.lastVideoPtsSent() >= from + seconds; },
                static_cast<int>(seconds * 1000) + 20000);
        const auto after = threadTimes();
        int64_t offered = 0;
        int64_t dropped = 0;
        core.recordingFrameCounts(&offered, &dropped);
        const bool stopped = core.recordingStop();
        const double wall = std::chrono::duration<double>(Clock::now() - wallStart).count();
        core.stopPreview();

        const MediaFile file = MediaReadFile(folder + "/local.mp4");
        const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
        const size_t written = video != nullptr ? video->packets.size() : 0;
        double encoder = 0.0;
        int encoderThreads = 0;
        for (const auto& [tid, time] : after) {
            auto start = before.find(tid);
            if (idle.count(tid) == 0 && start != before.end()) {
                encoder += time.seconds - start->second.seconds;
                ++encoderThreads;
            }
        }
        const double decoder = cpuBetween(before, after, "vex-video");
        std::printf("recording: %.1f s of wall time, stop %s\n", wall, stopped ? "ok" : "FAILED");
        std::printf(
            "pictures captured for the recording: %lld, dropped by its queue: %lld, in the file: %zu"
            " (%.2f s)\n",
            static_cast<long long>(offered), static_cast<long long>(dropped), written,
            video != nullptr ? video->seconds() : 0.0);
        if (offered > 0) {
            std::printf(
                "encoder CPU (the record thread and %d encoder threads): %.2f ms per picture, %.0f %% of a "
                "core\n",
                encoderThreads - 1, encoder * 1e3 / static_cast<double>(offered), encoder * 100.0 / seconds);
            std::printf("decoder CPU (for comparison): %.2f ms per picture\n",
                        decoder * 1e3 / static_cast<double>(offered));
        }
        const bool met = dropped == 0 && written + 1 >= static_cast<size_t>(offered) && stopped;
        std::printf("target (no picture dropped): %s\n", met ? "met" : "NOT met");
        result = met ? 0 : 2;
    }
    std::free(videoName.source);
    std::free(audioName.source);
    KXSetPlatform(nullptr);
    return result;
}

// --- 2: network stream ----------------------------------------------------------------------------

int networkRecording(int runs, double seconds, const std::string& folder, const char* preset) {
    std::printf(
        "== Network stream: 1920x1080 H.264 (x264 preset %s) at 30 fps with AAC in NUT, %d runs of %.0f s "
        "each way\n",
        preset, runs, seconds);
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.h264Preset = preset;
    recipe.container = "nut";
    recipe.width = 1920;
    recipe.height = 1080;
    recipe.frames = 60;
    recipe.gop = 30;
    recipe.withAudio = true;
    auto clip = std::make_shared<MediaClip>(recipe);
    if (!clip->ok()) {
        std::printf("could not generate the stream\n");
        return 1;
    }
    MediaStreamServer::Options options;
    options.loop = true;
    MediaStreamServer server(clip, options);
    std::string url = server.url();
    DC_SourceText urlText{url.data(), static_cast<int32_t>(url.size() + 1)};
    DC_CaptureFormats formats;
    formats.url = &urlText;
    formats.sourceType = 1;
    ReceiverCore core(formats);
    core.setIsEnableDXVA2Decode(false);
    core.initialize(nullptr);
    core.startPreview(nullptr);
    PreviewDrain drain(core);
    if (!waitFor([&] { return drain.frames() > 0; }, 20000)) {
        std::printf("no picture\n");
        return 1;
    }
    std::vector<double> without;
    std::vector<double> with;
    for (int run = 0; run < runs * 2; ++run) {
        const bool recording = run % 2 == 1;
        const std::string name = "network-" + std::to_string(run) + ".mp4";
        if (recording && !core.recordingStart(folder.c_str(), name.c_str(), true)) {
            std::printf("the recording did not start\n");
            return 1;
        }
        const auto before = threadTimes();
        const double from = server.lastVideoPtsSent();
        waitFor([&] { return server.lastVideoPtsSent() >= from + seconds; },
                static_cast<int>(seconds * 1000) + 20000);
        const auto after = threadTimes();
        if (recording && !core.recordingStop()) {
            std::printf("the recording failed\n");
        }
        const double cpu = cpuBetween(before, after, "vex-") / seconds;
        (recording ? with : without).push_back(cpu);
        std::printf(
            "run %d %s: pipeline CPU %.1f %% of a core (read %.2f, video %.2f, audio %.2f, record %.2f)\n",
            run / 2 + 1, recording ? "with recording   " : "without recording", cpu * 100.0,
            cpuBetween(before, after, "vex-read") * 100.0 / seconds,
            cpuBetween(before, after, "vex-video") * 100.0 / seconds,
            cpuBetween(before, after, "vex-audio") * 100.0 / seconds,
            cpuBetween(before, after, "vex-record") * 100.0 / seconds);
        if (recording) {
            std::error_code error;
            const auto bytes = std::filesystem::file_size(folder + "/" + name, error);
            std::printf("  recorded %.2f MB (%.1f Mbit/s)\n", static_cast<double>(bytes) / 1e6,
                        static_cast<double>(bytes) * 8 / 1e6 / seconds);
        }
    }
    core.stopPreview();
    const double ratio = median(with) / median(without);
    std::printf("median pipeline CPU: %.1f %% without, %.1f %% with recording: the copy adds %.1f %%\n",
                median(without) * 100.0, median(with) * 100.0, (ratio - 1.0) * 100.0);
    std::printf("target (the copy adds at most 5 %%): %s\n", ratio <= 1.05 ? "met" : "NOT met");
    return ratio <= 1.05 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    const double localSeconds = argc > 1 ? std::atof(argv[1]) : 20.0;  // 0: network part only
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const double networkSeconds = argc > 3 ? std::max(2.0, std::atof(argv[3])) : 8.0;
    const std::string folder = temporaryFolder();
    if (folder.empty()) {
        std::printf("no temporary folder\n");
        return 1;
    }
    const int local = localSeconds > 0 ? localRecording(std::max(2.0, localSeconds), folder) : 0;
    // Two streams: one encoded the way a camera's encoder does it (CABAC, deblocking), and the
    // worst case for the copy against decoding: x264's ultrafast stream, whose many bytes
    // decode cheaply (the copy's cost goes with the bytes, decoding's mostly with the tools).
    const int network = networkRecording(runs, networkSeconds, folder, "veryfast");
    const int cheapest = networkRecording(runs, networkSeconds, folder, "ultrafast");
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return local != 0 ? local : network != 0 ? network : cheapest;
}
