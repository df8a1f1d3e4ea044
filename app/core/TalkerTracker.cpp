#include "TalkerTracker.h"

#include <algorithm>
#include <cctype>
#include <climits>

#include "ArrayDevices.h"

namespace {

using Kind = TrackerDecision::Kind;
constexpr qint64 kNever = LLONG_MAX;

}  // namespace

TalkerTracker::TalkerTracker() = default;

// ---- configuration ---------------------------------------------------------------------------

TalkerTracker::Decisions TalkerTracker::setSettings(const TrackingSettings& settings, qint64 now) {
    Decisions out;
    const bool wasEnabled = _settings.trackingEnabled;
    const int oldDelay = _settings.delayTriggerTimeMs;
    _settings = settings;
    _settings.trackingEnabled = wasEnabled;
    if (_settings.severalTalkersPreset == TrackingSettings::kSeveralTalkersOff) {
        _severalShown = false;
        _soloSince = 0;
    }
    if (settings.trackingEnabled != wasEnabled) {
        Decisions switched = setEnabled(settings.trackingEnabled, now);
        out.insert(out.end(), switched.begin(), switched.end());
    } else if (settings.delayTriggerTimeMs != oldDelay) {
        scheduleTriggerCheck(now);
    }
    return out;
}

void TalkerTracker::setDevice(int deviceType, int brand) {
    _deviceType = deviceType;
    _brand = brand;
    // The preset-link page turns every light off for a new array.
    std::fill(std::begin(_lit), std::end(_lit), false);
}

// ---- the link --------------------------------------------------------------------------------

TalkerTracker::Decisions TalkerTracker::connectAttempt(qint64 now) {
    Decisions out = resetPositions(now);
    _linked = false;
    return out;
}

TalkerTracker::Decisions TalkerTracker::linkUp(qint64) {
    _linked = true;
    return {};
}

TalkerTracker::Decisions TalkerTracker::linkDown(qint64 now) {
    Decisions out;
    setArmed(false, now);
    _triggerDueMs = 0;
    _azimuthTalker = 0;
    if (_brand == ArrayDevices::Nureva) {
        // The states stay (the array's own silence report clears them), but a lit position
        // would claim a talker nobody can know about any more.
        for (const auto& entry : _states) light(out, entry.first, false);
    } else {
        Decisions reset = resetPositions(now);
        out.insert(out.end(), reset.begin(), reset.end());
    }
    _linked = false;
    updateTalker(out);
    return out;
}

TalkerTracker::Decisions TalkerTracker::resetPositions(qint64) {
    Decisions out;
    _triggerDueMs = 0;
    _azimuthTalker = 0;
    _severalShown = false;
    _soloSince = 0;
    for (auto& [position, state] : _states) {
        state.active = false;
        state.level = 0;
        state.onSince = 0;
        state.offSince = 0;
        light(out, position, false);
    }
    updateTalker(out);
    return out;
}

// ---- small helpers ---------------------------------------------------------------------------

void TalkerTracker::light(Decisions& out, int position, bool on) {
    TrackerDecision d;
    d.kind = Kind::Light;
    d.position = position;
    d.on = on;
    out.push_back(d);
    if (_brand == ArrayDevices::Shure && position >= 1 && position <= PositionMap::kPositionCount)
        _lit[position] = on;
}

void TalkerTracker::azimuth(Decisions& out, int value) {
    TrackerDecision d;
    d.kind = Kind::Azimuth;
    d.azimuth = value;
    out.push_back(d);
}

std::vector<int> TalkerTracker::positions() const {
    std::vector<int> keys;
    for (const auto& entry : _states) keys.push_back(entry.first);
    return keys;
}

ArrayPositionState TalkerTracker::positionState(int position) const {
    const auto found = _states.find(position);
    return found == _states.end() ? ArrayPositionState{} : found->second;
}

int TalkerTracker::lastPreset(const std::string& camera) const {
    const auto found = _records.find(camera);
    return found == _records.end() ? -1 : found->second.preset;
}

bool TalkerTracker::lastPresetStands(const std::string& camera) const {
    const auto found = _records.find(camera);
    return found != _records.end() && found->second.standing;
}

int TalkerTracker::lastPresetAnyCamera() const {
    int preset = -1;
    qint64 latest = -1;
    for (const auto& [camera, record] : _records) {
        if (record.preset >= 0 && record.timeMs > latest) {
            latest = record.timeMs;
            preset = record.preset;
        }
    }
    return preset;
}

void TalkerTracker::forgetLastPreset() {
    for (auto& entry : _records) entry.second.standing = false;
}

// ---- the cameras -------------------------------------------------------------------------------

namespace {

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

const std::string kNoCameraName;

}  // namespace

void TalkerTracker::setCameras(const std::vector<std::string>& locations) {
    _cameras.clear();
    for (const std::string& location : locations) {
        std::string lower = lowerCase(location);
        if (!lower.empty() && std::find(_cameras.begin(), _cameras.end(), lower) == _cameras.end())
            _cameras.push_back(std::move(lower));
    }
}

void TalkerTracker::setCamera(const std::string& location) {
    setCameras(location.empty() ? std::vector<std::string>{} : std::vector<std::string>{location});
}

const std::string& TalkerTracker::camera() const {
    return _cameras.empty() ? kNoCameraName : _cameras.front();
}

bool TalkerTracker::isConnected(const std::string& location) const {
    return std::find(_cameras.begin(), _cameras.end(), location) != _cameras.end();
}

std::string TalkerTracker::meantCamera(const std::string& linked) const {
    return linked.empty() ? camera() : lowerCase(linked);
}

const char* TalkerTracker::targetCamera(const std::string& linked, std::string& camera) const {
    camera = meantCamera(linked);
    if (camera.empty())
        return TrackerReason::kNoCamera;
    return isConnected(camera) ? nullptr : TrackerReason::kCameraNotConnected;
}

// ---- Shure -----------------------------------------------------------------------------------

void TalkerTracker::applyShurePeak(ArrayPositionState& state, int level, qint64 now) {
    state.level = level;
    if (!state.active)
        return;
    if (level >= 1) {
        if (state.onSince == 0)
            state.onSince = now;
        state.offSince = 0;
    } else if (level == 0) {
        if (state.offSince == 0)
            state.offSince = now;
        state.onSince = 0;
    }
}

TalkerTracker::Decisions TalkerTracker::shure(const ShureEvent& event, qint64 now) {
    Decisions out;
    switch (event.kind) {
        case ShureEvent::AutoCoverage:
            if (event.on != _autoCoverage) {
                // The gates now come from another query that numbers other things (channels
                // or coverage areas): what the old one reported means nothing any more, and a
                // gate it left open would hold a talker forever.
                _autoCoverage = event.on;
                Decisions reset = resetPositions(now);
                out.insert(out.end(), reset.begin(), reset.end());
            }
            break;
        case ShureEvent::Gate:
        case ShureEvent::AreaGate: {
            // In automatic coverage only the coverage areas' gates name positions (the
            // all-channel query then reports just the automix output); otherwise only the
            // channels' gates do. A reply to a query made before the mode changed is the
            // other kind and is ignored.
            if ((event.kind == ShureEvent::AreaGate) != _autoCoverage)
                break;
            ArrayPositionState& state = stateOf(event.channel);
            if (event.on && !state.active) {
                state.active = true;
                light(out, event.channel, true);
            } else if (!event.on && state.active) {
                state.clear();
                state.level = 0;
                light(out, event.channel, false);
            }
            break;
        }
        case ShureEvent::PeakLevel: {
            if (!_autoCoverage && event.channel < 9) {
                const auto found = _states.find(event.channel);
                if (found != _states.end())
                    applyShurePeak(found->second, event.level, now);
            }
            bool talkerPresent = false;
            for (auto& [position, state] : _states) {
                // With automatic coverage the array reports one level for the whole room.
                if (_autoCoverage)
                    applyShurePeak(state, event.level, now);
                if (state.active && state.level > 0) {
                    talkerPresent = true;
                    // A gate that opened while a level was already held has no talking
                    // period yet; it starts now, so the preset waits the full delay.
                    if (state.onSince == 0)
                        state.onSince = now;
                    light(out, position, true);
                } else if (state.active) {
                    if (now - state.offSince >= _settings.delayTriggerTimeMs)
                        light(out, position, false);
                } else {
                    light(out, position, false);
                }
            }
            // The calls follow the lights, so the one open gate is counted as this report
            // left it.
            callDuePresets(out, now);
            scheduleTriggerCheck(now);
            Decisions home = armReturnHome(!talkerPresent, now);
            out.insert(out.end(), home.begin(), home.end());
            break;
        }
    }
    return out;
}

// ---- the azimuth arrays ----------------------------------------------------------------------

bool TalkerTracker::evaluateAzimuthReport(Decisions& out, int position, int azimuthValue, bool talker,
                                          qint64 now) {
    bool talkerPresent = false;
    const int delay = _settings.delayTriggerTimeMs;
    for (auto& [key, state] : _states) {
        if (key != position) {
            state.clear();
            continue;
        }
        if (talker) {
            azimuth(out, azimuthValue);
            if (state.onSince == 0)
                state.onSince = now;
            state.offSince = 0;
            talkerPresent = true;
            _silenceCount = 0;
        } else if (_silenceCount > kSilentReportsBeforeTiming) {
            // The silent period is timed from the first report after the counted ones; the
            // lights go out a little earlier than a talker would trigger, by the time the
            // counted reports already took.
            state.onSince = 0;
            if (state.offSince == 0)
                state.offSince = now;
            if (now - state.offSince >= delay - _silenceCount * 100LL) {
                azimuth(out, kSilentAzimuth);
                // Nureva keeps counting, so every further silent report repeats the 400.
                if (_brand != ArrayDevices::Nureva)
                    _silenceCount = 0;
            }
        } else {
            ++_silenceCount;
        }
    }
    _azimuthTalker = talkerPresent ? position : 0;
    callDuePresets(out, now);
    scheduleTriggerCheck(now);
    return talkerPresent;
}

TalkerTracker::Decisions TalkerTracker::sennheiser(const SennheiserEvent& event, qint64 now) {
    Decisions out;
    if (event.kind == SennheiserEvent::PeakLevel) {
        _currentPeakLevel = event.value;
        return out;
    }
    const int position = _map.positionForAzimuth(_brand, event.value);
    if (position < 1) {
        _azimuthTalker = 0;
        return armReturnHome(true, now);
    }
    ArrayPositionState& state = stateOf(position);
    for (auto& entry : _states) entry.second.level = _currentPeakLevel;
    state.active = true;
    const bool talker = _currentPeakLevel > _settings.sennheiserPeakLevel;
    const bool present = evaluateAzimuthReport(out, position, event.value, talker, now);
    Decisions home = armReturnHome(!present, now);
    out.insert(out.end(), home.begin(), home.end());
    return out;
}

TalkerTracker::Decisions TalkerTracker::yamaha(const YamahaEvent& event, qint64 now) {
    Decisions out;
    if (event.kind != YamahaEvent::BeamDirection)
        return out;
    const int position = _map.positionForAzimuth(_brand, event.phi);
    if (position < 1) {
        _azimuthTalker = 0;
        return armReturnHome(true, now);
    }
    stateOf(position).active = true;
    const bool present = evaluateAzimuthReport(out, position, event.phi, event.voice != 0, now);
    Decisions home = armReturnHome(!present, now);
    out.insert(out.end(), home.begin(), home.end());
    return out;
}

TalkerTracker::Decisions TalkerTracker::nureva(const NurevaReport& report, qint64 now) {
    Decisions out;
    const int position = _map.positionForAzimuth(_brand, report.azimuth);
    if (report.powerLevel > 0 && position > 0) {
        ArrayPositionState& state = stateOf(position);
        state.reportTime = report.timeMs;
        state.level = report.powerLevelInt();
        const bool talker = report.powerLevel > _settings.nurevaBackgroundNoise;
        const bool present = evaluateAzimuthReport(out, position, report.azimuth, talker, now);
        Decisions home = armReturnHome(!present, now);
        out.insert(out.end(), home.begin(), home.end());
        return out;
    }
    _azimuthTalker = 0;
    azimuth(out, kSilentAzimuth);
    Decisions home = armReturnHome(true, now);
    out.insert(out.end(), home.begin(), home.end());
    for (auto& entry : _states) entry.second = ArrayPositionState{};
    return out;
}

// ---- the talker decision ---------------------------------------------------------------------

std::vector<int> TalkerTracker::talkingPositions() const {
    std::vector<int> talking;
    if (_brand == ArrayDevices::Shure) {
        for (const auto& [position, state] : _states) {
            if (state.active && state.level > 0 && state.onSince != 0)
                talking.push_back(position);
        }
    } else if (_azimuthTalker > 0) {
        const auto found = _states.find(_azimuthTalker);
        if (found != _states.end() && found->second.onSince != 0)
            talking.push_back(_azimuthTalker);
    }
    return talking;
}

void TalkerTracker::updateTalker(Decisions& out) {
    // The talker who has talked longest is the one the camera follows first.
    int talker = 0;
    qint64 since = kNever;
    if (_linked) {
        for (const int position : talkingPositions()) {
            const qint64 onSince = _states.at(position).onSince;
            if (onSince < since) {
                since = onSince;
                talker = position;
            }
        }
    }
    if (talker == _talker)
        return;
    _talker = talker;
    TrackerDecision d;
    d.kind = Kind::Talker;
    d.position = talker;
    out.push_back(d);
}

void TalkerTracker::endPauseIfOver(qint64 now) {
    if (_pauseUntilMs != 0 && now >= _pauseUntilMs)
        _pauseUntilMs = 0;
}

bool TalkerTracker::mayAct(qint64 now) {
    if (!_settings.trackingEnabled)
        return false;
    endPauseIfOver(now);
    return _pauseUntilMs == 0;
}

const char* TalkerTracker::notActingReason() const {
    return _settings.trackingEnabled ? TrackerReason::kOperatorPause : TrackerReason::kTrackingOff;
}

bool TalkerTracker::heldAgainst(const std::string& camera, int preset, qint64 now) const {
    // The hold is the room's: a shot on another camera is a switch as much as another preset.
    const int hold = _settings.minimumHoldTimeMs;
    const bool sameShot = preset == _lastCalledPreset && camera == _lastCalledCamera;
    return hold > 0 && _lastCallMs != 0 && preset >= 0 && !sameShot && now - _lastCallMs < hold;
}

TrackerDecision TalkerTracker::action(Kind kind, int position, int preset, const std::string& camera,
                                      const char* reason, qint64 now) const {
    TrackerDecision d;
    d.kind = kind;
    d.position = position;
    d.preset = preset;
    d.camera = camera;
    d.reason = reason;
    d.timeMs = now;
    const auto found = position > 0 ? _states.find(position) : _states.end();
    if (found != _states.end()) {
        if (found->second.onSince != 0)
            d.talkingMs = now - found->second.onSince;
        d.level = found->second.level;
        d.hasLevel = true;
    }
    return d;
}

void TalkerTracker::drop(Decisions& out, Kind what, int position, int preset, const std::string& camera,
                         const char* reason, qint64 now, bool asked) {
    TrackerDecision d = action(Kind::Dropped, position, preset, camera, reason, now);
    d.dropped = what;
    d.asked = asked;
    if (what == Kind::Home) {
        d.logged = _homeDropLogged != reason;
        _homeDropLogged = reason;
    } else {
        // Once per talking period and reason (the several-talkers shot counts as position 0,
        // its period starting when it was first due).
        const int key = what == Kind::Several ? 0 : position;
        const qint64 since = key == 0 ? _severalSince : positionState(position).onSince;
        const auto logged = _dropLogged.find(key);
        d.logged =
            logged == _dropLogged.end() || logged->second.first != since || logged->second.second != reason;
        _dropLogged[key] = {since, reason};
    }
    out.push_back(d);
}

void TalkerTracker::sendPreset(Decisions& out, Kind kind, int preset, int position, const std::string& linked,
                               const char* reason, qint64 now) {
    std::string camera;
    const char* cannot = targetCamera(linked, camera);
    if (cannot == TrackerReason::kCameraNotConnected) {
        // Never on another camera: that one frames another part of the room. The camera may
        // be moved while it is away, so its next call goes out even if it repeats this one.
        _records[camera].standing = false;
        drop(out, kind, position, preset, camera, cannot, now, true);
        return;
    }
    if (cannot || preset < 0) {
        // Nothing goes out, and the next call that can goes out even if it repeats the
        // earlier one: someone may have moved the camera meanwhile.
        forgetLastPreset();
        drop(out, kind, position, preset, camera, cannot ? cannot : reason, now, true);
        return;
    }
    PresetRecord& record = _records[camera];
    if (record.standing && record.preset == preset) {
        drop(out, kind, position, preset, camera, TrackerReason::kSamePreset, now, true);
        return;
    }
    record = PresetRecord{preset, true, now};
    _lastCalledPreset = preset;
    _lastCalledCamera = camera;
    _lastCallMs = now;
    TrackerDecision d = action(kind, position, preset, camera,
                               kind == Kind::Several ? TrackerReason::kSeveralTalkers : reason, now);
    d.asked = true;
    out.push_back(d);
    // Later reports of the same talking period ask again; that the preset stands is no news.
    const int key = kind == Kind::Several ? 0 : position;
    _dropLogged[key] = {key == 0 ? _severalSince : positionState(position).onSince,
                        TrackerReason::kSamePreset};
}

void TalkerTracker::askPreset(Decisions& out, int position, qint64 now) {
    if (_brand != ArrayDevices::Shure) {
        const int preset = _map.presetOf(position);
        sendPreset(out, Kind::Preset, preset, position, _map.cameraOf(position),
                   preset < 0 ? TrackerReason::kNoPreset : TrackerReason::kTriggerDelay, now);
        return;
    }
    // Shure talkers come from the gates: only a single open gate names one position, and its
    // preset is the one called.
    int open = 0;
    int openPosition = 0;
    for (int i = 1; i <= PositionMap::kPositionCount; ++i) {
        if (_lit[i]) {
            ++open;
            openPosition = i;
        }
    }
    if (open != 1 && !_cameras.empty()) {
        // Nothing goes out, and the next call that can goes out even if it repeats the
        // earlier one.
        forgetLastPreset();
        drop(out, Kind::Preset, position, _map.presetOf(position), meantCamera(_map.cameraOf(position)),
             open > 1 ? TrackerReason::kSeveralTalkers : TrackerReason::kNoPreset, now, true);
        return;
    }
    const int named = open == 1 ? openPosition : position;
    const int preset = _map.presetOf(named);
    sendPreset(out, Kind::Preset, preset, position, _map.cameraOf(named),
               preset < 0 ? TrackerReason::kNoPreset : TrackerReason::kTriggerDelay, now);
}

TalkerTracker::Decisions TalkerTracker::callPresetForPosition(int position, qint64 now) {
    Decisions out;
    askPreset(out, position, now);
    return out;
}

void TalkerTracker::callDuePresets(Decisions& out, qint64 now) {
    _blockedUntilMs = 0;
    updateTalker(out);
    const std::vector<int> talking = talkingPositions();
    std::vector<int> due;
    for (const int position : talking) {
        if (now - _states.at(position).onSince >= _settings.delayTriggerTimeMs)
            due.push_back(position);
    }

    // Several talkers (arrays that report several gates at once): while two or more have
    // talked for the delay the camera shows the shot chosen for them; a talker left alone
    // gets the camera back once alone for the delay.
    const int several = _settings.severalTalkersPreset;
    if (_brand == ArrayDevices::Shure && several != TrackingSettings::kSeveralTalkersOff) {
        if (due.size() >= 2) {
            if (!_severalShown)
                _severalSince = now;
            _severalShown = true;
            _soloSince = 0;
            const std::string linked = _settings.severalTalkersCamera.toStdString();
            const std::string meant = meantCamera(linked);
            if (!mayAct(now)) {
                drop(out, Kind::Several, 0, several, meant, notActingReason(), now, false);
                return;
            }
            if (heldAgainst(meant, several, now)) {
                _blockedUntilMs = _lastCallMs + _settings.minimumHoldTimeMs;
                drop(out, Kind::Several, 0, several, meant, TrackerReason::kMinimumHold, now, false);
            } else {
                sendPreset(out, Kind::Several, several, 0, linked, TrackerReason::kSeveralTalkers, now);
            }
            return;
        }
        if (_severalShown) {
            if (talking.empty()) {
                _severalShown = false;
                _soloSince = 0;
            } else if (talking.size() == 1) {
                if (_soloSince == 0)
                    _soloSince = now;
                if (now - _soloSince < _settings.delayTriggerTimeMs) {
                    _blockedUntilMs = _soloSince + _settings.delayTriggerTimeMs;
                    return;
                }
                _severalShown = false;
                _soloSince = 0;
            } else {
                return;
            }
        }
    }

    if (due.empty())
        return;
    if (!mayAct(now)) {
        for (const int position : due)
            drop(out, Kind::Preset, position, _map.presetOf(position), meantCamera(_map.cameraOf(position)),
                 notActingReason(), now, false);
        return;
    }
    for (const int position : due) {
        const std::string meant = meantCamera(_map.cameraOf(position));
        if (heldAgainst(meant, _map.presetOf(position), now)) {
            _blockedUntilMs = _lastCallMs + _settings.minimumHoldTimeMs;
            drop(out, Kind::Preset, position, _map.presetOf(position), meant, TrackerReason::kMinimumHold,
                 now, false);
            continue;
        }
        askPreset(out, position, now);
    }
}

void TalkerTracker::scheduleTriggerCheck(qint64 now) {
    qint64 next = _blockedUntilMs > now ? _blockedUntilMs : kNever;
    for (const int position : talkingPositions()) {
        const qint64 due = _states.at(position).onSince + _settings.delayTriggerTimeMs;
        if (due > now)
            next = std::min(next, due);
    }
    _triggerDueMs = next == kNever ? 0 : next;
}

void TalkerTracker::runTriggerCheck(Decisions& out, qint64 now) {
    if (!_linked) {
        _triggerDueMs = 0;
        return;
    }
    callDuePresets(out, now);
    scheduleTriggerCheck(now);
}

// ---- time --------------------------------------------------------------------------------------

TalkerTracker::Decisions TalkerTracker::checkTalkers(qint64 now) {
    Decisions out;
    runTriggerCheck(out, now);
    return out;
}

qint64 TalkerTracker::nextWakeMs() const {
    qint64 next = kNever;
    for (const qint64 due : {_triggerDueMs, _homeDueMs, _pauseUntilMs}) {
        if (due != 0)
            next = std::min(next, due);
    }
    return next == kNever ? 0 : next;
}

TalkerTracker::Decisions TalkerTracker::tick(qint64 now) {
    Decisions out;
    bool checked = false;
    if (_pauseUntilMs != 0 && now >= _pauseUntilMs) {
        // The talker of the moment is followed again right away.
        _pauseUntilMs = 0;
        runTriggerCheck(out, now);
        checked = true;
    }
    if (_homeDueMs != 0 && now >= _homeDueMs) {
        Decisions home = returnHome(now);
        out.insert(out.end(), home.begin(), home.end());
        // Periodic: the next one a period after this one was due; a late tick does not
        // make up for the ones it missed.
        if (_homeDueMs != 0) {
            _homeDueMs += _homePeriodMs;
            if (_homeDueMs <= now)
                _homeDueMs = now + _homePeriodMs;
        }
    }
    if (!checked && _triggerDueMs != 0 && now >= _triggerDueMs)
        runTriggerCheck(out, now);
    return out;
}

// ---- return home -------------------------------------------------------------------------------

void TalkerTracker::setArmed(bool armed, qint64 now) {
    if (armed && _homeDueMs == 0) {
        // "Off" is -1; a zero period would fire without end.
        if (_settings.backHomeTimeMs <= 0)
            return;
        _homePeriodMs = std::max(_settings.backHomeTimeMs, TrackingSettings::kMinBackHomePeriodMs);
        _homeDueMs = now + _homePeriodMs;
        // A new silence: its return homes are news again.
        _homeLogged = false;
        _homeDropLogged.clear();
    } else if (!armed) {
        _homeDueMs = 0;
    }
}

TalkerTracker::Decisions TalkerTracker::armReturnHome(bool armed, qint64 now) {
    setArmed(armed, now);
    return {};
}

TalkerTracker::Decisions TalkerTracker::returnHome(qint64 now) {
    Decisions out;
    const int homeAction = _settings.backHomeAction;
    if (homeAction != TrackingSettings::kBackHomeToHomePosition &&
        homeAction != TrackingSettings::kBackHomeToPresetZero)
        return out;
    const int preset = homeAction == TrackingSettings::kBackHomeToPresetZero ? 0 : -1;
    const bool all = _settings.backHomeToAllCameras();
    const std::string named = all ? std::string() : _settings.backHomeCameras.toStdString();
    if (!mayAct(now)) {
        drop(out, Kind::Home, 0, preset, named, notActingReason(), now, false);
        return out;
    }
    if (all) {
        if (_cameras.empty()) {
            drop(out, Kind::Home, 0, preset, kNoCameraName, TrackerReason::kNoCamera, now, false);
            return out;
        }
        for (const std::string& camera : _cameras) returnHomeOn(out, camera, preset, now);
    } else {
        std::string camera;
        if (const char* cannot = targetCamera(named, camera)) {
            drop(out, Kind::Home, 0, preset, camera, cannot, now, false);
            return out;
        }
        returnHomeOn(out, camera, preset, now);
    }
    _homeLogged = true;
    return out;
}

void TalkerTracker::returnHomeOn(Decisions& out, const std::string& camera, int preset, qint64 now) {
    TrackerDecision d = action(Kind::Home, 0, preset, camera, TrackerReason::kSilence, now);
    // The first return home of a silence is logged, for each camera it sent home.
    d.logged = !_homeLogged;
    out.push_back(d);
    // The camera shows the room, not the preset called last: whoever talks next is framed
    // again, even at that preset.
    PresetRecord& record = _records[camera];
    record.standing = false;
    if (preset >= 0) {
        record.preset = preset;
        record.timeMs = now;
    }
}

// ---- the operator ------------------------------------------------------------------------------

TalkerTracker::Decisions TalkerTracker::setEnabled(bool on, qint64 now) {
    Decisions out;
    if (on == _settings.trackingEnabled)
        return out;
    _settings.trackingEnabled = on;
    if (on) {
        // The camera may have been moved by hand while tracking was off: the talker's preset
        // goes out again even if tracking called it last, and the talker of the moment is
        // followed at once.
        forgetLastPreset();
        runTriggerCheck(out, now);
    }
    return out;
}

TalkerTracker::Decisions TalkerTracker::pause(int ms, qint64 now) {
    Decisions out;
    if (ms <= 0) {
        if (_pauseUntilMs == 0)
            return out;
        _pauseUntilMs = 0;
        runTriggerCheck(out, now);
        return out;
    }
    endPauseIfOver(now);
    _pauseUntilMs = now + std::min(ms, TrackingSettings::kMaxPauseMs);
    // The operator has the camera: after the pause the talker's preset goes out again even
    // if tracking called it last.
    forgetLastPreset();
    return out;
}

int TalkerTracker::pauseRemainingMs(qint64 now) const {
    if (_pauseUntilMs == 0)
        return 0;
    return static_cast<int>(std::clamp<qint64>(_pauseUntilMs - now, 0, TrackingSettings::kMaxPauseMs));
}

TalkerTracker::Decisions TalkerTracker::operatorCommand(const CameraCommand& command, qint64 now) {
    Decisions out;
    if (!command.movesCamera())
        return out;
    const std::string camera = meantCamera(command.camera.toStdString());
    if (camera.empty()) {
        forgetLastPreset();
    } else {
        PresetRecord& record = _records[camera];
        record.standing = false;
        if (command.isPresetCall()) {
            record.preset = command.value;
            record.timeMs = now;
        }
    }
    const int overrideMs = _settings.manualOverrideTimeMs;
    if (overrideMs > 0) {
        // A longer pause asked for before (by the control interface) is not cut short.
        const int remaining = pauseRemainingMs(now);
        Decisions paused = pause(std::max(remaining, overrideMs), now);
        out.insert(out.end(), paused.begin(), paused.end());
    }
    return out;
}
