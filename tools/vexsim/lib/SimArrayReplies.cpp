#include "SimArrayReplies.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <algorithm>
#include <cmath>

bool SimTalker::talksAt(int ch) const {
    return talking && (ch == position || std::find(alsoAt.begin(), alsoAt.end(), ch) != alsoAt.end());
}

namespace SimArrayReplies {

namespace {

QByteArray threeDigits(int value) {
    return QByteArray::number(std::clamp(value, 0, 999)).rightJustified(3, '0');
}

}  // namespace

QByteArray shure(const QByteArray& request, const SimTalker& talker, bool autoCoverage, int channels) {
    const QByteArray text = request.trimmed();
    channels = std::clamp(channels, 1, 64);
    const int level = static_cast<int>(std::lround(std::clamp(talker.level, 0.0, 120.0)));
    bool anyone = false;
    for (int ch = 1; ch <= channels; ++ch) anyone = anyone || talker.talksAt(ch);
    QByteArray out;
    if (text.contains("GET AUTO_COVERAGE")) {
        out = QByteArray("< REP AUTO_COVERAGE ") + (autoCoverage ? "ON" : "OFF") + " >";
    } else if (text.contains("AUTOMIX_GATE_OUT_EXT_SIG") || text.contains("AUTOMIX_GATE_OUT_CA")) {
        // In automatic coverage the array gates coverage areas; its channel gates stay off.
        const bool areas = text.contains("AUTOMIX_GATE_OUT_CA");
        const QByteArray keyword = areas ? "AUTOMIX_GATE_OUT_CA" : "AUTOMIX_GATE_OUT_EXT_SIG";
        for (int ch = 1; ch <= channels; ++ch) {
            const bool gate = talker.talksAt(ch) && areas == autoCoverage;
            out += "< REP " + QByteArray::number(ch) + " " + keyword + " " + (gate ? "ON" : "OFF") + " >";
        }
    } else if (text.contains("AUDIO_IN_PEAK_LVL")) {
        if (autoCoverage) {
            // In automatic coverage the array has one automix output for the whole room:
            // one level, whoever talks in whichever area.
            out = "< REP 1 AUDIO_IN_PEAK_LVL " + threeDigits(anyone ? level : kShureQuietLevel) + " >";
        } else {
            for (int ch = 1; ch <= channels; ++ch)
                out += "< REP " + QByteArray::number(ch) + " AUDIO_IN_PEAK_LVL " +
                       threeDigits(talker.talksAt(ch) ? level : kShureQuietLevel) + " >";
        }
    }
    return out;
}

QByteArray sennheiser(const QByteArray& document, const SimTalker& talker) {
    const QJsonObject m = QJsonDocument::fromJson(document.trimmed()).object().value("m").toObject();
    QJsonObject reply;
    if (m.contains("in1")) {
        const int db = talker.talking ? static_cast<int>(std::lround(std::clamp(talker.level, -90.0, 0.0)))
                                      : kSennheiserQuietDb;
        reply = QJsonObject{{"m", QJsonObject{{"in1", QJsonObject{{"peak", db}}}}}};
    } else if (m.value("beam").toObject().contains("azimuth")) {
        reply = QJsonObject{{"m", QJsonObject{{"beam", QJsonObject{{"azimuth", talker.azimuth}}}}}};
    } else if (m.value("beam").toObject().contains("elevation")) {
        reply = QJsonObject{{"m", QJsonObject{{"beam", QJsonObject{{"elevation", talker.elevation}}}}}};
    } else {
        return {};
    }
    return QJsonDocument(reply).toJson(QJsonDocument::Compact) + "\r\n";
}

QByteArray yamaha(const QByteArray& line, int& meterIntervalMs) {
    meterIntervalMs = 0;
    const QList<QByteArray> words = line.simplified().split(' ');
    if (words.size() >= 2 && words[0] == "devstatus" && words[1] == "runmode")
        return "OK devstatus runmode \"normal\"\n";
    if (words.size() >= 3 && words[0] == "scpmode" && words[1] == "keepalive")
        return "OK scpmode keepalive " + words[2] + "\n";
    if (words.size() >= 2 && words[0] == "mtrstart" && words[1] == "RM:BeamDirection") {
        const int interval = words.size() >= 3 ? words[2].toInt() : 100;
        meterIntervalMs = std::clamp(interval <= 0 ? 100 : interval, 20, 5000);
        return "OK mtrstart RM:BeamDirection " + QByteArray::number(meterIntervalMs) + "\n";
    }
    if (line.trimmed().isEmpty())
        return {};
    return "ERROR unknown command\n";
}

QByteArray yamahaNotification(const SimTalker& talker) {
    // phi = field x 2 - 180, theta = field / 2 (the application's reading of the fields).
    const int phi = std::clamp((talker.azimuth + 180) / 2, 0, 255);
    const int theta = std::clamp(talker.elevation * 2, 0, 255);
    char text[64];
    std::snprintf(text, sizeof text, "NOTIFY mtr RM:BeamDirection raw %02x %02x %d\n", phi, theta,
                  talker.talking ? 1 : 0);
    return text;
}

QString nurevaReport(const SimTalker& talker, int64_t timeMs) {
    QJsonObject body{{"azimuth", talker.azimuth},
                     {"elevation", talker.elevation},
                     {"powerLevel", talker.talking ? talker.level : 0.0},
                     {"time", QDateTime::fromMSecsSinceEpoch(timeMs, Qt::UTC).toString(Qt::ISODateWithMs)}};
    QJsonObject message{{"type", "audioLocation"}, {"body", body}};
    return QString::fromUtf8(QJsonDocument(message).toJson(QJsonDocument::Compact));
}

QString nurevaAcknowledge(const QString& request) {
    const QJsonObject r = QJsonDocument::fromJson(request.toUtf8()).object();
    QJsonObject reply{{"requestId", r.value("requestId")}, {"status", "ok"}};
    return QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact));
}

}  // namespace SimArrayReplies
