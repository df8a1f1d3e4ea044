#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>

// The audio-tracking part of the settings document: the array, its address and ports, the
// talker thresholds, the timing and the behaviours for real rooms. One table in
// TrackingSettings.cpp names every key with its default and its rule; fromJson reads and
// checks a document once, toJson writes the values back under the same keys. The main
// window hands the result to the array page and the tracker; nobody else reads these keys.
//
// A key that is missing keeps its default, so a document written before a key existed loads
// with the default and is written back with every key it held (the document is written from
// the copy read at start, so keys this version does not know survive as well). A value that
// cannot be meant (a negative time, an unknown action, a threshold no array reaches, the
// wrong type) is replaced by the default and named in `replaced`; the next save writes the
// default.
//
// A plain value; interface thread.
struct TrackingSettings {
    static constexpr int kDefaultDelayTriggerTimeMs = 1500;
    static constexpr int kDefaultBackHomeTimeMs = 10000;
    static constexpr int kBackHomeOff = -1;
    // A return-home period below this would flood the camera with commands; a shorter saved
    // period runs (and is kept) as this.
    static constexpr int kMinBackHomePeriodMs = 1000;
    static constexpr int kBackHomeToHomePosition = 300;
    static constexpr int kBackHomeToPresetZero = 0;
    static constexpr int kSennheiserPeakLevelMin = -90;
    static constexpr int kSennheiserPeakLevelMax = 0;
    static constexpr double kNurevaBackgroundNoiseMin = 0.0;
    static constexpr double kNurevaBackgroundNoiseMax = 120.0;
    static constexpr int kSeveralTalkersOff = -1;
    // Longest hold, pause or override time that can be meant (a day).
    static constexpr int kMaxPauseMs = 24 * 3600 * 1000;
    static constexpr const char* kAllCameras = "all";

    int soundDeviceIndex = 2;  // "SoundDeviceIndex" (an index of ArrayDevices::kDevices)
    QString ipAddress;         // "IPAddress"
    // "PortMap": only the Nureva port is the user's; the others are the arrays' fixed ports
    // (written, never read back; a test or a simulator may move them).
    int shurePort = 2202;
    int sennheiserPort = 45;
    int nurevaPort = 8931;  // "NurveaPort"
    int yamahaPort = 49280;
    int delayTriggerTimeMs = kDefaultDelayTriggerTimeMs;  // "DelayTriggerTime"
    // "AudioTriggerLevelMap"
    int sennheiserPeakLevel = -55;        // "SennheiserPeakLevel", dB
    double nurevaBackgroundNoise = 50.0;  // "NurveaBackgroundNoise", written truncated
    // "BackToHomeMap"
    int backHomeTimeMs = kDefaultBackHomeTimeMs;    // "BackToHomeTriggerTime", -1 = off
    int backHomeAction = kBackHomeToHomePosition;   // "BackToHomeAction": 300 home, 0 preset 0
    bool autoReconnect = true;                      // "AutoReconnect"
    int minimumHoldTimeMs = 0;                      // "MinimumHoldTime"
    int severalTalkersPreset = kSeveralTalkersOff;  // "SeveralTalkersPreset": -1 or 0-9
    int manualOverrideTimeMs = 30000;               // "ManualOverrideTime", 0 = no pause
    // "SeveralTalkersCamera": the camera the several-talkers shot is called on (a location
    // identity); empty: the first connected camera.
    QString severalTalkersCamera;
    // "BackToHomeCameras": "all" (every connected camera goes home) or one location identity.
    QString backHomeCameras = QStringLiteral("all");
    bool trackingEnabled = true;  // "TrackingEnabled"

    static TrackingSettings fromJson(const QJsonObject& document, QStringList* replaced = nullptr);
    // Writes every key (and "SoundDeviceType", the text of the chosen device) into `document`,
    // leaving its other keys alone.
    void toJson(QJsonObject& document) const;

    int brand() const;
    // The port the chosen array (or `brand`) is reached on.
    int portOfBrand(int brand) const;
    void setPortOfBrand(int brand, int port);

    // The rules of the table, for values that arrive from the timing dialog: what a value
    // becomes when it is taken (a time under the floor is raised, a preset outside 0-9 is
    // off).
    static int clampedHoldOrOverrideMs(int ms);
    static int checkedSeveralTalkersPreset(int preset);
    // Whether a return home sends every connected camera home.
    bool backHomeToAllCameras() const;

    bool operator==(const TrackingSettings& other) const;
};
