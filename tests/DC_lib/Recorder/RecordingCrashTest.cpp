// A recording cut off by a crash: a host program (vex_recording_host) records a stream and is
// killed with SIGKILL once five seconds of the stream were sent after its recording began. The
// MP4 it leaves must open and hold at least four of those seconds: the file is written in
// fragments of at most a second, each on disk as soon as it is complete.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "MediaFileReader.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "SimLocalCamera.h"

extern char** environ;

namespace {

// The host program, started with pipes on its standard input (held open while it should run)
// and output.
class HostProcess {
public:
    HostProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& extraEnvironment) {
        int input[2];
        int output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        std::vector<char*> argv;
        for (const std::string& a : arguments) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        std::vector<std::string> environment = extraEnvironment;
        for (char** e = environ; *e != nullptr; ++e) {
            environment.emplace_back(*e);
        }
        std::vector<char*> envp;
        for (const std::string& e : environment) {
            envp.push_back(const_cast<char*>(e.c_str()));
        }
        envp.push_back(nullptr);
        if (posix_spawn(&_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            _pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        _input = input[1];
        _output = output[0];
    }

    ~HostProcess() {
        if (_pid > 0) {
            ::kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
        ::close(_input);
        ::close(_output);
    }

    bool started() const { return _pid > 0; }

    // Waits (bounded) for a line of output that contains `text`.
    bool waitForLine(const std::string& text, int timeoutMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < deadline) {
            if (_seen.find(text) != std::string::npos) {
                return true;
            }
            pollfd p{_output, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0) {
                char buffer[256];
                const ssize_t n = ::read(_output, buffer, sizeof buffer);
                if (n <= 0) {
                    return false;  // the program ended
                }
                _seen.append(buffer, static_cast<size_t>(n));
            }
        }
        return _seen.find(text) != std::string::npos;
    }

    // Kills it with SIGKILL; true when it died of that signal.
    bool kill() {
        ::kill(_pid, SIGKILL);
        int status = 0;
        const bool reaped = waitpid(_pid, &status, 0) == _pid;
        _pid = -1;
        return reaped && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

private:
    pid_t _pid = -1;
    int _input = -1;
    int _output = -1;
    std::string _seen;
};

// Records through the host program until the server has sent five seconds of video after the
// recording began, kills it, and checks what the file holds.
void recordAndKill(MediaStreamServer& server, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& environment, const std::string& file) {
    HostProcess host(arguments, environment);
    ASSERT_TRUE(host.started());
    ASSERT_TRUE(host.waitForLine("recording", kMediaWaitMs));
    const double from = server.lastVideoPtsSent();
    ASSERT_TRUE(MediaWaitFor([&] { return server.lastVideoPtsSent() >= from + 5.0; }, kMediaWaitMs));
    ASSERT_TRUE(host.kill());

    const MediaFile recorded = MediaReadFile(file, true);
    ASSERT_TRUE(recorded.opened);
    const MediaFileStream* video = recorded.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec, AV_CODEC_ID_H264);
    EXPECT_GE(video->seconds(), 4.0 - 1.0 / 60);
    // The kill can land while the last sample is being written: that one may be cut short
    // (the demuxer then calls the file partial), every one before it must decode.
    EXPECT_LE(video->decodeErrors, 1);
    EXPECT_GE(video->decodedFrames, static_cast<int>(video->packets.size()) - 1);
}

}  // namespace

TEST(RecordingCrash, KilledWhileRecordingANetworkStreamLeavesAPlayableFile) {
    MediaRecipe recipe;
    recipe.container = "nut";
    recipe.frames = 60;
    recipe.withAudio = true;
    const auto server = MediaServeLooped(recipe);
    ASSERT_TRUE(server);
    MediaTempFolder folder;
    recordAndKill(*server, {VEX_RECORDING_HOST, "network", server->url(), folder.path(), "network.mp4"}, {},
                  folder.file("network.mp4"));
}

TEST(RecordingCrash, KilledWhileRecordingALocalCameraLeavesAPlayableFile) {
    SimLocalCamera camera;
    ASSERT_TRUE(camera.serve(SimLocalCamera::mjpegRecipe(320, 240)));
    camera.plug();
    MediaTempFolder folder;
    recordAndKill(camera.stream(),
                  {VEX_RECORDING_HOST, "local", SimLocalCamera::kLocation, folder.path(), "camera.mp4"},
                  {"VEXSDK_SIM=" + camera.socketPath()}, folder.file("camera.mp4"));
}
