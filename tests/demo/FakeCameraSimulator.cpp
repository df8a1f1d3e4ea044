// A stand-in simulator for a look at the application without cameras: serves the test
// suite's fake simulator with two simulated cameras (a ZM-150 that names its model by its
// firmware, a camera that reports its own name) and lets the user plug and unplug them.
//
//   build/tests/vex_fake_camera_simulator        prints VEXSDK_SIM=<socket>, then reads
//   VEXSDK_SIM=<socket> make run                 commands: plug N, unplug N, journal, quit
//                                                (N 1 or 2; journal: the extension-unit
//                                                writes the cameras received since the last)
//
// Both cameras deliver a live 1920x1080 MJPEG picture at 30 frames per second (a generated
// moving pattern, served over loopback TCP), so "PTZ Control" shows a moving preview.
// `--slow-start MS`: each stream begins only MS milliseconds after it is opened (a camera slow
// to deliver; the panel shows "Connecting…" meanwhile).

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>

#include "FakeSimulator.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"

namespace {

struct Demo {
    const char* busPort;
    const char* pid;
    const char* friendlyName;
    const char* firmware;      // first three letters name the model
    const char* reportedName;  // or the camera names itself
};

const Demo kCameras[] = {
    {"1&2.4", "6009", "ZM-150 Camera", "KPH1.0", ""},
    {"1&3", "600e", "Conference Camera", "", "ZM-130 Pro"},
};

// Where the cameras' picture comes from (set once in main).
std::string g_streamUrl = "tcp://127.0.0.1:9";

void plug(FakeSimulator& sim, const Demo& d, bool announce) {
    sim.addUsbDevice(FakeSimulator::usbDeviceEntry("1d4d", d.pid, d.busPort));
    sim.addUsbDevice(FakeSimulator::usbInterfaceEntry("1d4d", d.pid, d.busPort, 0, d.friendlyName));
    FakeSimulator::Camera c;
    c.friendlyName = d.friendlyName;
    c.devicePath = FakeSimulator::devicePathFor("1d4d", d.pid, FakeSimulator::locationFor(d.busPort, 0));
    FakeSimulator::Capability mjpeg;
    mjpeg.inputUrl = g_streamUrl;
    c.capabilities = {mjpeg};
    const std::string firmware = d.firmware;
    const std::string name = d.reportedName;
    for (size_t i = 0; i < firmware.size(); ++i) c.registers[static_cast<uint16_t>(0x80 + i)] = firmware[i];
    for (size_t i = 0; i < name.size(); ++i) c.registers[static_cast<uint16_t>(0x1A8 + i)] = name[i];
    sim.addCamera(c, announce);
}

void unplug(FakeSimulator& sim, const Demo& d) {
    sim.removeUsbDevices(d.busPort);
    sim.removeCamera(FakeSimulator::devicePathFor("1d4d", d.pid, FakeSimulator::locationFor(d.busPort, 0)),
                     true);
}

// The register writes that reached the cameras' extension units since the last call, one a
// line: which camera, register and value (the selections of reads are left out).
void printJournal(FakeSimulator& sim) {
    for (const kxjson::Json& request : sim.journal()) {
        if (kxjson::text(request, "op") != "xu" || kxjson::text(request, "query") != "set_cur")
            continue;
        const std::string data = kxjson::text(request, "data");
        if (data.size() != 8)
            continue;
        const auto byte = [&](size_t i) {
            return static_cast<unsigned>(std::strtoul(data.substr(i, 2).c_str(), nullptr, 16));
        };
        const unsigned reg = byte(0) | (byte(2) << 8);
        const unsigned value = byte(4) | (byte(6) << 8);
        if (reg == 0)
            continue;
        const std::string path = kxjson::text(request, "device_path");
        const int camera = path.find("pid_600e") != std::string::npos ? 2 : 1;
        std::printf("xu camera %d register 0x%04x value 0x%04x\n", camera, reg, value);
    }
    sim.clearJournal();
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.container = "mjpeg";  // a raw JPEG sequence, as a camera delivers it
    recipe.width = 1920;
    recipe.height = 1080;
    recipe.frames = 90;
    auto clip = std::make_shared<MediaClip>(recipe);
    MediaStreamServer::Options options;
    options.loop = true;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--slow-start")
            options.delayFirstByteMs = std::max(0, std::atoi(argv[i + 1]));
    }
    std::unique_ptr<MediaStreamServer> stream;
    if (clip->ok())
        stream = std::make_unique<MediaStreamServer>(clip, options);
    if (stream && stream->ok())
        g_streamUrl = stream->url();
    else
        std::fprintf(stderr, "no picture: the MJPEG stream could not be made\n");

    FakeSimulator sim;
    for (const Demo& d : kCameras) plug(sim, d, false);
    std::printf("VEXSDK_SIM=%s\n", sim.socketPath().c_str());
    std::fflush(stdout);

    std::string command;
    int n = 0;
    while (std::cin >> command) {
        if (command == "quit")
            break;
        if (command == "journal") {
            printJournal(sim);
            continue;
        }
        if (!(std::cin >> n) || n < 1 || n > 2) {
            std::printf("usage: plug N | unplug N | journal | quit   (N: 1 or 2)\n");
            std::cin.clear();
            continue;
        }
        if (command == "plug")
            plug(sim, kCameras[n - 1], true);
        else if (command == "unplug")
            unplug(sim, kCameras[n - 1]);
        std::printf("%s %d\n", command.c_str(), n);
        std::fflush(stdout);
    }
    return 0;
}
