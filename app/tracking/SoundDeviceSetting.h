#pragma once

#include <QList>
#include <QMap>
#include <QString>
#include <QWidget>

#include <functional>

#include "CameraChoice.h"
#include "ArrayDevices.h"
#include "ArrayLink.h"
#include "CameraCommand.h"
#include "TrackingSettings.h"
#include "arrays/ArrayPositionState.h"

class AdvancedSetting;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTimer;
class TrackingEngine;

// The microphone-array page: the user picks an array, types its address and ticks Connect;
// the page shows the link's state ("Reconnecting…"), the tracking switch and its pause
// ("Tracking paused (N s)"), and opens the timing dialog and the tracking log.
//
// It is a view: the link itself (sockets, polls, reconnecting) is an ArrayLink, the talker
// decisions a TrackingEngine's tracker. The page hands them what the user chose and passes
// their news on under its own signals, which the main window wires to the preset-link page
// (the lights) and the main window (the warnings). The main window hands the page its link
// and engine; a page made on its own makes its own (tests, tools).
//
// Interface thread only.
class SoundDeviceSetting : public QWidget {
    Q_OBJECT

public:
    enum Brand {
        Shure = ArrayDevices::Shure,
        Sennheiser = ArrayDevices::Sennheiser,
        Nureva = ArrayDevices::Nureva,
        Yamaha = ArrayDevices::Yamaha
    };
    enum LinkState {
        LinkDown = ArrayLink::Down,
        LinkUp = ArrayLink::Up,
        LinkReconnecting = ArrayLink::Reconnecting
    };
    // What the return-home countdown does.
    enum BackHomeAction {
        BackHomeToPresetZero = TrackingSettings::kBackHomeToPresetZero,
        BackHomeToHomePosition = TrackingSettings::kBackHomeToHomePosition
    };
    // Azimuth that tells the preset-link page that nobody talks.
    static constexpr int kSilentAzimuth = 400;
    static constexpr int kBackHomeOff = TrackingSettings::kBackHomeOff;
    static constexpr int kMinBackHomePeriodMs = TrackingSettings::kMinBackHomePeriodMs;
    static constexpr int kSennheiserPeakLevelMin = TrackingSettings::kSennheiserPeakLevelMin;
    static constexpr int kSennheiserPeakLevelMax = TrackingSettings::kSennheiserPeakLevelMax;
    static constexpr double kNurevaBackgroundNoiseMin = TrackingSettings::kNurevaBackgroundNoiseMin;
    static constexpr double kNurevaBackgroundNoiseMax = TrackingSettings::kNurevaBackgroundNoiseMax;
    static constexpr int kSeveralTalkersOff = TrackingSettings::kSeveralTalkersOff;

    // A page with a link and an engine of its own.
    explicit SoundDeviceSetting(QWidget* parent = nullptr);
    // The window's page: link and engine are the window's (not owned; they outlive the page).
    SoundDeviceSetting(ArrayLink* link, TrackingEngine* engine, QWidget* parent = nullptr);
    ~SoundDeviceSetting() override;

    // Reads this page's values from the published settings document.
    void loadSettings();
    // Takes settings read (and checked) elsewhere.
    void loadSettings(const TrackingSettings& settings);
    // What the settings writer saves: the tracking settings with the form's values.
    TrackingSettings settings() const;

    // The room's cameras, which the timing dialog offers for the several-talkers shot and the
    // return home.
    void setCameraChoices(const CameraChoices& cameras) { _cameraChoices = cameras; }

    // Evaluates the Yamaha beam notifications of a text, each line on its own.
    void processYamahaMessage(const QString& message);
    // Arms (true) or disarms (false) the return-home countdown; a running countdown is not
    // restarted.
    void setBackHomeTimerIsStart(bool isStart);
    // Clears every position's state and turns its light off.
    void resetPositionStates();

    // Settings writer accessors.
    int soundDeviceIndex() const { return deviceTypeInt; }
    bool autoReconnect() const;
    int minimumHoldTimeMs() const;
    int severalTalkersPreset() const;
    int manualOverrideTimeMs() const;
    QString soundDeviceText(int index) const;
    QString ipAddressText() const;
    qint64 delayTriggerTimeMs() const;
    // {"Shure", "Sennheiser", "Nurvea", "Yamaha"} -> port.
    QMap<QString, int> portMap() const;
    // {"Sennheiser" -> peak level dB, "Nurvea" -> background noise truncated}.
    QMap<QString, int> audioTriggerLevelMap() const;
    // {"BackToHomeTriggerTime" -> ms (-1 off), "BackToHomeAction" -> 300 or 0}.
    QMap<QString, int> backToHomeMap() const;

    LinkState linkState() const;
    // Tracking switch ("TrackingEnabled"): off keeps the link and lights, sends no preset and
    // no return-home command.
    bool isTrackingEnabled() const;
    // Also updates the page's switch; the window follows signal_TrackingStateChanged.
    void setTrackingEnabled(bool on);
    // Pauses tracking's preset calls and the return-home action for exactly ms (ms <= 0 ends
    // a pause).
    void pauseTracking(int ms);
    // Remaining pause in ms, 0 when not paused.
    int trackingPauseRemainingMs() const;
    // The position the tracking follows as the talker's: 1..8, 0 when nobody talks.
    int talkerPosition() const;
    // Reconnect: attempts made since the link was lost, and the wait before the next one
    // (0 when none is scheduled).
    int reconnectAttemptCount() const;
    int reconnectDelayMs() const;

    // Read-only views for the window and the tests.
    int currentDeviceType() const { return deviceTypeInt; }
    int currentDeviceBrand() const { return deviceBrandInt; }
    bool isDeviceConnected() const;
    // A connection attempt is under way.
    bool isConnecting() const;
    bool isYamahaRunning() const;
    bool isAutoCoverage() const;
    int currentSilenceCount() const;
    int nurevaPort() const;
    double nurevaBackgroundNoise() const;
    int sennheiserTriggerLevel() const;
    int backHomeTimeMs() const;
    int backHomeAction() const;
    bool isPolling() const;
    int pollIntervalMs() const;
    bool isBackHomeTimerActive() const;
    int backHomeTimerIntervalMs() const;
    // Positions seen so far, ascending, and a copy of one position's state (a default state
    // for a position never seen).
    QList<int> positions() const;
    ArrayPositionState positionState(int position) const;
    QComboBox* deviceComboBox() const;
    QLineEdit* ipLineEdit() const;
    QSpinBox* portSpinBox() const;
    QCheckBox* connectCheckBox() const;
    QPushButton* advancedButton() const;
    QPushButton* trackingLogButton() const;
    QCheckBox* trackingCheckBox() const;
    // "Reconnecting…" beside Connect, and "Tracking paused (N s)" beside the tracking switch.
    QLabel* linkStatusLabel() const;
    QLabel* pauseLabel() const;
    AdvancedSetting* advancedSettingDialog() const { return advancedSetting; }
    ArrayLink* arrayLink() const { return _link; }
    TrackingEngine* trackingEngine() const { return _engine; }

    // The TCP arrays listen on fixed ports (2202, 45, 49280); fake arrays in tests and in a
    // simulator listen wherever they can, so the port a brand is reached on can be moved.
    // For Nureva this is the user-editable port.
    void setDevicePort(int brand, int port);

    // The clock of the link and the tracking (ms since the epoch). Tests install a manual
    // clock so talker timing does not depend on the scheduler.
    void setClock(std::function<qint64()> clock);
    // A talker's preset is due the trigger delay after its first report, which usually falls
    // between two reports: a check is armed for that moment. Whether it is armed, and in how
    // many ms of the page's clock it is due.
    bool isTriggerCheckPending() const;
    qint64 triggerCheckDueInMs() const;
    // Runs the check now: calls the presets of the talkers whose delay is over.
    void runTriggerCheck();

signals:
    void signal_SwitchSoundDevice(int deviceTypeInt, int deviceBrandInt);
    void signal_GetShureSoundDeviceArrayPosState(int arrayPosInt, bool isOnBool);
    // A talker at this position (1-8) has talked for the trigger delay and its preset was
    // asked for.
    void signal_CallCameraPreset(int arrayPosInt);
    void signal_GetSennheiserTCC2Azimuth(int azimuthInt);
    void signal_GetNurveaAzimuth(int azimuthInt);
    void signal_GetYamahaAzimuth(int azimuthInt);
    void signal_WarningMessage(QString message);
    // A camera command the tracking sent (through the router, not through this page).
    void signal_AddUSBCommand(CameraCommand command);
    void signal_LinkStateChanged(int linkState);  // a LinkState value
    void signal_TrackingStateChanged();           // enabled flag or pause began/ended
    // The talker position the tracking follows changed: 1..N, or 0 when nobody talks.
    void signal_TalkerPositionChanged(int position);
    // The "Tracking log" button.
    void signal_ShowTrackingLog();
    // "AutoReconnect", loaded or changed in the timing dialog; the camera list follows it too.
    void signal_AutoReconnectChanged(bool on);

public slots:
    void slot_StartAutoConnect();
    void slot_ConnectSoundDevice();
    void slot_SwitchSoundDevice();
    // The link came up / ended for good: the form follows.
    void slot_ConnectedDevice();
    void slot_DisconnectedDevice();
    void slot_PortChange(int port);
    void slot_AudioTriggerLevelChange(int audioTriggerLevel);
    void slot_SoundArrayPolling();
    void slot_DelayTriggerTimeChange(int delayTimeInt);
    void slot_BackToHomeTriggerTimeChange(int backHomeTimeInt);
    void slot_BackToHomeActionChange(int backHomeActionInt);
    void slot_CallBackToHome();
    void slot_AdvancedSetting();
    // An operator command (panel move/zoom/focus/preset, its keys, a control-interface
    // request) just happened: pauses for "ManualOverrideTime" ms (no pause when that is 0).
    void slot_ManualOverride();
    // The next reconnect attempt (the back-off timer calls it).
    void slot_Reconnect();
    void slot_AutoReconnectChange(bool on);
    void slot_MinimumHoldTimeChange(int ms);
    void slot_SeveralTalkersPresetChange(int preset);
    void slot_ManualOverrideTimeChange(int ms);
    void slot_SeveralTalkersCameraChange(const QString& location);
    void slot_BackToHomeCamerasChange(const QString& cameras);

private:
    struct Ui;

    void attach();
    void buildForm();
    void setFormEnabled(bool enabled);
    void setLinkState(int state);
    void updatePauseLabel();
    void emitAzimuth(int azimuth);
    // Changes the engine's settings in one place.
    void updateSettings(const std::function<void(TrackingSettings&)>& change);

    std::unique_ptr<Ui> ui;
    ArrayLink* _link = nullptr;         // the window's, or a child of this page
    TrackingEngine* _engine = nullptr;  // the window's, or a child of this page
    int deviceTypeInt = ArrayDevices::kDefaultIndex;
    int deviceBrandInt = ArrayDevices::Shure;
    AdvancedSetting* advancedSetting = nullptr;  // child of the page, created on first use
    // The connect being made retries on failure (the one at start); one the user makes warns.
    bool connectRetries = false;
    QTimer* pauseTimer = nullptr;  // refreshes "Tracking paused (N s)"
    CameraChoices _cameraChoices;
};
