#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "Control/KXControlChannel.h"
#include "SimServer.h"
#include "KXPlatform.h"
#include "Platform/sim/KXSimPlatform.h"
#include "vexsdk.h"

namespace {

const std::string kLocationA = "1&2.4&1&0000";
const std::string kLocationB = "1&3&1&0000";
const std::string kPathA = SimServer::devicePathFor("1d4d", "6009", kLocationA);
const std::string kPathB = SimServer::devicePathFor("1d4d", "6009", kLocationB);
const std::string kWebcamPath = SimServer::devicePathFor("046d", "0825", "1&5&1&0000");

// A caller-side record as the application prepares it: holders allocated, url filled.
struct Record {
    explicit Record(const char* url) {
        formats.url = makeHolder();
        if (url != nullptr) {
            formats.url->length = static_cast<int32_t>(std::strlen(url) + 1);
            formats.url->source = static_cast<char*>(std::malloc(static_cast<size_t>(formats.url->length)));
            std::memcpy(formats.url->source, url, static_cast<size_t>(formats.url->length));
        }
        formats.videoDeviceName = makeHolder();
        formats.audioDeviceName = makeHolder();
    }
    ~Record() {
        for (DC_SourceText* t : {formats.url, formats.videoDeviceName, formats.audioDeviceName}) {
            std::free(t->source);
            std::free(t);
        }
    }
    static DC_SourceText* makeHolder() {
        auto* t = static_cast<DC_SourceText*>(std::calloc(1, sizeof(DC_SourceText)));
        return t;
    }
    DC_CaptureFormats formats;
};

void expectFormat(const DC_VideoFormat& f, int w, int h, double rate, int format, int index) {
    EXPECT_EQ(f.width, w);
    EXPECT_EQ(f.height, h);
    EXPECT_DOUBLE_EQ(f.frameRate, rate);
    EXPECT_EQ(f.format, format);
    EXPECT_FALSE(f.reserved);
    EXPECT_EQ(f.index, index);
}

SimServer::Capability cap(const std::string& subtype, int w, int h, int64_t minI, int64_t maxI,
                          const std::string& url = "") {
    SimServer::Capability c;
    c.subtype = subtype;
    c.width = w;
    c.height = h;
    c.minInterval = minI;
    c.maxInterval = maxI;
    c.inputFormat = subtype == "H264" ? "h264" : "mjpeg";
    c.inputUrl = url;
    return c;
}

void setText(SimServer& sim, const std::string& path, uint16_t firstRegister, const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        sim.setRegister(path, static_cast<uint16_t>(firstRegister + i), static_cast<uint8_t>(text[i]));
    }
}

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimServer::Camera a;
        a.devicePath = kPathA;
        a.capabilities = {cap("MJPG", 1920, 1080, 333333, 666666, "tcp://127.0.0.1:40101"),
                          cap("H264", 1920, 1080, 333333, 333333, "tcp://127.0.0.1:40102"),
                          cap("YUY2", 0, 480, 333333, 333333),  // no width: skipped
                          cap("MJPG", 640, 480, 0, 333333),     // no defined rate: skipped
                          cap("NV12", 1280, 720, 333333, 333333)};
        sim.addCamera(a);
        SimServer::Camera b;
        b.devicePath = kPathB;
        b.capabilities = {cap("MJPG", 1280, 720, 333333, 333333, "tcp://127.0.0.1:40103")};
        sim.addCamera(b);
        SimServer::Camera webcam;
        webcam.friendlyName = "Integrated Webcam";
        webcam.devicePath = kWebcamPath;
        webcam.interfaces = {"camera_control", "video_processing"};
        webcam.capabilities = {cap("YUY2", 640, 480, 333333, 333333)};
        sim.addCamera(webcam);
        SimServer::AudioDevice micA;
        micA.friendlyName = "Mic A";
        micA.inputUrl = "tcp://127.0.0.1:40201";
        sim.addAudioDevice(micA);
        SimServer::AudioDevice micB;
        micB.friendlyName = "Mic B";
        micB.sampleRate = 16000;
        micB.channels = 1;
        micB.inputUrl = "tcp://127.0.0.1:40202";
        sim.addAudioDevice(micB);
        KXSetPlatform(std::make_shared<KXSimPlatform>(sim.socketPath(), 1000));
    }
    void TearDown() override { KXSetPlatform(nullptr); }

    SimServer sim;
};

TEST_F(DiscoveryTest, GetSourcesFillsTheRecordForALocationIdentity) {
    DC_Find find;
    ASSERT_TRUE(find.initialize());
    Record r(kLocationA.c_str());
    r.formats.audioDeviceIndex = 1;
    find.getSources(&r.formats);

    EXPECT_EQ(r.formats.videoDeviceList,
              (std::list<std::string>{"ZM-150 Camera", "ZM-150 Camera", "Integrated Webcam"}));
    EXPECT_EQ(r.formats.audioDeviceList, (std::list<std::string>{"Mic A", "Mic B"}));
    const std::string expectedName = "@device_pnp_" + kPathA;
    ASSERT_NE(r.formats.videoDeviceName->source, nullptr);
    EXPECT_EQ(r.formats.videoDeviceName->source, expectedName);
    EXPECT_EQ(r.formats.videoDeviceName->length, static_cast<int32_t>(expectedName.size() + 1));
    EXPECT_EQ(r.formats.sameNameFlags, (std::list<bool>{false, true, false}));

    std::vector<DC_VideoFormat> v(r.formats.videoFormatList.begin(), r.formats.videoFormatList.end());
    ASSERT_EQ(v.size(), 4u);
    expectFormat(v[0], 1920, 1080, 30.0, 4, 0);
    expectFormat(v[1], 1920, 1080, 1e7 / 666666.0, 4, 1);  // the second entry of a rate range
    expectFormat(v[2], 1920, 1080, 30.0, 1, 2);
    expectFormat(v[3], 1280, 720, 30.0, 0, 3);

    ASSERT_NE(r.formats.audioDeviceName->source, nullptr);
    EXPECT_STREQ(r.formats.audioDeviceName->source, "Mic B");
    EXPECT_EQ(r.formats.audioDeviceName->length, 6);
    ASSERT_EQ(r.formats.audioFormatList.size(), 1u);
    EXPECT_EQ(r.formats.audioFormatList.front().sampleRate, 16000);
    EXPECT_EQ(r.formats.audioFormatList.front().channels, 1);
    EXPECT_EQ(r.formats.audioFormatList.front().bitsPerSample, 16);
}

TEST_F(DiscoveryTest, HostProgramReachesTheSimulatorThroughTheEnvironment) {
    ::setenv("VEXSDK_SIM", sim.socketPath().c_str(), 1);
    KXSetPlatform(nullptr);  // back to the environment's choice
    DC_Find f;
    f.initialize();
    Record r(kLocationB.c_str());
    f.getSources(&r.formats);
    ::unsetenv("VEXSDK_SIM");
    ASSERT_NE(r.formats.videoDeviceName->source, nullptr);
    EXPECT_EQ(std::string(r.formats.videoDeviceName->source), "@device_pnp_" + kPathB);
    ASSERT_EQ(r.formats.videoFormatList.size(), 1u);
    expectFormat(r.formats.videoFormatList.front(), 1280, 720, 30.0, 4, 0);
}

TEST_F(DiscoveryTest, MatchingIsCaseSensitiveAndTheLastVendorCameraWins) {
    // A path in upper case never matches; an empty text matches every vendor camera.
    SimServer::Camera shouting;
    shouting.devicePath = "\\\\?\\USB#VID_1D4D&PID_6009&MI_00#1&9&1&0000#{X}\\GLOBAL";
    sim.addCamera(shouting);
    DC_Find find;
    ASSERT_TRUE(find.initialize());

    Record upper("1&9&1&0000");
    find.getSources(&upper.formats);
    EXPECT_EQ(upper.formats.videoDeviceName->source, nullptr);
    EXPECT_TRUE(upper.formats.videoFormatList.empty());

    Record any("");
    find.getSources(&any.formats);
    ASSERT_NE(any.formats.videoDeviceName->source, nullptr);
    EXPECT_EQ(std::string(any.formats.videoDeviceName->source), "@device_pnp_" + kPathB);
    // The previous name carries over between calls on one object: the first camera has the
    // name of the last camera of the previous walk.
    EXPECT_EQ(any.formats.sameNameFlags.front(), true);

    Record none(nullptr);  // no url text at all: nothing is chosen
    find.getSources(&none.formats);
    EXPECT_EQ(none.formats.videoDeviceName->source, nullptr);

    Record noAudio(kLocationB.c_str());
    noAudio.formats.audioDeviceIndex = 2;  // beyond the last audio device
    find.getSources(&noAudio.formats);
    EXPECT_EQ(noAudio.formats.audioDeviceName->source, nullptr);
    EXPECT_TRUE(noAudio.formats.audioFormatList.empty());
    EXPECT_EQ(noAudio.formats.videoFormatList.size(), 1u);
}

TEST_F(DiscoveryTest, AbsentOrFailingSimulatorFindsNothing) {
    sim.setFault("capture_devices", SimServer::Fault::Error);
    {
        DC_Find find;
        EXPECT_FALSE(find.initialize());
        Record r(kLocationA.c_str());
        find.getSources(&r.formats);
        EXPECT_TRUE(r.formats.videoDeviceList.empty());
        EXPECT_EQ(r.formats.videoDeviceName->source, nullptr);
        char name[25] = "untouched";
        EXPECT_EQ(find.getDevModel(kLocationA.c_str(), name), 0);
        EXPECT_STREQ(name, "untouched");
    }
    KXSetPlatform(std::make_shared<KXSimPlatform>("/nonexistent/vexsim.sock", 1000));
    DC_Find find;
    EXPECT_FALSE(find.initialize());
    EXPECT_EQ(find.getDevModel(0), 0);
}

TEST_F(DiscoveryTest, ModelFromTheCameraReportedName) {
    // 24 registers; a register reading 0 adds nothing, blanks count.
    setText(sim, kPathA, 0x1A8, "ZM-1");
    sim.setRegister(kPathA, 0x1AC, 0);
    setText(sim, kPathA, 0x1AD, "50 Pro");
    DC_Find find;
    find.initialize();
    char name[25];
    std::memset(name, 'x', sizeof name);
    EXPECT_EQ(find.getDevModel(kLocationA.c_str(), name), 11);
    EXPECT_STREQ(name, "ZM-150 Pro");
}

TEST_F(DiscoveryTest, ModelFromTheFirmwarePrefixWhenTheNameRegisterIsZero) {
    struct Case {
        const char* firmware;
        int model;
    };
    for (const Case& c : {Case{"KPA1234", 1}, Case{"ZM-1603", 8}, Case{"KPJ0001", 10}, Case{"ABC1234", 0}}) {
        setText(sim, kPathA, 0x80, c.firmware);
        DC_Find find;
        find.initialize();
        char name[25] = "untouched";
        EXPECT_EQ(find.getDevModel(kLocationA.c_str(), name), c.model) << c.firmware;
        EXPECT_STREQ(name, "untouched");
    }
}

TEST_F(DiscoveryTest, QueryMatchingNothingLeavesTheBufferAlone) {
    DC_Find find;
    find.initialize();
    char name[25] = "untouched";
    EXPECT_EQ(find.getDevModel("7&ffff&0&0000", name), 0);
    EXPECT_STREQ(name, "untouched");
    EXPECT_EQ(find.getDevModel(nullptr, name), 0);
}

TEST_F(DiscoveryTest, ModelQueryKeepsTheConnectedCamerasChannel) {
    int bound = -1;
    auto connected = KXBindReceiverController(kLocationA, 9, &bound);
    ASSERT_EQ(bound, 0);
    ASSERT_EQ(KXCurrentController(), connected);

    setText(sim, kPathB, 0x80, "KPH1000");
    DC_Find find;
    find.initialize();
    char name[25] = "";
    EXPECT_EQ(find.getDevModel(kLocationB.c_str(), name), 9);

    sim.clearJournal();
    EXPECT_EQ(KXCurrentController(), connected);
    EXPECT_EQ(connected->panLeft(), 0);
    auto journal = sim.journal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(kxjson::text(journal[0], "device_path"), kPathA);
    EXPECT_EQ(kxjson::text(journal[0], "data"), "27001300");
    EXPECT_EQ(sim.registerValue(kPathA, 0x27), 0x13);

    // The receiver goes away: the controller stays and answers failures.
    KXReleaseReceiverController(connected);
    int value = 0;
    EXPECT_EQ(KXCurrentController()->panLeft(), 65535);
    EXPECT_EQ(KXCurrentController()->readCommand(40, &value), -1);
}

TEST_F(DiscoveryTest, ReceiverBindingWithoutDeviceOrUnit) {
    int bound = 0;
    auto nowhere = KXBindReceiverController("9&9&9&0000", 9, &bound);
    EXPECT_EQ(bound, -254);
    ASSERT_NE(nowhere, nullptr);
    EXPECT_EQ(nowhere->panUp(), 65535);

    auto webcam = KXBindReceiverController("1&5&1&0000", 0, &bound);  // no extension unit
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(webcam->panUp(), 65535);

    sim.setFault("xu", SimServer::Fault::Error);
    auto failing = KXBindReceiverController(kLocationA, 9, &bound);
    EXPECT_EQ(bound, 0);
    EXPECT_EQ(failing->panUp(), -1);
    for (const auto& c : {nowhere, webcam, failing}) {
        KXReleaseReceiverController(c);
    }
}

TEST_F(DiscoveryTest, SupportedCameraCheckAndModelNames) {
    DC_Find find;
    EXPECT_TRUE(find.checkIsQuillonModel("1D4D", "6009"));
    EXPECT_TRUE(find.checkIsQuillonModel("1d4d", "600F"));
    EXPECT_FALSE(find.checkIsQuillonModel("1d4d", "601f"));  // stored, never consulted
    EXPECT_FALSE(find.checkIsQuillonModel("046d", "6009"));
    EXPECT_FALSE(find.checkIsQuillonModel(nullptr, "6009"));
    EXPECT_FALSE(find.checkIsQuillonModel("1d4d", nullptr));
    EXPECT_EQ(find.getDevModelName(8), "ZM-160");
    EXPECT_EQ(find.getDevModelName(6), "ZM-130,V1");
    EXPECT_EQ(find.getDevModelName(0), "");
    EXPECT_EQ(find.getDevModelName(11), "");
    EXPECT_EQ(find.getDevModelName(12), "");
}

TEST_F(DiscoveryTest, LookupsByOrdinalAndLocation) {
    sim.addUsbDevice({{"instance_id", "USB\\VID_1D4D&PID_6009&MI_00\\1&2.4&1&0000"},
                      {"location_information", "Port_#0004.Hub_#0002"}});
    DC_Find find;
    find.initialize();
    EXPECT_EQ(find.getDevModel(0), 9);
    EXPECT_EQ(find.getDevModel(1), 9);
    EXPECT_EQ(find.getDevModel(2), 0);  // the webcam is no vendor camera: no third match

    char location[64] = "untouched";
    EXPECT_EQ(find.getDevModelwithLocation(location, 0), 9);
    EXPECT_STREQ(location, "Port_#0004.Hub_#0002");
    std::strcpy(location, "untouched");
    EXPECT_EQ(find.getDevModelwithLocation(location, 1), 9);  // no USB entry for it
    EXPECT_STREQ(location, "untouched");

    // An oversized location text is cut to what a 520-byte property buffer holds.
    sim.addUsbDevice({{"instance_id", "USB\\VID_1D4D&PID_6009&MI_00\\1&3&1&0000"},
                      {"location_information", std::string(5000, 'L')}});
    std::vector<char> big(6000, 'x');
    EXPECT_EQ(find.getDevModelwithLocation(big.data(), 1), 9);
    EXPECT_EQ(std::strlen(big.data()), 519u);
}

TEST_F(DiscoveryTest, ReceiverInputsResolveToTheCapabilitysOwnInput) {
    KXCaptureInput in;
    ASSERT_TRUE(KXResolveVideoInput({"@device_pnp_" + kPathA, 1920, 1080, 4, 1e7 / 666666.0}, in));
    EXPECT_EQ(in.format, "mjpeg");
    EXPECT_EQ(in.url, "tcp://127.0.0.1:40101");
    // A bare picture stream is timed at the chosen format's rate, not at its demuxer's 25.
    ASSERT_EQ(in.options.size(), 1u);
    EXPECT_EQ(in.options[0].first, "framerate");
    EXPECT_NEAR(std::stod(in.options[0].second), 1e7 / 666666.0, 1e-5);
    ASSERT_TRUE(KXResolveVideoInput({kPathA, 1920, 1080, 1, 30.0}, in));
    EXPECT_EQ(in.format, "h264");
    EXPECT_EQ(in.url, "tcp://127.0.0.1:40102");
    ASSERT_EQ(in.options.size(), 1u);
    EXPECT_NEAR(std::stod(in.options[0].second), 30.0, 1e-5);
    EXPECT_FALSE(KXResolveVideoInput({kPathA, 640, 480, 4, 30.0}, in));
    EXPECT_FALSE(KXResolveVideoInput({"@device_pnp_nothing", 1920, 1080, 4, 30.0}, in));

    ASSERT_TRUE(KXResolveAudioInput("Mic B", in));
    EXPECT_EQ(in.url, "tcp://127.0.0.1:40202");
    EXPECT_FALSE(KXResolveAudioInput("Mic C", in));
}

}  // namespace

namespace {

// Machines with ten or more USB buses (hubs, docks): the identity of the camera on bus 1 is
// a piece of the identity of the camera on bus 11 at the same port, and so on.
class ManyBusesTest : public ::testing::Test {
protected:
    struct Camera {
        std::string location;
        std::string path;
        int width;
        const char* name;  // what its model-name registers spell
    };

    void SetUp() override {
        // The camera whose identity contains another's comes after it: a piece-of-text match
        // (where the last match wins) would pick it.
        _cameras = {{"1&2.4&1&0000", "", 640, "Bus One"},
                    {"11&2.4&1&0000", "", 1280, "Bus Eleven"},
                    {"2&3&1&0000", "", 800, "Bus Two"},
                    {"12&3&1&0000", "", 1920, "Bus Twelve"}};
        for (Camera& c : _cameras) {
            c.path = SimServer::devicePathFor("1d4d", "6009", c.location);
            SimServer::Camera camera;
            camera.devicePath = c.path;
            camera.capabilities = {cap("MJPG", c.width, 480, 333333, 333333, "tcp://127.0.0.1:9")};
            sim.addCamera(camera);
            setText(sim, c.path, 0x1A8, c.name);
        }
        KXSetPlatform(std::make_shared<KXSimPlatform>(sim.socketPath(), 1000));
    }
    void TearDown() override { KXSetPlatform(nullptr); }

    SimServer sim;
    std::vector<Camera> _cameras;
};

}  // namespace

TEST_F(ManyBusesTest, IdentityMatchesOnlyAWholeComponentOfTheDevicePath) {
    for (const Camera& c : _cameras) {
        SCOPED_TRACE(c.location);
        DC_Find find;
        find.initialize();
        Record r(c.location.c_str());
        find.getSources(&r.formats);
        ASSERT_NE(r.formats.videoDeviceName->source, nullptr);
        EXPECT_EQ(std::string(r.formats.videoDeviceName->source), "@device_pnp_" + c.path);
        ASSERT_EQ(r.formats.videoFormatList.size(), 1u);
        EXPECT_EQ(r.formats.videoFormatList.front().width, c.width);

        char name[25] = "";
        EXPECT_EQ(find.getDevModel(c.location.c_str(), name), 11);
        EXPECT_STREQ(name, c.name);

        // The receiver binds this camera's extension unit: commands reach it and no other.
        int bound = -1;
        auto controller = KXBindReceiverController(c.location, 9, &bound);
        ASSERT_EQ(bound, 0);
        EXPECT_EQ(controller->panUp(), 0);
        KXReleaseReceiverController(controller);
        for (const Camera& other : _cameras) {
            EXPECT_EQ(sim.registerValue(other.path, 0x27), &other == &c ? 0x31 : 0) << other.location;
        }
        sim.setRegister(c.path, 0x27, 0);
    }

    // A text that is only part of a component matches nothing; an empty text still matches
    // every camera of the vendor (the last one wins).
    DC_Find find;
    find.initialize();
    Record part("&2.4&1&0000");
    find.getSources(&part.formats);
    EXPECT_EQ(part.formats.videoDeviceName->source, nullptr);
    Record any("");
    find.getSources(&any.formats);
    ASSERT_NE(any.formats.videoDeviceName->source, nullptr);
    EXPECT_EQ(std::string(any.formats.videoDeviceName->source), "@device_pnp_" + _cameras.back().path);
    // Several whole components in a row match too.
    Record longer(("vid_1d4d&pid_6009&mi_00#" + _cameras[0].location).c_str());
    find.getSources(&longer.formats);
    ASSERT_NE(longer.formats.videoDeviceName->source, nullptr);
    EXPECT_EQ(std::string(longer.formats.videoDeviceName->source), "@device_pnp_" + _cameras[0].path);
}
