#include "ControlApiServer.h"

#include <QDebug>
#include <QJsonArray>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketCorsAuthenticator>
#include <QWebSocketServer>

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
    if (!isLoopback() && token.size() < kMinTokenLength)
        return QStringLiteral("listening on %1 needs a token of at least %2 characters")
            .arg(address)
            .arg(kMinTokenLength);
    return QString();
}

bool ControlApiSettings::operator==(const ControlApiSettings& other) const {
    return enabled == other.enabled && address == other.address && port == other.port && token == other.token;
}

// ---- server -----------------------------------------------------------------------------------

ControlApiServer::ControlApiServer(ControlApiBackend* backend, QObject* parent)
    : QObject(parent), _backend(backend), _status(QStringLiteral("Off")) {
    for (Motion* motion : {&_panTilt, &_zoom, &_focus}) {
        motion->timer = new QTimer(this);
        motion->timer->setSingleShot(true);
        connect(motion->timer, &QTimer::timeout, this, [this, motion] { endMotion(*motion, true); });
    }
}

ControlApiServer::~ControlApiServer() {
    stopListening();
}

bool ControlApiServer::isListening() const {
    return _server && _server->isListening();
}

quint16 ControlApiServer::serverPort() const {
    return isListening() ? _server->serverPort() : 0;
}

void ControlApiServer::stopListening() {
    // Clients first: each one's movements stop as it goes.
    const QList<Client> clients = _clients;
    for (const Client& client : clients) {
        client.socket->disconnect(this);
        onGone(client.socket);
        connect(client.socket, &QWebSocket::disconnected, client.socket, &QObject::deleteLater);
        client.socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("control interface off"));
    }
    if (_server) {
        _server->close();
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
        _server = new QWebSocketServer(QStringLiteral("VantorReda"), QWebSocketServer::NonSecureMode, this);
        connect(_server, &QWebSocketServer::newConnection, this, &ControlApiServer::onNewConnection);
        connect(_server, &QWebSocketServer::originAuthenticationRequired, this,
                &ControlApiServer::onOriginCheck);
        QHostAddress host(settings.address);
        // "Any" means both address families.
        if (host == QHostAddress(QHostAddress::AnyIPv4) || host == QHostAddress(QHostAddress::AnyIPv6))
            host = QHostAddress(QHostAddress::Any);
        if (_server->listen(host, static_cast<quint16>(settings.port))) {
            _status = QStringLiteral("Listening on %1:%2").arg(settings.address).arg(_server->serverPort());
        } else {
            _status = QStringLiteral("Cannot listen on %1:%2: %3")
                          .arg(settings.address)
                          .arg(settings.port)
                          .arg(_server->errorString());
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
    // A browser sends Origin; scripts and room controllers do not. Without a token a page the
    // user happens to visit could reach a loopback server, so browsers need the token.
    const bool allowed = authenticator->origin().isEmpty() || !_settings.token.isEmpty();
    if (!allowed)
        qDebug() << "ControlApiServer::onOriginCheck"
                 << "refused origin" << authenticator->origin();
    authenticator->setAllowed(allowed);
}

void ControlApiServer::onNewConnection() {
    while (QWebSocket* socket = _server ? _server->nextPendingConnection() : nullptr) {
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(static_cast<quint64>(kMaxMessageBytes));
        socket->setMaxAllowedIncomingFrameSize(static_cast<quint64>(kMaxMessageBytes));
        connect(socket, &QWebSocket::disconnected, this, [this, socket] {
            onGone(socket);
            socket->deleteLater();
        });
        if (_clients.size() >= kMaxClients) {
            qDebug() << "ControlApiServer::onNewConnection"
                     << "refused: too many clients" << socket->peerAddress();
            // Not a client: no place taken, no events; it only hears why.
            socket->disconnect(this);
            connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
            socket->sendTextMessage(
                QString::fromUtf8(error(QJsonValue(), TooManyClients,
                                        QStringLiteral("too many clients (at most %1)").arg(kMaxClients))));
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("too many clients"));
            continue;
        }
        Client client;
        client.socket = socket;
        client.authenticated = _settings.token.isEmpty();
        if (!client.authenticated) {
            client.authTimer = new QTimer(socket);
            client.authTimer->setSingleShot(true);
            connect(client.authTimer, &QTimer::timeout, this, [this, socket] {
                refuse(socket, NotAuthenticated, QStringLiteral("no authentication in time"));
            });
            client.authTimer->start(_authTimeoutMs);
        }
        _clients.append(client);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString& text) { onText(socket, text); });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [this, socket] { onBinary(socket); });
        qDebug() << "ControlApiServer::onNewConnection" << socket->peerAddress()
                 << "clients:" << _clients.size();
    }
}

ControlApiServer::Client* ControlApiServer::find(QWebSocket* socket) {
    for (Client& client : _clients) {
        if (client.socket == socket)
            return &client;
    }
    return nullptr;
}

void ControlApiServer::onGone(QWebSocket* socket) {
    const qsizetype before = _clients.size();
    _clients.erase(std::remove_if(_clients.begin(), _clients.end(),
                                  [socket](const Client& c) { return c.socket == socket; }),
                   _clients.end());
    if (_clients.size() == before)
        return;
    // A client that went away while it moved the camera would leave it moving.
    for (Motion* motion : {&_panTilt, &_zoom, &_focus}) {
        if (motion->running && motion->owner == socket)
            endMotion(*motion, true);
    }
    qDebug() << "ControlApiServer::onGone"
             << "clients:" << _clients.size();
}

void ControlApiServer::send(QWebSocket* socket, const QByteArray& text) {
    if (socket->bytesToWrite() > kMaxPendingBytes) {
        qDebug() << "ControlApiServer::send"
                 << "client does not read; closed" << socket->peerAddress();
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("not reading"));
        return;
    }
    socket->sendTextMessage(QString::fromUtf8(text));
}

void ControlApiServer::refuse(QWebSocket* socket, int code, const QString& message) {
    send(socket, error(QJsonValue(), code, message));
    if (Client* client = find(socket))
        client->authenticated = false;  // nothing more reaches it while it closes
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated, message.left(100));
}

void ControlApiServer::broadcast(const QString& name, const QJsonObject& data) {
    const QByteArray text = ControlApi::event(name, data);
    const QList<Client> clients = _clients;
    for (const Client& client : clients) {
        if (client.authenticated)
            send(client.socket, text);
    }
}

void ControlApiServer::onBinary(QWebSocket* socket) {
    Client* client = find(socket);
    if (!client)
        return;
    if (!client->authenticated) {
        refuse(socket, NotAuthenticated, QStringLiteral("not authenticated"));
        return;
    }
    send(socket, error(QJsonValue(), NotRequest, QStringLiteral("text messages only")));
}

void ControlApiServer::onText(QWebSocket* socket, const QString& text) {
    Client* client = find(socket);
    if (!client)
        return;
    const Message message = parseMessage(text.toUtf8());
    if (message.kind == Message::Auth) {
        if (_settings.token.isEmpty() || tokensEqual(message.token, _settings.token)) {
            if (!client->authenticated && client->authTimer)
                client->authTimer->stop();
            client->authenticated = true;
            send(socket, authOk());
        } else {
            qDebug() << "ControlApiServer::onText"
                     << "wrong token from" << socket->peerAddress();
            refuse(socket, NotAuthenticated, QStringLiteral("wrong token"));
        }
        return;
    }
    if (!client->authenticated) {
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
    int ms = 0;
    if (action.stopId >= 0 && !durationMs(params, ms, problem)) {
        send(socket, error(request.id, BadParams, problem));
        return;
    }
    if (!_backend->isCameraConnected()) {
        send(socket, error(request.id, NoCameraConnected, QStringLiteral("no camera connected")));
        return;
    }
    runCameraAction(socket, action, ms);
    send(socket, result(request.id, QJsonObject{}));
}

ControlApiServer::Motion* ControlApiServer::motionFor(CameraAction::Axis axis) {
    switch (axis) {
        case CameraAction::PanTilt:
            return &_panTilt;
        case CameraAction::Zoom:
            return &_zoom;
        case CameraAction::Focus:
            return &_focus;
        default:
            return nullptr;
    }
}

void ControlApiServer::endMotion(Motion& motion, bool sendStop) {
    motion.timer->stop();
    const bool wasRunning = motion.running;
    motion.running = false;
    motion.owner = nullptr;
    if (sendStop && wasRunning && _backend->isCameraConnected())
        _backend->sendCameraCommand(motion.stopId, motion.stopValue);
}

void ControlApiServer::runCameraAction(QWebSocket* socket, const CameraAction& action, int ms) {
    Motion* motion = motionFor(action.axis);
    // Whatever this axis did before is replaced by this command (a stop, a home, a new
    // direction): no timer of an earlier movement may stop this one.
    if (motion)
        endMotion(*motion, false);
    _backend->sendCameraCommand(action.commandId, action.value);
    if (motion && action.stopId >= 0) {
        motion->owner = socket;
        motion->stopId = action.stopId;
        motion->stopValue = action.stopValue;
        motion->running = true;
        if (ms > 0)
            motion->timer->start(ms);
    }
}
