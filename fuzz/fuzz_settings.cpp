// The settings document: any file contents are loaded the way the application starts (the
// loader, then the microphone-array and preset-link pages read the published document, then
// the timing dialog opens on the page's values). Nothing crashes; a file the loader cannot
// use is kept aside byte for byte and the default document is used; a usable file is taken
// as it stands; every value the pages run with stays in its range and the timing dialog
// shows the times that run; and what would be saved reads back the same.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "AdvancedSetting.h"
#include "FuzzChunks.h"
#include "PresetLink.h"
#include "SettingsDocument.h"
#include "SoundDeviceSetting.h"
#include "TrackingEngine.h"

namespace {

// The pages live as long as the process (building them is most of a run's time). Each input
// first loads `reset`, a document holding every key at the value a first start runs with, so
// what an input leaves behind never carries over into the next one.
struct Session {
    std::unique_ptr<QApplication> app;
    std::unique_ptr<QTemporaryDir> dir;
    QString path;
    QString aside;
    std::unique_ptr<PresetLink> presetLink;
    std::unique_ptr<SoundDeviceSetting> soundDevice;
    QJsonObject reset;
};

Session* g_session = nullptr;  // created once in LLVMFuzzerInitialize; the fuzzer's thread only

void quiet(QtMsgType type, const QMessageLogContext&, const QString& message) {
    if (type == QtFatalMsg) {
        fprintf(stderr, "%s\n", qPrintable(message));
        abort();
    }
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The zone editors' limits per brand (the preset-link page's own table).
struct Span {
    int low;
    int high;
};
Span zoneLimits(int brand) {
    switch (brand) {
        case PresetLink::Sennheiser:
            return {0, 360};
        case PresetLink::Nureva:
            return {-70, 70};
        case PresetLink::Yamaha:
            return {-180, 180};
        default:
            return {0, 0};
    }
}

void checkSoundDevicePage(const SoundDeviceSetting& page) {
    FUZZ_CHECK(page.soundDeviceIndex() >= 0 && page.soundDeviceIndex() < page.deviceComboBox()->count());
    FUZZ_CHECK(page.currentDeviceBrand() >= SoundDeviceSetting::Shure &&
               page.currentDeviceBrand() <= SoundDeviceSetting::Yamaha);
    FUZZ_CHECK(page.nurevaPort() >= 1 && page.nurevaPort() <= 65535);
    FUZZ_CHECK(page.sennheiserTriggerLevel() >= SoundDeviceSetting::kSennheiserPeakLevelMin &&
               page.sennheiserTriggerLevel() <= SoundDeviceSetting::kSennheiserPeakLevelMax);
    const double noise = page.nurevaBackgroundNoise();
    FUZZ_CHECK(std::isfinite(noise) && noise >= SoundDeviceSetting::kNurevaBackgroundNoiseMin &&
               noise <= SoundDeviceSetting::kNurevaBackgroundNoiseMax);
    FUZZ_CHECK(page.backHomeTimeMs() == SoundDeviceSetting::kBackHomeOff ||
               page.backHomeTimeMs() >= SoundDeviceSetting::kMinBackHomePeriodMs);
    FUZZ_CHECK(page.backHomeAction() == SoundDeviceSetting::BackHomeToHomePosition ||
               page.backHomeAction() == SoundDeviceSetting::BackHomeToPresetZero);
    FUZZ_CHECK(page.delayTriggerTimeMs() >= 0 && page.delayTriggerTimeMs() <= INT32_MAX);
}

void checkPresetLinkPage(PresetLink& page) {
    const QMap<int, int> presets = page.presetMap();
    for (int i = 1; i <= PresetLink::kPositionCount; ++i) {
        const int preset = presets.value(i, 0);
        FUZZ_CHECK(preset >= -1 && preset <= PresetLink::kPositionCount);
        FUZZ_CHECK(page.presetBox(i)->currentIndex() == (preset < 0 ? 0 : preset));
    }
    // Whatever zones the file held, every brand runs with zones inside its editors' limits.
    const int brand = page.deviceBrandInt();
    const int type = page.deviceTypeInt();
    for (int b : {PresetLink::Sennheiser, PresetLink::Nureva, PresetLink::Yamaha}) {
        page.slot_SwitchSoundDeviceType(type, b);
        const int position = page.positionForAzimuth(0);
        FUZZ_CHECK(position == -1 || (position >= 1 && position <= PresetLink::kPositionCount));
        const Span limits = zoneLimits(b);
        for (int i = 1; i <= PresetLink::kPositionCount; ++i) {
            const AzimuthRange r = page.range(b, i);
            FUZZ_CHECK(r.start >= limits.low && r.start <= limits.high);
            FUZZ_CHECK(r.end >= limits.low && r.end <= limits.high);
        }
    }
    page.slot_SwitchSoundDeviceType(type, brand);
}

// Opens the timing dialog the way the page's "Advanced" button does and checks, while it is
// open, that it shows the values the page runs with.
void checkTimingDialog(SoundDeviceSetting& page) {
    bool seen = false;
    QTimer::singleShot(0, &page, [&page, &seen] {
        AdvancedSetting* dialog = page.advancedSettingDialog();
        FUZZ_CHECK(dialog != nullptr && dialog->isVisible());
        FUZZ_CHECK(dialog->delayTriggerTime() == page.delayTriggerTimeMs());
        FUZZ_CHECK(dialog->backHomeTimeInt() == page.backHomeTimeMs());
        FUZZ_CHECK(dialog->backHomeActionInt() == page.backHomeAction());
        const auto* delay = dialog->findChild<QComboBox*>(QStringLiteral("delayTime_comboBox"));
        const auto* backHome = dialog->findChild<QComboBox*>(QStringLiteral("backHome_comboBox"));
        const auto* action = dialog->findChild<QComboBox*>(QStringLiteral("backHomeAction_comboBox"));
        FUZZ_CHECK(delay && backHome && action);
        FUZZ_CHECK(delay->currentData().toLongLong() == page.delayTriggerTimeMs());
        FUZZ_CHECK(backHome->currentData().toInt() == page.backHomeTimeMs());
        FUZZ_CHECK(action->currentData().toInt() == page.backHomeAction());
        const auto* level = dialog->findChild<QSpinBox*>(QStringLiteral("audio_trigger_spinBox"));
        FUZZ_CHECK(level != nullptr);
        if (page.currentDeviceBrand() == SoundDeviceSetting::Sennheiser)
            FUZZ_CHECK(level->value() == page.sennheiserTriggerLevel());
        if (page.currentDeviceBrand() == SoundDeviceSetting::Nureva)
            FUZZ_CHECK(level->value() == static_cast<int>(page.nurevaBackgroundNoise()));
        seen = true;
        dialog->reject();
    });
    page.advancedButton()->click();
    FUZZ_CHECK(seen);
}

// What a save writes: the pages' values go into the document when it takes them.
void applyPageValues(QJsonObject& document, const SoundDeviceSetting& soundDevice,
                     const PresetLink& presetLink) {
    if (!SettingsDocument::takesPageValues(document))
        return;
    soundDevice.settings().toJson(document);
    SettingsDocument::PresetLinkValues links;
    links.presetMap = presetLink.presetMap();
    links.sennheiserRanges = presetLink.rangeTexts(PresetLink::Sennheiser);
    links.nurevaRanges = presetLink.rangeTexts(PresetLink::Nureva);
    links.yamahaRanges = presetLink.rangeTexts(PresetLink::Yamaha);
    SettingsDocument::applyPresetLinkValues(document, links);
}

void loadPages(const QJsonObject& document, SoundDeviceSetting& soundDevice, PresetLink& presetLink) {
    qApp->setProperty(SettingsDocument::kPropertyName, document);
    soundDevice.loadSettings();
    presetLink.loadSettings();
}

}  // namespace

// fontconfig, which Qt asks for fonts the first time a window is shown, keeps a few hundred
// bytes it never frees; that is not this program's leak.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(quiet);
    g_session = new Session;
    g_session->app = std::make_unique<QApplication>(*argc, *argv);
    // A save syncs the file to disk; in a memory file system that costs nothing, on a disk it
    // would be most of each run.
    const QString shm = QStringLiteral("/dev/shm");
    g_session->dir = QFileInfo(shm).isWritable()
                         ? std::make_unique<QTemporaryDir>(shm + QStringLiteral("/vex-fuzz-settings-XXXXXX"))
                         : std::make_unique<QTemporaryDir>();
    FUZZ_CHECK(g_session->dir->isValid());
    g_session->path = SettingsDocument::configFile(g_session->dir->path());
    g_session->aside = g_session->path + QLatin1String(SettingsDocument::kUnreadableSuffix);
    g_session->presetLink = std::make_unique<PresetLink>();
    g_session->soundDevice = std::make_unique<SoundDeviceSetting>();
    QObject::connect(g_session->soundDevice.get(), &SoundDeviceSetting::signal_SwitchSoundDevice,
                     g_session->presetLink.get(), &PresetLink::slot_SwitchSoundDeviceType);
    g_session->presetLink->setTrackingEngine(g_session->soundDevice->trackingEngine());
    g_session->reset = SettingsDocument::defaultDocument();
    applyPageValues(g_session->reset, *g_session->soundDevice, *g_session->presetLink);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const Session& s = *g_session;
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QFile::remove(s.aside);
    FUZZ_CHECK(writeFile(s.path, bytes));

    const QJsonObject document = SettingsDocument::load(s.path);

    // The loader reads in text mode, which drops every carriage return.
    QByteArray asRead = bytes;
    asRead.replace('\r', QByteArray());
    QJsonParseError error{};
    const QJsonDocument parsed = QJsonDocument::fromJson(asRead, &error);
    if (error.error == QJsonParseError::NoError && parsed.isObject()) {
        // Taken as it stands, and left where it is.
        FUZZ_CHECK(document == parsed.object());
        FUZZ_CHECK(QFile::exists(s.path) && !QFile::exists(s.aside));
    } else {
        // Kept aside unchanged, and the start goes on with the default document.
        FUZZ_CHECK(!QFile::exists(s.path) && QFile::exists(s.aside));
        FUZZ_CHECK(readFile(s.aside) == bytes);
        FUZZ_CHECK(document == SettingsDocument::defaultDocument());
    }

    SoundDeviceSetting& soundDevice = *s.soundDevice;
    PresetLink& presetLink = *s.presetLink;
    loadPages(s.reset, soundDevice, presetLink);
    loadPages(document, soundDevice, presetLink);

    checkSoundDevicePage(soundDevice);
    checkPresetLinkPage(presetLink);
    checkTimingDialog(soundDevice);

    // What a save writes loads back the same, without being kept aside.
    QJsonObject saved = document;
    applyPageValues(saved, soundDevice, presetLink);
    QFile::remove(s.aside);
    FUZZ_CHECK(SettingsDocument::write(s.path, saved));
    FUZZ_CHECK(SettingsDocument::load(s.path) == saved);
    FUZZ_CHECK(!QFile::exists(s.aside));
    return 0;
}
