// vexctl visca: one camera served as a VISCA-over-IP device (UDP) and a plain VISCA device
// (TCP) for room controllers, joysticks and production software, on machines without the
// application. The protocol and the sockets are the application's (vex_visca_server).

#include <QCoreApplication>
#include <QHostAddress>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <sstream>

#include "Interrupt.h"
#include "Subcommand.h"
#include "ViscaServer.h"

namespace vexctl {
namespace {

constexpr int kDefaultUdpPort = 52381;
constexpr int kDefaultTcpPort = 5678;

// The camera behind the server: each action one extension-unit call, carried out before the
// completion is sent (so a controller's next command never overtakes it).
class ReceiverViscaCamera : public ViscaCamera {
public:
    explicit ReceiverViscaCamera(DC_Recv& recv) : _recv(recv) {}

    bool connected() const override { return true; }
    std::optional<int> focusMode() const override { return _focusMode; }
    std::optional<int> lastPreset() const override { return _lastPreset; }

    Result send(const ViscaAction& action, int) override {
        using Kind = ViscaAction::Kind;
        using Direction = ViscaAction::Direction;
        switch (action.kind) {
            case Kind::PanTilt:
                switch (static_cast<Direction>(action.value)) {
                    case Direction::Stop:
                        return call("setPanStop(20)", _recv.setPanStop(20), 0);
                    case Direction::Home:
                        return call("setPanHome()", _recv.setPanHome(), 0);
                    case Direction::Up:
                        return call("setPanUp()", _recv.setPanUp(), 0);
                    case Direction::Down:
                        return call("setPanDown()", _recv.setPanDown(), 0);
                    case Direction::Left:
                        return call("setPanLeft()", _recv.setPanLeft(), 0);
                    case Direction::Right:
                        return call("setPanRight()", _recv.setPanRight(), 0);
                    case Direction::UpLeft:
                        return call("setPanUpLeft()", _recv.setPanUpLeft(), 0);
                    case Direction::UpRight:
                        return call("setPanUpRight()", _recv.setPanUpRight(), 0);
                    case Direction::DownLeft:
                        return call("setPanDownLeft()", _recv.setPanDownLeft(), 0);
                    case Direction::DownRight:
                        return call("setPanDownRight()", _recv.setPanDownRight(), 0);
                }
                return Result::Refused;
            case Kind::ZoomIn:
                return call("setZoomIn()", _recv.setZoomIn(), 0);
            case Kind::ZoomOut:
                return call("setZoomOut()", _recv.setZoomOut(), 0);
            case Kind::ZoomStop:
                return call("setZoomStop(35)", _recv.setZoomStop(35), 0);
            // The focus movements answer 255 when the camera took them.
            case Kind::FocusFar:
                return call("setFocusFar()", _recv.setFocusFar(), 255);
            case Kind::FocusNear:
                return call("setFocusNear()", _recv.setFocusNear(), 255);
            case Kind::FocusStop:
                return call("setFocusStop()", _recv.setFocusStop(), 255);
            case Kind::FocusMode: {
                const int mode = action.value == 1 ? 1 : 0;
                const Result r =
                    call("setAutoFocusMode(" + std::to_string(mode) + ")", _recv.setAutoFocusMode(mode), 0);
                if (r == Result::Done)
                    _focusMode = mode;
                return r;
            }
            case Kind::CallPreset: {
                const Result r = call("callPreset(" + std::to_string(action.value) + ")",
                                      _recv.callPreset(action.value), 0);
                if (r == Result::Done)
                    _lastPreset = action.value;
                return r;
            }
            case Kind::SavePreset:
                return call("savePreset(" + std::to_string(action.value) + ")",
                            _recv.savePreset(action.value), 0);
            case Kind::ResetPreset:
                return call("resetPreset(" + std::to_string(action.value) + ")",
                            _recv.resetPreset(action.value), 0);
            case Kind::MirrorFlip:
                return call("setRotate(" + std::to_string(action.value) + ")", _recv.setRotate(action.value),
                            0);
        }
        return Result::Refused;
    }

private:
    // A refused call is one stderr line; the controller hears "not executable".
    static Result call(const std::string& name, int result, int success) {
        if (result == success)
            return Result::Done;
        std::fprintf(stderr, "vexctl: %s = %d (%s)\n", name.c_str(), result, meaning(result).c_str());
        return Result::Refused;
    }

    DC_Recv& _recv;
    std::optional<int> _focusMode;
    std::optional<int> _lastPreset;
};

std::optional<int> portOption(const Context& ctx, const char* name, const Subcommand& sub, int& exitCode) {
    const auto it = ctx.line.options.find(name);
    if (it == ctx.line.options.end())
        return std::nullopt;
    int64_t port = 0;
    if (!VexctlParseInt(it->second, 1, 65535, port)) {
        exitCode = usage(&sub, std::string(name) + " takes a port number from 1 to 65535");
        return std::nullopt;
    }
    return static_cast<int>(port);
}

int runVisca(Context& ctx, const Subcommand& sub, const VexctlCamera* camera,
             const std::vector<std::string>&) {
    int exitCode = kExitOk;
    const std::optional<int> udpPort = portOption(ctx, "--udp-port", sub, exitCode);
    if (exitCode != kExitOk)
        return exitCode;
    std::optional<int> tcpPort = portOption(ctx, "--tcp-port", sub, exitCode);
    if (exitCode != kExitOk)
        return exitCode;
    const int udp = udpPort.value_or(kDefaultUdpPort);
    // The application's rule: the TCP port keeps the UDP port's distance from the defaults.
    const int tcp = tcpPort.value_or(udp - kDefaultUdpPort + kDefaultTcpPort);
    if (tcp < 1 || tcp > 65535)
        return usage(&sub, "the TCP port " + std::to_string(tcp) +
                               " that goes with that UDP port is no port: give --tcp-port");
    if (udp == tcp)
        return usage(&sub, "the UDP and TCP ports must differ");

    const auto addressOption = ctx.line.options.find("--address");
    const std::string addressText =
        addressOption == ctx.line.options.end() ? "127.0.0.1" : addressOption->second;
    QHostAddress address;
    if (!address.setAddress(QString::fromStdString(addressText)))
        return usage(&sub, "\"" + addressText + "\" is no address");

    ViscaPeers peers;
    std::vector<std::string> allowed;
    if (const auto it = ctx.line.options.find("--allow"); it != ctx.line.options.end()) {
        std::stringstream list(it->second);
        for (std::string entry; std::getline(list, entry, ',');) {
            if (!entry.empty())
                allowed.push_back(entry);
        }
    }
    std::string error;
    if (!peers.setEntries(allowed, &error))
        return usage(&sub, error);
    // VISCA has no authentication: beyond this machine only the listed peers may steer.
    if (!address.isLoopback() && allowed.empty())
        return usage(&sub, "listening on " + addressText +
                               " needs --allow ADDRESS|CIDR[,...]: VISCA has no authentication");

    VexctlCameraSession session(*camera);
    if (!bindCamera(session, exitCode))
        return exitCode;

    std::unique_ptr<QCoreApplication> app;
    static int argc = 1;
    static char name[] = "vexctl";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr)
        app = std::make_unique<QCoreApplication>(argc, argv);
    VexctlInstallInterruptHandler();

    ReceiverViscaCamera viscaCamera(session.receiver());
    ViscaServer server;
    QObject::connect(&server, &ViscaServer::logLine, [](const QString& line) {
        std::fprintf(stderr, "vexctl: %s\n", line.toLocal8Bit().constData());
    });
    QString why;
    if (!server.start(address, {{static_cast<uint16_t>(udp), static_cast<uint16_t>(tcp), &viscaCamera}},
                      peers, why))
        return fail(why.toStdString());
    std::printf("serving %s: VISCA over IP on UDP %s:%d, VISCA on TCP %s:%d (Ctrl+C ends)\n",
                camera->location.c_str(), addressText.c_str(), udp, addressText.c_str(), tcp);
    std::fflush(stdout);

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [] {
        if (VexctlInterrupted())
            QCoreApplication::quit();
    });
    poll.start(100);
    QCoreApplication::exec();
    server.stop();
    std::printf("served %lld message(s); refused %lld from peers not allowed\n",
                static_cast<long long>(server.handled()), static_cast<long long>(server.dropped()));
    return kExitOk;
}

}  // namespace

std::vector<Subcommand> viscaCommands() {
    return {
        {"visca",
         true,
         0,
         {},
         {"--udp-port", "--tcp-port", "--address", "--allow"},
         "vexctl visca [CAMERA] [--udp-port N] [--tcp-port N] [--address A] [--allow CIDR[,CIDR...]]",
         "Serves the camera to VISCA controllers until Ctrl+C: VISCA over IP on UDP (default port\n"
         "52381) and plain VISCA on TCP (default 5678; with --udp-port alone the TCP port keeps its\n"
         "distance from the defaults). It listens on 127.0.0.1 unless --address says otherwise;\n"
         "another address needs --allow, a comma-separated list of addresses or CIDR ranges that\n"
         "may steer (loopback always may): VISCA has no authentication.",
         runVisca},
    };
}

}  // namespace vexctl
