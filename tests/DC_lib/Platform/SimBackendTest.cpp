#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <string>
#include <vector>

#include "FakeSimulator.h"
#include "KXJsonLine.h"
#include "Platform/sim/KXSimPlatform.h"
#include "Platform/sim/KXSimProtocol.h"

namespace {

const std::string kPath = FakeSimulator::devicePathFor("1d4d", "6009", "1&2.4&1&0000");

class SimBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        FakeSimulator::Camera camera;
        camera.devicePath = kPath;
        camera.capabilities.push_back(FakeSimulator::Capability{});
        sim.addCamera(camera);
        sim.addUsbDevice({{"instance_id", "USB\\VID_1D4D&PID_6009&MI_00\\1&2.4&1&0000"},
                          {"hardware_ids", kxjson::Json::array({"USB\\VID_1D4D&PID_6009&REV_0100&MI_00", 7})},
                          {"friendly_name", "ZM-150 Camera"},
                          {"description", nullptr},
                          {"location_paths", "not a list"}});
        sim.addUsbDevice("not an object");
        sim.addUsbDevice({{"instance_id", 12}});
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

    auto bad = kxjson::parse(R"({"friendly_name":"x","device_path":["x"],"interfaces":"extension_unit",)"
                             R"("capabilities":[{"width":-5,"height":1e300,"subtype":4,"input":"tcp://x",)"
                             R"("min_interval":"fast","max_interval":-1},3,)"
                             R"({"width":1920.0,"height":18446744073709551615,"min_interval":333333}]})");
    ASSERT_TRUE(bad);
    auto device = KXSimProtocol::captureDevice(*bad, KXDeviceClass::Video);
    ASSERT_TRUE(device);
    EXPECT_FALSE(device->devicePath);
    EXPECT_TRUE(device->interfaces.empty());
    ASSERT_EQ(device->videoCapabilities.size(), 2u);
    EXPECT_EQ(device->videoCapabilities[0].width, 0);
    EXPECT_EQ(device->videoCapabilities[0].height, 0);
    EXPECT_EQ(device->videoCapabilities[0].subtype, "");
    EXPECT_EQ(device->videoCapabilities[0].input.url, "");
    EXPECT_EQ(device->videoCapabilities[0].minIntervalHns, 0);
    EXPECT_EQ(device->videoCapabilities[0].maxIntervalHns, 0);
    EXPECT_EQ(device->videoCapabilities[1].width, 1920);
    EXPECT_EQ(device->videoCapabilities[1].height, 0);
    EXPECT_EQ(device->videoCapabilities[1].minIntervalHns, 333333);

    auto audio = kxjson::parse(R"({"capabilities":[{"sample_rate":48000,"channels":2e9,"bits":"16"}],)"
                               R"("input":{"format":"s16le","url":7}})");
    ASSERT_TRUE(audio);
    device = KXSimProtocol::captureDevice(*audio, KXDeviceClass::Audio);
    ASSERT_TRUE(device);
    ASSERT_EQ(device->audioCapabilities.size(), 1u);
    EXPECT_EQ(device->audioCapabilities[0].sampleRate, 48000);
    EXPECT_EQ(device->audioCapabilities[0].channels, 0);
    EXPECT_EQ(device->audioCapabilities[0].bitsPerSample, 0);
    EXPECT_EQ(device->audioInput.format, "s16le");
    EXPECT_EQ(device->audioInput.url, "");
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
    const kxjson::Json& request = journal[journal.size() - 3];
    EXPECT_EQ(kxjson::text(request, "op"), "xu");
    EXPECT_EQ(kxjson::text(request, "device_path"), kPath);
    EXPECT_EQ(kxjson::text(request, "query"), "set_cur");
    EXPECT_EQ(kxjson::integerMember(request, "selector"), 5);
    EXPECT_EQ(kxjson::text(request, "data"), "27001300");
    EXPECT_EQ(kxjson::text(journal.back(), "query"), "get_cur");
    EXPECT_EQ(kxjson::text(journal.back(), "data"), "00000000");
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

TEST(SimProtocol, AnswersAndEventsOfTheWrongShapeAreRefused) {
    for (const char* line : {R"({"ok":"true"})", R"([{"ok":true}])", R"({"ok":1})",
                             R"({"ok":false,"error":7})", R"({"ok":true)", "", "\x80\x81"}) {
        EXPECT_FALSE(KXSimProtocol::okAnswer(line, "usb_devices")) << line;
    }
    auto answer =
        KXSimProtocol::okAnswer(R"({"ok":true,"devices":{"instance_id":"x"},"data":"0102zz04"})", "xu");
    ASSERT_TRUE(answer);
    std::vector<KXUsbDevice> usb;
    EXPECT_FALSE(KXSimProtocol::usbDevices(*answer, usb));  // "devices" must be a list
    uint8_t data[4] = {9, 9, 9, 9};
    EXPECT_FALSE(KXSimProtocol::xuData(*answer, data));
    EXPECT_EQ(data[0], 9);  // a refused answer leaves the buffer alone

    // Only arrivals and removals are records; a member of the wrong type keeps its default.
    for (const char* line : {R"({"event":"wobble","name":"x"})", R"({"event":1})", R"(["arrival"])",
                             R"({"event":"arrival")", "null"}) {
        EXPECT_FALSE(KXSimProtocol::event(line)) << line;
    }
    auto e = KXSimProtocol::event(R"({"event":"removal","device_type":1e30,"class_guid":[],"name":5})");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->kind, KXHotplugEvent::Kind::Removal);
    EXPECT_EQ(e->deviceType, 5);
    EXPECT_EQ(e->classGuid, "{65E8773D-8F56-11D0-A3B9-00A0C9223196}");
    EXPECT_EQ(e->name, "");
    // An event line is bounded more tightly than an answer.
    const std::string padded =
        R"({"event":"arrival","pad":")" + std::string(KXSimProtocol::kMaxEventBytes, 'p') + R"("})";
    EXPECT_FALSE(KXSimProtocol::event(padded));
}

TEST(SimProtocol, RequestsAreOneLineOfJsonEvenForABrokenDevicePath) {
    const uint8_t data[4] = {0x27, 0x00, 0x13, 0xff};
    const std::string line = KXSimProtocol::xuRequest("\\\\?\\usb#\xff\n#x", true, 5, data);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    auto request = kxjson::parse(line);
    ASSERT_TRUE(request);
    EXPECT_EQ(kxjson::text(*request, "data"), "270013ff");
    EXPECT_EQ(kxjson::text(*request, "query"), "set_cur");
}

}  // namespace
