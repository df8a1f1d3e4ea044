#include "SennheiserProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

std::vector<SennheiserEvent> SennheiserProtocol::feed(std::string_view chunk) {
    return parseDocuments(_framer.take(chunk));
}

std::vector<SennheiserEvent> SennheiserProtocol::parse(std::string_view text) {
    JsonDocumentFramer framer;
    return parseDocuments(framer.take(text));
}

std::vector<SennheiserEvent> SennheiserProtocol::parseDocuments(const std::vector<std::string>& documents) {
    std::vector<SennheiserEvent> events;
    for (const std::string& text : documents) {
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray(text.data(), static_cast<qsizetype>(text.size())));
        const QJsonObject metering = document.object().value(QStringLiteral("m")).toObject();
        const QJsonObject beam = metering.value(QStringLiteral("beam")).toObject();
        const QJsonObject input = metering.value(QStringLiteral("in1")).toObject();
        // toInt() gives 0 for anything but a whole number within int range.
        if (beam.contains(QStringLiteral("azimuth"))) {
            events.push_back({SennheiserEvent::Azimuth, beam.value(QStringLiteral("azimuth")).toInt()});
        } else if (input.contains(QStringLiteral("peak"))) {
            events.push_back({SennheiserEvent::PeakLevel, input.value(QStringLiteral("peak")).toInt()});
        }
    }
    return events;
}

QByteArray SennheiserProtocol::pollRequest() {
    auto request = [](const char* group, const char* member) {
        QJsonObject inner;
        inner.insert(QLatin1String(member), QJsonValue::Null);
        QJsonObject outer;
        outer.insert(QLatin1String(group), inner);
        QJsonObject root;
        root.insert(QStringLiteral("m"), outer);
        return QJsonDocument(root).toJson(QJsonDocument::Indented) + "\r\n";
    };
    return request("in1", "peak") + request("beam", "azimuth") + request("beam", "elevation");
}
