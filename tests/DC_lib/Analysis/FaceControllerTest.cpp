// The steering rules of face tracking on synthetic faces (no network): the controller, the
// direction step and the move table, and the tracker's per-frame decisions on ordered boxes
// and on faces with landmarks. Every command is observed where it lands: on the recording
// extension unit of a bound camera.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Analysis/KXFaceController.h"
#include "Analysis/KXFaceTracker.h"
#include "BoundCamera.h"

namespace {

using Names = std::vector<std::string>;

class FaceControllerTest : public ::testing::Test {
protected:
    // One frame with `face` under profile `profile`; answers what reached the camera.
    Names frame(KXFaceController& controller, KXFaceRecord face, int profile, bool mirrored = false) {
        KXCameraCommands commands;
        controller.follow(face, _profiles[profile], mirrored, commands);
        KXSendCameraCommands(commands);
        return _camera.take();
    }

    Names send(const KXCameraCommands& commands) {
        KXSendCameraCommands(commands);
        return _camera.take();
    }

    // A box whose face record (centre x offset, bottom y offset, height) is the given one.
    static KXFaceBox boxFor(int x, int y, int size) {
        KXFaceBox box;
        box.y2 = 540 - y;
        box.y1 = box.y2 - size;
        box.x1 = 960 + x - 100;
        box.x2 = 960 + x + 100;
        return box;
    }

    // A face whose landmark 62 sits at (x, y) with the given mouth opening; landmarks 9 and
    // 28 give it a height of `size`.
    static KXFaceLandmarks talkerAt(int x, int y, int opening, int size = 200) {
        KXFaceLandmarks face;
        for (cv::Point& p : face.points) {
            p = cv::Point(x, y);
        }
        face.points[66] = cv::Point(x, y + opening);
        face.points[28] = cv::Point(x, y - size / 2);
        face.points[9] = cv::Point(x, y - size / 2 + size);
        face.box = KXFaceBox{x - 100, y - 150, x + 100, y + 150, 1.0f};
        return face;
    }

    BoundCamera _camera;
    std::array<TrackingProfile, kTrackingProfileCount> _profiles = KXDefaultTrackingProfiles();
};

}  // namespace

// A face inside the dead zone but outside the motion tolerance: the direction is confirmed
// on the fifth frame in a row and the camera turns at the speed the offset gives.
TEST_F(FaceControllerTest, FaceRightOfCentreStartsPanningRightOnTheFifthFrame) {
    KXFaceController controller;
    const KXFaceRecord face{150, 0, 270};
    for (int i = 1; i <= 4; ++i) {
        EXPECT_EQ(frame(controller, face, 1), (Names{"zoom-stop", "pan-speed 2", "tilt-speed 1", "stop"}))
            << "frame " << i;
        EXPECT_FALSE(controller.centred());
    }
    EXPECT_EQ(frame(controller, face, 1), (Names{"zoom-stop", "pan-speed 2", "tilt-speed 1", "right"}));
    EXPECT_EQ(controller.horizontalDirection(), KXFaceController::kRightOrDown);

    // Back within the tolerance: the camera stops and the face counts as centred; from then
    // on a face inside the dead zone moves nothing.
    EXPECT_EQ(frame(controller, {40, 0, 270}, 1),
              (Names{"zoom-stop", "pan-speed 1", "tilt-speed 1", "stop"}));
    EXPECT_TRUE(controller.centred());
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(frame(controller, face, 1), Names{"zoom-stop"});
    }
    // Past the dead zone it moves again, after the direction is confirmed.
    Names sent;
    for (int i = 0; i < 5; ++i) {
        sent = frame(controller, {250, 0, 270}, 1);
    }
    EXPECT_EQ(sent, (Names{"pan-speed 4", "tilt-speed 1", "right"}));
}

TEST_F(FaceControllerTest, ZoomStartsOnlyOutsideTheBandAfterSixFrames) {
    KXFaceController controller;
    // Exactly at the limits: framed, never zoomed.
    for (int size : {250, 300, 250, 300, 275, 250, 300, 250}) {
        for (const std::string& name : frame(controller, {0, 0, size}, 1)) {
            EXPECT_NE(name, "zoom-in");
            EXPECT_NE(name, "zoom-out");
        }
    }
    EXPECT_TRUE(controller.centred());
    // One pixel too small: counted for six frames, zoomed on the seventh and after.
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(frame(controller, {0, 0, 249}, 1), Names{}) << "frame " << i;
    }
    EXPECT_EQ(frame(controller, {0, 0, 249}, 1), Names{"zoom-in"});
    EXPECT_EQ(controller.zoomState(), KXFaceController::kZoomingIn);
    EXPECT_EQ(frame(controller, {0, 0, 260}, 1), Names{"zoom-stop"});
    // One pixel too large: the same count in the other direction.
    for (int i = 1; i <= 6; ++i) {
        EXPECT_EQ(frame(controller, {0, 0, 301}, 1), Names{}) << "frame " << i;
    }
    EXPECT_EQ(frame(controller, {0, 0, 301}, 1), Names{"zoom-out"});
    // Profile 0 never zooms.
    KXFaceController horizontalOnly;
    for (int i = 0; i < 10; ++i) {
        for (const std::string& name : frame(horizontalOnly, {0, 0, 5000}, 0)) {
            EXPECT_NE(name, "zoom-out");
        }
    }
}

// A zoom in progress is stopped before the camera turns; the turn follows on the next frame.
TEST_F(FaceControllerTest, ZoomStopsBeforeTheCameraTurns) {
    KXFaceController controller;
    for (int i = 0; i < 7; ++i) {
        frame(controller, {0, 0, 100}, 1);
    }
    ASSERT_EQ(controller.zoomState(), KXFaceController::kZoomingIn);
    for (int i = 1; i <= 4; ++i) {
        frame(controller, {-400, 0, 100}, 1);
    }
    EXPECT_EQ(frame(controller, {-400, 0, 100}, 1), Names{"zoom-stop"});
    EXPECT_EQ(controller.zoomState(), KXFaceController::kZoomIdle);
    EXPECT_EQ(frame(controller, {-400, 0, 100}, 1), (Names{"pan-speed 5", "tilt-speed 1", "left"}));
}

// Every direction pair, plain and with the mirrored mapping (left and right swapped).
TEST_F(FaceControllerTest, MoveTableAndItsMirroredMapping) {
    struct Case {
        int x, y;
        const char* plain;
        const char* mirrored;
    };
    const Case cases[] = {
        {-300, 300, "up-left", "up-right"},
        {-300, -300, "down-left", "down-right"},
        {-300, 0, "left", "right"},
        {300, 300, "up-right", "up-left"},
        {300, -300, "down-right", "down-left"},
        {300, 0, "right", "left"},
        {0, 300, "up", "up"},
        {0, -300, "down", "down"},
    };
    for (const Case& c : cases) {
        for (bool mirrored : {false, true}) {
            KXFaceController controller;
            Names sent;
            for (int i = 0; i < 5; ++i) {
                sent = frame(controller, {c.x, c.y, 270}, 1, mirrored);
            }
            ASSERT_EQ(sent.size(), 3u);
            EXPECT_EQ(sent[0], c.x == 0 ? "pan-speed 1" : "pan-speed 4");
            EXPECT_EQ(sent[1], c.y == 0 ? "tilt-speed 1" : "tilt-speed 7");
            EXPECT_EQ(sent[2], mirrored ? c.mirrored : c.plain) << c.x << "," << c.y;
        }
    }
    // Far off: both speeds are limited to 24.
    KXFaceController controller;
    Names sent;
    for (int i = 0; i < 5; ++i) {
        sent = frame(controller, {3000, -2000, 270}, 1);
    }
    EXPECT_EQ(sent, (Names{"pan-speed 24", "tilt-speed 24", "down-right"}));
}

TEST_F(FaceControllerTest, LosingEveryFaceWhileTrackingStopsPanAndZoomAtOnce) {
    KXFaceTracker tracker;
    // Not tracking yet: boxes and their absence move nothing.
    EXPECT_TRUE(send(tracker.track({boxFor(400, 0, 270)}, 1, false)).empty());
    EXPECT_TRUE(send(tracker.track({}, 1, false)).empty());
    // Mode 3 switches tracking on; the face runs off to the right.
    for (int i = 0; i < 5; ++i) {
        send(tracker.track({boxFor(400, 0, 270)}, 3, false));
    }
    ASSERT_EQ(tracker.controller().horizontalDirection(), KXFaceController::kRightOrDown);
    EXPECT_EQ(send(tracker.track({}, 1, false)), (Names{"stop", "zoom-stop"}));
    EXPECT_EQ(send(tracker.track({}, 0, false)), (Names{"stop", "zoom-stop"}));
    // Outlining-only modes never steer, whatever their number.
    EXPECT_TRUE(send(tracker.track({}, 7, false)).empty());
    EXPECT_TRUE(send(tracker.track({boxFor(400, 0, 270)}, -1, false)).empty());
}

// Tracking switches itself off once the face has been framed for more than 21 frames in a
// row; a frame that is not framed ends the run.
TEST_F(FaceControllerTest, ModeThreeActivatesAndAFramedFaceSwitchesTrackingOff) {
    KXFaceTracker tracker;
    const std::vector<KXFaceBox> framed{boxFor(0, 0, 270), boxFor(500, 0, 270)};
    send(tracker.track(framed, 3, false));
    ASSERT_TRUE(tracker.controller().trackingActive());

    for (int i = 1; i <= 10; ++i) {
        send(tracker.track(framed, 1, false));
    }
    EXPECT_EQ(send(tracker.track({boxFor(0, 0, 200)}, 1, false)), Names{});  // too small: run ends
    for (int i = 1; i <= 21; ++i) {
        EXPECT_EQ(send(tracker.track(framed, 1, false)), Names{"zoom-stop"}) << "frame " << i;
        ASSERT_TRUE(tracker.controller().trackingActive()) << "frame " << i;
    }
    send(tracker.track(framed, 1, false));
    EXPECT_FALSE(tracker.controller().trackingActive());
    // Switched off, the boxes are not used until mode 3 comes again.
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(send(tracker.track({boxFor(600, 300, 270)}, 1, false)).empty());
    }
    send(tracker.track(framed, 3, false));
    EXPECT_TRUE(tracker.controller().trackingActive());
}

// The nearest face to the centre is followed: the boxes come ordered, the first one counts.
TEST_F(FaceControllerTest, FirstBoxInOrderIsFollowed) {
    KXFaceTracker tracker;
    Names sent;
    for (int i = 0; i < 5; ++i) {
        sent = send(tracker.track({boxFor(-450, 0, 270), boxFor(450, 0, 270)}, 3, false));
    }
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "left");
}

// The talker mode follows a face whose own mouth is open, only while tracking is on, and
// stops the camera when nobody is talking.
TEST_F(FaceControllerTest, TalkerModeFollowsOnlyAnOpenMouth) {
    KXFaceTracker tracker;
    const KXFaceLandmarks quietNearCentre = talkerAt(900, 540, 4);
    const KXFaceLandmarks talkingRight = talkerAt(1400, 540, 12);
    const KXFaceLandmarks borderline = talkerAt(500, 540, 10);

    // Tracking is off: a talker is noted, nobody is followed.
    EXPECT_TRUE(send(tracker.trackTalker({quietNearCentre, talkingRight}, false)).empty());
    EXPECT_TRUE(tracker.controller().talkerSeen());

    send(tracker.track({}, 3, false));  // mode 3 switches tracking on
    send(tracker.trackTalker({talkingRight, quietNearCentre}, false));
    EXPECT_TRUE(tracker.controller().moving());
    Names sent;
    for (int i = 2; i <= 5; ++i) {
        sent = send(tracker.trackTalker({quietNearCentre, talkingRight}, false));
    }
    EXPECT_EQ(sent, (Names{"pan-speed 6", "tilt-speed 1", "right"}));

    // Nobody talks (an opening of exactly 10 is not talking): the camera stops.
    EXPECT_EQ(send(tracker.trackTalker({quietNearCentre, borderline}, false)), (Names{"stop", "zoom-stop"}));
    EXPECT_EQ(send(tracker.trackTalker({}, false)), (Names{"stop", "zoom-stop"}));
    // The talker speaks again: the turn goes on the way it went.
    EXPECT_EQ(send(tracker.trackTalker({quietNearCentre, talkingRight}, false)),
              (Names{"pan-speed 6", "tilt-speed 1", "right"}));
}
