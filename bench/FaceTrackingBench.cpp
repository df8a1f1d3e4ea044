// Cost of AI mode per analysed 1080p frame, stage by stage: the captured frame to BGR, the
// detector's pass at 640x360 (blob, forward, boxes and outlines), the landmark predictor
// per face (talker mode), and the outlined picture back to YUV 4:2:0; median and p99 of
// each, and the analysed frames per second they allow. Then the capture loop itself: a
// receiver fed a 1080p30 MJPEG stream of the same photo, frames taken with captureVideo for
// a few seconds with AI mode off and on; with it on, the analysis thread's rate, the time
// between its analyses, and the time from captureVideo offering a picture to that picture's
// camera commands being sent (median and p99).
//
// The photo is tests/DC_lib/Analysis/photos/group_three_faces_a.jpg (three faces) scaled to
// 1920x1080; the models are the repository's (VEXSDK_MODEL_DIR) and the system's landmark
// model.
//
// Usage: FaceTrackingBench [frames per stage, default 60] [seconds per capture run, default 5]

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/dnn.hpp>

#include "Analysis/KXBgrConverter.h"
#include "Analysis/KXAiAnalysisThread.h"
#include "Analysis/KXFaceTracker.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "Receiver/ReceiverCore.h"
#include "TestPhotos.h"
#include "vexsdk.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size()))) - 1;
    return values[std::min(index, values.size() - 1)];
}

void printStage(const char* name, const std::vector<double>& ms) {
    std::printf("  %-44s median %7.2f ms   p99 %7.2f ms\n", name, percentile(ms, 0.5), percentile(ms, 0.99));
}

struct CaptureFigures {
    double rate = NAN;  // frames taken with captureVideo per second
    KXAiAnalysisThread::Statistics analysis;
    double seconds = 0.0;
};

// Frames taken with captureVideo in `seconds` from a receiver on `url`, AI mode as given, and
// the analysis thread's figures over the same window.
CaptureFigures captureRate(const std::string& url, bool aiMode, int seconds) {
    CaptureFigures figures;
    DC_SourceText text{};
    std::string copy = url;
    text.source = copy.data();
    text.length = static_cast<int32_t>(copy.size() + 1);
    DC_CaptureFormats formats;
    formats.url = &text;
    formats.sourceType = 1;
    ReceiverCore recv(formats);
    // Flags given, so that each analysis goes through the sending of its camera commands (no
    // camera channel is bound here: the send itself costs nothing).
    bool flags[3] = {true, false, false};
    if (!recv.initialize(flags)) {
        return figures;
    }
    recv.setIsEnableDXVA2Decode(false);
    if (aiMode) {
        recv.setIsEnableAIMode(true, 3);
    }
    recv.startPreview(nullptr);
    // Let the stream open and the first frames arrive before counting.
    const Clock::time_point warmup = Clock::now();
    while (msSince(warmup) < 1500) {
        DC_Video_Frame frame{};
        if (recv.captureVideo(&frame, 20) == DC_ERROR_NONE) {
            recv.freeVideo();
        }
    }
    const KXAiAnalysisThread::Statistics before = recv.aiStatistics();
    int frames = 0;
    const Clock::time_point start = Clock::now();
    while (msSince(start) < seconds * 1000.0) {
        DC_Video_Frame frame{};
        if (recv.captureVideo(&frame, 20) == DC_ERROR_NONE) {
            ++frames;
            recv.freeVideo();
        }
    }
    figures.seconds = msSince(start) / 1000.0;
    figures.rate = frames / figures.seconds;
    KXAiAnalysisThread::Statistics after = recv.aiStatistics();
    recv.stopPreview();
    // The window's analyses only (the figures are kept in order, the warm-up's first).
    const auto analysed = static_cast<size_t>(after.analysed - before.analysed);
    auto tail = [](const std::vector<double>& all, size_t count) {
        return std::vector<double>(all.end() - static_cast<std::ptrdiff_t>(std::min(count, all.size())),
                                   all.end());
    };
    figures.analysis.offered = after.offered - before.offered;
    figures.analysis.analysed = after.analysed - before.analysed;
    figures.analysis.latencyMs = tail(after.latencyMs, analysed);
    figures.analysis.periodMs = tail(after.periodMs, analysed);
    return figures;
}

// The "Parallel framework:" line of OpenCV's build information.
std::string parallelFramework() {
    const std::string info = cv::getBuildInformation();
    const std::string key = "Parallel framework:";
    const size_t at = info.find(key);
    if (at == std::string::npos) {
        return "parallel framework unknown";
    }
    const size_t start = info.find_first_not_of(' ', at + key.size());
    return "parallel framework " + info.substr(start, info.find('\n', start) - start);
}

}  // namespace

int main(int argc, char** argv) {
    av_log_set_level(AV_LOG_ERROR);
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 60;
    const int seconds = argc > 2 ? std::max(2, std::atoi(argv[2])) : 5;
    ::setenv("VEXSDK_MODEL_DIR", TestModelFolder().c_str(), 0);

    KXFaceTracker& tracker = KXFaceTracker::shared();
    const Clock::time_point loadStart = Clock::now();
    if (!tracker.load()) {
        std::printf("models could not be loaded (VEXSDK_DEBUG=1 tells which)\n");
        return 1;
    }
    const double loadMs = msSince(loadStart);
    TestFramePtr photo = TestPhotoFrame("group_three_faces_a.jpg");
    if (!photo) {
        std::printf("test photo missing\n");
        return 1;
    }

    std::printf("OpenCV %s, dnn backend OpenCV (DNN_BACKEND_OPENCV), target CPU, %d threads (%s); %u cores\n",
                CV_VERSION, cv::getNumThreads(), parallelFramework().c_str(),
                std::thread::hardware_concurrency());
    std::printf("models loaded in %.0f ms; photo 1920x1080 YUVJ420P with 3 faces; %d frames per stage\n\n",
                loadMs, frames);

    KXBgrConverter converter;
    cv::Mat picture;
    std::vector<double> toBgr, network, landmarksPerFace, toYuv, modeOne, talker;
    size_t faces = 0;
    for (int i = 0; i < frames; ++i) {
        Clock::time_point t = Clock::now();
        converter.toBGR(photo.get(), picture);
        toBgr.push_back(msSince(t));

        t = Clock::now();
        const std::vector<KXFaceBox> boxes = tracker.detect(picture);
        network.push_back(msSince(t));

        t = Clock::now();
        const std::vector<KXFaceLandmarks> shapes = tracker.landmarks(picture, boxes);
        faces = shapes.size();
        if (!shapes.empty()) {
            landmarksPerFace.push_back(msSince(t) / static_cast<double>(shapes.size()));
        }

        t = Clock::now();
        converter.toYUV(picture);
        toYuv.push_back(msSince(t));
    }
    // Whole frames as captureVideo runs them (conversions included), without camera commands.
    for (int i = 0; i < frames; ++i) {
        Clock::time_point t = Clock::now();
        converter.toBGR(photo.get(), picture);
        tracker.analyse(picture, 3, nullptr);
        converter.toYUV(picture);
        modeOne.push_back(msSince(t));
        t = Clock::now();
        converter.toBGR(photo.get(), picture);
        tracker.analyse(picture, 2, nullptr);
        converter.toYUV(picture);
        talker.push_back(msSince(t));
    }

    std::printf("per analysed frame (%zu faces found):\n", faces);
    printStage("frame -> BGR (swscale, bicubic)", toBgr);
    printStage("detector pass 640x360 (blob+forward+outlines)", network);
    printStage("landmark predictor, per face", landmarksPerFace);
    printStage("BGR -> YUVJ420P (swscale, bicubic)", toYuv);
    printStage("whole frame, modes 0/1/3 (no landmarks)", modeOne);
    printStage("whole frame, talker mode (3 faces)", talker);
    std::printf("  analysed frames per second (1000 / median): %.1f (modes 0/1/3), %.1f (talker)\n\n",
                1000.0 / percentile(modeOne, 0.5), 1000.0 / percentile(talker, 0.5));

    // The capture loop beside it.
    TestFramePtr streamed = TestPhotoFrame("group_three_faces_a.jpg", 1920, 1080, AV_PIX_FMT_YUV420P);
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.container = "mjpeg";
    recipe.width = 1920;
    recipe.height = 1080;
    recipe.frames = 30;
    recipe.picture = streamed.get();
    auto clip = std::make_shared<MediaClip>(recipe);
    MediaStreamServer::Options options;
    options.loop = true;
    MediaStreamServer server(clip, options);
    if (!clip->ok() || !server.ok()) {
        std::printf("could not serve the stream\n");
        return 1;
    }
    const CaptureFigures plain = captureRate(server.url(), false, seconds);
    const CaptureFigures analysed = captureRate(server.url(), true, seconds);
    const KXAiAnalysisThread::Statistics& a = analysed.analysis;
    const double period = percentile(a.periodMs, 0.5);
    const double latency = percentile(a.latencyMs, 0.5);
    std::printf("capture loop, 1080p30 MJPEG over loopback TCP, software decoding, %d s each:\n", seconds);
    std::printf("  AI mode off: %.1f frames/s taken with captureVideo\n", plain.rate);
    std::printf("  AI mode on (mode 3): %.1f frames/s taken with captureVideo %s\n", analysed.rate,
                analysed.rate >= 29.0 ? "[target met: >= 29]" : "[TARGET MISSED: >= 29]");
    std::printf(
        "  analysis thread: %lld of %lld offered pictures analysed, %.1f analyses/s; "
        "period median %.1f ms, p99 %.1f ms\n",
        static_cast<long long>(a.analysed), static_cast<long long>(a.offered), a.analysed / analysed.seconds,
        period, percentile(a.periodMs, 0.99));
    // From captureVideo offering a picture to the end of its analysis, its camera commands
    // sent: the picture's wait for the analysis thread plus the analysis.
    std::printf(
        "  picture -> steering commands sent: median %.1f ms, p99 %.1f ms; "
        "one analysis period + 10 ms = %.1f ms %s\n",
        latency, percentile(a.latencyMs, 0.99), period + 10.0,
        latency <= period + 10.0 ? "[target met on the median]" : "[TARGET MISSED on the median]");
    return 0;
}
