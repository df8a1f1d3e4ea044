#pragma once

// A microphone array's TCP side: a real server on a loopback address that records what the
// application sends and sends what a test or the scenario scripts. Runs on the thread that
// owns it (a Qt event loop); the kernel completes a connection before the server accepts
// it, so a client's blocking connect wait is not a problem.

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

class SimTcpArray {
public:
    SimTcpArray() {
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                client = socket;
                ++connections;
                QObject::connect(socket, &QTcpSocket::readyRead, [this, socket] {
                    const QByteArray bytes = socket->readAll();
                    received += bytes;
                    // A long-running simulator keeps only the latest bytes.
                    if (maxReceived > 0 && received.size() > maxReceived)
                        received.remove(0, received.size() - maxReceived);
                    answerRequests(bytes);
                });
                QObject::connect(socket, &QTcpSocket::disconnected, [this] { ++disconnections; });
            }
        });
    }

    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0) {
        return server.listen(address, port);
    }
    int port() const { return server.serverPort(); }
    bool hasClient() const { return client && client->state() == QAbstractSocket::ConnectedState; }

    // With `splitWrites`, each send goes out as two writes (the cut in the middle), as arrays
    // whose replies straddle TCP segments do; otherwise in one.
    void send(const QByteArray& bytes) {
        if (!client)
            return;
        if (splitWrites && bytes.size() > 1) {
            client->write(bytes.left(bytes.size() / 2));
            client->flush();
            client->write(bytes.mid(bytes.size() / 2));
        } else {
            client->write(bytes);
        }
        client->flush();
    }
    // The array goes away: the page sees the link drop.
    void dropClient() {
        if (client)
            client->disconnectFromHost();
    }

    // Answers like a real array: every request (the bytes up to and including `terminator`)
    // is handed to `answer`, and what it returns goes out in one send. Requests that never
    // end are held only up to a bound, then dropped (the array would reset its parser).
    void respond(char terminator, std::function<QByteArray(const QByteArray& request)> answer) {
        respond(QByteArray(1, terminator), std::move(answer));
    }
    void respond(const QByteArray& terminator, std::function<QByteArray(const QByteArray& request)> answer) {
        requestEnd = terminator;
        answerer = std::move(answer);
    }

    QTcpServer server;
    QPointer<QTcpSocket> client;
    QByteArray received;
    int connections = 0;
    int disconnections = 0;
    bool splitWrites = false;
    qsizetype maxReceived = 0;  // > 0: `received` keeps only the last this many bytes
    static constexpr qsizetype kMaxPendingRequest = 64 * 1024;

private:
    void answerRequests(const QByteArray& bytes) {
        if (!answerer)
            return;
        pendingRequest += bytes;
        qsizetype end;
        while ((end = pendingRequest.indexOf(requestEnd)) >= 0) {
            const QByteArray request = pendingRequest.left(end + requestEnd.size());
            pendingRequest.remove(0, end + requestEnd.size());
            const QByteArray reply = answerer(request);
            if (!reply.isEmpty())
                send(reply);
        }
        if (pendingRequest.size() > kMaxPendingRequest)
            pendingRequest.clear();
    }

    QByteArray requestEnd = "\n";
    std::function<QByteArray(const QByteArray&)> answerer;
    QByteArray pendingRequest;
};
