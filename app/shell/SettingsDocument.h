#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

class QSaveFile;

// The one JSON document that holds every setting of the application: where it lives, the
// document a first start begins with, reading it, and writing the pages' values into it.
//
// Interface thread only.
class SettingsDocument {
public:
    // Values the preset-link page hands to the writer.
    struct PresetLinkValues {
        QMap<int, int> presetMap;  // position 1-8 -> preset (1-8, or -1 for "Off")
        // Per brand: element 0 is a placeholder, elements 1-8 the zone texts "start~end".
        QStringList sennheiserRanges;
        QStringList nurevaRanges;
        QStringList yamahaRanges;
        // position 1-8 -> the location identity of its camera; empty or missing: the first
        // connected camera (and no key is written for it).
        QMap<int, QString> cameraMap;
    };

    // Called just before a save is committed; a test cancels the save here to see that an
    // interrupted save leaves the old file alone.
    using BeforeCommit = std::function<void(QSaveFile&)>;

    static constexpr const char* kPropertyName = "configDataInforJsonObject";
    static constexpr const char* kUnreadableSuffix = ".unreadable";
    // A real settings document is a few kilobytes; anything far larger is not one of ours and
    // is not read into memory.
    static constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

    // "ALLUSERSPROFILE" when it is set, else the user's data folder, then
    // "/Quillon/Vantor/Config".
    static QString configDir();
    static QString configFile(const QString& dir);

    // The document a first start begins with. It is not written until the first save.
    static QJsonObject defaultDocument();

    // Reads one settings file. A missing file gives the default document. A file that cannot
    // be opened or parsed, or that does not hold an object, is kept beside the settings as
    // "<file>.unreadable" (replacing an older one) and the default document is used, so the
    // user's settings are saved again at the next save instead of being lost for good.
    static QJsonObject load(const QString& path);

    // Writes the document as indented JSON. The old file is replaced only once the new one
    // is completely on disk: a crash or a full disk leaves the old file as it was.
    static bool write(const QString& path, const QJsonObject& document,
                      const BeforeCommit& beforeCommit = {});

    // The pages' values go into the document only when it carries "SoundDeviceIndex": a
    // document without it is written back as it was read. (The microphone-array page's values
    // are TrackingSettings, which writes itself.)
    static bool takesPageValues(const QJsonObject& document);
    static void applyPresetLinkValues(QJsonObject& document, const PresetLinkValues& values);
    static void applyCameraList(QJsonObject& document, const QJsonArray& cameras);
};
