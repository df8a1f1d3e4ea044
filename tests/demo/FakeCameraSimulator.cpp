// A stand-in simulator for a look at the application without cameras: serves the test
// suite's fake simulator with two simulated cameras (a ZM-150 that names its model by its
// firmware, a camera that reports its own name) and lets the user plug and unplug them.
//
//   build/tests/vex_fake_camera_simulator        prints VEXSDK_SIM=<socket>, then reads
//   VEXSDK_SIM=<socket> make run                 commands: plug N, unplug N, quit (N 1 or 2)
//
// The cameras' pictures are not served: the application lists, connects and steers them.

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "FakeSimulator.h"

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

void plug(FakeSimulator& sim, const Demo& d, bool announce) {
    sim.addUsbDevice(FakeSimulator::usbDeviceEntry("1d4d", d.pid, d.busPort));
    sim.addUsbDevice(FakeSimulator::usbInterfaceEntry("1d4d", d.pid, d.busPort, 0, d.friendlyName));
    FakeSimulator::Camera c;
    c.friendlyName = d.friendlyName;
    c.devicePath = FakeSimulator::devicePathFor("1d4d", d.pid, FakeSimulator::locationFor(d.busPort, 0));
    FakeSimulator::Capability mjpeg;
    mjpeg.inputUrl = "tcp://127.0.0.1:9";
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

}  // namespace

int main() {
    std::signal(SIGPIPE, SIG_IGN);
    FakeSimulator sim;
    for (const Demo& d : kCameras) plug(sim, d, false);
    std::printf("VEXSDK_SIM=%s\n", sim.socketPath().c_str());
    std::fflush(stdout);

    std::string command;
    int n = 0;
    while (std::cin >> command) {
        if (command == "quit")
            break;
        if (!(std::cin >> n) || n < 1 || n > 2) {
            std::printf("usage: plug N | unplug N | quit   (N: 1 or 2)\n");
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
