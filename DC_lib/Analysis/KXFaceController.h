#pragma once

// The steering rules of face tracking: given where the followed face sits in the picture and
// how large it is, decide which camera commands to send. Pure logic: the commands come out
// as a list, and whoever runs the controller sends them (KXSendCameraCommands), so the rules
// can be driven frame by frame on synthetic faces.
//
// Offsets are measured from the centre of a 1920 x 1080 picture (960, 540); pictures of
// another size are not rescaled.
//
// Threading: none inside; the face tracker calls it under its own lock.

#include <array>
#include <cstdint>
#include <vector>

// Thirty int32 settings per profile; the ones the controller reads are named.
struct TrackingProfile {
    std::array<int32_t, 30> values{};

    int32_t targetX() const { return values[1]; }
    int32_t targetY() const { return values[2]; }
    int32_t deadZoneX() const { return values[8]; }  // half width
    int32_t deadZoneY() const { return values[9]; }
    int32_t toleranceX() const { return values[15]; }  // motion tolerance
    int32_t toleranceY() const { return values[16]; }
    int32_t largestSize() const { return values[22]; }   // above it: zoom out
    int32_t smallestSize() const { return values[23]; }  // below it: zoom in
};

// The four profiles: 0 follows horizontally only and never zooms; 1 follows both ways and
// keeps the face between 250 and 300 pixels high; 2 is the talker profile; 3 is all zero.
// Modes 0 to 3 use the profile of their number.
constexpr int kTrackingProfileCount = 4;
std::array<TrackingProfile, kTrackingProfileCount> KXDefaultTrackingProfiles();

// One face as the controller sees it: offset from the picture centre (x to the right, y
// upwards) and its height in pixels.
struct KXFaceRecord {
    int32_t x = 0;
    int32_t y = 0;
    int32_t size = 0;
};

// A camera command the controller wants sent, in order.
struct KXCameraCommand {
    enum Kind {
        PanSpeed,   // value: 1..24
        TiltSpeed,  // value: 1..24
        Up,
        Down,
        Left,
        Right,
        UpLeft,
        UpRight,
        DownLeft,
        DownRight,
        PanStop,  // value: 20
        ZoomIn,
        ZoomOut,
        ZoomStop,  // value: 35
    };
    Kind kind;
    int value = 0;

    bool operator==(const KXCameraCommand& other) const { return kind == other.kind && value == other.value; }
};
using KXCameraCommands = std::vector<KXCameraCommand>;

// Sends the commands, in order, through the process's extension-unit controller; without a
// controller nothing is sent.
void KXSendCameraCommands(const KXCameraCommands& commands);

class KXFaceController {
public:
    // Horizontal direction: 1 left, 2 right, 3 centred. Vertical: 1 up, 2 down, 3 centred.
    enum Direction { kLeftOrUp = 1, kRightOrDown = 2, kCentred = 3 };
    // Zoom state: 0 zooming out, 1 zooming in, 2 idle.
    enum ZoomState { kZoomingOut = 0, kZoomingIn = 1, kZoomIdle = 2 };

    // Frames a direction must persist before the camera turns that way, the frames a face
    // must stay too small or too large before a zoom starts, and the in-band frames after
    // which tracking switches itself off.
    static constexpr int kDirectionFrames = 5;
    static constexpr int kZoomFrames = 6;
    static constexpr int kInBandFrames = 21;

    // One frame with a face to follow, under `profile`. `mirrored` swaps left and right in
    // the commands (a camera whose picture is mirrored).
    void follow(const KXFaceRecord& face, const TrackingProfile& profile, bool mirrored,
                KXCameraCommands& out);

    // One frame without a face to follow: while tracking is active the camera stops panning
    // and zooming at once.
    void lost(KXCameraCommands& out);

    void activate() { _trackingActive = true; }
    void setTalkerSeen() { _talkerSeen = true; }

    bool trackingActive() const { return _trackingActive; }
    bool talkerSeen() const { return _talkerSeen; }
    bool centred() const { return _centred; }
    bool moving() const { return _moving; }
    int horizontalDirection() const { return _horizontal; }
    int verticalDirection() const { return _vertical; }
    int zoomState() const { return _zoomState; }
    int inBandCount() const { return _inBandCount; }

private:
    void directionStep(const KXFaceRecord& face, const TrackingProfile& profile, bool mirrored,
                       KXCameraCommands& out);
    void move(int panSpeed, int tiltSpeed, bool mirrored, KXCameraCommands& out) const;

    bool _trackingActive = false;
    bool _talkerSeen = false;
    bool _centred = false;
    bool _moving = false;
    int _horizontal = kCentred;
    int _vertical = kCentred;
    int _zoomState = kZoomIdle;
    int _rightCount = 0;
    int _leftCount = 0;
    int _upCount = 0;
    int _downCount = 0;
    int _zoomCount = 0;
    int _inBandCount = 0;
};
