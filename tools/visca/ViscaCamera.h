#pragma once

#include <optional>

// What a VISCA controller may ask of the camera, one kind for each kind of the application's
// camera command (same names, same meaning of `value`); the application's adapter maps one
// onto the other by name. The camera has a single speed, so no action carries one.
struct ViscaAction {
    enum class Kind {
        MirrorFlip,   // value: 0 off, 1 mirror, 2 flip, 3 mirror and flip
        CallPreset,   // value: preset number
        SavePreset,   // value: preset number
        ResetPreset,  // value: preset number
        PanTilt,      // value: a Direction
        FocusMode,    // value: 1 automatic, 0 manual
        FocusFar,
        FocusNear,
        FocusStop,
        ZoomIn,
        ZoomOut,
        ZoomStop,
    };
    enum class Direction { Stop, Up, Down, Left, Right, Home, UpLeft, UpRight, DownLeft, DownRight };

    Kind kind = Kind::PanTilt;
    int value = 0;

    static ViscaAction make(Kind kind, int value = 0) { return ViscaAction{kind, value}; }
    static ViscaAction panTilt(Direction direction) {
        return ViscaAction{Kind::PanTilt, static_cast<int>(direction)};
    }
    bool operator==(const ViscaAction& other) const { return kind == other.kind && value == other.value; }
};

// The camera behind a VISCA session. The session calls it from the one thread that drives the
// session; an implementation that hands actions to another thread does so itself.
class ViscaCamera {
public:
    enum class Result {
        Done,     // carried out: the session completes the command at once
        Pending,  // accepted; the owner calls ViscaSession::complete(socket, ...) when it is done
        Refused,  // the camera cannot carry it out now: "not executable"
    };

    virtual ~ViscaCamera() = default;
    virtual bool connected() const = 0;
    // `socket` is the VISCA command socket (1 or 2) the action occupies until it completes.
    virtual Result send(const ViscaAction& action, int socket) = 0;
    // The focus mode the camera was last set to (1 automatic, 0 manual); none when unknown.
    virtual std::optional<int> focusMode() const = 0;
    // The preset recalled last; none when no preset was recalled since the camera connected.
    virtual std::optional<int> lastPreset() const = 0;
};
