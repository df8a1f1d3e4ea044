#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "ViscaCamera.h"
#include "ViscaPeers.h"
#include "ViscaSession.h"

class QTcpServer;
class QTcpSocket;
class QUdpSocket;

// VISCA over IP for a set of cameras: each camera has a port pair on one address, VISCA over IP
// on the UDP port and plain VISCA (0xFF-terminated messages, no header) on the TCP port. Each
// UDP peer (address and port) and each TCP connection has a ViscaSession of its own, so one
// controller's sequence numbers and sockets never mix with another's.
//
// VISCA has no authentication: datagrams and connections from peers that `peers` does not
// allow are dropped without an answer (counted; one log line a minute at most). Every input is
// bounded: at most kMaxUdpPeers sessions per UDP port (the one heard from longest ago goes
// first), kMaxTcpClients connections per TCP port, and the TCP framer keeps at most one
// message; a datagram of any size is read whole into a bounded buffer and handled or dropped.
//
// Threading: a QObject of the thread that creates it (the application's interface thread, or
// vexctl's main thread); its sockets and sessions live there, and the cameras are called
// there. A camera must answer Done or Refused: this server does not complete Pending commands.
class ViscaServer : public QObject {
    Q_OBJECT

public:
    struct Endpoint {
        uint16_t udpPort = 52381;
        uint16_t tcpPort = 5678;
        ViscaCamera* camera = nullptr;  // not owned; outlives the server or its stop()
    };
    static constexpr int kMaxUdpPeers = 32;
    static constexpr int kMaxTcpClients = 8;
    static constexpr int kMaxDatagram = 1024;  // larger ones are truncated to this and refused
    // A client that sends and never reads its replies is closed past this much unsent.
    static constexpr qint64 kMaxUnsentBytes = 64 * 1024;

    explicit ViscaServer(QObject* parent = nullptr);
    ~ViscaServer() override;

    // Binds every endpoint's ports on `address`. false with `error` (naming the port) when one
    // cannot be bound; nothing is left bound then.
    bool start(const QHostAddress& address, const std::vector<Endpoint>& endpoints, const ViscaPeers& peers,
               QString& error);
    // Binds one more endpoint on the running server's address (a camera served for the first
    // time), leaving the others' sessions as they are. false with `error` when it cannot.
    bool addEndpoint(const Endpoint& endpoint, QString& error);
    // Closes every port and session; safe to call twice.
    void stop();
    bool isRunning() const { return _running; }

    // Datagrams and connections refused since the start (their peer was not allowed).
    int64_t dropped() const { return _dropped; }
    // Datagrams and TCP reads of allowed peers handled.
    int64_t handled() const { return _handled; }

signals:
    // One line for the log: a refused peer (at most once a minute), a port that failed.
    void logLine(QString line);

private:
    struct UdpPeer {
        QHostAddress address;
        uint16_t port = 0;
        std::unique_ptr<ViscaSession> session;
    };
    struct TcpClient {
        QTcpSocket* socket = nullptr;
        std::unique_ptr<ViscaSession> session;
    };
    struct Port {
        Endpoint endpoint;
        QUdpSocket* udp = nullptr;
        QTcpServer* tcp = nullptr;
        std::list<UdpPeer> udpPeers;  // most recently heard first
        std::list<TcpClient> tcpClients;
    };

    bool bindEndpoint(const Endpoint& endpoint, QString& error);
    void readDatagrams(Port& port);
    void acceptClients(Port& port);
    void readClient(Port& port, QTcpSocket* socket);
    bool allowed(const QHostAddress& peer);
    ViscaSession& udpSession(Port& port, const QHostAddress& address, uint16_t peerPort);

    std::list<Port> _ports;  // stable addresses: the sockets' slots hold a Port&
    QHostAddress _address;
    bool _running = false;
    ViscaPeers _peers;
    int64_t _dropped = 0;
    int64_t _handled = 0;
    int64_t _droppedSinceLine = 0;
    QElapsedTimer _sinceLine;  // invalid until the first refused peer
};
