#include "ViscaSettings.h"

#include <QHostAddress>
#include <QJsonArray>

#include <set>
#include <string>

#include "ViscaPeers.h"

namespace {

bool isPort(int port) {
    return port >= 1 && port <= 65535;
}

int portMember(const QJsonObject& object, const char* key, int fallback) {
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isDouble())
        return fallback;
    const double number = value.toDouble();
    const int port = static_cast<int>(number);
    return number == port && isPort(port) ? port : fallback;
}

}  // namespace

ViscaSettings ViscaSettings::fromJson(const QJsonObject& object) {
    ViscaSettings s;
    s.enabled = object.value(QStringLiteral("Enabled")).toBool(false);
    const QString address = object.value(QStringLiteral("Address")).toString();
    if (!address.trimmed().isEmpty())
        s.address = address.trimmed();
    s.udpPort = portMember(object, "UdpPort", kDefaultUdpPort);
    s.tcpPort = portMember(object, "TcpPort", kDefaultTcpPort);
    for (const QJsonValue& peer : object.value(QStringLiteral("AllowedPeers")).toArray()) {
        const QString text = peer.toString().trimmed();
        if (!text.isEmpty())
            s.allowedPeers.append(text);
    }
    const QJsonObject ports = object.value(QStringLiteral("Ports")).toObject();
    for (auto it = ports.begin(); it != ports.end(); ++it) {
        const double number = it.value().toDouble(-1);
        const int udp = static_cast<int>(number);
        if (number != udp || !isPort(udp) || !isPort(s.tcpPortFor(udp)) || it.key().isEmpty())
            continue;
        s.ports.insert(it.key().toLower(), udp);
    }
    return s;
}

QJsonObject ViscaSettings::toJson() const {
    QJsonObject ports;
    for (auto it = this->ports.begin(); it != this->ports.end(); ++it) ports.insert(it.key(), it.value());
    return QJsonObject{{QStringLiteral("Enabled"), enabled},
                       {QStringLiteral("Address"), address},
                       {QStringLiteral("UdpPort"), udpPort},
                       {QStringLiteral("TcpPort"), tcpPort},
                       {QStringLiteral("AllowedPeers"), QJsonArray::fromStringList(allowedPeers)},
                       {QStringLiteral("Ports"), ports}};
}

int ViscaSettings::assignPort(const QString& locationIdentity) {
    const QString location = locationIdentity.toLower();
    if (const auto it = ports.constFind(location); it != ports.constEnd())
        return it.value();
    // Ports taken by any camera, and the TCP ports of their pairs: a new pair takes neither.
    std::set<int> taken;
    for (int udp : std::as_const(ports)) {
        taken.insert(udp);
        taken.insert(tcpPortFor(udp));
    }
    for (int udp = udpPort; isPort(udp); ++udp) {
        const int tcp = tcpPortFor(udp);
        if (!isPort(tcp))
            break;
        if (taken.count(udp) || taken.count(tcp) || udp == tcp)
            continue;
        ports.insert(location, udp);
        return udp;
    }
    return 0;
}

bool ViscaSettings::isLoopback() const {
    const QHostAddress host(address);
    return !host.isNull() && host.isLoopback();
}

QString ViscaSettings::problem() const {
    if (QHostAddress(address).isNull())
        return QStringLiteral("\"%1\" is not an IP address.").arg(address);
    if (udpPort == tcpPort)
        return QStringLiteral("The UDP and TCP ports must differ.");
    for (const QString& peer : allowedPeers) {
        std::string why;
        if (!ViscaPeers::parse(peer.toStdString(), nullptr, &why))
            return QString::fromStdString(why);
    }
    // A changed first pair moves every camera's TCP port with it: each must stay a port, and
    // no camera's port may land on another's.
    std::set<int> used;
    for (auto it = ports.begin(); it != ports.end(); ++it) {
        const int tcp = tcpPortFor(it.value());
        if (!isPort(tcp))
            return QStringLiteral("The TCP port of camera %1 would be %2, outside 1-65535.").arg(it.key()).arg(tcp);
        if (!used.insert(it.value()).second || !used.insert(tcp).second)
            return QStringLiteral("The ports of camera %1 (UDP %2, TCP %3) are another camera's.")
                .arg(it.key())
                .arg(it.value())
                .arg(tcp);
    }
    if (!isLoopback() && allowedPeers.isEmpty())
        return QStringLiteral(
            "VISCA has no password: an address other than 127.0.0.1 needs at least one allowed peer.");
    return QString();
}

bool ViscaSettings::operator==(const ViscaSettings& o) const {
    return enabled == o.enabled && address == o.address && udpPort == o.udpPort && tcpPort == o.tcpPort &&
           allowedPeers == o.allowedPeers && ports == o.ports;
}
