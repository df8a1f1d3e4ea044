#pragma once

// A backend with several cameras of the family, each at its own USB location and with its
// own recording extension unit, so a test sees which camera every command reached. A local
// DC_Recv built with RoomCamera's record binds that camera's unit.
//
// Threading: add cameras before handing the platform to the library; afterwards every call
// only reads the camera list (immutable from then on) and may come from any thread.

#include <memory>
#include <string>
#include <vector>

#include "FakeCaptureFilter.h"
#include "KXPlatform.h"
#include "MediaTestSupport.h"
#include "vexsdk.h"

class SeveralCamerasPlatform : public KXPlatform {
public:
    // The new camera's unit (whose journal shows what reached that camera).
    std::shared_ptr<RecordingExtensionUnit> addCamera(const std::string& location) {
        Camera camera{location, std::make_shared<RecordingExtensionUnit>(), {}};
        camera.path = *FakeCaptureFilter(camera.unit, 0, location).device().devicePath;
        _cameras.push_back(camera);
        return camera.unit;
    }

    bool usbDevices(std::vector<KXUsbDevice>&) override { return true; }
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override {
        if (deviceClass == KXDeviceClass::Video) {
            for (const Camera& camera : _cameras) {
                out.push_back(FakeCaptureFilter(camera.unit, 0, camera.location).device());
            }
        }
        return true;
    }
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& device) override {
        for (const Camera& camera : _cameras) {
            if (device.devicePath && *device.devicePath == camera.path) {
                return std::make_unique<FakeCaptureFilter>(camera.unit, 0, camera.location);
            }
        }
        return nullptr;
    }
    bool resolveVideoInput(const KXVideoInputRequest&, KXCaptureInput&) override { return false; }
    bool resolveAudioInput(const std::string&, KXCaptureInput&) override { return false; }
    std::unique_ptr<KXHotplugSource> openHotplugSource() override { return nullptr; }

private:
    struct Camera {
        std::string location;
        std::shared_ptr<RecordingExtensionUnit> unit;
        std::string path;
    };
    std::vector<Camera> _cameras;  // immutable once the library uses the platform
};

// The texts of a local receiver's record for one location, kept alive with it.
class RoomCamera {
public:
    explicit RoomCamera(const std::string& location)
        : _location(location), _videoName(FakeCaptureFilter::videoDeviceName(location)) {}

    DC_CaptureFormats formats(int model = 9) {
        DC_CaptureFormats record;
        record.url = _location.get();
        record.videoDeviceName = _videoName.get();
        record.sourceType = 0;
        record.deviceModel = model;
        return record;
    }

private:
    MediaSourceText _location;
    MediaSourceText _videoName;
};
