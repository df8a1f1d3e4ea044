// The talker tracker on its own: a simulated room (who talks when), reported every 100 ms in
// each brand's own replies and run through that brand's parser, a manual clock, and the
// decisions the tracker made. Each case is a script of what happens in the room and the
// actions it must lead to, at the moment they must happen.
#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <cctype>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ArrayDevices.h"
#include "TalkerTracker.h"

namespace {

using Kind = TrackerDecision::Kind;
namespace R = TrackerReason;

constexpr qint64 kStart = 1'700'000'000'000;  // the clock's origin (ms since the epoch)
constexpr qint64 kPollMs = 100;
const std::string kCamera = "1&2.4&1&0000";

// ---- the room ------------------------------------------------------------------------------

// What happens in the room at a moment (ms after the start).
struct Step {
    enum What {
        Talk,            // `positions` talk from now on (an empty list: silence)
        Operator,        // the operator sends `command`
        TrackingSwitch,  // `on`
        Pause,           // a pause of `ms` (0 ends one)
        Camera,          // `on`: the camera is connected, or not
    };
    qint64 at;
    What what;
    std::vector<int> positions = {};
    bool on = false;
    int ms = 0;
    CameraCommand command = {};
};

Step talk(qint64 at, std::vector<int> positions) {
    return Step{at, Step::Talk, std::move(positions)};
}
Step silence(qint64 at) {
    return Step{at, Step::Talk, {}};
}
Step operatorPreset(qint64 at, int preset) {
    Step s{at, Step::Operator};
    s.command = CameraCommand::preset(preset, CameraCommand::Origin::Panel);
    return s;
}
Step operatorCommand(qint64 at, CameraCommand command) {
    Step s{at, Step::Operator};
    s.command = command;
    return s;
}
Step tracking(qint64 at, bool on) {
    Step s{at, Step::TrackingSwitch};
    s.on = on;
    return s;
}
Step pauseFor(qint64 at, int ms) {
    Step s{at, Step::Pause};
    s.ms = ms;
    return s;
}
Step camera(qint64 at, bool on) {
    Step s{at, Step::Camera};
    s.on = on;
    return s;
}

// One action the tracker took, as the log and the camera see it.
struct Action {
    qint64 at;  // ms after the start
    Kind kind;
    int position;
    int preset;
    std::string reason;
    Kind dropped = Kind::Preset;

    bool operator==(const Action& o) const {
        return at == o.at && kind == o.kind && position == o.position && preset == o.preset &&
               reason == o.reason && (kind != Kind::Dropped || dropped == o.dropped);
    }
};

std::string kindName(Kind kind) {
    switch (kind) {
        case Kind::Preset:
            return "preset";
        case Kind::Home:
            return "home";
        case Kind::Several:
            return "several";
        case Kind::Dropped:
            return "dropped";
        default:
            return "view";
    }
}

std::ostream& operator<<(std::ostream& out, const Action& a) {
    out << "{" << a.at << " ms, " << kindName(a.kind);
    if (a.kind == Kind::Dropped)
        out << " " << kindName(a.dropped);
    return out << ", position " << a.position << ", preset " << a.preset << ", \"" << a.reason << "\"}";
}

Action preset(qint64 at, int position, int preset) {
    return {at, Kind::Preset, position, preset, R::kTriggerDelay};
}
Action home(qint64 at, int preset = -1) {
    return {at, Kind::Home, 0, preset, R::kSilence};
}
Action several(qint64 at, int preset) {
    return {at, Kind::Several, 0, preset, R::kSeveralTalkers};
}
Action dropped(qint64 at, int position, int preset, const char* reason, Kind what = Kind::Preset) {
    return {at, Kind::Dropped, position, preset, reason, what};
}

// The array: it reports the room once per poll, in its own protocol, through its own parser.
class Room {
public:
    Room(int brand, const TrackingSettings& settings) : _brand(brand) {
        _tracker.setDevice(brand == ArrayDevices::Shure        ? 0
                           : brand == ArrayDevices::Sennheiser ? 3
                           : brand == ArrayDevices::Nureva     ? 4
                                                               : 5,
                           brand);
        _tracker.setSettings(settings, kStart);
        _tracker.setCamera(kCamera);
        collect(_tracker.connectAttempt(kStart));
        collect(_tracker.linkUp(kStart));
    }

    TalkerTracker& tracker() { return _tracker; }
    const std::vector<Action>& actions() const { return _actions; }
    // Every logged action, and every decision of a kind.
    std::vector<Action> logged() const { return _logged; }
    const std::vector<TrackerDecision>& all() const { return _all; }

    // Runs the script up to `until` ms after the start: polls every 100 ms, the script's steps
    // at their moments, and the tracker's own wake-ups in between.
    void run(const std::vector<Step>& steps, qint64 until) {
        std::vector<Step> pending = steps;
        std::stable_sort(pending.begin(), pending.end(),
                         [](const Step& a, const Step& b) { return a.at < b.at; });
        std::size_t next = 0;
        qint64 t = _now - kStart;
        qint64 nextPoll = (t / kPollMs) * kPollMs;
        if (nextPoll < t)
            nextPoll += kPollMs;
        while (true) {
            qint64 when = nextPoll;
            if (next < pending.size())
                when = std::min(when, pending[next].at);
            if (const qint64 wake = _tracker.nextWakeMs(); wake != 0)
                when = std::min(when, wake - kStart);
            if (when > until)
                break;
            _now = kStart + std::max(when, t);
            t = _now - kStart;
            while (next < pending.size() && pending[next].at <= t) apply(pending[next++]);
            if (t >= nextPoll) {
                report();
                nextPoll += kPollMs;
            }
            if (const qint64 wake = _tracker.nextWakeMs(); wake != 0 && wake <= _now)
                collect(_tracker.tick(_now));
        }
        _now = kStart + until;
    }

    // The preset-link page's zone for a position, and a point inside it.
    int azimuthOf(int position) const {
        const AzimuthRange zone = _tracker.positionMap().zone(_brand, position);
        return (zone.start + zone.end) / 2;
    }

private:
    void apply(const Step& step) {
        switch (step.what) {
            case Step::Talk:
                _talking = step.positions;
                break;
            case Step::Operator:
                collect(_tracker.operatorCommand(step.command, _now));
                break;
            case Step::TrackingSwitch:
                collect(_tracker.setEnabled(step.on, _now));
                break;
            case Step::Pause:
                collect(_tracker.pause(step.ms, _now));
                break;
            case Step::Camera:
                _tracker.setCamera(step.on ? kCamera : std::string());
                break;
        }
    }

    void report() {
        std::ostringstream text;
        switch (_brand) {
            case ArrayDevices::Shure: {
                for (int p = 1; p <= 8; ++p) {
                    const bool on = std::count(_talking.begin(), _talking.end(), p) > 0;
                    text << "< REP " << p << " AUTOMIX_GATE_OUT_EXT_SIG " << (on ? "ON" : "OFF") << " >";
                }
                for (int p = 1; p <= 8; ++p) {
                    const bool on = std::count(_talking.begin(), _talking.end(), p) > 0;
                    text << "< REP " << p << " AUDIO_IN_PEAK_LVL " << (on ? 30 : 0) << " >";
                }
                for (const ShureEvent& e : ShureProtocol::parse(text.str())) collect(_tracker.shure(e, _now));
                break;
            }
            case ArrayDevices::Sennheiser: {
                // The beam stays where the last talker was when the room falls silent.
                if (!_talking.empty())
                    _lastPosition = _talking.front();
                text << "{\"m\":{\"in1\":{\"peak\":" << (_talking.empty() ? -80 : -20) << "}}}\r\n"
                     << "{\"m\":{\"beam\":{\"azimuth\":" << azimuthOf(_lastPosition) << "}}}\r\n";
                for (const SennheiserEvent& e : SennheiserProtocol::parse(text.str()))
                    collect(_tracker.sennheiser(e, _now));
                break;
            }
            case ArrayDevices::Nureva: {
                if (!_talking.empty())
                    _lastPosition = _talking.front();
                text << R"({"body":{"powerLevel":)" << (_talking.empty() ? 0 : 80) << R"(,"azimuth":)"
                     << azimuthOf(_lastPosition) << "}}";
                if (const auto r = NurevaProtocol::parse(QString::fromStdString(text.str())))
                    collect(_tracker.nureva(*r, _now));
                break;
            }
            case ArrayDevices::Yamaha: {
                if (!_talking.empty())
                    _lastPosition = _talking.front();
                const int raw = (azimuthOf(_lastPosition) + 180) / 2;
                char hex[8];
                std::snprintf(hex, sizeof hex, "%02x", raw);
                text << "NOTIFY mtr RM:BeamDirection raw " << hex << " 3c " << (_talking.empty() ? 0 : 1)
                     << "\n";
                for (const YamahaEvent& e : YamahaProtocol::parse(text.str()))
                    collect(_tracker.yamaha(e, _now));
                break;
            }
        }
    }

    void collect(const TalkerTracker::Decisions& decisions) {
        for (const TrackerDecision& d : decisions) {
            // The views' decisions carry no time of their own: they happen now.
            _all.push_back(d);
            if (_all.back().timeMs == 0)
                _all.back().timeMs = _now;
            if (!d.isAction())
                continue;
            Action a{d.timeMs - kStart, d.kind, d.position, d.preset, d.reason, d.dropped};
            if (d.kind != Kind::Dropped)
                _actions.push_back(a);
            if (d.logged)
                _logged.push_back(a);
        }
    }

    int _brand;
    TalkerTracker _tracker;
    qint64 _now = kStart;
    std::vector<int> _talking;
    int _lastPosition = 1;
    std::vector<Action> _actions;  // what went to the camera
    std::vector<Action> _logged;   // what the decision log got
    std::vector<TrackerDecision> _all;
};

// ---- the cases -----------------------------------------------------------------------------

struct Case {
    Case(const char* name, std::function<void(TrackingSettings&)> settings, std::vector<Step> steps,
         qint64 until, std::vector<Action> sent, std::vector<Action> logged = {}, bool shureOnly = false)
        : name(name),
          settings(std::move(settings)),
          steps(std::move(steps)),
          until(until),
          sent(std::move(sent)),
          logged(std::move(logged)),
          shureOnly(shureOnly) {}

    const char* name;
    std::function<void(TrackingSettings&)> settings;
    std::vector<Step> steps;
    qint64 until;
    std::vector<Action> sent;    // what reaches the camera, in order
    std::vector<Action> logged;  // the decision log; empty: the same as `sent`
    bool shureOnly;
};

TrackingSettings base() {
    TrackingSettings s;
    s.delayTriggerTimeMs = 1500;
    s.backHomeTimeMs = 4000;
    s.manualOverrideTimeMs = 30000;
    return s;
}

std::vector<Case> cases() {
    using D = CameraCommand::Direction;
    return {
        {"a talker is framed once the trigger delay is over, and only once",
         [](TrackingSettings&) {},
         {talk(0, {3})},
         6000,
         {preset(1500, 3, 3)}},
        {"a talker who stops before the delay is not framed",
         [](TrackingSettings&) {},
         {talk(0, {3}), silence(1200)},
         2600,
         {}},
        {"the talker moves: the new position's preset after its own delay",
         [](TrackingSettings&) {},
         {talk(0, {2}), talk(3000, {6})},
         6000,
         {preset(1500, 2, 2), preset(4500, 6, 6)}},
        {"silence sends the camera home after the return-home time, and again every period",
         [](TrackingSettings&) {},
         {talk(0, {3}), silence(2000)},
         10100,
         {preset(1500, 3, 3), home(6000), home(10000)},
         {preset(1500, 3, 3), home(6000)}},
        {"home may be preset 0",
         [](TrackingSettings& s) { s.backHomeAction = TrackingSettings::kBackHomeToPresetZero; },
         {talk(0, {3}), silence(2000)},
         6100,
         {preset(1500, 3, 3), home(6000, 0)}},
        {"return home off never sends the camera home",
         [](TrackingSettings& s) { s.backHomeTimeMs = TrackingSettings::kBackHomeOff; },
         {talk(0, {3}), silence(2000)},
         20000,
         {preset(1500, 3, 3)}},
        {"a talker who comes back after home is framed again",
         [](TrackingSettings&) {},
         {talk(0, {3}), silence(2000), talk(7000, {3})},
         9000,
         {preset(1500, 3, 3), home(6000), preset(8500, 3, 3)}},
        {"a second position linked to the same preset calls nothing new",
         [](TrackingSettings& s) { s.backHomeTimeMs = TrackingSettings::kBackHomeOff; },
         {talk(0, {3}), talk(2000, {4})},
         4000,
         {preset(1500, 3, 3)},
         {preset(1500, 3, 3), dropped(3500, 4, 3, R::kSamePreset)}},
        {"minimum hold: the next talker waits until the hold is over",
         [](TrackingSettings& s) { s.minimumHoldTimeMs = 3000; },
         {talk(0, {2}), talk(1600, {6})},
         5000,
         {preset(1500, 2, 2), preset(4500, 6, 6)},
         {preset(1500, 2, 2), dropped(3100, 6, 6, R::kMinimumHold), preset(4500, 6, 6)}},
        {"several talkers get the wide shot; the one left alone is followed after the delay",
         [](TrackingSettings& s) { s.severalTalkersPreset = 9; },
         {talk(0, {2, 6}), talk(3000, {6})},
         6000,
         {several(1500, 9), preset(4500, 6, 6)},
         {},
         true},
        {"several talkers without a shot of their own: nothing is called",
         [](TrackingSettings&) {},
         {talk(0, {2, 6})},
         3000,
         {},
         {dropped(1500, 2, 2, R::kSeveralTalkers), dropped(1500, 6, 6, R::kSeveralTalkers)},
         true},
        {"when one of two open gates closes, the other talker's preset goes out",
         [](TrackingSettings&) {},
         {talk(0, {2, 6}), talk(2000, {6})},
         2500,
         {preset(2000, 6, 6)},
         {dropped(1500, 2, 2, R::kSeveralTalkers), dropped(1500, 6, 6, R::kSeveralTalkers),
          preset(2000, 6, 6)},
         true},
        {"an operator's command pauses tracking; the talker is followed again after the pause",
         [](TrackingSettings&) {},
         {talk(0, {3}), operatorPreset(1000, 5)},
         32000,
         {preset(31000, 3, 3)},
         {dropped(1500, 3, 3, R::kOperatorPause), preset(31000, 3, 3)}},
        {"after the pause the talker's preset goes out even if tracking called it before",
         [](TrackingSettings&) {},
         {talk(0, {3}), operatorCommand(2000, CameraCommand::panTilt(D::Left, CameraCommand::Origin::Panel))},
         33000,
         {preset(1500, 3, 3), preset(32000, 3, 3)},
         {preset(1500, 3, 3), dropped(2000, 3, 3, R::kOperatorPause), preset(32000, 3, 3)}},
        {"without an override time the operator does not pause, but the next call goes out",
         [](TrackingSettings& s) { s.manualOverrideTimeMs = 0; },
         {talk(0, {3}), operatorPreset(2000, 5)},
         2500,
         {preset(1500, 3, 3), preset(2000, 3, 3)}},
        {"a picture setting is no operator's move",
         [](TrackingSettings&) {},
         {talk(0, {3}), operatorCommand(1000, CameraCommand::make(CameraCommand::Kind::MirrorFlip, 2,
                                                                  CameraCommand::Origin::Panel))},
         2000,
         {preset(1500, 3, 3)}},
        {"a long pause is not cut short by an operator's command",
         [](TrackingSettings&) {},
         {pauseFor(0, 60000), talk(100, {3}), operatorPreset(1000, 5)},
         61000,
         {preset(60000, 3, 3)},
         {dropped(1600, 3, 3, R::kOperatorPause), preset(60000, 3, 3)}},
        {"tracking off calls nothing and sends nothing home; on again follows the talker at once",
         [](TrackingSettings&) {},
         {tracking(0, false), talk(0, {3}), tracking(3000, true)},
         3500,
         {preset(3000, 3, 3)},
         {dropped(1500, 3, 3, R::kTrackingOff), preset(3000, 3, 3)}},
        {"tracking off holds return home too",
         [](TrackingSettings&) {},
         {talk(0, {3}), silence(2000), tracking(2500, false)},
         10100,
         {preset(1500, 3, 3)},
         {preset(1500, 3, 3), dropped(6000, 0, -1, R::kTrackingOff, Kind::Home)}},
        {"no camera: nothing goes out; once one is there the talker is framed",
         [](TrackingSettings&) {},
         {camera(0, false), talk(0, {3}), camera(2000, true)},
         2500,
         {preset(2000, 3, 3)},
         {dropped(1500, 3, 3, R::kNoCamera), preset(2000, 3, 3)}},
        {"a position set to Off never moves the camera",
         [](TrackingSettings&) {},
         {talk(0, {7})},
         3000,
         {},
         {dropped(1500, 7, -1, R::kNoPreset)}},
    };
}

struct Scenario {
    Case c;
    int brand;
};

std::string brandName(int brand);

void PrintTo(const Scenario& s, std::ostream* out) {
    *out << brandName(s.brand) << ": " << s.c.name;
}

std::string brandName(int brand) {
    switch (brand) {
        case ArrayDevices::Shure:
            return "Shure";
        case ArrayDevices::Sennheiser:
            return "Sennheiser";
        case ArrayDevices::Nureva:
            return "Nureva";
        default:
            return "Yamaha";
    }
}

std::vector<Scenario> scenarios() {
    std::vector<Scenario> out;
    for (const Case& c : cases()) {
        for (int brand :
             {ArrayDevices::Shure, ArrayDevices::Sennheiser, ArrayDevices::Nureva, ArrayDevices::Yamaha}) {
            if (c.shureOnly && brand != ArrayDevices::Shure)
                continue;
            out.push_back({c, brand});
        }
    }
    return out;
}

class TrackerRules : public ::testing::TestWithParam<Scenario> {};

TEST_P(TrackerRules, ActionsAtTheirMoments) {
    const Scenario& s = GetParam();
    TrackingSettings settings = base();
    s.c.settings(settings);
    Room room(s.brand, settings);
    PositionMap map;
    map.setPreset(4, 3);  // two positions share a preset
    map.setPreset(7, PositionMap::kOff);
    room.tracker().setPositionMap(map);
    room.run(s.c.steps, s.c.until);
    EXPECT_EQ(room.actions(), s.c.sent);
    EXPECT_EQ(room.logged(), s.c.logged.empty() ? s.c.sent : s.c.logged);
}

INSTANTIATE_TEST_SUITE_P(EveryBrand, TrackerRules, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             // The brand and the case's first words (the whole sentence is
                             // printed with a failure).
                             std::string words;
                             int count = 0;
                             for (const char* c = info.param.c.name; *c && count < 6; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) {
                                     words += *c;
                                 } else if (!words.empty() && words.back() != '_') {
                                     words += '_';
                                     ++count;
                                 }
                             }
                             return brandName(info.param.brand) + "_" + std::to_string(info.index) + "_" +
                                    words;
                         });

// ---- rules that need a closer look --------------------------------------------------------

std::vector<TrackerDecision> ofKind(const std::vector<TrackerDecision>& all, Kind kind) {
    std::vector<TrackerDecision> out;
    for (const TrackerDecision& d : all)
        if (d.kind == kind)
            out.push_back(d);
    return out;
}

TEST(TrackerDetails, ShureGateWithoutLevelKeepsItsLightForTheDelay) {
    TalkerTracker tracker;
    tracker.setDevice(0, ArrayDevices::Shure);
    tracker.setSettings(base(), kStart);
    tracker.linkUp(kStart);
    auto feed = [&](const std::string& text, qint64 at) {
        TalkerTracker::Decisions out;
        for (const ShureEvent& e : ShureProtocol::parse(text)) {
            TalkerTracker::Decisions d = tracker.shure(e, kStart + at);
            out.insert(out.end(), d.begin(), d.end());
        }
        return ofKind(out, Kind::Light);
    };
    auto lit = feed("< REP 2 AUTOMIX_GATE_OUT_EXT_SIG ON >< REP 2 AUDIO_IN_PEAK_LVL 30 >", 0);
    ASSERT_FALSE(lit.empty());
    EXPECT_TRUE(lit.back().on);
    // Quiet with the gate open: the light holds until the quiet has lasted the delay.
    EXPECT_TRUE(feed("< REP 2 AUDIO_IN_PEAK_LVL 000 >", 100).empty());
    EXPECT_TRUE(feed("< REP 2 AUDIO_IN_PEAK_LVL 0 >", 1599).empty());
    lit = feed("< REP 2 AUDIO_IN_PEAK_LVL 0 >", 1600);
    ASSERT_EQ(lit.size(), 1u);
    EXPECT_FALSE(lit[0].on);
    // A channel past the positions: its peak changes nothing while automatic coverage is off.
    feed("< REP 9 AUTOMIX_GATE_OUT_EXT_SIG ON >< REP 9 AUDIO_IN_PEAK_LVL 40 >", 1700);
    EXPECT_EQ(tracker.positionState(9).level, 0);
}

TEST(TrackerDetails, AzimuthSilenceCountsFiveReportsThenTimesTheRest) {
    // Sennheiser, delay 1500: replies 1-6 only count; the seventh starts the silent period;
    // the lights go out with the first reply at least 900 ms later.
    Room room(ArrayDevices::Sennheiser, base());
    room.run({talk(0, {3}), silence(100)}, 3000);
    std::vector<qint64> silentAt;
    for (const TrackerDecision& d : ofKind(room.all(), Kind::Azimuth))
        if (d.azimuth == TalkerTracker::kSilentAzimuth)
            silentAt.push_back(d.timeMs - kStart);
    ASSERT_FALSE(silentAt.empty());
    // Silent reports from 100 ms: six counted (100-600), the seventh at 700 starts the period,
    // 900 ms later is 1600.
    EXPECT_EQ(silentAt.front(), 1600);
}

TEST(TrackerDetails, NurevaPowerZeroWipesEveryState) {
    Room room(ArrayDevices::Nureva, base());
    room.run({talk(0, {5}), silence(300)}, 400);
    for (int position : room.tracker().positions()) {
        const ArrayPositionState s = room.tracker().positionState(position);
        EXPECT_FALSE(s.active || s.level || s.onSince || s.offSince || s.reportTime);
    }
    EXPECT_TRUE(room.tracker().isReturnHomeArmed());
}

TEST(TrackerDetails, RepeatedDropsAreLoggedOncePerTalkingPeriod) {
    TrackingSettings settings = base();
    Room room(ArrayDevices::Shure, settings);
    room.run({tracking(0, false), talk(0, {3}), silence(3000), talk(4000, {3})}, 6000);
    // Every report after the delay asks again; the log hears of each talking period once.
    std::size_t drops = 0;
    for (const TrackerDecision& d : room.all())
        if (d.kind == Kind::Dropped)
            ++drops;
    EXPECT_GT(drops, 10u);
    EXPECT_EQ(room.logged(), (std::vector<Action>{dropped(1500, 3, 3, R::kTrackingOff),
                                                  dropped(5500, 3, 3, R::kTrackingOff)}));
}

TEST(TrackerDetails, LinkDownForgetsTheRoomAndStopsTheCountdown) {
    for (int brand : {ArrayDevices::Shure, ArrayDevices::Nureva}) {
        Room room(brand, base());
        room.run({talk(0, {3})}, 500);
        EXPECT_EQ(room.tracker().talker(), 3);
        TalkerTracker::Decisions down = room.tracker().linkDown(kStart + 500);
        // Every light goes out; only a Nureva link keeps the states (its own silence report
        // clears them).
        for (const TrackerDecision& d : ofKind(down, Kind::Light)) EXPECT_FALSE(d.on);
        EXPECT_EQ(room.tracker().positionState(3).onSince != 0, brand == ArrayDevices::Nureva);
        EXPECT_EQ(room.tracker().talker(), 0);
        EXPECT_EQ(room.tracker().nextWakeMs(), 0);

        // A countdown running when the link goes is stopped.
        room.tracker().linkUp(kStart + 600);
        room.run({silence(600)}, 1000);
        EXPECT_TRUE(room.tracker().isReturnHomeArmed());
        room.tracker().linkDown(kStart + 1000);
        EXPECT_FALSE(room.tracker().isReturnHomeArmed());
        EXPECT_EQ(room.tracker().nextWakeMs(), 0);
    }
}

TEST(TrackerDetails, TheTalkerIsWhoTalkedLongest) {
    Room room(ArrayDevices::Shure, base());
    room.run({talk(0, {6}), talk(500, {6, 2})}, 1000);
    EXPECT_EQ(room.tracker().talker(), 6);
    const auto talkers = ofKind(room.all(), Kind::Talker);
    ASSERT_EQ(talkers.size(), 1u);
    EXPECT_EQ(talkers[0].position, 6);
}

TEST(TrackerDetails, LoggedActionsCarryWhatTheTrackerSaw) {
    Room room(ArrayDevices::Shure, base());
    room.run({talk(0, {3})}, 1600);
    const std::vector<TrackerDecision> presets = ofKind(room.all(), Kind::Preset);
    ASSERT_EQ(presets.size(), 1u);
    EXPECT_EQ(presets[0].camera, kCamera);
    EXPECT_EQ(presets[0].talkingMs, 1500);
    EXPECT_EQ(presets[0].level, 30);
    EXPECT_TRUE(presets[0].hasLevel);
    EXPECT_EQ(room.tracker().lastPreset(kCamera), 3);
    EXPECT_TRUE(room.tracker().lastPresetStands(kCamera));
}

TEST(TrackerDetails, ReturnHomeClearsThePresetCalledLastButStateKeepsIt) {
    Room room(ArrayDevices::Sennheiser, base());
    room.run({talk(0, {3}), silence(2000)}, 6100);
    EXPECT_FALSE(room.tracker().lastPresetStands(kCamera));
    // The control interface's "lastPreset" is what the camera was last asked for.
    EXPECT_EQ(room.tracker().lastPresetAnyCamera(), 3);
}

TEST(TrackerDetails, WakesOnlyWhenSomethingIsDue) {
    TalkerTracker tracker;
    tracker.setDevice(0, ArrayDevices::Shure);
    tracker.setSettings(base(), kStart);
    EXPECT_EQ(tracker.nextWakeMs(), 0);
    tracker.linkUp(kStart);
    for (const ShureEvent& e :
         ShureProtocol::parse("< REP 1 AUTOMIX_GATE_OUT_EXT_SIG ON >< REP 1 AUDIO_IN_PEAK_LVL 9 >"))
        tracker.shure(e, kStart);
    EXPECT_EQ(tracker.nextWakeMs(), kStart + 1500);
    // A late wake-up makes the call then; nothing is left due afterwards.
    tracker.tick(kStart + 1700);
    EXPECT_EQ(tracker.nextWakeMs(), 0);
    // Unlinked, a due check clears itself instead of waking forever.
    tracker.pause(1000, kStart + 1700);
    tracker.linkDown(kStart + 1700);
    tracker.tick(kStart + 2700);
    EXPECT_EQ(tracker.nextWakeMs(), 0);
}

// ---- several cameras -------------------------------------------------------------------------

// Positions 1-4 on camera A, 5-8 on camera B; both connected, A first in the list.
const std::string kCameraA = "1&2.4&1&0000";
const std::string kCameraB = "1&2.5&1&0000";

struct Shot {
    qint64 at;
    Kind kind;
    int preset;
    std::string camera;
    std::string reason;  // drops only

    bool operator==(const Shot& o) const {
        return at == o.at && kind == o.kind && preset == o.preset && camera == o.camera && reason == o.reason;
    }
};

std::ostream& operator<<(std::ostream& out, const Shot& s) {
    return out << "{" << s.at << " ms, " << kindName(s.kind) << " " << s.preset << " on '" << s.camera << "' "
               << s.reason << "}";
}

class TwoCameraRoom : public Room {
public:
    TwoCameraRoom(int brand, const TrackingSettings& settings,
                  std::vector<std::string> connected = {kCameraA, kCameraB})
        : Room(brand, settings) {
        PositionMap map = tracker().positionMap();
        // Spelled as a hand-edited file might: links are compared without case.
        for (int p = 1; p <= 8; ++p) map.setCamera(p, p <= 4 ? "1&2.4&1&0000" : "1&2.5&1&0000");
        tracker().setPositionMap(map);
        tracker().setCameras(connected);
    }

    // What went to the cameras (drops: what the log got), in order.
    std::vector<Shot> shots(bool drops = false) const {
        std::vector<Shot> out;
        for (const TrackerDecision& d : all()) {
            if (!d.isAction() || (d.kind == Kind::Dropped) != drops || (drops && !d.logged))
                continue;
            out.push_back({d.timeMs - kStart, d.kind == Kind::Dropped ? d.dropped : d.kind, d.preset,
                           d.camera, drops ? d.reason : ""});
        }
        return out;
    }
};

TEST(SeveralCameras, EachPositionMovesItsOwnCameraAndEachCameraKeepsItsLastPreset) {
    for (const int brand : {ArrayDevices::Shure, ArrayDevices::Sennheiser, ArrayDevices::Nureva}) {
        SCOPED_TRACE(brand);
        TrackingSettings settings = base();
        settings.backHomeTimeMs = TrackingSettings::kBackHomeOff;
        TwoCameraRoom room(brand, settings);
        // 2 on A, 6 on B, then 2 again: A still shows preset 2 (B's call did not clear it).
        room.run({talk(0, {2}), talk(3000, {6}), talk(6000, {2}), talk(9000, {7})}, 11000);
        EXPECT_EQ(room.shots(), (std::vector<Shot>{{1500, Kind::Preset, 2, kCameraA, ""},
                                                   {4500, Kind::Preset, 6, kCameraB, ""},
                                                   {10500, Kind::Preset, 7, kCameraB, ""}}));
        const std::vector<Shot> drops = room.shots(true);
        ASSERT_EQ(drops.size(), 1u);
        EXPECT_EQ(drops[0], (Shot{7500, Kind::Preset, 2, kCameraA, R::kSamePreset}));
        EXPECT_EQ(room.tracker().lastPreset(kCameraA), 2);
        EXPECT_EQ(room.tracker().lastPreset(kCameraB), 7);
    }
}

TEST(SeveralCameras, ACallForACameraThatIsNotConnectedIsDroppedNeverSentToAnother) {
    TrackingSettings settings = base();
    settings.backHomeTimeMs = TrackingSettings::kBackHomeOff;
    TwoCameraRoom room(ArrayDevices::Sennheiser, settings, {kCameraA});
    PositionMap map = room.tracker().positionMap();
    map.setCamera(3, "");  // no camera named: the first connected one
    room.tracker().setPositionMap(map);
    room.run({talk(0, {6}), talk(3000, {3})}, 5000);
    EXPECT_EQ(room.shots(), (std::vector<Shot>{{4500, Kind::Preset, 3, kCameraA, ""}}));
    // Logged once for the talking period, naming the camera it was meant for.
    EXPECT_EQ(room.shots(true),
              (std::vector<Shot>{{1500, Kind::Preset, 6, kCameraB, R::kCameraNotConnected}}));

    // B arrives: the next talker there is framed, even at the preset dropped before.
    room.tracker().setCameras({kCameraA, kCameraB});
    room.run({talk(5000, {6})}, 7000);
    EXPECT_EQ(room.shots().back(), (Shot{6500, Kind::Preset, 6, kCameraB, ""}));
}

TEST(SeveralCameras, ReturnHomeSendsEveryConnectedCameraOrTheOneNamed) {
    struct {
        const char* cameras;
        std::vector<Shot> sent;
        std::vector<Shot> dropped;
    } const runs[] = {
        {"all", {{6000, Kind::Home, -1, kCameraA, ""}, {6000, Kind::Home, -1, kCameraB, ""}}, {}},
        {"1&2.5&1&0000", {{6000, Kind::Home, -1, kCameraB, ""}}, {}},
        {"9&9&1&0000", {}, {{6000, Kind::Home, -1, "9&9&1&0000", R::kCameraNotConnected}}},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.cameras);
        TrackingSettings settings = base();
        settings.backHomeCameras = QString::fromLatin1(run.cameras);
        TwoCameraRoom room(ArrayDevices::Sennheiser, settings);
        room.run({talk(0, {3}), silence(2000)}, 6100);
        std::vector<Shot> sent = room.shots();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.front(), (Shot{1500, Kind::Preset, 3, kCameraA, ""}));
        sent.erase(sent.begin());
        EXPECT_EQ(sent, run.sent);
        EXPECT_EQ(room.shots(true), run.dropped);
    }
}

TEST(SeveralCameras, TheSeveralTalkersShotAndTheHoldBelongToTheRoom) {
    // Several talkers go to the camera the settings name; the minimum hold keeps a call on
    // another camera waiting as it keeps another preset waiting.
    TrackingSettings settings = base();
    settings.backHomeTimeMs = TrackingSettings::kBackHomeOff;
    settings.severalTalkersPreset = 9;
    settings.severalTalkersCamera = QString::fromStdString(kCameraB);
    TwoCameraRoom room(ArrayDevices::Shure, settings);
    room.run({talk(0, {2, 7})}, 2000);
    EXPECT_EQ(room.shots(), (std::vector<Shot>{{1500, Kind::Several, 9, kCameraB, ""}}));

    settings.severalTalkersPreset = TrackingSettings::kSeveralTalkersOff;
    settings.minimumHoldTimeMs = 5000;
    TwoCameraRoom held(ArrayDevices::Sennheiser, settings);
    held.run({talk(0, {2}), talk(2000, {6})}, 7000);
    EXPECT_EQ(held.shots(), (std::vector<Shot>{{1500, Kind::Preset, 2, kCameraA, ""},
                                               {6500, Kind::Preset, 6, kCameraB, ""}}));
    EXPECT_EQ(held.shots(true), (std::vector<Shot>{{3500, Kind::Preset, 6, kCameraB, R::kMinimumHold}}));
}

TEST(SeveralCameras, AnOperatorsMoveClearsOnlyTheCameraItMoved) {
    TrackingSettings settings = base();
    settings.backHomeTimeMs = TrackingSettings::kBackHomeOff;
    settings.manualOverrideTimeMs = 0;
    TwoCameraRoom room(ArrayDevices::Sennheiser, settings);
    CameraCommand moveB = CameraCommand::panTilt(CameraCommand::Direction::Left, CameraCommand::Origin::Panel,
                                                 QStringLiteral("1&2.5&1&0000"));
    room.run({talk(0, {2}), talk(2000, {6}), silence(3800), operatorCommand(4000, moveB), talk(5000, {2}),
              talk(8000, {6})},
             10000);
    EXPECT_TRUE(room.tracker().lastPresetStands(kCameraB));
    EXPECT_EQ(room.shots(), (std::vector<Shot>{{1500, Kind::Preset, 2, kCameraA, ""},
                                               {3500, Kind::Preset, 6, kCameraB, ""},
                                               {9500, Kind::Preset, 6, kCameraB, ""}}));
    EXPECT_EQ(room.shots(true), (std::vector<Shot>{{6500, Kind::Preset, 2, kCameraA, R::kSamePreset}}));
}

}  // namespace
