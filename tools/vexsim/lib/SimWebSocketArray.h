#pragma once

// A WebSocket array on Qt's WebSocket server (which answers ping frames itself): records the
// text messages it receives and sends text messages when told. Runs on its owner's thread.

#include <QHostAddress>
#include <QPointer>
#include <QStringList>
#include <QWebSocket>
#include <QWebSocketServer>

#include <functional>

class SimWebSocketArray {
public:
    SimWebSocketArray() : server(QStringLiteral("fake-hdl300"), QWebSocketServer::NonSecureMode) {
        QObject::connect(&server, &QWebSocketServer::newConnection, [this] {
            while (QWebSocket* socket = server.nextPendingConnection()) {
                socket->setParent(&server);  // the caller owns accepted sockets
                client = socket;
                ++connections;
                QObject::connect(socket, &QWebSocket::textMessageReceived, [this](const QString& message) {
                    messages.append(message);
                    if (maxMessages > 0 && messages.size() > maxMessages)
                        messages.removeFirst();
                    if (onMessage)
                        onMessage(message);
                });
                QObject::connect(socket, &QWebSocket::disconnected, [this] { ++disconnections; });
            }
        });
    }

    bool listen(const QHostAddress& address = QHostAddress::LocalHost, quint16 port = 0) {
        return server.listen(address, port);
    }
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
    std::function<void(const QString&)> onMessage;  // after the message is recorded
    qsizetype maxMessages = 0;                      // > 0: only the latest are kept
    int connections = 0;
    int disconnections = 0;
};
