// The control interface's server in process: real WebSocket clients on loopback against a
// backend that records what reached it.

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "ControlApiProtocol.h"
#include "ControlApiServer.h"

namespace {

const QString kCameraA = QStringLiteral("1&2.4&1&0000");
const QString kCameraB = QStringLiteral("1&3&1&00AB");

struct RecordingBackend : ControlApiBackend {
    bool connected = true;  // kCameraA and the others
    QStringList others;     // further connected cameras
    QString steered = kCameraA;
    QList<QPair<int, int>> commands;
    QStringList commandCameras;  // the camera of each of `commands`
    QString goesAfterCommand;    // one of `others` that is unplugged once it has had a command
    QString tracking = QStringLiteral("on");

    QJsonObject state() override {
        return QJsonObject{{QStringLiteral("connected"),
                            connected ? QJsonValue(QStringLiteral("1&2.4&1&0000")) : QJsonValue()},
                           {QStringLiteral("tracking"), tracking}};
    }
    QString commandCamera(const QString& requested) override {
        if (!connected)
            return QString();
        if (requested.isEmpty())
            return steered;
        for (const QString& camera : QStringList{kCameraA} + others) {
            if (camera.compare(requested, Qt::CaseInsensitive) == 0)
                return camera;
        }
        return QString();
    }
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
    void sendCameraCommand(int commandId, int value, const QString& camera) override {
        commands.append({commandId, value});
        commandCameras.append(camera);
        if (!goesAfterCommand.isEmpty() && camera == goesAfterCommand)
            others.removeAll(goesAfterCommand);
    }
    bool setTracking(bool on, QString&) override {
        tracking = on ? QStringLiteral("on") : QStringLiteral("off");
        return true;
    }
    QJsonArray trackingLog(int) override { return QJsonArray{}; }
    bool pauseTracking(int seconds, QString&) override {
        tracking = seconds > 0 ? QStringLiteral("paused") : QStringLiteral("on");
        return true;
    }
    QList<QList<PictureWant>> demands;  // every demand the server told, in order
    void setPictureDemand(const QList<PictureWant>& wants) override { demands.append(wants); }
    QList<PictureWant> demand() const { return demands.isEmpty() ? QList<PictureWant>{} : demands.last(); }
};

// The payloads of the binary messages in what a server sent (after its handshake answer),
// frame by frame; a frame not complete yet ends the walk.
QList<QByteArray> binaryMessages(const QByteArray& stream) {
    QList<QByteArray> found;
    qsizetype at = stream.indexOf("\r\n\r\n");
    if (at < 0)
        return found;
    at += 4;
    while (at + 2 <= stream.size()) {
        const int opcode = static_cast<unsigned char>(stream[at]) & 0x0f;
        qint64 length = static_cast<unsigned char>(stream[at + 1]) & 0x7f;
        qsizetype head = 2;
        if (length == 126) {
            if (at + 4 > stream.size())
                break;
            length = (qint64(static_cast<unsigned char>(stream[at + 2])) << 8) |
                     static_cast<unsigned char>(stream[at + 3]);
            head = 4;
        } else if (length == 127) {
            if (at + 10 > stream.size())
                break;
            length = 0;
            for (int i = 0; i < 8; ++i)
                length = (length << 8) | static_cast<unsigned char>(stream[at + 2 + i]);
            head = 10;
        }
        if (at + head + length > stream.size())
            break;
        if (opcode == 2)
            found.append(stream.mid(at + head, length));
        at += head + length;
    }
    return found;
}

// A stand-in picture: a JPEG's first bytes, its number and filler up to `bytes`.
QByteArray picture(int number, int bytes = 1000) {
    QByteArray p("\xff\xd8\xff\xe0");
    p += QByteArray::number(number) + ';';
    p += QByteArray(qMax<qsizetype>(0, bytes - p.size()), 'p');
    return p;
}

// One client: every text it receives, and whether the server closed it.
class Client {
public:
    explicit Client(quint16 port, const QString& origin = QString(),
                    const QString& host = QStringLiteral("127.0.0.1"))
        : _socket(origin) {
        QObject::connect(&_socket, &QWebSocket::textMessageReceived,
                         [this](const QString& text) { _received.append(text); });
        QObject::connect(&_socket, &QWebSocket::disconnected, [this] { _closed = true; });
        _socket.open(QUrl(QStringLiteral("ws://%1:%2").arg(host).arg(port)));
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

// A hostile client on a plain socket: it sends what a WebSocket library would not (floods of
// pings, unmasked frames) and reads only when told to, so the server's output piles up.
class RawClient {
public:
    explicit RawClient(quint16 port, const QByteArray& origin = QByteArray(),
                       const QByteArray& host = QByteArray("127.0.0.1")) {
        _fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        // A small receive window, so that what the server sends stays queued on its side.
        const int window = 4096;
        ::setsockopt(_fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        _out = "GET / HTTP/1.1\r\nHost: " + host + ':' + QByteArray::number(port) +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
        if (!origin.isEmpty())
            _out += "Origin: " + origin + "\r\n";
        _out += "\r\n";
    }
    ~RawClient() { ::close(_fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // Sends the handshake and waits for the answer's head: true when it is "101".
    bool upgrade() {
        const bool answered = QTest::qWaitFor(
            [this] {
                flush();
                readSome();
                return _in.contains("\r\n\r\n") || _broken;
            },
            5000);
        return answered && _in.startsWith("HTTP/1.1 101");
    }
    QByteArray frame(int opcode, const QByteArray& payload, bool masked = true) const {
        QByteArray f;
        f.append(char(0x80 | opcode));
        const qsizetype n = payload.size();
        const char maskBit = masked ? char(0x80) : char(0);
        if (n < 126) {
            f.append(char(maskBit | char(n)));
        } else {
            f.append(char(maskBit | 126));
            f.append(char((n >> 8) & 0xff));
            f.append(char(n & 0xff));
        }
        QByteArray body = payload;
        if (masked) {
            const char key[4] = {0x11, 0x22, 0x33, 0x44};
            f.append(key, 4);
            for (qsizetype i = 0; i < n; ++i) body[i] = char(body[i] ^ key[i % 4]);
        }
        return f + body;
    }
    void queue(const QByteArray& bytes) { _out += bytes; }
    qsizetype unsent() const { return _out.size(); }
    void sendText(const QByteArray& text, bool masked = true) {
        queue(frame(1, text, masked));
        flush();
    }
    // Writes what the socket takes now; false once the server has cut the connection.
    bool flush() {
        while (!_out.isEmpty() && !_broken) {
            const ssize_t n = ::send(_fd, _out.constData(), static_cast<size_t>(_out.size()), MSG_NOSIGNAL);
            if (n > 0) {
                _out.remove(0, n);
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else if (n < 0 && errno != EINTR) {
                _broken = true;
            }
        }
        return !_broken;
    }
    // Everything the server sent so far (the handshake answer included); empty once it is read.
    QByteArray readSome() {
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::recv(_fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                _in.append(buffer, n);
                continue;
            }
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
                _broken = true;
            break;
        }
        return _in;
    }
    // Reads until the server has closed the connection or `ms` are up.
    bool waitCutOff(int ms) {
        return QTest::qWaitFor(
            [this] {
                readSome();
                return _broken;
            },
            ms);
    }

private:
    int _fd = -1;
    QByteArray _out;
    QByteArray _in;
    bool _broken = false;
};

// A plain HTTP client on a QTcpSocket: sends what it is given, when it is told, and keeps
// everything the server answers until the server closes.
class HttpVisitor {
public:
    explicit HttpVisitor(quint16 port, const QByteArray& head = QByteArray()) {
        QObject::connect(&_socket, &QTcpSocket::readyRead, [this] { _in += _socket.readAll(); });
        QObject::connect(&_socket, &QTcpSocket::disconnected, [this] { _closed = true; });
        _socket.connectToHost(QHostAddress::LocalHost, port);
        _socket.waitForConnected(5000);
        if (!head.isEmpty())
            send(head);
    }
    void send(const QByteArray& bytes) {
        _socket.write(bytes);
        _socket.flush();
    }
    // Waits for the server to close; true when it did within `ms`.
    bool waitClosed(int ms = 5000) {
        return QTest::qWaitFor([this] { return _closed; }, ms);
    }
    // The whole answer (waits for the close).
    QByteArray answer() {
        waitClosed();
        return _in;
    }
    int status() {
        const QByteArray bytes = answer();
        return bytes.startsWith("HTTP/1.1 ") ? bytes.mid(9, 3).toInt() : 0;
    }
    // A header of the answer ("" when it has none).
    QByteArray header(const QByteArray& name) {
        const QByteArray bytes = answer();
        const QByteArray head = bytes.left(bytes.indexOf("\r\n\r\n"));
        for (const QByteArray& line : head.split('\n')) {
            const qsizetype colon = line.indexOf(':');
            if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
                return line.mid(colon + 1).trimmed();
        }
        return QByteArray();
    }
    QByteArray body() {
        const QByteArray bytes = answer();
        const qsizetype end = bytes.indexOf("\r\n\r\n");
        return end < 0 ? QByteArray() : bytes.mid(end + 4);
    }
    bool closed() const { return _closed; }

private:
    QTcpSocket _socket;
    QByteArray _in;
    bool _closed = false;
};

QByteArray get(const QByteArray& path, const QByteArray& host, const QByteArray& method = "GET") {
    return method + ' ' + path + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: test\r\n\r\n";
}

// The process's resident memory, in bytes.
qint64 residentBytes() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE) : 0;
}

// AddressSanitizer keeps freed memory in quarantine: what is resident says nothing then.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryIsMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryIsMeasurable = false;
#else
constexpr bool kMemoryIsMeasurable = true;
#endif
#else
constexpr bool kMemoryIsMeasurable = true;
#endif

constexpr qint64 kMiB = 1024 * 1024;

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

        // A short token is refused on loopback too (a page may guess it there), and the status
        // says why; the settings keep it, so nothing the user wrote is lost.
        ControlApiSettings loopback;
        loopback.enabled = true;
        loopback.port = 0;
        for (const QString& token : {QStringLiteral("short"), kToken.left(ControlApi::kMinTokenLength - 1)}) {
            loopback.token = token;
            QVERIFY(!refusing.apply(loopback));
            QVERIFY(!refusing.isListening());
            QVERIFY2(refusing.statusText().contains(QString::number(token.size())) &&
                         refusing.statusText().contains(QStringLiteral("16")),
                     qPrintable(refusing.statusText()));
            QCOMPARE(refusing.settings().token, token);
        }
        loopback.token = kToken.left(ControlApi::kMinTokenLength);
        QVERIFY(refusing.apply(loopback));
        QVERIFY(refusing.isListening());
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
        // nothing.
        Client waiting(port);
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
        const QString home = QStringLiteral("home");
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

        // "ms" is checked for every action of the methods that take it, movements or not.
        const std::vector<QPair<QString, QJsonObject>> takingMs = {
            {QStringLiteral("ptz.move"), {{QStringLiteral("direction"), QStringLiteral("up")}}},
            {QStringLiteral("ptz.move"), {{QStringLiteral("direction"), home}}},
            {QStringLiteral("zoom"), {{QStringLiteral("action"), QStringLiteral("in")}}},
            {QStringLiteral("zoom"), {{QStringLiteral("action"), QStringLiteral("stop")}}},
            {QStringLiteral("focus"), {{QStringLiteral("action"), QStringLiteral("far")}}},
            {QStringLiteral("focus"), {{QStringLiteral("action"), QStringLiteral("stop")}}},
            {QStringLiteral("focus"), {{QStringLiteral("action"), QStringLiteral("auto")}}},
            {QStringLiteral("focus"), {{QStringLiteral("action"), QStringLiteral("manual")}}},
        };
        const QJsonValue badMs[] = {-5, 0, 1.5, 60001, QStringLiteral("5"), true};
        for (const auto& [method, base] : takingMs) {
            for (const QJsonValue& ms : badMs) {
                QJsonObject params = base;
                params.insert(QStringLiteral("ms"), ms);
                c.request(++id, method, params);
                QVERIFY2(errorCode(c.reply(id)) == ControlApi::BadParams,
                         qPrintable(method + QLatin1Char(' ') + QJsonDocument(params).toJson()));
            }
        }
        QCOMPARE(backend.commands.size(), 0);
        // A method that is not one of these stays unknown whatever its params say.
        for (const char* unknown : {"preset.explode", "preset.", "zoom.in", "ptz.moves"}) {
            c.request(++id, QString::fromLatin1(unknown),
                      {{QStringLiteral("preset"), 99}, {QStringLiteral("ms"), -5}});
            QVERIFY2(errorCode(c.reply(id)) == ControlApi::UnknownMethod, unknown);
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
            // A time where it means nothing is taken and changes nothing.
            {"ptz.move",
             {{QStringLiteral("direction"), QStringLiteral("home")}, {QStringLiteral("ms"), 50}},
             {{4, 25}}},
            {"focus",
             {{QStringLiteral("action"), QStringLiteral("auto")}, {QStringLiteral("ms"), 50}},
             {{5, 1}}},
            {"ptz.stop", {{QStringLiteral("ms"), -5}}, {{4, 20}}},
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

    // "camera" picks the camera of a command; without it the steered one. Each camera's
    // movements are its own: they neither replace nor stop another camera's, and a stop goes
    // to the camera the movement started on.
    void theCameraParameterChoosesTheCamera() {
        const quint16 port = start(QString());
        backend.others = {kCameraB};
        Client c(port);
        QVERIFY(c.waitOpen());
        int id = 0;
        for (const char* method : {"preset.call", "ptz.move", "ptz.stop", "zoom", "focus"}) {
            for (const QJsonValue& camera : {QJsonValue(3), QJsonValue(true), QJsonValue(QString()),
                                             QJsonValue(QJsonArray{kCameraB}), QJsonValue(QJsonObject{})}) {
                const QJsonObject params{{QStringLiteral("preset"), 1},
                                         {QStringLiteral("direction"), QStringLiteral("up")},
                                         {QStringLiteral("action"), QStringLiteral("stop")},
                                         {QStringLiteral("camera"), camera}};
                c.request(++id, QString::fromLatin1(method), params);
                QVERIFY2(errorCode(c.reply(id)) == ControlApi::BadParams, method);
            }
        }
        c.request(++id, QStringLiteral("preset.call"),
                  {{QStringLiteral("preset"), 1}, {QStringLiteral("camera"), QStringLiteral("9&9&9&0000")}});
        const QJsonObject unknown = c.reply(id);
        QCOMPARE(errorCode(unknown), int(ControlApi::NoCameraConnected));
        QCOMPARE(
            unknown.value(QStringLiteral("error")).toObject().value(QStringLiteral("message")).toString(),
            QStringLiteral("camera not connected: 9&9&9&0000"));
        QCOMPARE(backend.commands.size(), 0);

        // Named in any case, it reaches the camera as the backend spells it; unnamed, or null,
        // the steered one.
        c.request(++id, QStringLiteral("preset.save"),
                  {{QStringLiteral("preset"), 4}, {QStringLiteral("camera"), kCameraB.toLower()}});
        QVERIFY(c.reply(id).contains(QStringLiteral("result")));
        backend.steered = kCameraB;
        c.request(++id, QStringLiteral("preset.call"),
                  {{QStringLiteral("preset"), 5}, {QStringLiteral("camera"), QJsonValue()}});
        QVERIFY(c.reply(id).contains(QStringLiteral("result")));
        backend.steered = kCameraA;
        c.request(++id, QStringLiteral("preset.call"), {{QStringLiteral("preset"), 6}});
        QVERIFY(c.reply(id).contains(QStringLiteral("result")));
        QCOMPARE(backend.commands, (QList<QPair<int, int>>{{2, 4}, {1, 5}, {1, 6}}));
        QCOMPARE(backend.commandCameras, (QStringList{kCameraB, kCameraB, kCameraA}));

        // Two cameras panning at once: a timed move on the steered camera stops there although
        // the panel steers the other by then; the untimed one on B runs on until its client
        // goes.
        backend.commands.clear();
        backend.commandCameras.clear();
        {
            Client mover(port);
            QVERIFY(mover.waitOpen());
            mover.request(1, QStringLiteral("ptz.move"),
                          {{QStringLiteral("direction"), QStringLiteral("left")},
                           {QStringLiteral("camera"), kCameraB}});
            QVERIFY(mover.reply(1).contains(QStringLiteral("result")));
            mover.request(2, QStringLiteral("ptz.move"),
                          {{QStringLiteral("direction"), QStringLiteral("up")}, {QStringLiteral("ms"), 300}});
            QVERIFY(mover.reply(2).contains(QStringLiteral("result")));
            backend.steered = kCameraB;
            QTRY_COMPARE_WITH_TIMEOUT(backend.commands.size(), 3, 5000);
            QCOMPARE(backend.commands, (QList<QPair<int, int>>{{4, 23}, {4, 21}, {4, 20}}));
            QCOMPARE(backend.commandCameras, (QStringList{kCameraB, kCameraA, kCameraA}));
            mover.socket().abort();
        }
        QTRY_COMPARE_WITH_TIMEOUT(backend.commands.size(), 4, 5000);
        QCOMPARE(backend.commands.last(), (QPair<int, int>{4, 20}));
        QCOMPARE(backend.commandCameras.last(), kCameraB);

        // A camera that went before its movement's time was up hears no stop; the zoom of the
        // other camera, due later, still stops.
        backend.commands.clear();
        backend.commandCameras.clear();
        backend.goesAfterCommand = kCameraB;
        c.request(++id, QStringLiteral("zoom"),
                  {{QStringLiteral("action"), QStringLiteral("in")},
                   {QStringLiteral("ms"), 50},
                   {QStringLiteral("camera"), kCameraB}});
        QVERIFY(c.reply(id).contains(QStringLiteral("result")));
        c.request(++id, QStringLiteral("zoom"),
                  {{QStringLiteral("action"), QStringLiteral("out")},
                   {QStringLiteral("ms"), 100},
                   {QStringLiteral("camera"), kCameraA}});
        QVERIFY(c.reply(id).contains(QStringLiteral("result")));
        QTRY_COMPARE_WITH_TIMEOUT(backend.commands.size(), 3, 5000);
        QCOMPARE(backend.commands, (QList<QPair<int, int>>{{9, 0}, {10, 0}, {11, 0}}));
        QCOMPARE(backend.commandCameras, (QStringList{kCameraB, kCameraA, kCameraA}));
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

        // A message just under 64 KiB is served...
        QByteArray large = "{\"id\": 8, \"method\": \"state\", \"params\": {\"pad\": \"";
        large += QByteArray(ControlApi::kMaxMessageBytes - large.size() - 8, 'x') + "\"}}";
        clients.back()->send(large);
        QVERIFY(clients.back()->reply(8).contains(QStringLiteral("result")));
        // ...and one over it closes its connection, and frees its place.
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

    void aClosedClientIsDroppedByItsDeadline() {
        // Output that cannot drain (a peer that does not read) keeps a closing handshake from
        // ever finishing; only the deadline ends it. Wide budgets here, so nothing else can.
        const quint16 port = start(kToken);
        server->setCloseTimeoutMs(300);
        server->setOutputBudgets(256 * kMiB, 256 * kMiB);
        Client holder(port);
        QVERIFY(holder.waitOpen());
        holder.send(QByteArray("{\"auth\": \"") + kToken.toUtf8() + "\"}");
        QCOMPARE(holder.next().value(QStringLiteral("auth")).toString(), QStringLiteral("ok"));

        // Refused for a wrong token, and for a request before the token, each after pings
        // whose pongs it never reads.
        const QByteArray endings[] = {QByteArray("{\"auth\": \"not the token at all\"}"),
                                      QByteArray("{\"id\": 1, \"method\": \"state\"}")};
        for (const QByteArray& ending : endings) {
            RawClient hostile(port);
            QVERIFY(hostile.upgrade());
            const QByteArray ping = hostile.frame(9, QByteArray(125, 'p'));
            for (qint64 queued = 0; queued < 8 * kMiB; queued += ping.size()) hostile.queue(ping);
            hostile.queue(hostile.frame(1, ending));
            QVERIFY(QTest::qWaitFor([&] { return hostile.flush() && hostile.unsent() == 0; }, 30000));
            // Refused once the server has read that far (it counts as closing, not waiting);
            // freed within two seconds of its deadline, and cut off.
            QTRY_COMPARE_WITH_TIMEOUT(server->waitingCount(), 0, 30000);
            QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 1, 300 + 2000);
            QVERIFY(hostile.waitCutOff(2000));
        }
        holder.request(2, QStringLiteral("state"));
        QVERIFY(holder.reply(2).contains(QStringLiteral("result")));
    }

    void aClientThatDoesNotReadIsDroppedAtOnce() {
        const quint16 port = start(QString());
        Client reader(port);
        QVERIFY(reader.waitOpen());
        RawClient deaf(port);
        QVERIFY(deaf.upgrade());
        QTRY_COMPARE(server->clientCount(), 2);
        // Events pile up for the one that does not read until it is over its budget: it is
        // dropped at once, its place is free and it hears nothing more.
        const QJsonObject data{{QStringLiteral("pad"), QString(1000, QLatin1Char('e'))}};
        int sent = 0;
        while (server->clientCount() == 2 && sent < 64 * 1024) {
            server->broadcast(QStringLiteral("talker"), data);
            ++sent;
            if (sent % 64 == 0)
                QCoreApplication::processEvents();
        }
        QCOMPARE(server->clientCount(), 1);
        QCOMPARE(server->connectionCount(), 1);
        QVERIFY(deaf.waitCutOff(2000));
        // The one that reads heard every event.
        QTRY_COMPARE_WITH_TIMEOUT(reader.received(), sent, 20000);
        reader.request(1, QStringLiteral("state"));
        QVERIFY(reader.reply(1).contains(QStringLiteral("result")));
    }

    void pingFloodsCannotPileUpOutput() {
        const qint64 before = residentBytes();
        const quint16 port = start(kToken);
        Client holder(port);
        QVERIFY(holder.waitOpen());
        holder.send(QByteArray("{\"auth\": \"") + kToken.toUtf8() + "\"}");
        QCOMPARE(holder.next().value(QStringLiteral("auth")).toString(), QStringLiteral("ok"));

        // One authenticated and three waiting connections ping without reading, all at once.
        std::vector<std::unique_ptr<RawClient>> floods;
        for (int i = 0; i < 4; ++i) {
            floods.push_back(std::make_unique<RawClient>(port));
            QVERIFY(floods.back()->upgrade());
        }
        floods.front()->sendText(QByteArray("{\"auth\": \"") + kToken.toUtf8() + "\"}");
        QTRY_COMPARE(server->clientCount(), 2);

        qint64 peak = before;
        QElapsedTimer elapsed;
        elapsed.start();
        const QByteArray ping = floods.front()->frame(9, QByteArray(125, 'p'));
        QByteArray burst;
        for (int i = 0; i < 256; ++i) burst += ping;
        int alive = static_cast<int>(floods.size());
        // Bounded both ways: a server that lets pongs pile up fails here rather than taking
        // the machine's memory.
        while (alive > 0 && elapsed.elapsed() < 30000 && peak < before + 512 * kMiB) {
            alive = 0;
            for (auto& flood : floods) {
                if (flood->unsent() < burst.size())
                    flood->queue(burst);
                if (flood->flush())
                    ++alive;
            }
            QCoreApplication::processEvents();
            peak = qMax(peak, residentBytes());
        }
        QCOMPARE(alive, 0);
        QTRY_COMPARE(server->connectionCount(), 1);
        qInfo("resident: %lld MiB before, %lld MiB at the peak, %lld MiB after", before / kMiB, peak / kMiB,
              residentBytes() / kMiB);
        holder.request(1, QStringLiteral("state"));
        QVERIFY(holder.reply(1).contains(QStringLiteral("result")));
        if (kMemoryIsMeasurable) {
            QVERIFY2(peak < before + 128 * kMiB, "output piled up past the budgets");
            QTRY_VERIFY_WITH_TIMEOUT(residentBytes() < before + 20 * kMiB, 5000);
        }
    }

    void waitingConnectionsNeverKeepTheTokenHolderOut() {
        const quint16 port = start(kToken);
        // Eight connections that never authenticate take every waiting place...
        std::vector<std::unique_ptr<Client>> squatters;
        for (int i = 0; i < ControlApi::kMaxWaitingClients; ++i) {
            squatters.push_back(std::make_unique<Client>(port));
            QVERIFY(squatters.back()->waitOpen());
        }
        QTRY_COMPARE(server->waitingCount(), ControlApi::kMaxWaitingClients);
        // ...and the token holder still gets in: the oldest of them makes room.
        auto authenticate = [&](Client& c) {
            c.send(QByteArray("{\"auth\": \"") + kToken.toUtf8() + "\"}");
            return c.next();
        };
        Client holder(port);
        QVERIFY(holder.waitOpen());
        QCOMPARE(authenticate(holder).value(QStringLiteral("auth")).toString(), QStringLiteral("ok"));
        holder.request(1, QStringLiteral("state"));
        QVERIFY(holder.reply(1).contains(QStringLiteral("result")));
        QVERIFY(squatters.front()->waitClosed());
        QCOMPARE(server->clientCount(), 1);

        // A stream of connections never holds more than the waiting places.
        std::vector<std::unique_ptr<RawClient>> stream;
        for (int i = 0; i < 3 * ControlApi::kMaxWaitingClients; ++i) {
            stream.push_back(std::make_unique<RawClient>(port));
            QVERIFY(stream.back()->upgrade());
            QVERIFY(server->connectionCount() <= 1 + ControlApi::kMaxWaitingClients);
        }

        // Another page in a browser is refused, token or not, also one on another port of
        // this machine.
        const QByteArray origins[] = {QByteArray("http://localhost:8000"),
                                      QByteArray("http://127.0.0.1:") + QByteArray::number(port + 1),
                                      QByteArray("null")};
        for (const QByteArray& origin : origins) {
            RawClient page(port, origin);
            QVERIFY2(!page.upgrade(), origin.constData());
        }

        // Authenticated clients: eight places; the ninth to authenticate hears error 4.
        std::vector<std::unique_ptr<Client>> holders;
        for (int i = 1; i < ControlApi::kMaxClients; ++i) {
            holders.push_back(std::make_unique<Client>(port));
            QVERIFY(holders.back()->waitOpen());
            QCOMPARE(authenticate(*holders.back()).value(QStringLiteral("auth")).toString(),
                     QStringLiteral("ok"));
        }
        QCOMPARE(server->clientCount(), ControlApi::kMaxClients);
        Client ninth(port);
        QVERIFY(ninth.waitOpen());
        QCOMPARE(errorCode(authenticate(ninth)), int(ControlApi::TooManyClients));
        QVERIFY(ninth.waitClosed());
        QCOMPARE(server->clientCount(), ControlApi::kMaxClients);
        holder.request(2, QStringLiteral("state"));
        QVERIFY(holder.reply(2).contains(QStringLiteral("result")));
    }

    void framesTheSocketLibraryJudges() {
        // Qt takes unmasked client frames, which the application cannot tell apart, and
        // refuses a character split across fragments; either way the server stays sound and
        // keeps no connection it closed.
        const quint16 port = start(QString());
        Client other(port);
        QVERIFY(other.waitOpen());
        {
            RawClient unmasked(port);
            QVERIFY(unmasked.upgrade());
            unmasked.sendText("{\"id\": 1, \"method\": \"state\"}", false);
            QVERIFY(QTest::qWaitFor(
                [&] { return unmasked.readSome().contains("\"result\"") || unmasked.waitCutOff(0); }, 5000));
        }
        {
            RawClient split(port);
            QVERIFY(split.upgrade());
            const QByteArray text = QStringLiteral("{\"id\": 2, \"method\": \"caf\u00e9\"}").toUtf8();
            const qsizetype cut = text.indexOf('\xc3') + 1;
            QByteArray first = split.frame(1, text.left(cut));
            first[0] = char(0x01);  // not the last fragment
            QByteArray second = split.frame(0, text.mid(cut));
            split.queue(first + second);
            QVERIFY(split.flush());
            QVERIFY(QTest::qWaitFor(
                [&] { return split.readSome().contains("\"error\"") || split.waitCutOff(0); }, 5000));
        }
        QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 1, 5000);
        other.request(3, QStringLiteral("state"));
        QVERIFY(other.reply(3).contains(QStringLiteral("result")));
    }

    void thePageIsServedWithItsHeaders() {
        const quint16 port = start(QString());
        QVERIFY(port != 0);
        const QByteArray host = "127.0.0.1:" + QByteArray::number(port);

        HttpVisitor page(port, get("/", host));
        QCOMPARE(page.status(), 200);
        QVERIFY(page.header("Content-Type").startsWith("text/html"));
        QCOMPARE(page.header("Content-Length").toLongLong(), page.body().size());
        QCOMPARE(page.header("Connection"), QByteArray("close"));
        const QByteArray policy = page.header("Content-Security-Policy");
        QVERIFY2(policy.contains("default-src 'self'"), policy.constData());
        QVERIFY2(policy.contains("connect-src 'self' ws://" + host + ";"), policy.constData());
        QVERIFY2(policy.contains("frame-ancestors 'none'"), policy.constData());
        QVERIFY2(!policy.contains("unsafe-inline") && !policy.contains("unsafe-eval"), policy.constData());
        QCOMPARE(page.header("X-Content-Type-Options"), QByteArray("nosniff"));
        QCOMPARE(page.header("X-Frame-Options"), QByteArray("DENY"));
        QCOMPARE(page.header("Referrer-Policy"), QByteArray("no-referrer"));
        QCOMPARE(page.header("Cache-Control"), QByteArray("no-store"));
        // The page's scripts are its own files: no inline script, nothing from elsewhere.
        const QByteArray html = page.body();
        QVERIFY(html.contains("<script src=\"/app.js\""));
        QCOMPARE(html.count("<script"), html.count("<script src=\"/"));
        QVERIFY(!html.contains("http://") && !html.contains("https://"));
        QVERIFY(!QString::fromUtf8(html).contains(QRegularExpression(QStringLiteral("\\son[a-z]+\\s*="))));
        // Every control the page starts with has a name a screen reader (and a test) finds it
        // by: a button its text or aria-label, an input its label.
        const QString markup = QString::fromUtf8(html);
        QRegularExpressionMatchIterator buttons =
            QRegularExpression(QStringLiteral("<button([^>]*)>([^<]*)</button>")).globalMatch(markup);
        int buttonCount = 0;
        while (buttons.hasNext()) {
            const QRegularExpressionMatch button = buttons.next();
            ++buttonCount;
            QVERIFY2(!button.captured(2).trimmed().isEmpty() || button.captured(1).contains(QStringLiteral("aria-label=\"")),
                     qPrintable(button.captured(0)));
        }
        QCOMPARE(buttonCount, markup.count(QStringLiteral("<button")));
        QRegularExpressionMatchIterator inputs =
            QRegularExpression(QStringLiteral("<input id=\"([^\"]+)\"")).globalMatch(markup);
        QCOMPARE(markup.count(QStringLiteral("<input")), markup.count(QStringLiteral("<input id=\"")));
        while (inputs.hasNext()) {
            const QString id = inputs.next().captured(1);
            QVERIFY2(markup.contains(QStringLiteral("<label for=\"%1\"").arg(id)), qPrintable(id));
        }

        // Its files, under localhost too, with a query; HEAD gives the head alone.
        const struct {
            QByteArray path;
            QByteArray type;
        } files[] = {{"/app.css", "text/css"}, {"/app.js", "text/javascript"}, {"/?from=tray", "text/html"}};
        for (const auto& file : files) {
            HttpVisitor visitor(port, get(file.path, "localhost:" + QByteArray::number(port)));
            QCOMPARE(visitor.status(), 200);
            QVERIFY2(visitor.header("Content-Type").startsWith(file.type), file.path.constData());
            QVERIFY(!visitor.body().isEmpty());
            QVERIFY(visitor.header("Content-Security-Policy").contains("ws://localhost:"));
        }
        HttpVisitor headOnly(port, get("/", host, "HEAD"));
        QCOMPARE(headOnly.status(), 200);
        QCOMPARE(headOnly.header("Content-Length").toLongLong(), html.size());
        QVERIFY(headOnly.body().isEmpty());
        HttpVisitor headMissing(port, get("/missing", host, "HEAD"));
        QCOMPARE(headMissing.status(), 404);
        QVERIFY(headMissing.header("Content-Length").toLongLong() > 0);
        QVERIFY(headMissing.body().isEmpty());

        // Other paths and methods: an error, with the same protective headers, then the close.
        const struct {
            QByteArray head;
            int status;
        } refused[] = {
            {get("/index.html", host), 404},
            {get("/../../etc/passwd", host), 404},
            {get("/%2e%2e/app.js", host), 404},
            {get("//app.js", host), 404},
            {get("/app.js/", host), 404},
            {get("/", host, "POST"), 405},
            {get("/app.js", host, "DELETE"), 405},
            {get("/", host, "get"), 405},
        };
        for (const auto& r : refused) {
            HttpVisitor visitor(port, r.head);
            QCOMPARE(visitor.status(), r.status);
            QVERIFY(visitor.closed());
            QCOMPARE(visitor.header("X-Frame-Options"), QByteArray("DENY"));
            QVERIFY(visitor.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
            if (r.status == 405)
                QCOMPARE(visitor.header("Allow"), QByteArray("GET, HEAD"));
        }

        // The WebSocket keeps its place on the same port, and nothing above reached the camera.
        Client script(port);
        QVERIFY(script.waitOpen());
        script.request(1, QStringLiteral("state"));
        QVERIFY(script.reply(1).contains(QStringLiteral("result")));
        QCOMPARE(backend.commands.size(), 0);
        QTRY_COMPARE(server->visitorCount(), 0);
    }

    void aHostThatIsNotThisServerIsRefused() {
        const quint16 port = start(QString());
        const QByteArray p = QByteArray::number(port);
        // A page whose name an attacker's DNS pointed at this machine asks under that name.
        const struct {
            QByteArray head;
            int status;
        } cases[] = {
            {get("/", "rebind.example:" + p), 421},
            {get("/", "127.0.0.2:" + p), 421},
            {get("/", "localhost.rebind.example:" + p), 421},
            {get("/", "[::1]:" + p), 421},  // listening on 127.0.0.1 only
            {get("/", "127.0.0.1:" + p + ", evil.example"), 400},
            {get("/", "user@127.0.0.1:" + p), 400},
            {"GET / HTTP/1.1\r\nHost: 127.0.0.1:" + p + "\r\nHost: evil.example\r\n\r\n", 400},
            {"GET / HTTP/1.0\r\n\r\n", 400},  // HTTP/1.0 may omit it; this server needs it
            {get("/", "127.0.0.1"), 200},     // any port (a tunnel moves it), no port
            {get("/", "LOCALHOST:1234"), 200},
        };
        for (const auto& c : cases) {
            HttpVisitor visitor(port, c.head);
            QCOMPARE(visitor.status(), c.status);
            if (c.status != 200)
                QVERIFY2(!visitor.body().contains("<html"), c.head.constData());
        }

        // A browser's WebSocket the same, even with an origin that matches the name.
        const QByteArray rebound[] = {"rebind.example", "127.0.0.2"};
        for (const QByteArray& name : rebound) {
            RawClient withOrigin(port, "http://" + name + ':' + p, name);
            QVERIFY2(!withOrigin.upgrade(), name.constData());
            QVERIFY(withOrigin.readSome().startsWith("HTTP/1.1 421"));
        }
        QCOMPARE(server->clientCount(), 0);
        RawClient local(port, QByteArray(), "localhost");
        QVERIFY(local.upgrade());
        QTRY_COMPARE(server->clientCount(), 1);
        // A program without an Origin (vexctl, a room controller) may know the room computer
        // by a name: DNS cannot turn it against this server, so the name is not refused.
        RawClient byName(port, QByteArray(), "room-pc.example");
        QVERIFY(byName.upgrade());
        QTRY_COMPARE(server->clientCount(), 2);
    }

    void thePagesOwnOriginIsTheOnlyBrowserOriginLetIn() {
        quint16 port = start(QString());
        QString p = QString::number(port);
        // Without a token (loopback) the page is a client at once, under either name.
        Client page(port, QStringLiteral("http://127.0.0.1:") + p);
        QVERIFY(page.waitOpen());
        page.request(1, QStringLiteral("state"));
        QVERIFY(page.reply(1).contains(QStringLiteral("result")));
        Client named(port, QStringLiteral("http://localhost:") + p, QStringLiteral("localhost"));
        QVERIFY(named.waitOpen());

        // Any other origin is refused, even one a letter away; and an origin must be the one
        // of the Host asked under, not merely another name of this server.
        const QString foreign[] = {
            QStringLiteral("http://evil.example"),
            QStringLiteral("http://127.0.0.1:%1").arg(port + 1),
            QStringLiteral("https://127.0.0.1:") + p,
            QStringLiteral("http://127.0.0.1:") + p + QStringLiteral("/"),
            QStringLiteral("http://127.0.0.1"),
            QStringLiteral("http://localhost:") + p,
            QStringLiteral("null"),
        };
        for (const QString& origin : foreign) {
            Client other(port, origin);
            QVERIFY2(!other.waitOpen(), qPrintable(origin));
        }
        QCOMPARE(server->clientCount(), 2);
        QCOMPARE(backend.commands.size(), 0);

        // With a token the page gets in as far as any client: it still has to send it.
        port = start(kToken);
        p = QString::number(port);
        Client guest(port, QStringLiteral("http://127.0.0.1:") + p);
        QVERIFY(guest.waitOpen());
        guest.request(2, QStringLiteral("state"));
        QCOMPARE(errorCode(guest.next()), int(ControlApi::NotAuthenticated));
        QVERIFY(guest.waitClosed());
        Client member(port, QStringLiteral("http://127.0.0.1:") + p);
        QVERIFY(member.waitOpen());
        member.send(QByteArray("{\"auth\": \"") + kToken.toUtf8() + "\"}");
        QCOMPARE(member.next().value(QStringLiteral("auth")).toString(), QStringLiteral("ok"));
        Client intruder(port, QStringLiteral("http://evil.example"));
        QVERIFY(!intruder.waitOpen());
    }

    void badHeadsGetAnErrorAndTheServerStays() {
        const quint16 port = start(QString());
        const QByteArray host = "127.0.0.1:" + QByteArray::number(port);
        const struct {
            QByteArray bytes;
            int status;
        } cases[] = {
            {QByteArray("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), 400},  // TLS
            {QByteArray("\x00\x01\x02\x03", 4), 400},
            {"GET / HTTP/2.0\r\nHost: " + host + "\r\n\r\n", 505},
            {"GET /" + QByteArray(5000, 'a') + " HTTP/1.1\r\n", 414},
            {"GET / HTTP/1.1\r\nHost: " + host + "\r\nCookie: " + QByteArray(20000, 'c') + "\r\n\r\n", 431},
            {"GET / HTTP/1.1\r\nHost: " + host + "\r\n" + QByteArray("X: 1\r\n").repeated(100) + "\r\n", 431},
            {"GET / HTTP/1.1\r\nHost: " + host + "\r\n folded\r\n\r\n", 400},
            // An upgrade that is no WebSocket handshake is answered here, not half-taken.
            {"GET / HTTP/1.1\r\nHost: " + host + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n", 400},
            {"POST / HTTP/1.1\r\nHost: " + host +
                 "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
             400},
        };
        for (const auto& c : cases) {
            HttpVisitor visitor(port, c.bytes);
            QVERIFY2(visitor.waitClosed(), c.bytes.left(40).constData());
            QCOMPARE(visitor.status(), c.status);
            QCOMPARE(visitor.header("X-Content-Type-Options"), QByteArray("nosniff"));
        }
        // A request with a body: answered, and the body is never taken for a second request.
        HttpVisitor smuggler(port, "GET / HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 40\r\n\r\n" +
                                       get("/app.js", host));
        QCOMPARE(smuggler.status(), 200);
        QCOMPARE(smuggler.answer().count("HTTP/1.1 "), 1);

        // Many at once never hold more than the visitor places, and the server stays sound.
        std::vector<std::unique_ptr<HttpVisitor>> crowd;
        for (int i = 0; i < 3 * ControlApiServer::kMaxVisitors; ++i) {
            crowd.push_back(std::make_unique<HttpVisitor>(port, "GET / HTTP/1.1\r\nHost: "));
            QCoreApplication::processEvents();
            QVERIFY(server->visitorCount() <= ControlApiServer::kMaxVisitors);
        }
        HttpVisitor late(port, get("/", host));
        QCOMPARE(late.status(), 200);
        crowd.clear();
        QTRY_COMPARE_WITH_TIMEOUT(server->visitorCount(), 0, 5000);
        Client script(port);
        QVERIFY(script.waitOpen());
        script.request(1, QStringLiteral("state"));
        QVERIFY(script.reply(1).contains(QStringLiteral("result")));
    }

    void aSlowHeadIsDroppedByItsDeadline() {
        const quint16 port = start(kToken);
        server->setHeadTimeoutMs(400);
        server->setCloseTimeoutMs(300);
        const QByteArray head = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) +
                                "\r\nUpgrade: websocket\r\nX-Pad: ";
        // One byte every 20 ms: always sending, never done.
        HttpVisitor slow(port, head);
        QTimer drip;
        QObject::connect(&drip, &QTimer::timeout, [&] {
            if (!slow.closed())
                slow.send("a");
        });
        drip.start(20);
        // One that says nothing after connecting, and one that takes nothing it is sent.
        HttpVisitor mute(port);
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(slow.waitClosed(400 + 300 + 2000));
        QVERIFY(mute.waitClosed(2000));
        QVERIFY2(elapsed.elapsed() >= 300, "closed before its deadline");
        QCOMPARE(slow.status(), 408);
        drip.stop();
        QTRY_COMPARE(server->visitorCount(), 0);
        QCOMPARE(server->connectionCount(), 0);

        // A head that arrives in pieces within its time is read whole.
        Client client(port);
        QVERIFY(client.waitOpen());
        client.send(QByteArray("{\"auth\": \"") + kToken.toUtf8() + "\"}");
        QCOMPARE(client.next().value(QStringLiteral("auth")).toString(), QStringLiteral("ok"));
        HttpVisitor pieces(port, "GE");
        QTRY_COMPARE(server->visitorCount(), 1);
        pieces.send("T / HTTP/1.1\r\nHo");
        QVERIFY(!pieces.waitClosed(100));
        pieces.send("st: localhost\r\n\r\n");
        QCOMPARE(pieces.status(), 200);
    }

    // "picture.start" on bytes: the width is a whole number of 16 to 640 (640 when absent),
    // the camera an optional location.
    void pictureParamsOnBytes() {
        const auto check = [](const QByteArray& text, ControlApi::PictureRequest& out, QString& error) {
            const ControlApi::Message m = ControlApi::parseMessage(text);
            return m.kind == ControlApi::Message::Request && m.method == QLatin1String("picture.start") &&
                   ControlApi::pictureParams(m.params, out, error);
        };
        ControlApi::PictureRequest r;
        QString error;
        QVERIFY(check(R"({"id":1,"method":"picture.start"})", r, error));
        QCOMPARE(r.width, 640);
        QVERIFY(r.camera.isEmpty());
        QVERIFY(check(R"({"id":1,"method":"picture.start","params":{"width":16.0,"camera":"1&2&1&0000"}})", r,
                      error));
        QCOMPARE(r.width, 16);
        QCOMPARE(r.camera, QStringLiteral("1&2&1&0000"));
        for (const char* bad : {R"({"width":641})", R"({"width":15})", R"({"width":320.5})", R"({"width":"320"})",
                                R"({"width":true})", R"({"width":1e300})", R"({"camera":""})", R"({"camera":3})"}) {
            error.clear();
            const QByteArray text = QByteArray(R"({"id":1,"method":"picture.start","params":)") + bad + "}";
            QVERIFY2(!check(text, r, error), bad);
            QVERIFY2(!error.isEmpty(), bad);
        }
        QVERIFY(error.contains(QStringLiteral("camera")));
    }

    // Pictures reach only the clients that asked, for their camera and width, as binary
    // messages; the backend hears what is wanted, and a stop or a disconnect ends it.
    void picturesGoOnlyWhereAsked() {
        backend.others = {kCameraB};
        const quint16 port = start(QString());
        Client a(port);
        Client b(port);
        QVERIFY(a.waitOpen() && b.waitOpen());
        QList<QByteArray> gotA;
        QList<QByteArray> gotB;
        QObject::connect(&a.socket(), &QWebSocket::binaryMessageReceived,
                         [&](const QByteArray& m) { gotA.append(m); });
        QObject::connect(&b.socket(), &QWebSocket::binaryMessageReceived,
                         [&](const QByteArray& m) { gotB.append(m); });

        a.request(1, QStringLiteral("picture.start"), {{QStringLiteral("width"), 320}});
        const QJsonObject started = a.reply(1).value(QStringLiteral("result")).toObject();
        QCOMPARE(started.value(QStringLiteral("camera")).toString(), kCameraA);
        QCOMPARE(started.value(QStringLiteral("width")).toInt(), 320);
        QCOMPARE(backend.demand().size(), 1);
        QCOMPARE(backend.demand().at(0).camera, kCameraA);
        QCOMPARE(backend.demand().at(0).width, 320);
        // b wants the other camera at full width, named in another case.
        b.request(1, QStringLiteral("picture.start"), {{QStringLiteral("camera"), kCameraB.toLower()}});
        QCOMPARE(b.reply(1).value(QStringLiteral("result")).toObject().value(QStringLiteral("width")).toInt(),
                 640);
        QCOMPARE(backend.demand().size(), 2);

        server->sendPicture(kCameraA, 320, picture(1));
        server->sendPicture(kCameraA, 640, picture(2));  // nobody wants A at 640
        server->sendPicture(kCameraB, 320, picture(3));  // nor B at 320
        server->sendPicture(kCameraB.toLower(), 640, picture(4));
        QTRY_COMPARE(gotA.size(), 1);
        QTRY_COMPARE(gotB.size(), 1);
        QCOMPARE(gotA.at(0), picture(1));
        QCOMPARE(gotB.at(0), picture(4));
        // Empty or oversized pictures are never sent.
        server->sendPicture(kCameraA, 320, QByteArray());
        server->sendPicture(kCameraA, 320, picture(5, int(ControlApi::kMaxPictureBytes) + 1));

        // Refusals: too wide, and a camera that is not connected.
        a.request(2, QStringLiteral("picture.start"), {{QStringLiteral("width"), 641}});
        QCOMPARE(errorCode(a.reply(2)), int(ControlApi::BadParams));
        a.request(3, QStringLiteral("picture.start"), {{QStringLiteral("camera"), QStringLiteral("9&9&9&0000")}});
        QCOMPARE(errorCode(a.reply(3)), int(ControlApi::NoCameraConnected));

        // Stopped: the demand shrinks and nothing more arrives (what was sent before the stop's
        // reply came before it).
        a.request(4, QStringLiteral("picture.stop"));
        QVERIFY(a.reply(4).contains(QStringLiteral("result")));
        QCOMPARE(backend.demand().size(), 1);
        server->sendPicture(kCameraA, 320, picture(6));
        a.request(5, QStringLiteral("state"));
        QVERIFY(a.reply(5).contains(QStringLiteral("result")));
        QCOMPARE(gotA.size(), 1);

        // b goes: nobody wants pictures any more.
        b.socket().close();
        QTRY_VERIFY(backend.demand().isEmpty());
        QCOMPARE(server->pictureDemand().size(), 0);
    }

    // A client that does not read gets the newest picture only: while its last one is still
    // queued the next ones are skipped, so at most one is queued, and pictures never count
    // toward the output budget (far more than the budget is offered, and it stays).
    void aClientThatDoesNotReadSkipsPictures() {
        const quint16 port = start(QString());
        RawClient deaf(port);
        QVERIFY(deaf.upgrade());
        QTRY_COMPARE(server->clientCount(), 1);
        deaf.sendText(R"({"id":1,"method":"picture.start"})");
        QTRY_COMPARE(server->pictureDemand().size(), 1);

        constexpr int kOffered = 100;
        constexpr int kBytes = 256 * 1024;  // 25 MiB offered in all, six times the budget
        for (int i = 1; i <= kOffered; ++i) {
            server->sendPicture(kCameraA, 640, picture(i, kBytes));
            QCoreApplication::processEvents();
        }
        QCOMPARE(server->clientCount(), 1);
        // Text still goes out beside the queued picture, within the budget.
        server->broadcast(QStringLiteral("talker"), QJsonObject{{QStringLiteral("talker"), 2}});
        QCOMPARE(server->clientCount(), 1);

        // It reads at last: far fewer pictures than offered, each whole and in order.
        QByteArray stream;
        QList<QByteArray> pictures;
        QVERIFY(QTest::qWaitFor(
            [&] {
                stream = deaf.readSome();
                pictures = binaryMessages(stream);
                return stream.contains("talker");
            },
            10000));
        QVERIFY2(pictures.size() < kOffered / 4, QByteArray::number(pictures.size()).constData());
        QVERIFY(!pictures.isEmpty());
        int last = 0;
        for (const QByteArray& p : std::as_const(pictures)) {
            QCOMPARE(p.size(), kBytes);
            const int number = p.mid(4, p.indexOf(';') - 4).toInt();
            QVERIFY(number > last);
            last = number;
        }
        // Drained, it gets the next picture at once.
        server->sendPicture(kCameraA, 640, picture(kOffered + 1, 1000));
        QVERIFY(QTest::qWaitFor(
            [&] {
                pictures = binaryMessages(deaf.readSome());
                return !pictures.isEmpty() && pictures.last() == picture(kOffered + 1, 1000);
            },
            5000));
    }

    // `vexctl app picture` asks for its width, saves so many pictures whole and in order,
    // then lets go.
    void vexctlSavesPictures() {
        const QString vexctl = qEnvironmentVariable("VEX_TEST_BINARY_DIR") + QStringLiteral("/tools/vexctl/vexctl");
        QVERIFY2(QFile::exists(vexctl), qPrintable(vexctl));
        const quint16 port = start(QString());
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QProcess process;
        process.start(vexctl, {QStringLiteral("app"), QStringLiteral("picture"), QStringLiteral("--port"),
                               QString::number(port), QStringLiteral("--out"), dir.path(), QStringLiteral("--count"),
                               QStringLiteral("3"), QStringLiteral("--width"), QStringLiteral("320")});
        QVERIFY(process.waitForStarted(5000));
        QTRY_COMPARE_WITH_TIMEOUT(server->pictureDemand().size(), 1, 10000);
        QCOMPARE(server->pictureDemand().at(0).width, 320);
        int next = 1;
        QTimer feed;
        QObject::connect(&feed, &QTimer::timeout, [&] { server->sendPicture(kCameraA, 320, picture(next++, 5000)); });
        feed.start(20);
        QTRY_VERIFY_WITH_TIMEOUT(process.state() == QProcess::NotRunning, 20000);
        feed.stop();
        QCOMPARE(process.exitCode(), 0);
        QTRY_VERIFY(server->pictureDemand().isEmpty());
        int last = 0;
        for (int i = 1; i <= 3; ++i) {
            QFile file(dir.filePath(QStringLiteral("picture-%1.jpg").arg(i, 4, 10, QLatin1Char('0'))));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            const QByteArray bytes = file.readAll();
            QCOMPARE(bytes.size(), 5000);
            const int number = bytes.mid(4, bytes.indexOf(';') - 4).toInt();
            QVERIFY(number > last);
            last = number;
        }
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("picture-0004.jpg"))));
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
