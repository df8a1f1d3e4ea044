#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <string>
#include <vector>

#include "FakeSimulator.h"
#include "KXJson.h"
#include "Platform/sim/KXSimPlatform.h"

namespace {

const std::string kPath = FakeSimulator::devicePathFor("1d4d", "6009", "1&2.4&1&0000");

class SimBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeSimulator::Camera camera;
        camera.devicePath = kPath;
        camera.capabilities.push_back(FakeSimulator::Capability{});
        sim.addCamera(camera);
        KXJson usb;
        usb.set("instance_id", "USB\\VID_1D4D&PID_6009&MI_00\\1&2.4&1&0000");
        usb.set("hardware_ids", KXJson(KXJson::Array{"USB\\VID_1D4D&PID_6009&REV_0100&MI_00", 7}));
        usb.set("friendly_name", "ZM-150 Camera");
        sim.addUsbDevice(usb);
        sim.addUsbDevice(KXJson("not an object"));
    }

    // The extension unit of the one simulated camera.
    static std::shared_ptr<KXExtensionUnit> unitOf(KXSimPlatform& platform) {
        std::vector<KXCaptureDevice> devices;
        if (!platform.captureDevices(KXDeviceClass::Video, devices) || devices.size() != 1) {
            return nullptr;
        }
        auto filter = platform.bindFilter(devices[0]);
        return std::dynamic_pointer_cast<KXExtensionUnit>(
            filter->queryInterface(KXControlInterfaceKind::ExtensionUnit).interface);
    }

    FakeSimulator sim;
};

TEST_F(SimBackendTest, RecordsMissingMembersAsUnreadableAndSkipsMalformedEntries) {
    KXSimPlatform platform(sim.socketPath(), 1000);
    std::vector<KXUsbDevice> usb;
    ASSERT_TRUE(platform.usbDevices(usb));
    ASSERT_EQ(usb.size(), 1u);
    EXPECT_EQ(usb[0].hardwareIds, std::vector<std::string>{"USB\\VID_1D4D&PID_6009&REV_0100&MI_00"});
    EXPECT_EQ(usb[0].friendlyName, "ZM-150 Camera");
    EXPECT_FALSE(usb[0].description);
    EXPECT_FALSE(usb[0].locationInformation);
    EXPECT_FALSE(usb[0].locationPaths);

    auto bad = KXJson::parse(R"({"friendly_name":"x","capabilities":[{"width":-5,"height":1e300,)"
                             R"("min_interval":"fast","max_interval":-1},3]})");
    ASSERT_TRUE(bad);
    auto device = KXSimPlatform::parseCaptureDevice(*bad, KXDeviceClass::Video);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->videoCapabilities.size(), 1u);
    EXPECT_EQ(device->videoCapabilities[0].width, 0);
    EXPECT_EQ(device->videoCapabilities[0].height, 0);
    EXPECT_EQ(device->videoCapabilities[0].minIntervalHns, 0);
    EXPECT_EQ(device->videoCapabilities[0].maxIntervalHns, 0);
    EXPECT_FALSE(device->devicePath);
}

TEST_F(SimBackendTest, ExtensionUnitRequestsCarryHexPayloadsBothWays) {
    KXSimPlatform platform(sim.socketPath(), 1000);
    auto unit = unitOf(platform);
    ASSERT_NE(unit, nullptr);

    uint8_t write[4] = {0x27, 0x00, 0x13, 0x00};
    EXPECT_EQ(unit->query(KXXuQuery::SetCur, 5, write), 0);
    uint8_t select[4] = {0x00, 0x00, 0x27, 0x00};
    EXPECT_EQ(unit->query(KXXuQuery::SetCur, 5, select), 0);
    uint8_t answer[4] = {0, 0, 0, 0};
    EXPECT_EQ(unit->query(KXXuQuery::GetCur, 5, answer), 0);
    EXPECT_EQ(answer[2], 0x13);

    auto journal = sim.journal();
    ASSERT_GE(journal.size(), 4u);
    const KXJson& request = journal[journal.size() - 3];
    EXPECT_EQ(request["op"].asString(), "xu");
    EXPECT_EQ(request["device_path"].asString(), kPath);
    EXPECT_EQ(request["query"].asString(), "set_cur");
    EXPECT_EQ(request["selector"].asInt(), 5);
    EXPECT_EQ(request["data"].asString(), "27001300");
    EXPECT_EQ(journal.back()["query"].asString(), "get_cur");
    EXPECT_EQ(journal.back()["data"].asString(), "00000000");
}

TEST_F(SimBackendTest, EveryKindOfBrokenAnswerIsAFailedCall) {
    KXSimPlatform platform(sim.socketPath(), 300);
    auto unit = unitOf(platform);
    ASSERT_NE(unit, nullptr);
    uint8_t data[4] = {0, 0, 0, 0};

    for (auto fault : {FakeSimulator::Fault::Error, FakeSimulator::Fault::Garbage,
                       FakeSimulator::Fault::Stall, FakeSimulator::Fault::Close}) {
        sim.setFault("usb_devices", fault);
        sim.setFault("xu", fault);
        std::vector<KXUsbDevice> usb;
        EXPECT_FALSE(platform.usbDevices(usb)) << static_cast<int>(fault);
        EXPECT_EQ(unit->query(KXXuQuery::GetCur, 5, data), -1) << static_cast<int>(fault);
    }
    // A fault can start after a number of good answers.
    sim.setFault("xu", FakeSimulator::Fault::None);
    sim.setFault("capture_devices", FakeSimulator::Fault::Error, 1);
    std::vector<KXCaptureDevice> devices;
    EXPECT_TRUE(platform.captureDevices(KXDeviceClass::Video, devices));
    EXPECT_FALSE(platform.captureDevices(KXDeviceClass::Video, devices));
}

TEST_F(SimBackendTest, AbsentSimulatorHasNoDevicesAndNoChannel) {
    KXSimPlatform platform("/tmp/no-such-vexsim-socket", 300);
    std::vector<KXUsbDevice> usb;
    std::vector<KXCaptureDevice> devices;
    EXPECT_TRUE(platform.usbDevices(usb));
    EXPECT_TRUE(platform.captureDevices(KXDeviceClass::Video, devices));
    EXPECT_TRUE(usb.empty());
    EXPECT_TRUE(devices.empty());
    EXPECT_EQ(platform.openHotplugSource(), nullptr);

    KXCaptureDevice ghost;
    ghost.devicePath = kPath;
    ghost.interfaces = {"extension_unit"};
    auto filter = platform.bindFilter(ghost);
    auto unit = std::dynamic_pointer_cast<KXExtensionUnit>(
        filter->queryInterface(KXControlInterfaceKind::ExtensionUnit).interface);
    ASSERT_NE(unit, nullptr);
    uint8_t data[4] = {0, 0, 0, 0};
    EXPECT_EQ(unit->query(KXXuQuery::SetCur, 5, data), -1);
    EXPECT_EQ(filter->queryInterface(KXControlInterfaceKind::CameraControl).interface, nullptr);
}

bool waitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

TEST_F(SimBackendTest, WatchTurnsEventLinesIntoBroadcastRecords) {
    KXSimPlatform platform(sim.socketPath(), 1000);
    auto source = platform.openHotplugSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(sim.waitForWatchers(1, 2000));

    FakeSimulator::Camera second;
    second.devicePath = FakeSimulator::devicePathFor("1d4d", "6009", "1&3&1&0000");
    sim.addCamera(second, true);
    sim.removeCamera(kPath, true);

    std::vector<KXHotplugEvent> events;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (events.size() < 2 && std::chrono::steady_clock::now() < deadline) {
        if (waitReadable(source->fd(), 100)) {
            ASSERT_TRUE(source->readEvents(events));
        }
    }
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, KXHotplugEvent::Kind::Arrival);
    EXPECT_EQ(events[0].name, second.devicePath);
    EXPECT_EQ(events[0].deviceType, 5);
    EXPECT_EQ(events[0].classGuid, "{65E8773D-8F56-11D0-A3B9-00A0C9223196}");
    EXPECT_EQ(events[1].kind, KXHotplugEvent::Kind::Removal);
    EXPECT_EQ(events[1].name, kPath);

    // Nothing pending: reading returns at once with nothing.
    std::vector<KXHotplugEvent> none;
    EXPECT_TRUE(source->readEvents(none));
    EXPECT_TRUE(none.empty());
}

TEST_F(SimBackendTest, WatchSkipsGarbageLinesAndDropsAnEndlessOne) {
    KXSimPlatform platform(sim.socketPath(), 1000);
    auto source = platform.openHotplugSource();
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(sim.waitForWatchers(1, 2000));

    sim.sendToWatchers("not json at all");
    sim.sendToWatchers(R"({"event":"wobble","name":"x"})");
    sim.announce("arrival", kPath);
    std::vector<KXHotplugEvent> events;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (events.empty() && std::chrono::steady_clock::now() < deadline) {
        if (waitReadable(source->fd(), 100)) {
            ASSERT_TRUE(source->readEvents(events));
        }
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, kPath);

    // A line that never ends must not grow without bound: the source gives up.
    sim.sendToWatchers(std::string(200 * 1024, 'x'));
    bool alive = true;
    deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (alive && std::chrono::steady_clock::now() < deadline) {
        if (waitReadable(source->fd(), 100)) {
            alive = source->readEvents(events);
        }
    }
    EXPECT_FALSE(alive);
    EXPECT_EQ(source->fd(), -1);
}

TEST(Json, ParsesTheProtocolAndRejectsHostileText) {
    auto j =
        KXJson::parse(R"( {"ok":true,"n":-12.5e1,"s":"a\"\\\u00e9\ud83d\ude00","a":[1,[2],{}],"z":null} )");
    ASSERT_TRUE(j);
    EXPECT_TRUE((*j)["ok"].asBool());
    EXPECT_DOUBLE_EQ((*j)["n"].asNumber(), -125.0);
    EXPECT_EQ((*j)["s"].asString(), "a\"\\\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ((*j)["a"].asArray().size(), 3u);
    EXPECT_TRUE((*j)["z"].isNull());
    EXPECT_TRUE((*j)["missing"]["deeper"].isNull());
    EXPECT_EQ((*j)["n"].asInt(7), -125);
    EXPECT_EQ(KXJson(1.5).asInt(7), 7);  // not an integer
    EXPECT_EQ(KXJson::parse(j->dump())->dump(), j->dump());

    for (const char* bad : {"", "{", "{\"a\":}", "[1,]", "{\"a\" 1}", "\"\\x\"", "\"\\ud800\"", "01x", "1.",
                            "-", "tru", "[1] 2", "\"abc", "{\"a\":1,}", "\"\x01\"", "1e999"}) {
        EXPECT_FALSE(KXJson::parse(bad)) << bad;
    }
    std::string deep(100000, '[');
    EXPECT_FALSE(KXJson::parse(deep));  // nesting is bounded, no stack exhaustion
    std::string fine(KXJson::kMaxDepth, '[');
    fine += std::string(KXJson::kMaxDepth, ']');
    EXPECT_TRUE(KXJson::parse(fine));

    KXJson original;
    original.set("k", 1);
    KXJson copy = original;
    copy.set("k", 2);
    EXPECT_EQ(original["k"].asInt(), 1);  // copies never see each other's changes
}

}  // namespace
