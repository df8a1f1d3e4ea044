#include "NurevaProtocol.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include "WireNumber.h"

std::optional<NurevaReport> NurevaProtocol::parse(const QString& message) {
    const QJsonObject root = QJsonDocument::fromJson(message.toUtf8()).object();
    if (!root.contains(QStringLiteral("body")))
        return std::nullopt;

    const QJsonObject body = root.value(QStringLiteral("body")).toObject();
    NurevaReport report;
    report.powerLevel = body.value(QStringLiteral("powerLevel")).toDouble(0.0);
    report.azimuth = truncateToInt(body.value(QStringLiteral("azimuth")).toDouble(-80.0));
    if (body.contains(QStringLiteral("time"))) {
        const QDateTime time =
            QDateTime::fromString(body.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        report.timeMs = time.isValid() ? time.toMSecsSinceEpoch() : 0;
    }
    return report;
}

int NurevaReport::powerLevelInt() const {
    return truncateToInt(powerLevel);
}

QString NurevaProtocol::subscribeRequest(const QUuid& requestId) {
    QJsonObject request;
    request.insert(QStringLiteral("clientId"), QStringLiteral("Vantor"));
    request.insert(QStringLiteral("request"), QStringLiteral("v1/devices/audioLocation"));
    request.insert(QStringLiteral("requestId"), requestId.toString(QUuid::WithBraces));
    return QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Indented));
}
