#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

// The "Visca" settings: the VISCA server's switch, address and first port pair, the peers
// beyond loopback that may steer, and the port each camera was given ("Ports": location
// identity to UDP port; its TCP port keeps the same distance from the defaults), so a
// controller keeps steering the same camera after unplugs and restarts.
struct ViscaSettings {
    static constexpr int kDefaultUdpPort = 52381;
    static constexpr int kDefaultTcpPort = 5678;

    bool enabled = false;
    QString address = QStringLiteral("127.0.0.1");
    int udpPort = kDefaultUdpPort;  // the first camera's
    int tcpPort = kDefaultTcpPort;
    QStringList allowedPeers;  // addresses or CIDR ranges
    QMap<QString, int> ports;  // lower-case location identity -> UDP port

    // Missing or mistyped members keep their defaults; a port outside 1-65535 is the default;
    // "Ports" entries with a port outside the range, or whose TCP port would be, are left out.
    static ViscaSettings fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    // The TCP port that pairs with a camera's UDP port: the first pair's distance kept.
    int tcpPortFor(int udp) const { return udp - udpPort + tcpPort; }
    // The camera's UDP port: the one it was given, or the next free pair (the first camera
    // ever served gets the first pair), which is then remembered. 0 when no pair is left.
    int assignPort(const QString& locationIdentity);

    bool isLoopback() const;
    // Why these settings cannot be served (empty: they can): an address that is none, a bad
    // peer entry, a non-loopback address without any allowed peer, equal UDP and TCP ports,
    // a camera whose TCP port would leave 1-65535 or whose pair overlaps another camera's.
    QString problem() const;
    bool operator==(const ViscaSettings& other) const;
    bool operator!=(const ViscaSettings& other) const { return !(*this == other); }
};
