// The control interface's live picture: what serving it costs and how late it arrives.
//
// 1080p frames (planar 4:2:0, a moving gradient) are handed to a PictureFeed every 33 ms (a
// 30 fps camera) for `seconds`; the feed makes at most 15 pictures a second at 640 wide and
// the server sends them to `clients` WebSocket clients on loopback, which read them in the
// same process. Figures: pictures received per second per client, the interface thread's
// processor time per picture (scale + encode + send) and as a share of one core at the rate
// served, and the delay from the frame's hand-over to the client's receipt of its picture,
// median and p99. Targets: at most 10 % of one core at 15 a second; capture to receipt
// p99 <= 150 ms (the page's decode and paint come on top in a browser).
//
// Usage: PictureBench [seconds, default 10] [clients, default 1]

#include <time.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <vector>

#include "ControlApiServer.h"
#include "PictureFeed.h"
#include "vexsdk.h"

namespace {

double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

struct OneCamera : ControlApiBackend {
    QJsonObject state() override { return {}; }
    QString commandCamera(const QString&) override { return QStringLiteral("1&2&1&0000"); }
    int connectCamera(const QString&, QString&) override { return 0; }
    int disconnectCamera(const QString&, QString&) override { return 0; }
    void sendCameraCommand(int, int, const QString&) override {}
    bool setTracking(bool, QString&) override { return true; }
    bool pauseTracking(int, QString&) override { return true; }
    QJsonArray trackingLog(int) override { return {}; }
};

double percentile(std::vector<double> values, double p) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const int clientCount = argc > 2 ? std::clamp(std::atoi(argv[2]), 1, ControlApi::kMaxClients) : 1;

    OneCamera backend;
    ControlApiServer server(&backend);
    ControlApiSettings settings;
    settings.enabled = true;
    settings.port = 0;
    if (!server.apply(settings)) {
        std::fprintf(stderr, "PictureBench: %s\n", qPrintable(server.statusText()));
        return 1;
    }

    QElapsedTimer clock;
    clock.start();
    std::deque<qint64> handedOverUs;  // each picture's frame hand-over, oldest first
    std::vector<double> delaysMs;
    std::vector<int> received(clientCount, 0);
    std::vector<std::unique_ptr<QWebSocket>> clients;
    int opened = 0;
    for (int i = 0; i < clientCount; ++i) {
        auto socket = std::make_unique<QWebSocket>();
        QObject::connect(socket.get(), &QWebSocket::connected, [&opened, s = socket.get()] {
            ++opened;
            s->sendTextMessage(QStringLiteral(R"({"id":1,"method":"picture.start"})"));
        });
        QObject::connect(socket.get(), &QWebSocket::binaryMessageReceived, [&, i](const QByteArray&) {
            ++received[i];
            // The first client times the delay (the others get the same picture).
            if (i == 0 && !handedOverUs.empty()) {
                delaysMs.push_back((clock.nsecsElapsed() / 1000 - handedOverUs.front()) / 1000.0);
                handedOverUs.pop_front();
            }
        });
        socket->open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort())));
        clients.push_back(std::move(socket));
    }

    int pictures = 0;
    PictureFeed feed([&](int width, const QByteArray& jpeg) {
        ++pictures;
        handedOverUs.push_back(clock.nsecsElapsed() / 1000);
        server.sendPicture(QStringLiteral("1&2&1&0000"), width, jpeg);
    });
    feed.setWidths({ControlApi::kMaxPictureWidth});

    const int width = 1920, height = 1080;
    std::vector<uint8_t> y(size_t(width) * height), u(size_t(width / 2) * (height / 2), 128),
        v(size_t(width / 2) * (height / 2), 128);
    DC_Video_Frame frame{};
    frame.width = width;
    frame.height = height;
    frame.format = 0;
    frame.data[0] = y.data();
    frame.data[1] = u.data();
    frame.data[2] = v.data();
    frame.linesize[0] = width;
    frame.linesize[1] = frame.linesize[2] = width / 2;

    int frameNumber = 0;
    double cpuMs = 0;
    QTimer camera;
    camera.setTimerType(Qt::PreciseTimer);
    QObject::connect(&camera, &QTimer::timeout, [&] {
        for (int row = 0; row < height; row += 8)
            std::fill_n(&y[size_t(row) * width], width, uint8_t(row + frameNumber));
        ++frameNumber;
        const double before = threadCpuMs();
        feed.consumeFrame(frame);
        cpuMs += threadCpuMs() - before;
    });

    QTimer::singleShot(0, [&] {
        QElapsedTimer wait;
        wait.start();
        while (opened < clientCount && wait.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        while (server.pictureDemand().isEmpty() && wait.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        camera.start(33);
        QTimer::singleShot(seconds * 1000, [&] {
            camera.stop();
            // Whatever is on its way arrives, then the figures.
            QTimer::singleShot(300, &app, &QCoreApplication::quit);
        });
    });
    const double totalCpuBefore = threadCpuMs();
    app.exec();
    const double totalCpuMs = threadCpuMs() - totalCpuBefore;

    const int least = *std::min_element(received.begin(), received.end());
    std::printf("PictureBench: %d s, %d client(s), 1080p at 30 fps in, 640 wide out\n", seconds, clientCount);
    std::printf("  pictures made: %d (%.1f a second); received by the slowest client: %d (%.1f a second)\n",
                pictures, pictures / double(seconds), least, least / double(seconds));
    std::printf(
        "  feed (scale + encode + send): %.2f ms of processor time per picture, %.1f %% of one core\n",
        pictures ? cpuMs / pictures : 0.0, cpuMs / (seconds * 10.0));
    std::printf("  interface thread in all (sockets, clients included): %.1f %% of one core\n",
                totalCpuMs / (seconds * 10.0));
    std::printf("  hand-over to receipt: median %.1f ms, p99 %.1f ms (%zu pictures)\n",
                percentile(delaysMs, 0.5), percentile(delaysMs, 0.99), delaysMs.size());
    return 0;
}
