// vexctl run as a program against the simulator's server (VEXSDK_SIM), as a script would run
// it: what it prints, its exit status, and what reached the camera's extension unit. The
// simulated camera streams a generated MJPEG clip from a loopback server.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "FakeShureArray.h"
#include "KXJsonLine.h"
#include "MediaFileReader.h"
#include "MediaTestSupport.h"
#include "SimLocalCamera.h"

extern char** environ;

namespace {

const std::string kBusPort = "1&2.4";
const std::string kLocation = "1&2.4&1&0000";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int64_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

size_t lineCount(const std::string& text) {
    size_t lines = 0;
    for (char c : text) {
        lines += c == '\n';
    }
    return lines;
}

// One run of vexctl with its standard output and error in files.
class VexctlProcess {
public:
    // Runs `program` (vexctl unless another is named) with `args`.
    VexctlProcess(const std::vector<std::string>& args, const std::vector<std::string>& environment,
                  const std::string& folder, const std::string& program = VEXCTL_BINARY)
        : _out(folder + "/stdout." + std::to_string(++_runs)),
          _err(folder + "/stderr." + std::to_string(_runs)) {
        std::vector<std::string> argv = {program};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> cargv;
        for (std::string& a : argv) {
            cargv.push_back(a.data());
        }
        cargv.push_back(nullptr);
        std::vector<std::string> env = environment;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry = *e;
            if (entry.rfind("VEXSDK_", 0) != 0) {
                env.push_back(entry);
            }
        }
        std::vector<char*> cenv;
        for (std::string& e : env) {
            cenv.push_back(e.data());
        }
        cenv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, _out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, _err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (posix_spawn(&_pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) {
            _pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
    }
    ~VexctlProcess() {
        if (_pid > 0 && !_exited) {
            ::kill(_pid, SIGKILL);
            int status = 0;
            ::waitpid(_pid, &status, 0);
        }
    }
    VexctlProcess(const VexctlProcess&) = delete;
    VexctlProcess& operator=(const VexctlProcess&) = delete;

    bool started() const { return _pid > 0; }
    void interrupt() { ::kill(_pid, SIGINT); }

    // Waits for the end; false when it did not end within the bound. The exit status is
    // -1 when the program ended by a signal.
    bool wait(int timeoutMs = kMediaWaitMs * 3) {
        if (_exited) {
            return true;
        }
        int status = 0;
        const bool ended = MediaWaitFor(
            [&] {
                if (::waitpid(_pid, &status, WNOHANG) != _pid) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    return false;
                }
                return true;
            },
            timeoutMs);
        if (ended) {
            _exited = true;
            _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return ended;
    }
    int status() const { return _status; }
    std::string out() const { return readFile(_out); }
    std::string err() const { return readFile(_err); }

private:
    static inline int _runs = 0;
    std::string _out;
    std::string _err;
    pid_t _pid = -1;
    bool _exited = false;
    int _status = -2;
};

struct Result {
    int status = -2;
    std::string out;
    std::string err;
};

class VexctlTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(_camera.serve(SimLocalCamera::mjpegRecipe(320, 240)));
        addCamera(kBusPort, "6009", "ZM-150 Camera", "KPH1.0", "");
    }

    // A supported camera whose model shows in its firmware version or in the name it reports;
    // its stream is offered at 30 and at 15 pictures a second.
    void addCamera(const std::string& busPort, const std::string& pid, const std::string& name,
                   const std::string& firmware, const std::string& reportedName) {
        SimLocalCamera::Setup setup;
        setup.busPort = busPort;
        setup.pid = pid;
        setup.friendlyName = name;
        setup.onBus = true;
        setup.firmware = firmware;
        setup.reportedName = reportedName;
        SimServer::Capability mjpeg = _camera.capability();
        mjpeg.maxInterval = 666666;
        setup.capabilities = {mjpeg};
        _camera.plug(setup);
    }

    std::vector<std::string> environment() const {
        return {"VEXSDK_SIM=" + _camera.socketPath(), std::string("VEXSDK_MODEL_DIR=") + VEX_TEST_MODEL_DIR};
    }

    std::unique_ptr<VexctlProcess> start(const std::vector<std::string>& args) {
        auto process = std::make_unique<VexctlProcess>(args, environment(), _folder.path());
        EXPECT_TRUE(process->started());
        return process;
    }

    Result run(const std::vector<std::string>& args) {
        auto process = start(args);
        Result result;
        if (!process->wait()) {
            ADD_FAILURE() << "vexctl did not end";
            return result;
        }
        result.status = process->status();
        result.out = process->out();
        result.err = process->err();
        return result;
    }

    // The register writes that reached the camera (set_cur requests that do not select a
    // register for a read), as their payload hex.
    std::vector<std::string> writes() const {
        std::vector<std::string> out;
        for (const kxjson::Json& request : _camera.sim().journal()) {
            const std::string data = kxjson::text(request, "data");
            if (kxjson::text(request, "op") == "xu" && kxjson::text(request, "query") == "set_cur" &&
                data.rfind("0000", 0) != 0) {
                out.push_back(data);
            }
        }
        return out;
    }

    // Polls a condition while `process` runs; false when the process ended or time ran out.
    static bool whileRunning(VexctlProcess& process, const std::function<bool()>& condition) {
        MediaWaitFor(
            [&] {
                if (condition() || process.wait(0)) {
                    return true;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
                return false;
            },
            kMediaWaitMs);
        return condition();
    }

    static std::string ffprobe(const std::string& arguments) {
        const std::string command = "ffprobe -v error " + arguments + " 2>&1";
        std::string output;
        FILE* pipe = ::popen(command.c_str(), "r");
        if (pipe == nullptr) {
            return "popen failed";
        }
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        ::pclose(pipe);
        return output;
    }

    SimLocalCamera _camera;
    MediaTempFolder _folder;
};

}  // namespace

TEST_F(VexctlTest, ListShowsEachSupportedCamera) {
    addCamera("1&3", "6009", "Conference Camera", "", "ZM-130 Pro");
    // Another maker's camera is not listed.
    _camera.sim().addUsbDevice(SimServer::usbInterfaceEntry("046d", "0825", "1&5", 0, "Webcam"));

    const Result json = run({"list", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.err, "");
    const std::optional<kxjson::Json> cameras = kxjson::parse(json.out);
    ASSERT_TRUE(cameras && cameras->is_array()) << json.out;
    ASSERT_EQ(cameras->size(), 2u);
    const kxjson::Json& first = (*cameras)[0];
    EXPECT_EQ(kxjson::integerMember(first, "index"), 0);
    EXPECT_EQ(kxjson::text(first, "location"), kLocation);
    EXPECT_EQ(kxjson::integerMember(first, "model_code"), 9);
    EXPECT_EQ(kxjson::text(first, "model"), "ZM-150");
    EXPECT_EQ(kxjson::text(first, "firmware"), "KPH1.0");
    EXPECT_EQ(kxjson::text(first, "video_name"), "ZM-150 Camera");
    const kxjson::Json& second = (*cameras)[1];
    EXPECT_EQ(kxjson::text(second, "location"), "1&3&1&0000");
    EXPECT_EQ(kxjson::integerMember(second, "model_code"), 11);
    EXPECT_EQ(kxjson::text(second, "model"), "ZM-130 Pro");

    const Result text = run({"list"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(lineCount(text.out), 3u) << text.out;
    EXPECT_NE(text.out.find("1&2.4&1&0000      9 ZM-150"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("KPH1.0"), std::string::npos) << text.out;

    // Two cameras: a command must say which; --index and the location both name one.
    const Result unnamed = run({"get", "model"});
    EXPECT_EQ(unnamed.status, 1);
    EXPECT_EQ(lineCount(unnamed.err), 1u) << unnamed.err;
    const Result byIndex = run({"--index", "1", "get", "model"});
    EXPECT_EQ(byIndex.out, "11 ZM-130 Pro\n");
    const Result byLocation = run({"get", "1&2.4&1&0000", "model", "--json"});
    EXPECT_EQ(byLocation.out,
              "{\"camera\":\"1&2.4&1&0000\",\"property\":\"model\",\"code\":9,\"name\":\"ZM-150\"}\n");
}

TEST_F(VexctlTest, ListWithNoCamera) {
    _camera.sim().removeUsbDevices(kBusPort);
    const Result text = run({"list"});
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.out, "no supported camera attached\n");
    EXPECT_EQ(run({"list", "--json"}).out, "[]\n");
    const Result command = run({"ptz", "up"});
    EXPECT_EQ(command.status, 1);
    EXPECT_EQ(command.err, "vexctl: no supported camera attached\n");
}

TEST_F(VexctlTest, CommandsReachTheCameraAsRegisterWrites) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> payloads;
        std::string firstLine;
    };
    const std::vector<Case> cases = {
        {{"ptz", "up"}, {"27003100"}, "setPanUp() = 0"},
        {{"ptz", kLocation, "down-right"}, {"27002200"}, "setPanDownRight() = 0"},
        {{"ptz", "up-left"}, {"27001100"}, "setPanUpLeft() = 0"},
        {{"ptz", "left", "--for", "30"}, {"27001300", "27003300"}, "setPanLeft() = 0"},
        {{"ptz", "stop"}, {"27003300"}, "setPanStop(20) = 0"},
        {{"ptz", "home"}, {"2100aa00"}, "setPanHome() = 0"},
        {{"zoom", "in", "--for=20"}, {"2a002100", "2a000000"}, "setZoomIn() = 0"},
        {{"zoom", "out"}, {"2a003100"}, "setZoomOut() = 0"},
        {{"zoom", "stop"}, {"2a000000"}, "setZoomStop(35) = 0"},
        {{"focus", "near"}, {"2b003100"}, "setFocusNear() = 255"},
        {{"focus", "far", "--for", "20"}, {"2b002100", "2b000000"}, "setFocusFar() = 255"},
        {{"focus", "stop"}, {"2b000000"}, "setFocusStop() = 255"},
        {{"focus", "auto"}, {"e0000100"}, "setAutoFocusMode(1) = 0"},
        {{"focus", "manual"}, {"e0000000"}, "setAutoFocusMode(0) = 0"},
        {{"preset", "call", "3"}, {"1d000300"}, "callPreset(3) = 0"},
        {{"preset", "save", "9"}, {"1e000900"}, "savePreset(9) = 0"},
        {{"preset", "reset", "0"}, {"1f000000"}, "resetPreset(0) = 0"},
        {{"rotate", "mirror-flip"}, {"0b000300"}, "setRotate(3) = 0"},
        {{"rotate", "off"}, {"0b000000"}, "setRotate(0) = 0"},
    };
    for (const Case& c : cases) {
        _camera.sim().clearJournal();
        const Result result = run(c.args);
        EXPECT_EQ(result.status, 0) << c.args[0] << " " << c.args[1] << ": " << result.err;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(writes(), c.payloads) << c.args[0] << " " << c.args[1];
        EXPECT_EQ(result.out.substr(0, result.out.find('\n')), c.firstLine);
    }
    // The pan/tilt home reads the mirror/flip register first.
    _camera.sim().clearJournal();
    run({"ptz", "home"});
    bool readMirror = false;
    for (const kxjson::Json& request : _camera.sim().journal()) {
        readMirror = readMirror || kxjson::text(request, "data") == "00000b00";
    }
    EXPECT_TRUE(readMirror);

    const Result json = run({"--json", "zoom", "in", "--for", "10"});
    EXPECT_EQ(json.out,
              "{\"camera\":\"1&2.4&1&0000\",\"calls\":[{\"call\":\"setZoomIn()\",\"result\":0},"
              "{\"call\":\"setZoomStop(35)\",\"result\":0}]}\n");
}

TEST_F(VexctlTest, ReadsAnswerWithTheCamerasRegisters) {
    const std::string path = SimServer::devicePathFor("1d4d", "6009", kLocation);
    _camera.sim().setRegister(path, 0x0B, 2);
    _camera.sim().setRegister(path, 0xE0, 1);
    EXPECT_EQ(run({"get", "rotate"}).out, "flip (2)\n");
    EXPECT_EQ(run({"get", "rotate", "--json"}).out,
              "{\"camera\":\"1&2.4&1&0000\",\"property\":\"rotate\",\"value\":2,\"name\":\"flip\"}\n");
    EXPECT_EQ(run({"get", "focus-mode"}).out, "auto (1)\n");
    _camera.sim().setRegister(path, 0xE0, 0);
    EXPECT_EQ(run({"get", "focus-mode"}).out, "manual (0)\n");
    EXPECT_EQ(run({"get", "firmware"}).out, "KPH1.0\n");
    EXPECT_EQ(run({"get", "model"}).out, "9 ZM-150\n");
}

// Once the camera stops answering its extension unit, each call's failure is one line naming
// the call and its result, with exit status 1, under that call's own success convention.
TEST_F(VexctlTest, FailedCallsNameTheCallAndItsResult) {
    // The requests of a run's discovery, answered normally; everything after them fails.
    _camera.sim().clearJournal();
    ASSERT_EQ(run({"get", "model"}).status, 0);
    const int discovery = static_cast<int>(_camera.sim().answered("xu"));
    ASSERT_GT(discovery, 0);

    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"ptz", "up"}, "vexctl: setPanUp() = -1 (the camera did not answer)\n"},
        {{"ptz", "home"}, "vexctl: setPanHome() = 255 (the camera did not take the command)\n"},
        {{"focus", "near"}, "vexctl: setFocusNear() = 0 (the camera did not take the command)\n"},
        {{"focus", "auto"}, "vexctl: setAutoFocusMode(1) = -248 (the camera did not take the focus mode)\n"},
        {{"preset", "call", "2"}, "vexctl: callPreset(2) = -1 (the camera did not answer)\n"},
        {{"get", "rotate"}, "vexctl: getRotate() = -1 (the camera did not answer)\n"},
        {{"get", "firmware"},
         "vexctl: getFWVersion() = -255 with an empty text (the camera did not answer)\n"},
    };
    for (const Case& c : cases) {
        _camera.sim().setFault("xu", SimServer::Fault::None);
        const size_t before = _camera.sim().answered("xu");
        _camera.sim().setFault("xu", SimServer::Fault::Error, discovery);
        const Result result = run(c.args);
        EXPECT_EQ(result.status, 1) << c.args[0];
        EXPECT_EQ(result.err, c.err);
        EXPECT_EQ(result.out, "");
        EXPECT_GT(_camera.sim().answered("xu"), before);
    }
}

TEST_F(VexctlTest, MistakesGiveOneLineAndNonZeroExitWithoutTouchingTheCamera) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string errContains;
    };
    const std::vector<Case> cases = {
        {{"ptz", "1&9&1&0000", "up"}, 1, "no supported camera at location 1&9&1&0000"},
        {{"--index", "3", "ptz", "up"}, 1, "no camera with index 3"},
        {{"--index", "x", "ptz", "up"}, 2, "--index takes"},
        {{"preset", "call", "42"}, 2, "preset \"42\" is out of range (presets 0 to 9)"},
        {{"preset", "call", "-1"}, 2, "out of range"},
        {{"preset", "jump", "1"}, 2, "unknown preset command"},
        {{"ptz", "sideways"}, 2, "unknown direction"},
        {{"ptz", "home", "--for", "100"}, 2, "--for applies to a movement"},
        {{"ptz", "up", "--for", "0"}, 2, "--for takes a whole number"},
        {{"zoom", "in", "--seconds", "3"}, 2, "option --seconds does not apply here"},
        {{"rotate", "upside-down"}, 2, "unknown rotation"},
        {{"get", "colour"}, 2, "unknown property"},
        {{"ptz"}, 2, "missing arguments"},
        {{"list", "extra"}, 2, "too many arguments"},
        {{"pan", "up"}, 2, "unknown subcommand \"pan\""},
        {{}, 2, "no subcommand given"},
        {{"ptz", "up", "--speed", "3"}, 2, "unknown option --speed"},
        {{"snapshot", "/nonexistent-folder/x.jpg"}, 1, "folder /nonexistent-folder does not exist"},
        {{"record", "/nonexistent-folder/x.mp4", "--seconds", "1"},
         1,
         "folder /nonexistent-folder does not exist"},
        {{"record", "noextension", "--seconds", "1"}, 2, "needs an extension"},
        {{"follow-shure", "--array", "1.2.3", "--map", "1=2"}, 2, "dotted IPv4"},
        {{"follow-shure", "--array", "127.0.0.1", "--map", "1=2,9=1"}, 2, "bad preset map entry \"9=1\""},
        {{"follow-shure", "--map", "1=2"}, 2, "--array IP and --map"},
        {{"track", "--mode", "3"}, 2, "--mode takes 0, 1 or 2"},
        {{"track"}, 2, "--mode 0|1|2 is required"},
    };
    for (const Case& c : cases) {
        _camera.sim().clearJournal();
        const Result result = run(c.args);
        const std::string what = c.args.empty() ? std::string("(nothing)") : c.args[0];
        EXPECT_EQ(result.status, c.status) << what << ": " << result.err;
        EXPECT_EQ(lineCount(result.err), 1u) << what << ": " << result.err;
        EXPECT_NE(result.err.find(c.errContains), std::string::npos) << what << ": " << result.err;
        EXPECT_EQ(result.out, "") << what;
        EXPECT_TRUE(writes().empty()) << what;
    }
}

TEST_F(VexctlTest, HelpForEverySubcommand) {
    const Result overview = run({"--help"});
    EXPECT_EQ(overview.status, 0);
    for (const char* sub : {"list", "formats", "ptz", "zoom", "focus", "preset", "rotate", "get", "snapshot",
                            "record", "follow-shure", "track"}) {
        EXPECT_NE(overview.out.find(std::string("vexctl ") + sub + " "), std::string::npos) << sub;
        const Result help = run({sub, "--help"});
        EXPECT_EQ(help.status, 0) << sub;
        EXPECT_EQ(help.out.rfind(std::string("Usage: vexctl ") + sub + " ", 0), 0u)
            << sub << ": " << help.out;
        EXPECT_EQ(run({"help", sub}).out, help.out);
    }
    EXPECT_EQ(run({"help", "nothing"}).status, 2);
}

TEST_F(VexctlTest, FormatsWithTheirIndices) {
    const Result text = run({"formats"});
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out,
              "INDEX  SIZE         FPS       FORMAT\n"
              "0      320x240      30.000    MJPEG\n"
              "1      320x240      15.000    MJPEG\n");
    const Result json = run({"formats", kLocation, "--json"});
    const std::optional<kxjson::Json> parsed = kxjson::parse(json.out);
    ASSERT_TRUE(parsed) << json.out;
    const kxjson::Json& formats = kxjson::arrayMember(*parsed, "formats");
    ASSERT_EQ(formats.size(), 2u);
    EXPECT_EQ(kxjson::integerMember(formats[1], "index"), 1);
    EXPECT_EQ(kxjson::integerMember(formats[1], "format"), 4);
    EXPECT_EQ(kxjson::text(formats[1], "format_name"), "MJPEG");
}

TEST_F(VexctlTest, SnapshotWritesOneJpeg) {
    const std::string path = _folder.file("picture.jpg");
    const Result result = run({"snapshot", path});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.rfind(path + ": 320x240, ", 0), 0u) << result.out;
    const std::string bytes = readFile(path);
    ASSERT_GT(bytes.size(), 4u);
    EXPECT_EQ(bytes.substr(0, 2), "\xFF\xD8");
    EXPECT_EQ(bytes.substr(bytes.size() - 2), "\xFF\xD9");
    const MediaFile file = MediaReadFile(path, true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_EQ(video->decodedFrames, 1);
    // No half-written file is left beside it.
    EXPECT_EQ(fileSize(path + ".part"), -1);

    // A format that cannot be opened is refused before anything is written.
    const Result refused = run({"snapshot", _folder.file("other.jpg"), "--format", "7"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "vexctl: the camera has no format 7 (see vexctl formats)\n");
    EXPECT_EQ(fileSize(_folder.file("other.jpg")), -1);
}

TEST_F(VexctlTest, RecordForSomeSeconds) {
    const std::string path = _folder.file("clip.mp4");
    const Result result = run({"record", path, "--seconds", "2", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::optional<kxjson::Json> summary = kxjson::parse(result.out);
    ASSERT_TRUE(summary) << result.out;
    EXPECT_EQ(kxjson::text(*summary, "file"), path);
    EXPECT_GT(kxjson::integerMember(*summary, "frames").value_or(0), 0);
    EXPECT_FALSE(kxjson::flag(*summary, "interrupted", true));

    const MediaFile file = MediaReadFile(path, true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec, AV_CODEC_ID_H264);
    EXPECT_GT(video->decodedFrames, 15);
    EXPECT_EQ(video->decodeErrors, 0);
    EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO), nullptr);

    // The recording is not written over unless asked.
    const int64_t size = fileSize(path);
    const Result again = run({"record", path, "--seconds", "1"});
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.err, "vexctl: " + path + " exists (--overwrite replaces it)\n");
    EXPECT_EQ(fileSize(path), size);
}

// On a terminal a progress line is rewritten in place while recording; in a pipe there is none.
TEST_F(VexctlTest, RecordShowsProgressOnlyOnATerminal) {
    const std::string script = "/usr/bin/script";
    if (::access(script.c_str(), X_OK) != 0) {
        GTEST_SKIP() << "no " << script << " to give vexctl a terminal";
    }
    const std::string path = _folder.file("watched.mp4");
    VexctlProcess process(
        {"-qefc", std::string(VEXCTL_BINARY) + " record " + path + " --seconds 2", "/dev/null"},
        environment(), _folder.path(), script);
    ASSERT_TRUE(process.started());
    ASSERT_TRUE(process.wait());
    EXPECT_EQ(process.status(), 0) << process.out();
    const std::string shown = process.out();
    EXPECT_NE(shown.find("\rrecording " + path + "  "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" frames  "), std::string::npos) << shown;
    EXPECT_NE(shown.find(" MB"), std::string::npos) << shown;

    const Result piped = run({"record", _folder.file("piped.mp4"), "--seconds", "1"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out.find('\r'), std::string::npos) << piped.out;
    EXPECT_EQ(lineCount(piped.out), 1u) << piped.out;
}

TEST_F(VexctlTest, RecordWithTheMicrophone) {
    ASSERT_TRUE(_camera.addMicrophone());

    const std::string path = _folder.file("with-sound.mkv");
    const Result result = run({"record", path, "--seconds", "2", "--audio"});
    ASSERT_EQ(result.status, 0) << result.err;
    const MediaFile file = MediaReadFile(path);
    ASSERT_TRUE(file.opened);
    ASSERT_NE(file.first(AVMEDIA_TYPE_VIDEO), nullptr);
    const MediaFileStream* sound = file.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(sound, nullptr);
    EXPECT_EQ(sound->codec, AV_CODEC_ID_AAC);
    EXPECT_FALSE(sound->packets.empty());

    // A microphone that is not there is named before anything starts.
    const Result missing = run({"record", _folder.file("none.mkv"), "--audio", "--audio-device", "3"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "vexctl: no microphone with index 3 (1 found)\n");
}

TEST_F(VexctlTest, CtrlCDuringRecordLeavesAPlayableFile) {
    const std::string path = _folder.file("interrupted.mp4");
    auto process = start({"record", path});
    // Interrupt once the file holds a few fragments.
    ASSERT_TRUE(whileRunning(*process, [&] { return fileSize(path) > 20000; })) << process->err();
    process->interrupt();
    ASSERT_TRUE(process->wait());
    EXPECT_EQ(process->status(), 0) << process->err();
    EXPECT_NE(process->out().find("(stopped by Ctrl+C)"), std::string::npos) << process->out();

    EXPECT_EQ(ffprobe("-select_streams v:0 -show_entries stream=codec_name -of csv=p=0 " + path), "h264\n");
    const std::string frames =
        ffprobe("-count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 " + path);
    EXPECT_GT(std::atoi(frames.c_str()), 5) << frames;
}

TEST_F(VexctlTest, CtrlCStopsATimedMove) {
    auto process = start({"ptz", "right", "--for", "600000"});
    ASSERT_TRUE(whileRunning(*process, [&] { return !writes().empty(); }));
    process->interrupt();
    ASSERT_TRUE(process->wait());
    EXPECT_EQ(process->status(), 0) << process->err();
    EXPECT_EQ(writes(), (std::vector<std::string>{"27002300", "27003300"}));
}

TEST_F(VexctlTest, FollowShureRecallsTheMappedPresetUntilCtrlC) {
    FakeShureArray array;
    ASSERT_TRUE(array.ok());
    auto process = start({"follow-shure", "--array", array.address(), "--map", "1=3,2=5", "--json"});
    ASSERT_TRUE(array.accept());
    _camera.sim().clearJournal();
    ASSERT_TRUE(array.send(FakeShureArray::gate(2, true)));
    ASSERT_TRUE(whileRunning(*process, [&] { return process->out().find('\n') != std::string::npos; }))
        << process->err();
    EXPECT_EQ(process->out(), "{\"camera\":\"1&2.4&1&0000\",\"channel\":2,\"preset\":5}\n");
    EXPECT_EQ(writes(), std::vector<std::string>{"1d000500"});

    // A channel without an entry in the map recalls preset 0. The client reads blocks of up to
    // 256 bytes and looks at the report at the start of each: a full block keeps the two
    // reports in reads of their own.
    std::string off = FakeShureArray::gate(2, false);
    off.resize(256, ' ');
    ASSERT_TRUE(array.send(off));
    ASSERT_TRUE(array.send(FakeShureArray::gate(4, true)));
    ASSERT_TRUE(whileRunning(*process, [&] { return lineCount(process->out()) == 2; })) << process->err();
    EXPECT_NE(process->out().find("{\"camera\":\"1&2.4&1&0000\",\"channel\":4,\"preset\":0}\n"),
              std::string::npos);

    process->interrupt();
    ASSERT_TRUE(process->wait());
    EXPECT_EQ(process->status(), 0) << process->err();
    EXPECT_EQ(process->err(), "");
}

TEST_F(VexctlTest, FollowShureEndsWhenTheArrayCloses) {
    FakeShureArray array;
    ASSERT_TRUE(array.ok());
    auto process = start({"follow-shure", "--array", array.address(), "--map", "1=3"});
    ASSERT_TRUE(array.accept());
    ASSERT_TRUE(array.send(FakeShureArray::gate(1, true)));
    ASSERT_TRUE(whileRunning(*process, [&] { return lineCount(process->out()) == 2; })) << process->err();
    EXPECT_NE(process->out().find("channel 1: callPreset(3)\n"), std::string::npos) << process->out();
    array.closeClient();
    ASSERT_TRUE(process->wait());
    EXPECT_EQ(process->status(), 1);
    EXPECT_EQ(process->err(), "vexctl: the array at " + array.address() + " closed the connection\n");

    // No array listening any more: one line, exit 1.
    auto gone = std::make_unique<FakeShureArray>();
    ASSERT_TRUE(gone->ok());
    const std::string address = gone->address();
    gone.reset();
    const Result refused = run({"follow-shure", "--array", address, "--map", "1=3"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "vexctl: connectShureSound(\"" + address + "\") = false: no array answers on " +
                               address + ":2202\n");
}

// Face tracking runs on every picture taken: with no face in view and tracking active, the
// camera is told to stop panning and zooming; at the end it is stopped once more, and the last
// analysed picture is written.
TEST_F(VexctlTest, TrackAnalysesPicturesAndStopsTheCamera) {
    const std::string snapshot = _folder.file("tracked.jpg");
    const Result result = run({"track", "--mode", "1", "--seconds", "2", "--snapshot", snapshot, "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const std::optional<kxjson::Json> summary = kxjson::parse(result.out);
    ASSERT_TRUE(summary) << result.out;
    EXPECT_EQ(kxjson::integerMember(*summary, "mode"), 1);
    EXPECT_GT(kxjson::integerMember(*summary, "frames").value_or(0), 2);

    const std::vector<std::string> sent = writes();
    ASSERT_GE(sent.size(), 4u);
    EXPECT_EQ(sent[sent.size() - 2], "27003300");
    EXPECT_EQ(sent.back(), "2a000000");
    // Stops from the analysis itself, before the final two.
    EXPECT_NE(std::find(sent.begin(), sent.end() - 2, "27003300"), sent.end() - 2);

    const MediaFile file = MediaReadFile(snapshot, true);
    ASSERT_TRUE(file.opened);
    ASSERT_NE(file.first(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(file.first(AVMEDIA_TYPE_VIDEO)->width, 320);
}

namespace {

// A free port of this kind on loopback (taken again by the caller at once).
int freePort(int type) {
    const int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unhex(const std::string& text) {
    std::string out;
    for (size_t i = 0; i + 1 < text.size(); i += 2) out += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    return out;
}

// A controller's side of VISCA over IP: one UDP socket, datagrams in hex.
class ViscaUdpClient {
public:
    explicit ViscaUdpClient(int port) : _fd(::socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~ViscaUdpClient() { ::close(_fd); }
    // Sends a header of `type` and `sequence` with the payload, and collects the replies that
    // come until `replies` are in (or 5 s pass).
    std::vector<std::string> ask(uint16_t type, uint32_t sequence, const std::string& payloadHex, size_t replies) {
        const std::string payload = unhex(payloadHex);
        std::string datagram;
        datagram += static_cast<char>(type >> 8);
        datagram += static_cast<char>(type & 0xFF);
        datagram += static_cast<char>(payload.size() >> 8);
        datagram += static_cast<char>(payload.size() & 0xFF);
        for (int shift = 24; shift >= 0; shift -= 8) datagram += static_cast<char>((sequence >> shift) & 0xFF);
        datagram += payload;
        ::send(_fd, datagram.data(), datagram.size(), 0);
        std::vector<std::string> out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (out.size() < replies && std::chrono::steady_clock::now() < deadline) {
            pollfd p{_fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            char buffer[256];
            const ssize_t n = ::recv(_fd, buffer, sizeof buffer, 0);
            if (n > 0)
                out.push_back(hex(std::string(buffer, static_cast<size_t>(n))));
        }
        return out;
    }

private:
    int _fd;
};

}  // namespace

// A controller drives the camera through `vexctl visca`: over UDP with VISCA-over-IP headers
// (a retried datagram answered again but carried out once), and over TCP in plain VISCA split
// across writes; a position inquiry is answered at once.
TEST_F(VexctlTest, ViscaControllersSteerTheCameraOverUdpAndTcp) {
    const int udp = freePort(SOCK_DGRAM);
    const int tcp = freePort(SOCK_STREAM);
    ASSERT_GT(udp, 0);
    ASSERT_GT(tcp, 0);
    auto process = start({"visca", "--udp-port", std::to_string(udp), "--tcp-port", std::to_string(tcp)});
    ASSERT_TRUE(whileRunning(*process, [&] { return process->out().find("serving") != std::string::npos; }))
        << process->err();
    _camera.sim().clearJournal();

    ViscaUdpClient client(udp);
    EXPECT_EQ(client.ask(0x0200, 7, "01", 1), std::vector<std::string>{"0201000100000007" "01"});  // RESET
    const std::vector<std::string> recall = {"0111000300000000" "9041ff", "0111000300000000" "9051ff"};
    EXPECT_EQ(client.ask(0x0100, 0, "8101043f0203ff", 2), recall);
    EXPECT_EQ(client.ask(0x0100, 0, "8101043f0203ff", 2), recall);  // the controller lost the replies
    EXPECT_EQ(client.ask(0x0100, 1, "8101060108080103ff", 2).size(), 2u);  // left
    EXPECT_EQ(client.ask(0x0100, 2, "8101060108080303ff", 2).size(), 2u);  // stop
    EXPECT_EQ(client.ask(0x0100, 3, "8101040702ff", 2).size(), 2u);         // zoom tele
    EXPECT_EQ(client.ask(0x0100, 4, "8101040802ff", 2).size(), 2u);         // focus far
    const std::vector<std::string> position = client.ask(0x0110, 5, "81090612ff", 1);
    ASSERT_EQ(position.size(), 1u);
    EXPECT_NE(position[0].find("41ff"), std::string::npos) << position[0];  // not executable
    EXPECT_EQ(client.ask(0x0110, 6, "8109043fff", 1),
              std::vector<std::string>{"0111000400000006" "905003ff"});  // the preset recalled last
    EXPECT_EQ(writes(), (std::vector<std::string>{"1d000300", "27001300", "27003300", "2a002100", "2b002100"}));

    _camera.sim().clearJournal();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(tcp));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string first = unhex("8101043f"), second = unhex("0205ff");
    ::send(fd, first.data(), first.size(), 0);
    ::send(fd, second.data(), second.size(), 0);
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < 6 && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        char buffer[64];
        if (::poll(&p, 1, 100) > 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(fd);
    EXPECT_EQ(hex(got), "9041ff9051ff");
    EXPECT_EQ(writes(), std::vector<std::string>{"1d000500"});

    process->interrupt();
    ASSERT_TRUE(process->wait());
    EXPECT_EQ(process->status(), 0) << process->err();
    EXPECT_NE(process->out().find("refused 0 from peers not allowed"), std::string::npos) << process->out();
}

// Beyond loopback VISCA would let anyone steer the camera: an address of the network needs
// the peers that may, and a bad entry or port is a usage error before anything is bound.
TEST_F(VexctlTest, ViscaRefusesAnOpenAddressWithoutAllowedPeers) {
    Result r = run({"visca", "--address", "0.0.0.0"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("needs --allow"), std::string::npos) << r.err;
    r = run({"visca", "--address", "0.0.0.0", "--allow", "10.0.0.0/33"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("10.0.0.0/33"), std::string::npos) << r.err;
    r = run({"visca", "--udp-port", "70000"});
    EXPECT_EQ(r.status, 2);
    r = run({"visca", "--udp-port", "1000"});  // its TCP port would be below 1
    EXPECT_EQ(r.status, 2);
    EXPECT_TRUE(writes().empty());
}
