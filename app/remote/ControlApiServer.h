#pragma once

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWebSocketProtocol>

#include <memory>
#include <vector>

#include "ControlApiProtocol.h"
#include "HttpRequestReader.h"

class QTcpServer;
class QTcpSocket;
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
    // Why these settings cannot be served (empty: they can): an address that is none, a token
    // shorter than kMinTokenLength characters, or a non-loopback address without a token.
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
    // The connected camera a camera command goes to, as the camera list spells its location
    // identity: the one at `requested` (any case), or the camera the PTZ panel steers when
    // `requested` is empty. Empty when that camera is not connected (or commands cannot reach
    // any camera yet).
    virtual QString commandCamera(const QString& requested) = 0;
    // 0, or an error code (NoSuchCamera) with `message`.
    virtual int connectCamera(const QString& location, QString& message) = 0;
    // An empty location: the default camera. Other connected cameras stay.
    virtual int disconnectCamera(const QString& location, QString& message) = 0;
    // One command for the camera command worker, on behalf of a client, for `camera` (an
    // answer of commandCamera).
    virtual void sendCameraCommand(int commandId, int value, const QString& camera) = 0;
    // Tracking switch and pause; false with `message` when tracking cannot do that.
    virtual bool setTracking(bool on, QString& message) = 0;
    virtual bool pauseTracking(int seconds, QString& message) = 0;
    // The tracking's decisions, newest first, at most `count` (all kept when 0).
    virtual QJsonArray trackingLog(int count) = 0;

    // One camera at one width that some client wants pictures of.
    struct PictureWant {
        QString camera;  // as commandCamera answered it
        int width = 0;
        bool operator==(const PictureWant& other) const {
            return width == other.width && camera.compare(other.camera, Qt::CaseInsensitive) == 0;
        }
    };
    // Every picture the clients want now (each camera and width once); empty: none. The
    // backend hands the pictures to ControlApiServer::sendPicture.
    virtual void setPictureDemand(const QList<PictureWant>& wants) { (void)wants; }
};

// The server of the control interface: its WebSocket and its page, on one port.
//
// Every connection starts as a visitor: the server peeks at its request head (without taking
// it off the socket), at most HttpRequestReader::kMaxHeadBytes of it and for at most
// kHeadTimeoutMs, so a client that sends half a head is dropped by its deadline. A WebSocket
// upgrade is handed to the WebSocket server with the head still unread; any other request is
// answered here (the page, or an HTTP error) and its connection closed. Visitors have
// kMaxVisitors places; a new one that finds them taken pushes out the oldest.
//
// Whatever the request, its Host must name this server: the listening address, the address
// the connection came in on, or "localhost" (any port: an SSH tunnel moves it). Any other name
// is a page whose name an attacker's DNS turned into this machine's address (DNS rebinding),
// and is refused before anything is served.
//
// A client with a token set must send {"auth": TOKEN} first; anything else, or a wrong
// token, is answered with error 3 and the connection closes, as does a client that has not
// authenticated within kAuthTimeoutMs. Without a token (loopback only) every client is
// authenticated from its first byte. A handshake that carries an Origin header (a web page in
// a browser) is refused unless that origin is the page's own, "http://" and the Host it was
// served under: any other site the user visits could otherwise drive the camera, or take
// places and try tokens. The page itself then follows the token rule like any client.
//
// Places: kMaxClients authenticated clients; a client that authenticates when they are taken
// gets error 4 and is closed. Connections still to authenticate, and connections being
// closed, share kMaxWaitingClients places of their own; a new connection that finds them
// taken pushes out the oldest (a closing one first). So connections that never authenticate
// cannot keep out the client that knows the token.
//
// Every connection the server closes is dropped (aborted and freed) kCloseTimeoutMs later if
// its peer has not answered the close by then. Every connection has an output budget: what
// is queued for it may not grow past kMaxPendingBytes once authenticated, or
// kMaxWaitingPendingBytes before. Output grows with replies and events, and also with the
// pongs the socket sends by itself to a client's pings, which the application never sees;
// so the budget is checked on every send, on every frame received and on a short timer while
// anything is queued. A connection over its budget is dropped at once. A message over 64 KiB
// closes its connection.
//
// Camera commands name their camera ("camera", a location identity) or go to the camera the
// PTZ panel steers; the camera is settled when the request arrives, so the stop of a movement
// reaches the camera it started on whatever the panel steers by then.
//
// Movements (pan/tilt, zoom, focus) belong to the client that started them: a movement with
// "ms" stops when that time is up, and a client that goes away, or that the server closes,
// stops the movements it still owns. A later movement of the same axis of the same camera, by
// any client, takes it over.
//
// Pictures: a client that asked ("picture.start") gets each picture the backend hands over
// for its camera and width as one binary message, unless its previous picture is still
// queued: then it skips this one (newest only). So at most one picture is queued per client,
// and a picture still queued does not count toward the output budget. "picture.stop", a
// close or a disconnect ends its pictures.
//
// Threading: interface thread only (sockets, timers and the backend all live there).
class ControlApiServer : public QObject {
    Q_OBJECT

public:
    // Output budget of an authenticated client: beyond it the client counts as not reading.
    static constexpr qint64 kMaxPendingBytes = 4 * 1024 * 1024;
    // Output budget of a connection still to authenticate: a few replies and the pongs to a few
    // pings, not a pile of them.
    static constexpr qint64 kMaxWaitingPendingBytes = 64 * 1024;
    // A connection whose request head is not complete by then is dropped.
    static constexpr int kHeadTimeoutMs = 5000;
    // Connections still sending their head, and those being answered over plain HTTP.
    static constexpr int kMaxVisitors = 16;

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
    // Authenticated clients: the places kMaxClients counts.
    int clientCount() const;
    // Connections still to authenticate.
    int waitingCount() const;
    // Every WebSocket connection still held, closing ones included.
    int connectionCount() const { return static_cast<int>(_clients.size()); }
    // Connections still sending their head or being answered over plain HTTP.
    int visitorCount() const { return static_cast<int>(_visitors.size()); }

    // The deadlines and budgets (kAuthTimeoutMs, kCloseTimeoutMs, kMaxPendingBytes,
    // kMaxWaitingPendingBytes); the tests shorten or widen them.
    void setAuthTimeoutMs(int ms) { _authTimeoutMs = ms; }
    void setCloseTimeoutMs(int ms) { _closeTimeoutMs = ms; }
    void setHeadTimeoutMs(int ms) { _headTimeoutMs = ms; }
    void setOutputBudgets(qint64 authenticatedBytes, qint64 waitingBytes);

    // Sends an event to every authenticated client.
    void broadcast(const QString& name, const QJsonObject& data);
    // One picture of `camera` at `width` for the clients that asked for it.
    void sendPicture(const QString& camera, int width, const QByteArray& jpeg);
    // What the clients want now (as the backend last heard it).
    QList<ControlApiBackend::PictureWant> pictureDemand() const { return _pictureDemand; }

signals:
    void signal_StatusChanged(QString status);

private:
    struct Client {
        enum State { Waiting, Served, Closing };
        QWebSocket* socket = nullptr;  // owned (deleteLater when it goes)
        State state = Waiting;
        QTimer* authTimer = nullptr;  // child of the socket; Waiting only
        qint64 budgetBytes = 0;       // most output that may be queued for it
        // Its pictures (pictureWidth 0: none asked).
        QString pictureCamera;
        int pictureWidth = 0;
        // The last picture sent may still be queued: it is while more is queued than what
        // was queued after it (pictureTail; pongs the socket adds by itself make it look
        // queued for longer, never shorter).
        bool pictureQueued = false;
        qint64 pictureBytes = 0;
        qint64 pictureTail = 0;
    };
    // One axis of one camera.
    struct Motion {
        QString camera;  // as commandCamera answered it
        ControlApi::CameraAction::Axis axis = ControlApi::CameraAction::None;
        QPointer<QWebSocket> owner;
        QTimer* timer = nullptr;  // child of this server; single shot
        int stopId = -1;
        int stopValue = 0;
        bool running = false;
    };

    // A connection before its request is known (or while its HTTP answer goes out).
    struct Visitor {
        QTcpSocket* socket = nullptr;  // owned (deleteLater when it goes)
        QTimer* deadline = nullptr;    // child of the socket
        bool answered = false;         // its answer is written; what it sends is discarded
    };

    void stopListening();
    void onTcpConnection();
    void onVisitorData(QTcpSocket* socket);
    void onVisitorGone(QTcpSocket* socket);
    // Routes a whole head: refuses a foreign Host or Origin, hands an upgrade over, answers
    // the rest.
    void route(QTcpSocket* socket, const HttpRequest& request);
    // Writes the answer, then closes the sending side once it is out and reads whatever the
    // peer still sends until it closes (a close with unread input would reset the
    // connection, and the peer could lose the answer); the deadline ends it either way.
    void answer(QTcpSocket* socket, const QByteArray& bytes);
    void finishAnswer(QTcpSocket* socket);
    void dropVisitor(QTcpSocket* socket, const char* why);
    Visitor* findVisitor(QTcpSocket* socket);
    void makeVisitorRoom();
    // Host rule: localhost, or an address literal that is the listening one or `local`.
    bool isOwnHostName(const QString& name, const QHostAddress& local) const;
    bool isPageOrigin(const QString& origin) const;
    void onNewConnection();
    void onOriginCheck(QWebSocketCorsAuthenticator* authenticator);
    void onText(QWebSocket* socket, const QString& text);
    void onBinary(QWebSocket* socket);
    void onGone(QWebSocket* socket);
    void send(QWebSocket* socket, const QByteArray& text);
    // The client's last picture is still queued (and clears the mark once it is not).
    bool pictureStillQueued(Client& client);
    // Tells the backend when what the clients want has changed.
    void updatePictureDemand();
    void refuse(QWebSocket* socket, int code, const QString& message);
    // Starts the closing handshake; the connection is dropped if it is still there after
    // _closeTimeoutMs.
    void closeClient(QWebSocket* socket, QWebSocketProtocol::CloseCode code, const QString& reason);
    // Aborts the connection and frees it at once.
    void drop(QWebSocket* socket, const char* why);
    // Makes room for one more connection among the waiting places.
    void makeWaitingRoom();
    int waitingPlacesTaken() const;
    // true when the client's queued output is within its budget; drops it otherwise.
    bool checkOutput(QWebSocket* socket);
    void checkAllOutput();
    void watchOutput();
    Client* find(QWebSocket* socket);
    void handleRequest(QWebSocket* socket, const ControlApi::Message& request);
    void runCameraAction(QWebSocket* socket, const ControlApi::CameraAction& action, const QString& camera);
    void endMotion(Motion& motion, bool sendStop);
    void endMotionsOf(QWebSocket* socket);
    // That camera's motion of that axis, made on first use; null for no axis.
    Motion* motionFor(const QString& camera, ControlApi::CameraAction::Axis axis);

    ControlApiBackend* _backend;  // not owned; outlives the server
    ControlApiSettings _settings;
    QTcpServer* _listener = nullptr;      // child while listening
    QWebSocketServer* _server = nullptr;  // child while listening; takes handed-over sockets
    QList<Client> _clients;               // oldest first
    QList<Visitor> _visitors;             // oldest first
    HttpRequestReader _reader;
    QTimer* _outputTimer = nullptr;       // child; runs while any output is queued
    // Entries are kept once made (their timers are reused): at most three per camera ever
    // connected, since only a connected camera gets one.
    std::vector<std::unique_ptr<Motion>> _motions;
    QList<ControlApiBackend::PictureWant> _pictureDemand;  // as the backend last heard it
    QString _status;
    int _authTimeoutMs = ControlApi::kAuthTimeoutMs;
    int _closeTimeoutMs = ControlApi::kCloseTimeoutMs;
    int _headTimeoutMs = kHeadTimeoutMs;
    qint64 _servedBudgetBytes = kMaxPendingBytes;
    qint64 _waitingBudgetBytes = kMaxWaitingPendingBytes;
};
