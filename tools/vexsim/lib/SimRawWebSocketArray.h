#pragma once

#include <QCryptographicHash>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>

// A WebSocket array written on a plain TCP server, so that it can do what a real server
// library never does: leave ping frames unanswered (answerPings = false), as an array that
// has stopped working behind a live connection would. It completes the handshake, records
// the text messages and the pings it receives, and sends text messages when told.
class SimRawWebSocketArray {
public:
    SimRawWebSocketArray() {
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
