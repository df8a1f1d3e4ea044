// captureJPEG on simulated local cameras: an MJPEG camera's snapshot is the camera's own
// picture, byte for byte; an H.264 camera's is the newest decoded picture, encoded. Each
// picture is handed out once, and a stop wakes a caller waiting for one.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "MediaGenerator.h"
#include "MediaTestSupport.h"
#include "SimLocalCamera.h"
#include "vexsdk.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

// Takes a JPEG (bounded); the bytes, empty when none came.
std::vector<uint8_t> takeJpeg(DC_Recv& recv) {
    std::vector<uint8_t> bytes;
    MediaWaitFor(
        [&] {
            DC_JPEG_Frame jpeg{};
            if (recv.captureJPEG(&jpeg, 100) != DC_ERROR_NONE) {
                return false;
            }
            if (jpeg.data != nullptr && jpeg.size > 0) {
                bytes.assign(jpeg.data, jpeg.data + jpeg.size);
            }
            recv.freeJPEG(&jpeg);
            return true;
        },
        kMediaWaitMs);
    return bytes;
}

// Decodes one JPEG; its size, or 0x0 when it does not decode.
std::pair<int, int> decodedSize(const std::vector<uint8_t>& bytes) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    std::pair<int, int> size{0, 0};
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_open2(context, codec, nullptr) == 0 &&
        av_new_packet(packet, static_cast<int>(bytes.size())) == 0) {
        std::copy(bytes.begin(), bytes.end(), packet->data);
        if (avcodec_send_packet(context, packet) == 0 && avcodec_receive_frame(context, frame) == 0) {
            size = {frame->width, frame->height};
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&context);
    return size;
}

class CaptureJpegTest : public ::testing::Test {
protected:
    std::unique_ptr<DC_Recv> start(const MediaRecipe& recipe) {
        EXPECT_TRUE(_camera.serve(recipe));
        _camera.plug();
        _camera.useBackend();
        _formats = _camera.discover();
        auto recv = std::make_unique<DC_Recv>(_formats);
        recv->setIsEnableDXAV2Decode(false);
        EXPECT_TRUE(recv->initialize(nullptr));
        recv->startPreview(nullptr);
        return recv;
    }

    SimLocalCamera _camera;
    DC_CaptureFormats _formats;
};

}  // namespace

TEST_F(CaptureJpegTest, MjpegCameraHandsOutItsOwnPicturesEachOnce) {
    const MediaRecipe recipe = SimLocalCamera::mjpegRecipe(320, 240);
    std::unique_ptr<DC_Recv> recv = start(recipe);
    // The camera's pictures as it sends them (the generator is deterministic).
    MediaClip clip(recipe);
    ASSERT_TRUE(clip.ok());
    std::vector<std::vector<uint8_t>> sent;
    for (const MediaPacket& packet : clip.packets()) {
        sent.push_back(packet.data);
    }

    std::vector<std::vector<uint8_t>> taken;
    for (int i = 0; i < 3; ++i) {
        taken.push_back(takeJpeg(*recv));
        ASSERT_FALSE(taken.back().empty()) << "snapshot " << i;
        EXPECT_NE(std::find(sent.begin(), sent.end(), taken.back()), sent.end())
            << "snapshot " << i << " is not one of the camera's pictures";
    }
    // Each call hands out a picture that came after the one before: never the same twice in a
    // row (the clip's pictures differ from one to the next).
    EXPECT_NE(taken[0], taken[1]);
    EXPECT_NE(taken[1], taken[2]);
    recv->stopPreview();
    DC_JPEG_Frame jpeg{};
    EXPECT_EQ(recv->captureJPEG(&jpeg, 10), DC_ERROR_NOT_RUNNING);
}

TEST_F(CaptureJpegTest, H264CameraHandsOutTheNewestDecodedPictureEncoded) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.container = "h264";
    recipe.width = 320;
    recipe.height = 240;
    recipe.gop = 30;
    std::unique_ptr<DC_Recv> recv = start(recipe);
    for (int i = 0; i < 2; ++i) {
        const std::vector<uint8_t> bytes = takeJpeg(*recv);
        ASSERT_GT(bytes.size(), 4u);
        EXPECT_EQ(bytes[0], 0xFF);
        EXPECT_EQ(bytes[1], 0xD8);
        EXPECT_EQ(decodedSize(bytes), std::make_pair(320, 240));
    }
    // captureVideo takes its own pictures beside it.
    EXPECT_TRUE(MediaCaptureUntil(*recv, [](const DC_Video_Frame& frame) { return frame.width == 320; }));
}

// A caller waiting long for a picture of a paused camera is woken by the stop.
TEST_F(CaptureJpegTest, StopWakesAWaitingCaller) {
    std::unique_ptr<DC_Recv> recv = start(SimLocalCamera::mjpegRecipe(160, 120));
    ASSERT_FALSE(takeJpeg(*recv).empty());
    recv->pause();  // nothing new comes while paused
    std::atomic<bool> waiting{false};
    std::atomic<int> answer{-1};
    std::thread caller([&] {
        DC_JPEG_Frame jpeg{};
        waiting = true;
        answer = recv->captureJPEG(&jpeg, 600000);
    });
    ASSERT_TRUE(MediaWaitFor([&] { return waiting.load(); }, kMediaWaitMs));
    // The stop must wake it however far into its wait it is (or let it in at once).
    recv->stopPreview();
    EXPECT_TRUE(MediaWaitFor([&] { return answer.load() >= 0; }, kMediaWaitMs));
    caller.join();
    EXPECT_TRUE(answer == DC_ERROR_TIMEOUT || answer == DC_ERROR_NOT_RUNNING) << answer.load();
}
