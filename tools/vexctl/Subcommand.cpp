#include "Subcommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "FormatChoice.h"

namespace vexctl {

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

bool checked(std::vector<CallRecord>& log, const std::string& call, int result, int success) {
    log.push_back({call, result});
    if (result == success) {
        return true;
    }
    std::fprintf(stderr, "vexctl: %s = %d (%s)\n", call.c_str(), result, meaning(result).c_str());
    return false;
}

void printResult(const Context& ctx, const VexctlCamera& camera, const VexctlFields& fields,
                 const std::string& text) {
    VexctlPrint(ctx.line.json, VexctlFields().text("camera", camera.location).append(fields).json(), text);
}

void printCalls(const Context& ctx, const VexctlCamera& camera, const std::vector<CallRecord>& log) {
    std::vector<VexctlFields> calls;
    std::string text;
    for (const CallRecord& r : log) {
        calls.push_back(VexctlFields().text("call", r.call).number("result", r.result));
        text += (text.empty() ? "" : "\n") + VexctlFormat("%s = %d", r.call.c_str(), r.result);
    }
    printResult(ctx, camera, VexctlFields().raw("calls", VexctlJsonArray(calls)), text);
}

namespace {

std::string trimmed(const std::string& text) {
    size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\0')) {
        --end;
    }
    return text.substr(0, end);
}

}  // namespace

bool readFirmware(DC_Recv& recv, std::string& text, int& result) {
    char buffer[64] = {0};
    int length = 0;
    result = recv.getFWVersion(buffer, &length);
    buffer[sizeof buffer - 1] = '\0';
    text = trimmed(buffer);
    return result == -255 && !text.empty();
}

bool has(const Context& ctx, const char* option) {
    return ctx.line.options.count(option) != 0;
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

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool bindCamera(VexctlCameraSession& session, int& exitCode) {
    std::string error;
    if (!session.discover(false, std::nullopt, error)) {
        exitCode = fail(error);
        return false;
    }
    session.bind();
    return true;
}

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

}  // namespace vexctl
