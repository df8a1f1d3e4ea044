// VISCA over IP: how long a controller's datagram takes until its extension-unit write reaches
// the platform, through the server (its socket, session and replies on the Qt thread), as
// the application takes it (the camera command worker's queue) and as `vexctl visca` does (the
// call made on the server's thread). A controller thread sends preset recalls 1 ms apart over
// loopback and waits for each write; the in-process backend (InProcessCamera.h) stamps it.

#include <QCoreApplication>
#include <QHostAddress>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "CamUSBControlThread.h"
#include "InProcessCamera.h"
#include "ViscaServer.h"
#include "vexsdk.h"

namespace {

using namespace benchsupport;

constexpr int kDatagrams = 2000;

// The camera behind the port: a preset recall handed to the worker (the application's way) or
// called on the receiver at once (vexctl's).
class BenchCamera : public ViscaCamera {
public:
    BenchCamera(DC_Recv& recv, CamUSBControlThread* worker) : _recv(recv), _worker(worker) {}
    bool connected() const override { return true; }
    std::optional<int> focusMode() const override { return std::nullopt; }
    std::optional<int> lastPreset() const override { return std::nullopt; }
    Result send(const ViscaAction& action, int) override {
        if (action.kind != ViscaAction::Kind::CallPreset)
            return Result::Refused;
        if (_worker)
            _worker->slot_AddUSBCommand(1, action.value);
        else
            _recv.callPreset(action.value);
        return Result::Done;
    }

private:
    DC_Recv& _recv;
    CamUSBControlThread* _worker;
};

// Sends kDatagrams recalls to `port`, each after the previous one's write, 1 ms apart.
std::vector<double> controller(uint16_t port, StampingUnit& unit) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<double> us;
    us.reserve(kDatagrams);
    for (uint32_t i = 0; i < kDatagrams; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const uint8_t preset = static_cast<uint8_t>(i % 9 + 1);
        const uint8_t datagram[] = {0x01,
                                    0x00,
                                    0x00,
                                    0x07,
                                    uint8_t(i >> 24),
                                    uint8_t(i >> 16),
                                    uint8_t(i >> 8),
                                    uint8_t(i),
                                    0x81,
                                    0x01,
                                    0x04,
                                    0x3F,
                                    0x02,
                                    preset,
                                    0xFF};
        const uint64_t seen = unit.writes();
        const Clock::time_point start = Clock::now();
        ::sendto(fd, datagram, sizeof datagram, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        Clock::time_point written;
        if (!unit.waitBeyondFor(seen, std::chrono::seconds(5), written)) {
            std::fprintf(stderr, "ViscaBench: datagram %u reached no camera within 5 s\n", i);
            break;
        }
        us.push_back(microseconds(written - start));
        char reply[64];
        while (::recv(fd, reply, sizeof reply, MSG_DONTWAIT) > 0) {
        }
    }
    ::close(fd);
    return us;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    auto unit = std::make_shared<StampingUnit>();
    KXPlatformInstall(std::make_shared<InProcessPlatform>(unit));
    const std::unique_ptr<DC_Recv> receiver = receiverAtLocation();
    DC_Recv& recv = *receiver;

    CamUSBControlThread worker;
    worker.setObjectName(QStringLiteral("vex-cmd-worker"));
    worker.slot_ConnectUSBCamera(&recv);
    worker.start(QThread::InheritPriority);

    std::printf(
        "VISCA over IP: preset recalls 1 ms apart over loopback, datagram sent to the "
        "extension-unit write (%d each)\n",
        kDatagrams);
    BenchCamera throughWorker(recv, &worker);
    BenchCamera direct(recv, nullptr);
    uint16_t port = 0;
    for (auto [name, camera] :
         {std::pair<const char*, ViscaCamera*>{"application (worker queue)", &throughWorker},
          std::pair<const char*, ViscaCamera*>{"vexctl visca (direct call)", &direct}}) {
        // A port of our own: the first free one from a high base.
        ViscaServer server;
        QString error;
        bool started = false;
        for (port = 47000; port < 48000 && !started; port += 2)
            started = server.start(QHostAddress::LocalHost, {{port, static_cast<uint16_t>(port + 1), camera}},
                                   ViscaPeers(), error);
        if (!started) {
            std::fprintf(stderr, "ViscaBench: %s\n", error.toLocal8Bit().constData());
            return 1;
        }
        port -= 2;
        std::vector<double> us;
        std::thread client([&] {
            us = controller(port, *unit);
            QMetaObject::invokeMethod(
                &app, [] { QCoreApplication::quit(); }, Qt::QueuedConnection);
        });
        app.exec();
        client.join();
        server.stop();
        if (us.empty())
            return 1;
        const Percentiles p = percentiles(us);
        std::printf("  %-40s p50 %8.1f us  p99 %8.1f us  max %8.1f us  (target p99 <= 3000 us)\n", name,
                    p.p50Us, p.p99Us, p.maxUs);
    }
    worker.requestStop();
    worker.wait();
    return 0;
}
