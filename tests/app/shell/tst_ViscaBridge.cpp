// The application as a VISCA device: each connected camera gets its port pair (kept across
// restarts), a controller's commands go the one command path as "visca", a port whose camera
// is away answers "not executable", and the inquiries come from what went to the camera.
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <memory>

#include "CameraCommandRouter.h"
#include "CameraListView.h"
#include "SimCameraRig.h"
#include "USB_DeviceInfo.h"
#include "ViscaBridge.h"

namespace {

using CameraSetup = SimCameraRig::CameraSpec;

CameraSetup camera(const std::string& busPort, const std::string& pid) {
    CameraSetup s;
    s.busPort = busPort;
    s.pid = pid;
    return s;
}

USB_DeviceInfo record(const CameraSetup& s) {
    USB_DeviceInfo info;
    info.locationIdentity = QString::fromStdString(SimCameraRig::location(s));
    info.modelName = QStringLiteral("ZM-150");
    info.deviceModeInt = 9;
    info.vid = QString::fromStdString(s.vid);
    info.pid = QString::fromStdString(s.pid);
    return info;
}

// A free UDP port pair on loopback, far from the defaults: port and port + 1 (the pair's TCP
// port is its UDP port's distance from the defaults, kept).
int freeBase() {
    for (int attempt = 0; attempt < 50; ++attempt) {
        QUdpSocket probe;
        if (!probe.bind(QHostAddress::LocalHost, 0))
            continue;
        const int port = probe.localPort();
        if (port > 20000 && port < 60000)
            return port;
    }
    return 40000;
}

// A VISCA-over-IP controller: one datagram out, the replies that come within 5 s.
class Controller {
public:
    explicit Controller(int port) : _port(static_cast<quint16>(port)) {
        _socket.bind(QHostAddress::LocalHost, 0);
    }
    QList<QByteArray> ask(quint32 sequence, const QByteArray& payload, int replies) {
        QByteArray datagram;
        datagram.append(char(0x01)).append(char(0x00));
        datagram.append(char(payload.size() >> 8)).append(char(payload.size() & 0xFF));
        for (int shift = 24; shift >= 0; shift -= 8) datagram.append(char((sequence >> shift) & 0xFF));
        datagram.append(payload);
        _socket.writeDatagram(datagram, QHostAddress::LocalHost, _port);
        QList<QByteArray> out;
        QDeadlineTimer deadline(5000);
        while (out.size() < replies && !deadline.hasExpired()) {
            if (!_socket.hasPendingDatagrams()) {
                QTest::qWait(5);  // the server answers on this thread's event loop
                continue;
            }
            QByteArray in(int(_socket.pendingDatagramSize()), Qt::Uninitialized);
            _socket.readDatagram(in.data(), in.size());
            out.append(in.mid(8));  // the VISCA reply, without its header
        }
        return out;
    }

private:
    QUdpSocket _socket;
    quint16 _port;
};

}  // namespace

class TstViscaBridge : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void eachConnectedCameraIsServedOnItsOwnPortPair();
    void settingsThatCannotBeServedServeNothing();

private:
    std::unique_ptr<SimCameraRig> _rig;
};

void TstViscaBridge::init() {
    _rig = std::make_unique<SimCameraRig>();
    qApp->setProperty("configDataInforJsonObject", QJsonObject());
}

void TstViscaBridge::cleanup() {
    _rig.reset();
    qApp->setProperty("configDataInforJsonObject", QVariant());
}

void TstViscaBridge::eachConnectedCameraIsServedOnItsOwnPortPair() {
    const CameraSetup a = camera("1&2.4", "6009");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    CameraListView cameras;
    cameras.slot_GetUSBCameras({record(a), record(b)});
    CameraCommandRouter router;
    QSignalSpy sent(&router, &CameraCommandRouter::signal_Command);
    ViscaBridge bridge(&cameras, &router);
    QSignalSpy saved(&bridge, &ViscaBridge::signal_SettingsChanged);

    const int base = freeBase();
    ViscaSettings settings;
    settings.enabled = true;
    settings.udpPort = base;
    settings.tcpPort = base + 2000 < 65000 ? base + 2000 : base - 2000;
    QCOMPARE(bridge.apply(settings), QString());
    QVERIFY(bridge.isServing());
    QVERIFY(bridge.settings().ports.isEmpty());  // nothing connected yet

    // The first camera connected gets the first pair, saved at once.
    QTest::mouseClick(cameras.rowButton(0), Qt::LeftButton);
    QVERIFY(cameras.currentReceiver());
    bridge.camerasChanged();
    QCOMPARE(bridge.settings().ports.value(QStringLiteral("1&2.4&1&0000")), base);
    QCOMPARE(saved.count(), 1);

    Controller toA(base);
    const QList<QByteArray> recall = toA.ask(0, QByteArray::fromHex("8101043f0203ff"), 2);
    QCOMPARE(recall, (QList<QByteArray>{QByteArray::fromHex("9041ff"), QByteArray::fromHex("9051ff")}));
    QCOMPARE(sent.count(), 1);
    const CameraCommand command = sent.at(0).at(0).value<CameraCommand>();
    QCOMPARE(command.kind, CameraCommand::Kind::CallPreset);
    QCOMPARE(command.value, 3);
    QCOMPARE(command.origin, CameraCommand::Origin::Visca);
    QCOMPARE(command.camera, QStringLiteral("1&2.4&1&0000"));
    QCOMPARE(CameraCommand::originName(command.origin), QStringLiteral("visca"));
    // The preset called last, from what went to the camera.
    QCOMPARE(toA.ask(1, QByteArray::fromHex("8109043fff"), 1).value(0), QByteArray::fromHex("905003ff"));
    toA.ask(2, QByteArray::fromHex("8101060101010303ff"), 2);  // pan-tilt stop
    QCOMPARE(sent.last().at(0).value<CameraCommand>().direction(), CameraCommand::Direction::Stop);

    // The second camera gets the next pair; the first, now disconnected (one camera at a
    // time), keeps its port, which answers "not executable" and sends nothing.
    QTest::mouseClick(cameras.rowButton(1), Qt::LeftButton);
    bridge.camerasChanged();
    QCOMPARE(bridge.settings().ports.value(QStringLiteral("1&3&1&0000")), base + 1);
    QCOMPARE(saved.count(), 2);
    const int before = sent.count();
    const QList<QByteArray> refused = toA.ask(3, QByteArray::fromHex("8101043f0204ff"), 2);
    QCOMPARE(refused.value(1), QByteArray::fromHex("906141ff"));
    QCOMPARE(sent.count(), before);
    Controller toB(base + 1);
    toB.ask(0, QByteArray::fromHex("8101040702ff"), 2);  // zoom tele
    QCOMPARE(sent.last().at(0).value<CameraCommand>().kind, CameraCommand::Kind::ZoomIn);
    QCOMPARE(sent.last().at(0).value<CameraCommand>().camera, QStringLiteral("1&3&1&0000"));

    // Served again (a restart reads the saved pairs): the same ports for the same cameras.
    ViscaSettings again = bridge.settings();
    QCOMPARE(bridge.apply(ViscaSettings()), QString());
    QVERIFY(!bridge.isServing());
    QCOMPARE(bridge.apply(ViscaSettings::fromJson(again.toJson())), QString());
    QCOMPARE(bridge.settings().ports, again.ports);
    Controller toBAgain(base + 1);
    QCOMPARE(toBAgain.ask(0, QByteArray::fromHex("8101040700ff"), 2).value(1), QByteArray::fromHex("9051ff"));
    QVERIFY(bridge.statusText().contains(QLatin1String("Serving 2 camera(s)")));
}

void TstViscaBridge::settingsThatCannotBeServedServeNothing() {
    CameraListView cameras;
    CameraCommandRouter router;
    ViscaBridge bridge(&cameras, &router);
    ViscaSettings open;
    open.enabled = true;
    open.address = QStringLiteral("0.0.0.0");
    QVERIFY(bridge.apply(open).contains(QLatin1String("allowed peer")));
    QVERIFY(!bridge.isServing());
    open.allowedPeers = {QStringLiteral("10.1.0.0/16"), QStringLiteral("not-an-address")};
    QVERIFY(bridge.apply(open).contains(QLatin1String("not-an-address")));
    QVERIFY(!bridge.isServing());
    QVERIFY(bridge.statusText().startsWith(QLatin1String("Not serving")));

    // A port another program holds: said, and nothing served.
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::LocalHost, 0));
    ViscaSettings taken;
    taken.enabled = true;
    taken.udpPort = holder.localPort();
    taken.tcpPort = taken.udpPort == 5678 ? 5679 : 5678;
    taken.ports.insert(QStringLiteral("1&2.4&1&0000"), taken.udpPort);
    QVERIFY(!bridge.apply(taken).isEmpty());
    QVERIFY(!bridge.isServing());

    // Ports read from a document: a pair outside the range is left out; a new camera's pair
    // skips those taken.
    ViscaSettings read = ViscaSettings::fromJson(
        QJsonObject{{QStringLiteral("UdpPort"), 52381},
                    {QStringLiteral("Ports"), QJsonObject{{QStringLiteral("1&2&1&0000"), 52381},
                                                          {QStringLiteral("1&3&1&0000"), 70000},
                                                          {QStringLiteral("1&4&1&0000"), 52382}}}});
    QCOMPARE(read.ports.size(), 2);
    QCOMPARE(read.assignPort(QStringLiteral("1&5&1&0000")), 52383);
    QCOMPARE(read.tcpPortFor(52383), 5680);
    QCOMPARE(read.assignPort(QStringLiteral("1&2&1&0000")), 52381);

    // The first pair moved by hand moves every camera's TCP port with it: out of range, or
    // onto another camera's UDP port, is refused before anything is bound.
    ViscaSettings moved = read;
    moved.tcpPort = 65534;
    QVERIFY(moved.problem().contains(QLatin1String("outside 1-65535")));
    moved.tcpPort = 52382;  // camera 1&2's TCP port would be camera 1&4's UDP port
    QVERIFY(moved.problem().contains(QLatin1String("another camera's")));
    QVERIFY(read.problem().isEmpty());
}

QTEST_MAIN(TstViscaBridge)
#include "tst_ViscaBridge.moc"
