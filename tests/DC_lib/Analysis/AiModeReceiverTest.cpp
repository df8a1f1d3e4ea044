// AI mode as a host program uses it: a local camera receiver streaming a real photograph at
// 1920x1080 (H.264 from a loopback server), AI mode switched on, frames taken with
// captureVideo. The frames come back in pixel format 12, outlined once the analysis thread
// has analysed one, and the camera commands that steer towards the face reach the camera's
// extension unit from that thread, never from the capturing one.

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Analysis/KXBgrConverter.h"
#include "Analysis/KXModelFiles.h"
#include "BoundCamera.h"
#include "LogCapture.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "TestPhotos.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace {

using Names = std::vector<std::string>;

class AiModeReceiverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("VEXSDK_MODEL_DIR", TestModelFolder().c_str(), 1);
        TestFramePtr photo = TestPhotoFrame("group_three_faces_a.jpg", 1920, 1080, AV_PIX_FMT_YUV420P);
        ASSERT_TRUE(photo);
        MediaRecipe recipe;
        recipe.video = MediaVideo::H264;
        recipe.width = 1920;
        recipe.height = 1080;
        recipe.frames = 6;
        recipe.gop = 3;
        recipe.picture = photo.get();
        _server = MediaServeLooped(recipe);
        ASSERT_TRUE(_server);
        KXCaptureInput input;
        input.format = "mpegts";
        input.url = _server->url();
        _camera =
            std::make_unique<BoundCamera>(input, std::list<DC_VideoFormat>{{1920, 1080, 30.0, 1, false, 0}});
    }

    void TearDown() override {
        _camera.reset();
        _server.reset();
        ::unsetenv("VEXSDK_MODEL_DIR");
    }

    // Takes frames until `done` holds for one (bounded); false when it never did.
    bool captureUntil(const std::function<bool(const DC_Video_Frame&)>& done) {
        return MediaCaptureUntil(_camera->recv(), done, 100);
    }

    std::unique_ptr<MediaStreamServer> _server;
    std::unique_ptr<BoundCamera> _camera;
};

// Whether one row between yFrom and yTo is strongly red over most of [xFrom, xTo]: the top or
// bottom edge of an outline (a pixel or two thick after the picture's colour subsampling).
bool redEdgeBetween(const DC_Video_Frame& frame, int yFrom, int yTo, int xFrom, int xTo) {
    AVFrame* view = av_frame_alloc();
    view->format = frame.format;
    view->width = frame.width;
    view->height = frame.height;
    for (int i = 0; i < 4; ++i) {
        view->data[i] = frame.data[i];
        view->linesize[i] = frame.linesize[i];
    }
    cv::Mat picture;
    KXBgrConverter converter;
    const bool converted = converter.toBGR(view, picture);
    av_frame_free(&view);
    if (!converted) {
        return false;
    }
    for (int y = yFrom; y <= yTo; ++y) {
        int red = 0;
        for (int x = xFrom; x <= xTo; ++x) {
            const cv::Vec3b p = picture.at<cv::Vec3b>(y, x);
            red += p[2] > 150 && p[2] > p[1] + 60 && p[2] > p[0] + 60 ? 1 : 0;
        }
        if (red * 10 >= (xTo - xFrom + 1) * 8) {
            return true;
        }
    }
    return false;
}

// The face nearest the centre in the photo: its box spans about x 891..1139, y 569..828.
bool nearestFaceOutlined(const DC_Video_Frame& frame) {
    return redEdgeBetween(frame, 564, 574, 905, 1125) && redEdgeBetween(frame, 823, 833, 905, 1125);
}

}  // namespace

TEST_F(AiModeReceiverTest, OutlinedFramesAndCommandsTowardsTheFace) {
    DC_Recv& recv = _camera->recv();
    bool flags[3] = {true, false, false};
    ASSERT_TRUE(recv.initialize(flags));
    recv.setIsEnableAIMode(true, 3);
    recv.startPreview(nullptr);

    bool outlined = false;
    ASSERT_TRUE(captureUntil([&](const DC_Video_Frame& frame) {
        EXPECT_EQ(frame.format, AV_PIX_FMT_YUVJ420P);
        EXPECT_EQ(frame.width, 1920);
        EXPECT_EQ(frame.height, 1080);
        outlined = outlined || nearestFaceOutlined(frame);
        const Names sent = _camera->sent();
        return outlined && std::find(sent.begin(), sent.end(), "down-right") != sent.end();
    }));
    // Mode 3 follows the face nearest the centre: right of centre and its chin below the
    // centre line. Four analyses confirm the direction, the fifth turns the camera.
    const Names sent = _camera->sent();
    ASSERT_GE(sent.size(), 15u);
    EXPECT_EQ(Names(sent.begin(), sent.begin() + 3), (Names{"pan-speed 1", "tilt-speed 7", "stop"}));
    EXPECT_EQ(Names(sent.begin() + 12, sent.begin() + 15),
              (Names{"pan-speed 1", "tilt-speed 7", "down-right"}));
    for (const RecordingExtensionUnit::Call& call : _camera->unit().calls()) {
        EXPECT_NE(call.thread, std::this_thread::get_id());  // never from the capturing thread
    }

    // Off: frames pass as decoded and the camera is left alone (the switch returns once an
    // analysis that was running has sent its commands).
    recv.setIsEnableAIMode(false, 0);
    _camera->unit().clear();
    int plainFrames = 0;
    ASSERT_TRUE(captureUntil([&](const DC_Video_Frame& frame) {
        EXPECT_EQ(frame.format, AV_PIX_FMT_YUV420P);
        EXPECT_FALSE(nearestFaceOutlined(frame));
        return ++plainFrames >= 3;
    }));
    EXPECT_TRUE(_camera->sent().empty());
    recv.stopPreview();
}

// The host switches modes on its own thread while another thread captures: each switch
// takes effect between frames, and frames keep flowing.
TEST_F(AiModeReceiverTest, SwitchingModesWhileAnotherThreadCaptures) {
    DC_Recv& recv = _camera->recv();
    bool flags[3] = {true, false, true};
    ASSERT_TRUE(recv.initialize(flags));
    recv.startPreview(nullptr);
    MediaVideoDrain capturer(
        recv,
        [](const DC_Video_Frame& frame) {
            EXPECT_TRUE(frame.format == AV_PIX_FMT_YUVJ420P || frame.format == AV_PIX_FMT_YUV420P);
        },
        20);
    for (int mode : {3, 1, 2, -1, 0, 3}) {
        recv.setIsEnableAIMode(mode >= 0, mode);
        const int seen = capturer.frames();
        EXPECT_TRUE(MediaWaitFor([&] { return capturer.frames() >= seen + 2; }, kMediaWaitMs))
            << "mode " << mode;
    }
    capturer.stop();
    recv.stopPreview();
}

TEST_F(AiModeReceiverTest, ModelThatCannotBeReadLeavesAIModeOff) {
    const std::string emptyFolder =
        (std::filesystem::temp_directory_path() / ("vexsdk-no-models-" + std::to_string(::getpid())))
            .string();
    std::filesystem::create_directories(emptyFolder);
    ::setenv("VEXSDK_MODEL_DIR", emptyFolder.c_str(), 1);
    if (!KXFindModelFile(kKXDetectorDescriptionFile).empty()) {
        std::filesystem::remove_all(emptyFolder);
        GTEST_SKIP() << "a detector is installed where the library looks";
    }
    DC_Recv& recv = _camera->recv();
    bool flags[3] = {true, false, false};
    ASSERT_TRUE(recv.initialize(flags));
    {
        LogCapture log;
        EXPECT_NO_THROW(recv.setIsEnableAIMode(true, 3));
        EXPECT_TRUE(log.contains(kKXDetectorDescriptionFile));
    }
    recv.startPreview(nullptr);
    int frames = 0;
    ASSERT_TRUE(captureUntil([&](const DC_Video_Frame& frame) {
        EXPECT_EQ(frame.format, AV_PIX_FMT_YUV420P);  // as decoded: not analysed
        return ++frames >= 6;
    }));
    EXPECT_TRUE(_camera->sent().empty());
    recv.stopPreview();
    std::filesystem::remove_all(emptyFolder);
}
