// The program switcher: which camera the far end sees, when it cuts, and that it never shows
// a camera on its way to a preset unless told to.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <vector>

#include "ProgramSwitcher.h"
#include "TrackingEngine.h"

namespace {

using Move = ProgramSettings::SameCameraMove;

class ProgramSwitcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        switcher.setClock([this] { return clockMs; });
        QObject::connect(&switcher, &ProgramSwitcher::signal_Cut,
                         [this](const ProgramCut& cut) { cuts.push_back(cut); });
        QObject::connect(&switcher, &ProgramSwitcher::signal_FrozenChanged,
                         [this](bool frozen) { freezes.push_back(frozen); });
    }

    void use(Move move, int delayMs = 700, const QString& wide = QString()) {
        ProgramSettings s;
        s.sameCameraMove = move;
        s.cutDelayMs = delayMs;
        s.wideCamera = wide;
        switcher.setSettings(s);
    }

    // Connects a, b and w (the wide camera) and forgets the start's cut.
    void threeCameras() {
        switcher.setCameras({"a", "b", "w"});
        cuts.clear();
    }

    void advance(qint64 ms) {
        clockMs += ms;
        switcher.runDue();
    }

    qint64 clockMs = 1'000'000;
    ProgramSwitcher switcher;
    std::vector<ProgramCut> cuts;
    std::vector<bool> freezes;
};

TEST_F(ProgramSwitcherTest, TheFirstConnectedCameraIsLiveAndAnUnpluggedOneGivesWayToItsNeighbour) {
    switcher.setCameras({"USB-A", "usb-b"});
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("usb-a"));
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_TRUE(cuts[0].previous.isEmpty());

    switcher.setCameras({"usb-a", "usb-b", "usb-c"});
    ASSERT_TRUE(switcher.setProgram("usb-b").isEmpty());
    // The neighbour after the lost camera, not the first in the list.
    switcher.setCameras({"usb-a", "usb-c"});
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("usb-c"));
    EXPECT_EQ(cuts.back().reason, QStringLiteral("live camera unplugged"));
    // Wrapping round from the end of the list.
    switcher.setCameras({"usb-a"});
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("usb-a"));

    switcher.setCameras({});
    EXPECT_TRUE(switcher.programCamera().isEmpty());
    EXPECT_TRUE(cuts.back().program.isEmpty());
    switcher.setCameras({"usb-b", "usb-a"});
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("usb-b"));
}

TEST_F(ProgramSwitcherTest, AShotOnAnotherCameraCutsOnceItHasHadTheDelay) {
    use(Move::Move, 700);
    threeCameras();
    const qint64 decided = clockMs;
    switcher.shotDecided({"b"}, "trigger delay reached");
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("a"));
    EXPECT_EQ(switcher.pendingCamera(), QStringLiteral("b"));
    advance(699);
    EXPECT_TRUE(cuts.empty());
    advance(1);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].program, QStringLiteral("b"));
    EXPECT_EQ(cuts[0].previous, QStringLiteral("a"));
    EXPECT_EQ(cuts[0].decidedMs, decided);
    EXPECT_EQ(cuts[0].toJson().value("delayMs").toInt(), 700);
    EXPECT_TRUE(cuts[0].reason.contains("trigger delay reached"));
    EXPECT_TRUE(freezes.empty());

    // No delay: at once.
    use(Move::Move, 0);
    switcher.shotDecided({"a"}, "x");
    switcher.shotDecided({"w"}, "x");
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    EXPECT_EQ(switcher.wakeDueMs(), 0);
}

TEST_F(ProgramSwitcherTest, TheNewestDecisionWins) {
    use(Move::Move, 700);
    threeCameras();
    switcher.shotDecided({"b"}, "first");
    advance(500);
    switcher.shotDecided({"w"}, "second");
    advance(300);  // b's time has come, but b is no longer the shot
    EXPECT_TRUE(cuts.empty());
    advance(400);
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].program, QStringLiteral("w"));

    // A shot back on the live camera drops a waiting cut.
    switcher.shotDecided({"a"}, "third");
    switcher.shotDecided({"w"}, "fourth");
    advance(100);
    EXPECT_EQ(switcher.pendingCamera(), QString());
    advance(2000);
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    EXPECT_EQ(cuts.size(), 1u);

    // A waiting cut to a camera that is then unplugged never happens.
    switcher.shotDecided({"b"}, "fifth");
    switcher.setCameras({"a", "w"});
    advance(2000);
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    // Shots on cameras that are not connected are ignored.
    switcher.shotDecided({"zz"}, "sixth");
    EXPECT_EQ(switcher.wakeDueMs(), 0);
}

TEST_F(ProgramSwitcherTest, FreezeHoldsThePictureUntilTheLiveCamerasMoveHasHadItsTime) {
    use(Move::Freeze, 700);
    threeCameras();
    switcher.shotDecided({"a"}, "trigger delay reached");
    EXPECT_TRUE(switcher.isFrozen());
    advance(600);
    // Called again during the move: the freeze lasts from the newest call.
    switcher.shotDecided({"a"}, "again");
    advance(600);
    EXPECT_TRUE(switcher.isFrozen());
    advance(100);
    EXPECT_FALSE(switcher.isFrozen());
    EXPECT_EQ(freezes, (std::vector<bool>{true, false}));
    EXPECT_TRUE(cuts.empty());

    // A shot on another camera during the freeze keeps it frozen until the cut to it.
    switcher.shotDecided({"a"}, "x");
    advance(300);
    switcher.shotDecided({"b"}, "y");
    advance(500);
    EXPECT_TRUE(switcher.isFrozen());
    EXPECT_TRUE(cuts.empty());
    advance(200);
    EXPECT_FALSE(switcher.isFrozen());
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].program, QStringLiteral("b"));

    // The live camera unplugged while frozen: the next one is live and not frozen.
    switcher.shotDecided({"b"}, "z");
    switcher.setCameras({"a", "w"});
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    EXPECT_FALSE(switcher.isFrozen());
}

TEST_F(ProgramSwitcherTest, WideCoversTheMoveAndFallsBackToFreezeWhenItCannot) {
    use(Move::Wide, 700, "W");
    threeCameras();
    switcher.shotDecided({"a"}, "trigger delay reached");
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].program, QStringLiteral("w"));
    EXPECT_FALSE(switcher.isFrozen());
    advance(699);
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    advance(1);
    ASSERT_EQ(cuts.size(), 2u);
    EXPECT_EQ(cuts[1].program, QStringLiteral("a"));
    EXPECT_EQ(cuts[1].previous, QStringLiteral("w"));

    // Every camera sent home at once, the wide one too: nothing can cover, so freeze.
    switcher.shotDecided({"a", "b", "w"}, "silence");
    EXPECT_TRUE(switcher.isFrozen());
    EXPECT_EQ(cuts.size(), 2u);
    advance(700);
    EXPECT_FALSE(switcher.isFrozen());

    // The wide camera unplugged while it covers: the moving camera is back, frozen.
    switcher.shotDecided({"a"}, "x");
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    advance(200);
    switcher.setCameras({"a", "b"});
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("a"));
    EXPECT_TRUE(switcher.isFrozen());
    advance(500);
    EXPECT_FALSE(switcher.isFrozen());

    // No wide camera connected: freeze.
    switcher.shotDecided({"a"}, "y");
    EXPECT_TRUE(switcher.isFrozen());
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("a"));
}

TEST_F(ProgramSwitcherTest, AManualCutIsAtOnceAndEndsWhatWaits) {
    use(Move::Freeze, 700);
    threeCameras();
    EXPECT_FALSE(switcher.setProgram("nowhere").isEmpty());
    EXPECT_FALSE(switcher.setProgram("").isEmpty());
    EXPECT_TRUE(cuts.empty());

    switcher.shotDecided({"a"}, "x");
    switcher.shotDecided({"b"}, "y");
    ASSERT_TRUE(switcher.setProgram(" W ", "program.set").isEmpty());
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    EXPECT_FALSE(switcher.isFrozen());
    ASSERT_EQ(cuts.size(), 1u);
    EXPECT_EQ(cuts[0].reason, QStringLiteral("program.set"));
    advance(2000);
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("w"));
    // The live camera again: no cut, no error.
    EXPECT_TRUE(switcher.setProgram("w").isEmpty());
    EXPECT_EQ(cuts.size(), 1u);
}

TEST_F(ProgramSwitcherTest, TheWakeUpCutsWithoutAnyoneCallingIn) {
    switcher.setClock(nullptr);  // the system's clock and a real timer
    use(Move::Move, 20);
    threeCameras();
    switcher.shotDecided({"b"}, "x");
    QElapsedTimer waited;
    waited.start();
    while (switcher.programCamera() != QStringLiteral("b") && waited.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("b"));
    EXPECT_GE(cuts.at(0).timeMs - cuts.at(0).decidedMs, 20);
}

TEST(ProgramSwitcherTracking, AReturnHomeOfEveryCameraIsOneDecisionOnTheLiveCamera) {
    qint64 clockMs = 5'000'000;
    TrackingEngine engine;
    engine.setClock([&] { return clockMs; });
    engine.setCameras({"a", "b"});
    ProgramSwitcher switcher;
    switcher.setClock([&] { return clockMs; });
    switcher.setCameras({"a", "b"});
    ProgramSettings s;
    s.sameCameraMove = Move::Freeze;
    switcher.setSettings(s);
    std::vector<QStringList> decided;
    QObject::connect(&engine, &TrackingEngine::signal_ShotDecided,
                     [&](const QStringList& cameras, const QString&) { decided.push_back(cameras); });
    QObject::connect(&engine, &TrackingEngine::signal_ShotDecided, &switcher, &ProgramSwitcher::shotDecided);

    engine.returnHomeNow();
    ASSERT_EQ(decided.size(), 1u);
    EXPECT_EQ(decided[0], (QStringList{"a", "b"}));
    // Both went home: the program stays on a and holds its picture, rather than cutting to b.
    EXPECT_EQ(switcher.programCamera(), QStringLiteral("a"));
    EXPECT_TRUE(switcher.isFrozen());
    EXPECT_EQ(switcher.pendingCamera(), QStringLiteral("a"));
}

}  // namespace

#include "DecisionLog.h"

TEST(ProgramSwitcherLog, ACutIsLoggedWithItsCamerasAndTiming) {
    DecisionLog log;
    const qint64 decided = 1'700'000'000'000;
    log.appendCut(
        ProgramCut{"usb-b", "usb-a", "shot on usb-b: trigger delay reached", decided, decided + 700});
    log.appendCut(ProgramCut{"", "usb-b", "no camera connected", decided + 900, decided + 900});
    ASSERT_EQ(log.size(), 2);
    const QJsonObject cut = log.newestFirst().at(1).toObject();
    EXPECT_EQ(cut.value("action").toString(), QStringLiteral("program"));
    EXPECT_EQ(cut.value("camera").toString(), QStringLiteral("usb-b"));
    EXPECT_EQ(cut.value("previous").toString(), QStringLiteral("usb-a"));
    EXPECT_EQ(cut.value("delayMs").toInt(), 700);
    EXPECT_EQ(cut.value("time").toDouble(), double(decided + 700));
    const QString line = DecisionLog::describe(log.entry(1));
    EXPECT_TRUE(line.contains("program: usb-b") && line.contains("was usb-a") && line.contains("700 ms"))
        << line.toStdString();
    // The cut to nothing names no camera and no delay.
    EXPECT_TRUE(log.newestFirst().at(0).toObject().value("camera").isNull());
    const QString none = DecisionLog::describe(log.entry(0));
    EXPECT_TRUE(none.contains("no camera") && !none.contains("ms after")) << none.toStdString();
}
