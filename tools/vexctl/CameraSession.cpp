#include "CameraSession.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Interrupt.h"

namespace {

void setText(DC_SourceText& holder, const std::string& text) {
    std::free(holder.source);
    holder.source = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(holder.source, text.c_str(), text.size() + 1);
    holder.length = static_cast<int32_t>(text.size() + 1);
}

void clearText(DC_SourceText& holder) {
    std::free(holder.source);
    holder = DC_SourceText{};
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

bool sharesName(const std::string& microphone, const std::string& camera) {
    if (microphone.empty() || camera.empty()) {
        return false;
    }
    const std::string a = lower(microphone);
    const std::string b = lower(camera);
    return a.find(b) != std::string::npos || b.find(a) != std::string::npos;
}

}  // namespace

VexctlCameraSession::VexctlCameraSession(const VexctlCamera& camera) : _camera(camera) {}

VexctlCameraSession::~VexctlCameraSession() {
    if (_receiver != nullptr) {
        if (_started) {
            _receiver->stopPreview();
        }
        delete _receiver;
    }
    clearText(_url);
    clearText(_videoDeviceName);
    clearText(_audioDeviceName);
}

void VexctlCameraSession::resetFormats() {
    _formats = DC_CaptureFormats{};
    setText(_url, _camera.location);
    clearText(_videoDeviceName);
    clearText(_audioDeviceName);
    _formats.url = &_url;
    _formats.videoDeviceName = &_videoDeviceName;
    _formats.audioDeviceName = &_audioDeviceName;
    _formats.sourceType = 0;
    _formats.deviceModel = _camera.modelCode;
}

bool VexctlCameraSession::discover(bool withAudio, const std::optional<int>& audioIndex, std::string& error) {
    _withAudio = withAudio;
    DC_Find find;
    find.initialize();
    resetFormats();
    find.getSources(&_formats);
    if (_videoDeviceName.source == nullptr) {
        error = "the capture device of camera " + _camera.location + " is not found";
        return false;
    }
    if (!withAudio) {
        return true;
    }
    const std::vector<std::string> microphones(_formats.audioDeviceList.begin(),
                                               _formats.audioDeviceList.end());
    int chosen = 0;
    if (audioIndex) {
        if (*audioIndex < 0 || *audioIndex >= static_cast<int>(microphones.size())) {
            error = "no microphone with index " + std::to_string(*audioIndex) + " (" +
                    std::to_string(microphones.size()) + " found)";
            return false;
        }
        chosen = *audioIndex;
    } else {
        if (microphones.empty()) {
            error = "no microphone found for --audio";
            return false;
        }
        for (size_t i = 0; i < microphones.size(); ++i) {
            if (sharesName(microphones[i], _camera.friendlyName) ||
                sharesName(microphones[i], _camera.videoName)) {
                chosen = static_cast<int>(i);
                break;
            }
        }
    }
    // The audio device is picked by ordinal during the walk: walk again with the choice.
    resetFormats();
    _formats.audioDeviceIndex = chosen;
    find.getSources(&_formats);
    if (_videoDeviceName.source == nullptr || _audioDeviceName.source == nullptr) {
        error = "the camera or its microphone went away while being opened";
        return false;
    }
    _audioDevice = _audioDeviceName.source;
    return true;
}

void VexctlCameraSession::bind() {
    if (_receiver == nullptr) {
        _receiver = new DC_Recv(_formats);
    }
}

bool VexctlCameraSession::start(const DC_VideoFormat& format, std::string& error) {
    _formats.videoFormatIndex = format.index;
    if (!_withAudio) {
        // Opened for video only.
        _formats.audioDeviceName = nullptr;
    }
    bind();
    // Frames stay in system memory: what vexctl does with them (JPEG files, face analysis)
    // needs them there, and no graphics device is assumed.
    _receiver->setIsEnableDXAV2Decode(false);
    if (!_receiver->initialize(_aiFlags)) {
        error = "initialize() = false: the camera's picture cannot be opened";
        return false;
    }
    _receiver->startPreview(nullptr);
    _started = true;
    return true;
}

bool VexctlCameraSession::waitForPicture(int timeoutMs, std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!VexctlInterrupted()) {
        const DC_Error_Type result = _receiver->captureVideo(nullptr, 50);
        if (result == DC_ERROR_NONE) {
            return true;
        }
        if (result == DC_ERROR_NOT_RUNNING) {
            error = "captureVideo() = 2: the camera's picture did not start";
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            error = "no picture from the camera within " + std::to_string(timeoutMs / 1000) + " s";
            return false;
        }
    }
    error = "interrupted";
    return false;
}
