#include "SennheiserProtocol.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

std::vector<SennheiserEvent> SennheiserProtocol::feed(std::string_view chunk) {
    const std::string complete = _framer.take(chunk);
    if (complete.empty())
        return {};
    return parse(complete);
}

std::vector<SennheiserEvent> SennheiserProtocol::parse(std::string_view text) {
    std::vector<SennheiserEvent> events;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.empty())
            continue;

        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())));
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
