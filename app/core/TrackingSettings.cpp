#include "TrackingSettings.h"

#include <QJsonValue>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <variant>

#include "ArrayDevices.h"
#include "arrays/WireNumber.h"

namespace {

using T = TrackingSettings;

// A saved whole number, or nothing for anything else (text, a fraction, out of int range).
std::optional<int> wholeNumber(const QJsonValue& value) {
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number != std::trunc(number) || number < INT_MIN || number > INT_MAX)
        return std::nullopt;
    return static_cast<int>(number);
}

struct Field {
    const char* group;  // nullptr: a top-level key
    const char* key;
    std::variant<int T::*, double T::*, bool T::*, QString T::*> member;
    // Numbers only: whether a saved value can be meant, and what a meant one runs as.
    bool (*accepts)(double value) = nullptr;
    int (*adjust)(int value) = nullptr;
};

// Every key of the tracking settings, in the order they are written. Defaults are the
// members' initial values.
const Field kFields[] = {
    {nullptr, "SoundDeviceIndex", &T::soundDeviceIndex,
     [](double v) { return ArrayDevices::isIndex(int(v)); }},
    {nullptr, "IPAddress", &T::ipAddress},
    {nullptr, "DelayTriggerTime", &T::delayTriggerTimeMs, [](double v) { return v >= 0; }},
    {"PortMap", "NurveaPort", &T::nurevaPort, [](double v) { return v >= 1 && v <= 65535; }},
    {"AudioTriggerLevelMap", "SennheiserPeakLevel", &T::sennheiserPeakLevel,
     [](double v) { return v >= T::kSennheiserPeakLevelMin && v <= T::kSennheiserPeakLevelMax; }},
    {"AudioTriggerLevelMap", "NurveaBackgroundNoise", &T::nurevaBackgroundNoise,
     [](double v) { return v >= T::kNurevaBackgroundNoiseMin && v <= T::kNurevaBackgroundNoiseMax; }},
    {"BackToHomeMap", "BackToHomeTriggerTime", &T::backHomeTimeMs,
     [](double v) { return v == T::kBackHomeOff || v > 0; },
     [](int v) { return v == T::kBackHomeOff ? v : std::max(v, T::kMinBackHomePeriodMs); }},
    {"BackToHomeMap", "BackToHomeAction", &T::backHomeAction,
     [](double v) { return v == T::kBackHomeToHomePosition || v == T::kBackHomeToPresetZero; }},
    {nullptr, "AutoReconnect", &T::autoReconnect},
    {nullptr, "MinimumHoldTime", &T::minimumHoldTimeMs,
     [](double v) { return v >= 0 && v <= T::kMaxPauseMs; }},
    {nullptr, "SeveralTalkersPreset", &T::severalTalkersPreset, [](double v) { return v >= -1 && v <= 9; }},
    {nullptr, "ManualOverrideTime", &T::manualOverrideTimeMs,
     [](double v) { return v >= 0 && v <= T::kMaxPauseMs; }},
    {nullptr, "TrackingEnabled", &T::trackingEnabled},
    {nullptr, "SeveralTalkersCamera", &T::severalTalkersCamera},
    {nullptr, "BackToHomeCameras", &T::backHomeCameras},
};

// Reads one field into `settings`; false when the saved value was replaced by the default.
bool readField(const Field& field, const QJsonValue& saved, TrackingSettings& settings) {
    if (auto* member = std::get_if<int T::*>(&field.member)) {
        const std::optional<int> value = wholeNumber(saved);
        if (!value || (field.accepts && !field.accepts(*value)))
            return false;
        settings.*(*member) = field.adjust ? field.adjust(*value) : *value;
        return true;
    }
    if (auto* member = std::get_if<double T::*>(&field.member)) {
        if (!saved.isDouble() || !std::isfinite(saved.toDouble()) ||
            (field.accepts && !field.accepts(saved.toDouble())))
            return false;
        settings.*(*member) = saved.toDouble();
        return true;
    }
    if (auto* member = std::get_if<bool T::*>(&field.member)) {
        if (!saved.isBool())
            return false;
        settings.*(*member) = saved.toBool();
        return true;
    }
    auto* member = std::get_if<QString T::*>(&field.member);
    if (!saved.isString())
        return false;
    // The camera keys hold location identities, which the camera list spells in lower case;
    // a hand-edited file may not.
    const bool camera = *member == &T::severalTalkersCamera || *member == &T::backHomeCameras;
    const QString text = camera ? saved.toString().trimmed().toLower() : saved.toString();
    if (*member == &T::backHomeCameras && text.isEmpty())
        return false;
    settings.*(*member) = text;
    return true;
}

QJsonValue fieldValue(const Field& field, const TrackingSettings& settings) {
    if (auto* member = std::get_if<int T::*>(&field.member))
        return settings.*(*member);
    if (auto* member = std::get_if<double T::*>(&field.member))
        return truncateToInt(settings.*(*member));  // the only double, saved as a whole number
    if (auto* member = std::get_if<bool T::*>(&field.member))
        return settings.*(*member);
    return settings.*(*std::get_if<QString T::*>(&field.member));
}

}  // namespace

TrackingSettings TrackingSettings::fromJson(const QJsonObject& document, QStringList* replaced) {
    TrackingSettings settings;
    for (const Field& field : kFields) {
        const QString key = QString::fromLatin1(field.key);
        const QJsonObject scope =
            field.group ? document.value(QString::fromLatin1(field.group)).toObject() : document;
        if (!scope.contains(key))
            continue;
        if (!readField(field, scope.value(key), settings) && replaced)
            replaced->append(field.group ? QStringLiteral("%1/%2").arg(QLatin1String(field.group), key)
                                         : key);
    }
    return settings;
}

void TrackingSettings::toJson(QJsonObject& document) const {
    for (const Field& field : kFields) {
        const QString key = QString::fromLatin1(field.key);
        if (!field.group) {
            document.insert(key, fieldValue(field, *this));
            continue;
        }
        // A group is merged into what the document holds, so a member this version does not
        // know is kept.
        const QString group = QString::fromLatin1(field.group);
        QJsonObject object = document.value(group).toObject();
        object.insert(key, fieldValue(field, *this));
        document.insert(group, object);
    }
    document.insert(QStringLiteral("SoundDeviceType"),
                    QString::fromLatin1(ArrayDevices::textOf(soundDeviceIndex)));
    QJsonObject ports = document.value(QStringLiteral("PortMap")).toObject();
    ports.insert(QStringLiteral("ShurePort"), shurePort);
    ports.insert(QStringLiteral("SennheiserPort"), sennheiserPort);
    document.insert(QStringLiteral("PortMap"), ports);
}

int TrackingSettings::brand() const {
    return ArrayDevices::brandOf(soundDeviceIndex);
}

int TrackingSettings::portOfBrand(int brand) const {
    switch (brand) {
        case ArrayDevices::Sennheiser:
            return sennheiserPort;
        case ArrayDevices::Nureva:
            return nurevaPort;
        case ArrayDevices::Yamaha:
            return yamahaPort;
        default:
            return shurePort;
    }
}

void TrackingSettings::setPortOfBrand(int brand, int port) {
    switch (brand) {
        case ArrayDevices::Shure:
            shurePort = port;
            break;
        case ArrayDevices::Sennheiser:
            sennheiserPort = port;
            break;
        case ArrayDevices::Nureva:
            nurevaPort = port;
            break;
        case ArrayDevices::Yamaha:
            yamahaPort = port;
            break;
        default:
            break;
    }
}

int TrackingSettings::clampedHoldOrOverrideMs(int ms) {
    return std::clamp(ms, 0, kMaxPauseMs);
}

int TrackingSettings::checkedSeveralTalkersPreset(int preset) {
    return preset >= 0 && preset <= 9 ? preset : kSeveralTalkersOff;
}

bool TrackingSettings::backHomeToAllCameras() const {
    return backHomeCameras.isEmpty() || backHomeCameras == QLatin1String(kAllCameras);
}

bool TrackingSettings::operator==(const TrackingSettings& o) const {
    return soundDeviceIndex == o.soundDeviceIndex && ipAddress == o.ipAddress && shurePort == o.shurePort &&
           sennheiserPort == o.sennheiserPort && nurevaPort == o.nurevaPort && yamahaPort == o.yamahaPort &&
           delayTriggerTimeMs == o.delayTriggerTimeMs && sennheiserPeakLevel == o.sennheiserPeakLevel &&
           nurevaBackgroundNoise == o.nurevaBackgroundNoise && backHomeTimeMs == o.backHomeTimeMs &&
           backHomeAction == o.backHomeAction && autoReconnect == o.autoReconnect &&
           minimumHoldTimeMs == o.minimumHoldTimeMs && severalTalkersPreset == o.severalTalkersPreset &&
           manualOverrideTimeMs == o.manualOverrideTimeMs && trackingEnabled == o.trackingEnabled &&
           severalTalkersCamera == o.severalTalkersCamera && backHomeCameras == o.backHomeCameras;
}
