// A DC_Recv over a local camera (kind 0) on the simulated backend: the simulator's server lists a
// camera whose MJPEG capability streams a generated clip from a loopback server; the receiver
// is built from what discovery reports, as the application does.

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <thread>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimServer.h"
#include "KXLog.h"
#include "KXPlatform.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "Platform/sim/KXSimPlatform.h"
#include "vexsdk.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace {

const std::string kLocation = "1&2.4&1&0000";

class LocalSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        MediaRecipe recipe;
        recipe.video = MediaVideo::MJPEG;
        recipe.container = "mjpeg";  // a raw JPEG sequence, as a camera delivers it
        recipe.width = 320;
        recipe.height = 240;
        recipe.frames = 30;
        auto clip = std::make_shared<MediaClip>(recipe);
        ASSERT_TRUE(clip->ok());
        MediaStreamServer::Options options;
        options.loop = true;
        _server = std::make_unique<MediaStreamServer>(clip, options);
        ASSERT_TRUE(_server->ok());

        SimServer::Camera camera;
        camera.devicePath = SimServer::devicePathFor("1d4d", "6009", kLocation);
        SimServer::Capability mjpeg;
        mjpeg.subtype = "MJPG";
        mjpeg.width = 320;
        mjpeg.height = 240;
        mjpeg.inputFormat = "mjpeg";
        mjpeg.inputUrl = _server->url();
        SimServer::Capability yuy2 = mjpeg;
        yuy2.subtype = "YUY2";
        yuy2.inputFormat = "rawvideo";
        camera.capabilities = {mjpeg, yuy2};
        _devicePath = camera.devicePath;
        _sim.addCamera(camera);
        KXSetPlatform(std::make_shared<KXSimPlatform>(_sim.socketPath(), 2000));
    }

    void TearDown() override {
        KXSetPlatform(nullptr);
        for (DC_SourceText* text : {&_videoName, &_audioName}) {
            std::free(text->source);
            text->source = nullptr;
        }
    }

    // Discovery fills the record; the test picks the format whose stream-format code is `code`.
    DC_CaptureFormats discover(int code) {
        DC_Find find;
        find.initialize();
        DC_CaptureFormats formats;
        formats.url = _location.get();
        formats.videoDeviceName = &_videoName;
        formats.audioDeviceName = &_audioName;
        formats.audioDeviceIndex = 0;
        find.getSources(&formats);
        for (const DC_VideoFormat& f : formats.videoFormatList) {
            if (f.format == code) {
                formats.videoFormatIndex = f.index;
            }
        }
        formats.sourceType = 0;
        formats.deviceModel = 9;
        return formats;
    }

    SimServer _sim;
    std::unique_ptr<MediaStreamServer> _server;
    std::string _devicePath;
    MediaSourceText _location{kLocation};
    DC_SourceText _videoName{};
    DC_SourceText _audioName{};
};

}  // namespace

TEST_F(LocalSourceTest, ChosenMjpegFormatOpensFramesFlowAndTheCameraSteers) {
    DC_CaptureFormats formats = discover(4);
    ASSERT_NE(_videoName.source, nullptr);
    ASSERT_EQ(formats.videoFormatList.size(), 2u);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    ASSERT_TRUE(_server->waitForConnections(1, kMediaWaitMs));

    int delivered = 0;
    double lastPts = -1.0;
    ASSERT_TRUE(MediaWaitFor(
        [&] {
            DC_Video_Frame frame{};
            if (recv.captureVideo(&frame, 50) != DC_ERROR_NONE) {
                return false;
            }
            EXPECT_EQ(frame.width, 320);
            EXPECT_EQ(frame.height, 240);
            EXPECT_TRUE(frame.format == AV_PIX_FMT_YUVJ420P || frame.format == AV_PIX_FMT_YUVJ422P ||
                        frame.format == AV_PIX_FMT_YUVJ444P)
                << frame.format;
            EXPECT_GT(frame.pts, lastPts);
            lastPts = frame.pts;
            recv.freeVideo(&frame);
            return ++delivered >= 10;
        },
        kMediaWaitMs));

    // The same receiver steers the simulated camera through its extension unit.
    EXPECT_EQ(recv.setPanUp(), 0);
    EXPECT_EQ(_sim.registerValue(_devicePath, 0x27), 0x31);
    EXPECT_EQ(recv.callPreset(4), 0);
    EXPECT_EQ(_sim.registerValue(_devicePath, 0x1D), 4);

    DC_Audio_Frame audio{};
    EXPECT_EQ(recv.captureAudio(&audio, 0), DC_ERROR_NOT_RUNNING);  // no audio device
    recv.stopPreview();
}

TEST_F(LocalSourceTest, FormatThatIsNeitherMjpegNorH264FailsToStart) {
    LogCapture log;
    DC_CaptureFormats formats = discover(0);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    EXPECT_TRUE(log.contains("Could'nt get right videoCodecId."));
    DC_Video_Frame frame{};
    EXPECT_EQ(recv.captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
    EXPECT_EQ(_server->connections(), 0);
}

TEST_F(LocalSourceTest, CameraWithoutAVideoDeviceNameDoesNotInitialize) {
    DC_CaptureFormats formats;
    formats.url = _location.get();
    formats.sourceType = 0;
    DC_Recv recv(formats);
    EXPECT_FALSE(recv.initialize(nullptr));
}

// A camera with an audio device: the audio input is a second input read by the same loop.
TEST_F(LocalSourceTest, AudioDeviceIsReadAsASecondInput) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.width = 64;
    recipe.height = 48;
    recipe.withAudio = true;
    recipe.container = "nut";
    auto clip = std::make_shared<MediaClip>(recipe);
    ASSERT_TRUE(clip->ok());
    MediaStreamServer::Options options;
    options.loop = true;
    MediaStreamServer audioServer(clip, options);
    SimServer::AudioDevice microphone;
    microphone.friendlyName = "USB Audio";
    microphone.inputFormat = "nut";
    microphone.inputUrl = audioServer.url();
    _sim.addAudioDevice(microphone);

    DC_CaptureFormats formats = discover(4);
    ASSERT_NE(_audioName.source, nullptr);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    std::atomic<bool> done{false};
    std::atomic<int> videoFrames{0};
    std::thread video([&] {
        while (!done.load()) {
            DC_Video_Frame frame{};
            if (recv.captureVideo(&frame, 10) == DC_ERROR_NONE) {
                EXPECT_EQ(frame.width, 320);
                recv.freeVideo(&frame);
                ++videoFrames;
            }
        }
    });
    int audioFrames = 0;
    EXPECT_TRUE(MediaWaitFor(
        [&] {
            DC_Audio_Frame frame{};
            if (recv.captureAudio(&frame, 50) == DC_ERROR_NONE) {
                EXPECT_EQ(frame.channels, 2);
                EXPECT_EQ(frame.bufferSize, frame.samples * 4);
                recv.freeAudio(&frame);
                ++audioFrames;
            }
            return audioFrames >= 5 && videoFrames.load() >= 5;
        },
        kMediaWaitMs));
    done.store(true);
    video.join();
}

// A microphone that cannot be opened: the picture goes on, and the user is told why the
// sound is missing once, however often the preview restarts.
TEST_F(LocalSourceTest, MicrophoneThatCannotBeOpenedIsReportedOnceAndThePictureGoesOn) {
    std::string deadUrl;
    {
        MediaRecipe recipe;
        MediaStreamServer gone(std::make_shared<MediaClip>(recipe), MediaStreamServer::Options{});
        deadUrl = gone.url();  // nobody listens there any more
    }
    SimServer::AudioDevice microphone;
    microphone.friendlyName = "Unplugged Microphone";
    microphone.inputFormat = "nut";
    microphone.inputUrl = deadUrl;
    _sim.addAudioDevice(microphone);

    LogCapture log;
    DC_CaptureFormats formats = discover(4);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    for (int cycle = 0; cycle < 2; ++cycle) {
        recv.startPreview(nullptr);
        ASSERT_TRUE(MediaWaitFor(
            [&] {
                DC_Video_Frame frame{};
                if (recv.captureVideo(&frame, 20) != DC_ERROR_NONE) {
                    return false;
                }
                recv.freeVideo(&frame);
                return true;
            },
            kMediaWaitMs));
        DC_Audio_Frame audio{};
        EXPECT_EQ(recv.captureAudio(&audio, 0), DC_ERROR_NOT_RUNNING);
        recv.stopPreview();
    }
    EXPECT_EQ(log.count("warning: cannot open audio device \"Unplugged Microphone\""), 1);
}

// An H.264 camera sends a key frame when its stream starts and then rarely (here every ten
// seconds). The start must not throw that first key frame away in its stream analysis: the
// first picture is the camera's first frame, not one a whole key-frame interval later.
TEST(LocalH264Camera, FirstPictureIsTheCamerasFirstFrame) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.container = "h264";  // the raw stream, as a camera delivers it
    recipe.width = 320;
    recipe.height = 240;
    recipe.frames = 300;
    recipe.gop = 300;
    auto clip = std::make_shared<MediaClip>(recipe);
    ASSERT_TRUE(clip->ok());
    MediaStreamServer::Options options;
    options.loop = true;
    MediaStreamServer server(clip, options);
    SimServer sim;
    SimServer::Camera camera;
    camera.devicePath = SimServer::devicePathFor("1d4d", "6009", kLocation);
    SimServer::Capability h264;
    h264.subtype = "H264";
    h264.width = 320;
    h264.height = 240;
    h264.inputFormat = "h264";
    h264.inputUrl = server.url();
    camera.capabilities = {h264};
    sim.addCamera(camera);
    KXSetPlatform(std::make_shared<KXSimPlatform>(sim.socketPath(), 2000));
    MediaSourceText location(kLocation);
    DC_SourceText videoName{};
    DC_SourceText audioName{};
    {
        DC_Find find;
        find.initialize();
        DC_CaptureFormats formats;
        formats.url = location.get();
        formats.videoDeviceName = &videoName;
        formats.audioDeviceName = &audioName;
        find.getSources(&formats);
        ASSERT_EQ(formats.videoFormatList.size(), 1u);
        formats.videoFormatIndex = 0;
        formats.sourceType = 0;
        DC_Recv recv(formats);
        recv.setIsEnableDXAV2Decode(false);
        ASSERT_TRUE(recv.initialize(nullptr));
        recv.startPreview(nullptr);
        // The raw stream carries no timestamps of its own: the picture tells which frame it is
        // (the generated gradient's top row holds x + 3 * frame index).
        int firstIndex = -1;
        ASSERT_TRUE(MediaWaitFor(
            [&] {
                DC_Video_Frame frame{};
                if (recv.captureVideo(&frame, 50) != DC_ERROR_NONE) {
                    return false;
                }
                int offset = 0;
                for (int x = 0; x < 16; ++x) {
                    offset += frame.data[0][x] - x;
                }
                firstIndex = static_cast<int>(std::lround(offset / 16.0 / 3.0));
                recv.freeVideo(&frame);
                return true;
            },
            kMediaWaitMs));
        EXPECT_EQ(firstIndex, 0);
    }
    KXSetPlatform(nullptr);
    std::free(videoName.source);
    std::free(audioName.source);
}

namespace {

// A simulated local camera whose stream is served with a fault setting; the receiver is built
// for its MJPEG format.
class FaultyCameraTest : public ::testing::Test {
protected:
    void start(MediaStreamServer::Options options) {
        MediaRecipe recipe;
        recipe.video = MediaVideo::MJPEG;
        recipe.container = "mjpeg";
        recipe.width = 160;
        recipe.height = 120;
        recipe.frames = 30;
        auto clip = std::make_shared<MediaClip>(recipe);
        ASSERT_TRUE(clip->ok());
        _server = std::make_unique<MediaStreamServer>(clip, options);
        ASSERT_TRUE(_server->ok());
        SimServer::Camera camera;
        camera.devicePath = SimServer::devicePathFor("1d4d", "6009", kLocation);
        SimServer::Capability mjpeg;
        mjpeg.width = 160;
        mjpeg.height = 120;
        mjpeg.inputUrl = _server->url();
        camera.capabilities = {mjpeg};
        _sim.addCamera(camera);
        KXSetPlatform(std::make_shared<KXSimPlatform>(_sim.socketPath(), 2000));

        DC_Find find;
        find.initialize();
        DC_CaptureFormats formats;
        formats.url = _location.get();
        formats.videoDeviceName = &_videoName;
        formats.audioDeviceName = &_audioName;
        find.getSources(&formats);
        ASSERT_EQ(formats.videoFormatList.size(), 1u);
        formats.videoFormatIndex = 0;
        formats.sourceType = 0;
        _recv = std::make_unique<DC_Recv>(formats);
        ASSERT_TRUE(_recv->initialize(nullptr));
    }

    void TearDown() override {
        _recv.reset();
        KXSetPlatform(nullptr);
        std::free(_videoName.source);
        std::free(_audioName.source);
    }

    SimServer _sim;
    std::unique_ptr<MediaStreamServer> _server;
    MediaSourceText _location{kLocation};
    DC_SourceText _videoName{};
    DC_SourceText _audioName{};
    std::unique_ptr<DC_Recv> _recv;
};

using Clock = std::chrono::steady_clock;

}  // namespace

// The camera delivers for a while and then goes silent without closing anything: the stop
// must come back promptly (and the receiver must still be usable afterwards).
TEST_F(FaultyCameraTest, StopReturnsPromptlyWhenTheCameraStoppedDelivering) {
    MediaStreamServer::Options options;
    options.stallAfterPackets = 15;
    start(options);
    _recv->startPreview(nullptr);
    int delivered = 0;
    // Take frames until none came for a while: the camera has gone silent.
    auto lastFrame = Clock::now();
    ASSERT_TRUE(MediaWaitFor(
        [&] {
            DC_Video_Frame frame{};
            if (_recv->captureVideo(&frame, 20) == DC_ERROR_NONE) {
                _recv->freeVideo(&frame);
                ++delivered;
                lastFrame = Clock::now();
            }
            return delivered > 0 && Clock::now() - lastFrame > std::chrono::milliseconds(300);
        },
        kMediaWaitMs));
    const auto before = Clock::now();
    _recv->stopPreview();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(1));
    DC_Video_Frame frame{};
    EXPECT_EQ(_recv->captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
}

// A camera that accepts the connection and then sends nothing at all: the start gives up
// within its open bound instead of holding the caller, and the capture calls say so.
TEST_F(FaultyCameraTest, StartGivesUpOnACameraThatSendsNothing) {
    MediaStreamServer::Options options;
    options.stallAfterPackets = 0;
    start(options);
    const auto before = Clock::now();
    _recv->startPreview(nullptr);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(10));
    DC_Video_Frame frame{};
    EXPECT_EQ(_recv->captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
    const auto stopping = Clock::now();
    _recv->stopPreview();
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(1));
}
