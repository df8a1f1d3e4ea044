// Several local receivers in one process: each one's control calls reach its own camera,
// whatever order the receivers were built or destroyed in, from whichever thread, and while
// the USB search asks cameras for their model.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Control/KXControlChannel.h"
#include "SeveralCamerasPlatform.h"
#include "vexsdk.h"

namespace {

constexpr const char* kLocationA = "1&2.4&1&0000";
constexpr const char* kLocationB = "1&2.5&1&0000";

uint16_t writtenValue(const RecordingExtensionUnit::Call& call) {
    return static_cast<uint16_t>(call.data[2] | (call.data[3] << 8));
}
uint16_t writtenRegister(const RecordingExtensionUnit::Call& call) {
    return static_cast<uint16_t>(call.data[0] | (call.data[1] << 8));
}

// Every get in the journal follows the select of the same thread, with nothing between.
void expectReadsUnsplit(const std::vector<RecordingExtensionUnit::Call>& calls) {
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].query != KXXuQuery::GetCur) {
            continue;
        }
        ASSERT_GT(i, 0u);
        EXPECT_EQ(calls[i - 1].query, KXXuQuery::SetCur) << "at " << i;
        EXPECT_EQ(writtenRegister(calls[i - 1]), 0) << "at " << i;
        EXPECT_EQ(calls[i - 1].thread, calls[i].thread) << "at " << i;
    }
}

void setModelName(RecordingExtensionUnit& unit, const std::string& name) {
    for (size_t i = 0; i < 24; ++i) {
        unit.setRegister(static_cast<uint16_t>(0x01A8 + i), i < name.size() ? name[i] : 0);
    }
}

class SeveralReceiversControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto platform = std::make_shared<SeveralCamerasPlatform>();
        unitA = platform->addCamera(kLocationA);
        unitB = platform->addCamera(kLocationB);
        KXSetPlatform(platform);
    }
    void TearDown() override { KXSetPlatform(nullptr); }

    std::shared_ptr<RecordingExtensionUnit> unitA;
    std::shared_ptr<RecordingExtensionUnit> unitB;
    RoomCamera cameraA{kLocationA};
    RoomCamera cameraB{kLocationB};
};

}  // namespace

TEST_F(SeveralReceiversControlTest, EachReceiverSteersItsOwnCameraWhicheverWasBuiltLast) {
    for (bool aFirst : {true, false}) {
        SCOPED_TRACE(aFirst ? "A built first" : "B built first");
        std::unique_ptr<DC_Recv> a;
        std::unique_ptr<DC_Recv> b;
        if (aFirst) {
            a = std::make_unique<DC_Recv>(cameraA.formats());
            b = std::make_unique<DC_Recv>(cameraB.formats());
        } else {
            b = std::make_unique<DC_Recv>(cameraB.formats());
            a = std::make_unique<DC_Recv>(cameraA.formats());
        }
        unitA->clear();
        unitB->clear();
        unitA->setRegister(0x0B, 1);
        unitB->setRegister(0x0B, 2);

        EXPECT_EQ(a->callPreset(3), 0);
        EXPECT_EQ(b->callPreset(7), 0);
        EXPECT_EQ(a->setPanLeft(), 0);
        int rotateA = -1;
        int rotateB = -1;
        EXPECT_EQ(a->getRotate(&rotateA), 0);
        EXPECT_EQ(b->getRotate(&rotateB), 0);
        EXPECT_EQ(rotateA, 1);
        EXPECT_EQ(rotateB, 2);

        auto callsA = unitA->calls();
        auto callsB = unitB->calls();
        ASSERT_EQ(callsA.size(), 4u);  // preset, left, select, get
        ASSERT_EQ(callsB.size(), 3u);  // preset, select, get
        EXPECT_EQ(writtenRegister(callsA[0]), 0x1D);
        EXPECT_EQ(writtenValue(callsA[0]), 3);
        EXPECT_EQ(writtenValue(callsA[1]), 0x13);
        EXPECT_EQ(writtenRegister(callsB[0]), 0x1D);
        EXPECT_EQ(writtenValue(callsB[0]), 7);

        // The invert flag is the receiver's own as well.
        b->setInvertTilt(true);
        unitA->clear();
        unitB->clear();
        a->setPanLeft();
        b->setPanLeft();
        ASSERT_EQ(unitA->calls().size(), 1u);
        ASSERT_EQ(unitB->calls().size(), 1u);
        EXPECT_EQ(writtenValue(unitA->calls()[0]), 0x13);
        EXPECT_EQ(writtenValue(unitB->calls()[0]), 0x23);
    }
}

// Two threads drive two receivers, each with its own numbered sequence of presets and a
// read of its own register: every write lands in its camera's journal, in order, and no
// read picks up the other camera's value.
TEST_F(SeveralReceiversControlTest, InterleavedCallsFromTwoThreadsReachTheRightCameraInOrder) {
    DC_Recv a(cameraA.formats());
    DC_Recv b(cameraB.formats());
    unitA->clear();
    unitB->clear();
    unitA->setRegister(0xE0, 1);
    unitB->setRegister(0xE0, 0);

    constexpr int kRounds = 400;
    std::atomic<int> wrong{0};
    auto drive = [&wrong](DC_Recv& recv, int base, int expectedMode) {
        for (int i = 0; i < kRounds; ++i) {
            if (recv.savePreset(base + i) != 0) {
                ++wrong;
            }
            int mode = -1;
            if (recv.getAutoFocusMode(&mode) != 0 || mode != expectedMode) {
                ++wrong;
            }
        }
    };
    std::thread ta(drive, std::ref(a), 0x100, 1);
    std::thread tb(drive, std::ref(b), 0x200, 0);
    ta.join();
    tb.join();
    EXPECT_EQ(wrong.load(), 0);

    for (auto* unit : {unitA.get(), unitB.get()}) {
        const int base = unit == unitA.get() ? 0x100 : 0x200;
        SCOPED_TRACE(base);
        auto calls = unit->calls();
        ASSERT_EQ(calls.size(), static_cast<size_t>(3 * kRounds));
        expectReadsUnsplit(calls);
        int next = base;
        for (const auto& call : calls) {
            if (call.query == KXXuQuery::SetCur && writtenRegister(call) == 0x1E) {
                EXPECT_EQ(writtenValue(call), next);
                ++next;
            }
        }
        EXPECT_EQ(next, base + kRounds);
    }
}

// A receiver destroyed while the other one is steered from another thread: the survivor's
// commands keep reaching its camera, and the destroyed one's camera hears nothing more.
TEST_F(SeveralReceiversControlTest, DestroyingOneLeavesTheOtherSteered) {
    for (bool destroyNewest : {true, false}) {
        SCOPED_TRACE(destroyNewest ? "the newest goes" : "the oldest goes");
        auto survivorUnit = destroyNewest ? unitA : unitB;
        auto goneUnit = destroyNewest ? unitB : unitA;
        auto a = std::make_unique<DC_Recv>(cameraA.formats());
        auto b = std::make_unique<DC_Recv>(cameraB.formats());
        DC_Recv& survivor = destroyNewest ? *a : *b;
        std::unique_ptr<DC_Recv>& gone = destroyNewest ? b : a;
        unitA->clear();
        unitB->clear();

        std::atomic<bool> stop{false};
        std::atomic<int> sent{0};
        std::atomic<int> failed{0};
        std::thread steer([&] {
            while (!stop.load()) {
                (survivor.setPanRight() == 0 ? sent : failed)++;
                (survivor.setPanStop(20) == 0 ? sent : failed)++;
            }
        });
        ASSERT_TRUE(MediaWaitFor([&] { return sent.load() > 50; }, 5000));
        gone.reset();
        const int sentAtDestruction = sent.load();
        const size_t goneCalls = goneUnit->calls().size();
        EXPECT_TRUE(MediaWaitFor([&] { return sent.load() > sentAtDestruction + 200; }, 5000));
        stop = true;
        steer.join();

        EXPECT_EQ(failed.load(), 0);
        EXPECT_EQ(survivorUnit->calls().size(), static_cast<size_t>(sent.load()));
        EXPECT_EQ(goneUnit->calls().size(), goneCalls);

        // The face tracker's current controller is the survivor's camera now.
        auto current = KXCurrentController();
        ASSERT_NE(current, nullptr);
        survivorUnit->clear();
        EXPECT_EQ(current->panUp(), 0);
        EXPECT_EQ(survivorUnit->calls().size(), 1u);
    }
}

// The USB search's model query opens its own controller on a camera a receiver already
// steers: both keep working, and neither splits the other's read.
TEST_F(SeveralReceiversControlTest, ModelQueriesWhileReceiversAreSteered) {
    setModelName(*unitA, "ZM-150");
    setModelName(*unitB, "ZM-310");
    DC_Recv a(cameraA.formats());
    DC_Recv b(cameraB.formats());
    unitA->clear();
    unitB->clear();
    unitA->setRegister(0x0B, 3);
    unitB->setRegister(0x0B, 1);

    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    auto steer = [&](DC_Recv& recv, int expected) {
        while (!stop.load()) {
            int rotate = -1;
            if (recv.getRotate(&rotate) != 0 || rotate != expected || recv.setZoomIn() != 0) {
                ++wrong;
            }
        }
    };
    std::thread ta(steer, std::ref(a), 3);
    std::thread tb(steer, std::ref(b), 1);
    for (int i = 0; i < 20; ++i) {
        DC_Find find;
        find.initialize();  // no audio devices here: false, and the model query works anyway
        char name[25] = "";
        EXPECT_EQ(find.getDevModel(kLocationA, name), 11);
        EXPECT_STREQ(name, "ZM-150");
        EXPECT_EQ(find.getDevModel(kLocationB, name), 11);
        EXPECT_STREQ(name, "ZM-310");
    }
    stop = true;
    ta.join();
    tb.join();

    EXPECT_EQ(wrong.load(), 0);
    expectReadsUnsplit(unitA->calls());
    expectReadsUnsplit(unitB->calls());
    // And the receivers still own their channels after the queries' controllers are gone.
    unitA->clear();
    EXPECT_EQ(a.callPreset(1), 0);
    EXPECT_EQ(unitA->calls().size(), 1u);
}
