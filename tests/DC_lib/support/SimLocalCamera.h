#pragma once

// A simulated local camera for the library's tests and the programs they run: the simulator
// library's server (listening in a temporary folder) lists a ZM-150 whose capabilities stream
// a generated clip from a loopback server. A test either installs the simulated backend in its
// own process (useBackend) or hands socketPath() to a child process as VEXSDK_SIM; discover()
// fills the record a host program builds from the library's discovery.
//
// Threading: the test thread only (the servers answer on threads of their own).

#include <memory>
#include <string>
#include <vector>

#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "SimServer.h"
#include "vexsdk.h"

class SimLocalCamera {
public:
    // Where the camera sits: its USB bus and port, and the location of its camera interface.
    static constexpr const char* kBusPort = "1&2.4";
    static constexpr const char* kLocation = "1&2.4&1&0000";

    struct Setup {
        std::string busPort = kBusPort;
        std::string pid = "6009";
        std::string friendlyName = "ZM-150 Camera";
        // Also on the USB bus (the device and its camera interface 0), where a host program's
        // search walks; without it only the capture device is listed.
        bool onBus = false;
        std::string serial;  // the device's USB serial number (on the bus); empty: none
        // How the camera tells its model: the firmware version text (registers from 0x80) and
        // the name it reports itself (registers from 0x1A8); empty ones are not set.
        std::string firmware;
        std::string reportedName;
        std::vector<std::string> interfaces = {"camera_control", "extension_unit", "video_processing"};
        std::vector<SimServer::Capability> capabilities;  // none: capability()
    };

    SimLocalCamera() = default;
    // Puts the default backend back if useBackend() installed the simulator.
    ~SimLocalCamera();
    SimLocalCamera(const SimLocalCamera&) = delete;
    SimLocalCamera& operator=(const SimLocalCamera&) = delete;

    // What a camera's MJPEG capability delivers: 30 JPEG pictures one after another (the
    // "mjpeg" container), as a camera sends them.
    static MediaRecipe mjpegRecipe(int width, int height);

    // Generates `recipe`'s clip and serves it as the camera's stream (looped unless `options`
    // are given); false when the clip could not be made or the server cannot listen.
    bool serve(const MediaRecipe& recipe);
    bool serve(const MediaRecipe& recipe, MediaStreamServer::Options options);
    MediaStreamServer& stream() { return *_stream; }

    // A capability that streams the served clip at its size: "MJPG" read as "mjpeg", or
    // "H264" read as "h264".
    SimServer::Capability capability() const;

    // Lists the camera; answers its capture device path.
    std::string plug();
    std::string plug(const Setup& setup);
    // The capture device path of the camera plugged last.
    const std::string& devicePath() const { return _devicePath; }

    // A microphone named `friendlyName` whose input streams a generated sound clip (NUT) from
    // a server of its own; false when that server cannot serve.
    bool addMicrophone(const std::string& friendlyName = "USB Audio");

    // Makes the simulator the process's backend (what the library's calls see from now on).
    void useBackend();

    // Discovery's record of the camera at kLocation, as a host program builds it: the device
    // names getSources fills (kept by this object until the next discover or its end), the
    // format with stream-format code `formatCode` (-1: the first listed), a local source of
    // model code 9 (ZM-150).
    DC_CaptureFormats discover(int formatCode = -1);
    DC_SourceText* location() { return _location.get(); }
    DC_SourceText& videoName() { return _videoName; }
    DC_SourceText& audioName() { return _audioName; }

    SimServer& sim() { return _sim; }
    const SimServer& sim() const { return _sim; }
    const std::string& socketPath() const { return _sim.socketPath(); }

private:
    void freeNames();

    SimServer _sim;
    MediaRecipe _recipe;  // what _stream serves
    std::unique_ptr<MediaStreamServer> _stream;
    std::unique_ptr<MediaStreamServer> _microphone;
    std::string _devicePath;
    bool _backendInstalled = false;
    MediaSourceText _location{kLocation};
    DC_SourceText _videoName{};  // filled by discover(); freed by this object
    DC_SourceText _audioName{};  // likewise
};
