#pragma once

// A local camera receiver on a OneCameraPlatform: constructing it binds the process's
// extension-unit channel to a recording unit, so any camera command the library sends (from
// any receiver, the face tracker or the array client) shows up in the unit's journal. The
// journal reads as command names: "up", "down-left", "stop", "pan-speed 2", "zoom-in",
// "zoom-stop", "preset 5", ...

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "FakeCaptureFilter.h"
#include "MediaTestSupport.h"
#include "OneCameraPlatform.h"
#include "vexsdk.h"

inline std::string CameraCommandName(const RecordingExtensionUnit::Call& call) {
    const unsigned reg = call.data[0] | (call.data[1] << 8);
    const unsigned value = call.data[2] | (call.data[3] << 8);
    if (call.query == KXXuQuery::SetCur) {
        if (reg == 0x27) {
            switch (value) {
                case 0x31:
                    return "up";
                case 0x32:
                    return "down";
                case 0x13:
                    return "left";
                case 0x23:
                    return "right";
                case 0x11:
                    return "up-left";
                case 0x21:
                    return "up-right";
                case 0x12:
                    return "down-left";
                case 0x22:
                    return "down-right";
                case 0x33:
                    return "stop";
                default:
                    break;
            }
        }
        if (reg == 0x2A) {
            switch (value) {
                case 0x21:
                    return "zoom-in";
                case 0x31:
                    return "zoom-out";
                case 0x00:
                    return "zoom-stop";
                default:
                    break;
            }
        }
        if (reg == 0x28) {
            return "pan-speed " + std::to_string(value);
        }
        if (reg == 0x29) {
            return "tilt-speed " + std::to_string(value);
        }
        if (reg == 0x1D) {
            return "preset " + std::to_string(value);
        }
    }
    char text[48];
    std::snprintf(text, sizeof text, "%s 0x%x 0x%x", call.query == KXXuQuery::SetCur ? "set" : "get", reg,
                  value);
    return text;
}

class BoundCamera {
public:
    // videoInput: what the receiver opens when started (none: it cannot start).
    explicit BoundCamera(KXCaptureInput videoInput = {}, std::list<DC_VideoFormat> formats = {})
        : _unit(std::make_shared<RecordingExtensionUnit>()) {
        KXSetPlatform(std::make_shared<OneCameraPlatform>(_unit, std::move(videoInput)));
        DC_CaptureFormats record;
        record.url = _location.get();
        record.videoDeviceName = _videoName.get();
        record.sourceType = 0;
        record.deviceModel = 9;
        record.videoFormatList = std::move(formats);
        if (!record.videoFormatList.empty()) {
            record.videoFormatIndex = record.videoFormatList.front().index;
        }
        _recv = std::make_unique<DC_Recv>(record);
        _unit->clear();
    }
    ~BoundCamera() {
        _recv.reset();
        KXSetPlatform(nullptr);
    }
    BoundCamera(const BoundCamera&) = delete;
    BoundCamera& operator=(const BoundCamera&) = delete;

    DC_Recv& recv() { return *_recv; }
    RecordingExtensionUnit& unit() { return *_unit; }

    // The commands sent since the last clear, by name.
    std::vector<std::string> sent() const {
        std::vector<std::string> names;
        for (const RecordingExtensionUnit::Call& call : _unit->calls()) {
            names.push_back(CameraCommandName(call));
        }
        return names;
    }
    // The same, and clears the journal.
    std::vector<std::string> take() {
        std::vector<std::string> names = sent();
        _unit->clear();
        return names;
    }

private:
    std::shared_ptr<RecordingExtensionUnit> _unit;
    MediaSourceText _location{"1&2.4&1&0000"};
    MediaSourceText _videoName{"@device_pnp_\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000"};
    std::unique_ptr<DC_Recv> _recv;
};
