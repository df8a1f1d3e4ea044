#include "AppRequest.h"

#include "CommandLine.h"

namespace {

// The longest timed movement the application accepts.
constexpr int64_t kMaxMoveMs = 60000;
constexpr int64_t kMaxPauseSeconds = 86400;

bool oneOf(const std::string& word, std::initializer_list<const char*> words) {
    for (const char* w : words) {
        if (word == w) {
            return true;
        }
    }
    return false;
}

bool arity(const std::vector<std::string>& p, size_t min, size_t max, std::string& error) {
    if (p.size() - 1 < min) {
        error = "app " + p[0] + " needs more arguments";
        return false;
    }
    if (p.size() - 1 > max) {
        error = "app " + p[0] + ": too many arguments";
        return false;
    }
    return true;
}

// `object` (a JSON object's text, "{}" or "{...}") with `member` ("\"key\":value") added last.
std::string withMember(const std::string& object, const std::string& member) {
    if (object.size() < 2 || object.back() != '}') {
        return object;  // hand-written params ("call") are never touched
    }
    const std::string head = object.substr(0, object.size() - 1);
    return head + (head == "{" ? "" : ",") + member + "}";
}

}  // namespace

bool VexctlAppRequestFor(const std::vector<std::string>& p, const std::map<std::string, std::string>& options,
                         VexctlAppRequest& out, std::string& error) {
    out = VexctlAppRequest{};
    if (p.empty()) {
        error =
            "app needs a request (state, connect, disconnect, preset, ptz, zoom, focus, tracking, events, "
            "picture, call)";
        return false;
    }
    const std::string& what = p[0];
    int64_t forMs = 0;
    const auto forOption = options.find("--for");
    if (forOption != options.end() && !VexctlParseInt(forOption->second, 1, kMaxMoveMs, forMs)) {
        error = "--for takes milliseconds from 1 to " + std::to_string(kMaxMoveMs);
        return false;
    }
    const auto countOption = options.find("--count");
    const auto onlyOption = options.find("--only");
    if (countOption != options.end() && what != "events" && what != "picture") {
        error = "--count applies to app events and app picture only";
        return false;
    }
    if (onlyOption != options.end() && what != "events") {
        error = "--only applies to app events only";
        return false;
    }
    const auto widthOption = options.find("--width");
    const auto outOption = options.find("--out");
    if ((widthOption != options.end() || outOption != options.end()) && what != "picture") {
        error =
            std::string(widthOption != options.end() ? "--width" : "--out") + " applies to app picture only";
        return false;
    }
    const auto cameraOption = options.find("--camera");
    const bool takesCamera =
        what == "preset" || what == "ptz" || what == "zoom" || what == "focus" || what == "picture";
    if (cameraOption != options.end() && (!takesCamera || cameraOption->second.empty())) {
        error = takesCamera ? "--camera takes a location identity"
                            : "--camera applies to preset, ptz, zoom, focus and picture only";
        return false;
    }
    bool movement = false;

    if (what == "state") {
        if (!arity(p, 0, 0, error)) {
            return false;
        }
        out.method = "state";
    } else if (what == "connect" || what == "disconnect") {
        if (!arity(p, what == "connect" ? 1 : 0, 1, error)) {
            return false;
        }
        out.method = "camera." + what;
        if (p.size() == 2) {
            out.params = "{\"location\":" + VexctlJsonString(p[1]) + "}";
        }
    } else if (what == "preset") {
        if (!arity(p, 2, 2, error)) {
            return false;
        }
        int64_t preset = 0;
        if (!oneOf(p[1], {"call", "save", "reset"})) {
            error = "unknown preset command \"" + p[1] + "\" (call, save or reset)";
            return false;
        }
        if (!VexctlParseInt(p[2], 0, 9, preset)) {
            error = "preset \"" + p[2] + "\" is out of range (presets 0 to 9)";
            return false;
        }
        out.method = "preset." + p[1];
        out.params = "{\"preset\":" + std::to_string(preset) + "}";
    } else if (what == "ptz") {
        if (!arity(p, 1, 1, error)) {
            return false;
        }
        if (p[1] == "stop") {
            out.method = "ptz.stop";
        } else if (oneOf(p[1], {"up", "down", "left", "right", "up-left", "up-right", "down-left",
                                "down-right", "home"})) {
            out.method = "ptz.move";
            out.params = "{\"direction\":" + VexctlJsonString(p[1]);
            movement = p[1] != "home";
            out.stopMethod = "ptz.stop";
        } else {
            error = "unknown direction \"" + p[1] + "\"";
            return false;
        }
    } else if (what == "zoom" || what == "focus") {
        if (!arity(p, 1, 1, error)) {
            return false;
        }
        const bool zoom = what == "zoom";
        const bool moving = zoom ? oneOf(p[1], {"in", "out"}) : oneOf(p[1], {"near", "far"});
        const bool other = p[1] == "stop" || (!zoom && oneOf(p[1], {"auto", "manual"}));
        if (!moving && !other) {
            error = "unknown " + what + " command \"" + p[1] + "\"";
            return false;
        }
        out.method = what;
        out.params = "{\"action\":" + VexctlJsonString(p[1]);
        movement = moving;
        out.stopMethod = what;
        out.stopParams = "{\"action\":\"stop\"}";
    } else if (what == "tracking") {
        if (!arity(p, 1, 2, error)) {
            return false;
        }
        if ((p[1] == "on" || p[1] == "off") && p.size() == 2) {
            out.method = "tracking.set";
            out.params = std::string("{\"on\":") + (p[1] == "on" ? "true" : "false") + "}";
        } else if (p[1] == "pause" && p.size() == 3) {
            int64_t seconds = 0;
            if (!VexctlParseInt(p[2], 0, kMaxPauseSeconds, seconds)) {
                error = "tracking pause takes seconds from 0 (end the pause) to " +
                        std::to_string(kMaxPauseSeconds);
                return false;
            }
            out.method = "tracking.pause";
            out.params = "{\"seconds\":" + std::to_string(seconds) + "}";
        } else {
            error = "app tracking takes on, off or pause SECONDS";
            return false;
        }
    } else if (what == "events") {
        if (!arity(p, 0, 0, error)) {
            return false;
        }
        out.watchEvents = true;
        if (countOption != options.end()) {
            int64_t count = 0;
            if (!VexctlParseInt(countOption->second, 1, 1000000, count)) {
                error = "--count takes a number of events from 1";
                return false;
            }
            out.eventCount = static_cast<int>(count);
        }
        if (onlyOption != options.end()) {
            // Event names, comma-separated: "decision" for why the tracking moved the camera.
            std::string name;
            for (const char c : onlyOption->second + ",") {
                if (c != ',') {
                    name += c;
                    continue;
                }
                if (!name.empty()) {
                    out.onlyEvents.push_back(name);
                }
                name.clear();
            }
            if (out.onlyEvents.empty()) {
                error = "--only takes event names (decision, preset, talker, ...), comma-separated";
                return false;
            }
        }
    } else if (what == "picture") {
        if (!arity(p, 0, 0, error)) {
            return false;
        }
        if (outOption == options.end() || outOption->second.empty()) {
            error = "app picture needs --out DIRECTORY";
            return false;
        }
        out.pictureDir = outOption->second;
        int64_t count = 1;
        if (countOption != options.end() && !VexctlParseInt(countOption->second, 1, 100000, count)) {
            error = "--count takes a number of pictures from 1";
            return false;
        }
        out.pictureCount = static_cast<int>(count);
        out.method = "picture.start";
        out.stopMethod = "picture.stop";
        if (widthOption != options.end()) {
            int64_t width = 0;
            // The application's own bounds: a picture is at most 640 wide.
            if (!VexctlParseInt(widthOption->second, 16, 640, width)) {
                error = "--width takes pixels from 16 to 640";
                return false;
            }
            out.params = withMember(out.params, "\"width\":" + std::to_string(width));
        }
    } else if (what == "call") {
        if (!arity(p, 1, 2, error)) {
            return false;
        }
        out.method = p[1];
        if (p.size() == 3) {
            out.params = p[2];  // the application checks it
        }
    } else {
        error = "unknown app request \"" + what + "\"";
        return false;
    }

    if (out.method == "ptz.move" || out.method == "zoom" || out.method == "focus") {
        if (forMs > 0) {
            if (!movement) {
                error = "--for applies to a movement, not to " + p[1];
                return false;
            }
            out.params += ",\"ms\":" + std::to_string(forMs);
            out.holdMs = static_cast<int>(forMs);
        } else if (movement) {
            out.holdUntilInterrupted = true;
        }
        out.params += "}";
        if (!movement) {
            out.stopMethod.clear();
        }
    } else if (forMs > 0) {
        error = "--for applies to a movement";
        return false;
    }
    if (cameraOption != options.end()) {
        // The stop too: Ctrl+C must end the movement on the camera it started on.
        const std::string member = "\"camera\":" + VexctlJsonString(cameraOption->second);
        out.params = withMember(out.params, member);
        if (!out.stopMethod.empty()) {
            out.stopParams = withMember(out.stopParams, member);
        }
    }
    return true;
}

const char* VexctlAppSynopsis() {
    return "vexctl app REQUEST...   (drives the running VantorReda; see vexctl app --help)";
}

const char* VexctlAppHelp() {
    return "Usage: vexctl app [--address A] [--port P] [--token-file FILE] REQUEST...\n"
           "\n"
           "Drives the running VantorReda through its control interface (tray menu, \"Control\n"
           "interface\"), so that scripts and vexctl do not open the camera a second time.\n"
           "\n"
           "  vexctl app state                          cameras, connected cameras, array link, tracking\n"
           "  vexctl app connect LOCATION | disconnect [LOCATION]\n"
           "  vexctl app preset call|save|reset N [--camera LOCATION]\n"
           "  vexctl app ptz DIRECTION|home|stop [--for MS] [--camera LOCATION]\n"
           "  vexctl app zoom in|out|stop [--for MS] [--camera LOCATION]\n"
           "  vexctl app focus near|far|stop|auto|manual [--for MS] [--camera LOCATION]\n"
           "  vexctl app picture --out DIR [--count N] [--width PIXELS] [--camera LOCATION]\n"
           "  vexctl app tracking on|off | tracking pause SECONDS\n"
           "  vexctl app events [--count N] [--only E,...]  prints events, one JSON object a line\n"
           "                                            (--only decision: why tracking moved the camera)\n"
           "  vexctl app call METHOD ['{\"param\": ...}']  any request, as the protocol spells it\n"
           "\n"
           "DIRECTION: up, down, left, right, up-left, up-right, down-left, down-right.\n"
           "A movement without --for lasts until Ctrl+C (leaving stops it).\n"
           "--camera names the connected camera a command is for by its location identity (see\n"
           "app state, \"connectedCameras\"); without it the command goes to the camera the PTZ\n"
           "panel steers.\n"
           "The address defaults to 127.0.0.1 and the port to 8940. The token (when the interface\n"
           "has one) is read from FILE or from the environment variable VEXCTL_APP_TOKEN, never from\n"
           "the command line, where other users could see it.\n"
           "Prints the reply's result as JSON. Exit status: 0 success; 1 the application refused the\n"
           "request or cannot be reached (one line on stderr); 2 a mistake on the command line.\n";
}
