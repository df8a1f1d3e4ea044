#include "Vexctl.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "AppClient.h"
#include "CameraDirectory.h"
#include "CameraSession.h"
#include "CommandLine.h"
#include "FormatChoice.h"
#include "Interrupt.h"
#include "Picture.h"
#include "vexsdk.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// How long a camera may take to deliver its first picture.
constexpr int kFirstPictureMs = 15000;
// The longest --for and --seconds accepted: a day.
constexpr int64_t kLongestMs = 24LL * 3600 * 1000;

// Pixel format 12 (full-range 4:2:0) is what the receiver hands out while face analysis runs.
constexpr int kOutlinedFormat = 12;

struct Context {
    VexctlCommandLine line;
    std::optional<int> index;
};

// One library call and its answer, for the output.
struct CallRecord {
    std::string call;
    int result;
};

struct Subcommand;
using Handler =
    std::function<int(Context&, const Subcommand&, const VexctlCamera*, const std::vector<std::string>&)>;

struct Subcommand {
    const char* name;
    bool takesCamera;
    size_t needed;  // positional arguments of its own
    std::vector<std::string> flags;
    std::vector<std::string> valued;
    const char* synopsis;
    const char* help;
    Handler run;
};

int fail(const std::string& message) {
    std::fprintf(stderr, "vexctl: %s\n", message.c_str());
    return kExitFailed;
}

int usage(const Subcommand* sub, const std::string& message) {
    if (sub != nullptr) {
        std::fprintf(stderr, "vexctl %s: %s (see vexctl %s --help)\n", sub->name, message.c_str(), sub->name);
    } else {
        std::fprintf(stderr, "vexctl: %s (see vexctl --help)\n", message.c_str());
    }
    return kExitUsage;
}

// What a failed call's answer means, as far as the library's result codes tell.
std::string meaning(int result) {
    switch (result) {
        case 65535:
            return "the camera has no command channel";
        case -1:
            return "the camera did not answer";
        case -248:
            return "the camera did not take the focus mode";
        case -252:
            return "no camera control";
        case -255:
            return "no command table for this camera model";
        default:
            return "the camera did not take the command";
    }
}

// Checks one call's answer against its success value; a failure is one stderr line.
bool checked(std::vector<CallRecord>& log, const std::string& call, int result, int success) {
    log.push_back({call, result});
    if (result == success) {
        return true;
    }
    std::fprintf(stderr, "vexctl: %s = %d (%s)\n", call.c_str(), result, meaning(result).c_str());
    return false;
}

void printCalls(const Context& ctx, const VexctlCamera& camera, const std::vector<CallRecord>& log) {
    if (ctx.line.json) {
        std::printf("{\"camera\":%s,\"calls\":[", VexctlJsonString(camera.location).c_str());
        for (size_t i = 0; i < log.size(); ++i) {
            std::printf("%s{\"call\":%s,\"result\":%d}", i ? "," : "", VexctlJsonString(log[i].call).c_str(),
                        log[i].result);
        }
        std::printf("]}\n");
    } else {
        for (const CallRecord& r : log) {
            std::printf("%s = %d\n", r.call.c_str(), r.result);
        }
    }
}

std::string trimmed(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\0')) {
        --end;
    }
    return text.substr(0, end);
}

// The firmware text through getFWVersion, whose answer is -255 whenever a command channel
// exists: an empty text means the camera did not answer. Needs a bound receiver.
bool readFirmware(DC_Recv& recv, std::string& text, int& result) {
    char buffer[64] = {0};
    int length = 0;
    result = recv.getFWVersion(buffer, &length);
    buffer[sizeof buffer - 1] = '\0';
    text = trimmed(buffer);
    return result == -255 && !text.empty();
}

std::optional<int64_t> durationOption(const Context& ctx, const char* name, int64_t min, int64_t max,
                                      const Subcommand& sub, int& exitCode) {
    auto it = ctx.line.options.find(name);
    if (it == ctx.line.options.end()) {
        return std::nullopt;
    }
    int64_t value = 0;
    if (!VexctlParseInt(it->second, min, max, value)) {
        exitCode = usage(&sub, std::string(name) + " takes a whole number from " + std::to_string(min) +
                                   " to " + std::to_string(max) + ", not \"" + it->second + "\"");
        return std::nullopt;
    }
    return value;
}

bool has(const Context& ctx, const char* option) {
    return ctx.line.options.count(option) != 0;
}

// Splits FILE into its folder and name, and checks that the folder exists.
bool splitOutputPath(const std::string& path, std::string& folder, std::string& name, std::string& error) {
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty()) {
        error = path + " names a folder, not a file";
        return false;
    }
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "folder " + folder + " does not exist";
        return false;
    }
    if (::access(folder.c_str(), W_OK) != 0) {
        error = "folder " + folder + " is not writable";
        return false;
    }
    return true;
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : 0;
}

std::string megabytes(int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Opens the camera's picture on the chosen (or the automatic) format.
bool openPicture(const Context& ctx, VexctlCameraSession& session, bool withAudio, const Subcommand& sub,
                 int& exitCode) {
    std::string error;
    std::optional<int> audioIndex;
    std::optional<int> formatIndex;
    if (auto v = durationOption(ctx, "--audio-device", 0, 255, sub, exitCode)) {
        audioIndex = static_cast<int>(*v);
    } else if (exitCode != kExitOk) {
        return false;
    }
    if (auto v = durationOption(ctx, "--format", 0, 100000, sub, exitCode)) {
        formatIndex = static_cast<int>(*v);
    } else if (exitCode != kExitOk) {
        return false;
    }
    if (!session.discover(withAudio, audioIndex, error)) {
        exitCode = fail(error);
        return false;
    }
    DC_VideoFormat format{};
    if (!VexctlChooseFormat(session.formats().videoFormatList, formatIndex, format, error) ||
        !session.start(format, error) || !session.waitForPicture(kFirstPictureMs, error)) {
        exitCode = fail(error);
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Subcommands
// ---------------------------------------------------------------------------------------

int runList(Context& ctx, const Subcommand&, const VexctlCamera*, const std::vector<std::string>&) {
    std::vector<VexctlCamera> cameras;
    std::string error;
    if (!VexctlListCameras(cameras, error)) {
        return fail(error);
    }
    std::vector<std::string> firmware;
    for (const VexctlCamera& camera : cameras) {
        VexctlCameraSession session(camera);
        std::string text;
        if (session.discover(false, std::nullopt, error)) {
            session.bind();
            int result = 0;
            readFirmware(session.receiver(), text, result);
        }
        firmware.push_back(text);
    }
    if (ctx.line.json) {
        std::printf("[");
        for (size_t i = 0; i < cameras.size(); ++i) {
            const VexctlCamera& c = cameras[i];
            std::printf(
                "%s{\"index\":%d,\"location\":%s,\"vendor_id\":%s,\"product_id\":%s,\"model_code\":%d,"
                "\"model\":%s,\"firmware\":%s,\"friendly_name\":%s,\"video_node\":%s,\"video_name\":%s}",
                i ? "," : "", c.index, VexctlJsonString(c.location).c_str(),
                VexctlJsonString(c.vendorId).c_str(), VexctlJsonString(c.productId).c_str(), c.modelCode,
                VexctlJsonString(c.modelName).c_str(), VexctlJsonString(firmware[i]).c_str(),
                VexctlJsonString(c.friendlyName).c_str(), VexctlJsonString(c.videoNode).c_str(),
                VexctlJsonString(c.videoName).c_str());
        }
        std::printf("]\n");
        return kExitOk;
    }
    if (cameras.empty()) {
        std::printf("no supported camera attached\n");
        return kExitOk;
    }
    std::printf("%-5s  %-16s  %-18s  %-10s  %s\n", "INDEX", "LOCATION", "MODEL", "FIRMWARE", "VIDEO DEVICE");
    for (size_t i = 0; i < cameras.size(); ++i) {
        const VexctlCamera& c = cameras[i];
        const std::string model = std::to_string(c.modelCode) + " " + c.modelName;
        const std::string device = c.videoNode.empty() ? c.videoName : c.videoNode + " (" + c.videoName + ")";
        std::printf("%-5d  %-16s  %-18s  %-10s  %s\n", c.index, c.location.c_str(), model.c_str(),
                    firmware[i].empty() ? "-" : firmware[i].c_str(), device.c_str());
    }
    return kExitOk;
}

int runFormats(Context& ctx, const Subcommand&, const VexctlCamera* camera, const std::vector<std::string>&) {
    VexctlCameraSession session(*camera);
    std::string error;
    if (!session.discover(false, std::nullopt, error)) {
        return fail(error);
    }
    const std::list<DC_VideoFormat>& formats = session.formats().videoFormatList;
    if (ctx.line.json) {
        std::printf("{\"camera\":%s,\"formats\":[", VexctlJsonString(camera->location).c_str());
        bool first = true;
        for (const DC_VideoFormat& f : formats) {
            std::printf(
                "%s{\"index\":%d,\"width\":%d,\"height\":%d,\"frame_rate\":%.3f,\"format\":%d,"
                "\"format_name\":%s}",
                first ? "" : ",", f.index, f.width, f.height, f.frameRate, f.format,
                VexctlJsonString(VexctlFormatName(f.format)).c_str());
            first = false;
        }
        std::printf("]}\n");
        return kExitOk;
    }
    std::printf("%-5s  %-11s  %-8s  %s\n", "INDEX", "SIZE", "FPS", "FORMAT");
    for (const DC_VideoFormat& f : formats) {
        const std::string size = std::to_string(f.width) + "x" + std::to_string(f.height);
        std::printf("%-5d  %-11s  %-8.3f  %s\n", f.index, size.c_str(), f.frameRate,
                    VexctlFormatName(f.format));
    }
    return kExitOk;
}

// A bound receiver for the command channel; false (with the exit code) when the camera's
// capture device is gone.
bool bindCamera(VexctlCameraSession& session, int& exitCode) {
    std::string error;
    if (!session.discover(false, std::nullopt, error)) {
        exitCode = fail(error);
        return false;
    }
    session.bind();
    return true;
}

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
                   const std::string& jsonValue, const std::string& text) {
    if (ctx.line.json) {
        std::printf("{\"camera\":%s,\"property\":%s,%s}\n", VexctlJsonString(camera.location).c_str(),
                    VexctlJsonString(property).c_str(), jsonValue.c_str());
    } else {
        std::printf("%s\n", text.c_str());
    }
}

int runGet(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
           const std::vector<std::string>& args) {
    const std::string& what = args[0];
    if (what == "model") {
        printProperty(ctx, *camera, what,
                      "\"code\":" + std::to_string(camera->modelCode) +
                          ",\"name\":" + VexctlJsonString(camera->modelName),
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
        printProperty(ctx, *camera, what, "\"value\":" + VexctlJsonString(text), text);
        return kExitOk;
    }
    int value = 0;
    if (what == "rotate") {
        if (!checked(log, "getRotate()", recv.getRotate(&value), 0)) {
            return kExitFailed;
        }
        const std::string name = value >= 0 && value < 4 ? kRotations[value] : "unknown";
        printProperty(ctx, *camera, what,
                      "\"value\":" + std::to_string(value) + ",\"name\":" + VexctlJsonString(name),
                      name + " (" + std::to_string(value) + ")");
        return kExitOk;
    }
    if (!checked(log, "getAutoFocusMode()", recv.getAutoFocusMode(&value), 0)) {
        return kExitFailed;
    }
    const std::string name = value == 1 ? "auto" : (value == 0 ? "manual" : "unknown");
    printProperty(ctx, *camera, what,
                  "\"value\":" + std::to_string(value) + ",\"name\":" + VexctlJsonString(name),
                  name + " (" + std::to_string(value) + ")");
    return kExitOk;
}

// The picture size in a JPEG's frame header (SOF0-SOF15 but DHT, JPG and DAC); 0x0 when the
// bytes hold none. Every length is checked against the end: the bytes come from a camera.
void jpegSize(const uint8_t* data, int32_t size, int* width, int* height) {
    *width = 0;
    *height = 0;
    int32_t at = 2;  // after SOI
    while (at + 4 <= size && data[at] == 0xFF) {
        const uint8_t marker = data[at + 1];
        const int32_t length = (data[at + 2] << 8) | data[at + 3];
        if (length < 2) {
            return;
        }
        if (marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC) {
            if (at + 9 <= size) {
                *height = (data[at + 5] << 8) | data[at + 6];
                *width = (data[at + 7] << 8) | data[at + 8];
            }
            return;
        }
        at += 2 + length;
    }
}

int runSnapshot(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
                const std::vector<std::string>& args) {
    const std::string& path = args[0];
    std::string folder;
    std::string name;
    std::string error;
    if (!splitOutputPath(path, folder, name, error)) {
        return fail(error);
    }
    int exitCode = kExitOk;
    VexctlCameraSession session(*camera);
    if (!openPicture(ctx, session, false, sub, exitCode)) {
        return exitCode;
    }
    DC_Recv& recv = session.receiver();
    // The library hands out the camera's own JPEG (or the newest picture, encoded once).
    DC_JPEG_Frame jpeg{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFirstPictureMs);
    for (;;) {
        if (VexctlInterrupted()) {
            return fail("interrupted before a picture came");
        }
        const DC_Error_Type result = recv.captureJPEG(&jpeg, 100);
        if (result == DC_ERROR_NONE && jpeg.data != nullptr && jpeg.size > 0) {
            break;
        }
        if (result == DC_ERROR_NONE) {
            recv.freeJPEG(&jpeg);
        } else if (result == DC_ERROR_NOT_RUNNING || std::chrono::steady_clock::now() > deadline) {
            return fail("captureJPEG() = " + std::to_string(result) + ": no picture from the camera");
        }
    }
    int width = 0;
    int height = 0;
    jpegSize(jpeg.data, jpeg.size, &width, &height);
    const bool written = VexctlWriteFile(path, jpeg.data, static_cast<size_t>(jpeg.size), error);
    recv.freeJPEG(&jpeg);
    if (!written) {
        return fail(error);
    }
    const int64_t bytes = fileSize(path);
    if (ctx.line.json) {
        std::printf("{\"camera\":%s,\"file\":%s,\"width\":%d,\"height\":%d,\"bytes\":%lld}\n",
                    VexctlJsonString(camera->location).c_str(), VexctlJsonString(path).c_str(), width, height,
                    static_cast<long long>(bytes));
    } else {
        std::printf("%s: %dx%d, %lld bytes\n", path.c_str(), width, height, static_cast<long long>(bytes));
    }
    return kExitOk;
}

int runRecord(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
              const std::vector<std::string>& args) {
    const std::string& path = args[0];
    int exitCode = kExitOk;
    const std::optional<int64_t> seconds =
        durationOption(ctx, "--seconds", 1, kLongestMs / 1000, sub, exitCode);
    if (exitCode != kExitOk) {
        return exitCode;
    }
    std::string folder;
    std::string name;
    std::string error;
    if (!splitOutputPath(path, folder, name, error)) {
        return fail(error);
    }
    if (name.find('.') == std::string::npos) {
        return usage(&sub, "the file name needs an extension that names the container (.mp4, .mkv, .ts)");
    }
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && !has(ctx, "--overwrite")) {
        return fail(path + " exists (--overwrite replaces it)");
    }
    const bool withAudio = has(ctx, "--audio");
    VexctlCameraSession session(*camera);
    if (!openPicture(ctx, session, withAudio, sub, exitCode)) {
        return exitCode;
    }
    DC_Recv& recv = session.receiver();
    if (!recv.recordingStart(folder.c_str(), name.c_str(), withAudio)) {
        return fail("recordingStart(\"" + folder + "\", \"" + name + "\", " + (withAudio ? "true" : "false") +
                    ") = false: the recording cannot start");
    }
    const auto start = std::chrono::steady_clock::now();
    const bool progress = !ctx.line.json && ::isatty(STDOUT_FILENO);
    auto lastProgress = start;
    int64_t frames = 0;
    bool streamEnded = false;
    while (!VexctlInterrupted() && !(seconds && secondsSince(start) >= static_cast<double>(*seconds))) {
        // The preview is drained as a host program's display would; the receiver records on
        // its own thread.
        const DC_Error_Type result = recv.captureVideo(nullptr, 100);
        if (result == DC_ERROR_NONE) {
            ++frames;
        } else if (result == DC_ERROR_NOT_RUNNING) {
            streamEnded = true;
            break;
        }
        if (progress && std::chrono::steady_clock::now() - lastProgress >= std::chrono::milliseconds(250)) {
            lastProgress = std::chrono::steady_clock::now();
            std::printf("\rrecording %s  %.1f s  %lld frames  %s   ", path.c_str(), secondsSince(start),
                        static_cast<long long>(frames), megabytes(fileSize(path)).c_str());
            std::fflush(stdout);
        }
    }
    const bool interrupted = VexctlInterrupted();
    const bool stopped = recv.recordingStop();
    const double elapsed = secondsSince(start);
    if (progress) {
        std::printf("\n");
    }
    if (!stopped) {
        return fail("recordingStop() = false: writing " + path +
                    " failed; the file ends where writing stopped");
    }
    if (streamEnded) {
        return fail("the camera's picture ended after " + std::to_string(static_cast<int>(elapsed)) + " s; " +
                    path + " holds what came until then");
    }
    const int64_t bytes = fileSize(path);
    if (ctx.line.json) {
        std::printf(
            "{\"camera\":%s,\"file\":%s,\"seconds\":%.2f,\"frames\":%lld,\"bytes\":%lld,\"audio\":%s,"
            "\"interrupted\":%s}\n",
            VexctlJsonString(camera->location).c_str(), VexctlJsonString(path).c_str(), elapsed,
            static_cast<long long>(frames), static_cast<long long>(bytes), withAudio ? "true" : "false",
            interrupted ? "true" : "false");
    } else {
        std::printf("%s: %.1f s, %lld frames, %s%s\n", path.c_str(), elapsed, static_cast<long long>(frames),
                    megabytes(bytes).c_str(), interrupted ? " (stopped by Ctrl+C)" : "");
    }
    return kExitOk;
}

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
            if (ctx.line.json) {
                std::printf("{\"camera\":%s,\"channel\":%d,\"preset\":%d}\n",
                            VexctlJsonString(camera->location).c_str(), channel, preset);
            } else {
                std::printf("channel %d: callPreset(%d)\n", channel, preset);
            }
            std::fflush(stdout);
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
    if (ctx.line.json) {
        std::printf("{\"camera\":%s,\"mode\":%d,\"seconds\":%.2f,\"frames\":%lld,\"snapshot\":%s}\n",
                    VexctlJsonString(camera->location).c_str(), static_cast<int>(mode), elapsed,
                    static_cast<long long>(frames),
                    snapshot.empty() ? "null" : VexctlJsonString(snapshot).c_str());
    } else {
        std::printf("tracked in mode %d for %.1f s, %lld frames analysed%s%s\n", static_cast<int>(mode),
                    elapsed, static_cast<long long>(frames), snapshot.empty() ? "" : "; last picture in ",
                    snapshot.c_str());
    }
    return kExitOk;
}

// ---------------------------------------------------------------------------------------
// The table and the dispatch
// ---------------------------------------------------------------------------------------

const std::vector<Subcommand>& subcommands() {
    static const std::vector<Subcommand> table = {
        {"list",
         false,
         0,
         {},
         {},
         "vexctl list [--json]",
         "Lists the supported cameras attached: index, location identity, model (code and name),\n"
         "firmware version and video device.",
         runList},
        {"formats",
         true,
         0,
         {},
         {},
         "vexctl formats [CAMERA] [--json]",
         "Lists the camera's video formats with the index that --format takes.",
         runFormats},
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
        {"snapshot",
         true,
         1,
         {},
         {"--format"},
         "vexctl snapshot [CAMERA] FILE.jpg [--format N]",
         "Writes one picture of the camera as a JPEG file.",
         runSnapshot},
        {"record",
         true,
         1,
         {"--audio", "--overwrite"},
         {"--seconds", "--format", "--audio-device"},
         "vexctl record [CAMERA] FILE [--seconds N] [--audio [--audio-device N]] [--format N] [--overwrite]",
         "Records the camera to FILE (H.264, with --audio also AAC; the container from the\n"
         "extension: .mp4, .mkv, .ts, ...) for N seconds, or until Ctrl+C, which finishes the file\n"
         "cleanly. On a terminal a progress line shows the time, the pictures and the file size.\n"
         "--audio records the microphone whose name matches the camera's (else the first one),\n"
         "or the one at index N with --audio-device. An existing FILE is kept unless --overwrite.",
         runRecord},
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
    return table;
}

void printOverview() {
    std::printf(
        "vexctl: control USB PTZ conference cameras (vendor 1d4d) from the command line.\n\n"
        "Usage: vexctl [--json] [--index N] SUBCOMMAND [CAMERA] ARGUMENTS...\n\n");
    for (const Subcommand& sub : subcommands()) {
        std::printf("  %s\n", sub.synopsis);
    }
    std::printf("  vexctl app REQUEST...   (drives the running VantorReda; see vexctl app --help)\n");
    std::printf(
        "\nCAMERA is a location identity as 'vexctl list' shows it, quoted in a shell because of\n"
        "its ampersands ('1&2.4&1&0000'); without it the camera is the one --index N names (list\n"
        "order), or the only one attached.\n"
        "--json prints the result as JSON. 'vexctl SUBCOMMAND --help' explains a subcommand.\n"
        "Exit status: 0 success; 1 a camera call or the operation failed (one line on stderr\n"
        "names the call and its answer); 2 a mistake on the command line.\n"
        "VEXSDK_SIM=SOCKET uses a simulated camera backend; VEXSDK_DEBUG=1 prints the library's log.\n");
}

void printHelp(const Subcommand& sub) {
    std::printf("Usage: %s\n\n%s\n", sub.synopsis, sub.help);
    if (sub.takesCamera) {
        std::printf("\nCAMERA: a location identity (see vexctl list); or --index N; or the only camera.\n");
    }
}

const Subcommand* findSubcommand(const std::string& name) {
    for (const Subcommand& sub : subcommands()) {
        if (name == sub.name) {
            return &sub;
        }
    }
    return nullptr;
}

}  // namespace

int VexctlMain(const std::vector<std::string>& args) {
    // `vexctl app ...` talks to the running application, not to a camera: its own options.
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].size() > 1 && args[i][0] == '-') {
            continue;
        }
        if (args[i] == "app") {
            std::vector<std::string> rest(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            return VexctlAppMain(rest);
        }
        break;
    }
    std::vector<std::string> allFlags;
    std::vector<std::string> allValued = {"--index"};
    for (const Subcommand& sub : subcommands()) {
        allFlags.insert(allFlags.end(), sub.flags.begin(), sub.flags.end());
        allValued.insert(allValued.end(), sub.valued.begin(), sub.valued.end());
    }
    Context ctx;
    std::string error;
    if (!VexctlParse(args, allFlags, allValued, ctx.line, error)) {
        return usage(nullptr, error);
    }
    if (ctx.line.subcommand == "help") {
        if (!ctx.line.positionals.empty() && ctx.line.positionals.front() == "app") {
            return VexctlAppMain({"--help"});
        }
        if (!ctx.line.positionals.empty()) {
            const Subcommand* sub = findSubcommand(ctx.line.positionals.front());
            if (sub == nullptr) {
                return usage(nullptr, "unknown subcommand \"" + ctx.line.positionals.front() + "\"");
            }
            printHelp(*sub);
            return kExitOk;
        }
        printOverview();
        return kExitOk;
    }
    if (ctx.line.subcommand.empty()) {
        if (ctx.line.help) {
            printOverview();
            return kExitOk;
        }
        return usage(nullptr, "no subcommand given");
    }
    const Subcommand* sub = findSubcommand(ctx.line.subcommand);
    if (sub == nullptr) {
        return usage(nullptr, "unknown subcommand \"" + ctx.line.subcommand + "\"");
    }
    if (ctx.line.help) {
        printHelp(*sub);
        return kExitOk;
    }
    for (const auto& [option, value] : ctx.line.options) {
        const bool own = std::find(sub->flags.begin(), sub->flags.end(), option) != sub->flags.end() ||
                         std::find(sub->valued.begin(), sub->valued.end(), option) != sub->valued.end();
        if (!own && !(option == "--index" && sub->takesCamera)) {
            return usage(sub, "option " + option + " does not apply here");
        }
    }
    if (auto it = ctx.line.options.find("--index"); it != ctx.line.options.end()) {
        int64_t index = 0;
        if (!VexctlParseInt(it->second, 0, 1000, index)) {
            return usage(sub, "--index takes a camera's index from vexctl list, not \"" + it->second + "\"");
        }
        ctx.index = static_cast<int>(index);
    }

    VexctlCameraName named;
    if (sub->takesCamera) {
        if (!VexctlSplitCamera(ctx.line.positionals, sub->needed, named, error)) {
            return usage(sub, error);
        }
    } else {
        if (!ctx.line.positionals.empty()) {
            return usage(sub, "too many arguments");
        }
    }

    VexctlInstallInterruptHandler();
    if (!sub->takesCamera) {
        return sub->run(ctx, *sub, nullptr, ctx.line.positionals);
    }
    std::vector<VexctlCamera> cameras;
    if (!VexctlListCameras(cameras, error)) {
        return fail(error);
    }
    VexctlCamera camera;
    if (!VexctlSelectCamera(cameras, named.location, ctx.index, camera, error)) {
        return fail(error);
    }
    return sub->run(ctx, *sub, &camera, named.rest);
}
