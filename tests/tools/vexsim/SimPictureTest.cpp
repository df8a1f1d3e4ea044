// The simulated camera's picture: what a view renders, at any size and place, and the live
// streams that carry it (decoded here with libavcodec as a receiver would).

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "SimPicture.h"
#include "SimStreamReading.h"
#include "SimVideoServer.h"

namespace {

using simtest::Planes;
using simtest::connectTo;
using simtest::firstPicture;

const SimPicture& picture() {
    static const SimPicture p(6);
    return p;
}

TEST(SimPicture, EveryPlaceAndSizeRendersInsideItsPlanes) {
    // Extremes of the head, mirror and flip, odd and tiny sizes: ASan checks the bounds.
    const SimView views[] = {
        {SimCamera::kPanMinDeg, SimCamera::kTiltMinDeg, 1, 0.5, false, false, false},
        {SimCamera::kPanMaxDeg, SimCamera::kTiltMaxDeg, 1, 0.5, true, true, false},
        {0, 0, SimCamera::kZoomMax, 0.5, true, false, false},
        {500, -500, 0.01, 0.5, false, true, false},  // out of range: held at the edges
    };
    for (const SimView& view : views)
        for (auto [w, h] : {std::pair{1, 1}, {3, 5}, {17, 9}, {641, 361}, {1920, 1080}}) {
            Planes planes(w, h);
            planes.render(picture(), view, 12345);
        }
}

TEST(SimPicture, PanZoomAndMirrorChangeThePictureTheFrameCountOnlyTheStrip) {
    Planes a(320, 180), b(320, 180), c(320, 180), d(320, 180), e(320, 180);
    a.render(picture(), SimView{0, 0, 1});
    b.render(picture(), SimView{-60, 0, 1});
    c.render(picture(), SimView{0, 0, 4});
    d.render(picture(), SimView{0, 0, 1, 0.5, true});
    e.render(picture(), SimView{0, 0, 1}, 7);
    EXPECT_NE(a.y, b.y);
    EXPECT_NE(a.y, c.y);
    EXPECT_NE(a.y, d.y);
    // The frame count moves the marker in the bottom strip only.
    const size_t strip = size_t(180 - std::max(8, 180 / 14)) * 320;
    EXPECT_TRUE(std::equal(a.y.begin(), a.y.begin() + strip, e.y.begin()));
    EXPECT_NE(a.y, e.y);
}

// How far apart two planes are on average (0: the same picture).
double meanDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return a.empty() ? 0 : sum / double(a.size());
}

TEST(SimPicture, EachRoomHasWallsOfItsOwnAndTheSameSeats) {
    const SimPicture rooms[] = {SimPicture(6), SimPicture(6, SimRoom::Blue), SimPicture(6, SimRoom::Green)};
    // Where the demonstration's preset 3 looks: the seat, the wall behind it and the floor.
    const SimView atSeat{-60, 6, 1.8};
    std::vector<Planes> shown;
    for (const SimPicture& room : rooms) {
        shown.emplace_back(320, 180);
        shown.back().render(room, atSeat);
    }
    for (size_t a = 0; a < shown.size(); ++a)
        for (size_t b = a + 1; b < shown.size(); ++b) {
            // Told apart at a glance: the colour of most of the picture differs.
            EXPECT_GT(meanDifference(shown[a].u, shown[b].u) + meanDifference(shown[a].v, shown[b].v), 15.0)
                << simRoomName(rooms[a].room()) << " and " << simRoomName(rooms[b].room());
        }
    // The seat's person and number are where they were, in every room: presets frame the same.
    const SimPicture& first = rooms[0];
    const int x = static_cast<int>((SimPicture::seatPanDeg(3) + SimPicture::kPanSpanDeg / 2) * 6);
    for (int tilt : {-5, 6, 17}) {
        const int y = static_cast<int>((SimPicture::kTiltTopDeg - tilt) * 6);
        for (const SimPicture& room : rooms) EXPECT_EQ(room.roomLuma(x, y), first.roomLuma(x, y)) << tilt;
    }
    for (SimRoom room : {SimRoom::Default, SimRoom::Blue, SimRoom::Green})
        EXPECT_EQ(simRoomFromName(simRoomName(room)), room);
}

TEST(SimPicture, TextBeyondThePlaneIsClipped) {
    std::vector<uint8_t> plane(40 * 20, 7);
    simDrawText(plane.data(), 40, 40, 20, 35, 15, 30, "8-8.8+", 200);   // runs off right and bottom
    simDrawText(plane.data(), 40, 40, 20, -100, -100, 30, "888", 200);  // wholly outside
    simDrawText(plane.data(), 40, 40, 20, 1000, 1000, 30, "1", 200);
    EXPECT_EQ(plane[0], 7);
    EXPECT_EQ(plane[37 + 19 * 40], 200);  // the left stroke of the first figure, cut at the bottom
    EXPECT_EQ(plane[39 + 15 * 40], 200);  // its top stroke, cut at the right
}

// ---- live streams -------------------------------------------------------------------------------

std::shared_ptr<const SimPicture> sharedPicture() {
    static auto p = std::make_shared<const SimPicture>(4);
    return p;
}

TEST(SimVideoServer, MjpegAndH264StreamsDecodeFromTheirFirstBytesEvenForLateJoiners) {
    for (const char* codec : {"mjpeg", "h264"}) {
        SimVideoServer::Options o;
        o.codec = codec;
        o.width = 320;
        o.height = 180;
        o.fps = 30;
        SimVideoServer server(
            sharedPicture(),
            [](SimView& v) {
                v = SimView{20, 5, 2};
                return true;
            },
            o);
        ASSERT_TRUE(server.ok()) << server.error();
        EXPECT_EQ(server.framesEncoded(), 0u);  // nobody watches: nothing is made
        const int first = connectTo(server.port());
        int w = 0, h = 0;
        ASSERT_TRUE(firstPicture(first, std::string(codec) == "h264" ? AV_CODEC_ID_H264 : AV_CODEC_ID_MJPEG,
                                 5000, w, h))
            << codec;
        EXPECT_EQ(w, 320);
        EXPECT_EQ(h, 180);
        // A second viewer joins mid-stream: its first bytes still decode.
        const int late = connectTo(server.port());
        w = h = 0;
        EXPECT_TRUE(firstPicture(late, std::string(codec) == "h264" ? AV_CODEC_ID_H264 : AV_CODEC_ID_MJPEG,
                                 5000, w, h))
            << codec;
        EXPECT_EQ(w, 320);
        ::close(first);
        ::close(late);
    }
}

TEST(SimVideoServer, AViewerThatDoesNotReadHoldsUpNobody) {
    SimVideoServer::Options o;
    o.width = 320;
    o.height = 180;
    o.fps = 60;
    o.maxQueuedBytes = 64 * 1024;
    SimVideoServer server(
        sharedPicture(),
        [](SimView& v) {
            v = SimView{};
            return true;
        },
        o);
    ASSERT_TRUE(server.ok());
    const int stuck = connectTo(server.port());  // never reads
    const int reader = connectTo(server.port());
    int w = 0, h = 0;
    for (int i = 0; i < 3; ++i)  // keeps getting pictures while the other one's queue is full
        ASSERT_TRUE(firstPicture(reader, AV_CODEC_ID_MJPEG, 5000, w, h));
    ::close(stuck);
    ::close(reader);
}

TEST(SimVideoServer, AnUnpluggedCameraCutsItsViewersOffAndTakesNoNewOnes) {
    SimVideoServer::Options o;
    o.width = 160;
    o.height = 90;
    SimVideoServer server(
        sharedPicture(),
        [](SimView& v) {
            v = SimView{};
            return true;
        },
        o);
    ASSERT_TRUE(server.ok());
    const int viewer = connectTo(server.port());
    int w = 0, h = 0;
    ASSERT_TRUE(firstPicture(viewer, AV_CODEC_ID_MJPEG, 5000, w, h));
    server.setEnabled(false);
    // The viewer's stream ends (end of file after what was queued).
    char sink[65536];
    ssize_t n = 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (n > 0 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{viewer, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0)
            n = ::recv(viewer, sink, sizeof sink, 0);
    }
    EXPECT_EQ(n, 0);
    const int refused = connectTo(server.port());
    pollfd p{refused, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(::recv(refused, sink, sizeof sink, 0), 0);
    ::close(viewer);
    ::close(refused);
}

TEST(SimVideoServer, ASlowCameraStartsEachStreamLateAndStillAtAKeyFrame) {
    SimVideoServer::Options o;
    o.codec = "h264";
    o.width = 160;
    o.height = 90;
    o.startDelayMs = 1500;
    SimVideoServer server(
        sharedPicture(),
        [](SimView& v) {
            v = SimView{};
            return true;
        },
        o);
    ASSERT_TRUE(server.ok());
    const auto connected = std::chrono::steady_clock::now();
    const int viewer = connectTo(server.port());
    // Nothing in the first part of the delay (a lower bound: a slow machine only waits longer).
    pollfd p{viewer, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 500), 0);
    int w = 0, h = 0;
    ASSERT_TRUE(firstPicture(viewer, AV_CODEC_ID_H264, 10000, w, h));
    EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::milliseconds(1500));
    EXPECT_EQ(w, 160);
    ::close(viewer);
}

TEST(SimVideoServer, BadSizesAndTakenPortsAreReportedNotServed) {
    SimVideoServer::Options o;
    o.width = 0;
    SimVideoServer bad(
        sharedPicture(), [](SimView&) { return true; }, o);
    EXPECT_FALSE(bad.ok());
    SimVideoServer::Options ok;
    ok.width = 160;
    ok.height = 90;
    SimVideoServer first(
        sharedPicture(), [](SimView&) { return true; }, ok);
    ASSERT_TRUE(first.ok());
    ok.port = first.port();
    SimVideoServer second(
        sharedPicture(), [](SimView&) { return true; }, ok);
    EXPECT_FALSE(second.ok());
    EXPECT_NE(second.error().find("cannot listen"), std::string::npos);
}

}  // namespace
