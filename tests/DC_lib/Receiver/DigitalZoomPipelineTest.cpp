// Digital zoom through the exported calls of a receiver: frames reach captureVideo zoomed, in
// pixel format 12 at the picture's size; the commands only store the state until frames flow;
// turning zoom off hands out the decoder's own frames again and resets the window, even while
// the receiver is stopped. The stream shows a picture of coloured cells (luma rising from
// left to right), so a pixel tells which part of the picture is shown.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "vexsdk.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kCell = 40;

// Luma of column `c` as encoded (limited range) and as it comes out of the zoom (full range).
int encodedLuma(int column) {
    return 40 + column * 24;
}
int zoomedLuma(int column) {
    return std::clamp((encodedLuma(column) - 16) * 255 / 219, 0, 255);
}

class DigitalZoomPipelineTest : public ::testing::Test {
protected:
    void SetUp() override {
        _picture = av_frame_alloc();
        _picture->format = AV_PIX_FMT_YUV420P;
        _picture->width = kWidth;
        _picture->height = kHeight;
        ASSERT_GE(av_frame_get_buffer(_picture, 0), 0);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                _picture->data[0][y * _picture->linesize[0] + x] =
                    static_cast<uint8_t>(encodedLuma(x / kCell));
            }
        }
        for (int y = 0; y < kHeight / 2; ++y) {
            std::fill(_picture->data[1] + y * _picture->linesize[1],
                      _picture->data[1] + y * _picture->linesize[1] + kWidth / 2, 128);
            std::fill(_picture->data[2] + y * _picture->linesize[2],
                      _picture->data[2] + y * _picture->linesize[2] + kWidth / 2, 128);
        }
        MediaRecipe recipe;
        recipe.video = MediaVideo::H264;
        recipe.container = "nut";
        recipe.width = kWidth;
        recipe.height = kHeight;
        recipe.frames = 30;
        recipe.picture = _picture;
        _server = MediaServeLooped(recipe);
        ASSERT_TRUE(_server);
        _receiver = std::make_unique<MediaNetworkReceiver>(_server->url());
        _recv = &_receiver->recv();
    }

    void TearDown() override {
        _receiver.reset();
        _server.reset();
        av_frame_free(&_picture);
    }

    struct Seen {
        int format = -1;
        int width = 0;
        int height = 0;
        int cornerLuma = -1;  // top left
        int centreLuma = -1;
    };

    // Takes the next frame and what it shows.
    bool next(Seen* seen) {
        return MediaCaptureUntil(
            *_recv,
            [&](const DC_Video_Frame& frame) {
                seen->format = frame.format;
                seen->width = frame.width;
                seen->height = frame.height;
                seen->cornerLuma = frame.data[0][2 * frame.linesize[0] + 2];
                seen->centreLuma =
                    frame.data[0][(frame.height / 2 + 10) * frame.linesize[0] + frame.width / 2 + 10];
                return true;
            },
            20);
    }

    AVFrame* _picture = nullptr;
    std::unique_ptr<MediaStreamServer> _server;
    std::unique_ptr<MediaNetworkReceiver> _receiver;
    DC_Recv* _recv = nullptr;  // _receiver's
};

}  // namespace

TEST_F(DigitalZoomPipelineTest, FramesReachTheCallerZoomedInFormat12AtThePictureSize) {
    // Before anything runs the calls only store: zoom in from the first frame on.
    _recv->setIsEnableDigitalZoom(true);
    _recv->setDigitalZoomIn();
    ASSERT_TRUE(_recv->initialize(nullptr));
    _recv->startPreview(nullptr);

    Seen seen;
    ASSERT_TRUE(next(&seen));
    EXPECT_EQ(seen.format, AV_PIX_FMT_YUVJ420P);
    EXPECT_EQ(seen.width, kWidth);
    EXPECT_EQ(seen.height, kHeight);
    // Zooming in: the left edge of what is shown moves towards the centre.
    ASSERT_TRUE(MediaWaitFor(
        [&] {
            EXPECT_TRUE(next(&seen));
            EXPECT_EQ(seen.format, AV_PIX_FMT_YUVJ420P);
            EXPECT_EQ(seen.width, kWidth);
            return seen.cornerLuma >= zoomedLuma(2) - 3;
        },
        kMediaWaitMs));
    _recv->setDigitalZoomStop();
    EXPECT_NEAR(seen.centreLuma, zoomedLuma(4), 4);  // the centre stays where it is

    // Move left: the window travels to the picture's left edge and stops there.
    _recv->setDigitalZoomMoveLeft();
    ASSERT_TRUE(MediaWaitFor(
        [&] {
            EXPECT_TRUE(next(&seen));
            return std::abs(seen.cornerLuma - zoomedLuma(0)) <= 3;
        },
        kMediaWaitMs));
    _recv->setDigitalZoomHome();
    ASSERT_TRUE(MediaWaitFor(
        [&] {
            EXPECT_TRUE(next(&seen));
            return std::abs(seen.centreLuma - zoomedLuma(4)) <= 4 && seen.cornerLuma > zoomedLuma(1);
        },
        kMediaWaitMs));

    // Off: the decoder's own frames again (planar 4:2:0, limited range), the whole picture.
    _recv->setIsEnableDigitalZoom(false);
    ASSERT_TRUE(MediaWaitFor(
        [&] {
            EXPECT_TRUE(next(&seen));
            return seen.format == AV_PIX_FMT_YUV420P;
        },
        kMediaWaitMs));
    EXPECT_NEAR(seen.cornerLuma, encodedLuma(0), 3);
    _recv->stopPreview();
}

TEST_F(DigitalZoomPipelineTest, TurningZoomOffWhileStoppedResetsTheWindow) {
    // Commands to a receiver that was never initialised only change what is stored.
    _recv->setDigitalZoomOut();
    _recv->setDigitalZoomMoveUp();
    _recv->setDigitalZoomMoveDown();
    _recv->setDigitalZoomMoveRight();
    _recv->setDigitalZoomHome();
    _recv->setDigitalZoomIn();
    _recv->setIsEnableDigitalZoom(true);
    ASSERT_TRUE(_recv->initialize(nullptr));
    _recv->startPreview(nullptr);
    Seen seen;
    ASSERT_TRUE(MediaWaitFor(
        [&] {
            EXPECT_TRUE(next(&seen));
            return seen.cornerLuma >= zoomedLuma(1) - 3;
        },
        kMediaWaitMs));
    _recv->setDigitalZoomStop();
    _recv->stopPreview();

    _recv->setIsEnableDigitalZoom(false);  // while stopped
    _recv->setIsEnableDigitalZoom(true);
    _recv->startPreview(nullptr);
    ASSERT_TRUE(next(&seen));
    EXPECT_EQ(seen.format, AV_PIX_FMT_YUVJ420P);
    EXPECT_NEAR(seen.cornerLuma, zoomedLuma(0), 3);  // the whole picture again
    _recv->stopPreview();
}
