#pragma once

#include <QMetaType>
#include <QString>

// One command for a camera, whoever asks for it: the PTZ panel (and its keys), the audio
// tracking, the control interface. Every origin builds the same record and hands it to the
// CameraCommandRouter; only the command worker knows how a command is spelt for the camera
// (CamUSBControlThread::workerCode), so no numeric command code lives anywhere else.
//
// A plain value; copied across threads by queued connections (registered as a meta type).
struct CameraCommand {
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
    // Pan/tilt movements; Stop ends any of them, Home is a single move of its own.
    enum class Direction { Stop, Up, Down, Left, Right, Home, UpLeft, UpRight, DownLeft, DownRight };
    // Who asked. The panel's keys report as the panel: to the camera and to the people
    // watching, a key is the panel.
    enum class Origin { Tracking, Panel, ControlInterface, Visca };

    Kind kind = Kind::CallPreset;
    int value = 0;
    // Location identity of the camera meant; empty: the connected one.
    QString camera;
    Origin origin = Origin::Panel;

    static CameraCommand make(Kind kind, int value, Origin origin, const QString& camera = QString());
    static CameraCommand preset(int preset, Origin origin, const QString& camera = QString());
    static CameraCommand panTilt(Direction direction, Origin origin, const QString& camera = QString());

    Direction direction() const { return static_cast<Direction>(value); }
    bool isPresetCall() const { return kind == Kind::CallPreset; }
    // Commands that point the camera somewhere or change what it frames: preset calls,
    // pan/tilt (its stop and home too: the operator is still at it), zoom and focus
    // movements. From an operator they pause tracking and clear the preset tracking called
    // last. Picture settings (mirror/flip, focus mode) and storing presets do not move the
    // camera.
    bool movesCamera() const;
    bool fromOperator() const { return origin != Origin::Tracking; }

    // "tracking", "panel", "api" or "visca": how the control interface's events name an origin.
    static QString originName(Origin origin);

    bool operator==(const CameraCommand& other) const;
};

Q_DECLARE_METATYPE(CameraCommand)
