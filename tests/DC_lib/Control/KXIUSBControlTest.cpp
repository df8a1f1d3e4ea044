#include "Control/KXControlChannel.h"
#include "Control/KXIUSBControl.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "FakeCaptureFilter.h"
#include "KXLog.h"

namespace {

using Bytes = std::array<uint8_t, 4>;

void collectLine(const char* line, void* context) {
    static_cast<std::vector<std::string>*>(context)->push_back(line);
}

class ChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        unit = std::make_shared<RecordingExtensionUnit>();
        filter = std::make_unique<FakeCaptureFilter>(unit);
        KXSetLogSink(collectLine, &log);
    }
    void TearDown() override { KXSetLogSink(nullptr, nullptr); }
    bool logged(const std::string& text) const {
        for (const std::string& l : log) {
            if (l == text) {
                return true;
            }
        }
        return false;
    }

    std::shared_ptr<RecordingExtensionUnit> unit;
    std::unique_ptr<FakeCaptureFilter> filter;
    std::vector<std::string> log;
};

// Must stay first: the process has not made a controller yet.
TEST(ChannelProcessState, NoControllerUntilAReceiverMakesOne) {
    EXPECT_EQ(KXCurrentController(), nullptr);
}

TEST_F(ChannelTest, WritesSendRegisterAndValueLittleEndianWithSelectorFive) {
    KXIUSBControl control;
    ASSERT_EQ(control.initialize(filter.get(), 0), 0);

    EXPECT_EQ(control.writeCommand(24, KXIUSBControl::kDefaultValue), 0);  // right, default value
    EXPECT_EQ(control.callPreset(3), 0);
    EXPECT_EQ(control.panLeft(), 0);
    EXPECT_EQ(control.setPanSpeed(0x12345), 0);  // only the low 16 bits are sent
    EXPECT_TRUE(control.panHome());

    auto calls = unit->calls();
    ASSERT_EQ(calls.size(), 5u);
    for (const auto& c : calls) {
        EXPECT_EQ(c.query, KXXuQuery::SetCur);
        EXPECT_EQ(c.selector, 5);
    }
    EXPECT_EQ(calls[0].data, (Bytes{0x27, 0x00, 0x23, 0x00}));
    EXPECT_EQ(calls[1].data, (Bytes{0x1D, 0x00, 0x03, 0x00}));
    EXPECT_EQ(calls[2].data, (Bytes{0x27, 0x00, 0x13, 0x00}));
    EXPECT_EQ(calls[3].data, (Bytes{0x28, 0x00, 0x45, 0x23}));
    EXPECT_EQ(calls[4].data, (Bytes{0x21, 0x00, 0xAA, 0x00}));
}

TEST_F(ChannelTest, ReadSelectsTheRegisterThenGetsItAndKeepsTheDocumentedBits) {
    KXIUSBControl control;
    ASSERT_EQ(control.initialize(filter.get(), 0), 0);
    unit->setRegister(0x000B, 0x0002);
    unit->setRegister(0x01A8, 0x1234);

    int value = -7;
    EXPECT_EQ(control.readCommand(40, &value), 0);
    EXPECT_EQ(value, 2);
    auto calls = unit->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].query, KXXuQuery::SetCur);
    EXPECT_EQ(calls[0].data, (Bytes{0x00, 0x00, 0x0B, 0x00}));
    EXPECT_EQ(calls[1].query, KXXuQuery::GetCur);
    EXPECT_EQ(calls[1].selector, 5);

    EXPECT_EQ(control.readValue(80, &value), 0);
    EXPECT_EQ(value, 0x34);  // the control reads keep the low 8 bits
    value = static_cast<int>(0xFFFF0000u);
    EXPECT_EQ(control.readModelName(80, &value), 0);
    EXPECT_EQ(value, 0x1234);  // the model-name read keeps 16 bits and clears the rest

    unit->setRegister(0x00E0, 1);
    EXPECT_EQ(control.getFocusMode(&value), 0);
    EXPECT_EQ(value, 1);
}

TEST_F(ChannelTest, ModelWithoutCommandTableAnswersMinus255AndSendsNothing) {
    KXIUSBControl control;
    ASSERT_EQ(control.initialize(filter.get(), 12), 0);
    int value = 99;
    EXPECT_EQ(control.panUp(), -255);
    EXPECT_EQ(control.readCommand(40, &value), -255);
    EXPECT_EQ(value, 99);
    EXPECT_EQ(control.setFocusMode(1), -248);
    char text[16];
    int length = 0;
    EXPECT_EQ(control.getFWVersion(text, &length), -255);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(control.unsupported4(), -255);
    EXPECT_TRUE(unit->calls().empty());
}

TEST_F(ChannelTest, CommandsOutsideTheTableSendNothing) {
    KXIUSBControl control;
    ASSERT_EQ(control.initialize(filter.get(), 0), 0);
    int value = 0;
    EXPECT_EQ(control.sendCommand(104), -255);
    EXPECT_EQ(control.writeCommand(-1, 0), -255);
    EXPECT_EQ(control.readCommand(1000, &value), -255);
    EXPECT_TRUE(unit->calls().empty());
}

TEST_F(ChannelTest, CameraWithoutExtensionUnitBindsButEveryCommandFails) {
    FakeCaptureFilter noUnit(nullptr);
    KXIUSBControl control;
    EXPECT_EQ(control.initialize(&noUnit, 9), 0);
    EXPECT_TRUE(logged("***not support Extension Cmd Camera!!"));
    int value = 5;
    EXPECT_EQ(control.panUp(), 65535);
    EXPECT_FALSE(control.panHome());  // nothing sent is no success
    EXPECT_EQ(control.readCommand(40, &value), -1);
    EXPECT_EQ(value, 5);
    EXPECT_TRUE(logged("gextensionControl is NULL!!"));
    EXPECT_TRUE(logged("gExtensionControl is NULL when read!!"));
}

TEST_F(ChannelTest, InitialisationResultsAndWholeBindingReplacement) {
    KXIUSBControl control;
    EXPECT_EQ(control.initialize(nullptr, 0), -254);
    EXPECT_TRUE(logged("DShow filter is NULL"));

    FakeCaptureFilter broken(unit, -1);
    EXPECT_EQ(control.initialize(&broken, 0), -253);
    EXPECT_TRUE(logged("DShow initialize fail"));

    // Bound to a camera, then re-bound to one without a unit: commands must not keep
    // reaching the first camera.
    ASSERT_EQ(control.initialize(filter.get(), 0), 0);
    EXPECT_EQ(control.panUp(), 0);
    FakeCaptureFilter noUnit(nullptr);
    ASSERT_EQ(control.initialize(&noUnit, 0), 0);
    EXPECT_EQ(control.panUp(), 65535);
    EXPECT_EQ(unit->calls().size(), 1u);
}

TEST_F(ChannelTest, PlatformFailuresGiveTheDocumentedCodes) {
    KXIUSBControl control;
    ASSERT_EQ(control.initialize(filter.get(), 0), 0);
    int value = 0;

    unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_EQ(control.zoomIn(), -1);
    EXPECT_TRUE(logged("Write to ASIC2 fail!!"));

    unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_EQ(control.readCommand(40, &value), -1);
    EXPECT_TRUE(logged("gExtensionControl->KsProperty fail when read!!"));

    unit->failNext(KXXuQuery::GetCur, 1);
    EXPECT_EQ(control.readCommand(40, &value), -1);
    EXPECT_TRUE(logged("ExtenUSBCmdReadFromDevice fail!!"));

    unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_EQ(control.setFocusMode(0), -248);
    EXPECT_EQ(control.setFocusMode(0), 0);
    unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_FALSE(control.panHome());
}

TEST_F(ChannelTest, FirmwareVersionStopsAtTheFirstZeroAndAlwaysAnswersMinus255) {
    KXIUSBControl control;
    ASSERT_EQ(control.initialize(filter.get(), 0), 0);
    const char* version = "KPA1234";
    for (int i = 0; i < 7; ++i) {
        unit->setRegister(static_cast<uint16_t>(0x80 + i), static_cast<uint16_t>(0x4100 | version[i]));
    }
    char text[16];
    int length = 0;
    EXPECT_EQ(control.getFWVersion(text, &length), -255);
    EXPECT_STREQ(text, "KPA1234 ");
    EXPECT_EQ(length, 9);

    unit->setRegister(0x83, 0);
    EXPECT_EQ(control.getFWVersion(text, &length), -255);
    EXPECT_STREQ(text, "KPA ");
    EXPECT_EQ(length, 5);

    unit->failNext(KXXuQuery::GetCur, 1);  // the probe fails: an empty text
    EXPECT_EQ(control.getFWVersion(text, &length), -255);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(length, 1);
}

TEST_F(ChannelTest, ReleasedInterfacesLeaveTheCurrentControllerAnsweringFailures) {
    auto control = std::make_shared<KXIUSBControl>();
    KXSetCurrentController(control);
    ASSERT_EQ(control->initialize(filter.get(), 9), 0);
    EXPECT_EQ(KXCurrentController()->panRight(), 0);

    KXReleaseReceiverController(control);
    ASSERT_EQ(KXCurrentController(), control);
    int value = 0;
    EXPECT_EQ(KXCurrentController()->panRight(), 65535);
    EXPECT_EQ(KXCurrentController()->readCommand(40, &value), -1);
    EXPECT_EQ(unit->calls().size(), 1u);
}

// Initialising (or releasing) one controller never moves another off its camera.
TEST_F(ChannelTest, EachControllerKeepsItsOwnBinding) {
    KXIUSBControl first;
    ASSERT_EQ(first.initialize(filter.get(), 0), 0);

    auto otherUnit = std::make_shared<RecordingExtensionUnit>();
    FakeCaptureFilter other(otherUnit, 0, "1&2.5&1&0000");
    {
        KXIUSBControl query;
        ASSERT_EQ(query.initialize(&other, 0), 0);
        int value = 0;
        EXPECT_EQ(query.readModelName(80, &value), 0);
        EXPECT_EQ(first.panUp(), 0);  // still the first camera
        query.release();
        EXPECT_EQ(query.panUp(), 65535);
    }
    EXPECT_EQ(first.panDown(), 0);
    EXPECT_EQ(unit->calls().size(), 2u);
    EXPECT_EQ(otherUnit->calls().size(), 2u);
}

// Reads and writes from three threads (and a re-binding fourth) must never let another
// request fall between a read's select and its get.
TEST_F(ChannelTest, ConcurrentCommandsNeverSplitARead) {
    auto control = std::make_shared<KXIUSBControl>();
    KXSetCurrentController(control);
    ASSERT_EQ(control->initialize(filter.get(), 0), 0);
    // Each reader reads its own register holding its own value.
    unit->setRegister(0x000B, 0x0001);
    unit->setRegister(0x00E0, 0x0002);
    unit->setRegister(0x01A8, 0x0003);

    constexpr int kRounds = 300;
    std::atomic<int> wrongValues{0};
    auto reader = [&](int command, int expected) {
        for (int i = 0; i < kRounds; ++i) {
            int value = 0;
            auto c = KXCurrentController();
            if (c->readCommand(command, &value) != 0 || value != expected) {
                ++wrongValues;
            }
            c->panLeft();
        }
    };
    std::atomic<bool> stop{false};
    std::thread rebinder([&] {
        while (!stop.load()) {
            control->initialize(filter.get(), 0);
        }
    });
    std::thread a(reader, 40, 1);
    std::thread b(reader, 10, 2);
    std::thread c(reader, 80, 3);
    a.join();
    b.join();
    c.join();
    stop = true;
    rebinder.join();

    EXPECT_EQ(wrongValues.load(), 0);
    auto calls = unit->calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(3 * kRounds * 3));
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].query != KXXuQuery::GetCur) {
            continue;
        }
        ASSERT_GT(i, 0u);
        const auto& select = calls[i - 1];
        EXPECT_EQ(select.query, KXXuQuery::SetCur);
        EXPECT_EQ(select.thread, calls[i].thread);
        EXPECT_EQ(select.data[0], 0);
        EXPECT_EQ(select.data[1], 0);
    }
}

}  // namespace
