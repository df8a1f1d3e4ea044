#include "ProgramSettings.h"

#include <QJsonValue>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

namespace {

using S = ProgramSettings;

std::optional<int> wholeNumber(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::trunc(number))
        return std::nullopt;
    // Out of int range is still a whole number: it is bounded below like any other.
    return static_cast<int>(std::clamp(number, double(INT_MIN), double(INT_MAX)));
}

struct Bound {
    const char* key;
    int S::*member;
    int min;
    int max;
    bool even;
};

const Bound kBounds[] = {
    {"Width", &S::width, S::kMinWidth, S::kMaxWidth, true},
    {"Height", &S::height, S::kMinHeight, S::kMaxHeight, true},
    {"FrameRate", &S::frameRate, S::kMinFrameRate, S::kMaxFrameRate, false},
    {"CutDelay", &S::cutDelayMs, 0, S::kMaxCutDelayMs, false},
};

}  // namespace

ProgramSettings ProgramSettings::fromJson(const QJsonObject& object, QStringList* replaced) {
    ProgramSettings s;
    auto note = [replaced](const char* key) {
        if (replaced)
            replaced->append(QString::fromLatin1(key));
    };
    if (object.contains(QStringLiteral("Enabled"))) {
        const QJsonValue value = object.value(QStringLiteral("Enabled"));
        if (value.isBool())
            s.enabled = value.toBool();
        else
            note("Enabled");
    }
    for (const Bound& b : kBounds) {
        const QString key = QString::fromLatin1(b.key);
        if (!object.contains(key))
            continue;
        const std::optional<int> value = wholeNumber(object.value(key));
        if (!value) {
            note(b.key);
            continue;
        }
        int v = std::clamp(*value, b.min, b.max);
        if (v != *value)
            note(b.key);
        if (b.even)
            v &= ~1;
        s.*(b.member) = v;
    }
    if (object.contains(QStringLiteral("SameCameraMove"))) {
        if (!parseSameCameraMove(object.value(QStringLiteral("SameCameraMove")).toString(),
                                 &s.sameCameraMove))
            note("SameCameraMove");
    }
    if (object.contains(QStringLiteral("WideCamera"))) {
        const QJsonValue value = object.value(QStringLiteral("WideCamera"));
        if (value.isString())
            s.wideCamera = value.toString().trimmed().toLower();
        else
            note("WideCamera");
    }
    return s;
}

QJsonObject ProgramSettings::toJson() const {
    return QJsonObject{{QStringLiteral("Enabled"), enabled},
                       {QStringLiteral("Width"), width},
                       {QStringLiteral("Height"), height},
                       {QStringLiteral("FrameRate"), frameRate},
                       {QStringLiteral("CutDelay"), cutDelayMs},
                       {QStringLiteral("SameCameraMove"), sameCameraMoveName(sameCameraMove)},
                       {QStringLiteral("WideCamera"), wideCamera}};
}

QString ProgramSettings::sameCameraMoveName(SameCameraMove move) {
    switch (move) {
        case SameCameraMove::Freeze:
            return QStringLiteral("freeze");
        case SameCameraMove::Wide:
            return QStringLiteral("wide");
        case SameCameraMove::Move:
            break;
    }
    return QStringLiteral("move");
}

bool ProgramSettings::parseSameCameraMove(const QString& text, SameCameraMove* move) {
    const QString name = text.trimmed().toLower();
    for (SameCameraMove m : {SameCameraMove::Move, SameCameraMove::Freeze, SameCameraMove::Wide}) {
        if (name == sameCameraMoveName(m)) {
            *move = m;
            return true;
        }
    }
    return false;
}

QString ProgramSettings::problem() const {
    if (sameCameraMove == SameCameraMove::Wide && wideCamera.isEmpty())
        return QStringLiteral(
            "\"wide\" needs a wide camera: until one is chosen, a move of the live camera freezes the "
            "program.");
    return QString();
}

bool ProgramSettings::operator==(const ProgramSettings& o) const {
    return enabled == o.enabled && width == o.width && height == o.height && frameRate == o.frameRate &&
           cutDelayMs == o.cutDelayMs && sameCameraMove == o.sameCameraMove && wideCamera == o.wideCamera;
}
