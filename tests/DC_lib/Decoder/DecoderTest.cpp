// Decoder choice and output: the hardware path falls back to software whenever it cannot
// decode (no VAAPI device, a device of another kind, a profile the hardware path refuses),
// and raw camera video reaches the caller as planar 4:2:0 with its pixels intact.

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Decoder/KXVAAPIDecoder.h"
#include "KXLog.h"
#include "MediaGenerator.h"
#include "MediaTestSupport.h"
#include "Receiver/FrameQueue.h"
#include "Receiver/PacketQueue.h"
#include "vexsdk.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

namespace {

bool machineHasVaapi() {
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0) {
        return false;
    }
    av_buffer_unref(&device);
    return true;
}

// An H.264 file of the given pixel format, and an input context opened on it.
class H264File {
public:
    explicit H264File(AVPixelFormat format) : _file(".nut") {
        MediaRecipe recipe;
        recipe.video = MediaVideo::H264;
        recipe.h264Format = format;
        recipe.container = "nut";
        recipe.frames = 90;  // the stream analysis keeps none of the first packets it reads
        MediaClip clip(recipe);
        _ok = clip.ok() && clip.writeFile(_file.path()) &&
              avformat_open_input(&_context, _file.path().c_str(), nullptr, nullptr) >= 0 &&
              avformat_find_stream_info(_context, nullptr) >= 0;
    }
    ~H264File() { avformat_close_input(&_context); }
    bool ok() const { return _ok; }
    AVFormatContext* context() const { return _context; }
    const std::string& path() const { return _file.path(); }

private:
    MediaTempFile _file;
    AVFormatContext* _context = nullptr;
    bool _ok = false;
};

// Pulls frames until `count` arrived or the end; answers the formats seen.
std::vector<int> pullFormats(DC_Recv& recv, size_t count) {
    std::vector<int> formats;
    MediaWaitFor(
        [&] {
            DC_Video_Frame frame{};
            DC_Error_Type result = recv.captureVideo(&frame, 20);
            if (result == DC_ERROR_NONE) {
                formats.push_back(frame.format);
                recv.freeVideo(&frame);
            }
            return formats.size() >= count || result == DC_ERROR_NOT_RUNNING;
        },
        kMediaWaitMs);
    return formats;
}

}  // namespace

TEST(VAAPIDecoder, OpenFailsCleanlyWithoutAUsableDevice) {
    if (machineHasVaapi()) {
        GTEST_SKIP() << "this machine has a VAAPI device";
    }
    H264File file(AV_PIX_FMT_YUV420P);
    ASSERT_TRUE(file.ok());
    FrameQueue frames(4);
    PacketQueue packets(4);
    ASSERT_EQ(frames.open(), 0);
    ASSERT_EQ(packets.open(), 0);
    int codedWidth = -1;
    int codedHeight = -1;
    KXVAAPIDecoder decoder(&frames, &packets, file.context(), nullptr, &codedWidth, &codedHeight);
    EXPECT_LT(decoder.open(0), 0);
    EXPECT_EQ(codedWidth, -1);  // nothing is reported for a decoder that did not open
    EXPECT_EQ(decoder.codecContext(), nullptr);
}

TEST(VAAPIDecoder, RefusesDevicesOfAnotherKindAndProfilesAboveHigh) {
    H264File high10(AV_PIX_FMT_YUV420P10LE);
    ASSERT_TRUE(high10.ok());
    ASSERT_EQ(high10.context()->streams[0]->codecpar->profile, FF_PROFILE_H264_HIGH_10);
    FrameQueue frames(4);
    PacketQueue packets(4);
    int w = 0;
    int h = 0;
    {
        LogCapture log;
        KXVAAPIDecoder decoder(&frames, &packets, high10.context(), nullptr, &w, &h);
        EXPECT_EQ(decoder.open(0), AVERROR(EINVAL));
        EXPECT_TRUE(log.contains("Unsupported H.264 profile"));
    }

    AVBufferRef* other = av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_DRM);
    if (other == nullptr) {
        GTEST_SKIP() << "no second device type to hand over";
    }
    H264File plain(AV_PIX_FMT_YUV420P);
    ASSERT_TRUE(plain.ok());
    KXVAAPIDecoder decoder(&frames, &packets, plain.context(), other, &w, &h);
    EXPECT_LT(decoder.open(0), 0);
    av_buffer_unref(&other);
}

// With hardware decoding enabled (the default), every stream this machine's hardware path
// cannot take still plays, through the software decoder.
TEST(VAAPIDecoder, ReceiverFallsBackToSoftware) {
    const bool vaapi = machineHasVaapi();
    for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV420P10LE}) {
        H264File file(format);
        ASSERT_TRUE(file.ok());
        LogCapture log;
        MediaSourceText url(file.path());
        DC_Recv recv(MediaNetworkFormats(url));
        ASSERT_TRUE(recv.initialize(nullptr));
        recv.startPreview(nullptr);
        std::vector<int> formats = pullFormats(recv, 5);
        ASSERT_FALSE(formats.empty()) << av_get_pix_fmt_name(format);
        if (!vaapi || format == AV_PIX_FMT_YUV420P10LE) {
            EXPECT_TRUE(log.contains("SW Decode"));
            EXPECT_FALSE(log.contains("HW Decode"));
            EXPECT_EQ(formats.front(), format);
        } else {
            EXPECT_EQ(formats.front(), AV_PIX_FMT_NV12);
        }
        recv.stopPreview();
    }
}

// Raw packed camera video arrives as planar 4:2:0 with the luma of the picture it was made
// from, frame for frame.
TEST(SWDecoder, RawVideoIsNormalisedWithItsPixelsIntact) {
    for (AVPixelFormat raw : {AV_PIX_FMT_YUYV422, AV_PIX_FMT_UYVY422, AV_PIX_FMT_NV12}) {
        MediaRecipe recipe;
        recipe.video = MediaVideo::Raw;
        recipe.rawFormat = raw;
        recipe.container = "nut";
        recipe.width = 96;
        recipe.height = 64;
        recipe.frames = 60;
        MediaClip clip(recipe);
        ASSERT_TRUE(clip.ok());
        MediaTempFile file(".nut");
        ASSERT_TRUE(clip.writeFile(file.path()));

        AVFrame* expected = av_frame_alloc();
        expected->format = AV_PIX_FMT_YUV420P;
        expected->width = recipe.width;
        expected->height = recipe.height;
        ASSERT_GE(av_frame_get_buffer(expected, 0), 0);

        MediaSourceText url(file.path());
        DC_Recv recv(MediaNetworkFormats(url));
        ASSERT_TRUE(recv.initialize(nullptr));
        recv.startPreview(nullptr);
        int checked = 0;
        MediaWaitFor(
            [&] {
                DC_Video_Frame frame{};
                DC_Error_Type result = recv.captureVideo(&frame, 20);
                if (result == DC_ERROR_NONE) {
                    EXPECT_EQ(frame.format, AV_PIX_FMT_YUV420P) << av_get_pix_fmt_name(raw);
                    const int index = static_cast<int>(std::lround(frame.pts * recipe.fps));
                    MediaFillPicture(expected, index);
                    bool same = true;
                    for (int y = 0; y < recipe.height && same; ++y) {
                        same = std::memcmp(frame.data[0] + y * frame.linesize[0],
                                           expected->data[0] + y * expected->linesize[0], recipe.width) == 0;
                    }
                    int dx = -1, dy = -1;
                    for (int y = 0; y < recipe.height && dx < 0; ++y)
                        for (int x = 0; x < recipe.width; ++x)
                            if (frame.data[0][y * frame.linesize[0] + x] !=
                                expected->data[0][y * expected->linesize[0] + x]) {
                                dx = x;
                                dy = y;
                                break;
                            }
                    EXPECT_TRUE(same)
                        << av_get_pix_fmt_name(raw) << " frame " << index << " at " << dx << "," << dy
                        << " got " << (dx >= 0 ? int(frame.data[0][dy * frame.linesize[0] + dx]) : 0)
                        << " want "
                        << (dx >= 0 ? int(expected->data[0][dy * expected->linesize[0] + dx]) : 0);
                    ++checked;
                    recv.freeVideo(&frame);
                }
                return result == DC_ERROR_NOT_RUNNING;
            },
            kMediaWaitMs);
        EXPECT_GT(checked, 0) << av_get_pix_fmt_name(raw);
        av_frame_free(&expected);
    }
}
