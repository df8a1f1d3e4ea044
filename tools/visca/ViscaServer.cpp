#include "ViscaServer.h"

#include <QByteArray>
#include <QTcpServer>
#include <QTcpSocket>
#include <QUdpSocket>

#include <algorithm>

namespace {
constexpr qint64 kLogIntervalMs = 60 * 1000;
constexpr qint64 kTcpReadChunk = 4096;
}  // namespace

ViscaServer::ViscaServer(QObject* parent) : QObject(parent) {}

ViscaServer::~ViscaServer() {
    stop();
}

bool ViscaServer::start(const QHostAddress& address, const std::vector<Endpoint>& endpoints,
                        const ViscaPeers& peers, QString& error) {
    stop();
    _address = address;
    _peers = peers;
    for (const Endpoint& endpoint : endpoints) {
        if (!bindEndpoint(endpoint, error)) {
            stop();
            return false;
        }
    }
    _running = true;
    return true;
}

bool ViscaServer::addEndpoint(const Endpoint& endpoint, QString& error) {
    if (!_running) {
        error = QStringLiteral("the VISCA server is not running");
        return false;
    }
    return bindEndpoint(endpoint, error);
}

bool ViscaServer::bindEndpoint(const Endpoint& endpoint, QString& error) {
    if (endpoint.camera == nullptr) {
        error = QStringLiteral("no camera for UDP port %1").arg(endpoint.udpPort);
        return false;
    }
    auto udp = new QUdpSocket(this);
    // Exclusive: another program on the port would take half the datagrams.
    if (!udp->bind(_address, endpoint.udpPort, QAbstractSocket::DontShareAddress)) {
        error = QStringLiteral("cannot listen on UDP %1 port %2: %3")
                    .arg(_address.toString())
                    .arg(endpoint.udpPort)
                    .arg(udp->errorString());
        delete udp;
        return false;
    }
    auto tcp = new QTcpServer(this);
    tcp->setMaxPendingConnections(kMaxTcpClients);
    if (!tcp->listen(_address, endpoint.tcpPort)) {
        error = QStringLiteral("cannot listen on TCP %1 port %2: %3")
                    .arg(_address.toString())
                    .arg(endpoint.tcpPort)
                    .arg(tcp->errorString());
        delete udp;
        delete tcp;
        return false;
    }
    _ports.emplace_back();
    Port& port = _ports.back();
    port.endpoint = endpoint;
    port.udp = udp;
    port.tcp = tcp;
    connect(udp, &QUdpSocket::readyRead, this, [this, &port] { readDatagrams(port); });
    connect(tcp, &QTcpServer::newConnection, this, [this, &port] { acceptClients(port); });
    return true;
}

void ViscaServer::stop() {
    for (Port& port : _ports) {
        for (TcpClient& client : port.tcpClients) {
            client.socket->disconnect(this);
            client.socket->abort();
            client.socket->deleteLater();
        }
        if (port.udp) {
            port.udp->disconnect(this);
            port.udp->close();
            port.udp->deleteLater();
        }
        if (port.tcp) {
            port.tcp->disconnect(this);
            port.tcp->close();
            port.tcp->deleteLater();
        }
    }
    _ports.clear();
    _running = false;
}

bool ViscaServer::allowed(const QHostAddress& peer) {
    // Compared on the address text: ViscaPeers reads IPv4, IPv6 and IPv4-mapped forms alike.
    QHostAddress plain = peer;
    plain.setScopeId(QString());
    if (_peers.allows(plain.toString().toStdString()))
        return true;
    ++_dropped;
    ++_droppedSinceLine;
    if (!_sinceLine.isValid() || _sinceLine.elapsed() >= kLogIntervalMs) {
        emit logLine(QStringLiteral("VISCA: refused %1 message(s) from peers not allowed, last from %2")
                         .arg(_droppedSinceLine)
                         .arg(plain.toString()));
        _droppedSinceLine = 0;
        _sinceLine.start();
    }
    return false;
}

ViscaSession& ViscaServer::udpSession(Port& port, const QHostAddress& address, uint16_t peerPort) {
    auto it = std::find_if(port.udpPeers.begin(), port.udpPeers.end(), [&](const UdpPeer& p) {
        return p.port == peerPort && p.address.isEqual(address, QHostAddress::TolerantConversion);
    });
    if (it != port.udpPeers.end()) {
        port.udpPeers.splice(port.udpPeers.begin(), port.udpPeers, it);
        return *port.udpPeers.front().session;
    }
    if (static_cast<int>(port.udpPeers.size()) >= kMaxUdpPeers)
        port.udpPeers.pop_back();  // the one heard from longest ago
    port.udpPeers.push_front(
        UdpPeer{address, peerPort,
                std::make_unique<ViscaSession>(*port.endpoint.camera, ViscaSession::Transport::Udp)});
    return *port.udpPeers.front().session;
}

void ViscaServer::readDatagrams(Port& port) {
    QUdpSocket* udp = port.udp;
    QByteArray buffer(kMaxDatagram + 1, Qt::Uninitialized);
    while (udp->hasPendingDatagrams()) {
        QHostAddress from;
        quint16 fromPort = 0;
        const qint64 size = udp->readDatagram(buffer.data(), buffer.size(), &from, &fromPort);
        if (size < 0)
            break;
        if (!allowed(from))
            continue;
        // A datagram longer than any VISCA message cannot be one: the parser refuses it on the
        // length, which the truncation keeps wrong.
        ++_handled;
        const std::vector<ViscaBytes> replies =
            udpSession(port, from, fromPort)
                .receive(reinterpret_cast<const uint8_t*>(buffer.constData()),
                         static_cast<std::size_t>(size));
        for (const ViscaBytes& reply : replies)
            udp->writeDatagram(reinterpret_cast<const char*>(reply.data()), static_cast<qint64>(reply.size()),
                               from, fromPort);
    }
}

void ViscaServer::acceptClients(Port& port) {
    while (QTcpSocket* socket = port.tcp->nextPendingConnection()) {
        if (!allowed(socket->peerAddress()) || static_cast<int>(port.tcpClients.size()) >= kMaxTcpClients) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        port.tcpClients.push_back(TcpClient{
            socket, std::make_unique<ViscaSession>(*port.endpoint.camera, ViscaSession::Transport::Tcp)});
        connect(socket, &QTcpSocket::readyRead, this, [this, &port, socket] { readClient(port, socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, &port, socket] {
            port.tcpClients.remove_if([socket](const TcpClient& c) { return c.socket == socket; });
            socket->deleteLater();
        });
    }
}

void ViscaServer::readClient(Port& port, QTcpSocket* socket) {
    auto client = std::find_if(port.tcpClients.begin(), port.tcpClients.end(),
                               [socket](const TcpClient& c) { return c.socket == socket; });
    if (client == port.tcpClients.end())
        return;
    while (socket->bytesAvailable() > 0) {
        const QByteArray chunk = socket->read(kTcpReadChunk);
        if (chunk.isEmpty())
            break;
        ++_handled;
        const std::vector<ViscaBytes> replies = client->session->receive(
            reinterpret_cast<const uint8_t*>(chunk.constData()), static_cast<std::size_t>(chunk.size()));
        for (const ViscaBytes& reply : replies)
            socket->write(reinterpret_cast<const char*>(reply.data()), static_cast<qint64>(reply.size()));
        if (socket->bytesToWrite() > kMaxUnsentBytes) {
            emit logLine(QStringLiteral("VISCA: closed %1, which does not read its replies")
                             .arg(socket->peerAddress().toString()));
            socket->disconnect(this);
            socket->abort();
            port.tcpClients.erase(client);
            socket->deleteLater();
            return;
        }
    }
}
