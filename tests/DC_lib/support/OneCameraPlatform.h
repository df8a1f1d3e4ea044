#pragma once

// A backend with one camera whose capture filter is a FakeCaptureFilter over a recording
// extension unit: a local DC_Recv built on it binds the process's command channel to that
// unit. With a video input set, the receiver opens that input (any libavformat format and
// URL, e.g. a MediaStreamServer) for whichever format it asks for.

#include <memory>
#include <string>
#include <vector>

#include "FakeCaptureFilter.h"
#include "KXPlatform.h"

class OneCameraPlatform : public KXPlatform {
public:
    explicit OneCameraPlatform(std::shared_ptr<RecordingExtensionUnit> unit, KXCaptureInput videoInput = {})
        : _unit(std::move(unit)), _videoInput(std::move(videoInput)) {}

    bool usbDevices(std::vector<KXUsbDevice>&) override { return true; }
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override {
        if (deviceClass == KXDeviceClass::Video) {
            out.push_back(FakeCaptureFilter(_unit).device());
        }
        return true;
    }
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice&) override {
        return std::make_unique<FakeCaptureFilter>(_unit);
    }
    bool resolveVideoInput(const KXVideoInputRequest&, KXCaptureInput& out) override {
        if (_videoInput.url.empty()) {
            return false;
        }
        out = _videoInput;
        return true;
    }
    bool resolveAudioInput(const std::string&, KXCaptureInput&) override { return false; }
    std::unique_ptr<KXHotplugSource> openHotplugSource() override { return nullptr; }

private:
    std::shared_ptr<RecordingExtensionUnit> _unit;
    KXCaptureInput _videoInput;
};
