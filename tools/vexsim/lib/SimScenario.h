#pragma once

// A simulator scenario: the cameras, the arrays and a timeline of control operations, read
// from a JSON file (tools/vexsim/README.md describes the format). The file is input like any
// other: every member is checked for its type and range, and a defect is reported with the
// member's place ("cameras[1].capabilities[0].width: ...") instead of being guessed around.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "KXJsonLine.h"
#include "SimPicture.h"

struct SimScenario {
    struct Capability {
        std::string subtype = "MJPG";  // "MJPG", "H264" or "YUY2" (uncompressed; USB mode only)
        int width = 1280;
        int height = 720;
        int fps = 30;
        std::vector<int> rates;  // every frame rate offered, fastest first; holds `fps`
        int port = 0;            // 0: any free port
        int startDelayMs = 0;    // each viewer's stream begins this late (a camera slow to deliver)
    };
    struct Place {
        double panDeg = 0.0;
        double tiltDeg = 0.0;
        double zoom = 1.0;
    };
    struct Camera {
        std::string id;
        std::string friendlyName = "ZM-150 Camera";
        std::string vid = "1d4d";
        std::string pid = "6009";
        std::string busPort = "1&2.4";  // "B&P"
        std::string firmware = "KPH1.0";
        std::string modelName;  // what the camera reports as its name, if anything
        bool plugged = true;
        bool extensionUnit = true;
        int usbBus = 0;      // USB mode: the emulated bus (1 ..), 0: by the camera's place in the list
        std::string serial;  // USB mode: the serial number string
        SimRoom room = SimRoom::Default;  // the colouring of the room its picture shows
        std::vector<Capability> capabilities;
        Place start;
        std::vector<std::pair<int, Place>> presets;  // preset number -> place
    };
    struct Array {
        std::string id;
        std::string brand;  // "shure", "sennheiser", "nureva", "yamaha"
        std::string model;
        std::string address = "127.0.0.1";
        int port = 0;  // 0: the brand's own
        bool autoCoverage = false;
        bool splitWrites = false;
        int channels = 8;
    };
    struct Event {
        int64_t atMs = 0;
        kxjson::Json operation;  // a control operation ({"op": ...})
    };

    std::vector<Camera> cameras;
    std::vector<Array> arrays;
    std::vector<Event> timeline;  // sorted by time
    int64_t loopMs = 0;           // > 0: the timeline starts over after this long

    // Reads a scenario; nullopt with `error` set on any defect.
    static std::optional<SimScenario> fromJson(const kxjson::Json& document, std::string& error);
    static std::optional<SimScenario> fromFile(const std::string& path, std::string& error);
};
