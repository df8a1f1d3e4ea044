#include "ControlApiServer.h"

#include <QDebug>
#include <QJsonArray>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

#include <algorithm>
#include <string_view>

#include <sys/socket.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "ControlApiPage.h"

using namespace ControlApi;

// ---- settings ---------------------------------------------------------------------------------

ControlApiSettings ControlApiSettings::fromJson(const QJsonObject& object) {
    ControlApiSettings settings;
    if (object.value(QStringLiteral("Enabled")).isBool())
        settings.enabled = object.value(QStringLiteral("Enabled")).toBool();
    if (object.value(QStringLiteral("Address")).isString())
        settings.address = object.value(QStringLiteral("Address")).toString().trimmed();
    qint64 port = 0;
    if (wholeNumber(object.value(QStringLiteral("Port")), 1, 65535, port))
        settings.port = static_cast<int>(port);
    if (object.value(QStringLiteral("Token")).isString())
        settings.token = object.value(QStringLiteral("Token")).toString();
    return settings;
}

QJsonObject ControlApiSettings::toJson() const {
    return QJsonObject{{QStringLiteral("Enabled"), enabled},
                       {QStringLiteral("Address"), address},
                       {QStringLiteral("Port"), port},
                       {QStringLiteral("Token"), token}};
}

bool ControlApiSettings::isLoopback() const {
    const QHostAddress host(address);
    return !host.isNull() && host.isLoopback();
}

QString ControlApiSettings::problem() const {
    if (QHostAddress(address).isNull())
        return QStringLiteral("\"%1\" is no IP address").arg(address);
    if (!token.isEmpty() && token.size() < kMinTokenLength)
        return QStringLiteral(
                   "the token has %1 characters, fewer than the %2 a token needs: Apply in the Control "
                   "interface dialog makes a new one")
            .arg(token.size())
            .arg(kMinTokenLength);
    if (!isLoopback() && token.isEmpty())
        return QStringLiteral("listening on %1 needs a token of at least %2 characters")
            .arg(address)
            .arg(kMinTokenLength);
    return QString();
}

bool ControlApiSettings::operator==(const ControlApiSettings& other) const {
    return enabled == other.enabled && address == other.address && port == other.port && token == other.token;
}

// ---- server -----------------------------------------------------------------------------------

namespace {

// How often queued output is measured while any is queued. Pongs can pile up at about
// 100 MB/s from one local client, so this bounds how far past its budget a connection gets.
constexpr int kOutputCheckMs = 10;
// What the socket reads ahead of the frame being parsed: a whole largest frame has to fit
// (the socket waits for a frame's payload in full), and little more, so that one read of a
// ping flood answers at most this much in pongs before the next check.
constexpr qint64 kReadBufferBytes = 2 * kMaxMessageBytes;
// Dropping a connection with this much queued hands the freed heap back to the system: the
// socket's buffers are many small blocks that the allocator otherwise keeps.
constexpr qint64 kTrimAfterBytes = 1024 * 1024;

bool isLocalhost(const QString& name) {
    return name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0;
}

QString fromStd(const std::string& text) {
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

ControlApiServer::ControlApiServer(ControlApiBackend* backend, QObject* parent)
    : QObject(parent), _backend(backend), _status(QStringLiteral("Off")) {
    _outputTimer = new QTimer(this);
    _outputTimer->setInterval(kOutputCheckMs);
    _outputTimer->setTimerType(Qt::PreciseTimer);
    connect(_outputTimer, &QTimer::timeout, this, &ControlApiServer::checkAllOutput);
}

ControlApiServer::~ControlApiServer() {
    stopListening();
}

bool ControlApiServer::isListening() const {
    return _listener && _listener->isListening();
}

quint16 ControlApiServer::serverPort() const {
    return isListening() ? _listener->serverPort() : 0;
}

int ControlApiServer::clientCount() const {
    return static_cast<int>(std::count_if(_clients.begin(), _clients.end(),
                                          [](const Client& c) { return c.state == Client::Served; }));
}

int ControlApiServer::waitingCount() const {
    return static_cast<int>(std::count_if(_clients.begin(), _clients.end(),
                                          [](const Client& c) { return c.state == Client::Waiting; }));
}

int ControlApiServer::waitingPlacesTaken() const {
    return connectionCount() - clientCount();
}

void ControlApiServer::setOutputBudgets(qint64 authenticatedBytes, qint64 waitingBytes) {
    _servedBudgetBytes = authenticatedBytes;
    _waitingBudgetBytes = waitingBytes;
}

void ControlApiServer::stopListening() {
    // Each client's movements stop as it is closed; the closing ones are dropped at their
    // deadline like any other.
    const QList<Client> clients = _clients;
    for (const Client& client : clients)
        closeClient(client.socket, QWebSocketProtocol::CloseCodeGoingAway,
                    QStringLiteral("control interface off"));
    const QList<Visitor> visitors = _visitors;
    for (const Visitor& visitor : visitors)
        dropVisitor(visitor.socket, "control interface off");
    if (_listener) {
        _listener->close();
        _listener->deleteLater();
        _listener = nullptr;
    }
    if (_server) {
        _server->deleteLater();
        _server = nullptr;
    }
}

bool ControlApiServer::apply(const ControlApiSettings& settings) {
    _settings = settings;
    stopListening();
    bool ok = true;
    if (!settings.enabled) {
        _status = QStringLiteral("Off");
    } else if (const QString problem = settings.problem(); !problem.isEmpty()) {
        _status = QStringLiteral("Not listening: ") + problem;
        ok = false;
    } else {
        // The WebSocket server does not listen: it takes the upgrades the listener hands it.
        _server = new QWebSocketServer(QStringLiteral("VantorReda"), QWebSocketServer::NonSecureMode, this);
        connect(_server, &QWebSocketServer::newConnection, this, &ControlApiServer::onNewConnection);
        connect(_server, &QWebSocketServer::originAuthenticationRequired, this,
                &ControlApiServer::onOriginCheck);
        _listener = new QTcpServer(this);
        connect(_listener, &QTcpServer::newConnection, this, &ControlApiServer::onTcpConnection);
        QHostAddress host(settings.address);
        // "Any" means both address families.
        if (host == QHostAddress(QHostAddress::AnyIPv4) || host == QHostAddress(QHostAddress::AnyIPv6))
            host = QHostAddress(QHostAddress::Any);
        if (_listener->listen(host, static_cast<quint16>(settings.port))) {
            _status = QStringLiteral("Listening on %1:%2").arg(settings.address).arg(_listener->serverPort());
        } else {
            _status = QStringLiteral("Cannot listen on %1:%2: %3")
                          .arg(settings.address)
                          .arg(settings.port)
                          .arg(_listener->errorString());
            _listener->deleteLater();
            _listener = nullptr;
            _server->deleteLater();
            _server = nullptr;
            ok = false;
        }
    }
    qDebug() << "ControlApiServer::apply" << _status;
    emit signal_StatusChanged(_status);
    return ok;
}

void ControlApiServer::onOriginCheck(QWebSocketCorsAuthenticator* authenticator) {
    // A browser sends Origin; scripts and room controllers do not. Any site the user visits
    // can open sockets to this machine, token or not: without one it could drive the camera,
    // with one it could still take places and try tokens. So no page is let in but this
    // application's own. route() has already matched the origin with the request's Host;
    // this is the second look, for any handshake that reached the WebSocket server otherwise.
    const QString origin = authenticator->origin();
    const bool allowed = origin.isEmpty() || isPageOrigin(origin);
    if (!allowed)
        qDebug() << "ControlApiServer::onOriginCheck"
                 << "refused origin" << origin;
    authenticator->setAllowed(allowed);
}

// ---- visitors: the request head, the Host rule, the page --------------------------------------

bool ControlApiServer::isOwnHostName(const QString& name, const QHostAddress& local) const {
    if (isLocalhost(name))
        return true;
    QHostAddress address;
    // Only address literals besides localhost: a name is what a rebinding attacker controls.
    if (!address.setAddress(name))
        return false;
    if (address.isEqual(QHostAddress(_settings.address), QHostAddress::ConvertV4MappedToIPv4))
        return true;
    return !local.isNull() && address.isEqual(local, QHostAddress::ConvertV4MappedToIPv4);
}

bool ControlApiServer::isPageOrigin(const QString& origin) const {
    static const QLatin1String scheme("http://");
    if (!origin.startsWith(scheme, Qt::CaseInsensitive))
        return false;
    std::string name;
    int port = -1;
    if (!HttpRequestReader::splitHost(origin.mid(scheme.size()).toStdString(), name, port))
        return false;
    const QString host = fromStd(name);
    if (isOwnHostName(host, QHostAddress()))
        return true;
    // Listening on every address: the page may have come from any of this machine's.
    const QHostAddress listening(_settings.address);
    if (listening != QHostAddress(QHostAddress::AnyIPv4) && listening != QHostAddress(QHostAddress::AnyIPv6))
        return false;
    const QHostAddress address(host);
    const QList<QHostAddress> locals = QNetworkInterface::allAddresses();
    return std::any_of(locals.begin(), locals.end(), [&](const QHostAddress& local) {
        return address.isEqual(local, QHostAddress::ConvertV4MappedToIPv4);
    });
}

ControlApiServer::Visitor* ControlApiServer::findVisitor(QTcpSocket* socket) {
    for (Visitor& visitor : _visitors) {
        if (visitor.socket == socket)
            return &visitor;
    }
    return nullptr;
}

void ControlApiServer::makeVisitorRoom() {
    if (_visitors.size() < kMaxVisitors)
        return;
    // An answered one first (its answer is out or nearly), then the oldest still sending: a
    // browser sends its head at once, so whoever has been at it longest is the likeliest to
    // be holding a place for nothing.
    QTcpSocket* oldest = _visitors.front().socket;
    for (const Visitor& visitor : _visitors) {
        if (visitor.answered) {
            oldest = visitor.socket;
            break;
        }
    }
    dropVisitor(oldest, "pushed out by a newer connection");
}

void ControlApiServer::onTcpConnection() {
    while (QTcpSocket* socket = _listener ? _listener->nextPendingConnection() : nullptr) {
        makeVisitorRoom();
        socket->setParent(this);
        // What is peeked at is what the socket buffers: a head's worth and a byte more, so a
        // head over its limit shows as one.
        socket->setReadBufferSize(static_cast<qint64>(_reader.limits().headBytes) + 1);
        Visitor visitor;
        visitor.socket = socket;
        visitor.deadline = new QTimer(socket);
        visitor.deadline->setSingleShot(true);
        connect(visitor.deadline, &QTimer::timeout, this, [this, socket] {
            const Visitor* v = findVisitor(socket);
            if (v && !v->answered)
                answer(socket, ControlApiPage::error(408, QStringLiteral("the request head took too long")));
            else
                dropVisitor(socket, "answer not taken in time");
        });
        visitor.deadline->start(_headTimeoutMs);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onVisitorData(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { finishAnswer(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { onVisitorGone(socket); });
        _visitors.append(visitor);
        // Bytes may have come with the connection.
        if (socket->bytesAvailable() > 0)
            onVisitorData(socket);
    }
}

void ControlApiServer::onVisitorData(QTcpSocket* socket) {
    Visitor* visitor = findVisitor(socket);
    if (!visitor)
        return;
    if (visitor->answered) {
        socket->skip(socket->bytesAvailable());
        return;
    }
    const QByteArray seen = socket->peek(static_cast<qint64>(_reader.limits().headBytes) + 1);
    const HttpRequestReader::Result read =
        _reader.read(std::string_view(seen.constData(), static_cast<std::size_t>(seen.size())));
    if (read.status == HttpRequestReader::Result::NeedMore)
        return;
    if (read.status == HttpRequestReader::Result::Error) {
        qDebug() << "ControlApiServer::onVisitorData" << socket->peerAddress() << read.httpStatus
                 << read.reason.c_str();
        answer(socket, ControlApiPage::error(read.httpStatus, fromStd(read.reason)));
        return;
    }
    route(socket, read.request);
}

void ControlApiServer::route(QTcpSocket* socket, const HttpRequest& request) {
    const std::string* hostValue = request.header("Host");
    std::string name;
    int port = -1;
    if (!hostValue || !HttpRequestReader::splitHost(*hostValue, name, port)) {
        answer(socket, ControlApiPage::error(400, QStringLiteral("no Host, or one that is no host")));
        return;
    }
    const QString host = fromStd(*hostValue);
    const bool upgrade = request.headerHasToken("Upgrade", "websocket");
    // The name rule guards against a browser whose DNS an attacker pointed here; a browser
    // always sends its Origin on a WebSocket handshake. A program without one (vexctl, a room
    // controller) is not fooled by DNS and may well reach the room computer by its name: the
    // token is its guard, as before.
    const bool fromBrowser = !upgrade || request.header("Origin");
    if (fromBrowser && !isOwnHostName(fromStd(name), socket->localAddress())) {
        qDebug() << "ControlApiServer::route"
                 << "refused Host" << host << "from" << socket->peerAddress();
        answer(socket, ControlApiPage::error(421, QStringLiteral("this server does not answer to that name")));
        return;
    }

    if (upgrade) {
        if (const std::string* origin = request.header("Origin")) {
            // The page's own origin only: the scheme and the very Host it is asking under.
            if (fromStd(*origin).compare(QLatin1String("http://") + host, Qt::CaseInsensitive) != 0) {
                qDebug() << "ControlApiServer::route"
                         << "refused origin" << fromStd(*origin) << "under Host" << host;
                answer(socket, ControlApiPage::error(403, QStringLiteral("foreign origin")));
                return;
            }
        }
        const std::string* version = request.header("Sec-WebSocket-Version");
        if (request.method != "GET" || !request.headerHasToken("Connection", "upgrade") ||
            !request.header("Sec-WebSocket-Key") || !version || *version != "13") {
            answer(socket, ControlApiPage::error(400, QStringLiteral("not a WebSocket handshake")));
            return;
        }
        // Handed over with its head unread; the WebSocket server reads it, and from then on
        // the connection is a client like any other.
        QTimer* deadline = findVisitor(socket)->deadline;
        _visitors.erase(std::remove_if(_visitors.begin(), _visitors.end(),
                                       [socket](const Visitor& v) { return v.socket == socket; }),
                        _visitors.end());
        socket->disconnect(this);
        delete deadline;
        socket->setReadBufferSize(0);
        _server->handleConnection(socket);
        return;
    }
    answer(socket, ControlApiPage::answer(request, host));
}

void ControlApiServer::answer(QTcpSocket* socket, const QByteArray& bytes) {
    Visitor* visitor = findVisitor(socket);
    if (!visitor || visitor->answered)
        return;
    visitor->answered = true;
    visitor->deadline->start(_closeTimeoutMs);
    socket->skip(socket->bytesAvailable());
    socket->write(bytes);
    finishAnswer(socket);
}

void ControlApiServer::finishAnswer(QTcpSocket* socket) {
    const Visitor* visitor = findVisitor(socket);
    if (!visitor || !visitor->answered || socket->bytesToWrite() > 0)
        return;
    // All of it is with the system: end the sending side, and wait for the peer to close.
    if (socket->socketDescriptor() >= 0)
        ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
}

void ControlApiServer::onVisitorGone(QTcpSocket* socket) {
    if (!findVisitor(socket))
        return;
    _visitors.erase(std::remove_if(_visitors.begin(), _visitors.end(),
                                   [socket](const Visitor& v) { return v.socket == socket; }),
                    _visitors.end());
    socket->disconnect(this);
    socket->deleteLater();
}

void ControlApiServer::dropVisitor(QTcpSocket* socket, const char* why) {
    if (!findVisitor(socket))
        return;
    qDebug() << "ControlApiServer::dropVisitor" << why << socket->peerAddress();
    onVisitorGone(socket);
    socket->abort();
}

// ---- WebSocket clients ------------------------------------------------------------------------

void ControlApiServer::onNewConnection() {
    while (QWebSocket* socket = _server ? _server->nextPendingConnection() : nullptr) {
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(kMaxMessageBytes));
        socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(kMaxMessageBytes));
        socket->setReadBufferSize(kReadBufferBytes);
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            onGone(socket);
            socket->deleteLater();
        });
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString& text) { onText(socket, text); });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket] { onBinary(socket); });
        connect(socket, &QWebSocket::textFrameReceived, this, [this, socket] { checkOutput(socket); });
        connect(socket, &QWebSocket::binaryFrameReceived, this, [this, socket] { checkOutput(socket); });
        // Output on its way (pongs included): measure it until it is gone.
        connect(socket, &QWebSocket::bytesWritten, this, &ControlApiServer::watchOutput);

        Client client;
        client.socket = socket;
        const bool served = _settings.token.isEmpty() && clientCount() < kMaxClients;
        if (!served)
            makeWaitingRoom();
        client.state = served ? Client::Served : Client::Waiting;
        client.budgetBytes = served ? _servedBudgetBytes : _waitingBudgetBytes;
        _clients.append(client);
        qDebug() << "ControlApiServer::onNewConnection" << socket->peerAddress()
                 << "clients:" << clientCount() << "waiting:" << waitingPlacesTaken();
        if (served)
            continue;
        if (_settings.token.isEmpty()) {
            refuse(socket, TooManyClients, QStringLiteral("too many clients (at most %1)").arg(kMaxClients));
            continue;
        }
        QTimer* authTimer = new QTimer(socket);
        authTimer->setSingleShot(true);
        connect(authTimer, &QTimer::timeout, this, [this, socket] {
            refuse(socket, NotAuthenticated, QStringLiteral("no authentication in time"));
        });
        authTimer->start(_authTimeoutMs);
        _clients.last().authTimer = authTimer;
    }
}

void ControlApiServer::makeWaitingRoom() {
    if (waitingPlacesTaken() < kMaxWaitingClients)
        return;
    // The oldest closing connection goes first, then the oldest still to authenticate: a
    // client that knows the token answers the handshake at once, so whoever holds a place
    // longest is the likeliest to hold it for nothing.
    QWebSocket* oldest = nullptr;
    for (const Client& client : _clients) {
        if (client.state == Client::Closing) {
            oldest = client.socket;
            break;
        }
        if (client.state == Client::Waiting && !oldest)
            oldest = client.socket;
    }
    if (oldest)
        drop(oldest, "pushed out by a newer connection");
}

ControlApiServer::Client* ControlApiServer::find(QWebSocket* socket) {
    for (Client& client : _clients) {
        if (client.socket == socket)
            return &client;
    }
    return nullptr;
}

void ControlApiServer::endMotionsOf(QWebSocket* socket) {
    // A client that went away while it moved the camera would leave it moving.
    for (const std::unique_ptr<Motion>& motion : _motions) {
        if (motion->running && motion->owner == socket)
            endMotion(*motion, true);
    }
}

void ControlApiServer::onGone(QWebSocket* socket) {
    const qsizetype before = _clients.size();
    _clients.erase(std::remove_if(_clients.begin(), _clients.end(),
                                  [socket](const Client& c) { return c.socket == socket; }),
                   _clients.end());
    if (_clients.size() == before)
        return;
    endMotionsOf(socket);
    updatePictureDemand();
    qDebug() << "ControlApiServer::onGone"
             << "clients:" << clientCount() << "waiting:" << waitingPlacesTaken();
}

void ControlApiServer::closeClient(QWebSocket* socket, QWebSocketProtocol::CloseCode code,
                                   const QString& reason) {
    Client* client = find(socket);
    if (!client || client->state == Client::Closing)
        return;
    client->state = Client::Closing;
    if (client->authTimer)
        client->authTimer->stop();
    // It can send nothing more, so nothing it started may run on.
    endMotionsOf(socket);
    client->pictureWidth = 0;
    updatePictureDemand();
    // Closing stops the socket reading, so its output only shrinks from here; but a peer
    // that does not read never lets it go, hence the deadline.
    QTimer::singleShot(_closeTimeoutMs, socket, [this, socket] { drop(socket, "did not close in time"); });
    socket->close(code, reason.left(100));
}

void ControlApiServer::drop(QWebSocket* socket, const char* why) {
    if (!find(socket))
        return;
    const qint64 queued = socket->bytesToWrite();
    qDebug() << "ControlApiServer::drop" << why << socket->peerAddress() << "queued:" << queued;
    socket->disconnect(this);
    onGone(socket);
    socket->abort();
    socket->deleteLater();
#ifdef __GLIBC__
    if (queued >= kTrimAfterBytes)
        connect(socket, &QObject::destroyed, [] { malloc_trim(0); });
#endif
}

bool ControlApiServer::checkOutput(QWebSocket* socket) {
    Client* client = find(socket);
    if (!client)
        return false;
    // A picture still queued is not counted: there is at most one.
    const qint64 picture = pictureStillQueued(*client) ? client->pictureBytes : 0;
    if (socket->bytesToWrite() <= client->budgetBytes + picture)
        return true;
    drop(socket, client->state == Client::Served ? "client does not read" : "output over its budget");
    return false;
}

void ControlApiServer::checkAllOutput() {
    bool queued = false;
    const QList<Client> clients = _clients;
    for (const Client& client : clients) {
        if (checkOutput(client.socket) && client.socket->bytesToWrite() > 0)
            queued = true;
    }
    if (!queued)
        _outputTimer->stop();
}

void ControlApiServer::watchOutput() {
    if (!_outputTimer->isActive())
        _outputTimer->start();
}

void ControlApiServer::send(QWebSocket* socket, const QByteArray& text) {
    if (!checkOutput(socket))
        return;
    const qint64 before = socket->bytesToWrite();
    socket->sendTextMessage(QString::fromUtf8(text));
    if (Client* client = find(socket); client && client->pictureQueued)
        client->pictureTail += socket->bytesToWrite() - before;
    watchOutput();
}

bool ControlApiServer::pictureStillQueued(Client& client) {
    if (client.pictureQueued && client.socket->bytesToWrite() <= client.pictureTail)
        client.pictureQueued = false;
    return client.pictureQueued;
}

void ControlApiServer::sendPicture(const QString& camera, int width, const QByteArray& jpeg) {
    if (jpeg.isEmpty() || jpeg.size() > kMaxPictureBytes)
        return;
    const QList<Client> clients = _clients;
    for (const Client& listed : clients) {
        Client* client = find(listed.socket);
        if (!client || client->state != Client::Served || client->pictureWidth != width ||
            client->pictureCamera.compare(camera, Qt::CaseInsensitive) != 0)
            continue;
        // Newest only: a client that has not taken its last picture yet skips this one.
        if (pictureStillQueued(*client) || !checkOutput(client->socket))
            continue;
        QWebSocket* socket = client->socket;
        const qint64 before = socket->bytesToWrite();
        socket->sendBinaryMessage(jpeg);
        // Looked up again: a write error may have dropped it meanwhile.
        client = find(socket);
        if (!client)
            continue;
        client->pictureQueued = true;
        client->pictureBytes = socket->bytesToWrite() - before;
        client->pictureTail = 0;
        watchOutput();
    }
}

void ControlApiServer::updatePictureDemand() {
    QList<ControlApiBackend::PictureWant> wants;
    for (const Client& client : std::as_const(_clients)) {
        if (client.state != Client::Served || client.pictureWidth <= 0)
            continue;
        const ControlApiBackend::PictureWant want{client.pictureCamera, client.pictureWidth};
        if (!wants.contains(want))
            wants.append(want);
    }
    if (wants == _pictureDemand)
        return;
    _pictureDemand = wants;
    _backend->setPictureDemand(wants);
}

void ControlApiServer::refuse(QWebSocket* socket, int code, const QString& message) {
    send(socket, error(QJsonValue(), code, message));
    closeClient(socket, QWebSocketProtocol::CloseCodePolicyViolated, message);
}

void ControlApiServer::broadcast(const QString& name, const QJsonObject& data) {
    const QByteArray text = ControlApi::event(name, data);
    const QList<Client> clients = _clients;
    for (const Client& client : clients) {
        if (client.state == Client::Served)
            send(client.socket, text);
    }
}

void ControlApiServer::onBinary(QWebSocket* socket) {
    Client* client = find(socket);
    if (!client || client->state == Client::Closing)
        return;
    if (client->state == Client::Waiting) {
        refuse(socket, NotAuthenticated, QStringLiteral("not authenticated"));
        return;
    }
    send(socket, error(QJsonValue(), NotRequest, QStringLiteral("text messages only")));
}

void ControlApiServer::onText(QWebSocket* socket, const QString& text) {
    Client* client = find(socket);
    if (!client || client->state == Client::Closing)
        return;
    const Message message = parseMessage(text.toUtf8());
    if (message.kind == Message::Auth) {
        if (!_settings.token.isEmpty() && !tokensEqual(message.token, _settings.token)) {
            qDebug() << "ControlApiServer::onText"
                     << "wrong token from" << socket->peerAddress();
            refuse(socket, NotAuthenticated, QStringLiteral("wrong token"));
            return;
        }
        if (client->state == Client::Waiting) {
            if (clientCount() >= kMaxClients) {
                refuse(socket, TooManyClients,
                       QStringLiteral("too many clients (at most %1)").arg(kMaxClients));
                return;
            }
            if (client->authTimer)
                client->authTimer->stop();
            client->state = Client::Served;
            client->budgetBytes = _servedBudgetBytes;
        }
        send(socket, authOk());
        return;
    }
    if (client->state == Client::Waiting) {
        refuse(socket, NotAuthenticated, QStringLiteral("not authenticated: send {\"auth\": TOKEN} first"));
        return;
    }
    if (message.kind == Message::Invalid) {
        send(socket, error(message.id, message.errorCode, message.errorText));
        return;
    }
    handleRequest(socket, message);
}

void ControlApiServer::handleRequest(QWebSocket* socket, const Message& request) {
    const QString& method = request.method;
    const QJsonObject& params = request.params;
    QString message;

    if (method == QLatin1String("state")) {
        send(socket, result(request.id, _backend->state()));
        return;
    }
    if (method == QLatin1String("camera.connect") || method == QLatin1String("camera.disconnect")) {
        const bool connecting = method == QLatin1String("camera.connect");
        const QJsonValue location = params.value(QStringLiteral("location"));
        if (connecting ? !location.isString() || location.toString().isEmpty()
                       : !(location.isUndefined() || location.isNull() || location.isString())) {
            send(socket,
                 error(request.id, BadParams, QStringLiteral("\"location\" must be a location identity")));
            return;
        }
        const int code = connecting ? _backend->connectCamera(location.toString(), message)
                                    : _backend->disconnectCamera(location.toString(), message);
        if (code != 0) {
            send(socket, error(request.id, code, message));
            return;
        }
        const QJsonObject state = _backend->state();
        send(socket, result(request.id, QJsonObject{{QStringLiteral("connected"),
                                                     state.value(QStringLiteral("connected"))}}));
        return;
    }
    if (method == QLatin1String("tracking.set")) {
        const QJsonValue on = params.value(QStringLiteral("on"));
        if (!on.isBool()) {
            send(socket, error(request.id, BadParams, QStringLiteral("\"on\" must be true or false")));
            return;
        }
        if (!_backend->setTracking(on.toBool(), message)) {
            send(socket, error(request.id, BadParams, message));
            return;
        }
        send(socket, result(request.id, QJsonObject{{QStringLiteral("tracking"),
                                                     _backend->state().value(QStringLiteral("tracking"))}}));
        return;
    }
    if (method == QLatin1String("tracking.pause")) {
        qint64 seconds = 0;
        if (!wholeNumber(params.value(QStringLiteral("seconds")), 0, kMaxPauseSeconds, seconds)) {
            send(
                socket,
                error(request.id, BadParams,
                      QStringLiteral("\"seconds\" must be a whole number of 0 to %1").arg(kMaxPauseSeconds)));
            return;
        }
        if (!_backend->pauseTracking(static_cast<int>(seconds), message)) {
            send(socket, error(request.id, BadParams, message));
            return;
        }
        send(socket, result(request.id, QJsonObject{{QStringLiteral("tracking"),
                                                     _backend->state().value(QStringLiteral("tracking"))}}));
        return;
    }

    if (method == QLatin1String("tracking.log")) {
        qint64 count = 0;
        const QJsonValue given = params.value(QStringLiteral("count"));
        if (!given.isUndefined() && !given.isNull() && !wholeNumber(given, 1, kMaxLogEntries, count)) {
            send(socket,
                 error(request.id, BadParams,
                       QStringLiteral("\"count\" must be a whole number of 1 to %1").arg(kMaxLogEntries)));
            return;
        }
        send(socket, result(request.id, QJsonObject{{QStringLiteral("decisions"),
                                                     _backend->trackingLog(static_cast<int>(count))}}));
        return;
    }

    if (method == QLatin1String("picture.start")) {
        PictureRequest picture;
        if (!pictureParams(params, picture, message)) {
            send(socket, error(request.id, BadParams, message));
            return;
        }
        // The camera is settled now: a client that wants the panel's next camera asks again.
        const QString camera = _backend->commandCamera(picture.camera);
        if (camera.isEmpty()) {
            send(socket, error(request.id, NoCameraConnected,
                               picture.camera.isEmpty()
                                   ? QStringLiteral("no camera connected")
                                   : QStringLiteral("camera not connected: %1").arg(picture.camera)));
            return;
        }
        Client* client = find(socket);
        client->pictureCamera = camera;
        client->pictureWidth = picture.width;
        updatePictureDemand();
        send(socket, result(request.id, QJsonObject{{QStringLiteral("camera"), camera},
                                                    {QStringLiteral("width"), picture.width}}));
        return;
    }
    if (method == QLatin1String("picture.stop")) {
        find(socket)->pictureWidth = 0;
        updatePictureDemand();
        send(socket, result(request.id, QJsonObject{}));
        return;
    }

    CameraAction action;
    QString problem;
    if (!cameraAction(method, params, action, problem)) {
        if (problem.isEmpty())
            send(socket,
                 error(request.id, UnknownMethod, QStringLiteral("unknown method \"%1\"").arg(method)));
        else
            send(socket, error(request.id, BadParams, problem));
        return;
    }
    const QString camera = _backend->commandCamera(action.camera);
    if (camera.isEmpty()) {
        send(socket,
             error(request.id, NoCameraConnected,
                   action.camera.isEmpty() ? QStringLiteral("no camera connected")
                                           : QStringLiteral("camera not connected: %1").arg(action.camera)));
        return;
    }
    runCameraAction(socket, action, camera);
    send(socket, result(request.id, QJsonObject{}));
}

ControlApiServer::Motion* ControlApiServer::motionFor(const QString& camera, CameraAction::Axis axis) {
    if (axis == CameraAction::None)
        return nullptr;
    for (const std::unique_ptr<Motion>& motion : _motions) {
        if (motion->axis == axis && motion->camera.compare(camera, Qt::CaseInsensitive) == 0)
            return motion.get();
    }
    auto made = std::make_unique<Motion>();
    Motion* motion = made.get();
    motion->camera = camera;
    motion->axis = axis;
    motion->timer = new QTimer(this);
    motion->timer->setSingleShot(true);
    connect(motion->timer, &QTimer::timeout, this, [this, motion] { endMotion(*motion, true); });
    _motions.push_back(std::move(made));
    return motion;
}

void ControlApiServer::endMotion(Motion& motion, bool sendStop) {
    motion.timer->stop();
    const bool wasRunning = motion.running;
    motion.running = false;
    motion.owner = nullptr;
    // A camera that has gone hears nothing.
    if (sendStop && wasRunning && !_backend->commandCamera(motion.camera).isEmpty())
        _backend->sendCameraCommand(motion.stopId, motion.stopValue, motion.camera);
}

void ControlApiServer::runCameraAction(QWebSocket* socket, const CameraAction& action,
                                       const QString& camera) {
    Motion* motion = motionFor(camera, action.axis);
    // Whatever this axis of this camera did before is replaced by this command (a stop, a
    // home, a new direction): no timer of an earlier movement may stop this one.
    if (motion)
        endMotion(*motion, false);
    _backend->sendCameraCommand(action.commandId, action.value, camera);
    if (motion && action.stopId >= 0) {
        motion->owner = socket;
        motion->stopId = action.stopId;
        motion->stopValue = action.stopValue;
        motion->running = true;
        if (action.ms > 0)
            motion->timer->start(action.ms);
    }
}
