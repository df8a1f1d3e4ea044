// The microphone-array page against fake arrays on 127.0.0.1: the link state machine, the
// bytes each brand is polled with, the talker decisions with a manual clock, return home,
// link failures, hostile input and the settings it loads.
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLabel>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <memory>

#include "AdvancedSetting.h"
#include "CamUSBControlThread.h"
#include "PresetLink.h"
#include "SoundDeviceSetting.h"
#include "TrackingEngine.h"
#include "SimRawWebSocketArray.h"
#include "SimTcpArray.h"
#include "SimWebSocketArray.h"
#include "StalledListener.h"

namespace {

constexpr int kShureMxa910 = 0;
constexpr int kShureMxa920 = 1;
constexpr int kShureMxa310 = 2;
constexpr int kSennheiserTcc2 = 3;
constexpr int kNurevaHdl300 = 4;
constexpr int kYamahaRmcg = 5;
constexpr int kLinkTimeoutMs = 5000;

const QByteArray kShurePoll =
    "< GET AUTO_COVERAGE >< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >< GET 0 AUDIO_IN_PEAK_LVL >";

QByteArray shureGate(int channel, bool on) {
    return QStringLiteral("< REP %1 AUTOMIX_GATE_OUT_EXT_SIG %2 >")
        .arg(channel)
        .arg(on ? "ON" : "OFF")
        .toLatin1();
}

QByteArray shureAreaGate(int area, bool on) {
    return QStringLiteral("< REP %1 AUTOMIX_GATE_OUT_CA %2 >").arg(area).arg(on ? "ON" : "OFF").toLatin1();
}

QByteArray shurePeak(int channel, int level) {
    return QStringLiteral("< REP %1 AUDIO_IN_PEAK_LVL %2 >")
        .arg(channel, 2, 10, QLatin1Char('0'))
        .arg(level)
        .toLatin1();
}

QByteArray sennheiserReply(int peak, int azimuth) {
    return QStringLiteral("{\"m\":{\"in1\":{\"peak\":%1}}}\r\n{\"m\":{\"beam\":{\"azimuth\":%2}}}\r\n")
        .arg(peak)
        .arg(azimuth)
        .toLatin1();
}

QString nurevaReport(double power, double azimuth) {
    return QStringLiteral(R"({"body":{"powerLevel":%1,"azimuth":%2,"time":"2026-12-07T10:00:00.250Z"}})")
        .arg(power)
        .arg(azimuth);
}

QList<QVariantList> callsOf(const QSignalSpy& spy) {
    QList<QVariantList> calls;
    for (const QList<QVariant>& call : spy) calls.append(call);
    return calls;
}

// WCAG contrast ratio between the background of an area (its most frequent colour) and the
// colour in it that stands out most from that background (the text).
double contrastInArea(const QImage& image, const QRect& area) {
    auto luminance = [](QRgb rgb) {
        auto channel = [](int value) {
            const double c = value / 255.0;
            return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) + 0.0722 * channel(qBlue(rgb));
    };
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) ++counts[image.pixel(x, y) | 0xff000000u];
    QRgb background = 0;
    int most = -1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            background = it.key();
        }
    }
    const double backgroundLuminance = luminance(background);
    double ratio = 1.0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        const double l = luminance(it.key());
        ratio = std::max(
            ratio, (std::max(l, backgroundLuminance) + 0.05) / (std::min(l, backgroundLuminance) + 0.05));
    }
    return ratio;
}

bool containsCall(const QSignalSpy& spy, const QVariantList& arguments) {
    return callsOf(spy).contains(arguments);
}

// The tracking's camera commands as the camera's code pairs: either the presets (talkers' and
// the several-talkers shot) or the returns home (the home position, or preset 0: no talker of
// these tests is linked to preset 0).
class TrackingCommands {
public:
    enum Which { Presets, Homes };
    TrackingCommands(const QSignalSpy& spy, Which which) : _spy(spy), _which(which) {}

    QList<QVariantList> all() const {
        QList<QVariantList> out;
        for (const QList<QVariant>& args : _spy) {
            const auto command = args.at(0).value<CameraCommand>();
            const bool home = !command.isPresetCall() || command.value == 0;
            if (home == (_which == Homes)) {
                const auto [code, value] = CamUSBControlThread::workerCode(command);
                out.append(QVariantList{code, value});
            }
        }
        return out;
    }
    int count() const { return all().size(); }
    bool isEmpty() const { return all().isEmpty(); }
    QVariantList at(int i) const { return all().at(i); }
    QVariantList last() const { return all().last(); }

private:
    const QSignalSpy& _spy;
    Which _which;
};

QList<QVariantList> callsOf(const TrackingCommands& commands) {
    return commands.all();
}

}  // namespace

class tst_SoundDeviceSetting : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void deviceListAndPorts();
    void deviceListPopupIsReadable();
    void shurePollingFollowsTheLink();
    void sennheiserAndNurevaPolling();
    void yamahaWaitsForRunModeThenMeters();

    void shureGateAndPeakTriggerAfterDelay();
    void shureGateOpeningOnAHeldLevelWaitsTheDelay();
    void shureTwoGatesCallNoPreset();
    void presetGoesOutWhenTheDelayEndsBetweenReports();
    void shureHighChannelsAndAutoCoverage();
    void shureAutomaticCoverageTracksByCoverageArea();
    void sennheiserSilenceTiming_data();
    void sennheiserSilenceTiming();
    void sennheiserOutsideEveryZoneOnlyArmsReturnHome();
    void sennheiserIndentedRepliesMoveTheLight();
    void yamahaTalkerAndSeveralNotifications();
    void yamahaPollAnswerSharingAReadWithANotification();
    void nurevaTalkerAndPowerZero();
    void returnHomePeriodActionsAndOff();

    void linkLossAndClearingByBrand();
    void refusedConnectionAndUnparsableAddress();
    void connectingKeepsTheWindowResponsive();
    void silentTcpArrayIsALostLink();
    void webSocketLinkLivesOnPongs();
    void staleEndsOfAPreviousLinkAreIgnored();
    void splitRepliesAndHostileInputOnEveryLink();
    void settingsRoundTrip();
    void oddSavedTimingValuesAreReplaced();
    void timingDialogAndSlots();

    void reconnectBacksOffUntilTheArrayIsBack();
    void reconnectOnlyWhereItIsMeant();
    void webSocketLinkReconnectsToo();
    void minimumHoldKeepsTheCameraOnTheFirstTalker();
    void severalTalkersGetTheirOwnShot();
    void manualOverridePausesPresetsAndReturnHome();
    void trackingSwitchKeepsLightsButSendsNothing();
    void trackingSettingsLoadWithDefaults();

private:
    // Selects the array, points it at the fake and ticks Connect like the user does.
    void link(int deviceIndex, int port);
    // Starts `array` on loopback and links the page to it; true once both ends see the link.
    bool linkTo(SimTcpArray& array, int deviceIndex);
    // Sends a report that carries no talker and waits until the page has evaluated it: every
    // such report arms the return-home countdown, which is stopped first.
    void sendSilent(SimTcpArray& array, const QByteArray& bytes);

    std::unique_ptr<PresetLink> presetLink;
    std::unique_ptr<SoundDeviceSetting> page;
    std::unique_ptr<QSignalSpy> lights;
    std::unique_ptr<QSignalSpy> calls;
    std::unique_ptr<QSignalSpy> warnings;
    std::unique_ptr<QSignalSpy> sent;
    std::unique_ptr<TrackingCommands> commands;
    std::unique_ptr<TrackingCommands> presetCommands;
    std::unique_ptr<QSignalSpy> sennheiserAzimuths;
    std::unique_ptr<QSignalSpy> nurevaAzimuths;
    std::unique_ptr<QSignalSpy> yamahaAzimuths;
    qint64 fakeNow = 1'700'000'000'000;
};

void tst_SoundDeviceSetting::init() {
    qApp->setProperty("configDataInforJsonObject", QVariant());
    presetLink = std::make_unique<PresetLink>();
    page = std::make_unique<SoundDeviceSetting>();
    page->setClock([this] { return fakeNow; });
    // The main window's wiring between the two pages and the tracker.
    connect(page.get(), &SoundDeviceSetting::signal_SwitchSoundDevice, presetLink.get(),
            &PresetLink::slot_SwitchSoundDeviceType);
    connect(page.get(), &SoundDeviceSetting::signal_GetShureSoundDeviceArrayPosState, presetLink.get(),
            &PresetLink::slot_GetSureSoundDeviceArrayPosState);
    connect(page.get(), &SoundDeviceSetting::signal_GetSennheiserTCC2Azimuth, presetLink.get(),
            &PresetLink::slot_GetSennheiserTCC2Azimuth);
    connect(page.get(), &SoundDeviceSetting::signal_GetNurveaAzimuth, presetLink.get(),
            &PresetLink::slot_GetNurveaAzimuth);
    connect(page.get(), &SoundDeviceSetting::signal_GetYamahaAzimuth, presetLink.get(),
            &PresetLink::slot_GetYamahaAzimuth);
    presetLink->setTrackingEngine(page->trackingEngine());
    // A camera is connected.
    page->trackingEngine()->setCamera(QStringLiteral("1&2.4&1&0000"));

    lights = std::make_unique<QSignalSpy>(page.get(),
                                          &SoundDeviceSetting::signal_GetShureSoundDeviceArrayPosState);
    calls = std::make_unique<QSignalSpy>(page.get(), &SoundDeviceSetting::signal_CallCameraPreset);
    warnings = std::make_unique<QSignalSpy>(page.get(), &SoundDeviceSetting::signal_WarningMessage);
    sent = std::make_unique<QSignalSpy>(page.get(), &SoundDeviceSetting::signal_AddUSBCommand);
    commands = std::make_unique<TrackingCommands>(*sent, TrackingCommands::Homes);
    presetCommands = std::make_unique<TrackingCommands>(*sent, TrackingCommands::Presets);
    sennheiserAzimuths =
        std::make_unique<QSignalSpy>(page.get(), &SoundDeviceSetting::signal_GetSennheiserTCC2Azimuth);
    nurevaAzimuths = std::make_unique<QSignalSpy>(page.get(), &SoundDeviceSetting::signal_GetNurveaAzimuth);
    yamahaAzimuths = std::make_unique<QSignalSpy>(page.get(), &SoundDeviceSetting::signal_GetYamahaAzimuth);
}

void tst_SoundDeviceSetting::cleanup() {
    lights.reset();
    calls.reset();
    warnings.reset();
    commands.reset();
    presetCommands.reset();
    sent.reset();
    sennheiserAzimuths.reset();
    nurevaAzimuths.reset();
    yamahaAzimuths.reset();
    page.reset();
    presetLink.reset();
}

void tst_SoundDeviceSetting::link(int deviceIndex, int port) {
    page->deviceComboBox()->setCurrentIndex(deviceIndex);
    page->setDevicePort(page->currentDeviceBrand(), port);
    page->ipLineEdit()->setText(QStringLiteral("127.0.0.1"));
    page->connectCheckBox()->click();
}

bool tst_SoundDeviceSetting::linkTo(SimTcpArray& array, int deviceIndex) {
    if (!array.listen())
        return false;
    link(deviceIndex, array.port());
    return QTest::qWaitFor([&] { return array.hasClient() && page->isDeviceConnected(); });
}

void tst_SoundDeviceSetting::sendSilent(SimTcpArray& array, const QByteArray& bytes) {
    page->slot_BackToHomeTriggerTimeChange(page->backHomeTimeMs());
    QVERIFY(!page->isBackHomeTimerActive());
    array.send(bytes);
    QTRY_VERIFY_WITH_TIMEOUT(page->isBackHomeTimerActive(), kLinkTimeoutMs);
}

// ---- selection and polling --------------------------------------------------------------

void tst_SoundDeviceSetting::deviceListAndPorts() {
    QComboBox* devices = page->deviceComboBox();
    const QStringList texts = {"Shure: MXA910",    "Shure: MXA920",  "Shure: MXA310",
                               "Sennheiser: TCC2", "Nureva: HDL300", "Yamaha: RM-CG"};
    const QList<int> brands = {0, 0, 0, 1, 2, 3};
    QCOMPARE(devices->count(), 6);
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(devices->itemText(i), texts[i]);
        QCOMPARE(devices->itemData(i).toInt(), brands[i]);
        QCOMPARE(page->soundDeviceText(i), texts[i]);
    }
    QCOMPARE(devices->itemData(3, Qt::ToolTipRole).toString(), QStringLiteral("TeamConnect Celling 2"));
    QCOMPARE(page->soundDeviceIndex(), 2);
    QCOMPARE(page->portSpinBox()->value(), 2202);
    QVERIFY(!page->portSpinBox()->isEnabled());

    QSignalSpy switched(page.get(), &SoundDeviceSetting::signal_SwitchSoundDevice);
    const QList<int> ports = {2202, 2202, 2202, 45, 8931, 49280};
    for (int i : {3, 4, 5, 0}) {
        devices->setCurrentIndex(i);
        QCOMPARE(page->portSpinBox()->value(), ports[i]);
        QCOMPARE(page->portSpinBox()->isEnabled(), brands[i] == SoundDeviceSetting::Nureva);
        QCOMPARE(switched.takeLast(), (QVariantList{i, brands[i]}));
    }
    QCOMPARE(presetLink->deviceBrandInt(), 0);

    // Only the Nureva port is the user's; a fixed port springs back.
    page->portSpinBox()->setValue(1234);
    QCOMPARE(page->portSpinBox()->value(), 2202);
    devices->setCurrentIndex(kNurevaHdl300);
    page->portSpinBox()->setValue(9000);
    QCOMPARE(page->nurevaPort(), 9000);
    const QMap<QString, int> expectedPorts = {
        {"Shure", 2202}, {"Sennheiser", 45}, {"Nurvea", 9000}, {"Yamaha", 49280}};
    QCOMPARE(page->portMap(), expectedPorts);
}

void tst_SoundDeviceSetting::deviceListPopupIsReadable() {
    // Every entry of the opened device list must be legible, not only the highlighted one.
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    QComboBox* devices = page->deviceComboBox();
    devices->showPopup();
    QAbstractItemView* view = devices->view();
    QTRY_VERIFY(view->isVisible());
    const QImage image = view->viewport()->grab().toImage();
    QVERIFY(!image.isNull());
    for (int row = 0; row < devices->count(); ++row) {
        if (row == devices->currentIndex())
            continue;
        const QRect area = view->visualRect(devices->model()->index(row, 0)).intersected(image.rect());
        QVERIFY(!area.isEmpty());
        const double contrast = contrastInArea(image, area);
        QVERIFY2(contrast >= 4.5, qPrintable(QStringLiteral("row %1: contrast %2").arg(row).arg(contrast)));
    }
    devices->hidePopup();
}

void tst_SoundDeviceSetting::shurePollingFollowsTheLink() {
    SimTcpArray array;
    QVERIFY(array.listen());
    link(kShureMxa910, array.port());
    QTRY_VERIFY_WITH_TIMEOUT(page->isDeviceConnected(), kLinkTimeoutMs);
    QVERIFY(page->isPolling());
    QCOMPARE(page->pollIntervalMs(), 100);
    QVERIFY(!page->deviceComboBox()->isEnabled());
    QVERIFY(!page->ipLineEdit()->isEnabled());
    QVERIFY(!page->advancedButton()->isEnabled());

    QTRY_VERIFY_WITH_TIMEOUT(array.received.size() >= 3 * kShurePoll.size(), kLinkTimeoutMs);
    // Only whole polls, nothing else: every tick writes the three requests in order.
    const QByteArray received = array.received;
    QCOMPARE(received.left(kShurePoll.size()), kShurePoll);
    QCOMPARE(QByteArray(kShurePoll).repeated(received.size() / kShurePoll.size()),
             received.left(received.size() / kShurePoll.size() * kShurePoll.size()));

    page->connectCheckBox()->click();  // cleared: the link goes down and polling stops
    QVERIFY(!page->isPolling());
    QVERIFY(!page->isDeviceConnected());
    QVERIFY(page->deviceComboBox()->isEnabled());
    QVERIFY(page->ipLineEdit()->isEnabled());
    QVERIFY(page->advancedButton()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(array.disconnections, 1, kLinkTimeoutMs);
}

void tst_SoundDeviceSetting::sennheiserAndNurevaPolling() {
    {
        SimTcpArray array;
        QVERIFY(array.listen());
        link(kSennheiserTcc2, array.port());
        QTRY_VERIFY_WITH_TIMEOUT(page->isPolling(), kLinkTimeoutMs);
        QCOMPARE(page->pollIntervalMs(), 100);
        auto document = [](const char* group, const char* member) {
            return QByteArray("{\n    \"m\": {\n        \"") + group + "\": {\n            \"" + member +
                   "\": null\n        }\n    }\n}\n\r\n";
        };
        const QByteArray poll =
            document("in1", "peak") + document("beam", "azimuth") + document("beam", "elevation");
        QTRY_VERIFY_WITH_TIMEOUT(array.received.size() >= 2 * poll.size(), kLinkTimeoutMs);
        QCOMPARE(array.received.left(2 * poll.size()), poll + poll);
        page->connectCheckBox()->click();
        QVERIFY(!page->isPolling());
    }
    SimWebSocketArray array;
    QVERIFY(array.listen());
    page->deviceComboBox()->setCurrentIndex(kNurevaHdl300);
    page->portSpinBox()->setValue(array.port());  // the user's port
    page->ipLineEdit()->setText(QStringLiteral("127.0.0.1"));
    page->connectCheckBox()->click();
    QVERIFY(!page->portSpinBox()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(page->isDeviceConnected(), kLinkTimeoutMs);
    QCOMPARE(page->pollIntervalMs(), 100);
    QTRY_VERIFY_WITH_TIMEOUT(!array.messages.isEmpty(), kLinkTimeoutMs);

    // The first message subscribes to audio locations. (The link's heartbeat is ping
    // frames, not messages; see webSocketLinkLivesOnPongs.)
    const QJsonObject subscribe = QJsonDocument::fromJson(array.messages.first().toUtf8()).object();
    QCOMPARE(subscribe.value("clientId").toString(), QStringLiteral("Vantor"));
    QCOMPARE(subscribe.value("request").toString(), QStringLiteral("v1/devices/audioLocation"));
    const QString requestId = subscribe.value("requestId").toString();
    QVERIFY(requestId.startsWith('{') && requestId.endsWith('}'));
    QVERIFY(!QUuid::fromString(requestId).isNull());
    QVERIFY(array.messages.first().contains("\n    \"clientId\": \"Vantor\",\n"));

    page->connectCheckBox()->click();
    QVERIFY(page->portSpinBox()->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!page->isPolling(), kLinkTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(array.disconnections, 1, kLinkTimeoutMs);
}

void tst_SoundDeviceSetting::yamahaWaitsForRunModeThenMeters() {
    SimTcpArray array;
    QVERIFY(array.listen());
    // The first question goes out with the link, not one waiting poll later: it is on its
    // way by the time the page has taken the link up.
    auto* socket = page->findChild<QTcpSocket*>(QStringLiteral("tcpSocket"));
    qint64 written = 0;
    qint64 queuedAtLinkUp = -1;
    connect(socket, &QTcpSocket::bytesWritten, this, [&](qint64 bytes) { written += bytes; });
    connect(socket, &QTcpSocket::connected, this, [&] { queuedAtLinkUp = written + socket->bytesToWrite(); });
    link(kYamahaRmcg, array.port());
    QTRY_VERIFY_WITH_TIMEOUT(page->isPolling(), kLinkTimeoutMs);
    QCOMPARE(queuedAtLinkUp, qint64(19));
    QCOMPARE(page->pollIntervalMs(), 1000);
    QVERIFY(!page->isYamahaRunning());
    // Waiting: it only asks for the run mode, once a second, however often it is polled.
    QTRY_VERIFY_WITH_TIMEOUT(array.received.size() >= 2 * 19, kLinkTimeoutMs);
    QCOMPARE(array.received.left(38), QByteArray("devstatus runmode \ndevstatus runmode \n"));
    array.send("OK devstatus runmode \"emergency\"\n");
    QTRY_VERIFY_WITH_TIMEOUT(array.received.size() >= 3 * 19, kLinkTimeoutMs);
    QVERIFY(!page->isYamahaRunning());
    QCOMPARE(page->pollIntervalMs(), 1000);

    const int before = array.received.size();
    array.send("OK devstatus runmode \"normal\"\n");
    QTRY_VERIFY_WITH_TIMEOUT(page->isYamahaRunning(), kLinkTimeoutMs);
    QCOMPARE(page->pollIntervalMs(), 100);
    const QByteArray metering = "mtrstart RM:BeamDirection 100 \n";
    QTRY_VERIFY_WITH_TIMEOUT(array.received.count(metering) >= 4, kLinkTimeoutMs);
    const QByteArray after = array.received.mid(before);
    QVERIFY(after.startsWith(metering + "scpmode keepalive 5000 \n" + metering));
    QCOMPARE(after.count("devstatus runmode"), 0);

    // A new attempt starts over in the waiting state.
    page->connectCheckBox()->click();
    QVERIFY(!page->isYamahaRunning());
    page->connectCheckBox()->click();
    QTRY_VERIFY_WITH_TIMEOUT(page->isDeviceConnected(), kLinkTimeoutMs);
    QCOMPARE(page->pollIntervalMs(), 1000);
    QVERIFY(!page->isYamahaRunning());
}

// ---- talker decisions -------------------------------------------------------------------

void tst_SoundDeviceSetting::shureGateAndPeakTriggerAfterDelay() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));
    QCOMPARE(page->isAutoCoverage(), false);

    const qint64 start = fakeNow;
    array.send("< REP AUTO_COVERAGE OFF >" + shureGate(2, true) + shurePeak(2, 30));
    QTRY_COMPARE_WITH_TIMEOUT(lights->count(), 2, kLinkTimeoutMs);
    QCOMPARE(lights->at(0), (QVariantList{2, true}));  // the gate
    QCOMPARE(lights->at(1), (QVariantList{2, true}));  // the evaluation: a talker
    QCOMPARE(page->positionState(2).onSince, start);
    QVERIFY(calls->isEmpty());
    QVERIFY(!page->isBackHomeTimerActive());

    fakeNow = start + 1499;
    array.send(shurePeak(2, 25));
    QTRY_COMPARE_WITH_TIMEOUT(lights->count(), 3, kLinkTimeoutMs);
    QVERIFY(calls->isEmpty());

    fakeNow = start + 1500;
    array.send(shurePeak(2, 25));
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 1, kLinkTimeoutMs);
    QCOMPARE(calls->at(0), QVariantList{2});
    // The preset-link page maps position 2 to its preset and asks for the camera move once.
    QCOMPARE(callsOf(*presetCommands), (QList<QVariantList>{{1, 2}}));
    array.send(shurePeak(2, 25));
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 2, kLinkTimeoutMs);
    QCOMPARE(presetCommands->count(), 1);

    // Quiet, gate still open: the light holds for the delay, then goes out.
    QVERIFY(!page->isBackHomeTimerActive());
    array.send(shurePeak(2, 0));
    QTRY_VERIFY_WITH_TIMEOUT(page->isBackHomeTimerActive(), kLinkTimeoutMs);  // nobody talks now
    QCOMPARE(lights->count(), 5);  // but the light of position 2 holds
    fakeNow += 1499;
    sendSilent(array, shurePeak(2, 0));
    QCOMPARE(lights->count(), 5);
    fakeNow += 1;
    array.send(shurePeak(2, 0));
    QTRY_COMPARE_WITH_TIMEOUT(lights->count(), 6, kLinkTimeoutMs);
    QCOMPARE(lights->last(), (QVariantList{2, false}));
}

void tst_SoundDeviceSetting::shureGateOpeningOnAHeldLevelWaitsTheDelay() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));
    // Channel 2 is known but its gate is shut while it keeps reporting a level.
    array.send(shureGate(2, true) + shureGate(2, false) + shurePeak(2, 30));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(2).level, 30, kLinkTimeoutMs);
    // The gate opens and the first evaluation comes from another channel's report: the
    // talking period starts now, it does not count as already over.
    array.send(shureGate(2, true) + shurePeak(1, 0));
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(2).onSince == fakeNow, kLinkTimeoutMs);
    QVERIFY(calls->isEmpty());
    fakeNow += 1500;
    array.send(shurePeak(2, 30));
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 1, kLinkTimeoutMs);
}

void tst_SoundDeviceSetting::shureTwoGatesCallNoPreset() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));
    array.send(shureGate(1, true) + shureGate(3, true) + shurePeak(1, 20) + shurePeak(3, 25));
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(3).onSince != 0, kLinkTimeoutMs);
    QVERIFY(presetLink->isLightOn(1));
    QVERIFY(presetLink->isLightOn(3));

    fakeNow += 2000;
    array.send(shurePeak(3, 25));
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 2, kLinkTimeoutMs);
    QCOMPARE(callsOf(*calls), (QList<QVariantList>{{1}, {3}}));
    QVERIFY(presetCommands->isEmpty());  // two talkers: the camera stays

    array.send(shureGate(1, false) + shurePeak(3, 25));
    QTRY_COMPARE_WITH_TIMEOUT(presetCommands->count(), 1, kLinkTimeoutMs);
    QCOMPARE(presetCommands->at(0), (QVariantList{1, 3}));
    QVERIFY(!presetLink->isLightOn(1));
}

void tst_SoundDeviceSetting::presetGoesOutWhenTheDelayEndsBetweenReports() {
    // Reports come once per poll, so the delay of a talker usually ends between two of them:
    // the preset goes out when it ends, with no report to wait for, and never before.
    page->slot_DelayTriggerTimeChange(300);
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));

    const qint64 start = fakeNow;
    array.send(shureGate(2, true) + shurePeak(2, 30));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(2).onSince, start, kLinkTimeoutMs);
    QVERIFY(page->isTriggerCheckPending());
    QCOMPARE(page->triggerCheckDueInMs(), 300);
    fakeNow = start + 299;
    page->runTriggerCheck();
    QVERIFY(calls->isEmpty());
    fakeNow = start + 300;
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 1, kLinkTimeoutMs);
    QCOMPARE(calls->at(0), QVariantList{2});
    QCOMPARE(callsOf(*presetCommands), (QList<QVariantList>{{1, 2}}));
    QVERIFY(!page->isTriggerCheckPending());

    // A talker who falls quiet before the delay ends is not followed by the armed check.
    array.send(shureGate(2, false) + shureGate(4, true) + shurePeak(4, 30));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(4).onSince, fakeNow, kLinkTimeoutMs);
    QVERIFY(page->isTriggerCheckPending());
    array.send(shurePeak(4, 0));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(4).onSince, 0, kLinkTimeoutMs);
    fakeNow += 300;
    page->runTriggerCheck();
    QCOMPARE(calls->count(), 1);

    // The same for an array that reports azimuths: a talker at 10 degrees (zone 1).
    page->connectCheckBox()->click();
    QVERIFY(!page->isDeviceConnected());
    SimTcpArray sennheiser;
    QVERIFY(sennheiser.listen());
    link(kSennheiserTcc2, sennheiser.port());
    QTRY_VERIFY(sennheiser.hasClient() && page->isDeviceConnected());
    const qint64 onset = fakeNow;
    sennheiser.send(sennheiserReply(-20, 10));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(1).onSince, onset, kLinkTimeoutMs);
    fakeNow = onset + 300;
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 2, kLinkTimeoutMs);
    QCOMPARE(calls->last(), QVariantList{1});
    // Talking again after a quiet report starts a new period; quiet at its end: no call.
    sennheiser.send(sennheiserReply(-80, 10));
    QTRY_COMPARE_WITH_TIMEOUT(page->currentSilenceCount(), 1, kLinkTimeoutMs);
    fakeNow += 1000;
    page->runTriggerCheck();
    QCOMPARE(calls->count(), 2);
}

void tst_SoundDeviceSetting::shureHighChannelsAndAutoCoverage() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));

    // Channel 9 and above: the gate is kept, its peak changes nothing while auto coverage
    // is off; channels past the sane maximum make no state at all.
    array.send(shureGate(9, true) + shurePeak(9, 40) + shureGate(65, true) + shureGate(1000000, true) +
               shurePeak(65, 40));
    QTRY_VERIFY_WITH_TIMEOUT(lights->count() >= 3, kLinkTimeoutMs);
    QCOMPARE(page->positions(), QList<int>{9});
    QCOMPARE(page->positionState(9).level, 0);
    QVERIFY(page->positionState(9).active);
    QVERIFY(calls->isEmpty());

    // Auto coverage: the coverage areas' gates name the positions, channel gates no longer
    // count (the one left open before the mode changed is forgotten), and the last level of
    // the read is every position's level.
    array.send("< REP AUTO_COVERAGE ON >" + shureAreaGate(1, true) + shureAreaGate(3, true) +
               shureGate(4, true) + shurePeak(1, 0) + shurePeak(3, 40));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(1).level, 40, kLinkTimeoutMs);
    QVERIFY(page->isAutoCoverage());
    QCOMPARE(page->positionState(3).level, 40);
    QVERIFY(!page->positionState(4).active);
    QVERIFY(!page->positionState(9).active);
    QVERIFY(containsCall(*lights, {9, false}));
    fakeNow += 1500;
    array.send(shurePeak(12, 5));
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 2, kLinkTimeoutMs);
    QCOMPARE(callsOf(*calls), (QList<QVariantList>{{1}, {3}}));
}

void tst_SoundDeviceSetting::shureAutomaticCoverageTracksByCoverageArea() {
    // An MXA920 in automatic coverage: the per-area gates come only from the coverage-area
    // query; the all-channel gate query reports only the automix output (here channel 9),
    // and the peak query one automix level.
    SimTcpArray array;
    QVERIFY(array.listen());
    QString coverage = QStringLiteral("On");
    int talkingArea = 3;
    QList<QByteArray> requests;
    array.respond('>', [&](const QByteArray& request) -> QByteArray {
        requests.append(request.trimmed());
        if (request.contains("AUTO_COVERAGE"))
            return QStringLiteral("< REP AUTO_COVERAGE %1 >").arg(coverage).toLatin1();
        if (request.contains("AUTOMIX_GATE_OUT_EXT_SIG"))
            return "< REP 9 AUTOMIX_GATE_OUT_EXT_SIG ON >";
        if (request.contains("AUTOMIX_GATE_OUT_CA")) {
            QByteArray reply;
            for (int area = 1; area <= 8; ++area)
                reply += QStringLiteral("< REP %1 AUTOMIX_GATE_OUT_CA %2 >")
                             .arg(area)
                             .arg(area == talkingArea ? "on" : "OFF")
                             .toLatin1();
            return reply;
        }
        if (request.contains("AUDIO_IN_PEAK_LVL"))
            return "< REP 9 AUDIO_IN_PEAK_LVL 040 >";
        return {};
    });
    presetLink->presetBox(3)->setCurrentIndex(6);  // area 3 calls preset 6
    presetLink->slot_Apply();

    link(kShureMxa920, array.port());
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(3).onSince != 0, kLinkTimeoutMs);
    QVERIFY(page->isAutoCoverage());
    const qint64 start = page->positionState(3).onSince;
    QVERIFY(presetLink->isLightOn(3));
    QVERIFY(!page->isBackHomeTimerActive());
    // Once the mode is known the coverage-area query takes the all-channel query's place.
    requests.clear();
    QTRY_VERIFY_WITH_TIMEOUT(requests.size() >= 6, kLinkTimeoutMs);
    QVERIFY(requests.contains("< GET 0 AUTOMIX_GATE_OUT_CA >"));
    QVERIFY(!requests.contains("< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >"));

    fakeNow = start + 1500;
    QTRY_VERIFY_WITH_TIMEOUT(!presetCommands->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(callsOf(*presetCommands), (QList<QVariantList>{{1, 6}}));
    for (int position = 1; position <= 8; ++position)
        QCOMPARE(presetLink->isLightOn(position), position == 3);

    // The talker moves to area 5: its preset follows after the delay.
    talkingArea = 5;
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(5).onSince != 0, kLinkTimeoutMs);
    QVERIFY(!page->positionState(3).active);
    fakeNow += 1500;
    QTRY_COMPARE_WITH_TIMEOUT(presetCommands->count(), 2, kLinkTimeoutMs);
    QCOMPARE(presetCommands->last(), (QVariantList{1, 5}));

    // Coverage switched off: back to the all-channel query, and the area states are gone.
    coverage = QStringLiteral("off");
    QTRY_VERIFY_WITH_TIMEOUT(!page->isAutoCoverage(), kLinkTimeoutMs);
    QVERIFY(!page->positionState(5).active);
    requests.clear();
    QTRY_VERIFY_WITH_TIMEOUT(requests.size() >= 6, kLinkTimeoutMs);
    QVERIFY(requests.contains("< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >"));
    QVERIFY(!requests.contains("< GET 0 AUTOMIX_GATE_OUT_CA >"));
}

void tst_SoundDeviceSetting::sennheiserSilenceTiming_data() {
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("silentWaitMs");
    QTest::newRow("1500 ms") << 1500 << 900;
    QTest::newRow("500 ms") << 500 << 0;
}

void tst_SoundDeviceSetting::sennheiserSilenceTiming() {
    QFETCH(int, delayMs);
    QFETCH(int, silentWaitMs);
    page->slot_DelayTriggerTimeChange(delayMs);
    SimTcpArray array;
    QVERIFY(linkTo(array, kSennheiserTcc2));

    // A talker at 10 degrees (zone 1) lights it.
    array.send(sennheiserReply(-20, 10));
    QTRY_COMPARE_WITH_TIMEOUT(sennheiserAzimuths->count(), 1, kLinkTimeoutMs);
    QVERIFY(presetLink->isLightOn(1));

    // Six quiet replies only count.
    for (int reply = 1; reply <= 6; ++reply) {
        sendSilent(array, sennheiserReply(-80, 10));
        QCOMPARE(page->currentSilenceCount(), reply);
    }
    QCOMPARE(sennheiserAzimuths->count(), 1);
    // The seventh starts the silent period.
    const qint64 seventh = fakeNow;
    sendSilent(array, sennheiserReply(-80, 10));
    QCOMPARE(page->positionState(1).offSince, seventh);
    if (silentWaitMs > 0) {
        QCOMPARE(sennheiserAzimuths->count(), 1);
        fakeNow = seventh + silentWaitMs - 1;
        sendSilent(array, sennheiserReply(-80, 10));
        QCOMPARE(sennheiserAzimuths->count(), 1);
        fakeNow = seventh + silentWaitMs;
        sendSilent(array, sennheiserReply(-80, 10));
    }
    QCOMPARE(sennheiserAzimuths->count(), 2);
    QCOMPARE(sennheiserAzimuths->last(), QVariantList{400});
    QVERIFY(!presetLink->isLightOn(1));
    QCOMPARE(page->currentSilenceCount(), 0);  // counting starts over
}

void tst_SoundDeviceSetting::sennheiserOutsideEveryZoneOnlyArmsReturnHome() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kSennheiserTcc2));
    sendSilent(array, sennheiserReply(-10, 360));  // every zone's end is exclusive
    QVERIFY(page->positions().isEmpty());
    QVERIFY(sennheiserAzimuths->isEmpty());
    QVERIFY(calls->isEmpty());
}

void tst_SoundDeviceSetting::sennheiserIndentedRepliesMoveTheLight() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kSennheiserTcc2));
    // The array answers in the indented style of the page's own requests.
    auto indented = [](const char* group, const char* member, int value) {
        const QJsonObject reply{{"m", QJsonObject{{group, QJsonObject{{member, value}}}}}};
        return QJsonDocument(reply).toJson(QJsonDocument::Indented) + "\r\n";
    };
    array.send(indented("in1", "peak", -20) + indented("beam", "azimuth", 100));
    QTRY_COMPARE_WITH_TIMEOUT(sennheiserAzimuths->count(), 1, kLinkTimeoutMs);
    QCOMPARE(sennheiserAzimuths->at(0), QVariantList{100});
    QVERIFY(presetLink->isLightOn(3));

    // The talker moves; the light follows, also when a reply is cut inside a document.
    const QByteArray moved = indented("beam", "azimuth", 300);
    array.send(moved.left(20));
    QTRY_VERIFY_WITH_TIMEOUT(array.client->bytesToWrite() == 0, kLinkTimeoutMs);
    QTest::qWait(20);  // lets the first part be read alone; the result does not depend on it
    array.send(moved.mid(20));
    QTRY_COMPARE_WITH_TIMEOUT(sennheiserAzimuths->count(), 2, kLinkTimeoutMs);
    QCOMPARE(sennheiserAzimuths->at(1), QVariantList{300});
    QVERIFY(presetLink->isLightOn(7));
    QVERIFY(!presetLink->isLightOn(3));
}

void tst_SoundDeviceSetting::yamahaTalkerAndSeveralNotifications() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kYamahaRmcg));

    // phi = 0x5a * 2 - 180 = 0 degrees: Yamaha zone 5 [0, 45).
    array.send("NOTIFY mtr RM:BeamDirection raw 5a 3c 1\n");
    QTRY_COMPARE_WITH_TIMEOUT(yamahaAzimuths->count(), 1, kLinkTimeoutMs);
    QCOMPARE(yamahaAzimuths->at(0), QVariantList{0});
    QVERIFY(page->positionState(5).active);
    QVERIFY(presetLink->isLightOn(5));
    fakeNow += 1500;
    array.send("NOTIFY mtr RM:BeamDirection raw 5a 3c 1\n");
    QTRY_COMPARE_WITH_TIMEOUT(calls->count(), 1, kLinkTimeoutMs);
    QCOMPARE(calls->at(0), QVariantList{5});
    QCOMPARE(presetCommands->last(), (QVariantList{1, 5}));

    // Several notifications read at once are evaluated one by one: the talker at 0 degrees,
    // then a talker at -144 degrees (0x12 * 2 - 180, zone 1), who ends zone 5's period.
    page->processYamahaMessage(
        "NOTIFY mtr RM:BeamDirection raw 5a 3c 1\nNOTIFY mtr RM:BeamDirection raw 12 20 1\n");
    QCOMPARE(callsOf(*yamahaAzimuths).mid(2), (QList<QVariantList>{{0}, {-144}}));
    QCOMPARE(calls->count(), 2);
    QVERIFY(page->positionState(1).onSince != 0);
    QCOMPARE(page->positionState(5).onSince, 0);
    QVERIFY(presetLink->isLightOn(1));
}

void tst_SoundDeviceSetting::yamahaPollAnswerSharingAReadWithANotification() {
    // A busy array: every metering poll is answered "OK mtrstart ...", and the talker's
    // notification goes out in the same write, so both arrive in one read.
    SimTcpArray array;
    QVERIFY(array.listen());
    array.respond('\n', [](const QByteArray& request) -> QByteArray {
        if (request == "devstatus runmode \n")
            return "OK devstatus runmode \"normal\"\n";
        if (request == "mtrstart RM:BeamDirection 100 \n")
            return "OK mtrstart RM:BeamDirection 100\r\nNOTIFY mtr RM:BeamDirection raw 5a 3c 1\r\n";
        return "OK scpmode keepalive 5000\n";
    });
    link(kYamahaRmcg, array.port());
    QTRY_VERIFY_WITH_TIMEOUT(page->isYamahaRunning(), kLinkTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(yamahaAzimuths->count() >= 3, kLinkTimeoutMs);
    const qint64 start = page->positionState(5).onSince;
    QVERIFY(start != 0);
    QVERIFY(!page->isBackHomeTimerActive());

    // Many combined reads later the talking period still runs from its start, and the preset
    // is called once the talker has spoken for the delay.
    const int seen = yamahaAzimuths->count();
    QTRY_VERIFY_WITH_TIMEOUT(yamahaAzimuths->count() >= seen + 5, kLinkTimeoutMs);
    QCOMPARE(page->positionState(5).onSince, start);
    QVERIFY(calls->isEmpty());
    fakeNow = start + 1500;
    QTRY_VERIFY_WITH_TIMEOUT(!calls->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(calls->first(), QVariantList{5});
    QCOMPARE(callsOf(*presetCommands), (QList<QVariantList>{{1, 5}}));
    // No poll answer was ever taken for a report.
    for (const QVariantList& azimuth : callsOf(*yamahaAzimuths)) QCOMPARE(azimuth, QVariantList{0});
    QVERIFY(!page->isBackHomeTimerActive());
}

void tst_SoundDeviceSetting::nurevaTalkerAndPowerZero() {
    SimWebSocketArray array;
    QVERIFY(array.listen());
    link(kNurevaHdl300, array.port());
    QTRY_VERIFY_WITH_TIMEOUT(array.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);

    // 10.7 degrees is Nureva zone 5 [2, 20); power above the background noise is a talker.
    array.send(nurevaReport(80.9, 10.7));
    QTRY_COMPARE_WITH_TIMEOUT(nurevaAzimuths->count(), 1, kLinkTimeoutMs);
    QCOMPARE(nurevaAzimuths->at(0), QVariantList{10});
    const ArrayPositionState talking = page->positionState(5);
    QCOMPARE(talking.level, 80);
    QCOMPARE(talking.onSince, fakeNow);
    QCOMPARE(talking.reportTime,
             QDateTime::fromString("2026-12-07T10:00:00.250Z", Qt::ISODateWithMs).toMSecsSinceEpoch());
    QVERIFY(presetLink->isLightOn(5));
    QVERIFY(!page->isBackHomeTimerActive());
    array.send(nurevaReport(30, -60));  // zone 1, below the noise: only counted
    QTRY_COMPARE_WITH_TIMEOUT(page->currentSilenceCount(), 1, kLinkTimeoutMs);
    QCOMPARE(page->positionState(5).onSince, 0);  // another zone's report clears zone 5

    array.send(nurevaReport(0, 10));
    QTRY_COMPARE_WITH_TIMEOUT(nurevaAzimuths->count(), 2, kLinkTimeoutMs);
    QCOMPARE(nurevaAzimuths->last(), QVariantList{400});
    QVERIFY(page->isBackHomeTimerActive());
    for (int position : page->positions()) {
        const ArrayPositionState state = page->positionState(position);
        QVERIFY(!state.active && state.level == 0 && state.onSince == 0 && state.offSince == 0 &&
                state.reportTime == 0);
    }
    QVERIFY(!presetLink->isLightOn(5));

    // Outside every zone is the same as silence; a message without a body is ignored.
    array.send(nurevaReport(90, 70));
    QTRY_COMPARE_WITH_TIMEOUT(nurevaAzimuths->count(), 3, kLinkTimeoutMs);
    QCOMPARE(nurevaAzimuths->last(), QVariantList{400});
    array.send(R"({"status":"subscribed"})");
    array.send(nurevaReport(90, -60));
    QTRY_COMPARE_WITH_TIMEOUT(nurevaAzimuths->count(), 4, kLinkTimeoutMs);
    QCOMPARE(nurevaAzimuths->last(), QVariantList{-60});
}

void tst_SoundDeviceSetting::returnHomePeriodActionsAndOff() {
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));
    page->slot_BackToHomeTriggerTimeChange(1000);
    QCOMPARE(page->backHomeTimeMs(), 1000);

    array.send(shurePeak(1, 0));  // nobody talks
    QTRY_VERIFY_WITH_TIMEOUT(page->isBackHomeTimerActive(), kLinkTimeoutMs);
    QCOMPARE(page->backHomeTimerIntervalMs(), 1000);
    // Periodic: the home command repeats until a talker stops it. The countdown runs on the
    // page's clock; its wake-up is what the engine's timer would do at that moment.
    TrackingEngine* engine = page->trackingEngine();
    QVERIFY(engine->isWakePending());
    QCOMPARE(engine->wakeDueMs(), fakeNow + 1000);
    fakeNow += 999;
    engine->runDue();
    QVERIFY(commands->isEmpty());
    fakeNow += 1;
    engine->runDue();
    fakeNow += 1000;
    engine->runDue();
    QCOMPARE(callsOf(*commands), (QList<QVariantList>{{4, 25}, {4, 25}}));

    page->slot_BackToHomeActionChange(0);
    fakeNow += 1000;
    engine->runDue();
    QCOMPARE(commands->count(), 3);
    QCOMPARE(commands->last(), (QVariantList{1, 0}));

    array.send(shureGate(1, true) + shurePeak(1, 20));
    QTRY_VERIFY_WITH_TIMEOUT(!page->isBackHomeTimerActive(), kLinkTimeoutMs);

    // Off: a changed period stops the countdown, and no idle report starts it again.
    array.send(shureGate(1, false) + shurePeak(1, 0));
    QTRY_VERIFY_WITH_TIMEOUT(page->isBackHomeTimerActive(), kLinkTimeoutMs);
    page->slot_BackToHomeTriggerTimeChange(-1);
    QVERIFY(!page->isBackHomeTimerActive());
    const int lightsBefore = lights->count();
    array.send(shurePeak(1, 0));
    QTRY_VERIFY_WITH_TIMEOUT(lights->count() > lightsBefore, kLinkTimeoutMs);
    QVERIFY(!page->isBackHomeTimerActive());
    // A zero period from an edited settings file would fire continuously: treated as off.
    page->slot_BackToHomeTriggerTimeChange(0);
    page->setBackHomeTimerIsStart(true);
    QVERIFY(!page->isBackHomeTimerActive());

    // The link going down stops a running countdown.
    page->slot_BackToHomeTriggerTimeChange(10000);
    page->setBackHomeTimerIsStart(true);
    QVERIFY(page->isBackHomeTimerActive());
    page->connectCheckBox()->click();
    QTRY_VERIFY_WITH_TIMEOUT(!page->isBackHomeTimerActive(), kLinkTimeoutMs);
}

// ---- failures ---------------------------------------------------------------------------

void tst_SoundDeviceSetting::linkLossAndClearingByBrand() {
    // The loss as such; reconnecting has its own tests.
    page->slot_AutoReconnectChange(false);
    {
        // A TCP array that goes away: "Connection Loss.", lights off, states cleared, idle.
        SimTcpArray array;
        QVERIFY(linkTo(array, kShureMxa910));
        array.send(shureGate(2, true) + shurePeak(2, 30));
        QTRY_VERIFY_WITH_TIMEOUT(page->positionState(2).active, kLinkTimeoutMs);
        lights->clear();
        array.dropClient();
        QTRY_VERIFY_WITH_TIMEOUT(!page->connectCheckBox()->isChecked(), kLinkTimeoutMs);
        QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Connection Loss.")}}));
        QVERIFY(!page->positionState(2).active);
        QVERIFY(containsCall(*lights, {2, false}));
        QVERIFY(!page->isPolling());
        QVERIFY(page->deviceComboBox()->isEnabled());
    }
    warnings->clear();
    {
        // A Nureva link that goes away keeps its position states (its silence report clears
        // them); the page returns to idle all the same, and the talker's light goes out:
        // nothing is known about the room any more.
        SimWebSocketArray array;
        QVERIFY(array.listen());
        link(kNurevaHdl300, array.port());
        QTRY_VERIFY_WITH_TIMEOUT(array.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);
        array.send(nurevaReport(80, 10));
        QTRY_VERIFY_WITH_TIMEOUT(page->positionState(5).onSince != 0, kLinkTimeoutMs);
        QVERIFY(presetLink->isLightOn(5));
        array.dropClient();
        QTRY_VERIFY_WITH_TIMEOUT(!page->connectCheckBox()->isChecked(), kLinkTimeoutMs);
        QVERIFY(!page->isPolling());
        QVERIFY(page->positionState(5).onSince != 0);
        for (int position = 1; position <= 8; ++position) QVERIFY(!presetLink->isLightOn(position));
        QVERIFY(page->portSpinBox()->isEnabled());
        QVERIFY(warnings->count() <= 1);
        if (!warnings->isEmpty())
            QCOMPARE(warnings->at(0), QVariantList{QStringLiteral("Connection Loss.")});
    }
}

void tst_SoundDeviceSetting::refusedConnectionAndUnparsableAddress() {
    int closedPort = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        closedPort = probe.serverPort();
    }
    link(kSennheiserTcc2, closedPort);
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Device cannot connect.")}}));
    QVERIFY(!page->connectCheckBox()->isChecked());
    QVERIFY(page->deviceComboBox()->isEnabled());
    QVERIFY(!page->isPolling());
    QVERIFY(!page->isDeviceConnected());

    // Nureva refused: the warning arrives through the socket, then the page is idle again.
    warnings->clear();
    link(kNurevaHdl300, closedPort);
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(warnings->at(0), QVariantList{QStringLiteral("Device cannot connect.")});
    QTRY_VERIFY_WITH_TIMEOUT(!page->connectCheckBox()->isChecked(), kLinkTimeoutMs);
    QVERIFY(page->deviceComboBox()->isEnabled());
    QVERIFY(!page->isConnecting());  // settled: its time-out cannot warn a second time
    QCOMPARE(warnings->count(), 1);

    // An address that does not parse ends the attempt quietly, for every brand.
    warnings->clear();
    for (int device : {kShureMxa310, kYamahaRmcg, kNurevaHdl300}) {
        for (const QString& address :
             {QString(), QStringLiteral("300.1.2.3"), QStringLiteral("array.local")}) {
            page->deviceComboBox()->setCurrentIndex(device);
            page->ipLineEdit()->setText(address);
            page->connectCheckBox()->click();
            QVERIFY(!page->connectCheckBox()->isChecked());
            QVERIFY(page->deviceComboBox()->isEnabled());
            QVERIFY(page->ipLineEdit()->isEnabled());
            QVERIFY(page->advancedButton()->isEnabled());
            QVERIFY(!page->isPolling());
        }
    }
    QVERIFY(warnings->isEmpty());

    // Automatic connect at start with the saved empty address: the same quiet end.
    page->slot_StartAutoConnect();
    QVERIFY(!page->connectCheckBox()->isChecked());
    QVERIFY(warnings->isEmpty());
}

void tst_SoundDeviceSetting::connectingKeepsTheWindowResponsive() {
    StalledListener unreachable;
    QVERIFY(unreachable.start());
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&ticks] { ++ticks; });
    ticker.start(10);
    QElapsedTimer clock;
    clock.start();

    // The click returns at once, the attempt still running; the event loop goes on.
    link(kShureMxa910, unreachable.port());
    QVERIFY(warnings->isEmpty());
    QVERIFY(page->connectCheckBox()->isChecked());
    QVERIFY(!page->deviceComboBox()->isEnabled());
    QVERIFY(!page->isDeviceConnected());
    QTRY_VERIFY_WITH_TIMEOUT(ticks >= 20, kLinkTimeoutMs);
    QVERIFY(warnings->isEmpty());

    // After 5 s the attempt fails as a refused one does.
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), 3 * kLinkTimeoutMs);
    QVERIFY2(clock.elapsed() >= 4500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Device cannot connect.")}}));
    QVERIFY(!page->connectCheckBox()->isChecked());
    QVERIFY(page->deviceComboBox()->isEnabled());
    QVERIFY(!page->isPolling());
    QVERIFY(!page->isDeviceConnected());

    // Clearing the box during an attempt ends it quietly: nothing is left to time out.
    warnings->clear();
    page->connectCheckBox()->click();
    QVERIFY(page->connectCheckBox()->isChecked());
    auto* tcpSocket = page->findChild<QTcpSocket*>(QStringLiteral("tcpSocket"));
    QCOMPARE(tcpSocket->state(), QAbstractSocket::ConnectingState);
    page->connectCheckBox()->click();
    QVERIFY(page->deviceComboBox()->isEnabled());
    QCOMPARE(tcpSocket->state(), QAbstractSocket::UnconnectedState);
    QVERIFY(!page->isConnecting());
    QTest::qWait(50);
    QVERIFY(warnings->isEmpty());
    QVERIFY(!page->connectCheckBox()->isChecked());

    // The WebSocket link is bounded the same way: 5 s, then "Device cannot connect.".
    clock.restart();
    link(kNurevaHdl300, unreachable.port());
    QVERIFY(page->isConnecting());
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), 3 * kLinkTimeoutMs);
    QVERIFY2(clock.elapsed() >= 4500, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Device cannot connect.")}}));
    QVERIFY(!page->connectCheckBox()->isChecked());
    QVERIFY(page->deviceComboBox()->isEnabled());
    QVERIFY(!page->isConnecting());
}

void tst_SoundDeviceSetting::silentTcpArrayIsALostLink() {
    // The loss as such; reconnecting has its own tests.
    page->slot_AutoReconnectChange(false);
    // Every poll of a TCP array is answered; an array that accepted the link and went
    // silent is gone, even though the connection itself stays up.
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));
    array.send(shureGate(2, true) + shurePeak(2, 30));
    QTRY_VERIFY_WITH_TIMEOUT(presetLink->isLightOn(2), kLinkTimeoutMs);
    auto pollsSeen = [&array] { return array.received.count("< GET AUTO_COVERAGE >"); };

    // Any reply counts as a sign of life.
    fakeNow += 4000;
    array.send("< REP AUTO_COVERAGE ON >");
    QTRY_VERIFY_WITH_TIMEOUT(page->isAutoCoverage(), kLinkTimeoutMs);
    fakeNow += 4999;
    int polls = pollsSeen();
    QTRY_VERIFY_WITH_TIMEOUT(pollsSeen() >= polls + 2, kLinkTimeoutMs);
    QVERIFY(page->isDeviceConnected());
    QVERIFY(warnings->isEmpty());

    // Five seconds without a reply of any kind: the link is lost.
    fakeNow += 1;
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Connection Loss.")}}));
    QVERIFY(!page->isDeviceConnected());
    QVERIFY(!page->isPolling());
    QVERIFY(!page->connectCheckBox()->isChecked());
    QVERIFY(page->deviceComboBox()->isEnabled());
    for (int position = 1; position <= 8; ++position) QVERIFY(!presetLink->isLightOn(position));
    QTRY_COMPARE_WITH_TIMEOUT(array.disconnections, 1, kLinkTimeoutMs);
    polls = pollsSeen();
    QTest::qWait(300);
    QCOMPARE(pollsSeen(), polls);
}

void tst_SoundDeviceSetting::webSocketLinkLivesOnPongs() {
    // The loss as such; reconnecting has its own tests.
    page->slot_AutoReconnectChange(false);
    // The WebSocket link: events may pause for as long as the room is silent, so the link is
    // kept by ping frames every 2 s, and six seconds without a pong is a lost link. No
    // "ping" text messages go out any more (the array takes them for requests).
    SimRawWebSocketArray array;
    QVERIFY(array.listen());
    link(kNurevaHdl300, array.port());
    QTRY_VERIFY_WITH_TIMEOUT(array.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);
    auto* pingTimer = page->findChild<QTimer*>(QStringLiteral("pingTimer"));
    QVERIFY(pingTimer);
    QVERIFY(pingTimer->isActive());
    QCOMPARE(pingTimer->interval(), 2000);
    pingTimer->setInterval(20);  // the decisions run on the page's (manual) clock
    auto* webSocket = page->findChild<QWebSocket*>(QStringLiteral("nurvea_webSocket"));
    QVERIFY(webSocket);
    QSignalSpy pongs(webSocket, &QWebSocket::pong);  // seen after the page has seen them

    array.sendText(nurevaReport(80, 10).toUtf8());
    QTRY_VERIFY_WITH_TIMEOUT(presetLink->isLightOn(5), kLinkTimeoutMs);
    // Fifteen seconds of silence, pinged and answered: still linked.
    for (int second = 1; second <= 15; ++second) {
        const int answered = pongs.count();
        QTRY_VERIFY_WITH_TIMEOUT(pongs.count() > answered, kLinkTimeoutMs);
        fakeNow += 1000;
    }
    const int answered = pongs.count();
    QTRY_VERIFY_WITH_TIMEOUT(pongs.count() > answered, kLinkTimeoutMs);
    QVERIFY(page->isDeviceConnected());
    QVERIFY(warnings->isEmpty());
    QCOMPARE(array.messages.size(), 1);  // the subscription, nothing else
    QVERIFY(!array.messages.contains(QStringLiteral("ping")));

    // The array stops answering pings: six seconds after the last pong the link is lost.
    array.answerPings = false;
    int pings = array.pings;
    QTRY_VERIFY_WITH_TIMEOUT(array.pings >= pings + 2, kLinkTimeoutMs);  // no pong left in flight
    fakeNow += 5999;
    pings = array.pings;
    QTRY_VERIFY_WITH_TIMEOUT(array.pings >= pings + 2, kLinkTimeoutMs);
    QVERIFY(page->isDeviceConnected());
    fakeNow += 1;
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Connection Loss.")}}));
    QVERIFY(!page->isDeviceConnected());
    QVERIFY(!page->connectCheckBox()->isChecked());
    QVERIFY(page->portSpinBox()->isEnabled());
    QVERIFY(!pingTimer->isActive());
    for (int position = 1; position <= 8; ++position) QVERIFY(!presetLink->isLightOn(position));
}

void tst_SoundDeviceSetting::staleEndsOfAPreviousLinkAreIgnored() {
    SimWebSocketArray nureva;
    QVERIFY(nureva.listen());
    link(kNurevaHdl300, nureva.port());
    QTRY_VERIFY_WITH_TIMEOUT(nureva.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);
    // A TCP link closed just before (its close was still flushing) reports its end late,
    // while the Nureva link is up: it must not act on the Nureva link.
    auto* tcpSocket = page->findChild<QTcpSocket*>(QStringLiteral("tcpSocket"));
    QVERIFY(tcpSocket);
    emit tcpSocket->errorOccurred(QAbstractSocket::RemoteHostClosedError);
    emit tcpSocket->disconnected();
    QVERIFY(page->isDeviceConnected());
    QVERIFY(page->isPolling());
    QVERIFY(page->connectCheckBox()->isChecked());
    QVERIFY(warnings->isEmpty());
    nureva.send(nurevaReport(80, 10));
    QTRY_VERIFY_WITH_TIMEOUT(nurevaAzimuths->contains(QVariantList{10}), kLinkTimeoutMs);
    QCOMPARE(nureva.disconnections, 0);
    page->connectCheckBox()->click();

    // Cleared while bytes were still queued, the TCP link is closing when the box is ticked
    // again: the new attempt must not be ended by the old link's end.
    SimTcpArray shure;
    QVERIFY(shure.listen());
    link(kShureMxa910, shure.port());
    QTRY_VERIFY(shure.hasClient() && page->isDeviceConnected());
    tcpSocket->write("queued");
    page->connectCheckBox()->click();
    QCOMPARE(tcpSocket->state(), QAbstractSocket::ClosingState);
    page->connectCheckBox()->click();
    QVERIFY(page->connectCheckBox()->isChecked());
    QTRY_VERIFY_WITH_TIMEOUT(page->isDeviceConnected(), kLinkTimeoutMs);
    QVERIFY(!page->deviceComboBox()->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(shure.connections, 2, kLinkTimeoutMs);
    QVERIFY(page->isPolling());
}

void tst_SoundDeviceSetting::splitRepliesAndHostileInputOnEveryLink() {
    QRandomGenerator random(7);
    auto garbage = [&random](int size) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& c : bytes) c = static_cast<char>(random.bounded(256));
        return bytes;
    };
    {
        SimTcpArray array;
        QVERIFY(linkTo(array, kShureMxa910));
        // One reply in two reads is one reply: the second half is sent once the page has read
        // the first one on its own.
        auto* socket = page->findChild<QTcpSocket*>(QStringLiteral("tcpSocket"));
        QVERIFY(socket);
        QSignalSpy arrived(socket, &QIODevice::readyRead);
        array.send("< REP 4 AUTOMIX_GATE_OU");
        QTRY_VERIFY_WITH_TIMEOUT(arrived.count() > 0 && socket->bytesAvailable() == 0, kLinkTimeoutMs);
        array.send("T_EXT_SIG ON >");
        QTRY_VERIFY_WITH_TIMEOUT(page->positionState(4).active, kLinkTimeoutMs);

        // Garbage, oversized numbers, a huge reply without an end and a truncated one.
        array.send(garbage(200 * 1024) + ">");
        array.send(
            "< REP 99999999999999999999 AUTOMIX_GATE_OUT_EXT_SIG ON >< REP -1 AUDIO_IN_PEAK_LVL "
            "99999999999999 >< REP 5 AUDIO_IN_PEAK_LVL");
        array.send(QByteArray(300 * 1024, 'A') + ">");
        array.send(shureGate(6, true));
        QTRY_VERIFY_WITH_TIMEOUT(page->positionState(6).active, kLinkTimeoutMs);
        QVERIFY(page->positions().size() <= ShureProtocol::kMaxChannel);
        for (int position : page->positions())
            QVERIFY(position >= 1 && position <= ShureProtocol::kMaxChannel);
        QVERIFY(page->isDeviceConnected());
        page->connectCheckBox()->click();
    }
    {
        SimTcpArray array;
        QVERIFY(linkTo(array, kSennheiserTcc2));
        auto* socket = page->findChild<QTcpSocket*>(QStringLiteral("tcpSocket"));
        QVERIFY(socket);
        QSignalSpy arrived(socket, &QIODevice::readyRead);
        array.send("{\"m\":{\"in1\":{\"peak\":-20}}}\r\n{\"m\":{\"beam\":{\"azi");
        QTRY_VERIFY_WITH_TIMEOUT(arrived.count() > 0 && socket->bytesAvailable() == 0,
                                 kLinkTimeoutMs);  // as above
        array.send("muth\":100}}}\n");
        QTRY_COMPARE_WITH_TIMEOUT(sennheiserAzimuths->count(), 1, kLinkTimeoutMs);
        QCOMPARE(sennheiserAzimuths->at(0), QVariantList{100});

        array.send(garbage(100 * 1024) + "\r\n");
        array.send(QByteArray(200 * 1024, '[') + "\n");
        array.send("{\"m\":{\"beam\":{\"azimuth\":1e300}}}\r\n{\"m\":{\"in1\":{\"peak\":-20}}}\r\n");
        array.send(sennheiserReply(-20, 200));
        QTRY_VERIFY_WITH_TIMEOUT(sennheiserAzimuths->contains(QVariantList{200}), kLinkTimeoutMs);
        for (int position : page->positions()) QVERIFY(position >= 1 && position <= 8);
        page->connectCheckBox()->click();
    }
    {
        SimTcpArray array;
        QVERIFY(linkTo(array, kYamahaRmcg));
        auto* socket = page->findChild<QTcpSocket*>(QStringLiteral("tcpSocket"));
        QVERIFY(socket);
        QSignalSpy arrived(socket, &QIODevice::readyRead);
        array.send("OK devstatus runmode \"nor");
        QTRY_VERIFY_WITH_TIMEOUT(arrived.count() > 0 && socket->bytesAvailable() == 0,
                                 kLinkTimeoutMs);  // as above
        array.send("mal\"\n");
        QTRY_VERIFY_WITH_TIMEOUT(page->isYamahaRunning(), kLinkTimeoutMs);

        array.send(garbage(100 * 1024) + "\n");
        array.send("NOTIFY mtr RM:BeamDirection raw ffffffffffffff 7fffffff 99999999999\n");
        array.send(QByteArray(200 * 1024, 'N') + "\n");
        array.send("NOTIFY mtr RM:BeamDirection raw 96 00 1\n");  // phi 120: zone 7
        QTRY_VERIFY_WITH_TIMEOUT(yamahaAzimuths->contains(QVariantList{120}), kLinkTimeoutMs);
        for (int position : page->positions()) QVERIFY(position >= 1 && position <= 8);
        QVERIFY(page->isDeviceConnected());
        page->connectCheckBox()->click();
    }
    {
        SimWebSocketArray array;
        QVERIFY(array.listen());
        link(kNurevaHdl300, array.port());
        QTRY_VERIFY_WITH_TIMEOUT(array.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);
        array.send(QString::fromLatin1(garbage(64 * 1024)));
        array.send(R"({"body":{"powerLevel":1e308,"azimuth":-1e308,"time":12}})");
        array.send(R"({"body":"flat"})");
        array.send(R"({"body":{"powerLevel":80,"azimuth":45})");  // truncated
        array.send(nurevaReport(80, 40));                         // zone 7
        QTRY_VERIFY_WITH_TIMEOUT(nurevaAzimuths->contains(QVariantList{40}), kLinkTimeoutMs);
        for (int position : page->positions()) QVERIFY(position >= 1 && position <= 8);
        QVERIFY(page->isDeviceConnected());
    }
}

// ---- settings and the timing dialog -----------------------------------------------------

void tst_SoundDeviceSetting::settingsRoundTrip() {
    QSignalSpy switched(page.get(), &SoundDeviceSetting::signal_SwitchSoundDevice);
    const QJsonObject document = QJsonDocument::fromJson(R"({
        "SoundDeviceIndex": 4, "SoundDeviceType": "Shure: MXA310", "IPAddress": "10.1.2.3",
        "DelayTriggerTime": 3000,
        "PortMap": {"ShurePort": 1, "SennheiserPort": 2, "NurveaPort": 8999},
        "AudioTriggerLevelMap": {"SennheiserPeakLevel": -40, "NurveaBackgroundNoise": 62.7},
        "BackToHomeMap": {"BackToHomeTriggerTime": 30000, "BackToHomeAction": 0}})")
                                     .object();
    qApp->setProperty("configDataInforJsonObject", document);
    page->loadSettings();

    QCOMPARE(page->soundDeviceIndex(), 4);
    QCOMPARE(page->currentDeviceBrand(), int(SoundDeviceSetting::Nureva));
    QCOMPARE(callsOf(switched), (QList<QVariantList>{{4, 2}, {4, 2}}));  // the change, then once more
    QCOMPARE(page->portSpinBox()->value(), 8999);
    QCOMPARE(page->soundDeviceText(page->soundDeviceIndex()), QStringLiteral("Nureva: HDL300"));
    QCOMPARE(page->ipAddressText(), QStringLiteral("10.1.2.3"));
    QCOMPARE(page->delayTriggerTimeMs(), qint64(3000));
    QCOMPARE(page->portMap(),
             (QMap<QString, int>{{"Shure", 2202}, {"Sennheiser", 45}, {"Nurvea", 8999}, {"Yamaha", 49280}}));
    QCOMPARE(page->audioTriggerLevelMap(), (QMap<QString, int>{{"Sennheiser", -40}, {"Nurvea", 62}}));
    QCOMPARE(page->backToHomeMap(),
             (QMap<QString, int>{{"BackToHomeTriggerTime", 30000}, {"BackToHomeAction", 0}}));

    // What a writer would store from those accessors loads back to the same values.
    SoundDeviceSetting second;
    QJsonObject written;
    written["SoundDeviceIndex"] = page->soundDeviceIndex();
    written["IPAddress"] = page->ipAddressText();
    written["DelayTriggerTime"] = int(page->delayTriggerTimeMs());
    written["PortMap"] = QJsonObject{{"NurveaPort", page->portMap().value("Nurvea")}};
    written["AudioTriggerLevelMap"] =
        QJsonObject{{"SennheiserPeakLevel", page->audioTriggerLevelMap().value("Sennheiser")},
                    {"NurveaBackgroundNoise", page->audioTriggerLevelMap().value("Nurvea")}};
    written["BackToHomeMap"] =
        QJsonObject{{"BackToHomeTriggerTime", page->backToHomeMap().value("BackToHomeTriggerTime")},
                    {"BackToHomeAction", page->backToHomeMap().value("BackToHomeAction")}};
    qApp->setProperty("configDataInforJsonObject", written);
    second.loadSettings();
    QCOMPARE(second.soundDeviceIndex(), 4);
    QCOMPARE(second.ipAddressText(), page->ipAddressText());
    QCOMPARE(second.delayTriggerTimeMs(), page->delayTriggerTimeMs());
    QCOMPARE(second.portMap(), page->portMap());
    QCOMPARE(second.audioTriggerLevelMap(), page->audioTriggerLevelMap());
    QCOMPARE(second.backToHomeMap(), page->backToHomeMap());

    // Hostile or missing values keep the built-in ones.
    SoundDeviceSetting third;
    qApp->setProperty(
        "configDataInforJsonObject",
        QJsonDocument::fromJson(R"({"SoundDeviceIndex": 17, "PortMap": {"NurveaPort": 700000}})").object());
    third.loadSettings();
    QCOMPARE(third.soundDeviceIndex(), 2);
    QCOMPARE(third.deviceComboBox()->currentIndex(), 2);
    QCOMPARE(third.nurevaPort(), 8931);
    QCOMPARE(third.delayTriggerTimeMs(), qint64(1500));
    QCOMPARE(third.backToHomeMap(),
             (QMap<QString, int>{{"BackToHomeTriggerTime", 10000}, {"BackToHomeAction", 300}}));
    QCOMPARE(third.audioTriggerLevelMap(), (QMap<QString, int>{{"Sennheiser", -55}, {"Nurvea", 50}}));
}

void tst_SoundDeviceSetting::oddSavedTimingValuesAreReplaced() {
    // Values that cannot be meant are replaced by the defaults, which the next save writes.
    auto load = [](SoundDeviceSetting& target, const char* json) {
        qApp->setProperty("configDataInforJsonObject", QJsonDocument::fromJson(json).object());
        target.loadSettings();
    };
    const QMap<QString, int> defaultHome{{"BackToHomeTriggerTime", 10000}, {"BackToHomeAction", 300}};
    const QMap<QString, int> defaultLevels{{"Sennheiser", -55}, {"Nurvea", 50}};
    {
        SoundDeviceSetting odd;
        load(odd, R"({"SoundDeviceIndex": 3, "DelayTriggerTime": -100,
                      "AudioTriggerLevelMap": {"SennheiserPeakLevel": 20, "NurveaBackgroundNoise": 500},
                      "BackToHomeMap": {"BackToHomeTriggerTime": -5, "BackToHomeAction": 7}})");
        QCOMPARE(odd.delayTriggerTimeMs(), qint64(1500));
        QCOMPARE(odd.backToHomeMap(), defaultHome);
        QCOMPARE(odd.audioTriggerLevelMap(), defaultLevels);
    }
    {
        SoundDeviceSetting wrongTypes;
        load(wrongTypes, R"({"DelayTriggerTime": "soon", "BackToHomeMap": {"BackToHomeTriggerTime": 0,
                             "BackToHomeAction": "Home"}, "AudioTriggerLevelMap": {"SennheiserPeakLevel": -91,
                             "NurveaBackgroundNoise": -0.5}})");
        QCOMPARE(wrongTypes.delayTriggerTimeMs(), qint64(1500));
        QCOMPARE(wrongTypes.backToHomeMap(), defaultHome);
        QCOMPARE(wrongTypes.audioTriggerLevelMap(), defaultLevels);
    }
    {
        // Meant values stay, also times the dialog does not list (except below the one-second
        // floor of the return-home period, which runs as one second).
        SoundDeviceSetting kept;
        load(kept, R"({"DelayTriggerTime": 2500, "BackToHomeMap": {"BackToHomeTriggerTime": -1,
                       "BackToHomeAction": 0}, "AudioTriggerLevelMap": {"SennheiserPeakLevel": -90,
                       "NurveaBackgroundNoise": 120}})");
        QCOMPARE(kept.delayTriggerTimeMs(), qint64(2500));
        QCOMPARE(kept.backToHomeMap(),
                 (QMap<QString, int>{{"BackToHomeTriggerTime", -1}, {"BackToHomeAction", 0}}));
        QCOMPARE(kept.audioTriggerLevelMap(), (QMap<QString, int>{{"Sennheiser", -90}, {"Nurvea", 120}}));
        load(kept, R"({"BackToHomeMap": {"BackToHomeTriggerTime": 45000}, "DelayTriggerTime": 0})");
        QCOMPARE(kept.backHomeTimeMs(), 45000);
        QCOMPARE(kept.delayTriggerTimeMs(), qint64(0));  // no delay at all can be meant
        load(kept, R"({"BackToHomeMap": {"BackToHomeTriggerTime": 400}})");
        QCOMPARE(kept.backHomeTimeMs(), 1000);
    }

    // What the dialog shows is what runs.
    qApp->setProperty("configDataInforJsonObject",
                      QJsonDocument::fromJson(R"({"SoundDeviceIndex": 3, "DelayTriggerTime": 2500,
                          "BackToHomeMap": {"BackToHomeTriggerTime": 45000, "BackToHomeAction": 9}})")
                          .object());
    page->loadSettings();
    QTimer::singleShot(0, page.get(), [this] {
        AdvancedSetting* dialog = page->advancedSettingDialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->findChild<QComboBox*>("delayTime_comboBox")->currentText(),
                 QStringLiteral("2.5 Sec"));
        QCOMPARE(dialog->findChild<QComboBox*>("backHome_comboBox")->currentText(), QStringLiteral("45 Sec"));
        QCOMPARE(dialog->findChild<QComboBox*>("backHomeAction_comboBox")->currentText(),
                 QStringLiteral("Home"));
        dialog->slot_Cancel();
    });
    page->advancedButton()->click();
    QCOMPARE(page->delayTriggerTimeMs(), qint64(2500));
    QCOMPARE(page->backHomeTimeMs(), 45000);
    QCOMPARE(page->backHomeAction(), 300);
}

void tst_SoundDeviceSetting::timingDialogAndSlots() {
    // The level goes to the selected brand only.
    page->slot_AudioTriggerLevelChange(-30);
    QCOMPARE(page->sennheiserTriggerLevel(), -55);
    page->deviceComboBox()->setCurrentIndex(kSennheiserTcc2);
    page->slot_AudioTriggerLevelChange(-30);
    QCOMPARE(page->sennheiserTriggerLevel(), -30);
    page->deviceComboBox()->setCurrentIndex(kNurevaHdl300);
    page->slot_AudioTriggerLevelChange(70);
    QCOMPARE(page->nurevaBackgroundNoise(), 70.0);
    QCOMPARE(page->sennheiserTriggerLevel(), -30);

    // The dialog is created on first use, loaded with the page's values, and Apply hands
    // all four values back.
    page->slot_DelayTriggerTimeChange(3000);
    page->slot_BackToHomeTriggerTimeChange(20000);
    page->slot_BackToHomeActionChange(0);
    QVERIFY(!page->advancedSettingDialog());
    QTimer::singleShot(0, page.get(), [this] {
        AdvancedSetting* dialog = page->advancedSettingDialog();
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->delayTriggerTime(), qint64(3000));
        QCOMPARE(dialog->backHomeTimeInt(), 20000);
        QCOMPARE(dialog->backHomeActionInt(), 0);
        QCOMPARE(dialog->nurveaBackgroundNoise(), 70.0);
        auto* delayBox = dialog->findChild<QComboBox*>(QStringLiteral("delayTime_comboBox"));
        QVERIFY(delayBox);
        delayBox->setCurrentIndex(0);  // "0.5 Sec"
        dialog->slot_Apply();
    });
    page->advancedButton()->click();  // modal until Apply
    QVERIFY(page->advancedSettingDialog());
    QVERIFY(!page->advancedSettingDialog()->isVisible());
    QCOMPARE(page->delayTriggerTimeMs(), qint64(500));
    QCOMPARE(page->backHomeTimeMs(), 20000);
    QCOMPARE(page->backHomeAction(), 0);
    QCOMPARE(page->nurevaBackgroundNoise(), 70.0);
}

QTEST_MAIN(tst_SoundDeviceSetting)
// ---- tracking in real rooms ---------------------------------------------------------------

void tst_SoundDeviceSetting::reconnectBacksOffUntilTheArrayIsBack() {
    QSignalSpy states(page.get(), &SoundDeviceSetting::signal_LinkStateChanged);
    SimTcpArray array;
    QVERIFY(array.listen());
    const quint16 port = static_cast<quint16>(array.port());
    link(kShureMxa910, port);
    QTRY_VERIFY(array.hasClient() && page->isDeviceConnected());
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkUp);
    array.send(shureGate(2, true) + shurePeak(2, 30));
    QTRY_VERIFY_WITH_TIMEOUT(presetLink->isLightOn(2), kLinkTimeoutMs);

    // The array reboots: the link drops and the port refuses for a while.
    array.dropClient();
    array.server.close();
    QTRY_COMPARE_WITH_TIMEOUT(page->linkState(), SoundDeviceSetting::LinkReconnecting, kLinkTimeoutMs);
    QVERIFY(page->connectCheckBox()->isChecked());
    QVERIFY(!page->deviceComboBox()->isEnabled());
    QCOMPARE(page->linkStatusLabel()->text(), QStringLiteral("Reconnecting\u2026"));
    QVERIFY(!presetLink->isLightOn(2));
    QVERIFY(!page->isPolling());
    QList<int> waits{page->reconnectDelayMs()};
    for (int attempt = 1; attempt <= 6; ++attempt) {
        page->slot_Reconnect();
        QTRY_VERIFY_WITH_TIMEOUT(page->reconnectDelayMs() > 0, kLinkTimeoutMs);
        waits << page->reconnectDelayMs();
    }
    QCOMPARE(waits, (QList<int>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
    QCOMPARE(page->reconnectAttemptCount(), 6);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Connection Loss.")}}));

    // Back: the next attempt links, polling resumes and the lights follow the new reports.
    SimTcpArray back;
    QVERIFY(back.listen(QHostAddress::LocalHost, port));
    page->slot_Reconnect();
    QTRY_VERIFY_WITH_TIMEOUT(back.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkUp);
    QVERIFY(page->linkStatusLabel()->text().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(back.received.contains("< GET AUTO_COVERAGE >"), kLinkTimeoutMs);
    back.send(shureGate(3, true) + shurePeak(3, 30));
    QTRY_VERIFY_WITH_TIMEOUT(presetLink->isLightOn(3), kLinkTimeoutMs);
    QVERIFY(!presetLink->isLightOn(2));
    QCOMPARE(warnings->count(), 1);
    QCOMPARE(callsOf(states), (QList<QVariantList>{{1}, {2}, {1}}));

    // A new loss counts from the start and warns once more; Connect off ends the retrying.
    back.dropClient();
    QTRY_COMPARE_WITH_TIMEOUT(page->linkState(), SoundDeviceSetting::LinkReconnecting, kLinkTimeoutMs);
    QCOMPARE(page->reconnectDelayMs(), 1000);
    QCOMPARE(warnings->count(), 2);
    page->connectCheckBox()->click();
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkDown);
    QCOMPARE(page->reconnectDelayMs(), 0);
    QVERIFY(page->linkStatusLabel()->text().isEmpty());
    QVERIFY(page->deviceComboBox()->isEnabled());
    page->slot_Reconnect();  // a tick that was already due changes nothing
    QVERIFY(!page->isConnecting());
    QVERIFY(!page->connectCheckBox()->isChecked());
}

void tst_SoundDeviceSetting::reconnectOnlyWhereItIsMeant() {
    SimTcpArray closed;
    QVERIFY(closed.listen());
    const quint16 port = static_cast<quint16>(closed.port());
    closed.server.close();

    // A connect started by hand that fails is reported and not retried.
    link(kShureMxa910, port);
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Device cannot connect.")}}));
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkDown);
    QCOMPARE(page->reconnectDelayMs(), 0);
    QVERIFY(!page->connectCheckBox()->isChecked());

    // The connect at start retries quietly: the array may boot after the computer.
    warnings->clear();
    page->slot_StartAutoConnect();
    QTRY_COMPARE_WITH_TIMEOUT(page->linkState(), SoundDeviceSetting::LinkReconnecting, kLinkTimeoutMs);
    QCOMPARE(page->reconnectDelayMs(), 1000);
    QVERIFY(warnings->isEmpty());
    SimTcpArray late;
    QVERIFY(late.listen(QHostAddress::LocalHost, port));
    page->slot_Reconnect();
    QTRY_VERIFY_WITH_TIMEOUT(late.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);

    // Reconnecting off: a lost link ends with Connect cleared and nothing scheduled.
    page->slot_AutoReconnectChange(false);
    late.dropClient();
    QTRY_VERIFY_WITH_TIMEOUT(!page->connectCheckBox()->isChecked(), kLinkTimeoutMs);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Connection Loss.")}}));
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkDown);
    QCOMPARE(page->reconnectDelayMs(), 0);
    // ... and so does the connect at start, which then fails like a hand-started one.
    late.server.close();
    warnings->clear();
    page->slot_StartAutoConnect();
    QTRY_VERIFY_WITH_TIMEOUT(!warnings->isEmpty(), kLinkTimeoutMs);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Device cannot connect.")}}));
    QCOMPARE(page->reconnectDelayMs(), 0);

    // Switching it off while retrying goes back to idle; an address that cannot be used is
    // never retried.
    page->slot_AutoReconnectChange(true);
    page->slot_StartAutoConnect();
    QTRY_COMPARE_WITH_TIMEOUT(page->linkState(), SoundDeviceSetting::LinkReconnecting, kLinkTimeoutMs);
    page->slot_AutoReconnectChange(false);
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkDown);
    QVERIFY(!page->connectCheckBox()->isChecked());
    QCOMPARE(page->reconnectDelayMs(), 0);
    page->slot_AutoReconnectChange(true);
    page->ipLineEdit()->setText(QStringLiteral("not an address"));
    page->slot_StartAutoConnect();
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkDown);
    QCOMPARE(page->reconnectDelayMs(), 0);
}

void tst_SoundDeviceSetting::webSocketLinkReconnectsToo() {
    SimWebSocketArray array;
    QVERIFY(array.listen());
    const quint16 port = static_cast<quint16>(array.port());
    link(kNurevaHdl300, port);
    QTRY_VERIFY_WITH_TIMEOUT(array.hasClient() && page->isDeviceConnected(), kLinkTimeoutMs);
    // The first link's subscription has arrived before the array drops it, so the count
    // below stands for the new link's subscription.
    QTRY_COMPARE_WITH_TIMEOUT(array.messages.size(), 1, kLinkTimeoutMs);
    array.dropClient();
    array.server.close();
    QTRY_COMPARE_WITH_TIMEOUT(page->linkState(), SoundDeviceSetting::LinkReconnecting, kLinkTimeoutMs);
    QCOMPARE(callsOf(*warnings), (QList<QVariantList>{{QStringLiteral("Connection Loss.")}}));
    page->slot_Reconnect();
    QTRY_COMPARE_WITH_TIMEOUT(page->reconnectDelayMs(), 2000, kLinkTimeoutMs);
    QCOMPARE(warnings->count(), 1);
    QVERIFY(array.listen(QHostAddress::LocalHost, port));
    page->slot_Reconnect();
    QTRY_VERIFY_WITH_TIMEOUT(page->isDeviceConnected(), kLinkTimeoutMs);
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkUp);
    // The new link subscribes again, and nothing left over from the failed attempts (a late
    // "not connected" of the socket closed back then) takes it down again.
    QTRY_VERIFY_WITH_TIMEOUT(array.messages.size() >= 2, kLinkTimeoutMs);
    QCoreApplication::processEvents();
    QVERIFY(page->isDeviceConnected());
    QCOMPARE(page->linkState(), SoundDeviceSetting::LinkUp);
    QCOMPARE(warnings->count(), 1);
}

void tst_SoundDeviceSetting::minimumHoldKeepsTheCameraOnTheFirstTalker() {
    // Talker A (zone 1) is followed; B (zone 2) starts 1 s after A's call. With a 3 s hold
    // B's preset waits for the hold, not only for the trigger delay.
    page->slot_MinimumHoldTimeChange(3000);
    SimTcpArray array;
    QVERIFY(linkTo(array, kSennheiserTcc2));
    const qint64 start = fakeNow;
    array.send(sennheiserReply(-20, 10));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(1).onSince, start, kLinkTimeoutMs);
    fakeNow = start + 1500;
    QTRY_COMPARE_WITH_TIMEOUT(presetCommands->count(), 1, kLinkTimeoutMs);
    QCOMPARE(presetCommands->at(0), (QVariantList{1, 1}));

    fakeNow = start + 2500;
    array.send(sennheiserReply(-20, 60));
    QTRY_COMPARE_WITH_TIMEOUT(page->positionState(2).onSince, fakeNow, kLinkTimeoutMs);
    fakeNow = start + 4000;  // B's delay is over, the hold is not
    array.send(sennheiserReply(-20, 60));
    QTRY_COMPARE_WITH_TIMEOUT(sennheiserAzimuths->count(), 3, kLinkTimeoutMs);
    QCOMPARE(presetCommands->count(), 1);
    QVERIFY(page->isTriggerCheckPending());
    QCOMPARE(page->triggerCheckDueInMs(), 500);
    fakeNow = start + 4499;
    page->runTriggerCheck();
    QCOMPARE(presetCommands->count(), 1);
    fakeNow = start + 4500;  // the armed check follows B as the hold ends
    QTRY_COMPARE_WITH_TIMEOUT(presetCommands->count(), 2, kLinkTimeoutMs);
    QCOMPARE(presetCommands->at(1), (QVariantList{1, 2}));

    // No hold: B would have been followed at its delay.
    page->slot_MinimumHoldTimeChange(0);
    array.send(sennheiserReply(-20, 10));
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(1).onSince == fakeNow, kLinkTimeoutMs);
    fakeNow += 1500;
    QTRY_COMPARE_WITH_TIMEOUT(presetCommands->count(), 3, kLinkTimeoutMs);
}

void tst_SoundDeviceSetting::severalTalkersGetTheirOwnShot() {
    page->slot_SeveralTalkersPresetChange(9);
    QSignalSpy talkers(page.get(), &SoundDeviceSetting::signal_TalkerPositionChanged);
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));
    const qint64 start = fakeNow;
    array.send(shureGate(1, true) + shurePeak(1, 20));
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(1).onSince == start, kLinkTimeoutMs);
    fakeNow = start + 500;
    array.send(shureGate(3, true) + shurePeak(1, 20) + shurePeak(3, 25));
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(3).onSince == start + 500, kLinkTimeoutMs);
    QCOMPARE(page->talkerPosition(), 1);  // the one who has talked longest

    // Both have talked for the delay: the shot for several talkers, once.
    fakeNow = start + 2000;
    QTRY_COMPARE_WITH_TIMEOUT(presetCommands->count(), 1, kLinkTimeoutMs);
    QCOMPARE(presetCommands->at(0), (QVariantList{1, 9}));
    array.send(shurePeak(1, 20) + shurePeak(3, 25));
    QTRY_VERIFY_WITH_TIMEOUT(!page->isTriggerCheckPending() && page->positionState(3).level == 25,
                             kLinkTimeoutMs);
    QCOMPARE(presetCommands->count(), 1);

    // Talker 1 stops; 3 is followed once it has talked alone for the delay.
    fakeNow = start + 2100;
    array.send(shureGate(1, false) + shurePeak(3, 25));
    QTRY_VERIFY_WITH_TIMEOUT(!page->positionState(1).active, kLinkTimeoutMs);
    QCOMPARE(page->talkerPosition(), 3);
    fakeNow = start + 3599;
    array.send(shurePeak(3, 25));
    QTRY_VERIFY_WITH_TIMEOUT(page->isTriggerCheckPending(), kLinkTimeoutMs);
    QCOMPARE(presetCommands->count(), 1);
    fakeNow = start + 3600;
    QTRY_COMPARE_WITH_TIMEOUT(presetCommands->count(), 2, kLinkTimeoutMs);
    QCOMPARE(presetCommands->at(1), (QVariantList{1, 3}));
    QCOMPARE(callsOf(talkers), (QList<QVariantList>{{1}, {3}}));
}

void tst_SoundDeviceSetting::manualOverridePausesPresetsAndReturnHome() {
    QSignalSpy stateChanges(page.get(), &SoundDeviceSetting::signal_TrackingStateChanged);
    TrackingCommands& presetsCalled = *presetCommands;
    SimTcpArray array;
    QVERIFY(linkTo(array, kSennheiserTcc2));
    array.send(sennheiserReply(-20, 10));
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(1).onSince != 0, kLinkTimeoutMs);
    fakeNow += 1500;
    QTRY_COMPARE_WITH_TIMEOUT(presetsCalled.count(), 1, kLinkTimeoutMs);

    // The operator pans: 30 s without preset calls or return home, shown on the page.
    page->slot_ManualOverride();
    QCOMPARE(page->trackingPauseRemainingMs(), 30000);
    QCOMPARE(page->pauseLabel()->text(), QStringLiteral("Tracking paused (30 s)"));
    QCOMPARE(stateChanges.count(), 1);
    array.send(sennheiserReply(-20, 100));  // another talker, zone 3
    QTRY_VERIFY_WITH_TIMEOUT(page->positionState(3).onSince == fakeNow, kLinkTimeoutMs);
    fakeNow += 5000;
    array.send(sennheiserReply(-20, 100));
    QTRY_COMPARE_WITH_TIMEOUT(sennheiserAzimuths->count(), 3, kLinkTimeoutMs);
    page->slot_CallBackToHome();
    QCOMPARE(presetsCalled.count(), 1);
    QVERIFY(commands->isEmpty());
    QCOMPARE(page->trackingPauseRemainingMs(), 25000);
    fakeNow += 24999;
    page->runTriggerCheck();
    QCOMPARE(presetsCalled.count(), 1);

    // Over: the talker of the moment is followed again, and return home works again.
    fakeNow += 1;
    page->runTriggerCheck();
    QCOMPARE(callsOf(presetsCalled), (QList<QVariantList>{{1, 1}, {1, 3}}));
    QCOMPARE(page->trackingPauseRemainingMs(), 0);
    QVERIFY(page->pauseLabel()->text().isEmpty());
    QCOMPARE(stateChanges.count(), 2);
    page->slot_CallBackToHome();
    QCOMPARE(callsOf(*commands), (QList<QVariantList>{{4, 25}}));

    // A pause after which the same talker's preset goes out again: the camera was moved.
    page->pauseTracking(2000);
    QCOMPARE(page->trackingPauseRemainingMs(), 2000);
    fakeNow += 2000;
    page->runTriggerCheck();
    QCOMPARE(callsOf(presetsCalled), (QList<QVariantList>{{1, 1}, {1, 3}, {1, 3}}));
    // pauseTracking(0) ends a pause at once; an override time of 0 pauses nothing.
    page->pauseTracking(60000);
    page->pauseTracking(0);
    QCOMPARE(page->trackingPauseRemainingMs(), 0);
    page->slot_ManualOverrideTimeChange(0);
    page->slot_ManualOverride();
    QCOMPARE(page->trackingPauseRemainingMs(), 0);
    QCOMPARE(stateChanges.count(), 6);
}

void tst_SoundDeviceSetting::trackingSwitchKeepsLightsButSendsNothing() {
    QSignalSpy stateChanges(page.get(), &SoundDeviceSetting::signal_TrackingStateChanged);
    QSignalSpy talkers(page.get(), &SoundDeviceSetting::signal_TalkerPositionChanged);
    SimTcpArray array;
    QVERIFY(linkTo(array, kShureMxa910));
    page->trackingCheckBox()->click();
    QVERIFY(!page->isTrackingEnabled());
    QCOMPARE(stateChanges.count(), 1);

    array.send(shureGate(2, true) + shurePeak(2, 30));
    QTRY_VERIFY_WITH_TIMEOUT(presetLink->isLightOn(2), kLinkTimeoutMs);
    fakeNow += 3000;
    array.send(shurePeak(2, 30));
    QTRY_VERIFY_WITH_TIMEOUT(lights->count() >= 3, kLinkTimeoutMs);
    page->slot_CallBackToHome();
    QVERIFY(presetCommands->isEmpty());
    QVERIFY(commands->isEmpty());
    QCOMPARE(callsOf(talkers), (QList<QVariantList>{{2}}));

    // On again: the talker of the moment is followed at once.
    page->setTrackingEnabled(true);
    QVERIFY(page->trackingCheckBox()->isChecked());
    QCOMPARE(callsOf(*presetCommands), (QList<QVariantList>{{1, 2}}));
    QCOMPARE(stateChanges.count(), 2);
    page->setTrackingEnabled(true);
    QCOMPARE(stateChanges.count(), 2);

    // Nobody talks any more, then the link ends: position 0 either way.
    array.send(shurePeak(2, 0));
    QTRY_COMPARE_WITH_TIMEOUT(page->talkerPosition(), 0, kLinkTimeoutMs);
    QCOMPARE(callsOf(talkers), (QList<QVariantList>{{2}, {0}}));
}

void tst_SoundDeviceSetting::trackingSettingsLoadWithDefaults() {
    // A document of an older version: the defaults.
    qApp->setProperty("configDataInforJsonObject", QJsonObject{{"DelayTriggerTime", 1000}});
    page->loadSettings();
    QVERIFY(page->autoReconnect());
    QCOMPARE(page->minimumHoldTimeMs(), 0);
    QCOMPARE(page->severalTalkersPreset(), -1);
    QCOMPARE(page->manualOverrideTimeMs(), 30000);
    QVERIFY(page->isTrackingEnabled());

    qApp->setProperty("configDataInforJsonObject", QJsonObject{{"AutoReconnect", false},
                                                               {"MinimumHoldTime", 5000},
                                                               {"SeveralTalkersPreset", 0},
                                                               {"ManualOverrideTime", 120000},
                                                               {"TrackingEnabled", false}});
    page->loadSettings();
    QVERIFY(!page->autoReconnect());
    QCOMPARE(page->minimumHoldTimeMs(), 5000);
    QCOMPARE(page->severalTalkersPreset(), 0);
    QCOMPARE(page->manualOverrideTimeMs(), 120000);
    QVERIFY(!page->isTrackingEnabled());
    QVERIFY(!page->trackingCheckBox()->isChecked());

    // Values that cannot be meant take the defaults.
    qApp->setProperty("configDataInforJsonObject", QJsonObject{{"AutoReconnect", "yes"},
                                                               {"MinimumHoldTime", -1},
                                                               {"SeveralTalkersPreset", 12},
                                                               {"ManualOverrideTime", 1.5},
                                                               {"TrackingEnabled", 1}});
    page->loadSettings();
    QVERIFY(page->autoReconnect());
    QCOMPARE(page->minimumHoldTimeMs(), 0);
    QCOMPARE(page->severalTalkersPreset(), -1);
    QCOMPARE(page->manualOverrideTimeMs(), 30000);
    QVERIFY(page->isTrackingEnabled());

    // The timing dialog hands its choices to the page.
    QTimer::singleShot(0, [this] {
        AdvancedSetting* dialog = page->advancedSettingDialog();
        QVERIFY(dialog);
        QCOMPARE(dialog->manualOverrideTimeMs(), 30000);
        dialog->findChild<QComboBox*>("minimumHold_comboBox")->setCurrentIndex(2);
        dialog->findChild<QComboBox*>("manualOverride_comboBox")->setCurrentIndex(1);
        dialog->slot_Apply();
    });
    page->slot_AdvancedSetting();
    QCOMPARE(page->minimumHoldTimeMs(), 3000);
    QCOMPARE(page->manualOverrideTimeMs(), 10000);
}

#include "tst_SoundDeviceSetting.moc"
