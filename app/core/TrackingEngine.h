#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

#include "CameraCommand.h"
#include "CameraCommandRouter.h"
#include "DecisionLog.h"
#include "TalkerTracker.h"

class ArrayLink;
class QTimer;

// Runs the talker tracker in the application: feeds it the array link's events, the settings,
// the position map, the connected camera and the operator's commands, with the time of a
// clock (the system's; tests put in a manual one), wakes it when a decision is due between
// two reports, and carries out what it decided: camera commands go to the router, actions
// into the decision log, lights, the talker and the tracking state out to the views as
// signals.
//
// Threading: interface thread only (the link, the router and the pages live there).
class TrackingEngine : public QObject {
    Q_OBJECT

public:
    explicit TrackingEngine(QObject* parent = nullptr);
    ~TrackingEngine() override;

    // Not owned; either may be null (commands then reach no camera, nothing is logged).
    void setRouter(CameraCommandRouter* router);
    void setDecisionLog(DecisionLog* log) { _log = log; }
    // Listens to the link's state and events. Not owned.
    void setLink(ArrayLink* link);

    void setClock(std::function<qint64()> clock);
    qint64 now() const { return _clock(); }

    const TrackingSettings& settings() const { return _tracker.settings(); }
    void setSettings(const TrackingSettings& settings);
    void setPositionMap(const PositionMap& map);
    void setDevice(int deviceType, int brand);
    // The connected camera's location identity; empty when none is connected.
    void setCamera(const QString& location);
    // The connected cameras in the camera list's order, the default camera first.
    void setCameras(const QStringList& locations);

    // A connection attempt begins / the views want every position forgotten.
    void connectAttempt();
    void resetPositions();

    // The tracking switch, the pause and an operator's command.
    void setTrackingEnabled(bool on);
    bool isTrackingEnabled() const { return _tracker.isEnabled(); }
    void pauseTracking(int ms);
    int pauseRemainingMs() const { return _tracker.pauseRemainingMs(now()); }
    // "on", "off" or "paused", as the control interface names it.
    QString trackingText() const;
    void operatorCommand(const CameraCommand& command);

    // Calls a position's preset by the tracker's rules; the preset sent, or -1.
    int callPresetForPosition(int position);

    // The return-home countdown: arm, disarm, fire now.
    void armReturnHome(bool armed);
    void returnHomeNow();
    // Runs what is due now (what the wake-up does when it fires).
    void runDue();
    // Runs the talker check now (a talker's delay, a hold that ended).
    void runTriggerCheck();

    // Yamaha beam notifications given as text (every line on its own).
    void processYamahaText(const QString& text);

    const TalkerTracker& tracker() const { return _tracker; }
    int talker() const { return _tracker.talker(); }
    // The preset called last on any camera, -1 when none since start.
    int lastPreset() const { return _tracker.lastPresetAnyCamera(); }
    bool isWakePending() const;
    qint64 wakeDueMs() const { return _wakeDueMs; }

public slots:
    void onLinkUp();
    void onLinkDown();
    void onShureEvent(const ShureEvent& event);
    void onSennheiserEvent(const SennheiserEvent& event);
    void onNurevaReport(const NurevaReport& report);
    void onYamahaEvent(const YamahaEvent& event);

signals:
    void signal_Light(int position, bool on);
    void signal_Azimuth(int azimuth);
    void signal_TalkerPositionChanged(int position);
    void signal_TrackingStateChanged();
    // A talker's position has talked long enough and its preset was asked for.
    void signal_PositionDue(int position);
    // A camera command the tracking sent.
    void signal_TrackingCommand(CameraCommand command);
    // One decision's camera moves have been sent (a preset, the several-talkers shot, a
    // return home; once for all the cameras a return home sent home), for `reason`: the
    // program switcher decides its cut from it.
    void signal_ShotDecided(QStringList cameras, QString reason);

private:
    void apply(const TalkerTracker::Decisions& decisions);
    void send(const CameraCommand& command);
    // After every change: the tracking state and the wake-up.
    void settle();

    TalkerTracker _tracker;
    QPointer<CameraCommandRouter> _router;
    QPointer<DecisionLog> _log;
    QTimer* _wake = nullptr;
    qint64 _wakeDueMs = 0;
    std::function<qint64()> _clock;
    QString _announcedState;
    bool _homeArmed = false;  // as last logged
};
