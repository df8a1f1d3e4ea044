// The simulated camera's head: what its registers make it do, integrated over time.

#include <gtest/gtest.h>

#include "SimCamera.h"

namespace {

constexpr uint16_t kLeft = 0x13, kRight = 0x23, kUp = 0x31, kDown = 0x32, kStop = 0x33, kUpRight = 0x21;

TEST(SimCamera, DirectionMovesAtTheSpeedRegisterUntilStopped) {
    SimCamera cam;
    cam.view(0);
    cam.write(SimCamera::PanSpeed, 10, 0);  // 25 degrees per second
    cam.write(SimCamera::Direction, kRight, 0);
    EXPECT_NEAR(cam.view(1000).panDeg, 25.0, 1e-9);
    EXPECT_TRUE(cam.view(1000).moving);
    cam.write(SimCamera::Direction, kStop, 2000);
    EXPECT_NEAR(cam.view(5000).panDeg, 50.0, 1e-9);
    EXPECT_FALSE(cam.view(5000).moving);
    // The register still reads back what was written.
    EXPECT_EQ(cam.read(SimCamera::Direction), kStop);
}

TEST(SimCamera, HighNibblePansLowNibbleTiltsAndTheyCombine) {
    SimCamera cam;
    cam.view(0);
    cam.write(SimCamera::Direction, kUpRight, 0);  // pan right, tilt up
    const SimView v = cam.view(1000);
    EXPECT_GT(v.panDeg, 0.0);
    EXPECT_GT(v.tiltDeg, 0.0);
    cam.write(SimCamera::Direction, kLeft, 1000);  // tilt stops, pan reverses
    const SimView w = cam.view(2000);
    EXPECT_NEAR(w.panDeg, 0.0, 1e-9);
    EXPECT_NEAR(w.tiltDeg, v.tiltDeg, 1e-9);
    cam.write(SimCamera::Direction, kDown, 2000);
    EXPECT_LT(cam.view(3000).tiltDeg, w.tiltDeg);
    cam.write(SimCamera::Direction, kUp, 3000);
    EXPECT_NEAR(cam.view(4000).tiltDeg, w.tiltDeg, 1e-9);
}

TEST(SimCamera, HeadStopsAtItsLimitsAndZoomAtItsRange) {
    SimCamera cam;
    cam.view(0);
    cam.write(SimCamera::PanSpeed, 36, 0);
    cam.write(SimCamera::TiltSpeed, 36, 0);
    cam.write(SimCamera::Direction, 0x11, 0);  // up-left, for a long time
    cam.write(SimCamera::Zoom, 0x21, 0);
    SimView v = cam.view(60000);
    EXPECT_EQ(v.panDeg, SimCamera::kPanMinDeg);
    EXPECT_EQ(v.tiltDeg, SimCamera::kTiltMaxDeg);
    EXPECT_EQ(v.zoom, SimCamera::kZoomMax);
    cam.write(SimCamera::Zoom, 0x31, 60000);
    cam.write(SimCamera::Direction, 0x22, 60000);
    v = cam.view(120000);
    EXPECT_EQ(v.zoom, SimCamera::kZoomMin);
    EXPECT_EQ(v.panDeg, SimCamera::kPanMaxDeg);
    EXPECT_EQ(v.tiltDeg, SimCamera::kTiltMinDeg);
}

TEST(SimCamera, SpeedsBeyondTheRangeAreHeldAtItsEnds) {
    SimCamera slow, fast;
    slow.view(0);
    fast.view(0);
    slow.write(SimCamera::PanSpeed, 0, 0);
    fast.write(SimCamera::PanSpeed, 0xFFFF, 0);
    slow.write(SimCamera::Direction, kRight, 0);
    fast.write(SimCamera::Direction, kRight, 0);
    EXPECT_NEAR(slow.view(1000).panDeg, 1 * SimCamera::kDegPerSpeedStep, 1e-9);
    EXPECT_NEAR(fast.view(1000).panDeg, 36 * SimCamera::kDegPerSpeedStep, 1e-9);
}

TEST(SimCamera, PresetsStoreAndRecallPlacesAndManualMovesTakeOver) {
    SimCamera cam;
    cam.place(-60, 10, 3, 0);
    cam.write(SimCamera::SavePreset, 4, 0);
    cam.write(SimCamera::Home, 0xAA, 0);
    SimView v = cam.view(5000);
    EXPECT_EQ(v, (SimView{0, 0, 1, 0.5, false, false, false}));

    cam.write(SimCamera::CallPreset, 4, 5000);
    EXPECT_TRUE(cam.view(5100).moving);  // glides, does not jump
    EXPECT_GT(cam.view(5100).panDeg, -60.0);
    v = cam.view(10000);
    EXPECT_NEAR(v.panDeg, -60, 1e-9);
    EXPECT_NEAR(v.tiltDeg, 10, 1e-9);
    EXPECT_NEAR(v.zoom, 3, 1e-9);
    EXPECT_FALSE(v.moving);

    // A preset never saved, or reset, leaves the head where it is.
    cam.write(SimCamera::ResetPreset, 4, 10000);
    cam.write(SimCamera::CallPreset, 4, 10000);
    cam.write(SimCamera::CallPreset, 9, 10000);
    EXPECT_NEAR(cam.view(20000).panDeg, -60, 1e-9);

    // A recall under way gives way to a manual move.
    cam.storePreset(1, 100, 0, 1);
    cam.write(SimCamera::CallPreset, 1, 20000);
    cam.view(20100);
    cam.write(SimCamera::Direction, kLeft, 20100);
    const double at = cam.view(20100).panDeg;
    EXPECT_LT(cam.view(21100).panDeg, at);
}

TEST(SimCamera, MirrorFlipBitsAndFactoryReset) {
    SimCamera cam({{SimCamera::MirrorFlip, 2}});
    EXPECT_TRUE(cam.view(0).flip);
    EXPECT_FALSE(cam.view(0).mirror);
    cam.write(SimCamera::MirrorFlip, 3, 0);
    EXPECT_TRUE(cam.view(0).mirror && cam.view(0).flip);
    cam.storePreset(2, 50, 0, 1);
    cam.place(30, 30, 2, 0);
    cam.write(SimCamera::FactoryReset, 0xAA, 0);
    const SimView v = cam.view(10000);
    EXPECT_FALSE(v.mirror || v.flip);
    EXPECT_EQ(cam.read(SimCamera::MirrorFlip), 0);
    EXPECT_FALSE(cam.hasPreset(2));
    EXPECT_NEAR(v.panDeg, 0, 1e-9);
}

TEST(SimCamera, ClockGoingBackNeverMovesTheHeadBackwards) {
    SimCamera cam;
    cam.view(1000);
    cam.write(SimCamera::Direction, kRight, 1000);
    const double at = cam.view(2000).panDeg;
    EXPECT_EQ(cam.view(1500).panDeg, at);  // an older time: nothing happens
    EXPECT_GT(cam.view(2500).panDeg, at);
}

TEST(SimCamera, PowerOnStartsAtHomeAndKeepsMemory) {
    SimCamera cam({{0x80, 'K'}});
    cam.storePreset(3, -20, 5, 2);
    cam.place(90, 20, 5, 0);
    cam.write(SimCamera::Direction, kRight, 0);
    cam.powerOn(100);
    const SimView v = cam.view(5000);
    EXPECT_EQ(v.panDeg, 0.0);
    EXPECT_FALSE(v.moving);
    EXPECT_TRUE(cam.hasPreset(3));
    EXPECT_EQ(cam.read(0x80), 'K');
}

}  // namespace
