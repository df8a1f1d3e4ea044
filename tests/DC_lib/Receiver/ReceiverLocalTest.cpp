// A DC_Recv over a local camera (kind 0) on the simulated backend: the simulator's server lists a
// camera whose MJPEG capability streams a generated clip from a loopback server; the receiver
// is built from what discovery reports, as the application does.

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "KXPlatformExports.h"
#include "MediaTestSupport.h"
#include "SimLocalCamera.h"
#include "vexsdk.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace {

class LocalSourceTest : public ::testing::Test {
protected:
    // The camera lists an MJPEG capability and a YUY2 one over the same stream.
    void SetUp() override {
        ASSERT_TRUE(_camera.serve(SimLocalCamera::mjpegRecipe(320, 240)));
        SimServer::Capability mjpeg = _camera.capability();
        SimServer::Capability yuy2 = mjpeg;
        yuy2.subtype = "YUY2";
        yuy2.inputFormat = "rawvideo";
        SimLocalCamera::Setup setup;
        setup.capabilities = {mjpeg, yuy2};
        _devicePath = _camera.plug(setup);
        _camera.useBackend();
    }

    SimLocalCamera _camera;
    std::string _devicePath;
};

}  // namespace

TEST_F(LocalSourceTest, ChosenMjpegFormatOpensFramesFlowAndTheCameraSteers) {
    DC_CaptureFormats formats = _camera.discover(4);
    ASSERT_NE(_camera.videoName().source, nullptr);
    ASSERT_EQ(formats.videoFormatList.size(), 2u);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    ASSERT_TRUE(_camera.stream().waitForConnections(1, kMediaWaitMs));

    int delivered = 0;
    double lastPts = -1.0;
    ASSERT_TRUE(MediaCaptureUntil(recv, [&](const DC_Video_Frame& frame) {
        EXPECT_EQ(frame.width, 320);
        EXPECT_EQ(frame.height, 240);
        EXPECT_TRUE(frame.format == AV_PIX_FMT_YUVJ420P || frame.format == AV_PIX_FMT_YUVJ422P ||
                    frame.format == AV_PIX_FMT_YUVJ444P)
            << frame.format;
        EXPECT_GT(frame.pts, lastPts);
        lastPts = frame.pts;
        return ++delivered >= 10;
    }));

    // The same receiver steers the simulated camera through its extension unit.
    EXPECT_EQ(recv.setPanUp(), 0);
    EXPECT_EQ(_camera.sim().registerValue(_devicePath, 0x27), 0x31);
    EXPECT_EQ(recv.callPreset(4), 0);
    EXPECT_EQ(_camera.sim().registerValue(_devicePath, 0x1D), 4);

    DC_Audio_Frame audio{};
    EXPECT_EQ(recv.captureAudio(&audio, 0), DC_ERROR_NOT_RUNNING);  // no audio device
    recv.stopPreview();
}

TEST_F(LocalSourceTest, FormatThatIsNeitherMjpegNorH264FailsToStart) {
    LogCapture log;
    DC_CaptureFormats formats = _camera.discover(0);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    EXPECT_TRUE(log.contains("Could'nt get right videoCodecId."));
    DC_Video_Frame frame{};
    EXPECT_EQ(recv.captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
    EXPECT_EQ(_camera.stream().connections(), 0);
    // Nothing another program or the user's rights could change: the panel must not wait on it.
    EXPECT_EQ(KXReceiverOpenFailure(&recv), KXOpenFailure::Other);
}

// Another program streams the camera: the start fails and says so, the command channel still
// steers, and once the other program lets go the next start shows the picture.
TEST_F(LocalSourceTest, CameraStreamedElsewhereFailsAsBusyAndStartsOnceFree) {
    DC_CaptureFormats formats = _camera.discover(4);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    EXPECT_EQ(KXReceiverOpenFailure(&recv), KXOpenFailure::None);
    EXPECT_EQ(KXReceiverOpenFailure(nullptr), KXOpenFailure::None);

    _camera.sim().setBusy(_devicePath, true);
    recv.startPreview(nullptr);
    DC_Video_Frame frame{};
    EXPECT_EQ(recv.captureVideo(&frame, 0), DC_ERROR_NOT_RUNNING);
    EXPECT_EQ(KXReceiverOpenFailure(&recv), KXOpenFailure::Busy);
    EXPECT_EQ(_camera.stream().connections(), 0);
    EXPECT_EQ(recv.callPreset(6), 0);
    EXPECT_EQ(_camera.sim().registerValue(_devicePath, 0x1D), 6);
    // A second try while it is still held meets the same refusal.
    recv.startPreview(nullptr);
    EXPECT_EQ(KXReceiverOpenFailure(&recv), KXOpenFailure::Busy);

    _camera.sim().setBusy(_devicePath, false);
    recv.startPreview(nullptr);
    EXPECT_EQ(KXReceiverOpenFailure(&recv), KXOpenFailure::None);
    int delivered = 0;
    ASSERT_TRUE(MediaCaptureUntil(recv, [&](const DC_Video_Frame&) { return ++delivered >= 3; }));
    recv.stopPreview();
}

TEST_F(LocalSourceTest, CameraWithoutAVideoDeviceNameDoesNotInitialize) {
    DC_CaptureFormats formats;
    formats.url = _camera.location();
    formats.sourceType = 0;
    DC_Recv recv(formats);
    EXPECT_FALSE(recv.initialize(nullptr));
}

// A camera with an audio device: the audio input is a second input read by the same loop.
TEST_F(LocalSourceTest, AudioDeviceIsReadAsASecondInput) {
    ASSERT_TRUE(_camera.addMicrophone("USB Audio"));

    DC_CaptureFormats formats = _camera.discover(4);
    ASSERT_NE(_camera.audioName().source, nullptr);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    MediaVideoDrain video(recv, [](const DC_Video_Frame& frame) { EXPECT_EQ(frame.width, 320); });
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
            return audioFrames >= 5 && video.frames() >= 5;
        },
        kMediaWaitMs));
    video.stop();
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
    _camera.sim().addAudioDevice(microphone);

    LogCapture log;
    DC_CaptureFormats formats = _camera.discover(4);
    DC_Recv recv(formats);
    ASSERT_TRUE(recv.initialize(nullptr));
    for (int cycle = 0; cycle < 2; ++cycle) {
        recv.startPreview(nullptr);
        ASSERT_TRUE(MediaCaptureUntil(
            recv, [](const DC_Video_Frame&) { return true; }, 20));
        DC_Audio_Frame audio{};
        EXPECT_EQ(recv.captureAudio(&audio, 0), DC_ERROR_NOT_RUNNING);
        recv.stopPreview();
    }
    EXPECT_EQ(log.count("warning: cannot open audio device \"Unplugged Microphone\""), 1);
}

// An H.264 camera sends a key frame when its stream starts and then rarely (here every ten
// seconds). The start must not throw that first key frame away in its stream analysis, nor
// any frame read while it analysed: the pictures are the camera's frames from its first on,
// none missing.
TEST(LocalH264Camera, PicturesAreTheCamerasFramesFromItsFirstOn) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.container = "h264";  // the raw stream, as a camera delivers it
    recipe.width = 320;
    recipe.height = 240;
    recipe.frames = 300;
    recipe.gop = 300;
    SimLocalCamera camera;
    ASSERT_TRUE(camera.serve(recipe));
    camera.plug();
    camera.useBackend();
    DC_CaptureFormats formats = camera.discover();
    ASSERT_EQ(formats.videoFormatList.size(), 1u);
    DC_Recv recv(formats);
    recv.setIsEnableDXAV2Decode(false);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    // The raw stream carries no timestamps of its own: the picture tells which frame it is
    // (the generated gradient's top row holds x + 3 * frame index).
    std::vector<int> indices;
    ASSERT_TRUE(MediaCaptureUntil(recv, [&](const DC_Video_Frame& frame) {
        int offset = 0;
        for (int x = 0; x < 16; ++x) {
            offset += frame.data[0][x] - x;
        }
        indices.push_back(static_cast<int>(std::lround(offset / 16.0 / 3.0)));
        return indices.size() >= 45;
    }));
    std::vector<int> expected(45);
    for (int i = 0; i < 45; ++i) {
        expected[static_cast<size_t>(i)] = i;
    }
    EXPECT_EQ(indices, expected);
}

namespace {

// A simulated local camera whose stream is served with a fault setting; the receiver is built
// for its MJPEG format.
class FaultyCameraTest : public ::testing::Test {
protected:
    void start(MediaStreamServer::Options options) {
        ASSERT_TRUE(_camera.serve(SimLocalCamera::mjpegRecipe(160, 120), options));
        _camera.plug();
        _camera.useBackend();
        DC_CaptureFormats formats = _camera.discover();
        ASSERT_EQ(formats.videoFormatList.size(), 1u);
        _recv = std::make_unique<DC_Recv>(formats);
        ASSERT_TRUE(_recv->initialize(nullptr));
    }

    SimLocalCamera _camera;
    std::unique_ptr<DC_Recv> _recv;  // destroyed before the camera's backend goes
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
