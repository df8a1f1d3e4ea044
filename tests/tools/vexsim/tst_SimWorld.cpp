// The simulated arrays on their wires and the simulator's control operations, as vexsim runs
// them: arrays on a loopback address, requests on the simulator socket.

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "KXJsonLine.h"
#include "SimArray.h"
#include "SimWorld.h"

using kxjson::Json;

namespace {

// A client of the simulator socket on its own thread: the world answers control requests on
// this thread's event loop, so the test keeps spinning it while it waits (at most 10 s).
Json ask(const std::string& socketPath, const Json& request) {
    Json answer;
    std::atomic<bool> done{false};
    std::thread client([&] {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, socketPath.c_str(), sizeof a.sun_path - 1);
        timeval timeout{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            const std::string line = kxjson::dump(request) + "\n";
            (void)!::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            std::string got;
            char buf[65536];
            ssize_t n;
            while (got.find('\n') == std::string::npos && (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
                got.append(buf, size_t(n));
            if (auto parsed = kxjson::parse(got.substr(0, got.find('\n'))))
                answer = *parsed;
        }
        ::close(fd);
        done = true;
    });
    while (!done) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    client.join();
    return answer;
}

SimArray::Options arrayOn(SimArray::Brand brand, const char* address) {
    SimArray::Options o;
    o.brand = brand;
    o.address = QHostAddress(QString::fromLatin1(address));
    return o;
}

QByteArray readUntil(QTcpSocket& s, const QByteArray& marker, int timeoutMs = 5000) {
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (!got.contains(marker) && t.elapsed() < timeoutMs) {
        if (s.waitForReadyRead(50))
            got += s.readAll();
        QCoreApplication::processEvents();
    }
    return got;
}

std::string tempSocket(const char* name) {
    return QDir::tempPath().toStdString() + "/vexsim-test-" + std::to_string(::getpid()) + "-" + name +
           ".sock";
}

}  // namespace

class tst_SimWorld : public QObject {
    Q_OBJECT

private slots:
    // ---- replies as bytes ----
    void shureRepliesReportTheTalkersChannel();
    void autoCoverageReportsAreaGatesAndOneLevel();
    void sennheiserAndYamahaReplies();
    // ---- arrays on their wires ----
    void shureAnswersRequestsSplitAcrossReadsAndSplitsItsReplies();
    void yamahaMeteringIsNotHeldBackByRepeatedStarts();
    void nurevaReportsOnceSubscribedAndAnswersPings();
    void aDroppedLinkIsSeenByTheClient();
    void aTakenPortIsReported();
    // ---- control operations ----
    void controlOperationsOverTheSocket();
    void timelineRunsTheScenarioInOrder();
    void aCameraPluggedOnAnotherPortKeepsItsMemory();
    void aStaleSocketIsReplacedAndTheSocketRemovedAtTheEnd();
};

void tst_SimWorld::shureRepliesReportTheTalkersChannel() {
    SimTalker t{true, 3, 0, 30, 40, {}};
    QCOMPARE(SimArrayReplies::shure("< GET AUTO_COVERAGE >", t, false, 8),
             QByteArray("< REP AUTO_COVERAGE OFF >"));
    const QByteArray gates = SimArrayReplies::shure("< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >", t, false, 4);
    QCOMPARE(gates,
             QByteArray("< REP 1 AUTOMIX_GATE_OUT_EXT_SIG OFF >< REP 2 AUTOMIX_GATE_OUT_EXT_SIG OFF >"
                        "< REP 3 AUTOMIX_GATE_OUT_EXT_SIG ON >< REP 4 AUTOMIX_GATE_OUT_EXT_SIG OFF >"));
    const QByteArray peaks = SimArrayReplies::shure("< GET 0 AUDIO_IN_PEAK_LVL >", t, false, 4);
    QVERIFY(peaks.contains("< REP 3 AUDIO_IN_PEAK_LVL 040 >"));
    QVERIFY(peaks.contains("< REP 4 AUDIO_IN_PEAK_LVL 000 >"));
    QCOMPARE(peaks.count("AUDIO_IN_PEAK_LVL"), 4);
    // Several talkers at once: each one's gate and level, the others' stay quiet.
    t.alsoAt = {1};
    const QByteArray both = SimArrayReplies::shure("< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >", t, false, 4);
    QCOMPARE(both.count(" ON >"), 2);
    QVERIFY(both.contains("< REP 1 AUTOMIX_GATE_OUT_EXT_SIG ON >") &&
            both.contains("< REP 3 AUTOMIX_GATE_OUT_EXT_SIG ON >"));
    QVERIFY(SimArrayReplies::shure("< GET 0 AUDIO_IN_PEAK_LVL >", t, false, 4)
                .contains("< REP 1 AUDIO_IN_PEAK_LVL 040 >"));
    t.alsoAt.clear();
    // A talker outside the array's channels, or silence: every gate off.
    t.position = 9;
    QVERIFY(!SimArrayReplies::shure("< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >", t, false, 8).contains("ON"));
    t = SimTalker{};
    QVERIFY(!SimArrayReplies::shure("< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >", t, false, 8).contains("ON"));
    QVERIFY(SimArrayReplies::shure("< GET SOMETHING_ELSE >", t, false, 8).isEmpty());
}

void tst_SimWorld::autoCoverageReportsAreaGatesAndOneLevel() {
    const SimTalker t{true, 2, 0, 30, 55, {}};
    QCOMPARE(SimArrayReplies::shure("< GET AUTO_COVERAGE >", t, true, 8),
             QByteArray("< REP AUTO_COVERAGE ON >"));
    QVERIFY(SimArrayReplies::shure("< GET 0 AUTOMIX_GATE_OUT_CA >", t, true, 8)
                .contains("< REP 2 AUTOMIX_GATE_OUT_CA ON >"));
    // Channel gates stay off in automatic coverage.
    QVERIFY(!SimArrayReplies::shure("< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >", t, true, 8).contains("ON"));
    // One automix output for the room: one level.
    QCOMPARE(SimArrayReplies::shure("< GET 0 AUDIO_IN_PEAK_LVL >", t, true, 8),
             QByteArray("< REP 1 AUDIO_IN_PEAK_LVL 055 >"));
    QCOMPARE(SimArrayReplies::shure("< GET 0 AUDIO_IN_PEAK_LVL >", SimTalker{}, true, 8),
             QByteArray("< REP 1 AUDIO_IN_PEAK_LVL 000 >"));
}

void tst_SimWorld::sennheiserAndYamahaReplies() {
    SimTalker t{true, 0, 120, 30, -20, {}};
    QCOMPARE(
        SimArrayReplies::sennheiser(
            "{\n    \"m\": {\n        \"in1\": {\n            \"peak\": null\n        }\n    }\n}\r\n", t),
        QByteArray("{\"m\":{\"in1\":{\"peak\":-20}}}\r\n"));
    QCOMPARE(SimArrayReplies::sennheiser("{\"m\":{\"beam\":{\"azimuth\":null}}}", t),
             QByteArray("{\"m\":{\"beam\":{\"azimuth\":120}}}\r\n"));
    QCOMPARE(SimArrayReplies::sennheiser("{\"m\":{\"beam\":{\"elevation\":null}}}", t),
             QByteArray("{\"m\":{\"beam\":{\"elevation\":30}}}\r\n"));
    QVERIFY(SimArrayReplies::sennheiser("not json", t).isEmpty());
    t.talking = false;
    QVERIFY(SimArrayReplies::sennheiser("{\"m\":{\"in1\":{\"peak\":null}}}", t).contains("-90"));

    int interval = -1;
    QCOMPARE(SimArrayReplies::yamaha("devstatus runmode \n", interval),
             QByteArray("OK devstatus runmode \"normal\"\n"));
    QCOMPARE(interval, 0);
    QVERIFY(SimArrayReplies::yamaha("mtrstart RM:BeamDirection 100 \n", interval).startsWith("OK mtrstart"));
    QCOMPARE(interval, 100);
    SimArrayReplies::yamaha("mtrstart RM:BeamDirection 0 \n", interval);
    QCOMPARE(interval, 100);
    SimArrayReplies::yamaha("mtrstart RM:BeamDirection 99999999 \n", interval);
    QCOMPARE(interval, 5000);
    QVERIFY(SimArrayReplies::yamaha("bogus\n", interval).startsWith("ERROR"));
    // phi field = (azimuth + 180) / 2, theta = elevation x 2, voice.
    t = SimTalker{true, 0, 0, 30, 1, {}};
    QCOMPARE(SimArrayReplies::yamahaNotification(t), QByteArray("NOTIFY mtr RM:BeamDirection raw 5a 3c 1\n"));
    t.azimuth = 1000;
    t.talking = false;
    QCOMPARE(SimArrayReplies::yamahaNotification(t), QByteArray("NOTIFY mtr RM:BeamDirection raw ff 3c 0\n"));
}

void tst_SimWorld::shureAnswersRequestsSplitAcrossReadsAndSplitsItsReplies() {
    SimArray::Options o = arrayOn(SimArray::Brand::Shure, "127.0.0.201");
    o.splitWrites = true;
    o.channels = 2;
    SimArray array(o);
    QVERIFY(array.listen());
    QCOMPARE(array.port(), 2202);
    QTcpSocket client;
    client.connectToHost(array.options().address, quint16(array.port()));
    QVERIFY(client.waitForConnected(5000));
    array.setTalker(SimTalker{true, 2, 0, 30, 33, {}});
    client.write("< GET 0 AUDIO_");
    client.flush();
    QTest::qWait(20);
    client.write("IN_PEAK_LVL >< GET AUTO_COVERAGE >");
    const QByteArray got = readUntil(client, "AUTO_COVERAGE OFF >");
    QVERIFY2(got.contains("< REP 2 AUDIO_IN_PEAK_LVL 033 >"), got.constData());
    QVERIFY(got.indexOf("AUDIO_IN_PEAK_LVL") < got.indexOf("AUTO_COVERAGE"));
    QVERIFY(array.received().contains("< GET AUTO_COVERAGE >"));
}

void tst_SimWorld::yamahaMeteringIsNotHeldBackByRepeatedStarts() {
    SimArray array(arrayOn(SimArray::Brand::Yamaha, "127.0.0.202"));
    QVERIFY(array.listen());
    QTcpSocket client;
    client.connectToHost(array.options().address, quint16(array.port()));
    QVERIFY(client.waitForConnected(5000));
    array.setTalker(SimTalker{true, 0, -100, 30, 1, {}});
    client.write("devstatus runmode \n");
    QVERIFY(readUntil(client, "\"normal\"").contains("OK devstatus runmode \"normal\""));
    // The application asks for metering every 100 ms, as often as the metering period:
    // notifications must still come.
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.count("NOTIFY") < 5 && t.elapsed() < 5000) {
        client.write("mtrstart RM:BeamDirection 100 \n");
        client.flush();
        got += readUntil(client, "NOTIFY", 100);
    }
    QVERIFY2(got.count("NOTIFY") >= 5, got.constData());
    QVERIFY(got.contains("NOTIFY mtr RM:BeamDirection raw 28 3c 1\n"));
}

void tst_SimWorld::nurevaReportsOnceSubscribedAndAnswersPings() {
    SimArray::Options o = arrayOn(SimArray::Brand::Nureva, "127.0.0.1");
    o.port = -1;
    SimArray array(o);
    QVERIFY(array.listen());
    QWebSocket client;
    QStringList messages;
    connect(&client, &QWebSocket::textMessageReceived, [&](const QString& m) { messages.append(m); });
    QSignalSpy pongs(&client, &QWebSocket::pong);
    client.open(QUrl(QString("ws://127.0.0.1:%1").arg(array.port())));
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QAbstractSocket::ConnectedState, 5000);
    client.sendTextMessage("ping");  // the application's keep-alive text: no answer
    QTest::qWait(300);
    QVERIFY(messages.isEmpty());
    array.setTalker(SimTalker{true, 0, 25, 30, 80, {}});
    client.sendTextMessage(R"({"clientId":"Vantor","request":"v1/devices/audioLocation","requestId":"{x}"})");
    QTRY_VERIFY_WITH_TIMEOUT(messages.size() >= 3, 5000);
    QVERIFY(messages.first().contains("\"status\":\"ok\""));
    QVERIFY(messages.last().contains("\"azimuth\":25"));
    QVERIFY(messages.last().contains("\"powerLevel\":80"));
    client.ping("x");
    QTRY_VERIFY_WITH_TIMEOUT(pongs.count() == 1, 5000);
}

void tst_SimWorld::aDroppedLinkIsSeenByTheClient() {
    SimArray array(arrayOn(SimArray::Brand::Yamaha, "127.0.0.204"));
    QVERIFY(array.listen());
    QTcpSocket client;
    client.connectToHost(array.options().address, quint16(array.port()));
    QVERIFY(client.waitForConnected(5000));
    QTRY_VERIFY_WITH_TIMEOUT(array.hasClient(), 5000);
    array.sendRaw("garbage\xff\n");
    QVERIFY(readUntil(client, "garbage").contains("garbage"));
    array.dropLink();
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QAbstractSocket::UnconnectedState, 5000);
}

void tst_SimWorld::aTakenPortIsReported() {
    const SimArray::Options o = arrayOn(SimArray::Brand::Nureva, "127.0.0.205");
    SimArray first(o);
    QVERIFY(first.listen());
    SimArray second(o);
    QString error;
    QVERIFY(!second.listen(&error));
    QVERIFY2(error.contains("nureva array on 127.0.0.205:8931"), qPrintable(error));
}

void tst_SimWorld::controlOperationsOverTheSocket() {
    std::string error;
    auto scenario = SimScenario::fromJson(*kxjson::parse(R"({
        "cameras":[{"id":"c","capabilities":[{"subtype":"MJPG","width":160,"height":90,"fps":5}],"presets":"seats",
                    "start":{"pan":10}}],
        "arrays":[{"id":"y","brand":"yamaha","address":"127.0.0.206"}]})"),
                                          error);
    QVERIFY2(scenario, error.c_str());
    const std::string path = tempSocket("control");
    SimWorld world(*scenario, path);
    QVERIFY2(world.ok(), world.error().c_str());
    world.start();

    Json status = ask(path, {{"op", "status"}});
    QVERIFY(kxjson::flag(status, "ok"));
    QVERIFY(status["cameras"][0]["plugged"] == Json(true));
    QCOMPARE(status["cameras"][0]["view"]["pan"].get<double>(), 10.0);
    QVERIFY(status["arrays"][0]["port"] == Json(49280));

    // A register write through the protocol shows in the journal, decoded.
    const std::string device = status["cameras"][0]["device_path"];
    Json xu = ask(
        path,
        {{"op", "xu"}, {"device_path", device}, {"query", "set_cur"}, {"selector", 5}, {"data", "1d000300"}});
    QVERIFY(kxjson::flag(xu, "ok"));
    ask(path,
        {{"op", "xu"}, {"device_path", device}, {"query", "set_cur"}, {"selector", 5}, {"data", "00000b00"}});
    Json journal = ask(path, {{"op", "journal"}});
    bool sawWrite = false, sawSelect = false;
    for (const Json& e : journal["entries"]) {
        sawWrite = sawWrite || (e.value("register", "") == "0x001d" && e.value("value", -1) == 3 &&
                                e.value("camera", "") == "c");
        sawSelect = sawSelect || e.value("select", "") == "0x000b";
    }
    QVERIFY(sawWrite && sawSelect);
    const uint64_t next = journal["next"];
    QCOMPARE(ask(path, {{"op", "journal"}, {"since", next}})["entries"].size(), size_t(0));
    // The preset recall turns the head to seat 3.
    QTRY_VERIFY_WITH_TIMEOUT(
        std::abs(ask(path, {{"op", "registers"}, {"camera", "c"}})["view"]["pan"].get<double>() + 60) < 0.5,
        5000);
    Json regs = ask(path, {{"op", "registers"}, {"set", {{"0x0080", 75}}}});
    QVERIFY(regs["registers"]["0x0080"] == Json(75));
    QVERIFY(!kxjson::flag(ask(path, {{"op", "registers"}, {"set", {{"zero", 1}}}}), "ok"));

    // Unplug: gone from the capture devices and the picture stops; plug: back.
    QVERIFY(kxjson::flag(ask(path, {{"op", "unplug"}}), "ok"));
    QCOMPARE(ask(path, {{"op", "capture_devices"}, {"class", "video"}})["devices"].size(), size_t(0));
    QCOMPARE(ask(path, {{"op", "usb_devices"}})["devices"].size(), size_t(0));
    QVERIFY(kxjson::flag(ask(path, {{"op", "plug"}, {"camera", "c"}}), "ok"));
    QCOMPARE(ask(path, {{"op", "capture_devices"}, {"class", "video"}})["devices"].size(), size_t(1));
    QCOMPARE(ask(path, {{"op", "usb_devices"}})["devices"].size(), size_t(2));

    // Talk, silence, garbage; errors for what does not exist or is malformed.
    Json talk = ask(path, {{"op", "talk"}, {"azimuth", -100}});
    QVERIFY(talk["time_ms"].get<double>() > 0);
    QVERIFY(world.array("y")->talker().talking);
    QCOMPARE(world.array("y")->talker().azimuth, -100);
    ask(path, {{"op", "silence"}, {"array", "y"}});
    QVERIFY(!world.array("y")->talker().talking);
    QVERIFY(!kxjson::flag(ask(path, {{"op", "talk"}, {"array", "nope"}}), "ok"));
    // Several talkers: the first stands for the talker; a later single position clears the rest.
    QVERIFY(kxjson::flag(ask(path, {{"op", "talk"}, {"positions", {2, 6, 1e300}}}), "ok"));
    QCOMPARE(world.array("y")->talker().position, 2);
    QVERIFY(world.array("y")->talker().alsoAt == (std::vector<int>{6, 64}));
    ask(path, {{"op", "talk"}, {"position", 5}});
    QVERIFY(world.array("y")->talker().alsoAt.empty());
    for (const Json& bad : {Json::array(), Json("2"), Json{2, "x"}})
        QVERIFY(!kxjson::flag(ask(path, {{"op", "talk"}, {"positions", bad}}), "ok"));
    QCOMPARE(world.array("y")->talker().position, 5);
    QVERIFY(!kxjson::flag(ask(path, {{"op", "garbage"}, {"bytes", -1}}), "ok"));
    QVERIFY(!kxjson::flag(ask(path, {{"op", "plug"}, {"camera", "nope"}}), "ok"));
    QVERIFY(!kxjson::flag(ask(path, {{"op", "fly"}}), "ok"));
    QVERIFY(!kxjson::flag(ask(path, {{"op", "fault"}, {"fault", "melt"}, {"request_op", "xu"}}), "ok"));
    QVERIFY(kxjson::flag(ask(path, {{"op", "fault"}, {"fault", "error"}, {"request_op", "xu"}}), "ok"));
    QVERIFY(!kxjson::flag(ask(path, {{"op", "xu"},
                                     {"device_path", device},
                                     {"query", "set_cur"},
                                     {"selector", 5},
                                     {"data", "1d000300"}}),
                          "ok"));
    bool quit = false;
    world.onQuit = [&] { quit = true; };
    QVERIFY(kxjson::flag(ask(path, {{"op", "quit"}}), "ok"));
    QTRY_VERIFY_WITH_TIMEOUT(quit, 5000);
}

void tst_SimWorld::timelineRunsTheScenarioInOrder() {
    std::string error;
    auto scenario = SimScenario::fromJson(*kxjson::parse(R"({
        "cameras":[{"id":"c","plugged":false,"capabilities":[{"width":160,"height":90,"fps":5}]}],
        "timeline":{"loop_ms":400,"events":[{"at_ms":50,"op":"plug","camera":"c"},{"at_ms":200,"op":"unplug","camera":"c"},
                                              {"at_ms":250,"op":"no such op"}]}})"),
                                          error);
    QVERIFY2(scenario, error.c_str());
    SimWorld world(*scenario, tempSocket("timeline"));
    QVERIFY2(world.ok(), world.error().c_str());
    QVERIFY(!world.server().hasCamera(SimServer::devicePathFor("1d4d", "6009", "1&2.4&1&0000")));
    world.start();
    const std::string path = SimServer::devicePathFor("1d4d", "6009", "1&2.4&1&0000");
    // It loops: the camera comes and goes more than once.
    int arrivals = 0;
    bool was = false;
    QElapsedTimer t;
    t.start();
    while (arrivals < 2 && t.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        const bool is = world.server().hasCamera(path);
        arrivals += is && !was;
        was = is;
    }
    QCOMPARE(arrivals, 2);
}

namespace {

// The usb_devices entry whose instance id is `id`; null when none is.
Json usbEntry(const std::string& socketPath, const std::string& id) {
    const Json devices = ask(socketPath, {{"op", "usb_devices"}});
    for (const Json& d : kxjson::arrayMember(devices, "devices"))
        if (kxjson::text(d, "instance_id") == id)
            return d;
    return Json();
}

}  // namespace

// A camera unplugged and plugged in on another port (its serial number names it): its entries
// and device path follow the port, its presets stay, and the bus keeps no stale entry.
void tst_SimWorld::aCameraPluggedOnAnotherPortKeepsItsMemory() {
    std::string error;
    auto scenario = SimScenario::fromJson(*kxjson::parse(R"({
        "cameras":[{"id":"a","capabilities":[{"width":160,"height":90,"fps":5}],
                    "presets":{"1":{"pan":-60,"tilt":5,"zoom":2}}},
                   {"id":"b","bus_port":"1&3","serial":"","capabilities":[{"width":160,"height":90,"fps":5}]}]})"),
                                          error);
    QVERIFY2(scenario, error.c_str());
    const std::string path = tempSocket("move");
    SimWorld world(*scenario, path);
    QVERIFY2(world.ok(), world.error().c_str());
    const std::string serialId = "USB\\VID_1D4D&PID_6009\\VX100001";
    Json entry = usbEntry(path, serialId);
    QVERIFY2(entry.is_object(), kxjson::dump(ask(path, {{"op", "usb_devices"}})).c_str());
    QVERIFY(entry["location_paths"] == Json::array({"pci-0000:00:14.0-usb-0:2.4"}));
    QVERIFY(usbEntry(path, "USB\\VID_1D4D&PID_6009\\1&3").is_object());  // no serial number

    // Only an unplugged camera moves, to a free, well-formed place.
    QVERIFY(!kxjson::flag(ask(path, {{"op", "plug"}, {"camera", "a"}, {"bus_port", "1&4"}}), "ok"));
    QVERIFY(kxjson::flag(ask(path, {{"op", "unplug"}, {"camera", "a"}}), "ok"));
    QVERIFY(!usbEntry(path, serialId).is_object());
    for (const char* bad : {"1&3", "14", "1&", "&4", "1&4&1", "1&4;x", "1&4/../2"})
        QVERIFY2(!kxjson::flag(ask(path, {{"op", "plug"}, {"camera", "a"}, {"bus_port", bad}}), "ok"), bad);
    QVERIFY(kxjson::flag(ask(path, {{"op", "plug"}, {"camera", "a"}, {"bus_port", "1&4"}}), "ok"));

    const Json status = ask(path, {{"op", "status"}});
    QCOMPARE(kxjson::text(status["cameras"][0], "location"), std::string("1&4&1&0000"));
    const std::string moved = SimServer::devicePathFor("1d4d", "6009", "1&4&1&0000");
    QCOMPARE(kxjson::text(status["cameras"][0], "device_path"), moved);
    QVERIFY(world.server().hasCamera(moved));
    QVERIFY(!world.server().hasCamera(SimServer::devicePathFor("1d4d", "6009", "1&2.4&1&0000")));
    entry = usbEntry(path, serialId);
    QVERIFY(entry.is_object() && entry["location_paths"] == Json::array({"pci-0000:00:14.0-usb-0:4"}));
    QVERIFY(usbEntry(path, "USB\\VID_1D4D&PID_6009&MI_00\\1&4&1&0000").is_object());

    // Its preset 1, recalled on the new path, still looks where the scenario put it.
    QVERIFY(kxjson::flag(ask(path, {{"op", "xu"},
                                    {"device_path", moved},
                                    {"query", "set_cur"},
                                    {"selector", 5},
                                    {"data", "1d000100"}}),
                         "ok"));
    SimView view;
    QTRY_VERIFY_WITH_TIMEOUT(
        world.server().view(moved, view) && std::abs(view.panDeg + 60.0) < 0.5 && !view.moving, 5000);

    // Unplugged from there, it leaves the new port's entries behind it none.
    QVERIFY(kxjson::flag(ask(path, {{"op", "unplug"}, {"camera", "a"}}), "ok"));
    QVERIFY(!usbEntry(path, serialId).is_object());
    QVERIFY(!usbEntry(path, "USB\\VID_1D4D&PID_6009&MI_00\\1&4&1&0000").is_object());
    QVERIFY(usbEntry(path, "USB\\VID_1D4D&PID_6009\\1&3").is_object());
}

void tst_SimWorld::aStaleSocketIsReplacedAndTheSocketRemovedAtTheEnd() {
    const std::string path = tempSocket("stale");
    {
        // A socket file a killed simulator left behind.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::close(fd);
    }
    {
        SimWorld world(SimScenario{}, path);
        QVERIFY2(world.ok(), world.error().c_str());
        QVERIFY(kxjson::flag(ask(path, {{"op", "status"}}), "ok"));
    }
    QVERIFY(!QFile::exists(QString::fromStdString(path)));
    // A file that is not a socket is never removed: the world refuses to start instead.
    const std::string plain = tempSocket("plain");
    QFile f(QString::fromStdString(plain));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    {
        SimWorld world(SimScenario{}, plain);
        QVERIFY(!world.ok());
    }
    QVERIFY(QFile::exists(QString::fromStdString(plain)));
    QFile::remove(QString::fromStdString(plain));
}

QTEST_GUILESS_MAIN(tst_SimWorld)
#include "tst_SimWorld.moc"
