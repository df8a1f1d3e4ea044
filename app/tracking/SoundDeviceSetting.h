#pragma once

#include <QAbstractSocket>
#include <QHostAddress>
#include <QMap>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "arrays/ArrayPositionState.h"
#include "arrays/SennheiserProtocol.h"
#include "arrays/ShureProtocol.h"
#include "arrays/YamahaProtocol.h"

class AdvancedSetting;
class PresetLink;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;
class QTcpSocket;
class QTimer;
class QWebSocket;

// The microphone-array page: the user picks an array, types its address and ticks Connect.
// While linked, the page polls the array in its own protocol, works out where the talker is,
// lights that position, asks the preset-link page to call the linked preset once the talker
// has spoken for the trigger delay, and sends the camera home after the idle time.
//
// The wire formats live in arrays/*Protocol; this page owns the link state machine, the
// per-position talker states and the timers. Interface thread only: sockets, timers and the
// preset-link page's slots all run there, so the page's emissions reach them in order.
class SoundDeviceSetting : public QWidget {
    Q_OBJECT

public:
    enum Brand { Shure = 0, Sennheiser = 1, Nureva = 2, Yamaha = 3 };
    enum LinkState { LinkDown = 0, LinkUp = 1, LinkReconnecting = 2 };
    // What the return-home timer does.
    enum BackHomeAction { BackHomeToPresetZero = 0, BackHomeToHomePosition = 300 };
    // Azimuth that tells the preset-link page that nobody talks.
    static constexpr int kSilentAzimuth = 400;
    static constexpr int kConnectTimeoutMs = 5000;
    // A TCP array answers every poll: this long without a reply of any kind is a lost link.
    static constexpr int kReplyTimeoutMs = 5000;
    // The WebSocket link is kept by ping frames (its events may pause for as long as the room
    // is silent); this long without a pong is a lost link.
    static constexpr int kPingIntervalMs = 2000;
    static constexpr int kPongTimeoutMs = 6000;
    static constexpr int kPollIntervalMs = 100;
    static constexpr int kYamahaWaitingPollIntervalMs = 1000;
    // A return-home period below this would flood the camera with commands (a period of 0
    // fires on every pass of the event loop); shorter positive periods are raised to it.
    static constexpr int kMinBackHomePeriodMs = 1000;
    // Silent reports that only count before a silent period starts.
    static constexpr int kSilentReportsBeforeTiming = 5;
    // The timing values a first start runs with, and what a saved value that cannot be
    // meant is replaced by.
    static constexpr int kDefaultDelayTriggerTimeMs = 1500;
    static constexpr int kDefaultBackHomeTimeMs = 10000;
    static constexpr int kBackHomeOff = -1;
    static constexpr int kDefaultSennheiserPeakLevel = -55;
    static constexpr double kDefaultNurevaBackgroundNoise = 50.0;
    // The talker thresholds the arrays can report against.
    static constexpr int kSennheiserPeakLevelMin = -90;
    static constexpr int kSennheiserPeakLevelMax = 0;
    static constexpr double kNurevaBackgroundNoiseMin = 0.0;
    static constexpr double kNurevaBackgroundNoiseMax = 120.0;
    // Waits between reconnect attempts after a lost link: doubling from 1 s, then 30 s
    // for as long as it takes.
    static constexpr int kReconnectDelaysMs[] = {1000, 2000, 4000, 8000, 16000, 30000};
    // A retrying link logs at most one attempt per this period.
    static constexpr int kReconnectLogPeriodMs = 30000;
    static constexpr bool kDefaultAutoReconnect = true;
    static constexpr int kDefaultMinimumHoldTimeMs = 0;
    static constexpr int kSeveralTalkersOff = -1;
    static constexpr int kDefaultManualOverrideTimeMs = 30000;
    // Longest pause an operator command or a caller may ask for (a day).
    static constexpr int kMaxPauseMs = 24 * 3600 * 1000;

    explicit SoundDeviceSetting(QWidget* parent = nullptr);
    ~SoundDeviceSetting() override;

    // The preset-link page answers azimuth lookups; set once by the main window before
    // loadSettings(). Not owned.
    void setPresetLink(PresetLink* presetLink);
    // Reads this page's values from the published settings document.
    void loadSettings();
    // Evaluates the Yamaha beam notifications of a text, each line on its own.
    void processYamahaMessage(const QString& message);
    // Arms (true) or disarms (false) the return-home countdown; a running countdown is not
    // restarted.
    void setBackHomeTimerIsStart(bool isStart);
    // Clears every position's state and turns its light off.
    void resetPositionStates();

    // Settings writer accessors.
    int soundDeviceIndex() const { return deviceTypeInt; }
    bool autoReconnect() const { return autoReconnectOn; }
    int minimumHoldTimeMs() const { return minimumHoldTime; }
    int severalTalkersPreset() const { return severalTalkersPresetInt; }
    int manualOverrideTimeMs() const { return manualOverrideTime; }
    QString soundDeviceText(int index) const;
    QString ipAddressText() const;
    qint64 delayTriggerTimeMs() const { return delayTriggerTime; }
    // {"Shure", "Sennheiser", "Nurvea", "Yamaha"} -> port.
    QMap<QString, int> portMap() const;
    // {"Sennheiser" -> peak level dB, "Nurvea" -> background noise truncated}.
    QMap<QString, int> audioTriggerLevelMap() const;
    // {"BackToHomeTriggerTime" -> ms (-1 off), "BackToHomeAction" -> 300 or 0}.
    QMap<QString, int> backToHomeMap() const;

    LinkState linkState() const { return linkStateValue; }
    // Tracking switch ("TrackingEnabled"): off keeps the link and lights, sends no preset and
    // no return-home command.
    bool isTrackingEnabled() const { return trackingEnabled; }
    // Also updates the page's switch; the window follows signal_TrackingStateChanged.
    void setTrackingEnabled(bool on);
    // Manual override: pauses tracking's preset calls and the return-home action for exactly
    // ms (ms <= 0 ends a pause).
    void pauseTracking(int ms);
    // Remaining pause in ms, 0 when not paused.
    int trackingPauseRemainingMs() const;
    // The position the page acts on as the talker's: 1..8, 0 when nobody talks.
    int talkerPosition() const { return talkerPositionInt; }
    // Reconnect: attempts made since the link was lost, and the wait before the next one
    // (0 when none is scheduled).
    int reconnectAttemptCount() const { return reconnectAttempts; }
    int reconnectDelayMs() const;

    // Read-only views for the window and the tests.
    int currentDeviceType() const { return deviceTypeInt; }
    int currentDeviceBrand() const { return deviceBrandInt; }
    bool isDeviceConnected() const { return deviceConnected; }
    // A TCP connection attempt is under way.
    bool isConnecting() const;
    bool isYamahaRunning() const { return yamahaRunning; }
    bool isAutoCoverage() const { return autoCoverage; }
    int currentSilenceCount() const { return silenceCount; }
    int nurevaPort() const { return nurvea_portInt; }
    double nurevaBackgroundNoise() const { return nurveaBackgroundNoise; }
    int sennheiserTriggerLevel() const { return sennheiserPeakLevel; }
    int backHomeTimeMs() const { return backHomeTimeInt; }
    int backHomeAction() const { return backHomeActionInt; }
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
    QCheckBox* trackingCheckBox() const;
    // "Reconnecting…" beside Connect, and "Tracking paused (N s)" beside the tracking switch.
    QLabel* linkStatusLabel() const;
    QLabel* pauseLabel() const;
    AdvancedSetting* advancedSettingDialog() const { return advancedSetting; }

    // The TCP arrays listen on fixed ports (2202, 45, 49280); fake arrays in tests and in a
    // simulator listen wherever they can, so the port a brand is reached on can be moved.
    // For Nureva this is the user-editable port.
    void setDevicePort(int brand, int port);

    // The clock of every evaluation (ms since the epoch). Tests install a manual clock so
    // talker timing does not depend on the scheduler.
    void setClock(std::function<qint64()> clock);
    // A talker's preset is due the trigger delay after its first report, which usually falls
    // between two reports: a single-shot check is armed for that moment. Whether it is armed,
    // and in how many ms of the page's clock it is due.
    bool isTriggerCheckPending() const;
    qint64 triggerCheckDueInMs() const;
    // Runs the check now (what the armed check does when it fires): calls the presets of
    // the talkers whose delay is over, then arms the next check.
    void runTriggerCheck();

signals:
    void signal_SwitchSoundDevice(int deviceTypeInt, int deviceBrandInt);
    void signal_GetShureSoundDeviceArrayPosState(int arrayPosInt, bool isOnBool);
    void signal_CallCameraPreset(int arrayPosInt);
    void signal_GetSennheiserTCC2Azimuth(int azimuthInt);
    void signal_GetNurveaAzimuth(int azimuthInt);
    void signal_GetYamahaAzimuth(int azimuthInt);
    void signal_WarningMessage(QString message);
    void signal_AddUSBCommand(int commandID, int commandValue);
    void signal_LinkStateChanged(int linkState);  // a LinkState value
    void signal_TrackingStateChanged();           // enabled flag or pause began/ended
    // The talker position the page acts on changed: 1..N, or 0 when nobody talks.
    void signal_TalkerPositionChanged(int position);
    // Several talkers at once: the preset chosen for them (0-9).
    void signal_CallTrackingPreset(int preset);

public slots:
    void slot_StartAutoConnect();
    void slot_ConnectSoundDevice();
    void slot_SwitchSoundDevice();
    void slot_ConnectedDevice();
    void slot_DisconnectedDevice();
    void slot_ReceiveFromDevice();
    void slot_ConnectError(QAbstractSocket::SocketError error);
    void slot_PortChange(int port);
    void slot_AudioTriggerLevelChange(int audioTriggerLevel);
    void slot_ReceiveNurveaMessage(QString message);
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

private:
    // The port a brand is reached on (Shure for an unknown brand).
    int portOfBrand(int brand) const;
    struct Ui;

    void buildForm();
    void setFormEnabled(bool enabled);
    bool isTcpBrand() const { return deviceBrandInt != Nureva; }
    // True when the signal being handled comes from the socket of the brand not selected:
    // a slow close of the previous link must not act on the current one.
    bool isFromOtherLink() const;
    // A connection attempt failed or timed out: back to idle with the warning, or on to the
    // next attempt while reconnecting.
    void connectAttemptFailed();
    void setLinkState(LinkState state);
    // Schedules the next attempt of a lost link (no-op when one is scheduled).
    void scheduleReconnect();
    void stopReconnecting();
    // Shows "Connection Loss." once per loss.
    void warnLoss();
    // False while tracking is switched off or paused; ends a pause that is over.
    bool trackingMayAct();
    // Ends a pause whose time is over (and follows the talker again).
    void endPauseIfOver();
    void updatePauseLabel();
    void updateTalkerPosition();
    // Whether the minimum hold keeps tracking from calling this preset now.
    bool heldAgainst(int preset) const;
    int presetOfPosition(int position) const;
    // The array stopped answering on a link that is still open: drop it as lost.
    void linkLost();
    // Ping-timer tick of the WebSocket link.
    void pingDevice();
    // Turns off the light of every position seen, keeping the states.
    void turnLightsOff();
    qint64 now() const { return clock(); }
    // Lookup through the preset-link page; anything outside 1-8 is "no position".
    int positionForAzimuth(int azimuth) const;
    ArrayPositionState& stateOf(int position);

    void handleShureEvents(const std::vector<ShureEvent>& events);
    void applyShurePeak(ArrayPositionState& state, int level, qint64 timeMs);
    void handleSennheiserEvents(const std::vector<SennheiserEvent>& events);
    void handleYamahaEvent(const YamahaEvent& event);
    // The talker decision shared by the azimuth arrays, for the position the latest report
    // fell into. Returns whether a talker is present.
    bool evaluateAzimuthReport(int position, int azimuth, bool talker);
    // Positions talking right now, ascending: Shure channels with an open gate and a level,
    // or the zone the latest azimuth report named as a talker's.
    std::vector<int> talkingPositions() const;
    // Asks for the preset of every talker that has talked for the trigger delay.
    void callDuePresets();
    // Arms the single-shot check for the earliest moment a talker's delay ends.
    void scheduleTriggerCheck();
    void emitAzimuth(int azimuth);
    bool writeToDevice(std::string_view bytes);

    std::unique_ptr<Ui> ui;
    QTcpSocket* tcpSocket = nullptr;
    QHostAddress hostAddress;
    int shurePort = ShureProtocol::kPort;
    int sennheiserPort = SennheiserProtocol::kPort;
    int deviceTypeInt = 2;
    int deviceBrandInt = Shure;
    QTimer* pollTimer = nullptr;
    // Bounds a TCP connection attempt; runs only while one is under way.
    QTimer* connectTimer = nullptr;
    // Sends the WebSocket link's ping frames; runs while that link is up.
    QTimer* pingTimer = nullptr;
    qint64 lastReplyMs = 0;  // clock() when the TCP link last delivered bytes (or came up)
    qint64 lastPongMs = 0;   // clock() when the WebSocket link last answered a ping (or came up)
    QWebSocket* nurvea_webSocket = nullptr;
    QUrl webSocketUrl;
    int nurvea_portInt = 8931;
    QUuid requestId;
    double nurveaBackgroundNoise = kDefaultNurevaBackgroundNoise;
    int sennheiserPeakLevel = kDefaultSennheiserPeakLevel;
    int currentPeakLevel = -90;
    qint64 delayTriggerTime = kDefaultDelayTriggerTimeMs;
    QTimer* backHomeTimer = nullptr;
    // Single shot: fires when the next talker's trigger delay ends (see runTriggerCheck).
    QTimer* triggerTimer = nullptr;
    qint64 triggerDueMs = 0;  // clock() at which the armed check is due
    // Azimuth arrays: the zone the latest report named as a talker's, 0 after a report
    // without a talker.
    int azimuthTalker = 0;
    int backHomeTimeInt = kDefaultBackHomeTimeMs;
    int backHomeActionInt = BackHomeToHomePosition;
    std::map<int, ArrayPositionState> positionStates;
    bool autoCoverage = false;
    qint64 nowMSecs = 0;
    PresetLink* presetLink = nullptr;            // not owned
    AdvancedSetting* advancedSetting = nullptr;  // child of the page, created on first use
    int silenceCount = 0;
    bool deviceConnected = false;
    int yamahaPort = YamahaProtocol::kPort;
    bool yamahaRunning = false;

    LinkState linkStateValue = LinkDown;
    bool autoReconnectOn = kDefaultAutoReconnect;
    // The link being attempted retries on failure: a lost link, or the connect at start.
    bool retrying = false;
    // The address of the last attempt parsed; an unusable one is never retried.
    bool addressUsable = true;
    int reconnectAttempts = 0;
    QTimer* reconnectTimer = nullptr;  // single shot: the back-off wait
    qint64 lastReconnectLogMs = 0;     // clock() of the last logged attempt, 0 = none yet
    int suppressedReconnectLogs = 0;
    bool lossWarned = false;  // "Connection Loss." was shown for the current loss

    bool trackingEnabled = true;
    qint64 pauseUntilMs = 0;       // clock() at which a pause ends, 0 = not paused
    QTimer* pauseTimer = nullptr;  // refreshes the pause label and ends the pause
    int manualOverrideTime = kDefaultManualOverrideTimeMs;
    int minimumHoldTime = kDefaultMinimumHoldTimeMs;
    int lastCalledPreset = -1;  // the preset tracking called last (hold)
    qint64 lastCallMs = 0;      // clock() of that call, 0 = none
    int severalTalkersPresetInt = kSeveralTalkersOff;
    bool severalTalkersShown = false;  // the several-talkers preset is what tracking called
    qint64 soloSince = 0;              // clock() since one talker is left after several
    // Earliest clock() at which something blocked now (hold, the lone talker's wait) may be
    // called, 0 = nothing waits.
    qint64 blockedUntilMs = 0;
    int talkerPositionInt = 0;

    ShureProtocol shureProtocol;
    SennheiserProtocol sennheiserProtocol;
    YamahaProtocol yamahaProtocol;
    std::function<qint64()> clock;
};
