// Cost of AI mode per analysed 1080p frame, stage by stage: the captured frame to BGR, the
// detector's pass at 640x360 (blob, forward, boxes and outlines), the landmark predictor
// per face (talker mode), and the outlined picture back to YUV 4:2:0; median and p99 of
// each, and the analysed frames per second they allow. Then the capture loop itself: a
// receiver fed a 1080p30 MJPEG stream of the same photo, frames taken with captureVideo for
// a few seconds with AI mode off and on.
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
#include "Analysis/KXFaceTracker.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
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

// Frames taken with captureVideo in `seconds` from a receiver on `url`, AI mode as given.
double captureRate(const std::string& url, bool aiMode, int seconds) {
    DC_SourceText text{};
    std::string copy = url;
    text.source = copy.data();
    text.length = static_cast<int32_t>(copy.size() + 1);
    DC_CaptureFormats formats;
    formats.url = &text;
    formats.sourceType = 1;
    DC_Recv recv(formats);
    if (!recv.initialize(nullptr)) {
        return NAN;
    }
    recv.setIsEnableDXAV2Decode(false);
    if (aiMode) {
        recv.setIsEnableAIMode(true, 3);
    }
    recv.startPreview(nullptr);
    // Let the stream open and the first frames arrive before counting.
    const Clock::time_point warmup = Clock::now();
    while (msSince(warmup) < 1500) {
        DC_Video_Frame frame{};
        if (recv.captureVideo(&frame, 20) == DC_ERROR_NONE) {
            recv.freeVideo(&frame);
        }
    }
    int frames = 0;
    const Clock::time_point start = Clock::now();
    while (msSince(start) < seconds * 1000.0) {
        DC_Video_Frame frame{};
        if (recv.captureVideo(&frame, 20) == DC_ERROR_NONE) {
            ++frames;
            recv.freeVideo(&frame);
        }
    }
    const double rate = frames / (msSince(start) / 1000.0);
    recv.stopPreview();
    return rate;
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
    const double plain = captureRate(server.url(), false, seconds);
    const double analysed = captureRate(server.url(), true, seconds);
    std::printf("capture loop, 1080p30 MJPEG over loopback TCP, software decoding, %d s each:\n", seconds);
    std::printf("  AI mode off: %.1f frames/s taken with captureVideo\n", plain);
    std::printf("  AI mode on (mode 3): %.1f frames/s taken with captureVideo\n", analysed);
    return 0;
}
