// vexctl's tracking: the camera steered by a microphone array's gates (follow-shure) or by
// the library's face analysis (track).

#include <chrono>
#include <cstdio>
#include <map>

#include "Interrupt.h"
#include "Picture.h"
#include "Subcommand.h"

namespace vexctl {
namespace {

// Pixel format 12 (full-range 4:2:0) is what the receiver hands out while face analysis runs.
constexpr int kOutlinedFormat = 12;

int runFollowShure(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
                   const std::vector<std::string>&) {
    if (!has(ctx, "--array") || !has(ctx, "--map")) {
        return usage(&sub, "--array IP and --map CHANNEL=PRESET,... are required");
    }
    const std::string address = ctx.line.options.at("--array");
    if (!VexctlIsIpv4(address)) {
        return usage(&sub, "--array takes a dotted IPv4 address, not \"" + address + "\"");
    }
    std::map<int, int> map;
    std::string error;
    if (!VexctlParsePresetMap(ctx.line.options.at("--map"), map, error)) {
        return usage(&sub, error);
    }
    int exitCode = kExitOk;
    VexctlCameraSession session(*camera);
    if (!bindCamera(session, exitCode)) {
        return exitCode;
    }
    DC_Recv& recv = session.receiver();
    if (!recv.connectShureSound(address.c_str())) {
        return fail("connectShureSound(\"" + address + "\") = false: no array answers on " + address +
                    ":2202");
    }
    recv.setSoundArrayPresetMap(map);
    if (!ctx.line.json) {
        std::printf("following the array at %s (Ctrl+C ends)\n", address.c_str());
        std::fflush(stdout);
    }
    // The array client answers 0 both while no channel was selected and when the array closed
    // the link, and a closed link answers at once. A selected channel never goes back to 0, so
    // a 0 after one is a close; before any, a long run of instant zero answers is one (a live
    // array that sends nothing makes each read wait up to a second).
    constexpr int kInstantZerosForClose = 200;
    int selected = 0;
    int instantZeros = 0;
    bool closed = false;
    while (!VexctlInterrupted()) {
        const auto before = std::chrono::steady_clock::now();
        const int channel = recv.recvShureSoundArrayData(false);
        const bool instant = std::chrono::steady_clock::now() - before < std::chrono::milliseconds(2);
        if (channel == 0) {
            instantZeros = instant ? instantZeros + 1 : 0;
            if (selected != 0 || instantZeros >= kInstantZerosForClose) {
                closed = true;
                break;
            }
            continue;
        }
        instantZeros = 0;
        if (channel != selected) {
            selected = channel;
            const auto it = map.find(channel);
            const int preset = it == map.end() ? 0 : it->second;
            printResult(ctx, *camera, VexctlFields().number("channel", channel).number("preset", preset),
                        VexctlFormat("channel %d: callPreset(%d)", channel, preset));
        }
    }
    recv.recvShureSoundArrayData(true);
    if (closed) {
        return fail("the array at " + address + " closed the connection");
    }
    return kExitOk;
}

int runTrack(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
             const std::vector<std::string>&) {
    int exitCode = kExitOk;
    if (!has(ctx, "--mode")) {
        return usage(&sub, "--mode 0|1|2 is required");
    }
    int64_t mode = 0;
    if (!VexctlParseInt(ctx.line.options.at("--mode"), 0, 2, mode)) {
        return usage(&sub, "--mode takes 0, 1 or 2, not \"" + ctx.line.options.at("--mode") + "\"");
    }
    const std::optional<int64_t> seconds =
        durationOption(ctx, "--seconds", 1, kLongestMs / 1000, sub, exitCode);
    if (exitCode != kExitOk) {
        return exitCode;
    }
    std::string snapshot;
    std::string error;
    if (has(ctx, "--snapshot")) {
        snapshot = ctx.line.options.at("--snapshot");
        std::string folder;
        std::string name;
        if (!splitOutputPath(snapshot, folder, name, error)) {
            return fail(error);
        }
    }
    VexctlCameraSession session(*camera);
    session.setMirrored(has(ctx, "--mirrored"));
    if (!openPicture(ctx, session, false, sub, exitCode)) {
        return exitCode;
    }
    DC_Recv& recv = session.receiver();
    // Mode 3 makes tracking active on the first analysed picture; then the chosen mode.
    recv.setIsEnableAIMode(true, 3);
    int currentMode = 3;
    VexctlPicture last;
    int64_t frames = 0;
    const auto start = std::chrono::steady_clock::now();
    while (!VexctlInterrupted() && !(seconds && secondsSince(start) >= static_cast<double>(*seconds))) {
        DC_Video_Frame frame{};
        const DC_Error_Type result = recv.captureVideo(&frame, 100);
        if (result == DC_ERROR_NOT_RUNNING) {
            recv.setIsEnableAIMode(false, currentMode);
            return fail("captureVideo() = 2: the camera's picture ended");
        }
        if (result != DC_ERROR_NONE) {
            continue;
        }
        ++frames;
        const bool analysed = frame.format == kOutlinedFormat;
        if (analysed && !snapshot.empty()) {
            last.copyFrom(frame);
        }
        recv.freeVideo(&frame);
        if (!analysed) {
            recv.setIsEnableAIMode(false, currentMode);
            return fail(
                "setIsEnableAIMode(true, 3): face analysis did not start (are the face models installed? "
                "VEXSDK_DEBUG=1 names the missing file)");
        }
        if (currentMode == 3) {
            currentMode = static_cast<int>(mode);
            recv.setIsEnableAIMode(true, currentMode);
        }
    }
    recv.setIsEnableAIMode(false, currentMode);
    // Tracking may have left the camera moving.
    std::vector<CallRecord> log;
    const bool panStopped = checked(log, "setPanStop(20)", recv.setPanStop(20), 0);
    const bool zoomStopped = checked(log, "setZoomStop(35)", recv.setZoomStop(35), 0);
    if (!panStopped || !zoomStopped) {
        return kExitFailed;
    }
    if (!snapshot.empty() && !last.writeJpeg(snapshot, error)) {
        return fail(error);
    }
    const double elapsed = secondsSince(start);
    printResult(ctx, *camera,
                VexctlFields()
                    .number("mode", mode)
                    .fixed("seconds", elapsed, 2)
                    .number("frames", frames)
                    .textOrNull("snapshot", snapshot),
                VexctlFormat("tracked in mode %d for %.1f s, %lld frames analysed%s%s",
                             static_cast<int>(mode), elapsed, static_cast<long long>(frames),
                             snapshot.empty() ? "" : "; last picture in ", snapshot.c_str()));
    return kExitOk;
}

}  // namespace

std::vector<Subcommand> trackingCommands() {
    return {
        {"follow-shure",
         true,
         0,
         {},
         {"--array", "--map"},
         "vexctl follow-shure [CAMERA] --array IP --map CHANNEL=PRESET[,CHANNEL=PRESET...]",
         "Follows a Shure microphone array (port 2202) until Ctrl+C: when exactly one channel's\n"
         "gate opens, the camera calls the preset mapped to it (channels 1-8, presets 0-9; an\n"
         "unmapped channel calls preset 0). Prints each recall (with --json one object a line).",
         runFollowShure},
        {"track",
         true,
         0,
         {"--mirrored"},
         {"--mode", "--seconds", "--snapshot", "--format"},
         "vexctl track [CAMERA] --mode 0|1|2 [--seconds N] [--snapshot FILE.jpg] [--mirrored] [--format N]",
         "Face tracking: the camera follows a face (mode 0: horizontally only; 1: both axes and\n"
         "zoom; 2: the person talking) for N seconds or until Ctrl+C, then stops moving.\n"
         "--snapshot writes the last analysed picture, faces outlined. --mirrored swaps left and\n"
         "right for a camera mounted mirrored. The face models are looked for in the working\n"
         "folder, VEXSDK_MODEL_DIR and the installed models folder.",
         runTrack},
    };
}

}  // namespace vexctl
