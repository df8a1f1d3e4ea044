#include "Analysis/KXFaceController.h"

#include <cmath>
#include <memory>

#include "Control/KXControlChannel.h"

std::array<TrackingProfile, kTrackingProfileCount> KXDefaultTrackingProfiles() {
    std::array<TrackingProfile, kTrackingProfileCount> profiles{};
    // index:                1  2  8    9     15   16    22    23     24    25
    struct Row {
        int32_t targetX, targetY, deadZoneX, deadZoneY, toleranceX, toleranceY, largest, smallest, upper,
            lower;
    };
    const Row rows[3] = {
        {0, 0, 200, 9999, 100, 9999, 9999, -9999, 9999, 9999},
        {0, 0, 200, 200, 100, 50, 300, 250, 280, 270},
        {0, 0, 200, 200, 100, 50, 220, 170, 200, 190},
    };
    for (int i = 0; i < 3; ++i) {
        std::array<int32_t, 30>& v = profiles[i].values;
        v[1] = rows[i].targetX;
        v[2] = rows[i].targetY;
        v[8] = rows[i].deadZoneX;
        v[9] = rows[i].deadZoneY;
        v[15] = rows[i].toleranceX;
        v[16] = rows[i].toleranceY;
        v[22] = rows[i].largest;
        v[23] = rows[i].smallest;
        v[24] = rows[i].upper;  // carried, not consulted
        v[25] = rows[i].lower;
    }
    return profiles;  // profile 3 stays all zero
}

void KXSendCameraCommands(const KXCameraCommands& commands) {
    if (commands.empty()) {
        return;
    }
    std::shared_ptr<KXIUSBControl> controller = KXCurrentController();
    if (!controller) {
        return;  // no extension-unit channel: the camera cannot be steered
    }
    KXIUSBControl& c = *controller;
    for (const KXCameraCommand& command : commands) {
        switch (command.kind) {
            case KXCameraCommand::PanSpeed:
                c.setPanSpeed(command.value);
                break;
            case KXCameraCommand::TiltSpeed:
                c.setTiltSpeed(command.value);
                break;
            case KXCameraCommand::Up:
                c.panUp();
                break;
            case KXCameraCommand::Down:
                c.panDown();
                break;
            case KXCameraCommand::Left:
                c.panLeft();
                break;
            case KXCameraCommand::Right:
                c.panRight();
                break;
            case KXCameraCommand::UpLeft:
                c.panUpLeft();
                break;
            case KXCameraCommand::UpRight:
                c.panUpRight();
                break;
            case KXCameraCommand::DownLeft:
                c.panDownLeft();
                break;
            case KXCameraCommand::DownRight:
                c.panDownRight();
                break;
            case KXCameraCommand::PanStop:
                c.panTiltStop(command.value);
                break;
            case KXCameraCommand::ZoomIn:
                c.zoomIn();
                break;
            case KXCameraCommand::ZoomOut:
                c.zoomOut();
                break;
            case KXCameraCommand::ZoomStop:
                c.zoomStop(command.value);
                break;
        }
    }
}

namespace {

constexpr int kPanStopCommand = 20;
constexpr int kZoomStopCommand = 35;

// Truncated, then limited to the camera's speed range 1..24.
int speedFrom(double value) {
    if (!(value < 24.0)) {
        return 24;
    }
    const int speed = static_cast<int>(value);
    return speed < 1 ? 1 : speed;
}

}  // namespace

void KXFaceController::follow(const KXFaceRecord& face, const TrackingProfile& profile, bool mirrored,
                              KXCameraCommands& out) {
    if (!_moving) {
        const bool outsideDeadZone = face.x < profile.targetX() - profile.deadZoneX() ||
                                     face.x > profile.targetX() + profile.deadZoneX() ||
                                     face.y < profile.targetY() - profile.deadZoneY() ||
                                     face.y > profile.targetY() + profile.deadZoneY();
        if (outsideDeadZone) {
            _moving = true;
            _centred = false;
            _inBandCount = 0;
        } else if (face.size < profile.smallestSize()) {
            _inBandCount = 0;
            if (_zoomCount >= kZoomFrames) {
                out.push_back({KXCameraCommand::ZoomIn});
                _zoomState = kZoomingIn;
            } else {
                ++_zoomCount;
            }
        } else if (face.size > profile.largestSize()) {
            _inBandCount = 0;
            if (_zoomCount >= kZoomFrames) {
                out.push_back({KXCameraCommand::ZoomOut});
                _zoomState = kZoomingOut;
            } else {
                ++_zoomCount;
            }
        } else {
            // The face is framed: the run of framed frames counts towards switching tracking
            // off. Only consecutive framed frames count (every other branch ends the run), so
            // a face that is re-framed now and then does not switch tracking off early.
            if (_inBandCount < kInBandFrames) {
                ++_inBandCount;
            } else {
                _trackingActive = false;
                _talkerSeen = false;
                _inBandCount = 0;
            }
            out.push_back({KXCameraCommand::ZoomStop, kZoomStopCommand});
            _zoomCount = 0;
        }
    } else {
        _inBandCount = 0;
    }
    if (!_centred) {
        directionStep(face, profile, mirrored, out);
    } else {
        _moving = false;
    }
}

void KXFaceController::lost(KXCameraCommands& out) {
    _inBandCount = 0;
    if (_trackingActive) {
        out.push_back({KXCameraCommand::PanStop, kPanStopCommand});
        out.push_back({KXCameraCommand::ZoomStop, kZoomStopCommand});
    }
}

void KXFaceController::directionStep(const KXFaceRecord& face, const TrackingProfile& profile, bool mirrored,
                                     KXCameraCommands& out) {
    if (face.x > profile.targetX() + profile.toleranceX()) {
        _leftCount = 0;
        if (_rightCount < kDirectionFrames) {
            ++_rightCount;
        }
        if (_rightCount >= kDirectionFrames) {
            _horizontal = kRightOrDown;
        }
    } else if (face.x < profile.targetX() - profile.toleranceX()) {
        _rightCount = 0;
        if (_leftCount < kDirectionFrames) {
            ++_leftCount;
        }
        if (_leftCount >= kDirectionFrames) {
            _horizontal = kLeftOrUp;
        }
    } else {
        _rightCount = 0;
        _leftCount = 0;
        _horizontal = kCentred;
    }

    if (face.y > profile.targetY() + profile.toleranceY()) {
        _downCount = 0;
        if (_upCount < kDirectionFrames) {
            ++_upCount;
        }
        if (_upCount >= kDirectionFrames) {
            _vertical = kLeftOrUp;
        }
    } else if (face.y < profile.targetY() - profile.toleranceY()) {
        _upCount = 0;
        if (_downCount < kDirectionFrames) {
            ++_downCount;
        }
        if (_downCount >= kDirectionFrames) {
            _vertical = kRightOrDown;
        }
    } else {
        _upCount = 0;
        _downCount = 0;
        _vertical = kCentred;
    }

    if ((_horizontal != kCentred || _vertical != kCentred) && _zoomState != kZoomIdle) {
        out.push_back({KXCameraCommand::ZoomStop, kZoomStopCommand});
        _zoomState = kZoomIdle;
        return;
    }

    const int panSpeed = speedFrom(std::fabs(static_cast<double>(profile.targetX()) - face.x) * 0.012 + 1.0);
    const int tiltSpeed = speedFrom(std::fabs(static_cast<double>(face.y)) * 0.0213 + 1.0);
    move(panSpeed, tiltSpeed, mirrored, out);

    // Centred means the face sits within the motion tolerance in both axes. While a
    // direction is still being confirmed (a counter runs) the face is outside it even though
    // no direction has been taken yet; calling that centred would stop the tracker from ever
    // confirming the direction, so a face that waits just outside the tolerance would never
    // be followed.
    const bool confirming = _rightCount != 0 || _leftCount != 0 || _upCount != 0 || _downCount != 0;
    if (_horizontal == kCentred && _vertical == kCentred && !confirming) {
        _centred = true;
    }
}

void KXFaceController::move(int panSpeed, int tiltSpeed, bool mirrored, KXCameraCommands& out) const {
    out.push_back({KXCameraCommand::PanSpeed, panSpeed});
    out.push_back({KXCameraCommand::TiltSpeed, tiltSpeed});
    using K = KXCameraCommand;
    K::Kind kind = K::PanStop;
    if (_horizontal == kLeftOrUp) {
        kind = _vertical == kLeftOrUp      ? (mirrored ? K::UpRight : K::UpLeft)
               : _vertical == kRightOrDown ? (mirrored ? K::DownRight : K::DownLeft)
                                           : (mirrored ? K::Right : K::Left);
    } else if (_horizontal == kRightOrDown) {
        kind = _vertical == kLeftOrUp      ? (mirrored ? K::UpLeft : K::UpRight)
               : _vertical == kRightOrDown ? (mirrored ? K::DownLeft : K::DownRight)
                                           : (mirrored ? K::Left : K::Right);
    } else {
        kind = _vertical == kLeftOrUp ? K::Up : _vertical == kRightOrDown ? K::Down : K::PanStop;
    }
    out.push_back({kind, kind == K::PanStop ? kPanStopCommand : 0});
}
