#pragma once

#include <QtGlobal>

#include <string>

// One thing the talker tracker decided, in the order it decided them. The first three kinds
// are what the pages show; the others are actions on a camera and go into the decision log
// (when `logged`), carrying the reason and what the tracker saw.
struct TrackerDecision {
    enum class Kind {
        Light,    // position, on: a position's light (Shure channels; any position for a reset)
        Azimuth,  // azimuth: the brand's talker azimuth, or kSilentAzimuth when the room fell silent
        Talker,   // position: the talker the camera follows now, 0 when nobody talks
        Preset,   // preset for position: sent to the camera
        Home,     // return home: preset 0, or the home position (preset -1); sent
        Several,  // the several-talkers preset; sent
        Dropped,  // a call of `dropped` kind that did not go out, and why
    };

    Kind kind = Kind::Light;
    int position = 0;  // 0: none
    bool on = false;
    int azimuth = 0;
    int preset = -1;     // -1: none (Home: the home position)
    std::string camera;  // location identity of the camera meant; empty: none connected
    const char* reason = "";
    qint64 timeMs = 0;      // ms since the epoch
    qint64 talkingMs = -1;  // how long the talker had talked; -1: no talker involved
    int level = 0;
    bool hasLevel = false;
    Kind dropped = Kind::Preset;  // Dropped: what did not go out (Preset, Home or Several)
    // The decision log takes it: a call dropped again for the same reason, in the same talking
    // period or the same silence, is news only the first time.
    bool logged = true;
    // The position's preset was asked for (sent, or dropped by the preset-link rules: the
    // same preset, no camera, no preset, more than one gate); a hold or a pause asks nothing.
    bool asked = false;

    bool isAction() const {
        return kind == Kind::Preset || kind == Kind::Home || kind == Kind::Several || kind == Kind::Dropped;
    }
};

// The reasons a decision names; an open list (a new rule brings its own).
namespace TrackerReason {
inline constexpr const char* kTriggerDelay = "trigger delay reached";
inline constexpr const char* kMinimumHold = "minimum hold";
inline constexpr const char* kOperatorPause = "operator pause";
inline constexpr const char* kTrackingOff = "tracking off";
inline constexpr const char* kSamePreset = "same preset";
inline constexpr const char* kNoCamera = "no camera";
// The call names a camera that is not connected (it never goes to another one).
inline constexpr const char* kCameraNotConnected = "camera not connected";
inline constexpr const char* kSilence = "silence";
inline constexpr const char* kSeveralTalkers = "several talkers";
// The position is linked to "Off".
inline constexpr const char* kNoPreset = "no preset";
}  // namespace TrackerReason
