// The zoom stage: which window of the picture it shows for a state, how the commands move the
// state frame by frame, and the pictures both ways of rendering produce. The input is a
// picture of coloured cells, so that a pixel of the output tells which cell (and so which part
// of the input) it shows.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>

#include "Receiver/ZoomProcessor.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

struct FrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kCell = 40;  // 8 x 6 cells

// The levels of cell (column, row): luma by column, blue difference by row (colours a BGR
// image holds without clipping, so that the round trip keeps them).
uint8_t cellLuma(int column) {
    return static_cast<uint8_t>(60 + column * 20);
}
uint8_t cellBlue(int row) {
    return static_cast<uint8_t>(100 + row * 10);
}

// The cell picture, full range planar 4:2:0 (what a camera's JPEG decodes to).
FramePtr cells(int64_t pts = 0) {
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_YUVJ420P;
    frame->width = kWidth;
    frame->height = kHeight;
    frame->color_range = AVCOL_RANGE_JPEG;
    av_frame_get_buffer(frame.get(), 0);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            frame->data[0][y * frame->linesize[0] + x] = cellLuma(x / kCell);
        }
    }
    for (int y = 0; y < kHeight / 2; ++y) {
        for (int x = 0; x < kWidth / 2; ++x) {
            frame->data[1][y * frame->linesize[1] + x] = cellBlue(2 * y / kCell);
            frame->data[2][y * frame->linesize[2] + x] = 128;
        }
    }
    frame->pts = pts;
    return frame;
}

// The same picture in another layout (NV12 after a hardware decoder's transfer, limited-range
// planar, a camera's 4:2:2).
FramePtr convert(const AVFrame* source, AVPixelFormat format, bool fullRange) {
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = source->width;
    frame->height = source->height;
    frame->color_range = fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    av_frame_get_buffer(frame.get(), 0);
    SwsContext* sws = sws_alloc_context();
    av_opt_set_int(sws, "srcw", source->width, 0);
    av_opt_set_int(sws, "srch", source->height, 0);
    av_opt_set_int(sws, "src_format", AV_PIX_FMT_YUV420P, 0);
    av_opt_set_int(sws, "src_range", 1, 0);
    av_opt_set_int(sws, "dstw", source->width, 0);
    av_opt_set_int(sws, "dsth", source->height, 0);
    av_opt_set_int(sws, "dst_format", format == AV_PIX_FMT_YUVJ422P ? AV_PIX_FMT_YUV422P : format, 0);
    av_opt_set_int(sws, "dst_range", fullRange ? 1 : 0, 0);
    av_opt_set_int(sws, "sws_flags", SWS_POINT, 0);
    EXPECT_GE(sws_init_context(sws, nullptr, nullptr), 0);
    sws_scale(sws, source->data, source->linesize, 0, source->height, frame->data, frame->linesize);
    sws_freeContext(sws);
    frame->pts = source->pts;
    return frame;
}

// Luma and blue difference of the output at (x, y).
struct Levels {
    int luma;
    int blue;
};
Levels levelsAt(const AVFrame* frame, int x, int y) {
    return {frame->data[0][y * frame->linesize[0] + x], frame->data[1][(y / 2) * frame->linesize[1] + x / 2]};
}

// The output at (x, y) shows the input cell that `window` maps it to.
void expectShows(const AVFrame* out, const ZoomProcessor::Window& window, int x, int y) {
    const double inputX = window.x + (x + 0.5) * window.width / out->width;
    const double inputY = window.y + (y + 0.5) * window.height / out->height;
    const int column = static_cast<int>(inputX) / kCell;
    const int row = static_cast<int>(inputY) / kCell;
    const Levels seen = levelsAt(out, x, y);
    EXPECT_NEAR(seen.luma, cellLuma(column), 4)
        << "output " << x << "," << y << " cell " << column << "," << row;
    EXPECT_NEAR(seen.blue, cellBlue(row), 4)
        << "output " << x << "," << y << " cell " << column << "," << row;
}

// Output points that map to the middle of input cells (well away from their borders).
void expectWindowShown(const AVFrame* out, const ZoomProcessor::Window& window) {
    ASSERT_EQ(out->format, AV_PIX_FMT_YUVJ420P);
    ASSERT_EQ(out->width, kWidth);
    ASSERT_EQ(out->height, kHeight);
    for (int column = 0; column < kWidth / kCell; ++column) {
        for (int row = 0; row < kHeight / kCell; ++row) {
            const double inputX = column * kCell + kCell / 2.0;
            const double inputY = row * kCell + kCell / 2.0;
            const int x = static_cast<int>((inputX - window.x) * out->width / window.width);
            const int y = static_cast<int>((inputY - window.y) * out->height / window.height);
            if (x >= 0 && x < out->width && y >= 0 && y < out->height) {
                expectShows(out, window, x, y);
            }
        }
    }
    expectShows(out, window, 0, 0);
    expectShows(out, window, out->width - 1, out->height - 1);
}

ZoomProcessor::State atIndex(int index) {
    ZoomProcessor::State state;
    state.ratioIndex = index;
    state.currentRatio = 1.0f + 0.05f * index;
    return state;
}

}  // namespace

TEST(ZoomWindow, RatiosOneTwoAndSixteenCropAroundThePicturesCentre) {
    ZoomProcessor zoom;
    FramePtr input = cells();
    FramePtr out(av_frame_alloc());

    // 1.00: the whole picture.
    ZoomProcessor::Window window = zoom.advance(kWidth, kHeight);
    EXPECT_EQ(window.x, 0);
    EXPECT_EQ(window.width, kWidth);
    ASSERT_TRUE(zoom.render(input.get(), window, out.get()));
    expectWindowShown(out.get(), window);
    EXPECT_EQ(zoom.state().centreX, kWidth / 2);  // the picture's own centre
    EXPECT_EQ(zoom.state().centreY, kHeight / 2);

    // 2.00: the middle half of each side.
    zoom.setState(atIndex(20));
    window = zoom.advance(kWidth, kHeight);
    EXPECT_EQ(window.x, 80);
    EXPECT_EQ(window.y, 60);
    EXPECT_EQ(window.width, 160);
    EXPECT_EQ(window.height, 120);
    ASSERT_TRUE(zoom.render(input.get(), window, out.get()));
    expectWindowShown(out.get(), window);
    EXPECT_EQ(out->pts, input->pts);

    // 16.00: a sixteenth of each side, around the centre where four cells meet.
    zoom.setState(atIndex(300));
    window = zoom.advance(kWidth, kHeight);
    EXPECT_FLOAT_EQ(zoom.state().currentRatio, 16.0f);
    EXPECT_EQ(window.width, 20);
    EXPECT_EQ(window.height, 14);
    EXPECT_NEAR(window.x + window.width / 2.0, kWidth / 2.0, 1.0);
    EXPECT_NEAR(window.y + window.height / 2.0, kHeight / 2.0, 1.0);
    ASSERT_TRUE(zoom.render(input.get(), window, out.get()));
    expectShows(out.get(), window, kWidth / 4, kHeight / 4);
    expectShows(out.get(), window, 3 * kWidth / 4, kHeight / 4);
    expectShows(out.get(), window, kWidth / 4, 3 * kHeight / 4);
    expectShows(out.get(), window, 3 * kWidth / 4, 3 * kHeight / 4);
}

// The window never leaves the picture: a pan pushed past an edge stops there, comes back at
// once, and zooming out pulls it back inside. Home recentres and keeps the ratio.
TEST(ZoomWindow, PanStopsAtThePictureEdgesAndHomeRecentres) {
    ZoomProcessor zoom;
    FramePtr input = cells();
    FramePtr out(av_frame_alloc());
    zoom.setState(atIndex(20));
    zoom.setCommand(4);  // right
    ZoomProcessor::Window window;
    for (int i = 0; i < 200; ++i) {
        window = zoom.advance(kWidth, kHeight);
    }
    EXPECT_EQ(window.x, kWidth - window.width);
    EXPECT_EQ(zoom.state().panX, (kWidth - window.width) / 2);
    ASSERT_TRUE(zoom.render(input.get(), window, out.get()));
    expectWindowShown(out.get(), window);
    expectShows(out.get(), window, kWidth - 1, kHeight / 2);  // the input's right column

    zoom.setCommand(3);  // left: moves at once, nothing was stored beyond the edge
    window = zoom.advance(kWidth, kHeight);
    EXPECT_LT(window.x, kWidth - window.width);
    for (int i = 0; i < 200; ++i) {
        window = zoom.advance(kWidth, kHeight);
    }
    EXPECT_EQ(window.x, 0);
    zoom.setCommand(5);  // up
    for (int i = 0; i < 200; ++i) {
        window = zoom.advance(kWidth, kHeight);
    }
    EXPECT_EQ(window.y, 0);
    ASSERT_TRUE(zoom.render(input.get(), window, out.get()));
    expectWindowShown(out.get(), window);

    zoom.setCommand(2);  // zooming out pulls the window with it
    for (int i = 0; i < 10; ++i) {
        window = zoom.advance(kWidth, kHeight);
        EXPECT_GE(window.x, 0);
        EXPECT_LE(window.x + window.width, kWidth);
        EXPECT_LE(std::abs(zoom.state().panX), (kWidth - window.width) / 2);
    }
    zoom.setCommand(0);
    zoom.home();
    window = zoom.advance(kWidth, kHeight);
    EXPECT_EQ(zoom.state().panX, 0);
    EXPECT_EQ(zoom.state().panY, 0);
    EXPECT_EQ(zoom.state().ratioIndex, 10);
    EXPECT_NEAR(window.x + window.width / 2.0, kWidth / 2.0, 1.0);

    // At ratio 1 there is nowhere to move.
    zoom.resetZoom();
    zoom.setCommand(6);
    window = zoom.advance(kWidth, kHeight);
    EXPECT_EQ(zoom.state().panY, 0);
    EXPECT_EQ(window.y, 0);
}

// One step per frame: 1.00 to 16.00 in 300 frames (10 s at 30 fps) and back; edge to edge
// in about 90 frames (3 s) at any ratio of a 1080p picture.
TEST(ZoomWindow, CommandsMoveOneStepPerFrame) {
    ZoomProcessor zoom;
    zoom.setCommand(1);
    for (int i = 1; i <= 300; ++i) {
        zoom.advance(1920, 1080);
        ASSERT_EQ(zoom.state().ratioIndex, i);
    }
    zoom.advance(1920, 1080);
    EXPECT_EQ(zoom.state().ratioIndex, 300);
    EXPECT_FLOAT_EQ(zoom.state().currentRatio, 16.0f);
    zoom.setCommand(2);
    for (int i = 0; i < 310; ++i) {
        zoom.advance(1920, 1080);
    }
    EXPECT_EQ(zoom.state().ratioIndex, 0);
    EXPECT_FLOAT_EQ(zoom.state().currentRatio, 1.0f);
    zoom.setCommand(0);

    for (int index : {1, 20, 100, 300}) {
        ZoomProcessor::State state = atIndex(index);
        zoom.setState(state);
        zoom.setCommand(3);
        ZoomProcessor::Window window = zoom.advance(1920, 1080);
        for (int i = 0; i < 2000 && window.x > 0; ++i) {
            window = zoom.advance(1920, 1080);
        }
        ASSERT_EQ(window.x, 0);
        zoom.setCommand(4);
        int frames = 0;
        while (window.x + window.width < 1920 && frames < 2000) {
            window = zoom.advance(1920, 1080);
            ++frames;
        }
        EXPECT_GE(frames, 75) << "ratio index " << index;
        EXPECT_LE(frames, 105) << "ratio index " << index;
    }
}

TEST(ZoomWindow, ResetKeepsTheCommandAndStrayValuesAreHarmless) {
    ZoomProcessor zoom;
    ZoomProcessor::State state = atIndex(40);
    state.panX = 120;
    state.panY = -60;
    state.command = 4;
    zoom.setState(state);
    zoom.resetZoom();
    state = zoom.state();
    EXPECT_EQ(state.ratioIndex, 0);
    EXPECT_FLOAT_EQ(state.currentRatio, 1.0f);
    EXPECT_EQ(state.panX, 0);
    EXPECT_EQ(state.panY, 0);
    EXPECT_EQ(state.command, 4);
    zoom.setCommand(7);
    zoom.setCommand(-1);
    EXPECT_EQ(zoom.state().command, 4);

    // A state from elsewhere with an index off the table, and pictures too small to crop.
    state.ratioIndex = 5000;
    state.panX = 1 << 30;
    zoom.setState(state);
    for (const auto& [w, h] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{3, 5}, std::pair{1921, 1081}}) {
        const ZoomProcessor::Window window = zoom.advance(w, h);
        EXPECT_GE(window.x, 0);
        EXPECT_GE(window.y, 0);
        EXPECT_GE(window.width, 1);
        EXPECT_GE(window.height, 1);
        EXPECT_LE(window.x + window.width, w);
        EXPECT_LE(window.y + window.height, h);
    }
    state.currentRatio = NAN;
    const ZoomProcessor::Window window = ZoomProcessor::windowFor(state, 640, 480);
    EXPECT_EQ(window.width, 640);
    EXPECT_EQ(window.height, 480);

    // Tiny and odd pictures are zoomed (or refused) without reading or writing out of bounds,
    // by either way.
    for (ZoomProcessor::Path path : {ZoomProcessor::Path::Yuv, ZoomProcessor::Path::RoundTrip}) {
        zoom.setPath(path);
        zoom.setState(atIndex(300));
        for (const auto& [w, h] : {std::pair{1, 1}, std::pair{2, 2}, std::pair{3, 5}, std::pair{17, 9}}) {
            FramePtr tiny(av_frame_alloc());
            tiny->format = AV_PIX_FMT_YUV420P;
            tiny->width = w;
            tiny->height = h;
            ASSERT_GE(av_frame_get_buffer(tiny.get(), 0), 0);
            for (int plane = 0; plane < 3; ++plane) {
                const int rows = plane == 0 ? h : (h + 1) / 2;
                std::memset(tiny->data[plane], 90, static_cast<size_t>(tiny->linesize[plane]) * rows);
            }
            FramePtr out(av_frame_alloc());
            if (zoom.process(tiny.get(), out.get())) {
                EXPECT_EQ(out->width, w);
                EXPECT_EQ(out->height, h);
                EXPECT_EQ(out->format, AV_PIX_FMT_YUVJ420P);
            }
        }
    }
}

// Every layout a decoder delivers gives the same window in pixel format 12 at the picture's
// size, by either way of rendering.
TEST(ZoomRendering, EveryInputLayoutAndBothWaysShowTheSameWindow) {
    FramePtr base = cells();
    struct Case {
        const char* name;
        FramePtr frame;
    };
    Case cases[] = {{"yuvj420p", cells()},
                    {"nv12", convert(base.get(), AV_PIX_FMT_NV12, true)},
                    {"yuv420p limited", convert(base.get(), AV_PIX_FMT_YUV420P, false)},
                    {"yuvj422p", convert(base.get(), AV_PIX_FMT_YUVJ422P, true)}};
    for (ZoomProcessor::Path path : {ZoomProcessor::Path::Yuv, ZoomProcessor::Path::RoundTrip}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (path == ZoomProcessor::Path::Yuv ? " yuv" : " round trip"));
            ZoomProcessor zoom;
            zoom.setPath(path);
            ZoomProcessor::State state = atIndex(20);
            state.panX = -40;
            state.panY = 20;
            zoom.setState(state);
            const ZoomProcessor::Window window = zoom.advance(kWidth, kHeight);
            EXPECT_EQ(window.x, 40);
            EXPECT_EQ(window.y, 80);
            FramePtr out(av_frame_alloc());
            ASSERT_TRUE(zoom.render(c.frame.get(), window, out.get()));
            expectWindowShown(out.get(), window);
            EXPECT_EQ(out->color_range, AVCOL_RANGE_JPEG);
        }
    }
}

// Each output frame has planes of its own: frames still queued for the caller are never
// overwritten by the next one. A surface still in the GPU is refused (it must be transferred
// first).
TEST(ZoomRendering, OutputFramesAreIndependentAndHardwareSurfacesAreRefused) {
    ZoomProcessor zoom;
    zoom.setState(atIndex(20));
    FramePtr first(av_frame_alloc());
    FramePtr second(av_frame_alloc());
    FramePtr input = cells(1);
    ASSERT_TRUE(zoom.process(input.get(), first.get()));
    const Levels before = levelsAt(first.get(), 10, 10);
    FramePtr other = convert(cells().get(), AV_PIX_FMT_YUV420P, true);
    for (int y = 0; y < kHeight; ++y) {
        std::fill(other->data[0] + y * other->linesize[0], other->data[0] + y * other->linesize[0] + kWidth,
                  250);
    }
    ASSERT_TRUE(zoom.process(other.get(), second.get()));
    EXPECT_NE(first->data[0], second->data[0]);
    EXPECT_EQ(levelsAt(first.get(), 10, 10).luma, before.luma);
    EXPECT_NEAR(levelsAt(second.get(), 10, 10).luma, 250, 3);
    EXPECT_EQ(first->pts, 1);

    FramePtr surface(av_frame_alloc());
    surface->format = AV_PIX_FMT_VAAPI;
    surface->width = kWidth;
    surface->height = kHeight;
    FramePtr out(av_frame_alloc());
    EXPECT_FALSE(zoom.process(surface.get(), out.get()));
    FramePtr empty(av_frame_alloc());
    EXPECT_FALSE(zoom.process(empty.get(), out.get()));
}
