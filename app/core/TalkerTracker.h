#pragma once

#include <map>
#include <string>
#include <vector>

#include "CameraCommand.h"
#include "PositionMap.h"
#include "TrackerDecision.h"
#include "TrackingSettings.h"
#include "arrays/ArrayPositionState.h"
#include "arrays/NurevaProtocol.h"
#include "arrays/SennheiserProtocol.h"
#include "arrays/ShureProtocol.h"
#include "arrays/YamahaProtocol.h"

// Where the talker is and what the camera should do about it, from the arrays' reports, the
// settings and the operator's commands: which positions are lit, whose preset is due, when
// several talkers get their shot, when the camera goes home, and every call that is held,
// paused, switched off or would repeat the preset called last.
//
// No sockets, no timers, no clock of its own: every entry point takes the time (ms since the
// epoch) and returns what it decided, in order. Decisions that wait for a time (a talker's
// trigger delay that ends between two reports, the end of a hold or a pause, the return-home
// countdown) are made by tick(): nextWakeMs() says when it is next due, and the host calls
// it then (early or late calls are harmless).
//
// The rules, per report:
//  - Shure: a channel (automatic coverage: a coverage area) whose automix gate is open and
//    whose level is above 0 has a talker; its talking period starts at the first such report.
//    A gate open without a level keeps its light for the trigger delay.
//  - Sennheiser, Nureva, Yamaha: the report's azimuth names a position by the preset-link
//    zones; the brand's test (peak level above the threshold, power above the background
//    noise, the voice flag) says whether it is a talker. Silence counts five reports before
//    a silent period is timed; the lights go out once it lasts the trigger delay less the
//    counted reports.
//  - A talker who has talked for the trigger delay gets its position's preset, unless
//    tracking is off or paused, the minimum hold since the last call has not passed, the
//    position is "Off", no camera is connected, or the preset is the one tracking called
//    last on that camera (and nothing moved the camera since). Each position names its
//    camera (none: the first connected one); a call whose camera is not connected is dropped,
//    never sent to another camera. The minimum hold and the pause are the room's, whatever
//    camera a call is for. Shure arrays name the preset by their one
//    open gate; with two or more, nothing is called unless a several-talkers preset is set:
//    then two talkers past the delay get it, and a talker left alone is followed again once
//    alone for the delay.
//  - When no talker is present the return-home countdown runs; it calls the home position
//    (or preset 0) of every connected camera, or of the one camera the settings name, every
//    period until a talker stops it, and a return home clears "the
//    preset called last": the next talker is framed again even at the preset called before.
//  - An operator's command that moves the camera clears it too, and pauses tracking for the
//    manual-override time (a longer pause already running is kept).
//
// Threading: none (a plain value; the engine that hosts it lives on the interface thread).
class TalkerTracker {
public:
    using Decisions = std::vector<TrackerDecision>;

    static constexpr int kSilentAzimuth = 400;
    static constexpr int kSilentReportsBeforeTiming = 5;

    TalkerTracker();

    // ---- configuration ----
    // Takes the timing and the behaviours. A changed several-talkers preset of Off ends a
    // shown several-talkers shot; a changed switch acts as setEnabled.
    Decisions setSettings(const TrackingSettings& settings, qint64 now);
    const TrackingSettings& settings() const { return _settings; }
    void setPositionMap(const PositionMap& map) { _map = map; }
    const PositionMap& positionMap() const { return _map; }
    void setDevice(int deviceType, int brand);
    int brand() const { return _brand; }
    // The connected cameras' location identities in the camera list's order, the default
    // camera first: a position linked to no camera calls its preset there. Empty when none
    // is connected. Compared without case.
    void setCameras(const std::vector<std::string>& locations);
    // One camera connected (none when empty).
    void setCamera(const std::string& location);
    // The default camera; empty when none is connected.
    const std::string& camera() const;
    const std::vector<std::string>& cameras() const { return _cameras; }

    // ---- the link ----
    // A connection attempt begins: nothing known so far counts, and nothing is linked until
    // the link says so.
    Decisions connectAttempt(qint64 now);
    Decisions linkUp(qint64 now);
    Decisions linkDown(qint64 now);
    bool isLinked() const { return _linked; }

    // ---- reports ----
    Decisions shure(const ShureEvent& event, qint64 now);
    Decisions sennheiser(const SennheiserEvent& event, qint64 now);
    Decisions nureva(const NurevaReport& report, qint64 now);
    Decisions yamaha(const YamahaEvent& event, qint64 now);

    // ---- time ----
    // Runs what is due at `now`: the end of a pause, the return home, a talker's delay.
    Decisions tick(qint64 now);
    // When tick() is next due; 0 when nothing waits for a time.
    qint64 nextWakeMs() const;
    // Runs the talker check now, whatever tick() would wait for (nothing while unlinked).
    Decisions checkTalkers(qint64 now);

    // ---- the operator ----
    Decisions setEnabled(bool on, qint64 now);
    bool isEnabled() const { return _settings.trackingEnabled; }
    // Pauses preset calls and return home for `ms` (ms <= 0 ends a pause).
    Decisions pause(int ms, qint64 now);
    int pauseRemainingMs(qint64 now) const;
    // A command that did not come from tracking reached the camera.
    Decisions operatorCommand(const CameraCommand& command, qint64 now);
    // Calls the preset linked to a position now, by the same rules as a talker's call.
    Decisions callPresetForPosition(int position, qint64 now);

    // ---- return home ----
    // Arms the countdown (a running one is not restarted) or disarms it.
    Decisions armReturnHome(bool armed, qint64 now);
    // What the countdown does when it fires.
    Decisions returnHome(qint64 now);
    bool isReturnHomeArmed() const { return _homeDueMs != 0; }
    int returnHomePeriodMs() const { return _homePeriodMs; }

    // Clears every position's state and turns its light off.
    Decisions resetPositions(qint64 now);

    // ---- what it knows ----
    std::vector<int> positions() const;
    ArrayPositionState positionState(int position) const;
    int talker() const { return _talker; }
    bool isAutoCoverage() const { return _autoCoverage; }
    int silenceCount() const { return _silenceCount; }
    // When the next talker's delay (or the end of a hold) is due; 0 when nothing waits.
    qint64 triggerDueMs() const { return _triggerDueMs; }
    // The preset called last on a camera (by anyone), -1 when none; and whether it still
    // stands as tracking's own call (a repeat of it is dropped).
    int lastPreset(const std::string& camera) const;
    bool lastPresetStands(const std::string& camera) const;
    // The preset called last on any camera, -1 when none since start.
    int lastPresetAnyCamera() const;

private:
    struct PresetRecord {
        int preset = -1;
        bool standing = false;  // tracking called it and nothing moved the camera since
        qint64 timeMs = 0;
    };

    ArrayPositionState& stateOf(int position) { return _states[position]; }
    void light(Decisions& out, int position, bool on);
    void azimuth(Decisions& out, int value);
    void applyShurePeak(ArrayPositionState& state, int level, qint64 now);
    bool evaluateAzimuthReport(Decisions& out, int position, int azimuthValue, bool talker, qint64 now);
    std::vector<int> talkingPositions() const;
    void callDuePresets(Decisions& out, qint64 now);
    void scheduleTriggerCheck(qint64 now);
    void runTriggerCheck(Decisions& out, qint64 now);
    void updateTalker(Decisions& out);
    // False while tracking is off or paused (a pause that is over ends here).
    bool mayAct(qint64 now);
    const char* notActingReason() const;
    void endPauseIfOver(qint64 now);
    bool heldAgainst(const std::string& camera, int preset, qint64 now) const;
    // The preset-link rules for a due position: which preset, then send or drop it.
    void askPreset(Decisions& out, int position, qint64 now);
    // `linked`: the camera the call is linked to (empty: the default camera).
    void sendPreset(Decisions& out, TrackerDecision::Kind kind, int preset, int position,
                    const std::string& linked, const char* reason, qint64 now);
    void drop(Decisions& out, TrackerDecision::Kind what, int position, int preset, const std::string& camera,
              const char* reason, qint64 now, bool asked);
    TrackerDecision action(TrackerDecision::Kind kind, int position, int preset, const std::string& camera,
                           const char* reason, qint64 now) const;
    void forgetLastPreset();
    // The camera a call linked to `linked` goes to (empty: the default camera), or the reason
    // it cannot go out: no camera connected, or the linked one is not.
    const char* targetCamera(const std::string& linked, std::string& camera) const;
    bool isConnected(const std::string& location) const;
    // The camera a position's call is meant for, connected or not (for what a drop names).
    std::string meantCamera(const std::string& linked) const;
    void returnHomeOn(Decisions& out, const std::string& camera, int preset, qint64 now);
    void setArmed(bool armed, qint64 now);

    TrackingSettings _settings;
    PositionMap _map;
    int _deviceType = 2;
    int _brand = 0;
    std::vector<std::string> _cameras;  // lower case; the default camera first
    bool _linked = false;

    std::map<int, ArrayPositionState> _states;
    bool _autoCoverage = false;
    int _currentPeakLevel = -90;  // Sennheiser: the last input peak, dB
    int _silenceCount = 0;
    int _azimuthTalker = 0;  // azimuth arrays: the zone the latest report named a talker's, 0 none
    int _talker = 0;
    // Shure: the positions 1-8 lit, as the preset-link page shows them (its one open gate
    // names the preset).
    bool _lit[PositionMap::kPositionCount + 1] = {};

    qint64 _triggerDueMs = 0;
    qint64 _blockedUntilMs = 0;  // a held or waiting call may go out from then, 0 = none
    bool _severalShown = false;  // the several-talkers preset is what tracking called
    qint64 _severalSince = 0;    // since when several talkers were due (their shot's period)
    qint64 _soloSince = 0;       // since when one talker is left after several

    qint64 _homeDueMs = 0;  // 0: the countdown is not armed
    int _homePeriodMs = 0;
    // The current silence's return homes: logged once each, the first that went out and the
    // first dropped for each reason.
    bool _homeLogged = false;
    std::string _homeDropLogged;

    qint64 _pauseUntilMs = 0;  // 0: not paused
    // The hold counts from tracking's last call that reached the camera.
    int _lastCalledPreset = -1;
    std::string _lastCalledCamera;
    qint64 _lastCallMs = 0;
    std::map<std::string, PresetRecord> _records;  // per camera location
    // A drop logged for a talking period (per position, 0 = the several-talkers shot): its
    // start and reason, so the same drop on later reports is not logged again.
    std::map<int, std::pair<qint64, std::string>> _dropLogged;
};
