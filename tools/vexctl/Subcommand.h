#pragma once

// What vexctl's command files share: the row a subcommand adds to the command table, the
// context it runs in, and the steps most of them take (open the camera, check a call's
// answer, read an option). One file a topic (ListCommands, ControlCommands, MediaCommands,
// TrackingCommands) defines the subcommands of that topic and hands out its rows; Vexctl.cpp
// puts the rows together, parses the command line against them and dispatches.
//
// Threading: the main thread only.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CameraDirectory.h"
#include "CameraSession.h"
#include "CommandLine.h"
#include "Output.h"
#include "vexsdk.h"

namespace vexctl {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// How long a camera may take to deliver its first picture.
constexpr int kFirstPictureMs = 15000;
// The longest --for and --seconds accepted: a day.
constexpr int64_t kLongestMs = 24LL * 3600 * 1000;

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
// `camera` is null for a subcommand that takes none; `args` are its own positional arguments.
using Handler = std::function<int(Context&, const Subcommand&, const VexctlCamera* camera,
                                  const std::vector<std::string>& args)>;

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

// The rows of each topic, in the order the overview lists them.
std::vector<Subcommand> listCommands();
std::vector<Subcommand> controlCommands();
std::vector<Subcommand> mediaCommands();
std::vector<Subcommand> trackingCommands();
std::vector<Subcommand> viscaCommands();

// One stderr line; answers kExitFailed.
int fail(const std::string& message);
// One stderr line pointing at the help (of `sub`, when given); answers kExitUsage.
int usage(const Subcommand* sub, const std::string& message);

// What a failed call's answer means, as far as the library's result codes tell.
std::string meaning(int result);
// Logs one call's answer and checks it against its success value; a failure is one stderr line.
bool checked(std::vector<CallRecord>& log, const std::string& call, int result, int success);
// Prints a result about `camera`: with --json one object, the camera's location first and
// then `fields`; else `text`.
void printResult(const Context& ctx, const VexctlCamera& camera, const VexctlFields& fields,
                 const std::string& text);
// The calls made and their answers.
void printCalls(const Context& ctx, const VexctlCamera& camera, const std::vector<CallRecord>& log);

// The firmware text through getFWVersion, whose answer is -255 whenever a command channel
// exists: an empty text means the camera did not answer. Needs a bound receiver.
bool readFirmware(DC_Recv& recv, std::string& text, int& result);

bool has(const Context& ctx, const char* option);
// A whole-number option within [min, max]: nullopt when absent, or (with `exitCode` set) when
// it is no such number.
std::optional<int64_t> durationOption(const Context& ctx, const char* name, int64_t min, int64_t max,
                                      const Subcommand& sub, int& exitCode);

// Splits FILE into its folder and name, and checks that the folder exists.
bool splitOutputPath(const std::string& path, std::string& folder, std::string& name, std::string& error);
int64_t fileSize(const std::string& path);
double secondsSince(std::chrono::steady_clock::time_point start);

// A bound receiver for the command channel; false (with the exit code) when the camera's
// capture device is gone.
bool bindCamera(VexctlCameraSession& session, int& exitCode);
// Opens the camera's picture on the chosen (or the automatic) format.
bool openPicture(const Context& ctx, VexctlCameraSession& session, bool withAudio, const Subcommand& sub,
                 int& exitCode);

}  // namespace vexctl
