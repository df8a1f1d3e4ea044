#pragma once

// One camera opened through the library: its capture formats (DC_Find::getSources) and a
// DC_Recv built from them. bind() makes the receiver, which makes the camera's command
// channel the process's current one; start() also opens the picture (software decoding,
// the chosen format) and starts the preview. The destructor stops and destroys the receiver.
//
// Threading: the main thread only.

#include <optional>
#include <string>

#include "CameraDirectory.h"
#include "vexsdk.h"

class VexctlCameraSession {
public:
    explicit VexctlCameraSession(const VexctlCamera& camera);
    ~VexctlCameraSession();
    VexctlCameraSession(const VexctlCameraSession&) = delete;
    VexctlCameraSession& operator=(const VexctlCameraSession&) = delete;

    // Reads the camera's formats; with `withAudio` also picks a microphone: the one at
    // `audioIndex` when given, else the first whose name shares the camera's, else the first.
    // false with `error` when the camera's capture device is not found.
    bool discover(bool withAudio, const std::optional<int>& audioIndex, std::string& error);
    const DC_CaptureFormats& formats() const { return _formats; }
    // The microphone chosen by discover (empty without one).
    const std::string& audioDevice() const { return _audioDevice; }

    // Builds the receiver (the command channel). Needs discover().
    void bind();
    // Builds, initialises and starts the receiver on `format` (an entry of formats()). false
    // with `error` when the receiver cannot be opened.
    bool start(const DC_VideoFormat& format, std::string& error);

    DC_Recv& receiver() { return *_receiver; }

    // Face tracking steers a camera mounted mirrored with left and right swapped (the third
    // camera-control flag byte). Before start().
    void setMirrored(bool mirrored) { _aiFlags[2] = mirrored; }

    // Waits for the first picture (up to `timeoutMs`, or until interrupted). false with
    // `error` when none came.
    bool waitForPicture(int timeoutMs, std::string& error);

private:
    void resetFormats();

    VexctlCamera _camera;
    DC_CaptureFormats _formats;
    DC_SourceText _url{};  // owned texts (malloc'ed), as the library expects
    DC_SourceText _videoDeviceName{};
    DC_SourceText _audioDeviceName{};
    bool _withAudio = false;
    std::string _audioDevice;
    DC_Recv* _receiver = nullptr;  // owned
    bool _started = false;
    bool _aiFlags[3] = {false, false, false};
};
