#include "SimLocalCamera.h"

#include <cstdint>
#include <cstdlib>

#include "KXPlatform.h"
#include "Platform/sim/KXSimPlatform.h"

SimLocalCamera::~SimLocalCamera() {
    if (_backendInstalled) {
        KXSetPlatform(nullptr);
    }
    freeNames();
}

MediaRecipe SimLocalCamera::mjpegRecipe(int width, int height) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.container = "mjpeg";
    recipe.width = width;
    recipe.height = height;
    recipe.frames = 30;
    return recipe;
}

bool SimLocalCamera::serve(const MediaRecipe& recipe) {
    _recipe = recipe;
    _stream = MediaServeLooped(recipe);
    return _stream != nullptr;
}

bool SimLocalCamera::serve(const MediaRecipe& recipe, MediaStreamServer::Options options) {
    _recipe = recipe;
    _stream = MediaServe(recipe, options);
    return _stream != nullptr;
}

SimServer::Capability SimLocalCamera::capability() const {
    SimServer::Capability capability;
    if (_stream == nullptr) {
        return capability;
    }
    const bool h264 = _recipe.video == MediaVideo::H264;
    capability.subtype = h264 ? "H264" : "MJPG";
    capability.inputFormat = h264 ? "h264" : "mjpeg";
    capability.width = _recipe.width;
    capability.height = _recipe.height;
    capability.inputUrl = _stream->url();
    return capability;
}

std::string SimLocalCamera::plug() {
    return plug(Setup{});
}

std::string SimLocalCamera::plug(const Setup& setup) {
    if (setup.onBus) {
        _sim.addUsbDevice(SimServer::usbDeviceEntry("1d4d", setup.pid, setup.busPort, setup.serial));
        _sim.addUsbDevice(
            SimServer::usbInterfaceEntry("1d4d", setup.pid, setup.busPort, 0, setup.friendlyName));
    }
    SimServer::Camera camera;
    camera.friendlyName = setup.friendlyName;
    camera.devicePath = SimServer::devicePathFor("1d4d", setup.pid, SimServer::locationFor(setup.busPort, 0));
    camera.interfaces = setup.interfaces;
    camera.capabilities = setup.capabilities;
    if (camera.capabilities.empty()) {
        camera.capabilities = {capability()};
    }
    for (size_t i = 0; i < setup.firmware.size(); ++i) {
        camera.registers[static_cast<uint16_t>(0x80 + i)] = static_cast<uint8_t>(setup.firmware[i]);
    }
    for (size_t i = 0; i < setup.reportedName.size(); ++i) {
        camera.registers[static_cast<uint16_t>(0x1A8 + i)] = static_cast<uint8_t>(setup.reportedName[i]);
    }
    _sim.addCamera(camera);
    _devicePath = camera.devicePath;
    return _devicePath;
}

bool SimLocalCamera::addMicrophone(const std::string& friendlyName) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.width = 64;
    recipe.height = 48;
    recipe.withAudio = true;
    recipe.container = "nut";
    _microphone = MediaServeLooped(recipe);
    if (_microphone == nullptr) {
        return false;
    }
    SimServer::AudioDevice microphone;
    microphone.friendlyName = friendlyName;
    microphone.inputFormat = "nut";
    microphone.inputUrl = _microphone->url();
    _sim.addAudioDevice(microphone);
    return true;
}

void SimLocalCamera::useBackend() {
    KXSetPlatform(std::make_shared<KXSimPlatform>(_sim.socketPath(), 2000));
    _backendInstalled = true;
}

DC_CaptureFormats SimLocalCamera::discover(int formatCode) {
    freeNames();
    DC_Find find;
    find.initialize();
    DC_CaptureFormats formats;
    formats.url = _location.get();
    formats.videoDeviceName = &_videoName;
    formats.audioDeviceName = &_audioName;
    formats.audioDeviceIndex = 0;
    find.getSources(&formats);
    for (const DC_VideoFormat& format : formats.videoFormatList) {
        if (formatCode < 0 || format.format == formatCode) {
            formats.videoFormatIndex = format.index;
            break;
        }
    }
    formats.sourceType = 0;
    formats.deviceModel = 9;
    return formats;
}

void SimLocalCamera::freeNames() {
    for (DC_SourceText* text : {&_videoName, &_audioName}) {
        std::free(text->source);
        *text = DC_SourceText{};
    }
}
