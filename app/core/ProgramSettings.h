#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The "ProgramOutput" settings: the program picture the application gives the meeting program
// (a virtual camera that cuts between the connected cameras), its size and rate, and how the
// program follows the shots tracking decides.
//
// "Enabled" governs the output device only: the program camera is decided, logged and
// announced whether or not a device is written, so a room whose picture goes through a
// hardware video switcher can follow it through the control interface.
//
// What a saved value becomes:
//  - a member of the wrong type (text for a number, a fraction) is replaced by its default and
//    named in `replaced`;
//  - a number outside its range is bounded to the range (a 4K width is taken as the largest
//    width written; a CutDelay of a minute as the longest delay), and named in `replaced`;
//  - an odd width or height is taken one smaller: the packed 4:2:2 picture the device carries
//    shares one chroma sample between two pixels;
//  - "SameCameraMove" other than "move", "freeze" or "wide" (in any case) is "move";
//  - "WideCamera" is a location identity, kept trimmed and in lower case like the camera list.
//
// A plain value; interface thread.
struct ProgramSettings {
    enum class SameCameraMove { Move, Freeze, Wide };

    static constexpr int kDefaultWidth = 1280;
    static constexpr int kDefaultHeight = 720;
    static constexpr int kDefaultFrameRate = 30;
    static constexpr int kDefaultCutDelayMs = 700;
    static constexpr int kMinWidth = 160;
    static constexpr int kMaxWidth = 3840;
    static constexpr int kMinHeight = 120;
    static constexpr int kMaxHeight = 2160;
    static constexpr int kMinFrameRate = 1;
    static constexpr int kMaxFrameRate = 60;
    // No camera takes longer than this to arrive at a preset; a longer saved delay is a typo.
    static constexpr int kMaxCutDelayMs = 10000;

    bool enabled = false;                                  // "Enabled"
    int width = kDefaultWidth;                             // "Width", pixels
    int height = kDefaultHeight;                           // "Height", pixels
    int frameRate = kDefaultFrameRate;                     // "FrameRate", frames per second
    int cutDelayMs = kDefaultCutDelayMs;                   // "CutDelay", 0: cut at once
    SameCameraMove sameCameraMove = SameCameraMove::Move;  // "SameCameraMove"
    QString wideCamera;                                    // "WideCamera": a location identity, or empty

    // Reads the "ProgramOutput" object; missing members keep their defaults.
    static ProgramSettings fromJson(const QJsonObject& object, QStringList* replaced = nullptr);
    QJsonObject toJson() const;

    static QString sameCameraMoveName(SameCameraMove move);
    // The move rule named by `text` (any case); false when it names none.
    static bool parseSameCameraMove(const QString& text, SameCameraMove* move);

    // The interval between two output frames, in microseconds.
    qint64 frameIntervalUs() const { return 1000000 / frameRate; }

    // Why these settings cannot do what they say (empty: they can): "wide" without a wide
    // camera.
    QString problem() const;

    bool operator==(const ProgramSettings& other) const;
    bool operator!=(const ProgramSettings& other) const { return !(*this == other); }
};
