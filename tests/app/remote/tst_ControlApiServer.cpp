// The control interface's server in process: real WebSocket clients on loopback against a
// backend that records what reached it.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QWebSocket>

#include <memory>
#include <vector>

#include "ControlApiProtocol.h"
#include "ControlApiServer.h"

namespace {

struct RecordingBackend : ControlApiBackend {
    bool connected = true;
    QList<QPair<int, int>> commands;
    QString tracking = QStringLiteral("on");

    QJsonObject state() override {
        return QJsonObject{{QStringLiteral("connected"),
                            connected ? QJsonValue(QStringLiteral("1&2.4&1&0000")) : QJsonValue()},
                           {QStringLiteral("tracking"), tracking}};
    }
    bool isCameraConnected() override { return connected; }
    int connectCamera(const QString& location, QString& message) override {
        if (location != QLatin1String("1&2.4&1&0000")) {
            message = QStringLiteral("no such camera");
            return ControlApi::NoSuchCamera;
        }
        connected = true;
        return 0;
    }
    int disconnectCamera(const QString&, QString&) override {
        connected = false;
        return 0;
    }
    void sendCameraCommand(int commandId, int value) override { commands.append({commandId, value}); }
    bool setTracking(bool on, QString&) override {
        tracking = on ? QStringLiteral("on") : QStringLiteral("off");
        return true;
    }
    QJsonArray trackingLog(int) override { return QJsonArray{}; }
    bool pauseTracking(int seconds, QString&) override {
        tracking = seconds > 0 ? QStringLiteral("paused") : QStringLiteral("on");
        return true;
    }
};

// One client: every text it receives, and whether the server closed it.
class Client {
public:
    explicit Client(quint16 port, const QString& origin = QString()) : _socket(origin) {
        QObject::connect(&_socket, &QWebSocket::textMessageReceived,
                         [this](const QString& text) { _received.append(text); });
        QObject::connect(&_socket, &QWebSocket::disconnected, [this] { _closed = true; });
        _socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port)));
    }
    bool waitOpen() {
        return QTest::qWaitFor(
                   [this] { return _socket.state() == QAbstractSocket::ConnectedState || _closed; }, 5000) &&
               _socket.state() == QAbstractSocket::ConnectedState;
    }
    void send(const QByteArray& text) { _socket.sendTextMessage(QString::fromUtf8(text)); }
    void request(int id, const QString& method, const QJsonObject& params = {}) {
        send(QJsonDocument(QJsonObject{{QStringLiteral("id"), id},
                                       {QStringLiteral("method"), method},
                                       {QStringLiteral("params"), params}})
                 .toJson(QJsonDocument::Compact));
    }
    // The next message received (waits for it), parsed.
    QJsonObject next() {
        if (!QTest::qWaitFor([this] { return _read < _received.size(); }, 5000))
            return {};
        return QJsonDocument::fromJson(_received.at(_read++).toUtf8()).object();
    }
    // The reply with that id, skipping events.
    QJsonObject reply(int id) {
        for (;;) {
            const QJsonObject message = next();
            if (message.isEmpty() || message.value(QStringLiteral("id")).toInt(-1) == id)
                return message;
        }
    }
    bool waitClosed() {
        return QTest::qWaitFor([this] { return _closed; }, 5000);
    }
    bool closed() const { return _closed; }
    int received() const { return _received.size(); }
    QWebSocket& socket() { return _socket; }

private:
    QWebSocket _socket;
    QStringList _received;
    int _read = 0;
    bool _closed = false;
};

int errorCode(const QJsonObject& message) {
    return message.value(QStringLiteral("error")).toObject().value(QStringLiteral("code")).toInt();
}

const QString kToken = QStringLiteral("0123456789abcdefXYZ");

}  // namespace

class tst_ControlApiServer : public QObject {
    Q_OBJECT

private:
    RecordingBackend backend;
    std::unique_ptr<ControlApiServer> server;

    quint16 start(const QString& token) {
        server = std::make_unique<ControlApiServer>(&backend);
        ControlApiSettings settings;
        settings.enabled = true;
        settings.port = 0;  // a free port
        settings.token = token;
        if (!server->apply(settings))
            return 0;
        return server->serverPort();
    }

private slots:
    void init() { backend = RecordingBackend{}; }
    void cleanup() { server.reset(); }

    void settingsFromTheDocument() {
        const ControlApiSettings defaults = ControlApiSettings::fromJson(QJsonObject{});
        QVERIFY(!defaults.enabled);
        QCOMPARE(defaults.address, QStringLiteral("127.0.0.1"));
        QCOMPARE(defaults.port, 8940);
        QVERIFY(defaults.token.isEmpty());
        QVERIFY(defaults.problem().isEmpty());
        // Wrong types and impossible ports keep the defaults; the rest round-trips.
        const ControlApiSettings odd = ControlApiSettings::fromJson(
            QJsonObject{{QStringLiteral("Enabled"), QStringLiteral("yes")}, {QStringLiteral("Port"), 70000}});
        QVERIFY(!odd.enabled);
        QCOMPARE(odd.port, 8940);
        ControlApiSettings any;
        any.enabled = true;
        any.address = QStringLiteral("0.0.0.0");
        any.token = QStringLiteral("short");
        QVERIFY(ControlApiSettings::fromJson(any.toJson()) == any);

        // The network without a token of 16 characters is refused, and nothing listens.
        ControlApiServer refusing(&backend);
        QVERIFY(!refusing.apply(any));
        QVERIFY(!refusing.isListening());
        QVERIFY(refusing.statusText().contains(QStringLiteral("16")));
        any.address = QStringLiteral("not an address");
        any.token = kToken;
        QVERIFY(!refusing.apply(any));
        QVERIFY(!refusing.isListening());
    }

    void aTokenMustComeFirst() {
        const quint16 port = start(kToken);
        QVERIFY(port != 0);

        Client noAuth(port);
        QVERIFY(noAuth.waitOpen());
        noAuth.request(1, QStringLiteral("state"));
        QCOMPARE(errorCode(noAuth.next()), int(ControlApi::NotAuthenticated));
        QVERIFY(noAuth.waitClosed());

        Client wrong(port);
        QVERIFY(wrong.waitOpen());
        wrong.send("{\"auth\": \"0123456789abcdefXYz\"}");
        QCOMPARE(errorCode(wrong.next()), int(ControlApi::NotAuthenticated));
        QVERIFY(wrong.waitClosed());

        // One that says nothing does not keep a client place for ever.
        server->setAuthTimeoutMs(200);
        Client mute(port);
        QVERIFY(mute.waitOpen());
        QCOMPARE(errorCode(mute.next()), int(ControlApi::NotAuthenticated));
        QVERIFY(mute.waitClosed());
        server->setAuthTimeoutMs(ControlApi::kAuthTimeoutMs);

        Client garbage(port);
        QVERIFY(garbage.waitOpen());
        garbage.send("\x01{{{");
        QVERIFY(garbage.waitClosed());

        Client good(port);
        QVERIFY(good.waitOpen());
        good.send(QByteArray("{\"auth\": \"") + kToken.toUtf8() + "\"}");
        QCOMPARE(good.next(), (QJsonObject{{QStringLiteral("auth"), QStringLiteral("ok")}}));
        good.request(2, QStringLiteral("state"));
        const QJsonObject state = good.reply(2).value(QStringLiteral("result")).toObject();
        QCOMPARE(state.value(QStringLiteral("connected")).toString(), QStringLiteral("1&2.4&1&0000"));

        // Events reach authenticated clients only; one that is still to authenticate hears
        // nothing, and a browser's page may connect, as it has to know the token.
        Client waiting(port, QStringLiteral("http://example.test"));
        QVERIFY(waiting.waitOpen());
        server->broadcast(QStringLiteral("talker"), QJsonObject{{QStringLiteral("talker"), 3}});
        const QJsonObject heard = good.next();
        QCOMPARE(heard.value(QStringLiteral("event")).toString(), QStringLiteral("talker"));
        QCOMPARE(heard.value(QStringLiteral("data")).toObject().value(QStringLiteral("talker")).toInt(), 3);
        QTest::qWait(50);
        QCOMPARE(waiting.received(), 0);
        QVERIFY(!waiting.closed());
    }

    void loopbackWithoutTokenServesAtOnceButNoBrowser() {
        const quint16 port = start(QString());
        QVERIFY(port != 0);
        Client script(port);
        QVERIFY(script.waitOpen());
        script.request(7, QStringLiteral("state"));
        QVERIFY(script.reply(7).contains(QStringLiteral("result")));
        // An auth message is harmless.
        script.send("{\"auth\": \"anything\"}");
        QCOMPARE(script.next().value(QStringLiteral("auth")).toString(), QStringLiteral("ok"));

        Client page(port, QStringLiteral("http://evil.example"));
        QVERIFY(!page.waitOpen());
        QCOMPARE(backend.commands.size(), 0);
    }

    void badMessagesGetErrorsAndTheConnectionStays() {
        const quint16 port = start(QString());
        Client c(port);
        QVERIFY(c.waitOpen());
        c.send("this is not json");
        QCOMPARE(errorCode(c.next()), int(ControlApi::NotJson));
        c.send("[1,2,3]");
        QCOMPARE(errorCode(c.next()), int(ControlApi::NotRequest));
        c.send("{\"method\": \"state\"}");
        QCOMPARE(errorCode(c.next()), int(ControlApi::NotRequest));
        c.send("{\"id\": 3, \"method\": \"state\", \"params\": [1]}");
        QCOMPARE(errorCode(c.reply(3)), int(ControlApi::NotRequest));
        c.request(4, QStringLiteral("camera.explode"));
        QCOMPARE(errorCode(c.reply(4)), int(ControlApi::UnknownMethod));
        c.socket().sendBinaryMessage(QByteArray("\0\1", 2));
        QCOMPARE(errorCode(c.next()), int(ControlApi::NotRequest));

        struct Bad {
            const char* method;
            QJsonObject params;
        };
        const std::vector<Bad> bad = {
            {"preset.call", {{QStringLiteral("preset"), 10}}},
            {"preset.call", {{QStringLiteral("preset"), 2.5}}},
            {"preset.save", {{QStringLiteral("preset"), QStringLiteral("3")}}},
            {"preset.reset", {}},
            {"ptz.move", {{QStringLiteral("direction"), QStringLiteral("sideways")}}},
            {"ptz.move", {{QStringLiteral("direction"), QStringLiteral("up")}, {QStringLiteral("ms"), 0}}},
            {"ptz.move", {{QStringLiteral("direction"), QStringLiteral("up")}, {QStringLiteral("ms"), 1e12}}},
            {"zoom", {{QStringLiteral("action"), QStringLiteral("near")}}},
            {"focus", {{QStringLiteral("action"), QStringLiteral("in")}}},
            {"tracking.set", {{QStringLiteral("on"), 1}}},
            {"tracking.pause", {{QStringLiteral("seconds"), -5}}},
            {"camera.connect", {}},
        };
        int id = 100;
        for (const Bad& b : bad) {
            c.request(++id, QString::fromLatin1(b.method), b.params);
            QVERIFY2(errorCode(c.reply(id)) == ControlApi::BadParams, b.method);
        }
        QCOMPARE(backend.commands.size(), 0);

        c.request(200, QStringLiteral("camera.connect"),
                  {{QStringLiteral("location"), QStringLiteral("9&9&9&0000")}});
        QCOMPARE(errorCode(c.reply(200)), int(ControlApi::NoSuchCamera));
        backend.connected = false;
        c.request(201, QStringLiteral("preset.call"), {{QStringLiteral("preset"), 3}});
        QCOMPARE(errorCode(c.reply(201)), int(ControlApi::NoCameraConnected));
        QCOMPARE(backend.commands.size(), 0);
        QVERIFY(!c.closed());
    }

    void requestsBecomeTheCameraCommandsOfThePanel() {
        const quint16 port = start(QString());
        Client c(port);
        QVERIFY(c.waitOpen());
        const struct {
            const char* method;
            QJsonObject params;
            QList<QPair<int, int>> commands;
        } cases[] = {
            {"preset.call", {{QStringLiteral("preset"), 3}}, {{1, 3}}},
            {"preset.save", {{QStringLiteral("preset"), 0}}, {{2, 0}}},
            {"preset.reset", {{QStringLiteral("preset"), 9.0}}, {{3, 9}}},
            {"ptz.move", {{QStringLiteral("direction"), QStringLiteral("down-left")}}, {{4, 28}}},
            {"ptz.stop", {}, {{4, 20}}},
            {"ptz.move", {{QStringLiteral("direction"), QStringLiteral("home")}}, {{4, 25}}},
            {"zoom", {{QStringLiteral("action"), QStringLiteral("in")}}, {{9, 0}}},
            {"zoom", {{QStringLiteral("action"), QStringLiteral("stop")}}, {{11, 0}}},
            {"focus", {{QStringLiteral("action"), QStringLiteral("near")}}, {{7, 0}}},
            {"focus", {{QStringLiteral("action"), QStringLiteral("stop")}}, {{8, 0}}},
            {"focus", {{QStringLiteral("action"), QStringLiteral("manual")}}, {{5, 0}}},
        };
        int id = 0;
        for (const auto& k : cases) {
            backend.commands.clear();
            c.request(++id, QString::fromLatin1(k.method), k.params);
            const QJsonObject reply = c.reply(id);
            QVERIFY2(reply.contains(QStringLiteral("result")), k.method);
            QCOMPARE(backend.commands, k.commands);
        }
        c.request(++id, QStringLiteral("tracking.pause"), {{QStringLiteral("seconds"), 30}});
        QCOMPARE(c.reply(id)
                     .value(QStringLiteral("result"))
                     .toObject()
                     .value(QStringLiteral("tracking"))
                     .toString(),
                 QStringLiteral("paused"));
        c.request(++id, QStringLiteral("tracking.set"), {{QStringLiteral("on"), false}});
        QCOMPARE(c.reply(id)
                     .value(QStringLiteral("result"))
                     .toObject()
                     .value(QStringLiteral("tracking"))
                     .toString(),
                 QStringLiteral("off"));
    }

    void movementsStopWhenTimeIsUpOrTheirClientGoes() {
        const quint16 port = start(QString());
        const QList<QPair<int, int>> moveAndStop = {{4, 23}, {4, 20}};

        // A timed move stops by itself.
        Client a(port);
        QVERIFY(a.waitOpen());
        a.request(1, QStringLiteral("ptz.move"),
                  {{QStringLiteral("direction"), QStringLiteral("left")}, {QStringLiteral("ms"), 100}});
        QVERIFY(a.reply(1).contains(QStringLiteral("result")));
        QTRY_COMPARE_WITH_TIMEOUT(backend.commands, moveAndStop, 5000);

        // An untimed move stops when its client goes away mid-move.
        backend.commands.clear();
        {
            Client b(port);
            QVERIFY(b.waitOpen());
            b.request(2, QStringLiteral("ptz.move"), {{QStringLiteral("direction"), QStringLiteral("left")}});
            QVERIFY(b.reply(2).contains(QStringLiteral("result")));
            b.socket().abort();
        }
        QTRY_COMPARE_WITH_TIMEOUT(backend.commands, moveAndStop, 5000);

        // A stopped move, a home, or a move another client took over are not stopped again
        // when the client goes; the zoom it left running is.
        backend.commands.clear();
        Client other(port);
        QVERIFY(other.waitOpen());
        {
            Client c(port);
            QVERIFY(c.waitOpen());
            c.request(3, QStringLiteral("ptz.move"),
                      {{QStringLiteral("direction"), QStringLiteral("up")}, {QStringLiteral("ms"), 60000}});
            QVERIFY(c.reply(3).contains(QStringLiteral("result")));
            other.request(4, QStringLiteral("ptz.move"),
                          {{QStringLiteral("direction"), QStringLiteral("right")}});
            QVERIFY(other.reply(4).contains(QStringLiteral("result")));
            c.request(5, QStringLiteral("zoom"), {{QStringLiteral("action"), QStringLiteral("out")}});
            QVERIFY(c.reply(5).contains(QStringLiteral("result")));
            c.socket().close();
            QVERIFY(c.waitClosed());
        }
        const QList<QPair<int, int>> expected = {{4, 21}, {4, 24}, {10, 0}, {11, 0}};
        QTRY_COMPARE_WITH_TIMEOUT(backend.commands, expected, 5000);
        QTest::qWait(100);
        QCOMPARE(backend.commands, expected);
        QCOMPARE(server->clientCount(), 2);  // a and other
    }

    void atMostEightClientsAndSmallMessages() {
        const quint16 port = start(QString());
        std::vector<std::unique_ptr<Client>> clients;
        for (int i = 0; i < ControlApi::kMaxClients; ++i) {
            clients.push_back(std::make_unique<Client>(port));
            QVERIFY(clients.back()->waitOpen());
        }
        QTRY_COMPARE(server->clientCount(), ControlApi::kMaxClients);
        Client ninth(port);
        QCOMPARE(errorCode(ninth.next()), int(ControlApi::TooManyClients));
        QVERIFY(ninth.waitClosed());
        QCOMPARE(server->clientCount(), ControlApi::kMaxClients);

        // A message over 64 KiB closes its connection, and frees its place.
        QByteArray big = "{\"id\": 1, \"method\": \"state\", \"params\": {\"pad\": \"";
        big += QByteArray(ControlApi::kMaxMessageBytes, 'x') + "\"}}";
        clients.front()->send(big);
        QVERIFY(clients.front()->waitClosed());
        QTRY_COMPARE(server->clientCount(), ControlApi::kMaxClients - 1);
        Client another(port);
        QVERIFY(another.waitOpen());
        another.request(9, QStringLiteral("state"));
        QVERIFY(another.reply(9).contains(QStringLiteral("result")));

        // Switching off closes every client.
        server->apply(ControlApiSettings{});
        QVERIFY(another.waitClosed());
        QCOMPARE(server->clientCount(), 0);
        QVERIFY(!server->isListening());
    }

    void tokensAndNumbers() {
        QVERIFY(ControlApi::tokensEqual(kToken, kToken));
        QVERIFY(!ControlApi::tokensEqual(kToken, kToken.left(15)));
        QVERIFY(!ControlApi::tokensEqual(QString(), kToken));
        const QString a = ControlApi::newToken();
        QCOMPARE(a.size(), 32);
        QVERIFY(a != ControlApi::newToken());
        qint64 n = 0;
        QVERIFY(ControlApi::wholeNumber(QJsonValue(3.0), 0, 9, n) && n == 3);
        QVERIFY(!ControlApi::wholeNumber(QJsonValue(qQNaN()), 0, 9, n));
        QVERIFY(!ControlApi::wholeNumber(QJsonValue(true), 0, 9, n));
    }
};

QTEST_MAIN(tst_ControlApiServer)
#include "tst_ControlApiServer.moc"
