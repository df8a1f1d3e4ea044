#pragma once

// Fake microphone arrays for the page tests: real servers on 127.0.0.1 (any free port) that
// record what the page sends and send what a test scripts. They run on the test's thread;
// the kernel completes a connection before the server accepts it, so the page's blocking
// connect wait is not a problem.

#include <QCryptographicHash>
#include <QHostAddress>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

class FakeTcpArray {
public:
    FakeTcpArray() {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                client = socket;
                ++connections;
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] {
                    const QByteArray bytes = socket->readAll();
                    received += bytes;
                    answerRequests(bytes);
                });
                QObject::connect(socket, &QTcpSocket::disconnected, [this] { ++disconnections; });
            }
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    int port() const { return server.serverPort(); }
    bool hasClient() const { return client && client->state() == QAbstractSocket::ConnectedState; }

    void send(const QByteArray& bytes) {
        if (!client)
            return;
        client->write(bytes);
        client->flush();
    }
    // The array goes away: the page sees the link drop.
    void dropClient() {
        if (client)
            client->disconnectFromHost();
    }

    // Makes the fake answer like a real array: every request (the bytes up to and including
    // `terminator`) is handed to `answer`, and what it returns goes out in one write.
    void respond(char terminator, std::function<QByteArray(const QByteArray& request)> answer) {
        requestEnd = terminator;
        answerer = std::move(answer);
    }

    QTcpServer server;
    QPointer<QTcpSocket> client;
    QByteArray received;
    int connections = 0;
    int disconnections = 0;

private:
    void answerRequests(const QByteArray& bytes) {
        if (!answerer)
            return;
        pendingRequest += bytes;
        qsizetype end;
        while ((end = pendingRequest.indexOf(requestEnd)) >= 0) {
            const QByteArray request = pendingRequest.left(end + 1);
            pendingRequest.remove(0, end + 1);
            const QByteArray reply = answerer(request);
            if (!reply.isEmpty())
                send(reply);
        }
    }

    char requestEnd = '\n';
    std::function<QByteArray(const QByteArray&)> answerer;
    QByteArray pendingRequest;
};

class FakeNurevaArray {
public:
    FakeNurevaArray() : server(QStringLiteral("fake-hdl300"), QWebSocketServer::NonSecureMode) {
        QObject::connect(&server, &QWebSocketServer::newConnection, [this] {
            while (QWebSocket* socket = server.nextPendingConnection()) {
                socket->setParent(&server);  // the caller owns accepted sockets
                client = socket;
                ++connections;
                QObject::connect(socket, &QWebSocket::textMessageReceived,
                                 [this](const QString& message) { messages.append(message); });
                QObject::connect(socket, &QWebSocket::disconnected, [this] { ++disconnections; });
            }
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    int port() const { return server.serverPort(); }
    bool hasClient() const { return client && client->state() == QAbstractSocket::ConnectedState; }
    void send(const QString& message) {
        if (client)
            client->sendTextMessage(message);
    }
    void dropClient() {
        if (client)
            client->abort();
    }

    QWebSocketServer server;
    QPointer<QWebSocket> client;
    QStringList messages;
    int connections = 0;
    int disconnections = 0;
};

// A 127.0.0.1 listener that never accepts, with its accept queue filled: the kernel then
// drops every further connection request, so a connect to it neither succeeds nor fails
// (it would retry for minutes). Stands for an unreachable array without leaving loopback.
class StalledListener {
public:
    ~StalledListener() {
        for (int fd : fillers) ::close(fd);
        if (listener >= 0)
            ::close(listener);
    }

    // True once a connection to the listener hangs.
    bool start() {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listener < 0)
            return false;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::listen(listener, 0) != 0 ||
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return false;
        listenPort = ntohs(address.sin_port);
        // Fill the queue until a connection no longer completes.
        for (int attempt = 0; attempt < 16; ++attempt) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0)
                return false;
            fillers.push_back(fd);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                continue;
            if (errno != EINPROGRESS)
                return false;
            pollfd waiting{fd, POLLOUT, 0};
            if (::poll(&waiting, 1, 300) == 0)
                return true;  // this one hangs: so will the next
        }
        return false;
    }
    int port() const { return listenPort; }

private:
    int listener = -1;
    int listenPort = 0;
    std::vector<int> fillers;
};

// A WebSocket array written on a plain TCP server, so that it can do what a real server
// library never does: leave ping frames unanswered (answerPings = false), as an array that
// has stopped working behind a live connection would. It completes the handshake, records
// the text messages and the pings it receives, and sends text messages when told.
class FakeRawWebSocketArray {
public:
    FakeRawWebSocketArray() {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                client = socket;
                handshakeDone = false;
                input.clear();
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] {
                    input += socket->readAll();
                    serve();
                });
            }
        });
    }

    bool listen() { return server.listen(QHostAddress::LocalHost, 0); }
    int port() const { return server.serverPort(); }
    bool hasClient() const {
        return client && client->state() == QAbstractSocket::ConnectedState && handshakeDone;
    }

    void sendText(const QByteArray& text) { sendFrame(0x1, text); }

    QTcpServer server;
    QPointer<QTcpSocket> client;
    bool answerPings = true;
    int pings = 0;
    QStringList messages;

private:
    void serve() {
        if (!handshakeDone) {
            const qsizetype end = input.indexOf("\r\n\r\n");
            if (end < 0)
                return;
            QByteArray key;
            for (const QByteArray& line : input.left(end).split('\n')) {
                if (line.toLower().startsWith("sec-websocket-key:"))
                    key = line.mid(line.indexOf(':') + 1).trimmed();
            }
            input.remove(0, end + 4);
            const QByteArray accept = QCryptographicHash::hash(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11",
                                                               QCryptographicHash::Sha1)
                                          .toBase64();
            client->write(
                "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                "Sec-WebSocket-Accept: " +
                accept + "\r\n\r\n");
            handshakeDone = true;
        }
        // Client frames: FIN and opcode, a masked length (7 bits, or 16 or 64 following), the
        // mask, the payload.
        while (input.size() >= 2) {
            const int opcode = static_cast<unsigned char>(input[0]) & 0x0f;
            quint64 length = static_cast<unsigned char>(input[1]) & 0x7f;
            qsizetype header = 2;
            if (length == 126) {
                if (input.size() < 4)
                    return;
                length = (quint64(static_cast<unsigned char>(input[2])) << 8) |
                         static_cast<unsigned char>(input[3]);
                header = 4;
            } else if (length == 127) {
                if (input.size() < 10)
                    return;
                length = 0;
                for (int i = 2; i < 10; ++i) length = (length << 8) | static_cast<unsigned char>(input[i]);
                header = 10;
            }
            if (quint64(input.size()) < header + 4 + length)
                return;
            const QByteArray mask = input.mid(header, 4);
            QByteArray payload = input.mid(header + 4, qsizetype(length));
            for (qsizetype i = 0; i < payload.size(); ++i) payload[i] = char(payload[i] ^ mask[i % 4]);
            input.remove(0, header + 4 + qsizetype(length));
            if (opcode == 0x1) {
                messages.append(QString::fromUtf8(payload));
            } else if (opcode == 0x9) {
                ++pings;
                if (answerPings)
                    sendFrame(0xA, payload);
            }
        }
    }

    void sendFrame(int opcode, const QByteArray& payload) {
        if (!client)
            return;
        QByteArray frame;
        frame.append(char(0x80 | opcode));
        if (payload.size() < 126) {
            frame.append(char(payload.size()));
        } else {
            frame.append(char(126));
            frame.append(char((payload.size() >> 8) & 0xff));
            frame.append(char(payload.size() & 0xff));
        }
        frame.append(payload);
        client->write(frame);
        client->flush();
    }

    bool handshakeDone = false;
    QByteArray input;
};
