// The two picture conversions: levels kept across the range conventions, frames it cannot
// read refused, and a picture size that changes mid-stream.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "Analysis/KXBgrConverter.h"
#include "TestPhotos.h"

extern "C" {
#include <libavutil/common.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
}

namespace {

TestFramePtr grayFrame(AVPixelFormat format, int width, int height, uint8_t luma) {
    TestFramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0) {
        return nullptr;
    }
    for (int y = 0; y < height; ++y) {
        std::memset(frame->data[0] + y * frame->linesize[0], luma, static_cast<size_t>(frame->linesize[0]));
    }
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    const int chromaHeight = AV_CEIL_RSHIFT(height, descriptor->log2_chroma_h);
    for (int plane = 1; plane <= 2; ++plane) {
        for (int y = 0; y < chromaHeight; ++y) {
            std::memset(frame->data[plane] + y * frame->linesize[plane], 128,
                        static_cast<size_t>(frame->linesize[plane]));
        }
    }
    return frame;
}

void expectGray(const cv::Mat& picture, int level) {
    ASSERT_EQ(picture.type(), CV_8UC3);
    for (const cv::Point p : {cv::Point(0, 0), cv::Point(picture.cols - 1, picture.rows - 1),
                              cv::Point(picture.cols / 2, picture.rows / 2)}) {
        const cv::Vec3b pixel = picture.at<cv::Vec3b>(p);
        for (int c = 0; c < 3; ++c) {
            EXPECT_NEAR(pixel[c], level, 1) << "at " << p.x << "," << p.y;
        }
    }
}

}  // namespace

TEST(BgrConverterTest, FullAndLimitedRangeLevelsSurviveTheRoundTrip) {
    KXBgrConverter converter;
    cv::Mat picture;
    // Full range (what a camera's JPEG decodes to): 0 and 255 are black and white.
    for (int level : {0, 128, 255}) {
        TestFramePtr frame = grayFrame(AV_PIX_FMT_YUVJ420P, 64, 48, static_cast<uint8_t>(level));
        ASSERT_TRUE(converter.toBGR(frame.get(), picture));
        expectGray(picture, level);
        const AVFrame* back = converter.toYUV(picture);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->format, AV_PIX_FMT_YUVJ420P);
        EXPECT_EQ(back->width, 64);
        EXPECT_EQ(back->height, 48);
        EXPECT_NEAR(back->data[0][back->linesize[0] * 20 + 30], level, 1);
        EXPECT_NEAR(back->data[1][back->linesize[1] * 10 + 10], 128, 1);
    }
    // Limited range (H.264): 16 is black, 235 white.
    KXBgrConverter limited;
    TestFramePtr black = grayFrame(AV_PIX_FMT_YUV420P, 64, 48, 16);
    ASSERT_TRUE(limited.toBGR(black.get(), picture));
    expectGray(picture, 0);
    TestFramePtr white = grayFrame(AV_PIX_FMT_YUV420P, 64, 48, 235);
    ASSERT_TRUE(limited.toBGR(white.get(), picture));
    expectGray(picture, 255);
}

TEST(BgrConverterTest, FramesThatAreNoPictureInMemoryAreRefused) {
    KXBgrConverter converter;
    cv::Mat picture(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
    EXPECT_FALSE(converter.toBGR(nullptr, picture));
    TestFramePtr empty(av_frame_alloc());
    EXPECT_FALSE(converter.toBGR(empty.get(), picture));
    // A hardware surface: its planes are no pixels.
    TestFramePtr surface = grayFrame(AV_PIX_FMT_YUV420P, 16, 16, 50);
    surface->format = AV_PIX_FMT_VAAPI;
    EXPECT_FALSE(converter.toBGR(surface.get(), picture));
    EXPECT_EQ(picture.rows, 4);  // the caller's picture is left alone
    EXPECT_EQ(picture.at<cv::Vec3b>(0, 0), cv::Vec3b(1, 2, 3));
    EXPECT_EQ(converter.toYUV(cv::Mat()), nullptr);
    EXPECT_EQ(converter.toYUV(cv::Mat(8, 8, CV_8UC1, cv::Scalar(0))), nullptr);
}

// A stream whose picture size or pixel format changes is converted at each new size (the
// conversions are rebuilt, never run with the old size's setup).
TEST(BgrConverterTest, PictureSizeChangingMidStream) {
    KXBgrConverter converter;
    cv::Mat picture;
    struct Step {
        AVPixelFormat format;
        int width, height;
        uint8_t level;
    };
    for (const Step& step :
         {Step{AV_PIX_FMT_YUVJ420P, 1920, 1080, 200}, Step{AV_PIX_FMT_YUVJ420P, 320, 240, 40},
          Step{AV_PIX_FMT_YUVJ422P, 1281, 721, 90}, Step{AV_PIX_FMT_YUVJ420P, 3840, 2160, 160}}) {
        SCOPED_TRACE(step.width);
        TestFramePtr frame = grayFrame(step.format, step.width, step.height, step.level);
        ASSERT_TRUE(converter.toBGR(frame.get(), picture));
        EXPECT_EQ(picture.cols, step.width);
        EXPECT_EQ(picture.rows, step.height);
        expectGray(picture, step.level);
        const AVFrame* back = converter.toYUV(picture);
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->width, step.width);
        EXPECT_EQ(back->height, step.height);
        EXPECT_NEAR(back->data[0][back->linesize[0] * (step.height - 1) + step.width - 1], step.level, 1);
    }
    // A real photo arrives with its own colours intact.
    TestFramePtr photo = TestPhotoFrame("two_faces.jpg", 640, 360);
    ASSERT_TRUE(photo);
    ASSERT_TRUE(converter.toBGR(photo.get(), picture));
    const AVFrame* back = converter.toYUV(picture);
    ASSERT_NE(back, nullptr);
    double difference = 0;
    for (int y = 0; y < 360; ++y) {
        for (int x = 0; x < 640; ++x) {
            difference += std::abs(back->data[0][y * back->linesize[0] + x] -
                                   photo->data[0][y * photo->linesize[0] + x]);
        }
    }
    EXPECT_LT(difference / (640.0 * 360.0), 2.0);
}

// Odd and tiny pictures (a hostile stream can announce any size): libswscale touches bytes past
// the last pixel of a row, which must never be someone else's memory. A view of some columns of
// a wider picture is not written in place (its neighbours would be overwritten): the converter
// hands back an image of its own.
TEST(BgrConverterTest, OddAndTinyPicturesStayInsideTheirImages) {
    KXBgrConverter converter;
    for (const auto& [width, height] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{3, 5}, std::pair{17, 9},
                                        std::pair{5, 3}, std::pair{1, 1}}) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        TestFramePtr frame = grayFrame(AV_PIX_FMT_YUVJ420P, width, height, 180);
        ASSERT_TRUE(frame);
        cv::Mat canvas(height, width + 16, CV_8UC3, cv::Scalar(7, 7, 7));
        cv::Mat view = canvas.colRange(0, width);
        ASSERT_TRUE(converter.toBGR(frame.get(), view));
        expectGray(view, 180);
        EXPECT_NE(view.data, canvas.data);
        for (int y = 0; y < height; ++y) {
            for (int x = width; x < width + 16; ++x) {
                ASSERT_EQ(canvas.at<cv::Vec3b>(y, x), cv::Vec3b(7, 7, 7)) << "at " << x << "," << y;
            }
        }
        // Back from the converter's own image and from a plain image of the caller's.
        for (const cv::Mat& image : {view, cv::Mat(height, width, CV_8UC3, cv::Scalar(180, 180, 180))}) {
            const AVFrame* back = converter.toYUV(image);
            ASSERT_NE(back, nullptr);
            EXPECT_EQ(back->width, width);
            EXPECT_EQ(back->height, height);
            EXPECT_NEAR(back->data[0][back->linesize[0] * (height - 1) + width - 1], 180, 1);
        }
    }
}
