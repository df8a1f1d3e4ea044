// A DC_Recv over network sources (kind 1): local files and loopback TCP streams generated at
// test time, decoded in software (hardware decoding is switched off so that the picture
// formats are those of the software path on every machine).

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <thread>
#include <memory>
#include <vector>

#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "Receiver/ReceiverCore.h"
#include "vexsdk.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

namespace {

struct Captured {
    int width = 0;
    int height = 0;
    int format = -1;
    double pts = 0;
    double frameRate = 0;
    float aspect = 0;
};

// Pulls video frames until `count` were taken or the receiver reports its end.
std::vector<Captured> pullVideo(DC_Recv& recv, size_t count, DC_Error_Type* last = nullptr) {
    std::vector<Captured> frames;
    DC_Error_Type result = DC_ERROR_NONE;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMediaWaitMs);
    while (frames.size() < count && std::chrono::steady_clock::now() < deadline) {
        DC_Video_Frame frame{};
        result = recv.captureVideo(&frame, 50);
        if (result == DC_ERROR_NOT_RUNNING) {
            break;
        }
        if (result == DC_ERROR_NONE) {
            EXPECT_NE(frame.data[0], nullptr);
            EXPECT_GT(frame.linesize[0], 0);
            frames.push_back(
                {frame.width, frame.height, frame.format, frame.pts, frame.frameRate, frame.aspect});
            recv.freeVideo(&frame);
        }
    }
    if (last != nullptr) {
        *last = result;
    }
    return frames;
}

// Waits until the video capture call reports the end, counting the frames still delivered.
bool waitForVideoEnd(DC_Recv& recv, size_t* delivered = nullptr) {
    return MediaWaitFor(
        [&] {
            DC_Video_Frame frame{};
            DC_Error_Type result = recv.captureVideo(&frame, 20);
            if (result == DC_ERROR_NONE) {
                recv.freeVideo(&frame);
                if (delivered != nullptr) {
                    ++*delivered;
                }
            }
            return result == DC_ERROR_NOT_RUNNING;
        },
        kMediaWaitMs);
}

void expectIncreasing(const std::vector<Captured>& frames) {
    for (size_t i = 1; i < frames.size(); ++i) {
        EXPECT_GT(frames[i].pts, frames[i - 1].pts) << "frame " << i;
    }
}

bool fullRangeFormat(int format) {
    return format == AV_PIX_FMT_YUVJ420P || format == AV_PIX_FMT_YUVJ422P || format == AV_PIX_FMT_YUVJ444P;
}

struct SourceCase {
    const char* name;
    MediaVideo video;
    const char* container;
};

class NetworkSourceTest : public ::testing::TestWithParam<SourceCase> {
protected:
    MediaRecipe recipe() const {
        MediaRecipe s;
        s.video = GetParam().video;
        s.container = GetParam().container;
        s.width = 320;
        s.height = 240;
        s.frames = 60;
        return s;
    }

    void expectFormat(int format) const {
        if (GetParam().video == MediaVideo::MJPEG) {
            EXPECT_TRUE(fullRangeFormat(format)) << format;
        } else {
            EXPECT_EQ(format, AV_PIX_FMT_YUV420P);
        }
    }
};

}  // namespace

// A finished file: frames reach the caller in order up to the very last one, then the end;
// then both capture calls answer "not running" (the file has no audio).
TEST_P(NetworkSourceTest, FileDeliversItsLastFrameThenReportsTheEnd) {
    MediaRecipe fileRecipe = recipe();
    fileRecipe.container = "nut";  // timestamps from 0 in every codec
    MediaClip clip(fileRecipe);
    ASSERT_TRUE(clip.ok());
    MediaTempFile file(".nut");
    ASSERT_TRUE(clip.writeFile(file.path()));

    MediaNetworkReceiver receiver(file.path());
    DC_Recv& recv = receiver.recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);

    DC_Error_Type last = DC_ERROR_NONE;
    std::vector<Captured> frames = pullVideo(recv, 1000, &last);
    EXPECT_EQ(last, DC_ERROR_NOT_RUNNING);
    // Packets the stream analysis reads are not kept (no input buffering), and a new coded
    // sequence drops what is queued; but the pictures the decoder still holds at the end of
    // the file are drained and delivered: the last one is the clip's last frame.
    ASSERT_GE(frames.size(), 10u);
    for (const Captured& f : frames) {
        EXPECT_EQ(f.width, 320);
        EXPECT_EQ(f.height, 240);
        expectFormat(f.format);
        EXPECT_FLOAT_EQ(f.aspect, 320.0f / 240.0f);
    }
    EXPECT_NEAR(frames.front().frameRate, 30.0, 0.01);
    EXPECT_NEAR(frames.back().pts, 59.0 / 30.0, 1e-3);
    expectIncreasing(frames);

    DC_Audio_Frame audio{};
    EXPECT_EQ(recv.captureAudio(&audio, 0), DC_ERROR_NOT_RUNNING);
    EXPECT_EQ(recv.captureVideo(nullptr, 0), DC_ERROR_NOT_RUNNING);
    recv.stopPreview();
}

// A live loopback stream, paced at 30 fps.
TEST_P(NetworkSourceTest, TcpStreamDeliversFramesUntilThePeerCloses) {
    MediaStreamServer::Options options;
    options.passes = 2;  // the stream is analysed for a moment before frames flow
    const auto server = MediaServe(recipe(), options);
    ASSERT_TRUE(server);

    MediaNetworkReceiver receiver(server->url());
    DC_Recv& recv = receiver.recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);

    std::vector<Captured> frames = pullVideo(recv, 20);
    ASSERT_EQ(frames.size(), 20u);
    for (const Captured& f : frames) {
        EXPECT_EQ(f.width, 320);
        EXPECT_EQ(f.height, 240);
        expectFormat(f.format);
    }
    expectIncreasing(frames);
    EXPECT_TRUE(waitForVideoEnd(recv));
    recv.stopPreview();
}

INSTANTIATE_TEST_SUITE_P(Codecs, NetworkSourceTest,
                         ::testing::Values(SourceCase{"H264", MediaVideo::H264, "nut"},
                                           SourceCase{"MJPEG", MediaVideo::MJPEG, "nut"},
                                           SourceCase{"Raw", MediaVideo::Raw, "nut"}),
                         [](const ::testing::TestParamInfo<SourceCase>& info) { return info.param.name; });

namespace {

// A looping live stream and a started receiver over it.
class LiveStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        MediaRecipe recipe;
        recipe.video = MediaVideo::H264;
        recipe.frames = 30;
        recipe.width = 160;
        recipe.height = 120;
        recipe.container = "nut";
        _server = MediaServeLooped(recipe);
        ASSERT_TRUE(_server);
        _receiver = std::make_unique<MediaNetworkReceiver>(_server->url());
        _recv = &_receiver->recv();
    }

    void TearDown() override {
        _receiver.reset();
        _server.reset();
    }

    bool frameArrives() { return pullVideo(*_recv, 1).size() == 1; }

    std::unique_ptr<MediaStreamServer> _server;
    std::unique_ptr<MediaNetworkReceiver> _receiver;
    DC_Recv* _recv = nullptr;  // _receiver's
};

}  // namespace

TEST_F(LiveStreamTest, StartBeforeInitializeDoesNothing) {
    _recv->startPreview(nullptr);
    DC_Video_Frame frame{};
    EXPECT_EQ(_recv->captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
    EXPECT_EQ(_server->connections(), 0);
    _recv->stopPreview();
}

TEST_F(LiveStreamTest, EmptyQueueWithZeroTimeoutAnswersTimeoutAtOnce) {
    ASSERT_TRUE(_recv->initialize(nullptr));
    _recv->startPreview(nullptr);
    ASSERT_TRUE(frameArrives());
    // Drain whatever is queued; the first empty look answers 1 without waiting.
    DC_Video_Frame frame{};
    DC_Error_Type result;
    while ((result = _recv->captureVideo(&frame, 0)) == DC_ERROR_NONE) {
        _recv->freeVideo(&frame);
    }
    EXPECT_EQ(result, DC_ERROR_TIMEOUT);
    const auto before = std::chrono::steady_clock::now();
    // The stream is paced at 30 fps; a zero-timeout call that waited for the next frame would
    // take most of a frame interval. Several calls in a row stay far below one interval.
    int timeouts = 0;
    for (int i = 0; i < 5; ++i) {
        if (_recv->captureVideo(&frame, 0) == DC_ERROR_TIMEOUT) {
            ++timeouts;
        } else {
            _recv->freeVideo(&frame);
        }
    }
    EXPECT_GE(timeouts, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
}

TEST_F(LiveStreamTest, SecondStartChangesNothingAndStopTwiceIsHarmless) {
    ASSERT_TRUE(_recv->initialize(nullptr));
    EXPECT_TRUE(_recv->initialize(nullptr));  // again: already initialised
    _recv->startPreview(nullptr);
    ASSERT_TRUE(frameArrives());
    _recv->startPreview(nullptr);
    ASSERT_TRUE(frameArrives());
    EXPECT_EQ(_server->connections(), 1);
    _recv->stopPreview();
    _recv->stopPreview();
    DC_Video_Frame frame{};
    EXPECT_EQ(_recv->captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
}

TEST_F(LiveStreamTest, PauseEmptiesTheQueuesUntilResume) {
    ASSERT_TRUE(_recv->initialize(nullptr));
    _recv->startPreview(nullptr);
    ASSERT_TRUE(frameArrives());
    // Let frames pile up, then pause: none of them is handed out any more.
    const int sentBefore = _server->videoPacketsSent();
    ASSERT_TRUE(MediaWaitFor([&] { return _server->videoPacketsSent() >= sentBefore + 10; }, kMediaWaitMs));
    _recv->pause();
    const double ptsAtPause = _server->lastVideoPtsSent();
    const int sentAtPause = _server->videoPacketsSent();
    _recv->pause();  // twice: harmless
    DC_Video_Frame frame{};
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(_recv->captureVideo(&frame, 20), DC_ERROR_TIMEOUT);
    }
    // The stream goes on while paused; after resume, the picture is the live one: nothing
    // that was sent before the pause is shown.
    ASSERT_TRUE(MediaWaitFor([&] { return _server->videoPacketsSent() >= sentAtPause + 5; }, kMediaWaitMs));
    _recv->resume();
    std::vector<Captured> after = pullVideo(*_recv, 1);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_GT(after.front().pts, ptsAtPause + 1e-6);
}

TEST_F(LiveStreamTest, StartStopCyclesKeepDelivering) {
    ASSERT_TRUE(_recv->initialize(nullptr));
    for (int cycle = 0; cycle < 3; ++cycle) {
        _recv->startPreview(nullptr);
        ASSERT_TRUE(frameArrives()) << "cycle " << cycle;
        _recv->stopPreview();
        DC_Video_Frame frame{};
        EXPECT_EQ(_recv->captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
    }
    EXPECT_EQ(_server->connections(), 3);
    _recv->startPreview(nullptr);
    ASSERT_TRUE(frameArrives());
    // Destroying a running receiver stops it.
}

// Capture calls on one thread while another thread stops and restarts the receiver: the
// capture side never touches a component the stop is destroying.
TEST_F(LiveStreamTest, CaptureRacesStopAndStart) {
    ASSERT_TRUE(_recv->initialize(nullptr));
    _recv->startPreview(nullptr);
    ASSERT_TRUE(frameArrives());
    std::atomic<bool> done{false};
    std::thread consumer([&] {
        while (!done.load()) {
            DC_Video_Frame frame{};
            if (_recv->captureVideo(&frame, 5) == DC_ERROR_NONE) {
                _recv->freeVideo(&frame);
            }
            DC_JPEG_Frame jpeg{};
            _recv->captureJPEG(&jpeg, 1);
        }
    });
    for (int i = 0; i < 3; ++i) {
        _recv->stopPreview();
        _recv->startPreview(nullptr);
        ASSERT_TRUE(MediaWaitFor([&] { return _server->connections() == i + 2; }, kMediaWaitMs));
    }
    done.store(true);
    consumer.join();
}

TEST(NetworkSourceFailures, UnreachableUnknownAndGarbageSourcesFailToStart) {
    // Nobody listens on the port of a server that is gone.
    std::string deadUrl;
    {
        MediaRecipe recipe;
        auto clip = std::make_shared<MediaClip>(recipe);
        MediaStreamServer gone(clip, MediaStreamServer::Options{});
        deadUrl = gone.url();
    }
    MediaSourceText url(deadUrl);
    DC_Recv recv(MediaNetworkFormats(url));
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    DC_Video_Frame frame{};
    EXPECT_EQ(recv.captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
    recv.stopPreview();

    // A file that is no media at all.
    MediaTempFile garbage(".ts");
    {
        FILE* f = std::fopen(garbage.path().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        for (int i = 0; i < 4096; ++i) {
            std::fputc((i * 7919) & 0xFF, f);
        }
        std::fclose(f);
    }
    MediaSourceText garbageUrl(garbage.path());
    DC_Recv garbageRecv(MediaNetworkFormats(garbageUrl));
    ASSERT_TRUE(garbageRecv.initialize(nullptr));
    garbageRecv.startPreview(nullptr);
    EXPECT_EQ(garbageRecv.captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);

    // A source kind that is neither a local device nor a network stream.
    DC_CaptureFormats odd = MediaNetworkFormats(url);
    odd.sourceType = 7;
    DC_Recv oddRecv(odd);
    ASSERT_TRUE(oddRecv.initialize(nullptr));
    oddRecv.startPreview(nullptr);
    EXPECT_EQ(oddRecv.captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);

    // No URL at all: initialisation itself fails.
    MediaSourceText empty("");
    DC_Recv emptyRecv(MediaNetworkFormats(empty));
    EXPECT_FALSE(emptyRecv.initialize(nullptr));
    emptyRecv.startPreview(nullptr);
    EXPECT_EQ(emptyRecv.captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
}

TEST(NetworkSourceFailures, TransportErrorEndsTheStream) {
    MediaRecipe recipe;
    recipe.frames = 30;
    recipe.container = "nut";
    MediaStreamServer::Options options;
    options.loop = true;
    options.resetAfterPackets = 60;  // well after the stream analysis
    const auto server = MediaServe(recipe, options);
    ASSERT_TRUE(server);
    MediaNetworkReceiver receiver(server->url());
    DC_Recv& recv = receiver.recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    EXPECT_EQ(pullVideo(recv, 1).size(), 1u);
    EXPECT_TRUE(waitForVideoEnd(recv));
}

TEST(NetworkAudio, AacIsDeliveredAsSigned16BitFrames) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.withAudio = true;
    recipe.frames = 60;
    recipe.width = 160;
    recipe.height = 120;
    MediaStreamServer::Options options;
    options.passes = 4;  // a transport stream is analysed for about five seconds
    const auto server = MediaServe(recipe, options);
    ASSERT_TRUE(server);
    MediaNetworkReceiver receiver(server->url());
    DC_Recv& recv = receiver.recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);

    std::vector<double> pts;
    MediaVideoDrain video(recv);  // on its own thread, as a host program would
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMediaWaitMs);
    while (pts.size() < 20 && std::chrono::steady_clock::now() < deadline) {
        DC_Audio_Frame frame{};
        DC_Error_Type result = recv.captureAudio(&frame, 50);
        if (result == DC_ERROR_NOT_RUNNING) {
            break;
        }
        if (result != DC_ERROR_NONE) {
            continue;
        }
        EXPECT_EQ(frame.format, AV_SAMPLE_FMT_S16);
        EXPECT_EQ(frame.sampleRate, 48000);
        EXPECT_EQ(frame.channels, 2);
        EXPECT_GT(frame.samples, 0);
        EXPECT_EQ(frame.bufferSize, frame.samples * frame.channels * 2);
        EXPECT_EQ(frame.linesize[0], frame.bufferSize);
        EXPECT_NE(frame.data[0], nullptr);
        pts.push_back(frame.pts);
        recv.freeAudio(&frame);
    }
    video.stop();
    ASSERT_GE(pts.size(), 20u);
    for (size_t i = 1; i < pts.size(); ++i) {
        EXPECT_GT(pts[i], pts[i - 1]);
    }
}

// Every packet of an all-intra H.264 stream starts a new coded sequence, so the reader flushes
// the video packet ring for each one, on its own thread, while pause() flushes the same ring
// from the caller's thread. Served as fast as the reader takes it, many of those flushes meet.
TEST(NetworkPauseStress, PauseAndResumeOnAnAllIntraStreamNeverBreakTheRings) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.gop = 1;  // every frame a key frame with its own sequence parameter set
    recipe.frames = 30;
    recipe.width = 64;
    recipe.height = 48;
    recipe.container = "nut";
    MediaStreamServer::Options options;
    options.paced = false;
    options.loop = true;
    const auto server = MediaServe(recipe, options);
    ASSERT_TRUE(server);
    MediaNetworkReceiver receiver(server->url());
    DC_Recv& recv = receiver.recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    ASSERT_EQ(pullVideo(recv, 1).size(), 1u);

    for (int cycle = 0; cycle < 20000; ++cycle) {
        recv.pause();
        recv.resume();
    }
    // The rings still carry the stream, in order.
    std::vector<Captured> frames = pullVideo(recv, 10);
    ASSERT_EQ(frames.size(), 10u);
    expectIncreasing(frames);
    recv.stopPreview();
}

// A finished stream with sound: the audio decoder drains what it holds, its last frame reaches
// the caller, and then captureAudio reports the end.
TEST(NetworkAudio, AudioDeliversItsLastFrameThenReportsTheEnd) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.withAudio = true;
    recipe.frames = 45;
    recipe.width = 64;
    recipe.height = 48;
    recipe.container = "nut";
    auto clip = std::make_shared<MediaClip>(recipe);
    ASSERT_TRUE(clip->ok());
    int64_t firstAudioPts = INT64_MAX;
    int64_t lastAudioPts = INT64_MIN;
    for (const MediaPacket& p : clip->packets()) {
        if (p.stream == 1) {
            firstAudioPts = std::min(firstAudioPts, p.pts);
            lastAudioPts = std::max(lastAudioPts, p.pts);
        }
    }
    MediaStreamServer server(clip, MediaStreamServer::Options{});  // paced, one pass, then closed
    MediaNetworkReceiver receiver(server.url());
    DC_Recv& recv = receiver.recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);

    MediaVideoDrain video(recv);
    std::vector<double> pts;
    DC_Error_Type result = DC_ERROR_NONE;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMediaWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        DC_Audio_Frame frame{};
        result = recv.captureAudio(&frame, 50);
        if (result == DC_ERROR_NOT_RUNNING) {
            break;
        }
        if (result == DC_ERROR_NONE) {
            pts.push_back(frame.pts);
            recv.freeAudio(&frame);
        }
    }
    video.stop();
    EXPECT_EQ(result, DC_ERROR_NOT_RUNNING);
    ASSERT_GE(pts.size(), 5u);
    // The last frame delivered is the one of the stream's last packet (the first ones went to
    // the stream analysis). The muxer moves all timestamps so that none is negative (the AAC
    // encoder's priming packet starts before 0).
    const int64_t shift = firstAudioPts < 0 ? -firstAudioPts : 0;
    EXPECT_NEAR(pts.back(), static_cast<double>(lastAudioPts + shift) / recipe.sampleRate, 0.005);
    for (size_t i = 1; i < pts.size(); ++i) {
        EXPECT_GT(pts[i], pts[i - 1]);
    }
}

// A consumer slower than the decoder: by the time it looks, the decoder has reached the end of
// the file and stopped. Every frame it queued is still handed out, up to the last one, before
// the end is reported.
TEST(NetworkSourceEnd, FramesQueuedBeforeTheEndReachASlowConsumer) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.container = "nut";
    recipe.width = 160;
    recipe.height = 120;
    recipe.frames = 40;  // fewer than the video rings hold
    MediaClip clip(recipe);
    ASSERT_TRUE(clip.ok());
    MediaTempFile file(".nut");
    ASSERT_TRUE(clip.writeFile(file.path()));
    MediaSourceText url(file.path());
    ReceiverCore core(MediaNetworkFormats(url));
    core.setIsEnableDXVA2Decode(false);
    ASSERT_TRUE(core.initialize(nullptr));
    core.startPreview(nullptr);
    ASSERT_TRUE(core.isStarted());
    // Slow on purpose: nothing is taken until the decoder has finished the file.
    ASSERT_TRUE(MediaWaitFor([&] { return !core.videoDecoderRunning(); }, kMediaWaitMs));

    std::vector<double> pts;
    DC_Error_Type result;
    DC_Video_Frame frame{};
    while ((result = core.captureVideo(&frame, 0)) == DC_ERROR_NONE) {
        pts.push_back(frame.pts);
        core.freeVideo();
    }
    EXPECT_EQ(result, DC_ERROR_NOT_RUNNING);
    ASSERT_GE(pts.size(), 10u);  // the first ones went to the stream analysis
    EXPECT_NEAR(pts.back(), 39.0 / 30.0, 1e-3);
    for (size_t i = 1; i < pts.size(); ++i) {
        EXPECT_NEAR(pts[i] - pts[i - 1], 1.0 / 30.0, 1e-3) << "frame " << i;  // none lost between
    }
    core.stopPreview();
}

namespace {

// A live stream of numbered frames (pts = index / 30) in `container`, served to each client
// from its first frame.
std::unique_ptr<MediaStreamServer> serveLive(MediaVideo video, const char* container,
                                             MediaStreamServer::Options options) {
    MediaRecipe recipe;
    recipe.video = video;
    recipe.container = container;
    recipe.width = 320;
    recipe.height = 240;
    recipe.frames = 90;
    recipe.gop = 90;
    options.loop = true;
    return MediaServe(recipe, options);
}

std::vector<int64_t> frameIndices(const std::vector<Captured>& frames) {
    std::vector<int64_t> indices;
    for (const Captured& frame : frames) {
        indices.push_back(std::llround(frame.pts * 30.0));
    }
    return indices;
}

struct LiveCase {
    const char* name;
    MediaVideo video;
    const char* container;
};

class LiveNetworkStartTest : public ::testing::TestWithParam<LiveCase> {};

}  // namespace

// The start reads the stream to learn its parameters; what it read is delivered, not thrown
// away: the pictures are the stream's from its first frame on, none missing (an H.264 stream
// whose only key frame is its first would otherwise show nothing for a whole key-frame interval).
TEST_P(LiveNetworkStartTest, FramesReadWhileStartingAreDelivered) {
    std::unique_ptr<MediaStreamServer> server =
        serveLive(GetParam().video, GetParam().container, MediaStreamServer::Options{});
    ASSERT_TRUE(server);
    MediaNetworkReceiver receiver(server->url());
    DC_Recv& recv = receiver.recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    const std::vector<Captured> frames = pullVideo(recv, 40);
    std::vector<int64_t> expected(40);
    for (int i = 0; i < 40; ++i) {
        expected[static_cast<size_t>(i)] = i;
    }
    EXPECT_EQ(frameIndices(frames), expected);
    recv.stopPreview();
}

INSTANTIATE_TEST_SUITE_P(Containers, LiveNetworkStartTest,
                         ::testing::Values(LiveCase{"NutMjpeg", MediaVideo::MJPEG, "nut"},
                                           LiveCase{"NutH264", MediaVideo::H264, "nut"},
                                           LiveCase{"MpegTsH264", MediaVideo::H264, "mpegts"}),
                         [](const ::testing::TestParamInfo<LiveCase>& info) { return info.param.name; });

// A stream that sends two pictures and then pauses (a camera that encodes only on change, a
// congested link): a container that declares its streams needs nothing more to start, so the
// start returns and both pictures are shown while the stream waits.
TEST(LiveNetworkStart, StreamThatPausesAfterTwoPicturesStillStarts) {
    MediaStreamServer::Options options;
    options.stallAfterPackets = 2;
    std::unique_ptr<MediaStreamServer> server = serveLive(MediaVideo::H264, "nut", options);
    ASSERT_TRUE(server);
    auto receiver = std::make_unique<MediaNetworkReceiver>(server->url());
    DC_Recv& recv = receiver->recv();
    ASSERT_TRUE(recv.initialize(nullptr));
    std::atomic<bool> started{false};
    std::thread starter([&] {
        recv.startPreview(nullptr);
        started = true;
    });
    const bool startReturned = MediaWaitFor([&] { return started.load(); }, kMediaWaitMs);
    if (!startReturned) {
        server.reset();  // closes the connection: the stuck start gives up and returns
    }
    starter.join();
    ASSERT_TRUE(startReturned) << "the start waited for more of the stream";
    EXPECT_EQ(frameIndices(pullVideo(recv, 2)), (std::vector<int64_t>{0, 1}));
    recv.stopPreview();
}
