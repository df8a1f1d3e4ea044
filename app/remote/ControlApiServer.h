#pragma once

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

#include "ControlApiProtocol.h"

class QTimer;
class QWebSocket;
class QWebSocketServer;
class QWebSocketCorsAuthenticator;

// The "ControlApi" settings: off by default, loopback, port 8940, no token.
struct ControlApiSettings {
    static constexpr int kDefaultPort = 8940;

    bool enabled = false;
    QString address = QStringLiteral("127.0.0.1");
    int port = kDefaultPort;
    QString token;

    // Missing or mistyped members keep their defaults; a port outside 1-65535 is the default.
    static ControlApiSettings fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    bool isLoopback() const;
    // Why these settings cannot be served (empty: they can): an address that is none, or a
    // non-loopback address without a token of kMinTokenLength characters.
    QString problem() const;
    bool operator==(const ControlApiSettings& other) const;
};

// What the control interface acts on. The application's implementation reaches the pages and
// the camera command worker; the tests put a recorder here.
class ControlApiBackend {
public:
    virtual ~ControlApiBackend() = default;
    // The answer to "state".
    virtual QJsonObject state() = 0;
    virtual bool isCameraConnected() = 0;
    // 0, or an error code (NoSuchCamera) with `message`.
    virtual int connectCamera(const QString& location, QString& message) = 0;
    // An empty location: whichever camera is connected.
    virtual int disconnectCamera(const QString& location, QString& message) = 0;
    // One command for the camera command worker, on behalf of a client.
    virtual void sendCameraCommand(int commandId, int value) = 0;
    // Tracking switch and pause; false with `message` when tracking cannot do that.
    virtual bool setTracking(bool on, QString& message) = 0;
    virtual bool pauseTracking(int seconds, QString& message) = 0;
    // The tracking's decisions, newest first, at most `count` (all kept when 0).
    virtual QJsonArray trackingLog(int count) = 0;
};

// The WebSocket server of the control interface.
//
// A client with a token set must send {"auth": TOKEN} first; anything else, or a wrong
// token, is answered with error 3 and the connection closes, as does a client that has not
// authenticated within kAuthTimeoutMs. Without a token (loopback only) every client is
// authenticated from its first byte, but a handshake that carries an Origin header (a web
// page in a local browser) is refused: a page could otherwise drive the camera from any site
// the user visits. A ninth client gets error 4 and is closed; a message over 64 KiB closes
// its connection; a client that stops reading while events pile up is closed.
//
// Movements (pan/tilt, zoom, focus) belong to the client that started them: a movement with
// "ms" stops when that time is up, and a client that goes away stops the movements it still
// owns. A later movement of the same axis, by any client, takes it over.
//
// Threading: interface thread only (sockets, timers and the backend all live there).
class ControlApiServer : public QObject {
    Q_OBJECT

public:
    // Pending output beyond which a client counts as not reading.
    static constexpr qint64 kMaxPendingBytes = 4 * 1024 * 1024;

    explicit ControlApiServer(ControlApiBackend* backend, QObject* parent = nullptr);
    ~ControlApiServer() override;

    // Closes every client and the listening socket, then listens again when enabled and the
    // settings can be served. true when the interface now runs as asked (off counts).
    bool apply(const ControlApiSettings& settings);
    const ControlApiSettings& settings() const { return _settings; }

    bool isListening() const;
    // The port actually listened on (a setting of 0 picks a free one: the tests).
    quint16 serverPort() const;
    // "Off", "Listening on ADDRESS:PORT" or why it does not listen.
    QString statusText() const { return _status; }
    int clientCount() const { return _clients.size(); }

    // How long a new client may take to authenticate (kAuthTimeoutMs; tests shorten it).
    void setAuthTimeoutMs(int ms) { _authTimeoutMs = ms; }

    // Sends an event to every authenticated client.
    void broadcast(const QString& name, const QJsonObject& data);

signals:
    void signal_StatusChanged(QString status);

private:
    struct Client {
        QWebSocket* socket = nullptr;  // owned (deleteLater when it goes)
        bool authenticated = false;
        QTimer* authTimer = nullptr;  // child of the socket
    };
    struct Motion {
        QPointer<QWebSocket> owner;
        QTimer* timer = nullptr;  // child of this server; single shot
        int stopId = -1;
        int stopValue = 0;
        bool running = false;
    };

    void stopListening();
    void onNewConnection();
    void onOriginCheck(QWebSocketCorsAuthenticator* authenticator);
    void onText(QWebSocket* socket, const QString& text);
    void onBinary(QWebSocket* socket);
    void onGone(QWebSocket* socket);
    void send(QWebSocket* socket, const QByteArray& text);
    void refuse(QWebSocket* socket, int code, const QString& message);
    Client* find(QWebSocket* socket);
    void handleRequest(QWebSocket* socket, const ControlApi::Message& request);
    void runCameraAction(QWebSocket* socket, const ControlApi::CameraAction& action, int ms);
    void endMotion(Motion& motion, bool sendStop);
    Motion* motionFor(ControlApi::CameraAction::Axis axis);

    ControlApiBackend* _backend;  // not owned; outlives the server
    ControlApiSettings _settings;
    QWebSocketServer* _server = nullptr;  // child while listening
    QList<Client> _clients;
    Motion _panTilt;
    Motion _zoom;
    Motion _focus;
    QString _status;
    int _authTimeoutMs = ControlApi::kAuthTimeoutMs;
};
