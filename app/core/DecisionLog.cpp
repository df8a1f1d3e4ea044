#include "DecisionLog.h"

#include <QDateTime>
#include <QJsonValue>

namespace {

using Kind = TrackerDecision::Kind;

QString actionName(Kind kind) {
    switch (kind) {
        case Kind::Preset:
            return QStringLiteral("preset");
        case Kind::Home:
            return QStringLiteral("home");
        case Kind::Several:
            return QStringLiteral("several");
        case Kind::Dropped:
            return QStringLiteral("dropped");
        default:
            return QString();
    }
}

QJsonValue orNull(bool present, const QJsonValue& value) {
    return present ? value : QJsonValue(QJsonValue::Null);
}

}  // namespace

DecisionLog::DecisionLog(QObject* parent) : QObject(parent) {}

QJsonObject DecisionLog::toJson(const TrackerDecision& d) {
    return QJsonObject{
        {QStringLiteral("time"), static_cast<double>(d.timeMs)},
        {QStringLiteral("action"), actionName(d.kind)},
        {QStringLiteral("position"), orNull(d.position > 0, d.position)},
        {QStringLiteral("preset"), orNull(d.preset >= 0, d.preset)},
        {QStringLiteral("camera"), orNull(!d.camera.empty(), QString::fromStdString(d.camera))},
        {QStringLiteral("reason"), QString::fromLatin1(d.reason)},
        {QStringLiteral("talkingMs"), orNull(d.talkingMs >= 0, static_cast<double>(d.talkingMs))},
        {QStringLiteral("level"), orNull(d.hasLevel, d.level)},
    };
}

void DecisionLog::append(const TrackerDecision& decision) {
    if (!decision.isAction() || !decision.logged)
        return;
    push(Entry{toJson(decision), decision.dropped});
}

void DecisionLog::appendCut(const ProgramCut& cut) {
    push(Entry{QJsonObject{
        {QStringLiteral("time"), static_cast<double>(cut.timeMs)},
        {QStringLiteral("action"), QStringLiteral("program")},
        {QStringLiteral("position"), QJsonValue(QJsonValue::Null)},
        {QStringLiteral("preset"), QJsonValue(QJsonValue::Null)},
        {QStringLiteral("camera"), orNull(!cut.program.isEmpty(), cut.program)},
        {QStringLiteral("previous"), orNull(!cut.previous.isEmpty(), cut.previous)},
        {QStringLiteral("reason"), cut.reason},
        {QStringLiteral("delayMs"), static_cast<double>(cut.timeMs - cut.decidedMs)},
        {QStringLiteral("talkingMs"), QJsonValue(QJsonValue::Null)},
        {QStringLiteral("level"), QJsonValue(QJsonValue::Null)},
    }});
}

void DecisionLog::push(const Entry& entry) {
    _entries.push_back(entry);
    while (_entries.size() > static_cast<std::size_t>(kCapacity)) _entries.pop_front();
    emit signal_Appended(entry.json);
}

QJsonArray DecisionLog::newestFirst(int count) const {
    QJsonArray out;
    for (auto it = _entries.rbegin(); it != _entries.rend(); ++it) {
        if (count > 0 && out.size() >= count)
            break;
        out.append(it->json);
    }
    return out;
}

const DecisionLog::Entry& DecisionLog::entry(int index) const {
    return _entries.at(_entries.size() - 1 - static_cast<std::size_t>(index));
}

void DecisionLog::clear() {
    _entries.clear();
    emit signal_Cleared();
}

QString DecisionLog::describe(const Entry& entry) {
    const QJsonObject& e = entry.json;
    const QString time =
        QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(e.value(QStringLiteral("time")).toDouble()))
            .toString(QStringLiteral("HH:mm:ss.zzz"));
    const QString action = e.value(QStringLiteral("action")).toString();
    const QJsonValue position = e.value(QStringLiteral("position"));
    const QJsonValue preset = e.value(QStringLiteral("preset"));
    auto presetText = [&] {
        return preset.isNull() ? QStringLiteral("the home position")
                               : QStringLiteral("preset %1").arg(preset.toInt());
    };

    QString what;
    if (action == QLatin1String("program")) {
        // The camera is the subject here, not a detail.
        const QJsonValue camera = e.value(QStringLiteral("camera"));
        const QJsonValue previous = e.value(QStringLiteral("previous"));
        what = QStringLiteral("program: %1")
                   .arg(camera.isNull() ? QStringLiteral("no camera") : camera.toString());
        QStringList details;
        if (!previous.isNull())
            details << QStringLiteral("was %1").arg(previous.toString());
        const qint64 delay = static_cast<qint64>(e.value(QStringLiteral("delayMs")).toDouble());
        if (delay > 0)
            details << QStringLiteral("%1 ms after the decision").arg(delay);
        QString line =
            QStringLiteral("%1  %2 \u2014 %3").arg(time, what, e.value(QStringLiteral("reason")).toString());
        if (!details.isEmpty())
            line += QStringLiteral(" (%1)").arg(details.join(QStringLiteral(", ")));
        return line;
    }
    if (action == QLatin1String("preset")) {
        what = QStringLiteral("preset %1 for position %2").arg(preset.toInt()).arg(position.toInt());
    } else if (action == QLatin1String("several")) {
        what = QStringLiteral("preset %1 for several talkers").arg(preset.toInt());
    } else if (action == QLatin1String("home")) {
        what = QStringLiteral("home: %1").arg(presetText());
    } else {
        switch (entry.dropped) {
            case Kind::Home:
                what = QStringLiteral("not sent: home (%1)").arg(presetText());
                break;
            case Kind::Several:
                what = QStringLiteral("not sent: preset %1 for several talkers").arg(preset.toInt());
                break;
            default:
                what = preset.isNull() ? QStringLiteral("not sent: position %1").arg(position.toInt())
                                       : QStringLiteral("not sent: preset %1 for position %2")
                                             .arg(preset.toInt())
                                             .arg(position.toInt());
                break;
        }
    }
    QStringList details;
    const QJsonValue talking = e.value(QStringLiteral("talkingMs"));
    if (!talking.isNull())
        details << QStringLiteral("talked %1 s").arg(talking.toDouble() / 1000.0, 0, 'f', 1);
    const QJsonValue level = e.value(QStringLiteral("level"));
    if (!level.isNull())
        details << QStringLiteral("level %1").arg(level.toInt());
    const QJsonValue camera = e.value(QStringLiteral("camera"));
    if (!camera.isNull())
        details << QStringLiteral("camera %1").arg(camera.toString());
    QString line =
        QStringLiteral("%1  %2 \u2014 %3").arg(time, what, e.value(QStringLiteral("reason")).toString());
    if (!details.isEmpty())
        line += QStringLiteral(" (%1)").arg(details.join(QStringLiteral(", ")));
    return line;
}
