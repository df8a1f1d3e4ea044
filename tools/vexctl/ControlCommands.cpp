// vexctl's camera control: movements, presets, the picture's orientation, and the settings
// read back from the camera, each one extension-unit call (a timed movement two).

#include <map>
#include <utility>

#include "Interrupt.h"
#include "Subcommand.h"

namespace vexctl {
namespace {

// A start command, optionally held for --for milliseconds and then stopped. Movement is
// stopped also when the wait is interrupted.
int runTimedMove(Context& ctx, const Subcommand& sub, const VexctlCamera& camera,
                 const std::string& startName, const std::function<int(DC_Recv&)>& start, int startSuccess,
                 const std::string& stopName, const std::function<int(DC_Recv&)>& stop, int stopSuccess) {
    int exitCode = kExitOk;
    const std::optional<int64_t> forMs = durationOption(ctx, "--for", 1, kLongestMs, sub, exitCode);
    if (exitCode != kExitOk) {
        return exitCode;
    }
    VexctlCameraSession session(camera);
    if (!bindCamera(session, exitCode)) {
        return exitCode;
    }
    DC_Recv& recv = session.receiver();
    std::vector<CallRecord> log;
    if (!checked(log, startName, start(recv), startSuccess)) {
        return kExitFailed;
    }
    if (forMs) {
        VexctlSleepMs(static_cast<int>(*forMs));
        if (!checked(log, stopName, stop(recv), stopSuccess)) {
            return kExitFailed;
        }
    }
    printCalls(ctx, camera, log);
    return kExitOk;
}

// A single command (no --for).
int runSingle(Context& ctx, const Subcommand& sub, const VexctlCamera& camera, const std::string& name,
              const std::function<int(DC_Recv&)>& command, int success) {
    if (has(ctx, "--for")) {
        return usage(&sub, "--for applies to a movement, not to " + name);
    }
    int exitCode = kExitOk;
    VexctlCameraSession session(camera);
    if (!bindCamera(session, exitCode)) {
        return exitCode;
    }
    std::vector<CallRecord> log;
    if (!checked(log, name, command(session.receiver()), success)) {
        return kExitFailed;
    }
    printCalls(ctx, camera, log);
    return kExitOk;
}

int runPtz(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
           const std::vector<std::string>& args) {
    using Call = int (DC_Recv::*)();
    static const std::map<std::string, std::pair<const char*, Call>> moves = {
        {"up", {"setPanUp()", &DC_Recv::setPanUp}},
        {"down", {"setPanDown()", &DC_Recv::setPanDown}},
        {"left", {"setPanLeft()", &DC_Recv::setPanLeft}},
        {"right", {"setPanRight()", &DC_Recv::setPanRight}},
        {"up-left", {"setPanUpLeft()", &DC_Recv::setPanUpLeft}},
        {"up-right", {"setPanUpRight()", &DC_Recv::setPanUpRight}},
        {"down-left", {"setPanDownLeft()", &DC_Recv::setPanDownLeft}},
        {"down-right", {"setPanDownRight()", &DC_Recv::setPanDownRight}},
    };
    const std::string& what = args[0];
    auto stop = [](DC_Recv& r) { return r.setPanStop(20); };
    if (auto it = moves.find(what); it != moves.end()) {
        const Call call = it->second.second;
        return runTimedMove(
            ctx, sub, *camera, it->second.first, [call](DC_Recv& r) { return (r.*call)(); }, 0,
            "setPanStop(20)", stop, 0);
    }
    if (what == "stop") {
        return runSingle(ctx, sub, *camera, "setPanStop(20)", stop, 0);
    }
    if (what == "home") {
        // setPanHome answers 0 when the camera took the command, 255 when not.
        return runSingle(
            ctx, sub, *camera, "setPanHome()", [](DC_Recv& r) { return r.setPanHome(); }, 0);
    }
    return usage(&sub, "unknown direction \"" + what + "\"");
}

int runZoom(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
            const std::vector<std::string>& args) {
    const std::string& what = args[0];
    auto stop = [](DC_Recv& r) { return r.setZoomStop(35); };
    if (what == "in") {
        return runTimedMove(
            ctx, sub, *camera, "setZoomIn()", [](DC_Recv& r) { return r.setZoomIn(); }, 0, "setZoomStop(35)",
            stop, 0);
    }
    if (what == "out") {
        return runTimedMove(
            ctx, sub, *camera, "setZoomOut()", [](DC_Recv& r) { return r.setZoomOut(); }, 0,
            "setZoomStop(35)", stop, 0);
    }
    if (what == "stop") {
        return runSingle(ctx, sub, *camera, "setZoomStop(35)", stop, 0);
    }
    return usage(&sub, "unknown zoom command \"" + what + "\"");
}

int runFocus(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
             const std::vector<std::string>& args) {
    const std::string& what = args[0];
    // The focus movements answer 255 when the camera took them.
    constexpr int kFocusMoveDone = 255;
    auto stop = [](DC_Recv& r) { return r.setFocusStop(); };
    if (what == "near") {
        return runTimedMove(
            ctx, sub, *camera, "setFocusNear()", [](DC_Recv& r) { return r.setFocusNear(); }, kFocusMoveDone,
            "setFocusStop()", stop, kFocusMoveDone);
    }
    if (what == "far") {
        return runTimedMove(
            ctx, sub, *camera, "setFocusFar()", [](DC_Recv& r) { return r.setFocusFar(); }, kFocusMoveDone,
            "setFocusStop()", stop, kFocusMoveDone);
    }
    if (what == "stop") {
        return runSingle(ctx, sub, *camera, "setFocusStop()", stop, kFocusMoveDone);
    }
    if (what == "auto") {
        return runSingle(
            ctx, sub, *camera, "setAutoFocusMode(1)", [](DC_Recv& r) { return r.setAutoFocusMode(1); }, 0);
    }
    if (what == "manual") {
        return runSingle(
            ctx, sub, *camera, "setAutoFocusMode(0)", [](DC_Recv& r) { return r.setAutoFocusMode(0); }, 0);
    }
    return usage(&sub, "unknown focus command \"" + what + "\"");
}

int runPreset(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
              const std::vector<std::string>& args) {
    int64_t preset = 0;
    if (!VexctlParseInt(args[1], 0, 9, preset)) {
        return usage(&sub, "preset \"" + args[1] + "\" is out of range (presets 0 to 9)");
    }
    const int n = static_cast<int>(preset);
    const std::string number = std::to_string(n);
    if (args[0] == "call") {
        return runSingle(
            ctx, sub, *camera, "callPreset(" + number + ")", [n](DC_Recv& r) { return r.callPreset(n); }, 0);
    }
    if (args[0] == "save") {
        return runSingle(
            ctx, sub, *camera, "savePreset(" + number + ")", [n](DC_Recv& r) { return r.savePreset(n); }, 0);
    }
    if (args[0] == "reset") {
        return runSingle(
            ctx, sub, *camera, "resetPreset(" + number + ")", [n](DC_Recv& r) { return r.resetPreset(n); },
            0);
    }
    return usage(&sub, "unknown preset command \"" + args[0] + "\" (call, save or reset)");
}

const char* const kRotations[] = {"off", "mirror", "flip", "mirror-flip"};

int runRotate(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
              const std::vector<std::string>& args) {
    for (int value = 0; value < 4; ++value) {
        if (args[0] == kRotations[value]) {
            return runSingle(
                ctx, sub, *camera, "setRotate(" + std::to_string(value) + ")",
                [value](DC_Recv& r) { return r.setRotate(value); }, 0);
        }
    }
    return usage(&sub, "unknown rotation \"" + args[0] + "\" (off, mirror, flip or mirror-flip)");
}

void printProperty(const Context& ctx, const VexctlCamera& camera, const std::string& property,
                   const VexctlFields& value, const std::string& text) {
    printResult(ctx, camera, VexctlFields().text("property", property).append(value), text);
}

int runGet(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
           const std::vector<std::string>& args) {
    const std::string& what = args[0];
    if (what == "model") {
        printProperty(ctx, *camera, what,
                      VexctlFields().number("code", camera->modelCode).text("name", camera->modelName),
                      std::to_string(camera->modelCode) + " " + camera->modelName);
        return kExitOk;
    }
    if (what != "rotate" && what != "focus-mode" && what != "firmware") {
        return usage(&sub, "unknown property \"" + what + "\" (rotate, focus-mode, firmware or model)");
    }
    int exitCode = kExitOk;
    VexctlCameraSession session(*camera);
    if (!bindCamera(session, exitCode)) {
        return exitCode;
    }
    DC_Recv& recv = session.receiver();
    std::vector<CallRecord> log;
    if (what == "firmware") {
        std::string text;
        int result = 0;
        if (!readFirmware(recv, text, result)) {
            return fail("getFWVersion() = " + std::to_string(result) +
                        (result == -255 ? " with an empty text (the camera did not answer)"
                                        : " (" + meaning(result) + ")"));
        }
        printProperty(ctx, *camera, what, VexctlFields().text("value", text), text);
        return kExitOk;
    }
    int value = 0;
    if (what == "rotate") {
        if (!checked(log, "getRotate()", recv.getRotate(&value), 0)) {
            return kExitFailed;
        }
        const std::string name = value >= 0 && value < 4 ? kRotations[value] : "unknown";
        printProperty(ctx, *camera, what, VexctlFields().number("value", value).text("name", name),
                      name + " (" + std::to_string(value) + ")");
        return kExitOk;
    }
    if (!checked(log, "getAutoFocusMode()", recv.getAutoFocusMode(&value), 0)) {
        return kExitFailed;
    }
    const std::string name = value == 1 ? "auto" : (value == 0 ? "manual" : "unknown");
    printProperty(ctx, *camera, what, VexctlFields().number("value", value).text("name", name),
                  name + " (" + std::to_string(value) + ")");
    return kExitOk;
}

}  // namespace

std::vector<Subcommand> controlCommands() {
    return {
        {"ptz",
         true,
         1,
         {},
         {"--for"},
         "vexctl ptz [CAMERA] up|down|left|right|up-left|up-right|down-left|down-right|home|stop [--for MS]",
         "Pans and tilts. A direction moves until 'stop', or for MS milliseconds with --for (also\n"
         "stopped by Ctrl+C). 'home' turns the camera to its home position.",
         runPtz},
        {"zoom",
         true,
         1,
         {},
         {"--for"},
         "vexctl zoom [CAMERA] in|out|stop [--for MS]",
         "Zooms in or out until 'stop', or for MS milliseconds with --for.",
         runZoom},
        {"focus",
         true,
         1,
         {},
         {"--for"},
         "vexctl focus [CAMERA] auto|manual|near|far|stop [--for MS]",
         "Sets the focus mode (auto, manual) or moves the focus (near, far) until 'stop', or for MS\n"
         "milliseconds with --for.",
         runFocus},
        {"preset",
         true,
         2,
         {},
         {},
         "vexctl preset [CAMERA] call|save|reset N",
         "Calls, saves or resets preset N (0 to 9).",
         runPreset},
        {"rotate",
         true,
         1,
         {},
         {},
         "vexctl rotate [CAMERA] off|mirror|flip|mirror-flip",
         "Sets the picture's mirror and flip.",
         runRotate},
        {"get",
         true,
         1,
         {},
         {},
         "vexctl get [CAMERA] rotate|focus-mode|firmware|model [--json]",
         "Reads a setting from the camera (model: from the camera's identification).",
         runGet},
    };
}

}  // namespace vexctl
