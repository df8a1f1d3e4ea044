// The marker in a simulated camera's picture: every camera number and the moving flag read
// back from a drawn room at any size, after the live stream's JPEG compression and after
// scaling into the program picture's packed format; and what a reader makes of a frame
// without one.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
}

#include "SimMarker.h"
#include "SimPicture.h"
#include "SimStreamReading.h"
#include "SimVideoServer.h"
#include "UvcFrameSource.h"

namespace {

// Planes with the marker drawn into them and read back out.
struct Planes : simtest::Planes {
    using simtest::Planes::Planes;
    bool mark(const SimMarker& m) {
        return simmarker::draw(m, w, h, y.data(), w, u.data(), (w + 1) / 2, v.data(), (w + 1) / 2);
    }
    std::optional<SimMarker> read() const { return simmarker::read(y.data(), w, w, h); }
};

std::shared_ptr<const SimPicture> room() {
    static auto p = std::make_shared<const SimPicture>(4);
    return p;
}

}  // namespace

TEST(SimMarker, EveryCameraAndTheMovingFlagReadBackAtAnySize) {
    for (auto [w, h] : {std::pair{1920, 1080}, {641, 361}, {simmarker::kMinWidth, simmarker::kMinHeight}})
        for (int camera = 0; camera <= simmarker::kMaxCamera; ++camera)
            for (bool moving : {false, true}) {
                Planes planes(w, h);
                planes.render(*room(), SimView{30, 5, 2});
                ASSERT_TRUE(planes.mark({camera, moving}));
                EXPECT_EQ(planes.read(), (SimMarker{camera, moving}))
                    << w << "x" << h << " camera " << camera;
            }
}

TEST(SimMarker, NoMarkerIsReadWhereNoneIsAndNoneIsDrawnWhereItCannotBe) {
    Planes plain(640, 360);
    for (double pan : {-150.0, -60.0, 0.0, 45.0, 160.0}) {
        plain.render(*room(), SimView{pan, 0, 1});
        EXPECT_FALSE(plain.read().has_value()) << pan;
    }
    // A marker with one bit's pair spoilt (both cells light) is rejected, not misread: camera
    // 5's first bit is 0, so its first cell is dark and its pair light.
    Planes spoilt(640, 360);
    spoilt.render(*room(), SimView{});
    ASSERT_TRUE(spoilt.mark({5, false}));
    const int cellW = 640 / simmarker::kColumns;
    for (int row = 0; row < 360 / simmarker::kRows; ++row)
        std::fill_n(spoilt.y.begin() + row * 640 + 3 * cellW, cellW, uint8_t(235));
    EXPECT_FALSE(spoilt.read().has_value());

    Planes tiny(simmarker::kMinWidth - 2, simmarker::kMinHeight);
    const std::vector<uint8_t> before = tiny.y;
    EXPECT_FALSE(tiny.mark({1, true}));
    EXPECT_EQ(tiny.y, before);
    Planes normal(640, 360);
    EXPECT_FALSE(normal.mark({simmarker::kMaxCamera + 1, false}));
    EXPECT_FALSE(normal.mark({-1, false}));
    EXPECT_FALSE(simmarker::read(nullptr, 640, 640, 360).has_value());
    EXPECT_FALSE(simmarker::read(normal.y.data(), 100, 640, 360).has_value());  // stride shorter than a row
}

TEST(SimMarker, TheLiveStreamCarriesItThroughJpegAndAScaleToPackedYuyv) {
    SimVideoServer::Options o;
    o.width = 640;
    o.height = 360;
    o.fps = 30;
    o.markerCamera = 6;
    SimVideoServer server(
        room(),
        [](SimView& v) {
            v = SimView{-40, 10, 3};
            v.moving = true;
            return true;
        },
        o);
    ASSERT_TRUE(server.ok()) << server.error();
    const int fd = simtest::connectTo(server.port());
    AVFrame* frame = av_frame_alloc();
    ASSERT_TRUE(simtest::firstPicture(fd, AV_CODEC_ID_MJPEG, 5000, frame));
    ::close(fd);
    EXPECT_EQ(simmarker::read(frame->data[0], frame->linesize[0], frame->width, frame->height),
              (SimMarker{6, true}));

    // Into a small packed picture of another aspect ratio, as the program output makes it.
    const int w = 160, h = 120;
    std::vector<uint8_t> packed(size_t(w) * h * 2);
    SwsContext* sws = sws_getContext(frame->width, frame->height, AVPixelFormat(frame->format), w, h,
                                     AV_PIX_FMT_YUYV422, SWS_BILINEAR, nullptr, nullptr, nullptr);
    ASSERT_NE(sws, nullptr);
    uint8_t* out[4] = {packed.data(), nullptr, nullptr, nullptr};
    const int outStride[4] = {w * 2, 0, 0, 0};
    sws_scale(sws, frame->data, frame->linesize, 0, frame->height, out, outStride);
    sws_freeContext(sws);
    av_frame_free(&frame);
    EXPECT_EQ(simmarker::read(packed.data(), w * 2, w, h, 2), (SimMarker{6, true}));
}

TEST(SimMarker, TheEmulatedUsbCamerasPackedFramesCarryItToo) {
    uvcsim::UvcFrameSource source(room(), uvcsim::FormatKind::Uncompressed, 320, 180, 30, 11);
    ASSERT_TRUE(source.ok()) << source.error();
    uvcsim::Bytes packed;
    SimView view{10, 0, 1};
    ASSERT_TRUE(source.next(view, 0, true, packed));
    EXPECT_EQ(simmarker::read(packed.data(), 320 * 2, 320, 180, 2), (SimMarker{11, false}));
    view.moving = true;
    ASSERT_TRUE(source.next(view, 1, false, packed));
    EXPECT_EQ(simmarker::read(packed.data(), 320 * 2, 320, 180, 2), (SimMarker{11, true}));

    // Without a number the picture is the room alone.
    uvcsim::UvcFrameSource unmarked(room(), uvcsim::FormatKind::Uncompressed, 320, 180, 30);
    ASSERT_TRUE(unmarked.next(view, 0, true, packed));
    EXPECT_FALSE(simmarker::read(packed.data(), 320 * 2, 320, 180, 2).has_value());
}
