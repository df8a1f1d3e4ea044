// The library on the real Linux drivers: sysfs, uvcvideo, V4L2 capture through libavdevice and
// the extension-unit ioctl, against the emulated camera of tools/vexsim/scenarios/rig.json on
// the kernel rig's emulated bus. One program, one boot: the cases share the camera and run in
// this order (the last one takes the camera off the bus and back).

#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "KXPlatform.h"
#include "KXPlatformExports.h"
#include "RigSupport.h"
#include "SimScenario.h"

extern "C" {
#include <libavformat/avformat.h>
}

namespace fs = std::filesystem;
using kxjson::Json;

namespace {

constexpr int kMjpeg = 4, kH264 = 1;
constexpr int kBound = 20000;  // ms: anything that takes a few frames, on a loaded emulated machine

std::string scenarioPath() {
    return VEX_SOURCE_DIR "/tools/vexsim/scenarios/rig.json";
}

Json cameraStatus() {
    const Json s = rig::sim(Json{{"op", "status"}});
    const Json& cameras = kxjson::arrayMember(s, "cameras");
    return cameras.empty() ? Json() : cameras[0];
}

// The stream the camera serves now: its number (0: none) and the frames the host took of it.
std::pair<int64_t, int64_t> stream() {
    const Json c = cameraStatus();
    const Json* usb = kxjson::member(c, "usb");
    const Json* s = usb != nullptr ? kxjson::member(*usb, "stream") : nullptr;
    if (s == nullptr || !s->is_object())
        return {0, 0};
    return {kxjson::integerMember(*s, "session").value_or(0),
            kxjson::integerMember(*s, "frames").value_or(0)};
}

int64_t framesSent() {
    return stream().second;
}

bool plugged() {
    const Json c = cameraStatus();
    const Json* usb = kxjson::member(c, "usb");
    return usb != nullptr && kxjson::flag(*usb, "plugged");
}

// An xu journal entry as text: "set 0x0027=49", "select 0x000b", "get".
std::string entryText(const Json& e) {
    const std::string fault = kxjson::text(e, "fault");
    std::string text;
    if (kxjson::text(e, "query") == "get_cur") {
        text = "get";
    } else if (kxjson::member(e, "select") != nullptr) {
        text = "select " + kxjson::text(e, "select");
    } else if (kxjson::member(e, "register") != nullptr) {
        text = "set " + kxjson::text(e, "register") + "=" +
               std::to_string(kxjson::integerMember(e, "value").value_or(-1));
    } else {
        text = "set";
    }
    return fault.empty() ? text : text + " (" + fault + ")";
}

// The xu requests from `since` on, once there are at least `count`: a write is journalled as
// its data stage ends, which is also when the caller's call returns.
std::vector<std::string> journalSince(uint64_t since, size_t count) {
    std::vector<std::string> out;
    rig::waitFor(
        [&] {
            out.clear();
            for (const Json& e : rig::xuJournal(since)) out.push_back(entryText(e));
            return out.size() >= count;
        },
        5000);
    return out;
}

// Waits until the last xu request from `since` on reads `text`; true once it does.
bool lastEntryIs(uint64_t since, const std::string& text) {
    return rig::waitFor(
        [&] {
            const std::vector<Json> entries = rig::xuJournal(since);
            return !entries.empty() && entryText(entries.back()) == text;
        },
        5000);
}

std::string setText(uint16_t reg, int value) {
    char r[16];
    std::snprintf(r, sizeof r, "0x%04x", reg);
    return std::string("set ") + r + "=" + std::to_string(value);
}
std::string selectText(uint16_t reg) {
    char r[16];
    std::snprintf(r, sizeof r, "0x%04x", reg);
    return std::string("select ") + r;
}

// Takes `count` frames and gives each back; their picture hashes.
std::vector<std::string> capture(DC_Recv& recv, int count) {
    std::vector<std::string> hashes;
    rig::waitFor(
        [&] {
            DC_Video_Frame f{};
            if (recv.captureVideo(&f, 100) == DC_ERROR_NONE) {
                hashes.push_back(rig::pictureHash(f.width, f.height, f.format, f.data, f.linesize));
                recv.freeVideo(&f);
            }
            return static_cast<int>(hashes.size()) >= count;
        },
        kBound);
    return hashes;
}

class RigCamera : public ::testing::Test {
protected:
    void SetUp() override {
        RIG_REQUIRED();
        cameras = rig::usbCameras();
        ASSERT_EQ(cameras.size(), 1u) << "one emulated camera expected";
        camera = cameras[0];
        ASSERT_FALSE(camera.node.empty());
    }
    std::vector<rig::UsbCamera> cameras;
    rig::UsbCamera camera;
};

}  // namespace

TEST_F(RigCamera, DiscoveryFindsTheCameraByItsLocationWithItsModelNameAndNode) {
    EXPECT_EQ(camera.location, "1&1&1&0000");  // bus 1, root port 1, configuration 1, interface 0
    std::vector<KXUsbDevice> usb;
    ASSERT_TRUE(KXPlatformInstance()->usbDevices(usb));
    bool interfaceSeen = false, deviceSeen = false;
    for (const KXUsbDevice& d : usb) {
        if (d.instanceId == "USB\\VID_1D4D&PID_6009&MI_00\\1&1&1&0000") {
            interfaceSeen = true;
            EXPECT_EQ(d.friendlyName.value_or(""), "ZM-150 Camera");
            ASSERT_FALSE(d.hardwareIds.empty());
            EXPECT_EQ(d.hardwareIds[0], "USB\\VID_1D4D&PID_6009&REV_0100&MI_00");
        }
        deviceSeen = deviceSeen || d.instanceId == "USB\\VID_1D4D&PID_6009\\VX100001";  // its serial number
    }
    EXPECT_TRUE(interfaceSeen);
    EXPECT_TRUE(deviceSeen);

    DC_Find find;
    find.initialize();
    EXPECT_TRUE(find.checkIsQuillonModel("1D4D", "6009"));
    char name[32] = {};
    EXPECT_EQ(find.getDevModel(camera.location.c_str(), name), 9);  // from the firmware, "KPH1.0"
    EXPECT_EQ(find.getDevModelName(9), "ZM-150");
    EXPECT_EQ(find.getDevModel("9&9&1&0000", name), 0);

    // A camera that reports its own name: 24 characters read one by one through the driver.
    const std::string reported = "ZM-150 Rig";
    Json set = Json::object();
    for (size_t i = 0; i < reported.size(); ++i) {
        char reg[8];
        std::snprintf(reg, sizeof reg, "0x%04zx", 0x1A8 + i);
        set[reg] = static_cast<int>(reported[i]);
    }
    ASSERT_TRUE(kxjson::flag(rig::sim(Json{{"op", "registers"}, {"set", set}}), "ok"));
    EXPECT_EQ(find.getDevModel(camera.location.c_str(), name), 11);
    EXPECT_EQ(std::string(name), reported);
    for (auto& [reg, value] : set.items()) value = 0;
    rig::sim(Json{{"op", "registers"}, {"set", set}});

    rig::CameraFormats formats(camera.location);
    EXPECT_EQ(
        formats.videoDeviceName(),
        "@device_pnp_\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&1&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}"
        "\\global");
    // One capture device: the metadata node beside it is no camera of its own.
    EXPECT_EQ(formats.get().videoDeviceList.size(), 1u);
    std::vector<KXCaptureDevice> video;
    ASSERT_TRUE(KXPlatformInstance()->captureDevices(KXDeviceClass::Video, video));
    ASSERT_EQ(video.size(), 1u);
    EXPECT_EQ(video[0].node, camera.node);
}

TEST_F(RigCamera, FormatsAreTheCamerasDescriptorsWithTheUncompressedOneAsFormatZero) {
    // What the descriptors say, worked out from the scenario they are made of: one format per
    // subtype in the order first named, each frame with its fastest and (when different) its
    // slowest rate.
    std::string error;
    const auto scenario = SimScenario::fromFile(scenarioPath(), error);
    ASSERT_TRUE(scenario) << error;
    std::vector<std::string> subtypes;
    for (const auto& cap : scenario->cameras[0].capabilities)
        if (std::find(subtypes.begin(), subtypes.end(), cap.subtype) == subtypes.end())
            subtypes.push_back(cap.subtype);
    std::vector<std::string> expected;
    int index = 0;
    for (const std::string& subtype : subtypes) {
        for (const auto& cap : scenario->cameras[0].capabilities) {
            if (cap.subtype != subtype)
                continue;
            const int code = subtype == "MJPG" ? kMjpeg : subtype == "H264" ? kH264 : 0;
            const int64_t fastest = 10000000 / cap.rates.front(), slowest = 10000000 / cap.rates.back();
            char line[96];
            std::snprintf(line, sizeof line, "%dx%d %.3f %d #%d", cap.width, cap.height,
                          static_cast<double>(10000000 / fastest), code, index++);
            expected.push_back(line);
            if (fastest != slowest) {
                std::snprintf(line, sizeof line, "%dx%d %.3f %d #%d", cap.width, cap.height, 1e7 / slowest,
                              code, index++);
                expected.push_back(line);
            }
        }
    }
    rig::CameraFormats formats(camera.location);
    std::vector<std::string> listed;
    for (const DC_VideoFormat& f : formats.get().videoFormatList) {
        char line[96];
        std::snprintf(line, sizeof line, "%dx%d %.3f %d #%d", f.width, f.height, f.frameRate, f.format,
                      f.index);
        listed.push_back(line);
    }
    EXPECT_EQ(listed, expected);
    ASSERT_FALSE(listed.empty());
    EXPECT_EQ(listed[0], "160x120 10.000 0 #0");
}

TEST_F(RigCamera, EveryControlCallReachesTheCameraWithItsPayload) {
    rig::CameraFormats formats(camera.location);
    DC_Recv recv(formats.get());  // binds the command channel to this camera
    struct Call {
        const char* name;
        std::function<int()> call;
        int result;
        std::vector<std::string> journal;
    };
    int value = -1;
    char firmware[16] = {};
    int length = 0;
    std::vector<std::string> firmwareReads = {selectText(0x80), "get"};
    for (uint16_t r = 0x80; r <= 0x86; ++r) {
        firmwareReads.push_back(selectText(r));
        firmwareReads.push_back("get");
    }
    const std::vector<Call> calls = {
        {"setPanUp", [&] { return recv.setPanUp(); }, 0, {setText(0x27, 0x31)}},
        {"setPanDown", [&] { return recv.setPanDown(); }, 0, {setText(0x27, 0x32)}},
        {"setPanLeft", [&] { return recv.setPanLeft(); }, 0, {setText(0x27, 0x13)}},
        {"setPanRight", [&] { return recv.setPanRight(); }, 0, {setText(0x27, 0x23)}},
        {"setPanUpLeft", [&] { return recv.setPanUpLeft(); }, 0, {setText(0x27, 0x11)}},
        {"setPanUpRight", [&] { return recv.setPanUpRight(); }, 0, {setText(0x27, 0x21)}},
        {"setPanDownLeft", [&] { return recv.setPanDownLeft(); }, 0, {setText(0x27, 0x12)}},
        {"setPanDownRight", [&] { return recv.setPanDownRight(); }, 0, {setText(0x27, 0x22)}},
        {"setPanStop", [&] { return recv.setPanStop(20); }, 0, {setText(0x27, 0x33)}},
        {"inverted setPanLeft",
         [&] {
             recv.setInvertTilt(true);
             const int r = recv.setPanLeft();
             recv.setInvertTilt(false);
             return r;
         },
         0,
         {setText(0x27, 0x23)}},
        {"setPanSpeed", [&] { return recv.setPanSpeed(7); }, 0, {setText(0x28, 7)}},
        {"setTiltSpeed", [&] { return recv.setTiltSpeed(9); }, 0, {setText(0x29, 9)}},
        {"setZoomIn", [&] { return recv.setZoomIn(); }, 0, {setText(0x2A, 0x21)}},
        {"setZoomOut", [&] { return recv.setZoomOut(); }, 0, {setText(0x2A, 0x31)}},
        {"setZoomStop", [&] { return recv.setZoomStop(35); }, 0, {setText(0x2A, 0)}},
        {"setFocusFar", [&] { return recv.setFocusFar(); }, 255, {setText(0x2B, 0x21)}},
        {"setFocusNear", [&] { return recv.setFocusNear(); }, 255, {setText(0x2B, 0x31)}},
        {"setFocusStop", [&] { return recv.setFocusStop(); }, 255, {setText(0x2B, 0)}},
        {"setAutoFocusMode", [&] { return recv.setAutoFocusMode(1); }, 0, {setText(0xE0, 1)}},
        {"getAutoFocusMode",
         [&] { return recv.getAutoFocusMode(&value) + (value == 1 ? 0 : 1000); },
         0,
         {selectText(0xE0), "get"}},
        {"setRotate", [&] { return recv.setRotate(3); }, 0, {setText(0x0B, 3)}},
        {"getRotate",
         [&] { return recv.getRotate(&value) + (value == 3 ? 0 : 1000); },
         0,
         {selectText(0x0B), "get"}},
        {"setPanHome", [&] { return recv.setPanHome(); }, 0, {selectText(0x0B), "get", setText(0x21, 0xAA)}},
        {"callPreset", [&] { return recv.callPreset(3); }, 0, {setText(0x1D, 3)}},
        {"savePreset", [&] { return recv.savePreset(4); }, 0, {setText(0x1E, 4)}},
        {"resetPreset", [&] { return recv.resetPreset(5); }, 0, {setText(0x1F, 5)}},
        {"setWhiteBalanceMode", [&] { return recv.setWhiteBalanceMode(2); }, 0, {setText(0xDA, 2)}},
        {"setAutoFocusTrigger", [&] { return recv.setAutoFocusTrigger(); }, 0, {setText(0x25, 0xAA)}},
        {"setAutoWhitebalanceTrigger",
         [&] { return recv.setAutoWhitebalanceTrigger(); },
         0,
         {setText(0x02, 0xAA)}},
        {"setAutoTrackingEnable", [&] { return recv.setAutoTrackingEnable(1); }, 0, {setText(0x44, 1)}},
        {"getFWVersion", [&] { return recv.getFWVersion(firmware, &length); }, -255, firmwareReads},
    };
    for (const Call& c : calls) {
        const uint64_t since = rig::journalEnd();
        EXPECT_EQ(c.call(), c.result) << c.name;
        EXPECT_EQ(journalSince(since, c.journal.size()), c.journal) << c.name;
    }
    EXPECT_EQ(std::string(firmware), "KPH1.0 ");
    EXPECT_EQ(length, 8);
    const Json regs = rig::sim(Json{{"op", "registers"}});
    EXPECT_EQ(kxjson::integerMember(regs["registers"], "0x000b").value_or(-1), 3);
    EXPECT_EQ(kxjson::integerMember(regs["registers"], "0x00e0").value_or(-1), 1);

    // A camera that stalls: the driver reports the failure, the calls their failure results.
    ASSERT_TRUE(
        kxjson::flag(rig::sim(Json{{"op", "fault"}, {"request_op", "xu"}, {"fault", "stall"}}), "ok"));
    uint64_t since = rig::journalEnd();
    EXPECT_EQ(recv.setPanUp(), -1);
    EXPECT_EQ(journalSince(since, 1), std::vector<std::string>{"set (stall)"});
    EXPECT_EQ(recv.setAutoFocusMode(0), -248);
    since = rig::journalEnd();
    EXPECT_EQ(recv.getRotate(&value), -1);
    EXPECT_EQ(journalSince(since, 1),
              std::vector<std::string>{"set (stall)"});  // the selection already fails
    EXPECT_EQ(recv.setFocusNear(), 0);                   // its inverted result for a failed write
    // Only the read stalls: the selection went through.
    rig::sim(Json{{"op", "fault"}, {"request_op", "xu"}, {"fault", "stall"}, {"after", 1}});
    since = rig::journalEnd();
    EXPECT_EQ(recv.getRotate(&value), -1);
    EXPECT_EQ(journalSince(since, 2), (std::vector<std::string>{selectText(0x0B), "get (stall)"}));
    // A short answer fails the read too.
    rig::sim(Json{{"op", "fault"}, {"request_op", "xu"}, {"fault", "garbage"}, {"after", 1}});
    EXPECT_EQ(recv.getRotate(&value), -1);
    // A late answer is waited for.
    rig::sim(Json{{"op", "fault"}, {"request_op", "xu"}, {"fault", "delay"}, {"delay_ms", 300}});
    since = rig::journalEnd();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(recv.callPreset(2), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_TRUE(lastEntryIs(since, setText(0x1D, 2)));
    rig::sim(Json{{"op", "fault"}, {"request_op", "xu"}, {"fault", "none"}});
    since = rig::journalEnd();
    EXPECT_EQ(recv.setPanStop(20), 0);
    EXPECT_EQ(journalSince(since, 1), std::vector<std::string>{setText(0x27, 0x33)});
}

TEST_F(RigCamera, CapturedMjpegAndH264PicturesAreThoseTheCameraSent) {
    rig::CameraFormats formats(camera.location);
    for (const auto& [format, codec] :
         std::vector<std::pair<int, std::string>>{{kMjpeg, "mjpeg"}, {kH264, "h264"}}) {
        const int index = formats.indexOf(format, 320, 180);
        ASSERT_GE(index, 0) << codec;
        auto recv = rig::startReceiver(formats, index);
        ASSERT_TRUE(recv) << codec;
        const std::vector<std::string> captured = capture(*recv, 5);
        recv->stopPreview();
        ASSERT_EQ(captured.size(), 5u) << codec;
        const std::set<std::string> sent = rig::sentPictures(codec, "/tmp/rig-sent-" + codec + ".bin");
        ASSERT_FALSE(sent.empty()) << codec;
        for (const std::string& h : captured) EXPECT_EQ(sent.count(h), 1u) << codec << " " << h;
        EXPECT_NE(captured.front().find("320x180/"), std::string::npos) << codec;
    }
}

namespace {

// Holds one thread of this process inside a signal handler until released: the library's
// decode thread, so that the packets the camera keeps sending pile up in its queue.
std::atomic<bool> g_hold{false};
std::atomic<bool> g_held{false};

void holdHere(int) {
    g_held = true;
    for (int i = 0; i < 30000 && g_hold.load(); ++i) {
        timespec ms{0, 1000000};
        nanosleep(&ms, nullptr);
    }
    g_held = false;
}

// Sends `thread` into holdHere until g_hold is cleared.
void holdThread(pid_t thread) {
    struct sigaction hold {};
    hold.sa_handler = holdHere;
    sigemptyset(&hold.sa_mask);
    hold.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &hold, nullptr);
    g_hold = true;
    syscall(SYS_tgkill, getpid(), thread, SIGUSR1);
}

pid_t threadNamed(const std::string& name) {
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator("/proc/self/task", ec)) {
        std::ifstream comm(e.path() / "comm");
        std::string text;
        std::getline(comm, text);
        if (text == name)
            return static_cast<pid_t>(std::stol(e.path().filename()));
    }
    return 0;
}

}  // namespace

TEST_F(RigCamera, StopReleasesThePacketsStillQueuedBeforeTheInputCloses) {
    // The capture device's packets point into the demuxer's mapped buffers; released after the
    // input closed, they would queue buffers on a closed descriptor through a freed demuxer.
    rig::FfmpegLog log;
    rig::CameraFormats formats(camera.location);
    auto recv = rig::startReceiver(formats, formats.indexOf(kMjpeg, 320, 180));
    ASSERT_TRUE(recv);
    ASSERT_EQ(capture(*recv, 1).size(), 1u);
    const pid_t decoder = threadNamed("vex-video");
    ASSERT_GT(decoder, 0);
    holdThread(decoder);
    ASSERT_TRUE(rig::waitFor([] { return g_held.load(); }, kBound));
    // Six more frames reach the reader while the decoder takes none.
    const int64_t before = framesSent();
    ASSERT_TRUE(rig::waitFor([&] { return framesSent() >= before + 6; }, kBound));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        recv->stopPreview();
        stopped = true;
    });
    // Once the reader has ended, the stop aborts the queues and waits for the decoder.
    EXPECT_TRUE(rig::waitFor([] { return threadNamed("vex-read") == 0; }, kBound));
    g_hold = false;
    EXPECT_TRUE(rig::waitFor([&] { return stopped.load(); }, kBound));
    stopper.join();
    EXPECT_EQ(log.count("still owned by the caller"), 0) << log.all();
    EXPECT_EQ(log.count("VIDIOC_QBUF"), 0) << log.all();
    // Every buffer went back to the driver: the camera starts again at once.
    recv->startPreview(nullptr);
    EXPECT_EQ(capture(*recv, 2).size(), 2u);
    recv->stopPreview();
    EXPECT_EQ(log.count("VIDIOC_QBUF"), 0) << log.all();
}

TEST_F(RigCamera, ARecordingGoesOnAcrossAPreviewRestartWithThePicturesItHadQueued) {
    // The recording's queued pictures outlive the input they were decoded from: they must not
    // point into it.
    rig::FfmpegLog log;
    rig::CameraFormats formats(camera.location);
    auto recv = rig::startReceiver(formats, formats.indexOf(kMjpeg, 320, 180));
    ASSERT_TRUE(recv);
    ASSERT_EQ(capture(*recv, 1).size(), 1u);
    const std::string mp4 = "/tmp/rig-restart.mp4";
    std::remove(mp4.c_str());
    ASSERT_TRUE(recv->recordingStart("/tmp", "rig-restart.mp4", false));
    ASSERT_EQ(capture(*recv, 2).size(), 2u);
    // The record thread takes nothing while the preview stops, so pictures stay queued.
    const pid_t recorder = threadNamed("vex-record");
    ASSERT_GT(recorder, 0);
    holdThread(recorder);
    ASSERT_TRUE(rig::waitFor([] { return g_held.load(); }, kBound));
    const int64_t before = framesSent();
    ASSERT_TRUE(rig::waitFor([&] { return framesSent() >= before + 4; }, kBound));
    recv->stopPreview();
    g_hold = false;
    recv->startPreview(nullptr);
    ASSERT_EQ(capture(*recv, 3).size(), 3u);
    EXPECT_TRUE(recv->recordingStop());
    recv->stopPreview();
    EXPECT_EQ(log.count("still owned by the caller"), 0) << log.all();
    EXPECT_EQ(log.count("VIDIOC_QBUF"), 0) << log.all();
    AVFormatContext* file = nullptr;
    ASSERT_EQ(avformat_open_input(&file, mp4.c_str(), nullptr, nullptr), 0);
    int packets = 0;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(file, packet) >= 0) {
        ++packets;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&file);
    EXPECT_GE(packets, 5);
}

TEST_F(RigCamera, ControlCallsWorkWhileAnotherProgramStreamsTheCamera) {
    // A meeting program holds the stream: ffmpeg reads the camera until told to stop.
    const int64_t before = stream().first;
    const pid_t ffmpeg = fork();
    if (ffmpeg == 0) {
        execlp("ffmpeg", "ffmpeg", "-nostdin", "-loglevel", "error", "-f", "v4l2", "-input_format", "mjpeg",
               "-video_size", "320x180", "-i", camera.node.c_str(), "-f", "null", "-",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(ffmpeg, 0);
    EXPECT_TRUE(rig::waitFor(
        [&] {
            const auto now = stream();
            return now.first > before && now.second >= 5;
        },
        kBound));

    rig::CameraFormats formats(camera.location);
    EXPECT_FALSE(formats.get().videoFormatList.empty());
    // The format is chosen before the receiver is built from the record: it copies it.
    formats.get().videoFormatIndex = formats.indexOf(kMjpeg, 320, 180);
    DC_Recv recv(formats.get());
    const uint64_t since = rig::journalEnd();
    EXPECT_EQ(recv.setPanRight(), 0);
    EXPECT_EQ(recv.setPanStop(20), 0);
    int value = -1;
    EXPECT_EQ(recv.getRotate(&value), 0);
    EXPECT_EQ(journalSince(since, 4),
              (std::vector<std::string>{setText(0x27, 0x23), setText(0x27, 0x33), selectText(0x0B), "get"}));
    // Our own preview cannot have the stream: it reports so and stops cleanly.
    recv.setIsEnableDXAV2Decode(false);
    ASSERT_TRUE(recv.initialize(nullptr));
    recv.startPreview(nullptr);
    DC_Video_Frame f{};
    EXPECT_EQ(recv.captureVideo(&f, 100), DC_ERROR_NOT_RUNNING);
    // The driver's EBUSY reaches the application as "another program has it", so the panel
    // can say so and try again, and the command channel is still the camera's.
    EXPECT_EQ(KXReceiverOpenFailure(&recv), KXOpenFailure::Busy);
    const uint64_t afterFailure = rig::journalEnd();
    EXPECT_EQ(recv.callPreset(3), 0);
    EXPECT_EQ(journalSince(afterFailure, 1), (std::vector<std::string>{setText(0x1D, 3)}));
    recv.stopPreview();

    kill(ffmpeg, SIGINT);
    int status = 0;
    EXPECT_TRUE(rig::waitFor([&] { return waitpid(ffmpeg, &status, WNOHANG) == ffmpeg; }, kBound));

    // Once the other program has let go, the next start has the picture.
    recv.startPreview(nullptr);
    EXPECT_EQ(KXReceiverOpenFailure(&recv), KXOpenFailure::None);
    EXPECT_EQ(capture(recv, 3).size(), 3u);
    recv.stopPreview();
}

TEST_F(RigCamera, ACaptureNodeTheUserMayNotOpenIsNamedAndNothingFails) {
    if (getuid() != 0)
        GTEST_SKIP() << "needs root to run a child as another user";
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 1);
        dup2(out[1], 2);
        // nobody, in no group that may open the camera (its node is root:video 0660).
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(126);
        setenv("VEX_RIG_UNPRIVILEGED", camera.node.c_str(), 1);
        execl(self, self, "--gtest_filter=RigUnprivileged.*", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char buffer[4096];
    ssize_t n;
    while ((n = read(out[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(n));
    close(out[0]);
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
    // Said once, whether or not the library's debug lines are on.
    const std::string warning =
        "vexsdk: warning: cannot open video node " + camera.node + ": Permission denied";
    const size_t first = output.find(warning);
    EXPECT_NE(first, std::string::npos) << output;
    EXPECT_EQ(output.find(warning, first + 1), std::string::npos) << output;
}

// Runs only as the child of the case above.
TEST(RigUnprivileged, TheCameraIsMissingFromTheListsAndTheCallsFailCleanly) {
    const char* node = std::getenv("VEX_RIG_UNPRIVILEGED");
    if (node == nullptr)
        GTEST_SKIP() << "the unprivileged half of ACaptureNodeTheUserMayNotOpenIsNamedAndNothingFails";
    rig::CameraFormats formats("1&1&1&0000");
    EXPECT_TRUE(formats.videoDeviceName().empty());
    EXPECT_TRUE(formats.get().videoFormatList.empty());
    rig::CameraFormats again("1&1&1&0000");  // a second listing warns no more
    DC_Recv recv(formats.get());
    EXPECT_EQ(recv.setPanUp(), 65535);  // no channel: the camera could not be bound
    EXPECT_FALSE(recv.initialize(nullptr));
}

TEST_F(RigCamera, VexctlDrivesTheCamera) {
    const std::string vexctl = VEXCTL_BINARY;
    std::string out;
    ASSERT_EQ(rig::run({vexctl, "list"}, out), 0) << out;
    EXPECT_NE(out.find("1&1&1&0000"), std::string::npos) << out;
    EXPECT_NE(out.find("9 ZM-150"), std::string::npos) << out;
    EXPECT_NE(out.find("KPH1.0"), std::string::npos) << out;
    EXPECT_NE(out.find(camera.node), std::string::npos) << out;

    ASSERT_EQ(rig::run({vexctl, "formats"}, out), 0) << out;
    EXPECT_NE(out.find("320x180"), std::string::npos) << out;
    EXPECT_NE(out.find("H.264"), std::string::npos) << out;
    EXPECT_NE(out.find("MJPEG"), std::string::npos) << out;

    // Each command identifies the camera first (its model-name and firmware registers), then acts.
    uint64_t since = rig::journalEnd();
    ASSERT_EQ(rig::run({vexctl, "preset", "call", "6"}, out), 0) << out;
    EXPECT_TRUE(lastEntryIs(since, setText(0x1D, 6)));

    since = rig::journalEnd();
    const auto moveStart = std::chrono::steady_clock::now();
    ASSERT_EQ(rig::run({vexctl, "ptz", camera.location, "left", "--for", "300"}, out), 0) << out;
    EXPECT_GE(std::chrono::steady_clock::now() - moveStart, std::chrono::milliseconds(300));
    ASSERT_TRUE(lastEntryIs(since, setText(0x27, 0x33)));
    const std::vector<Json> moves = rig::xuJournal(since);
    ASSERT_GE(moves.size(), 2u);
    const Json& start = moves[moves.size() - 2];
    EXPECT_EQ(entryText(start), setText(0x27, 0x13));

    ASSERT_EQ(rig::run({vexctl, "get", "firmware"}, out), 0) << out;
    EXPECT_NE(out.find("KPH1.0"), std::string::npos) << out;

    const std::string jpeg = "/tmp/rig-snapshot.jpg";
    ASSERT_EQ(rig::run({vexctl, "snapshot", jpeg}, out), 0) << out;
    std::ifstream picture(jpeg, std::ios::binary);
    unsigned char soi[2] = {};
    picture.read(reinterpret_cast<char*>(soi), 2);
    EXPECT_EQ(soi[0], 0xFF);
    EXPECT_EQ(soi[1], 0xD8);
    EXPECT_NE(out.find("640x360"), std::string::npos) << out;  // the largest picture it can open

    const std::string mp4 = "/tmp/rig-record.mp4";
    ASSERT_EQ(rig::run({vexctl, "record", mp4, "--seconds", "1", "--overwrite"}, out, 90000), 0) << out;
    AVFormatContext* file = nullptr;
    ASSERT_EQ(avformat_open_input(&file, mp4.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(avformat_find_stream_info(file, nullptr), 0);
    const int video = av_find_best_stream(file, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    ASSERT_GE(video, 0);
    EXPECT_EQ(file->streams[video]->codecpar->codec_id, AV_CODEC_ID_H264);
    EXPECT_EQ(file->streams[video]->codecpar->width, 640);
    int packets = 0;
    AVPacket* packet = av_packet_alloc();
    while (av_read_frame(file, packet) >= 0) {
        packets += packet->stream_index == video;
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&file);
    EXPECT_GE(packets, 2);
}

TEST_F(RigCamera, ACameraLostInTheMiddleOfAFrameEndsTheStreamAndComesBackWhenPlugged) {
    rig::CameraFormats formats(camera.location);
    auto recv = rig::startReceiver(formats, formats.indexOf(kMjpeg, 320, 180));
    ASSERT_TRUE(recv);
    ASSERT_EQ(capture(*recv, 1).size(), 1u);
    ASSERT_TRUE(kxjson::flag(
        rig::sim(Json{{"op", "fault"}, {"request_op", "stream"}, {"fault", "close"}, {"after", 2}}), "ok"));
    ASSERT_TRUE(rig::waitFor([] { return !plugged(); }, kBound));
    EXPECT_TRUE(rig::waitFor([] { return rig::usbCameras().empty(); }, kBound));
    // Frames still queued may come; then the receiver says that it no longer runs.
    EXPECT_TRUE(rig::waitFor(
        [&] {
            DC_Video_Frame f{};
            const DC_Error_Type r = recv->captureVideo(&f, 50);
            if (r == DC_ERROR_NONE)
                recv->freeVideo(&f);
            return r == DC_ERROR_NOT_RUNNING;
        },
        kBound));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        recv->stopPreview();
        stopped = true;
    });
    EXPECT_TRUE(rig::waitFor([&] { return stopped.load(); }, kBound));
    stopper.join();
    EXPECT_EQ(recv->setPanUp(), -1);  // the camera is gone
    recv.reset();

    ASSERT_TRUE(kxjson::flag(rig::sim(Json{{"op", "plug"}}), "ok"));
    ASSERT_TRUE(rig::waitFor(
        [] {
            const auto now = rig::usbCameras();
            return now.size() == 1 && !now[0].node.empty() && fs::exists(now[0].node);
        },
        kBound));
    std::unique_ptr<rig::CameraFormats> again;
    ASSERT_TRUE(rig::waitFor(
        [&] {
            again = std::make_unique<rig::CameraFormats>(camera.location);
            return !again->videoDeviceName().empty();
        },
        kBound));
    recv = rig::startReceiver(*again, again->indexOf(kMjpeg, 320, 180));
    ASSERT_TRUE(recv);
    EXPECT_EQ(capture(*recv, 2).size(), 2u);
    recv->stopPreview();
}

// tests/rig/two-buses.json: two cameras of the same model and name, on the first and the last
// of the rig's eleven buses, looking at different places.
TEST(RigTwoBuses, TheRealSysfsTellsTheCamerasApartAndEachStreamsAndObeysOnItsOwn) {
    RIG_REQUIRED();
    const std::vector<rig::UsbCamera> cameras = rig::usbCameras();
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_EQ(cameras[0].location, "1&1&1&0000");
    EXPECT_EQ(cameras[1].location, "11&1&1&0000");
    std::vector<std::unique_ptr<rig::CameraFormats>> formats;
    for (const rig::UsbCamera& c : cameras) {
        formats.push_back(std::make_unique<rig::CameraFormats>(c.location));
        EXPECT_NE(formats.back()->videoDeviceName().find("#" + c.location + "#"), std::string::npos);
        EXPECT_EQ(formats.back()->get().deviceModel, 9);
    }
    // Same friendly name twice: the second is flagged as a repeat.
    EXPECT_EQ(formats[0]->get().sameNameFlags, (std::list<bool>{false, true}));
    std::vector<KXCaptureDevice> video;
    ASSERT_TRUE(KXPlatformInstance()->captureDevices(KXDeviceClass::Video, video));
    ASSERT_EQ(video.size(), 2u);
    for (const KXCaptureDevice& d : video) {
        const bool first = d.devicePath.value_or("").find("#1&1&1&0000#") != std::string::npos;
        EXPECT_EQ(d.node, first ? cameras[0].node : cameras[1].node);
    }

    // Commands go to the camera whose receiver was made last.
    const char* ids[2] = {"cam1", "cam2"};
    for (int k : {1, 0}) {
        DC_Recv recv(formats[k]->get());
        const uint64_t since = rig::journalEnd();
        EXPECT_EQ(recv.callPreset(k + 4), 0);
        ASSERT_TRUE(rig::waitFor([&] { return !rig::xuJournal(since).empty(); }, 5000));
        const Json entry = rig::xuJournal(since).back();
        EXPECT_EQ(kxjson::text(entry, "camera"), ids[k]);
        EXPECT_EQ(kxjson::integerMember(entry, "value").value_or(-1), k + 4);
    }

    // Both stream at once, each its own pictures.
    std::unique_ptr<DC_Recv> recv[2];
    for (int k = 0; k < 2; ++k) {
        recv[k] = rig::startReceiver(*formats[k], formats[k]->indexOf(kMjpeg, 320, 180));
        ASSERT_TRUE(recv[k]);
    }
    std::vector<std::string> captured[2];
    ASSERT_TRUE(rig::waitFor(
        [&] {
            for (int k = 0; k < 2; ++k) {
                DC_Video_Frame f{};
                if (captured[k].size() < 3 && recv[k]->captureVideo(&f, 20) == DC_ERROR_NONE) {
                    captured[k].push_back(rig::pictureHash(f.width, f.height, f.format, f.data, f.linesize));
                    recv[k]->freeVideo(&f);
                }
            }
            return captured[0].size() >= 3 && captured[1].size() >= 3;
        },
        kBound));
    for (int k = 0; k < 2; ++k) recv[k]->stopPreview();
    for (int k = 0; k < 2; ++k) {
        const std::set<std::string> sent =
            rig::sentPictures("mjpeg", "/tmp/rig-sent-" + std::string(ids[k]) + ".bin", ids[k]);
        for (const std::string& h : captured[k]) EXPECT_EQ(sent.count(h), 1u) << ids[k];
        const std::set<std::string> other = rig::sentPictures("mjpeg", "/tmp/rig-sent-other.bin", ids[1 - k]);
        for (const std::string& h : captured[k]) EXPECT_EQ(other.count(h), 0u) << ids[k];
    }
}
