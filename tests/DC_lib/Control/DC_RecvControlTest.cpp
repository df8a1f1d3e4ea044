// The control calls of DC_Recv over a recording extension unit: which register and value
// each call sends, and how its result is mapped.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "Control/KXControlChannel.h"
#include "FakeCaptureFilter.h"
#include "KXPlatform.h"
#include "MediaTestSupport.h"
#include "vexsdk.h"

namespace {

// A backend with one camera whose filter is a FakeCaptureFilter over `unit`.
class OneCameraPlatform : public KXPlatform {
public:
    explicit OneCameraPlatform(std::shared_ptr<RecordingExtensionUnit> unit) : _unit(std::move(unit)) {}

    bool usbDevices(std::vector<KXUsbDevice>&) override { return true; }
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override {
        if (deviceClass == KXDeviceClass::Video) {
            out.push_back(FakeCaptureFilter(_unit).device());
        }
        return true;
    }
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice&) override {
        return std::make_unique<FakeCaptureFilter>(_unit);
    }
    bool resolveVideoInput(const KXVideoInputRequest&, KXCaptureInput&) override { return false; }
    bool resolveAudioInput(const std::string&, KXCaptureInput&) override { return false; }
    std::unique_ptr<KXHotplugSource> openHotplugSource() override { return nullptr; }

private:
    std::shared_ptr<RecordingExtensionUnit> _unit;
};

using Bytes = std::array<uint8_t, 4>;

Bytes payload(uint16_t reg, uint16_t value) {
    return {static_cast<uint8_t>(reg & 0xFF), static_cast<uint8_t>(reg >> 8),
            static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>(value >> 8)};
}

class DC_RecvControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        _unit = std::make_shared<RecordingExtensionUnit>();
        KXSetPlatform(std::make_shared<OneCameraPlatform>(_unit));
        DC_CaptureFormats formats;
        formats.url = _location.get();
        formats.videoDeviceName = _videoName.get();
        formats.sourceType = 0;
        formats.deviceModel = 9;
        _recv = std::make_unique<DC_Recv>(formats);
        _unit->clear();
    }

    void TearDown() override {
        _recv.reset();
        KXSetPlatform(nullptr);
    }

    // The single write a call made.
    void expectOneWrite(const std::function<int()>& call, uint16_t reg, uint16_t value, int expected = 0) {
        _unit->clear();
        EXPECT_EQ(call(), expected);
        auto calls = _unit->calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].query, KXXuQuery::SetCur);
        EXPECT_EQ(calls[0].selector, 5);
        EXPECT_EQ(calls[0].data, payload(reg, value)) << std::hex << "register 0x" << reg;
    }

    std::shared_ptr<RecordingExtensionUnit> _unit;
    MediaSourceText _location{"1&2.4&1&0000"};
    MediaSourceText _videoName{"@device_pnp_\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000"};
    std::unique_ptr<DC_Recv> _recv;
};

}  // namespace

TEST_F(DC_RecvControlTest, EachWriteCallSendsItsRegisterAndValue) {
    DC_Recv& r = *_recv;
    expectOneWrite([&] { return r.setPanUp(); }, 0x27, 0x31);
    expectOneWrite([&] { return r.setPanDown(); }, 0x27, 0x32);
    expectOneWrite([&] { return r.setPanLeft(); }, 0x27, 0x13);
    expectOneWrite([&] { return r.setPanRight(); }, 0x27, 0x23);
    expectOneWrite([&] { return r.setPanUpLeft(); }, 0x27, 0x11);
    expectOneWrite([&] { return r.setPanUpRight(); }, 0x27, 0x21);
    expectOneWrite([&] { return r.setPanDownLeft(); }, 0x27, 0x12);
    expectOneWrite([&] { return r.setPanDownRight(); }, 0x27, 0x22);
    expectOneWrite([&] { return r.setPanStop(20); }, 0x27, 0x33);
    expectOneWrite([&] { return r.setPanSpeed(7); }, 0x28, 7);
    expectOneWrite([&] { return r.setTiltSpeed(24); }, 0x29, 24);
    expectOneWrite([&] { return r.setZoomIn(); }, 0x2A, 0x21);
    expectOneWrite([&] { return r.setZoomOut(); }, 0x2A, 0x31);
    expectOneWrite([&] { return r.setZoomStop(35); }, 0x2A, 0x00);
    expectOneWrite([&] { return r.setAutoFocusMode(1); }, 0xE0, 1);
    expectOneWrite([&] { return r.setRotate(3); }, 0x0B, 3);
    expectOneWrite([&] { return r.callPreset(3); }, 0x1D, 3);
    expectOneWrite([&] { return r.savePreset(9); }, 0x1E, 9);
    expectOneWrite([&] { return r.resetPreset(0); }, 0x1F, 0);
    expectOneWrite([&] { return r.setWhiteBalanceMode(2); }, 0xDA, 2);
    expectOneWrite([&] { return r.setAutoFocusTrigger(); }, 0x25, 0xAA);
    expectOneWrite([&] { return r.setAutoWhitebalanceTrigger(); }, 0x02, 0xAA);
    expectOneWrite([&] { return r.setFactoryResetTrigger(); }, 0x11, 0xAA);
    expectOneWrite([&] { return r.setAutoExposure(21); }, 0x27, 0x31);
    expectOneWrite([&] { return r.setAutoTrackingEnable(1); }, 0x44, 1);
    // Focus moves answer 255 for a write that worked.
    expectOneWrite([&] { return r.setFocusFar(); }, 0x2B, 0x21, 255);
    expectOneWrite([&] { return r.setFocusNear(); }, 0x2B, 0x31, 255);
    expectOneWrite([&] { return r.setFocusStop(); }, 0x2B, 0x00, 255);
}

TEST_F(DC_RecvControlTest, InvertedTiltMirrorsOnlyTheHorizontalHalf) {
    DC_Recv& r = *_recv;
    r.setInvertTilt(true);
    expectOneWrite([&] { return r.setPanLeft(); }, 0x27, 0x23);
    expectOneWrite([&] { return r.setPanRight(); }, 0x27, 0x13);
    expectOneWrite([&] { return r.setPanUpLeft(); }, 0x27, 0x21);
    expectOneWrite([&] { return r.setPanUpRight(); }, 0x27, 0x11);
    expectOneWrite([&] { return r.setPanDownLeft(); }, 0x27, 0x22);
    expectOneWrite([&] { return r.setPanDownRight(); }, 0x27, 0x12);
    expectOneWrite([&] { return r.setPanUp(); }, 0x27, 0x31);
    expectOneWrite([&] { return r.setPanDown(); }, 0x27, 0x32);
    r.setInvertTilt(false);
    expectOneWrite([&] { return r.setPanLeft(); }, 0x27, 0x13);
}

TEST_F(DC_RecvControlTest, FailedWritesMapToEachCallsResult) {
    DC_Recv& r = *_recv;
    _unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_EQ(r.setPanUp(), -1);
    _unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_EQ(r.setFocusNear(), 0);
    _unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_EQ(r.setFocusStop(), 0);
    _unit->failNext(KXXuQuery::SetCur, 1);
    EXPECT_EQ(r.setAutoFocusMode(0), -248);
}

TEST_F(DC_RecvControlTest, HomeReadsMirrorFlipFirst) {
    DC_Recv& r = *_recv;
    EXPECT_EQ(r.setPanHome(), 0);
    auto calls = _unit->calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].data, payload(0, 0x0B));  // select the mirror/flip register
    EXPECT_EQ(calls[1].query, KXXuQuery::GetCur);
    EXPECT_EQ(calls[2].data, payload(0x21, 0xAA));

    // Read and write both fail: still read first, and the failed write gives 255.
    _unit->clear();
    _unit->failNext(KXXuQuery::SetCur, 2);
    EXPECT_EQ(r.setPanHome(), 255);
    calls = _unit->calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].data, payload(0, 0x0B));
    EXPECT_EQ(calls[1].data, payload(0x21, 0xAA));
}

TEST_F(DC_RecvControlTest, ReadsStoreTheLowByte) {
    DC_Recv& r = *_recv;
    _unit->setRegister(0xE0, 0x0101);
    int mode = -1;
    EXPECT_EQ(r.getAutoFocusMode(&mode), 0);
    EXPECT_EQ(mode, 1);
    _unit->setRegister(0x0B, 0x0302);
    int rotate = -1;
    EXPECT_EQ(r.getRotate(&rotate), 0);
    EXPECT_EQ(rotate, 2);
    _unit->failNext(KXXuQuery::GetCur, 1);
    EXPECT_EQ(r.getRotate(&rotate), -1);
}

TEST_F(DC_RecvControlTest, CallsThatSendNothing) {
    DC_Recv& r = *_recv;
    int value = 42;
    EXPECT_EQ(r.getWhiteBalance(&value), 0);
    EXPECT_EQ(r.getAutoWhitebalance(&value), 0);
    EXPECT_EQ(value, 42);
    EXPECT_EQ(r.getFWVersion(static_cast<DC_FWVersion*>(nullptr)), 0);
    EXPECT_TRUE(r.isGetFilter());
    r.setInvertTilt(true);
    EXPECT_TRUE(_unit->calls().empty());

    // The firmware text is read but the call always answers -255.
    for (uint16_t reg = 0x80; reg <= 0x86; ++reg) {
        _unit->setRegister(reg, static_cast<uint16_t>('A' + (reg - 0x80)));
    }
    char text[16] = {0};
    int length = 0;
    EXPECT_EQ(r.getFWVersion(text, &length), -255);
    EXPECT_STREQ(text, "ABCDEFG ");
    EXPECT_EQ(length, 9);
}

// What outlives the receiver (the face tracker's current controller) answers failures; a
// network receiver has no camera of its own and never reaches the gone one.
TEST_F(DC_RecvControlTest, AfterTheReceiverIsGoneWritesAnswer65535AndReads1) {
    std::shared_ptr<KXIUSBControl> current = KXCurrentController();
    ASSERT_NE(current, nullptr);
    _recv.reset();
    ASSERT_EQ(KXCurrentController(), current);
    _unit->clear();
    EXPECT_EQ(current->panUp(), 65535);
    EXPECT_EQ(current->callPreset(2), 65535);
    int rotate = 0;
    EXPECT_EQ(current->readCommand(40, &rotate), -1);
    EXPECT_FALSE(current->panHome());

    MediaSourceText url("tcp://127.0.0.1:9");
    DC_Recv other(MediaNetworkFormats(url));
    EXPECT_EQ(other.setPanUp(), -252);
    EXPECT_EQ(other.setPanHome(), -1);
    EXPECT_TRUE(_unit->calls().empty());
}

// A camera without the extension unit: home sends nothing and must not report success.
TEST(DC_RecvControlWithoutUnit, HomeOnACameraWithoutTheUnitAnswers255) {
    KXSetPlatform(std::make_shared<OneCameraPlatform>(nullptr));
    MediaSourceText location("1&2.4&1&0000");
    MediaSourceText videoName("@device_pnp_\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000");
    DC_CaptureFormats formats;
    formats.url = location.get();
    formats.videoDeviceName = videoName.get();
    formats.sourceType = 0;
    formats.deviceModel = 9;
    {
        DC_Recv recv(formats);
        EXPECT_EQ(recv.setPanHome(), 255);
        EXPECT_EQ(recv.setPanUp(), 65535);  // the other writes show the missing unit as before
    }
    KXSetPlatform(nullptr);
}

// A network receiver going away does not cut the local receiver's channel.
TEST_F(DC_RecvControlTest, NetworkReceiverLeavesTheChannelAlone) {
    {
        MediaSourceText url("tcp://127.0.0.1:9");
        DC_Recv network(MediaNetworkFormats(url));
    }
    expectOneWrite([&] { return _recv->setPanUp(); }, 0x27, 0x31);
}
