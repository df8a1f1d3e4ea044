// The settings document: where it lives, the first start, what a save writes, and what
// happens to files that are damaged or saves that are interrupted.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

#include "MainWindow.h"
#include "PresetLink.h"
#include "SettingsDocument.h"
#include "SoundDeviceSetting.h"
#include "TrackingSettings.h"

namespace {

QString uniqueInstanceName() {
    static int counter = 0;
    return QStringLiteral("vantor-settings-test-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

QJsonObject readJson(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

void writeBytes(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

QByteArray readBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QJsonObject zones(const QStringList& texts) {
    QJsonObject o;
    for (int i = 0; i < texts.size(); ++i) o.insert(QStringLiteral("azimuthRange%1").arg(i + 1), texts[i]);
    return o;
}

// A document with every key the application writes, with values a user could have chosen.
QJsonObject fullDocument() {
    QJsonObject camera{{"ModelName", "V61U"},
                       {"DeviceModeInt", 3},
                       {"FriendlyName", "Cam"},
                       {"VID", "1d4d"},
                       {"PID", "6009"},
                       {"Type", "USB"},
                       {"PortPath", "1-2.4"},
                       {"PortInfo", "Port_#0004.Hub_#0002"},
                       {"LocationIdentity", "1&2.4&1&0000"},
                       {"LRInvertTilt", false},
                       {"IsConnect", "1"}};
    QJsonObject links;
    for (int i = 1; i <= 8; ++i) links.insert(QStringLiteral("ArrayPos%1").arg(i), i % 3 == 0 ? -1 : 9 - i);
    return QJsonObject{
        {"SoundDeviceIndex", 4},
        {"SoundDeviceType", "Nureva: HDL300"},
        {"IPAddress", "192.168.10.20"},
        {"DelayTriggerTime", 3000},
        {"PortMap", QJsonObject{{"ShurePort", 2202}, {"SennheiserPort", 45}, {"NurveaPort", 9000}}},
        {"AudioTriggerLevelMap", QJsonObject{{"SennheiserPeakLevel", -42}, {"NurveaBackgroundNoise", 61}}},
        {"BackToHomeMap", QJsonObject{{"BackToHomeTriggerTime", -1}, {"BackToHomeAction", 0}}},
        {"PresetLinkMap", links},
        {"SennheiserAzimuthRange",
         zones({"0~30", "30~90", "90~135", "135~180", "180~225", "225~270", "270~315", "315~360"})},
        {"NurevaAzimuthRange",
         zones({"-70~-60", "-60~-34", "-34~-16", "-16~-2", "-2~20", "20~38", "38~56", "56~70"})},
        {"YamahaAzimuthRange",
         zones({"-180~-170", "-170~-90", "-90~-45", "-45~0", "0~45", "45~90", "90~135", "135~180"})},
        {"ShureArrayPos", QJsonObject{{"arrayPos1", 1}, {"arrayPos2", 2}}},
        {"UsbCamerasArray", QJsonArray{camera}},
        {"SomethingANewerVersionWrote", QJsonObject{{"keep", true}}},
    };
}

}  // namespace

class TstSettingsDocument : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void locationFollowsAllUsersProfile();
    void firstStartOnCleanFolder();
    void firstSaveWritesThePagesInitialValues();
    void pageValuesRoundTrip();
    void saveThroughTheWindowKeepsEveryKey();
    void documentWithoutIndexIsWrittenBackUnchanged();
    void damagedFileIsKeptAndDefaultsUsed_data();
    void damagedFileIsKeptAndDefaultsUsed();
    void oversizedFileIsNotRead();
    void interruptedSaveLeavesOldFile();
    void saveThatRunsOutOfRoomLeavesOldFile();
    void saveIntoMissingFolderFails();

private:
    std::unique_ptr<QTemporaryDir> _dir;
    QString configFile() const { return _dir->path() + "/Quillon/Vantor/Config/SoundDeviceConfig.ini"; }
};

void TstSettingsDocument::init() {
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
    qApp->setProperty(SettingsDocument::kPropertyName, QVariant());
}

void TstSettingsDocument::cleanup() {
    _dir.reset();
}

void TstSettingsDocument::locationFollowsAllUsersProfile() {
    QCOMPARE(SettingsDocument::configDir(), _dir->path() + "/Quillon/Vantor/Config");
    QCOMPARE(SettingsDocument::configFile(SettingsDocument::configDir()), configFile());

    // Without it (unset or empty) the user's data folder takes its place.
    qputenv("XDG_DATA_HOME", (_dir->path() + "/xdg").toLocal8Bit());
    qputenv("ALLUSERSPROFILE", "");
    QCOMPARE(SettingsDocument::configDir(), _dir->path() + "/xdg/Quillon/Vantor/Config");
    qunsetenv("ALLUSERSPROFILE");
    QCOMPARE(SettingsDocument::configDir(), _dir->path() + "/xdg/Quillon/Vantor/Config");
    qunsetenv("XDG_DATA_HOME");
}

void TstSettingsDocument::firstStartOnCleanFolder() {
    MainWindow window(nullptr, uniqueInstanceName());
    QVERIFY(QDir(_dir->path() + "/Quillon/Vantor/Config").exists());
    QVERIFY(!QFile::exists(configFile()));
    QCOMPARE(qApp->property(SettingsDocument::kPropertyName).toJsonObject(),
             SettingsDocument::defaultDocument());

    // The page shows the default zones and links.
    PresetLink* page = window.presetLinkPage();
    QCOMPARE(page->rangeTexts(PresetLink::Nureva).value(8), QStringLiteral("56~70"));
    QCOMPARE(page->presetBox(4)->currentIndex(), 4);

    window.slot_CloseClicked();
    QVERIFY(QFile::exists(configFile()));
    const QJsonObject saved = readJson(configFile());
    QCOMPARE(saved.value("SoundDeviceIndex").toInt(), 2);
    QCOMPARE(saved.value("ShureArrayPos").toObject().value("arrayPos8").toInt(), 8);
    QCOMPARE(saved.value("PresetLinkMap").toObject().value("ArrayPos5").toInt(), 5);
    QCOMPARE(saved.value("YamahaAzimuthRange").toObject().value("azimuthRange1").toString(),
             QStringLiteral("-180~-135"));
}

void TstSettingsDocument::firstSaveWritesThePagesInitialValues() {
    QJsonObject doc = SettingsDocument::defaultDocument();
    QVERIFY(SettingsDocument::takesPageValues(doc));
    PresetLink page;
    TrackingSettings{}.toJson(doc);
    SettingsDocument::applyPresetLinkValues(
        doc, {page.presetMap(), page.rangeTexts(PresetLink::Sennheiser), page.rangeTexts(PresetLink::Nureva),
              page.rangeTexts(PresetLink::Yamaha), page.cameraMap()});
    QDir().mkpath(QFileInfo(configFile()).path());
    QVERIFY(SettingsDocument::write(configFile(), doc));

    const QJsonObject saved = readJson(configFile());
    QCOMPARE(saved.value("SoundDeviceIndex").toInt(), 2);
    QCOMPARE(saved.value("SoundDeviceType").toString(), QStringLiteral("Shure: MXA310"));
    QCOMPARE(saved.value("IPAddress").toString(), QString());
    QCOMPARE(saved.value("DelayTriggerTime").toInt(), 1500);
    QCOMPARE(saved.value("PortMap").toObject(),
             (QJsonObject{{"ShurePort", 2202}, {"SennheiserPort", 45}, {"NurveaPort", 8931}}));
    QCOMPARE(saved.value("AudioTriggerLevelMap").toObject(),
             (QJsonObject{{"SennheiserPeakLevel", -55}, {"NurveaBackgroundNoise", 50}}));
    QCOMPARE(saved.value("BackToHomeMap").toObject(),
             (QJsonObject{{"BackToHomeTriggerTime", 10000}, {"BackToHomeAction", 300}}));
    for (int i = 1; i <= 8; ++i)
        QCOMPARE(saved.value("PresetLinkMap").toObject().value(QStringLiteral("ArrayPos%1").arg(i)).toInt(),
                 i);
    // The zones written are exactly the default document's.
    for (const char* key : {"SennheiserAzimuthRange", "NurevaAzimuthRange", "YamahaAzimuthRange"})
        QCOMPARE(saved.value(key), SettingsDocument::defaultDocument().value(key));
    QVERIFY(saved.contains("ShureArrayPos"));
    // The tracking behaviours, as top-level keys an older version passes over.
    QCOMPARE(saved.value("AutoReconnect"), QJsonValue(true));
    QCOMPARE(saved.value("MinimumHoldTime"), QJsonValue(0));
    QCOMPARE(saved.value("SeveralTalkersPreset"), QJsonValue(-1));
    QCOMPARE(saved.value("ManualOverrideTime"), QJsonValue(30000));
    QCOMPARE(saved.value("TrackingEnabled"), QJsonValue(true));
}

void TstSettingsDocument::pageValuesRoundTrip() {
    TrackingSettings mic;
    mic.soundDeviceIndex = 5;
    mic.ipAddress = QStringLiteral("10.0.0.7");
    mic.delayTriggerTimeMs = 500;
    mic.nurevaPort = 8000;
    mic.sennheiserPeakLevel = -60;
    mic.nurevaBackgroundNoise = 61.9;  // saved as the whole number it runs as
    mic.backHomeTimeMs = 180000;
    mic.backHomeAction = 0;
    mic.autoReconnect = false;
    mic.minimumHoldTimeMs = 3000;
    mic.severalTalkersPreset = 7;
    mic.manualOverrideTimeMs = 0;
    mic.trackingEnabled = false;

    PresetLink page;
    page.slot_SwitchSoundDeviceType(5, PresetLink::Yamaha);
    page.presetBox(2)->setCurrentIndex(0);
    page.rangeStartBox(1)->setValue(-179);
    page.rangeEndBox(1)->setValue(-1);
    page.setCameraChoices({{QStringLiteral("1&2.5&1&0000"), QStringLiteral("Side")}});
    page.cameraBox(6)->setCurrentIndex(page.cameraBox(6)->findData(QStringLiteral("1&2.5&1&0000")));
    page.slot_Apply();

    QJsonObject doc = SettingsDocument::defaultDocument();
    doc.insert("UnknownKey", QJsonArray{1, "two"});
    mic.toJson(doc);
    SettingsDocument::applyPresetLinkValues(
        doc, {page.presetMap(), page.rangeTexts(PresetLink::Sennheiser), page.rangeTexts(PresetLink::Nureva),
              page.rangeTexts(PresetLink::Yamaha), page.cameraMap()});
    SettingsDocument::applyCameraList(doc, QJsonArray{QJsonObject{{"IsConnect", "0"}}});
    QDir().mkpath(QFileInfo(configFile()).path());
    QVERIFY(SettingsDocument::write(configFile(), doc));

    const QJsonObject loaded = SettingsDocument::load(configFile());
    QCOMPARE(loaded, doc);
    QCOMPARE(loaded.value("SoundDeviceType").toString(), QStringLiteral("Yamaha: RM-CG"));
    QCOMPARE(loaded.value("PortMap").toObject(),
             (QJsonObject{{"ShurePort", 2202}, {"SennheiserPort", 45}, {"NurveaPort", 8000}}));
    QCOMPARE(loaded.value("AudioTriggerLevelMap").toObject(),
             (QJsonObject{{"SennheiserPeakLevel", -60}, {"NurveaBackgroundNoise", 61}}));
    QCOMPARE(loaded.value("PresetLinkMap").toObject().value("ArrayPos2").toInt(), -1);
    // Only a position that names its camera has a key: the others take the first camera.
    QCOMPARE(loaded.value("PresetLinkCameraMap").toObject(), (QJsonObject{{"ArrayPos6", "1&2.5&1&0000"}}));
    QCOMPARE(loaded.value("YamahaAzimuthRange").toObject().value("azimuthRange1").toString(),
             QStringLiteral("-179~-1"));

    // And the page reads back what it wrote.
    qApp->setProperty(SettingsDocument::kPropertyName, loaded);
    PresetLink reloaded;
    reloaded.slot_SwitchSoundDeviceType(5, PresetLink::Yamaha);
    reloaded.loadSettings();
    QCOMPARE(reloaded.presetMap(), page.presetMap());
    QCOMPARE(reloaded.cameraMap(), page.cameraMap());
    QCOMPARE(reloaded.presetBox(2)->currentText(), QStringLiteral("Off"));
    for (int brand : {1, 2, 3}) QCOMPARE(reloaded.rangeTexts(brand), page.rangeTexts(brand));
    QCOMPARE(reloaded.rangeStartBox(1)->value(), -179);
    SoundDeviceSetting arrays;
    arrays.loadSettings();
    QVERIFY(!arrays.autoReconnect());
    QCOMPARE(arrays.minimumHoldTimeMs(), 3000);
    QCOMPARE(arrays.severalTalkersPreset(), 7);
    QCOMPARE(arrays.manualOverrideTimeMs(), 0);
    QVERIFY(!arrays.isTrackingEnabled());
}

void TstSettingsDocument::saveThroughTheWindowKeepsEveryKey() {
    const QJsonObject original = fullDocument();
    writeBytes(configFile(), QJsonDocument(original).toJson());
    {
        MainWindow window(nullptr, uniqueInstanceName());
        QCOMPARE(qApp->property(SettingsDocument::kPropertyName).toJsonObject(), original);
        window.slot_CloseClicked();
    }
    // Nothing was changed: the save writes every key back as it was, including keys this
    // version does not know. The camera list is the exception: it saves the cameras it
    // lists, and this window was closed before its first search (no camera is attached).
    // A document of a version before the tracking behaviours gains their keys at the
    // defaults it ran with.
    QJsonObject expectedFirst = original;
    expectedFirst.insert("UsbCamerasArray", QJsonArray());
    expectedFirst.insert("AutoReconnect", true);
    expectedFirst.insert("MinimumHoldTime", 0);
    expectedFirst.insert("SeveralTalkersPreset", -1);
    expectedFirst.insert("ManualOverrideTime", 30000);
    expectedFirst.insert("TrackingEnabled", true);
    // And of a version before positions named cameras: every position takes the first one.
    expectedFirst.insert("SeveralTalkersCamera", "");
    expectedFirst.insert("BackToHomeCameras", "all");
    expectedFirst.insert("PresetLinkCameraMap", QJsonObject());
    QCOMPARE(readJson(configFile()), expectedFirst);

    {
        MainWindow window(nullptr, uniqueInstanceName());
        PresetLink* page = window.presetLinkPage();
        page->presetBox(1)->setCurrentIndex(0);
        page->slot_Apply();
        window.slot_Exit();
    }
    QJsonObject expected = expectedFirst;
    QJsonObject links = expected.value("PresetLinkMap").toObject();
    links.insert("ArrayPos1", -1);
    expected.insert("PresetLinkMap", links);
    QCOMPARE(readJson(configFile()), expected);
}

void TstSettingsDocument::documentWithoutIndexIsWrittenBackUnchanged() {
    QJsonObject original = fullDocument();
    original.remove("SoundDeviceIndex");
    writeBytes(configFile(), QJsonDocument(original).toJson());

    MainWindow window(nullptr, uniqueInstanceName());
    PresetLink* page = window.presetLinkPage();
    // The page loaded nothing from it...
    QCOMPARE(page->presetBox(3)->currentIndex(), 3);
    // ...and its edits do not go into it.
    page->presetBox(3)->setCurrentIndex(0);
    page->slot_Apply();
    window.slot_CloseClicked();
    QCOMPARE(readJson(configFile()), original);
    QVERIFY(!QFile::exists(configFile() + SettingsDocument::kUnreadableSuffix));
}

void TstSettingsDocument::damagedFileIsKeptAndDefaultsUsed_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("truncated") << QByteArray("{\n    \"SoundDeviceIndex\": 4,\n    \"IPAddr");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("top-level array") << QByteArray("[1, 2, 3]");
    QTest::newRow("binary garbage") << QByteArray("\x00\xff\xfe{{{\x01", 8);
}

void TstSettingsDocument::damagedFileIsKeptAndDefaultsUsed() {
    QFETCH(QByteArray, content);
    const QString aside = configFile() + SettingsDocument::kUnreadableSuffix;
    writeBytes(aside, "an older unreadable file");
    writeBytes(configFile(), content);

    {
        MainWindow window(nullptr, uniqueInstanceName());
        QCOMPARE(qApp->property(SettingsDocument::kPropertyName).toJsonObject(),
                 SettingsDocument::defaultDocument());
        QCOMPARE(readBytes(aside), content);
        QVERIFY(!QFile::exists(configFile()));
        window.slot_CloseClicked();
    }
    // The settings are saved again from the defaults, not left empty.
    const QJsonObject saved = readJson(configFile());
    QCOMPARE(saved.value("SoundDeviceIndex").toInt(), 2);
    QVERIFY(saved.contains("PresetLinkMap"));
    QCOMPARE(readBytes(aside), content);
}

void TstSettingsDocument::oversizedFileIsNotRead() {
    writeBytes(configFile(), "{\"SoundDeviceIndex\": 4}");
    {
        QFile grow(configFile());
        QVERIFY(grow.resize(SettingsDocument::kMaxFileBytes + 1));  // sparse: cheap to make
    }
    QCOMPARE(SettingsDocument::load(configFile()), SettingsDocument::defaultDocument());
    QCOMPARE(QFileInfo(configFile() + SettingsDocument::kUnreadableSuffix).size(),
             SettingsDocument::kMaxFileBytes + 1);
}

void TstSettingsDocument::interruptedSaveLeavesOldFile() {
    QDir().mkpath(QFileInfo(configFile()).path());
    const QJsonObject old = fullDocument();
    QVERIFY(SettingsDocument::write(configFile(), old));
    const QByteArray oldBytes = readBytes(configFile());

    QJsonObject newer = old;
    newer.insert("IPAddress", "10.1.1.1");
    bool hookRan = false;
    const bool ok = SettingsDocument::write(configFile(), newer, [&](QSaveFile& file) {
        hookRan = true;
        file.cancelWriting();  // what a failed flush or a crash before the rename amounts to
    });
    QVERIFY(hookRan);
    QVERIFY(!ok);
    QCOMPARE(readBytes(configFile()), oldBytes);
    // No half-written file is left beside it.
    QCOMPARE(QDir(QFileInfo(configFile()).path()).entryList(QDir::Files),
             QStringList{"SoundDeviceConfig.ini"});

    QVERIFY(SettingsDocument::write(configFile(), newer));
    QCOMPARE(readJson(configFile()), newer);
}

void TstSettingsDocument::saveThatRunsOutOfRoomLeavesOldFile() {
    // A file size limit fails the write part of the way through, as a full disk does.
    QDir().mkpath(QFileInfo(configFile()).path());
    const QJsonObject old = fullDocument();
    QVERIFY(SettingsDocument::write(configFile(), old));
    const QByteArray oldBytes = readBytes(configFile());
    QJsonObject newer = old;
    newer.insert("Padding", QString(8192, QLatin1Char('p')));  // well past the limit below

    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
    const bool ok = SettingsDocument::write(configFile(), newer);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!ok);
    QCOMPARE(readBytes(configFile()), oldBytes);
    QCOMPARE(QDir(QFileInfo(configFile()).path()).entryList(QDir::Files),
             QStringList{"SoundDeviceConfig.ini"});
    // Room again: the same save goes through.
    QVERIFY(SettingsDocument::write(configFile(), newer));
    QCOMPARE(readJson(configFile()), newer);
}

void TstSettingsDocument::saveIntoMissingFolderFails() {
    QVERIFY(!SettingsDocument::write(_dir->path() + "/no/such/folder/SoundDeviceConfig.ini", fullDocument()));
    QVERIFY(!SettingsDocument::write(QString(), fullDocument()));
}

QTEST_MAIN(TstSettingsDocument)
#include "tst_SettingsDocument.moc"
