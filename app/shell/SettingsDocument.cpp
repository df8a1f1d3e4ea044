#include "SettingsDocument.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "ArrayDevices.h"

namespace {

const QString kTail = QStringLiteral("/Quillon/Vantor/Config");
const QString kFileName = QStringLiteral("/SoundDeviceConfig.ini");

QJsonObject zoneObject(const QStringList& texts) {
    QJsonObject zones;
    for (int i = 1; i <= 8; ++i) zones.insert(QStringLiteral("azimuthRange%1").arg(i), texts.value(i));
    return zones;
}

QStringList defaultZones(int (*start)(int), int (*end)(int)) {
    QStringList texts{QStringLiteral("Start")};
    for (int i = 1; i <= 8; ++i) texts << QStringLiteral("%1~%2").arg(start(i)).arg(end(i));
    return texts;
}

// Moves a file the loader cannot use out of the way, so the next save does not destroy what
// the user may still want to recover.
void keepUnreadable(const QString& path) {
    const QString aside = path + QLatin1String(SettingsDocument::kUnreadableSuffix);
    if (QFile::exists(aside) && !QFile::remove(aside))
        qDebug() << "SettingsDocument::load"
                 << "cannot remove" << aside;
    if (QFile::rename(path, aside) || QFile::copy(path, aside))
        qDebug() << "SettingsDocument::load"
                 << "unreadable settings kept as" << aside;
    else
        qDebug() << "SettingsDocument::load"
                 << "cannot keep unreadable settings" << path;
}

}  // namespace

QString SettingsDocument::configDir() {
    QString root = qEnvironmentVariable("ALLUSERSPROFILE");
    if (root.isEmpty())
        root = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return root + kTail;
}

QString SettingsDocument::configFile(const QString& dir) {
    return dir + kFileName;
}

QJsonObject SettingsDocument::defaultDocument() {
    QJsonObject doc;
    doc.insert(QStringLiteral("SoundDeviceIndex"), 2);
    doc.insert(QStringLiteral("SoundDeviceType"),
               QString::fromLatin1(ArrayDevices::textOf(ArrayDevices::kDefaultIndex)));
    doc.insert(QStringLiteral("IPAddress"), QString());
    doc.insert(QStringLiteral("SennheiserAzimuthRange"),
               zoneObject(defaultZones([](int i) { return (i - 1) * 45; }, [](int i) { return i * 45; })));
    doc.insert(QStringLiteral("NurevaAzimuthRange"),
               zoneObject(defaultZones([](int i) { return (i - 1) * 18 - 70; },
                                       [](int i) { return qMin(i * 18 - 70, 70); })));
    doc.insert(QStringLiteral("YamahaAzimuthRange"),
               zoneObject(defaultZones([](int i) { return i * 45 - 225; },
                                       [](int i) { return qMin(i * 45 - 180, 180); })));
    QJsonObject positions;
    for (int i = 1; i <= 8; ++i) positions.insert(QStringLiteral("arrayPos%1").arg(i), i);
    doc.insert(QStringLiteral("ShureArrayPos"), positions);
    return doc;
}

QJsonObject SettingsDocument::load(const QString& path) {
    if (!QFileInfo::exists(path))
        return defaultDocument();

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug() << "SettingsDocument::load"
                 << "cannot open" << path << file.errorString();
        keepUnreadable(path);
        return defaultDocument();
    }
    if (file.size() > kMaxFileBytes) {
        qDebug() << "SettingsDocument::load"
                 << "not a settings document, size" << file.size() << path;
        file.close();
        keepUnreadable(path);
        return defaultDocument();
    }
    const QByteArray bytes = file.readAll();
    file.close();

    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        qDebug() << "SettingsDocument::load"
                 << "unreadable settings" << path << error.errorString();
        keepUnreadable(path);
        return defaultDocument();
    }
    return doc.object();
}

bool SettingsDocument::write(const QString& path, const QJsonObject& document,
                             const BeforeCommit& beforeCommit) {
    if (path.isEmpty())
        return false;
    // Unbuffered: every byte reaches the file system inside write(), so a full disk or a file
    // size limit is an error here and not a failed flush inside commit(), which would still
    // put the short file in place of the old one.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        qDebug() << "SettingsDocument::write"
                 << "cannot open" << path << file.errorString();
        return false;
    }
    const QByteArray bytes = QJsonDocument(document).toJson(QJsonDocument::Indented);
    if (file.write(bytes) != bytes.size()) {
        qDebug() << "SettingsDocument::write"
                 << "write failed" << path << file.errorString();
        file.cancelWriting();
        return false;
    }
    // On disk before it replaces the old file: a file system that allocates late reports a
    // full disk only here.
    if (::fsync(file.handle()) != 0) {
        qDebug() << "SettingsDocument::write"
                 << "sync failed" << path << std::strerror(errno);
        file.cancelWriting();
        return false;
    }
    if (beforeCommit)
        beforeCommit(file);
    if (!file.commit()) {
        qDebug() << "SettingsDocument::write"
                 << "commit failed" << path << file.errorString();
        return false;
    }
    return true;
}

bool SettingsDocument::takesPageValues(const QJsonObject& document) {
    return document.contains(QStringLiteral("SoundDeviceIndex"));
}

void SettingsDocument::applyPresetLinkValues(QJsonObject& document, const PresetLinkValues& values) {
    QJsonObject presets;
    for (auto it = values.presetMap.cbegin(); it != values.presetMap.cend(); ++it)
        presets.insert(QStringLiteral("ArrayPos%1").arg(it.key()), it.value());
    document.insert(QStringLiteral("PresetLinkMap"), presets);
    QJsonObject cameras;
    for (auto it = values.cameraMap.cbegin(); it != values.cameraMap.cend(); ++it) {
        if (!it.value().isEmpty())
            cameras.insert(QStringLiteral("ArrayPos%1").arg(it.key()), it.value());
    }
    document.insert(QStringLiteral("PresetLinkCameraMap"), cameras);
    document.insert(QStringLiteral("SennheiserAzimuthRange"), zoneObject(values.sennheiserRanges));
    document.insert(QStringLiteral("NurevaAzimuthRange"), zoneObject(values.nurevaRanges));
    document.insert(QStringLiteral("YamahaAzimuthRange"), zoneObject(values.yamahaRanges));
}

void SettingsDocument::applyCameraList(QJsonObject& document, const QJsonArray& cameras) {
    document.insert(QStringLiteral("UsbCamerasArray"), cameras);
}
