#pragma once

// Simulated cameras for the application's tests: the simulator's server, which the process's
// platform layer (inside vexsdk) talks to through VEXSDK_SIM, as the application does in a
// demonstration, with helpers that plug in a camera the way the Linux walk would show it
// (its USB device, its camera interface 0, its audio interface 2, its capture device) and
// read back what reached the cameras' extension units.
//
// Threading: test thread only (the simulator serves on its own thread).

#include <QString>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "SimServer.h"
#include "USB_DeviceInfo.h"

class SimCameraRig {
public:
    struct CameraSpec {
        std::string busPort = "1&2.4";  // bus and port path: "B&P"
        std::string serial;             // the USB serial number; empty: the camera has none
        std::string vid = "1d4d";
        std::string pid = "6009";
        std::string friendlyName = "ZM-150 Camera";
        // How the camera tells its model: the firmware version text (its first three letters
        // pick the model) or, when set, the name the camera reports itself.
        std::string firmware = "KPH1.0";
        std::string reportedName;
        std::vector<SimServer::Capability> capabilities = {defaultCapability()};
    };

    // Installs the simulator as the process's backend (VEXSDK_SIM; the backend is chosen
    // afresh on its next use).
    SimCameraRig();
    // Back to the environment's backend, VEXSDK_SIM unset.
    ~SimCameraRig();
    SimCameraRig(const SimCameraRig&) = delete;
    SimCameraRig& operator=(const SimCameraRig&) = delete;

    SimServer& sim() { return _sim; }

    static SimServer::Capability defaultCapability();
    static SimServer::Capability capability(const std::string& subtype, int width, int height, double fps);

    // Lists the camera on the bus and among the capture devices; `announce`: the watchers
    // hear its arrival.
    void plug(const CameraSpec& camera, bool announce = false);
    // Takes it off the bus and the capture devices; `announce`: the watchers hear the removal.
    void unplug(const CameraSpec& camera, bool announce = false);
    // Only the capture device goes away (the bus still lists the camera).
    void loseCaptureDevice(const CameraSpec& camera);

    static std::string location(const CameraSpec& camera) {
        return SimServer::locationFor(camera.busPort, 0);
    }
    static std::string devicePath(const CameraSpec& camera);
    // The record the USB search makes of the camera (model "ZM-150", code 9).
    static USB_DeviceInfo searchRecord(const CameraSpec& camera);

    // Register writes (register, value) that reached a camera's extension unit, in order;
    // the register selections of reads are left out.
    std::vector<std::pair<uint16_t, uint16_t>> writes(const CameraSpec& camera) const;

private:
    SimServer _sim;
    QByteArray _previousSim;
    bool _hadSim = false;
};
