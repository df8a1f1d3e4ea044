// vexctl's pictures: one as a JPEG file, or a recording of the camera's picture (and sound).

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "Interrupt.h"
#include "Picture.h"
#include "Subcommand.h"

namespace vexctl {
namespace {

std::string megabytes(int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
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
    printResult(
        ctx, *camera,
        VexctlFields()
            .text("file", path)
            .number("width", width)
            .number("height", height)
            .number("bytes", bytes),
        VexctlFormat("%s: %dx%d, %lld bytes", path.c_str(), width, height, static_cast<long long>(bytes)));
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
    printResult(
        ctx, *camera,
        VexctlFields()
            .text("file", path)
            .fixed("seconds", elapsed, 2)
            .number("frames", frames)
            .number("bytes", bytes)
            .boolean("audio", withAudio)
            .boolean("interrupted", interrupted),
        VexctlFormat("%s: %.1f s, %lld frames, %s%s", path.c_str(), elapsed, static_cast<long long>(frames),
                     megabytes(bytes).c_str(), interrupted ? " (stopped by Ctrl+C)" : ""));
    return kExitOk;
}

}  // namespace

std::vector<Subcommand> mediaCommands() {
    return {
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
    };
}

}  // namespace vexctl
