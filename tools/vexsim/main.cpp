// vexsim: simulated cameras behind the simulator socket and simulated microphone arrays on
// loopback addresses, built from a scenario file. See README.md beside this file.

#include <QCoreApplication>
#include <QSocketNotifier>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "KXJsonLine.h"
#include "SimScenario.h"
#include "SimWorld.h"
#include "UsbWorld.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void onSignal(int) {
    const char c = 1;
    (void)!::write(g_signalPipe[1], &c, 1);
}

void usage(FILE* out) {
    std::fprintf(out,
                 "usage: vexsim --socket PATH [--scenario FILE]\n"
                 "       vexsim --usb --socket PATH --scenario FILE [--ready-file FILE]\n"
                 "       vexsim --socket PATH --send JSON     (one control request; prints the answer)\n"
                 "Serves the simulated backend on PATH (give it to the application as VEXSDK_SIM).\n"
                 "--usb: the scenario's cameras become USB devices on the kernel's raw gadget\n"
                 "(dummy_hcd buses); PATH takes the control operations; the ready file is written\n"
                 "once the host has configured every camera plugged at start.\n");
}

// Client mode: one request line, one answer line, bounded by a timeout.
int sendOne(const std::string& socketPath, const std::string& request) {
    if (!kxjson::parse(request)) {
        std::fprintf(stderr, "vexsim: --send needs one JSON object\n");
        return 2;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath.c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "vexsim: cannot connect to %s: %s\n", socketPath.c_str(), std::strerror(errno));
        return 1;
    }
    const std::string line = request + "\n";
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) {
        ::close(fd);
        return 1;
    }
    std::string answer;
    char buffer[65536];
    while (answer.find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        answer.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    const size_t end = answer.find('\n');
    if (end == std::string::npos) {
        std::fprintf(stderr, "vexsim: no answer\n");
        return 1;
    }
    answer.resize(end);
    std::printf("%s\n", answer.c_str());
    const std::optional<kxjson::Json> parsed = kxjson::parse(answer);
    return parsed && kxjson::flag(*parsed, "ok") ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath, scenarioPath, send, readyFile;
    bool usb = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--socket" && hasValue)
            socketPath = argv[++i];
        else if (a == "--scenario" && hasValue)
            scenarioPath = argv[++i];
        else if (a == "--send" && hasValue)
            send = argv[++i];
        else if (a == "--ready-file" && hasValue)
            readyFile = argv[++i];
        else if (a == "--usb")
            usb = true;
        else if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else {
            usage(stderr);
            return 2;
        }
    }
    if (socketPath.empty()) {
        usage(stderr);
        return 2;
    }
    if (!send.empty())
        return sendOne(socketPath, send);

    SimScenario scenario;
    if (!scenarioPath.empty()) {
        std::string error;
        std::optional<SimScenario> loaded = SimScenario::fromFile(scenarioPath, error);
        if (!loaded) {
            std::fprintf(stderr, "vexsim: %s\n", error.c_str());
            return 2;
        }
        scenario = std::move(*loaded);
    }

    std::signal(SIGPIPE, SIG_IGN);
    av_log_set_level(AV_LOG_ERROR);  // the encoders' banners are noise here
    QCoreApplication app(argc, argv);
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return 1;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    QSocketNotifier notifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        char drain[16];
        while (::read(g_signalPipe[0], drain, sizeof drain) > 0) {
        }
        QCoreApplication::quit();
    });

    int status = 0;
    if (usb) {
        UsbWorld world(scenario, socketPath, readyFile);
        if (!world.ok() || !world.start()) {
            std::fprintf(stderr, "vexsim: %s\n", world.error().c_str());
            return 1;
        }
        world.onQuit = [] { QCoreApplication::quit(); };
        std::printf("vexsim: serving %zu USB cameras, controls on %s\n", scenario.cameras.size(),
                    socketPath.c_str());
        std::fflush(stdout);
        status = app.exec();
    } else {
        SimWorld world(scenario, socketPath);
        if (!world.ok()) {
            std::fprintf(stderr, "vexsim: %s\n", world.error().c_str());
            return 1;
        }
        world.onQuit = [] { QCoreApplication::quit(); };
        world.start();
        std::printf("vexsim: serving %s (%zu cameras, %zu arrays)\n", socketPath.c_str(),
                    scenario.cameras.size(), scenario.arrays.size());
        std::fflush(stdout);
        status = app.exec();
    }  // the world goes first: it removes the socket
    std::printf("vexsim: stopped\n");
    return status;
}
