#include "AppClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <memory>

#include "AppRequest.h"
#include "CommandLine.h"
#include "Interrupt.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kReplyTimeoutMs = 30000;  // connecting a camera may take a while
constexpr int kPictureTimeoutMs = 10000;

int usage(const std::string& message) {
    std::fprintf(stderr, "vexctl app: %s (see vexctl app --help)\n", message.c_str());
    return kExitUsage;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "vexctl app: %s\n", message.c_str());
    return kExitFailed;
}

// The connection to the application: messages as they arrive, whether it is open.
//
// Threading: main thread only; the socket's signals arrive while wait() runs the event loop.
class Connection {
public:
    Connection() {
        QObject::connect(&_socket, &QWebSocket::textMessageReceived, [this](const QString& text) {
            _inbox.push_back(QJsonDocument::fromJson(text.toUtf8()).object());
        });
        QObject::connect(&_socket, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray& bytes) { _pictures.push_back(bytes); });
        QObject::connect(&_socket, &QWebSocket::disconnected, [this] { _closed = true; });
    }

    // Waits for the next picture (a binary message); false when none came in time.
    bool nextPicture(QByteArray& picture, int timeoutMs) {
        wait([this] { return !_pictures.empty() || _closed; }, timeoutMs);
        if (_pictures.empty()) {
            return false;
        }
        picture = _pictures.front();
        _pictures.pop_front();
        return true;
    }

    bool open(const QUrl& url) {
        _socket.open(url);
        wait([this] { return _socket.state() == QAbstractSocket::ConnectedState || _closed; },
             kConnectTimeoutMs);
        return _socket.state() == QAbstractSocket::ConnectedState;
    }

    void send(const QByteArray& text) { _socket.sendTextMessage(QString::fromUtf8(text)); }

    // Waits for the next message; false when the connection closed, time ran out or Ctrl+C.
    bool next(QJsonObject& message, int timeoutMs) {
        wait([this] { return !_inbox.empty() || _closed; }, timeoutMs);
        if (_inbox.empty()) {
            return false;
        }
        message = _inbox.front();
        _inbox.pop_front();
        return true;
    }

    bool closed() const { return _closed; }
    QString closeReason() const { return _socket.closeReason(); }
    QString errorText() const { return _socket.errorString(); }

    void close() {
        if (!_closed) {
            _socket.close();
            wait([this] { return _closed; }, 1000);
        }
    }

    // Runs the event loop until `done`, the time is up (timeoutMs < 0: no limit) or Ctrl+C.
    template <typename Done>
    static void wait(Done done, int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && !VexctlInterrupted() && (timeoutMs < 0 || clock.elapsed() < timeoutMs)) {
            QEventLoop loop;
            QTimer::singleShot(20, &loop, &QEventLoop::quit);
            loop.exec();
        }
    }

private:
    QWebSocket _socket;
    std::deque<QJsonObject> _inbox;
    std::deque<QByteArray> _pictures;
    bool _closed = false;
};

// Saves `count` pictures as DIR/picture-0001.jpg and on; a failure says which.
int savePictures(Connection& connection, const VexctlAppRequest& req) {
    for (int i = 1; i <= req.pictureCount; ++i) {
        QByteArray picture;
        if (!connection.nextPicture(picture, kPictureTimeoutMs)) {
            return fail(VexctlInterrupted() ? "interrupted"
                                            : "no picture from the application (" + std::to_string(i - 1) +
                                                  " of " + std::to_string(req.pictureCount) + " saved)");
        }
        const QString path = QStringLiteral("%1/picture-%2.jpg")
                                 .arg(QString::fromStdString(req.pictureDir))
                                 .arg(i, 4, 10, QLatin1Char('0'));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(picture) != picture.size()) {
            return fail("cannot write " + path.toStdString());
        }
        std::printf("%s\n", path.toLocal8Bit().constData());
        std::fflush(stdout);
    }
    return kExitOk;
}

QByteArray compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Sends one request and waits for its reply (events that come first are skipped).
int request(Connection& connection, int id, const std::string& method, const std::string& params,
            QJsonObject& resultOut) {
    QJsonParseError parseError{};
    const QJsonDocument paramsDoc = QJsonDocument::fromJson(QByteArray::fromStdString(params), &parseError);
    if (parseError.error != QJsonParseError::NoError || !paramsDoc.isObject()) {
        return usage("the parameters must be one JSON object, not " + params);
    }
    connection.send(compact(QJsonObject{{QStringLiteral("id"), id},
                                        {QStringLiteral("method"), QString::fromStdString(method)},
                                        {QStringLiteral("params"), paramsDoc.object()}}));
    QJsonObject message;
    while (connection.next(message, kReplyTimeoutMs)) {
        if (message.value(QStringLiteral("id")).toInt(-1) != id) {
            // An error without an id (not authenticated, too many clients) ends it too.
            if (message.contains(QStringLiteral("error")) && message.value(QStringLiteral("id")).isNull()) {
                const QJsonObject e = message.value(QStringLiteral("error")).toObject();
                return fail(e.value(QStringLiteral("message")).toString().toStdString() + " (error " +
                            std::to_string(e.value(QStringLiteral("code")).toInt()) + ")");
            }
            continue;
        }
        if (message.contains(QStringLiteral("error"))) {
            const QJsonObject e = message.value(QStringLiteral("error")).toObject();
            return fail(method + ": " + e.value(QStringLiteral("message")).toString().toStdString() +
                        " (error " + std::to_string(e.value(QStringLiteral("code")).toInt()) + ")");
        }
        resultOut = message.value(QStringLiteral("result")).toObject();
        return kExitOk;
    }
    if (VexctlInterrupted()) {
        return fail("interrupted");
    }
    return fail(connection.closed() ? "the application closed the connection"
                                    : "no reply from the application");
}

bool readToken(const std::map<std::string, std::string>& options, QString& token, std::string& error) {
    const auto file = options.find("--token-file");
    if (file != options.end()) {
        QFile f(QString::fromStdString(file->second));
        if (!f.open(QIODevice::ReadOnly)) {
            error = "cannot read the token file " + file->second;
            return false;
        }
        token = QString::fromUtf8(f.read(4096)).trimmed();
        return true;
    }
    token = qEnvironmentVariable("VEXCTL_APP_TOKEN").trimmed();
    return true;
}

}  // namespace

int VexctlAppMain(const std::vector<std::string>& args) {
    VexctlCommandLine line;
    std::string error;
    if (!VexctlParse(args, {},
                     {"--address", "--port", "--token-file", "--for", "--count", "--only", "--camera",
                      "--width", "--out"},
                     line, error)) {
        return usage(error);
    }
    if (line.help) {
        std::printf("%s", VexctlAppHelp());
        return kExitOk;
    }
    std::vector<std::string> words;
    if (!line.subcommand.empty()) {
        words.push_back(line.subcommand);
    }
    words.insert(words.end(), line.positionals.begin(), line.positionals.end());
    VexctlAppRequest req;
    if (!VexctlAppRequestFor(words, line.options, req, error)) {
        return usage(error);
    }
    // A mistake in hand-written parameters is the command line's, found before connecting.
    if (!req.method.empty() && !QJsonDocument::fromJson(QByteArray::fromStdString(req.params)).isObject()) {
        return usage("the parameters must be one JSON object, not " + req.params);
    }
    std::string address = "127.0.0.1";
    if (auto it = line.options.find("--address"); it != line.options.end()) {
        address = it->second;
    }
    int64_t port = 8940;
    if (auto it = line.options.find("--port");
        it != line.options.end() && !VexctlParseInt(it->second, 1, 65535, port)) {
        return usage("--port takes a port number from 1 to 65535");
    }
    QString token;
    if (!readToken(line.options, token, error)) {
        return fail(error);
    }

    std::unique_ptr<QCoreApplication> app;
    static int argc = 1;
    static char name[] = "vexctl";
    static char* argv[] = {name, nullptr};
    if (QCoreApplication::instance() == nullptr) {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    VexctlInstallInterruptHandler();

    QUrl url;
    url.setScheme(QStringLiteral("ws"));
    url.setHost(QString::fromStdString(address));
    url.setPort(static_cast<int>(port));
    if (!url.isValid()) {
        return usage("\"" + address + "\" is no address");
    }
    Connection connection;
    if (!connection.open(url)) {
        return fail("cannot reach the application at " + url.toString().toStdString() + " (" +
                    connection.errorText().toStdString() +
                    "); is its control interface switched on (tray menu, \"Control interface\")?");
    }
    if (!token.isEmpty()) {
        connection.send(compact(QJsonObject{{QStringLiteral("auth"), token}}));
        QJsonObject answer;
        if (!connection.next(answer, kConnectTimeoutMs) ||
            answer.value(QStringLiteral("auth")).toString() != QLatin1String("ok")) {
            return fail("the application did not take the token");
        }
    }

    if (req.watchEvents) {
        int printed = 0;
        QJsonObject message;
        while (req.eventCount == 0 || printed < req.eventCount) {
            if (!connection.next(message, -1)) {
                if (VexctlInterrupted()) {
                    break;
                }
                connection.close();
                return fail("the application closed the connection" +
                            (connection.closeReason().isEmpty()
                                 ? std::string()
                                 : " (" + connection.closeReason().toStdString() + ")"));
            }
            if (!message.contains(QStringLiteral("event"))) {
                continue;
            }
            const std::string name = message.value(QStringLiteral("event")).toString().toStdString();
            if (!req.onlyEvents.empty() &&
                std::find(req.onlyEvents.begin(), req.onlyEvents.end(), name) == req.onlyEvents.end()) {
                continue;
            }
            std::printf("%s\n", compact(message).constData());
            std::fflush(stdout);
            ++printed;
        }
        connection.close();
        return kExitOk;
    }

    QJsonObject result;
    int status = request(connection, 1, req.method, req.params, result);
    if (status != kExitOk) {
        connection.close();
        return status;
    }
    std::printf("%s\n", compact(result).constData());
    std::fflush(stdout);
    if (req.pictureCount > 0) {
        status = savePictures(connection, req);
        if (!connection.closed()) {
            QJsonObject ignored;
            const int stopped = request(connection, 2, req.stopMethod, "{}", ignored);
            status = status != kExitOk ? status : stopped;
        }
        connection.close();
        return status;
    }
    if (req.holdMs > 0) {
        // Leaving before the time is up would stop the movement: the application stops it
        // itself when the time is up.
        Connection::wait([&connection] { return connection.closed(); }, req.holdMs + 100);
    } else if (req.holdUntilInterrupted) {
        std::fprintf(stderr, "vexctl app: moving until Ctrl+C\n");
        Connection::wait([&connection] { return connection.closed(); }, -1);
    }
    if (!req.stopMethod.empty() && VexctlInterrupted() && !connection.closed()) {
        QJsonObject ignored;
        status = request(connection, 2, req.stopMethod, req.stopParams, ignored);
    }
    connection.close();
    return status;
}
