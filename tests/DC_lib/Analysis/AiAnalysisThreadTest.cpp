// The analysis thread beside the capture path, driven by a scripted analysis that blocks until
// the test lets it go: which pictures are analysed while others keep coming, what the capture
// path sees as the latest result, and that switching off waits for a running analysis.

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Analysis/KXAiAnalysisThread.h"
#include "MediaTestSupport.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace {

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// A small picture numbered by its pts.
FramePtr picture(int64_t number) {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = 32;
    frame->height = 16;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    frame->pts = number;
    return frame;
}

// An analysis that records each picture's number, answers one face whose x1 is that number,
// and holds each analysis until released.
class ScriptedAnalysis {
public:
    KXAiAnalysisThread::Analyse function() {
        return [this](const AVFrame* frame, int mode, const bool*, std::vector<KXFaceBox>* faces) {
            std::unique_lock<std::mutex> lock(_mutex);
            _started.push_back(frame->pts);
            _modes.push_back(mode);
            _changed.notify_all();
            _changed.wait(lock, [&] { return _released > _finished.size(); });
            KXFaceBox face;
            face.x1 = static_cast<int>(frame->pts);
            face.x2 = face.x1 + 1;
            face.y2 = 1;
            faces->push_back(face);
            _finished.push_back(frame->pts);
            return true;
        };
    }
    bool waitStarted(size_t count) {
        std::unique_lock<std::mutex> lock(_mutex);
        return _changed.wait_for(lock, std::chrono::milliseconds(kMediaWaitMs),
                                 [&] { return _started.size() >= count; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_released;
        _changed.notify_all();
    }
    std::vector<int64_t> started() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _started;
    }
    std::vector<int> modes() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _modes;
    }
    std::vector<int64_t> finished() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _finished;
    }

private:
    std::mutex _mutex;
    std::condition_variable _changed;
    std::vector<int64_t> _started;   // guarded by _mutex
    std::vector<int> _modes;         // guarded by _mutex
    std::vector<int64_t> _finished;  // guarded by _mutex
    size_t _released = 0;            // guarded by _mutex
};

int latestFace(KXAiAnalysisThread& thread) {
    std::vector<KXFaceBox> faces;
    int width = 0;
    int height = 0;
    thread.latestBoxes(&faces, &width, &height);
    return faces.empty() ? -1 : faces.front().x1;
}

}  // namespace

TEST(AiAnalysisThread, PicturesThatCameDuringAnAnalysisAreSkippedForTheNewest) {
    ScriptedAnalysis script;
    KXAiAnalysisThread thread(script.function(), -1);
    ASSERT_TRUE(thread.offer(picture(1).get(), 3, nullptr));
    ASSERT_TRUE(script.waitStarted(1));
    EXPECT_EQ(latestFace(thread), -1);  // nothing analysed yet: the capture path draws nothing
    for (int64_t n = 2; n <= 5; ++n) {
        ASSERT_TRUE(thread.offer(picture(n).get(), 3, nullptr));
    }
    script.release();
    ASSERT_TRUE(script.waitStarted(2));
    EXPECT_EQ(script.started(), (std::vector<int64_t>{1, 5}));
    EXPECT_EQ(latestFace(thread), 1);  // the finished analysis, while the next one runs
    script.release();
    ASSERT_TRUE(MediaWaitFor([&] { return latestFace(thread) == 5; }, kMediaWaitMs));
    const KXAiAnalysisThread::Statistics figures = thread.statistics();
    EXPECT_EQ(figures.offered, 5);
    EXPECT_EQ(figures.analysed, 2);
    EXPECT_EQ(figures.latencyMs.size(), 2u);
    EXPECT_EQ(figures.periodMs.size(), 1u);
}

// Mode 3 switches tracking on with its picture; a host that goes on in another mode right
// after must not lose the switch when that picture is skipped for a newer one.
TEST(AiAnalysisThread, SwitchOnOfASkippedPictureGoesWithTheNewerOne) {
    ScriptedAnalysis script;
    KXAiAnalysisThread thread(script.function(), -1);
    ASSERT_TRUE(thread.offer(picture(1).get(), 1, nullptr));
    ASSERT_TRUE(script.waitStarted(1));
    ASSERT_TRUE(thread.offer(picture(2).get(), 3, nullptr));
    ASSERT_TRUE(thread.offer(picture(3).get(), 1, nullptr));
    script.release();
    ASSERT_TRUE(script.waitStarted(2));
    script.release();
    ASSERT_TRUE(MediaWaitFor([&] { return latestFace(thread) == 3; }, kMediaWaitMs));
    ASSERT_TRUE(thread.offer(picture(4).get(), 1, nullptr));
    ASSERT_TRUE(script.waitStarted(3));
    script.release();
    EXPECT_EQ(script.started(), (std::vector<int64_t>{1, 3, 4}));
    EXPECT_EQ(script.modes(), (std::vector<int>{1, 3, 1}));
}

TEST(AiAnalysisThread, SwitchingOffWaitsForTheRunningAnalysisAndRefusesPictures) {
    ScriptedAnalysis script;
    KXAiAnalysisThread thread(script.function(), -1);
    ASSERT_TRUE(thread.offer(picture(1).get(), 3, nullptr));
    ASSERT_TRUE(script.waitStarted(1));
    // Whether the switch comes before or after the analysis is let go, it returns only once
    // that analysis has finished (its camera commands sent).
    std::vector<int64_t> finishedAtSwitch;
    std::thread switcher([&] {
        thread.setActive(false);
        finishedAtSwitch = script.finished();
    });
    script.release();
    switcher.join();
    EXPECT_EQ(finishedAtSwitch, (std::vector<int64_t>{1}));
    EXPECT_EQ(latestFace(thread), -1);  // its result is not drawn any more
    EXPECT_FALSE(thread.offer(picture(2).get(), 3, nullptr));

    thread.setActive(true);
    ASSERT_TRUE(thread.offer(picture(3).get(), 3, nullptr));
    ASSERT_TRUE(script.waitStarted(2));
    EXPECT_EQ(script.started(), (std::vector<int64_t>{1, 3}));
    script.release();
    ASSERT_TRUE(MediaWaitFor([&] { return latestFace(thread) == 3; }, kMediaWaitMs));
}

// A picture that waited longer than the bound while an analysis ran is not analysed: the
// thread waits for the next one, which takes over a switch to tracking the stale one carried.
TEST(AiAnalysisThread, StalePictureIsNotAnalysed) {
    constexpr int kMaxAgeMs = 1000;
    ScriptedAnalysis script;
    KXAiAnalysisThread thread(script.function(), kMaxAgeMs);
    ASSERT_TRUE(thread.offer(picture(1).get(), 1, nullptr));
    ASSERT_TRUE(script.waitStarted(1));
    ASSERT_TRUE(thread.offer(picture(2).get(), 3, nullptr));
    // Picture 2 grows older than the bound before the analysis of picture 1 ends.
    const auto stale = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxAgeMs + 100);
    while (std::chrono::steady_clock::now() < stale) {
        std::this_thread::sleep_until(stale);
    }
    script.release();
    ASSERT_TRUE(MediaWaitFor([&] { return latestFace(thread) == 1; }, kMediaWaitMs));
    ASSERT_TRUE(thread.offer(picture(3).get(), 1, nullptr));
    ASSERT_TRUE(script.waitStarted(2));
    EXPECT_EQ(script.started(), (std::vector<int64_t>{1, 3}));
    EXPECT_EQ(script.modes(), (std::vector<int>{1, 3}));
    script.release();
}
