// The preset-link page: azimuth lookups, lights, the links and zones it hands the tracker,
// its calls of a position's preset (decided by the tracker), applying and loading.
#include <QApplication>
#include <QComboBox>
#include <QJsonObject>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include "PresetLink.h"
#include "TrackingEngine.h"

namespace {

// A tracker for the page, with a camera connected, following the page's array.
struct Tracking {
    TrackingEngine engine;
    explicit Tracking(PresetLink& page, int deviceType, int brand) {
        engine.setCamera(QStringLiteral("1&2.4&1&0000"));
        engine.setDevice(deviceType, brand);
        page.slot_SwitchSoundDeviceType(deviceType, brand);
        page.setTrackingEngine(&engine);
    }
};

QList<int> presetsOf(const QSignalSpy& spy) {
    QList<int> presets;
    for (const QList<QVariant>& call : spy) presets << call.at(0).value<CameraCommand>().value;
    return presets;
}

QJsonObject zones(const QStringList& texts) {
    QJsonObject o;
    for (int i = 0; i < texts.size(); ++i) o.insert(QStringLiteral("azimuthRange%1").arg(i + 1), texts[i]);
    return o;
}

void publish(const QJsonObject& doc) {
    qApp->setProperty("configDataInforJsonObject", doc);
}

}  // namespace

class TstPresetLink : public QObject {
    Q_OBJECT

private slots:
    void init() { publish(QJsonObject{}); }

    void defaultZoneBoundaries_data();
    void defaultZoneBoundaries();
    void overlappingZonesFirstPositionWins();
    void editedZoneCountsBeforeApply();
    void brandSwitchShowsNewZonesWithoutEnablingApply();
    void fourLobeArrayHidesLowerRows();
    void everyLayoutFitsThePage_data();
    void everyLayoutFitsThePage();
    void azimuthLights();
    void shureGateLights();
    void repeatedPresetIsCalledOnce();
    void repeatIsForgottenWithoutCamera();
    void offPositionNeverMovesAndForgets();
    void theTrackerGetsTheLinksAndZonesAsTheyChange();
    void applyTakesBoxesAndZones();
    void loadSettingsReadsLinksAndZones();
    void loadSettingsWithoutIndexKeepsDefaults();
    void positionsNameTheirCameras();
};

void TstPresetLink::defaultZoneBoundaries_data() {
    QTest::addColumn<int>("brand");
    QTest::addColumn<int>("azimuth");
    QTest::addColumn<int>("position");
    QTest::newRow("sennheiser 0") << int(PresetLink::Sennheiser) << 0 << 1;
    QTest::newRow("sennheiser 44") << int(PresetLink::Sennheiser) << 44 << 1;
    QTest::newRow("sennheiser 45") << int(PresetLink::Sennheiser) << 45 << 2;
    QTest::newRow("sennheiser 359") << int(PresetLink::Sennheiser) << 359 << 8;
    QTest::newRow("sennheiser 360") << int(PresetLink::Sennheiser) << 360 << -1;
    QTest::newRow("sennheiser -1") << int(PresetLink::Sennheiser) << -1 << -1;
    QTest::newRow("nureva -70") << int(PresetLink::Nureva) << -70 << 1;
    QTest::newRow("nureva -71") << int(PresetLink::Nureva) << -71 << -1;
    QTest::newRow("nureva 1") << int(PresetLink::Nureva) << 1 << 4;
    QTest::newRow("nureva 69") << int(PresetLink::Nureva) << 69 << 8;
    QTest::newRow("nureva 70") << int(PresetLink::Nureva) << 70 << -1;
    QTest::newRow("yamaha -180") << int(PresetLink::Yamaha) << -180 << 1;
    QTest::newRow("yamaha 0") << int(PresetLink::Yamaha) << 0 << 5;
    QTest::newRow("yamaha 180") << int(PresetLink::Yamaha) << 180 << -1;
    QTest::newRow("shure has no zones") << int(PresetLink::Shure) << 10 << -1;
    QTest::newRow("unknown brand") << 7 << 10 << -1;
}

void TstPresetLink::defaultZoneBoundaries() {
    QFETCH(int, brand);
    QFETCH(int, azimuth);
    QFETCH(int, position);
    PresetLink page;
    page.slot_SwitchSoundDeviceType(3, brand);
    QCOMPARE(page.positionForAzimuth(azimuth), position);
}

void TstPresetLink::overlappingZonesFirstPositionWins() {
    PresetLink page;
    page.slot_SwitchSoundDeviceType(3, PresetLink::Sennheiser);
    page.rangeStartBox(1)->setValue(300);
    page.rangeEndBox(1)->setValue(310);
    page.rangeStartBox(2)->setValue(10);
    page.rangeEndBox(2)->setValue(50);
    page.rangeStartBox(5)->setValue(0);
    page.rangeEndBox(5)->setValue(100);
    QCOMPARE(page.positionForAzimuth(20), 2);
    QCOMPARE(page.positionForAzimuth(5), 5);
    QCOMPARE(page.positionForAzimuth(305), 1);
    QCOMPARE(page.positionForAzimuth(60), 5);
}

void TstPresetLink::editedZoneCountsBeforeApply() {
    PresetLink page;
    page.slot_SwitchSoundDeviceType(4, PresetLink::Nureva);
    QVERIFY(!page.isApplyEnabled());
    page.rangeStartBox(8)->setValue(56);
    page.rangeEndBox(8)->setValue(70);  // the editor's upper limit
    page.rangeStartBox(1)->setValue(-60);
    QVERIFY(page.isApplyEnabled());
    QCOMPARE(page.positionForAzimuth(-65), -1);  // no longer in zone 1
    QCOMPARE(page.range(PresetLink::Nureva, 1).start, -60);
    // What the lookup took is what the settings writer saves.
    QCOMPARE(page.rangeTexts(PresetLink::Nureva).value(1), QStringLiteral("-60~-52"));

    // An inverted zone holds nothing.
    page.rangeStartBox(3)->setValue(-16);
    page.rangeEndBox(3)->setValue(-34);
    QCOMPARE(page.positionForAzimuth(-20), -1);
}

void TstPresetLink::brandSwitchShowsNewZonesWithoutEnablingApply() {
    PresetLink page;
    page.slot_SwitchSoundDeviceType(3, PresetLink::Sennheiser);
    page.slot_GetSennheiserTCC2Azimuth(100);
    QVERIFY(page.isLightOn(3));

    page.slot_SwitchSoundDeviceType(5, PresetLink::Yamaha);
    QVERIFY(!page.isApplyEnabled());
    for (int i = 1; i <= 8; ++i) QVERIFY(!page.isLightOn(i));
    QCOMPARE(page.rangeStartBox(1)->minimum(), -180);
    QCOMPARE(page.rangeEndBox(8)->maximum(), 180);
    QCOMPARE(page.rangeStartBox(1)->value(), -180);
    QCOMPARE(page.rangeEndBox(1)->value(), -135);

    page.slot_SwitchSoundDeviceType(4, PresetLink::Nureva);
    QVERIFY(!page.isApplyEnabled());
    QCOMPARE(page.rangeStartBox(1)->minimum(), -70);
    QCOMPARE(page.rangeEndBox(8)->value(), 70);

    // The Shure layout shows the position column, the azimuth layouts the zone column.
    QVERIFY(page.findChild<QLabel*>(QStringLiteral("array1_label"))->isHidden());
    QVERIFY(!page.findChild<QWidget*>(QStringLiteral("azimuth1_frame"))->isHidden());
    page.slot_SwitchSoundDeviceType(0, PresetLink::Shure);
    QVERIFY(!page.findChild<QLabel*>(QStringLiteral("array1_label"))->isHidden());
    QVERIFY(page.findChild<QWidget*>(QStringLiteral("azimuth1_frame"))->isHidden());
    QVERIFY(!page.isApplyEnabled());
}

void TstPresetLink::fourLobeArrayHidesLowerRows() {
    PresetLink page;
    page.slot_SwitchSoundDeviceType(PresetLink::kFourLobeDeviceType, PresetLink::Shure);
    for (int i = 1; i <= 8; ++i) {
        const bool lower = i > 4;
        QCOMPARE(page.presetBox(i)->isHidden(), lower);
        QCOMPARE(page.findChild<QLabel*>(QStringLiteral("array%1_light_label").arg(i))->isHidden(), lower);
        QCOMPARE(page.findChild<QLabel*>(QStringLiteral("array%1_label").arg(i))->isHidden(), lower);
    }
    page.slot_SwitchSoundDeviceType(0, PresetLink::Shure);
    for (int i = 5; i <= 8; ++i) {
        QVERIFY(!page.presetBox(i)->isHidden());
        QVERIFY(!page.findChild<QLabel*>(QStringLiteral("array%1_label").arg(i))->isHidden());
    }
    // An azimuth array shows all eight rows, without position labels.
    page.slot_SwitchSoundDeviceType(PresetLink::kFourLobeDeviceType, PresetLink::Shure);
    page.slot_SwitchSoundDeviceType(4, PresetLink::Nureva);
    QVERIFY(!page.presetBox(8)->isHidden());
    QVERIFY(page.findChild<QLabel*>(QStringLiteral("array8_label"))->isHidden());
}

void TstPresetLink::azimuthLights() {
    PresetLink page;
    page.slot_SwitchSoundDeviceType(3, PresetLink::Sennheiser);
    page.slot_GetSennheiserTCC2Azimuth(100);
    QVERIFY(page.isLightOn(3));
    page.slot_GetSennheiserTCC2Azimuth(320);
    QVERIFY(page.isLightOn(8));
    QVERIFY(!page.isLightOn(3));

    // Inside the span but in no zone: lights stay as they are.
    page.rangeStartBox(2)->setValue(50);
    page.slot_GetSennheiserTCC2Azimuth(47);
    QVERIFY(page.isLightOn(8));

    // Another brand's report inside its span does not touch this brand's lights...
    page.slot_GetNurveaAzimuth(0);
    QVERIFY(page.isLightOn(8));
    // ...but silence (400) from any of them turns every light off.
    page.slot_GetSennheiserTCC2Azimuth(PresetLink::kSilentAzimuth);
    for (int i = 1; i <= 8; ++i) QVERIFY(!page.isLightOn(i));

    page.slot_SwitchSoundDeviceType(5, PresetLink::Yamaha);
    page.slot_GetYamahaAzimuth(-180);
    QVERIFY(page.isLightOn(1));
    page.slot_GetNurveaAzimuth(PresetLink::kSilentAzimuth);
    QVERIFY(!page.isLightOn(1));
}

void TstPresetLink::shureGateLights() {
    PresetLink page;
    page.slot_SwitchSoundDeviceType(0, PresetLink::Shure);
    page.slot_GetSureSoundDeviceArrayPosState(2, true);
    page.slot_GetSureSoundDeviceArrayPosState(5, true);
    QVERIFY(page.isLightOn(2));
    QVERIFY(page.isLightOn(5));
    page.slot_GetSureSoundDeviceArrayPosState(2, false);
    QVERIFY(!page.isLightOn(2));
    // Channels beyond the eight positions are ignored, not indexed.
    page.slot_GetSureSoundDeviceArrayPosState(9, true);
    page.slot_GetSureSoundDeviceArrayPosState(-3, true);
    page.slot_GetSureSoundDeviceArrayPosState(0, true);
    QVERIFY(page.isLightOn(5));
}

void TstPresetLink::repeatedPresetIsCalledOnce() {
    PresetLink page;
    Tracking tracking(page, 3, PresetLink::Sennheiser);
    QSignalSpy sent(&page, &PresetLink::signal_AddUSBCommand);
    page.slot_CallCameraPreset(3);
    page.slot_CallCameraPreset(3);
    QCOMPARE(presetsOf(sent), QList<int>{3});
    const CameraCommand command = sent.at(0).at(0).value<CameraCommand>();
    QVERIFY(command.isPresetCall());
    QCOMPARE(command.origin, CameraCommand::Origin::Tracking);

    page.slot_CallCameraPreset(4);
    page.slot_CallCameraPreset(3);
    QCOMPARE(presetsOf(sent), (QList<int>{3, 4, 3}));

    // The repeat rule survives a brand switch.
    tracking.engine.setDevice(5, PresetLink::Yamaha);
    page.slot_SwitchSoundDeviceType(5, PresetLink::Yamaha);
    page.slot_CallCameraPreset(3);
    QCOMPARE(sent.count(), 3);
}

void TstPresetLink::repeatIsForgottenWithoutCamera() {
    PresetLink page;
    Tracking tracking(page, 3, PresetLink::Sennheiser);
    QSignalSpy sent(&page, &PresetLink::signal_AddUSBCommand);
    page.slot_CallCameraPreset(2);
    QCOMPARE(sent.count(), 1);

    tracking.engine.setCamera(QString());
    page.slot_CallCameraPreset(2);
    QCOMPARE(sent.count(), 1);

    tracking.engine.setCamera(QStringLiteral("1&2.4&1&0000"));
    page.slot_CallCameraPreset(2);
    QCOMPARE(sent.count(), 2);
}

void TstPresetLink::offPositionNeverMovesAndForgets() {
    PresetLink page;
    Tracking tracking(page, 4, PresetLink::Nureva);
    QSignalSpy sent(&page, &PresetLink::signal_AddUSBCommand);
    page.presetBox(6)->setCurrentIndex(0);  // "Off"
    page.slot_Apply();
    QCOMPARE(page.presetMap().value(6), -1);

    page.slot_CallCameraPreset(1);
    page.slot_CallCameraPreset(6);
    QCOMPARE(sent.count(), 1);
    page.slot_CallCameraPreset(1);
    QCOMPARE(presetsOf(sent), (QList<int>{1, 1}));
}

void TstPresetLink::theTrackerGetsTheLinksAndZonesAsTheyChange() {
    PresetLink page;
    Tracking tracking(page, 3, PresetLink::Sennheiser);
    const PositionMap& map = tracking.engine.tracker().positionMap();
    QCOMPARE(map, page.positionMap());
    // A zone counts as it is edited, a preset once it is applied.
    page.rangeStartBox(2)->setValue(50);
    QCOMPARE(map.zone(PresetLink::Sennheiser, 2).start, 50);
    QCOMPARE(map.positionForAzimuth(PresetLink::Sennheiser, 47), -1);
    page.presetBox(2)->setCurrentIndex(7);
    QCOMPARE(map.presetOf(2), 2);
    page.slot_Apply();
    QCOMPARE(map.presetOf(2), 7);
    // Loading hands over what was loaded.
    QJsonObject links;
    for (int i = 1; i <= 8; ++i) links.insert(QStringLiteral("ArrayPos%1").arg(i), 9 - i);
    publish(QJsonObject{
        {"SoundDeviceIndex", 3}, {"PresetLinkMap", links}, {"SennheiserAzimuthRange", zones({"10~20"})}});
    page.loadSettings();
    QCOMPARE(map.presetOf(1), 8);
    QCOMPARE(map.zone(PresetLink::Sennheiser, 1).end, 20);
    QCOMPARE(map, page.positionMap());
}

void TstPresetLink::applyTakesBoxesAndZones() {
    PresetLink page;
    page.slot_SwitchSoundDeviceType(5, PresetLink::Yamaha);
    page.presetBox(1)->setCurrentIndex(8);
    QVERIFY(page.isApplyEnabled());
    QCOMPARE(page.presetMap().value(1), 1);  // not before Apply
    page.rangeEndBox(1)->setValue(-100);
    page.slot_Apply();
    QVERIFY(!page.isApplyEnabled());
    QCOMPARE(page.presetMap().value(1), 8);
    QCOMPARE(page.range(PresetLink::Yamaha, 1).end, -100);
    QCOMPARE(page.rangeTexts(PresetLink::Yamaha),
             (QStringList{"Start", "-180~-100", "-135~-90", "-90~-45", "-45~0", "0~45", "45~90", "90~135",
                          "135~180"}));
    // The other brands' zones are untouched.
    QCOMPARE(page.rangeTexts(PresetLink::Sennheiser).value(8), QStringLiteral("315~360"));
    QVERIFY(page.rangeTexts(PresetLink::Shure).isEmpty());
}

void TstPresetLink::loadSettingsReadsLinksAndZones() {
    QJsonObject links;
    links.insert("ArrayPos1", -1);
    links.insert("ArrayPos2", 8);
    // ArrayPos3 is missing: it reads as 0.
    for (int i = 4; i <= 8; ++i) links.insert(QStringLiteral("ArrayPos%1").arg(i), 9 - i);
    links.insert("ArrayPos4", 99);  // no box can show it
    QJsonObject doc;
    doc.insert("SoundDeviceIndex", 4);
    doc.insert("PresetLinkMap", links);
    doc.insert("NurevaAzimuthRange",
               zones({"-70~-60", "-60~-50", "garbage", "~", "-5~", "1~2~3", "20~38", "56~99"}));
    // Bounds past the brand's limits (a hand-edited file) are held at the limits, also for a
    // brand that is not shown.
    doc.insert("YamahaAzimuthRange", zones({"-999~-135", "-135~-90", "90~513"}));
    publish(doc);

    PresetLink page;
    page.slot_SwitchSoundDeviceType(4, PresetLink::Nureva);
    page.loadSettings();
    QVERIFY(!page.isApplyEnabled());

    QCOMPARE(page.presetMap().value(1), -1);
    QCOMPARE(page.presetBox(1)->currentText(), QStringLiteral("Off"));
    QCOMPARE(page.presetMap().value(2), 8);
    QCOMPARE(page.presetBox(2)->currentIndex(), 8);
    QCOMPARE(page.presetMap().value(3), 0);
    QCOMPARE(page.presetBox(3)->currentText(), QStringLiteral("Off"));
    QCOMPARE(page.presetMap().value(4), -1);
    QCOMPARE(page.presetBox(4)->currentText(), QStringLiteral("Off"));

    QCOMPARE(page.rangeTexts(PresetLink::Nureva),
             (QStringList{"Start", "-70~-60", "-60~-50", "0~0", "0~0", "-5~0", "1~2", "20~38", "56~70"}));
    QCOMPARE(page.rangeStartBox(1)->value(), -70);
    QCOMPARE(page.rangeEndBox(1)->value(), -60);
    QCOMPARE(page.rangeTexts(PresetLink::Yamaha).mid(0, 5),
             (QStringList{"Start", "-180~-135", "-135~-90", "90~180", "0~0"}));
    // Untouched brands keep their defaults.
    QCOMPARE(page.rangeTexts(PresetLink::Sennheiser).value(1), QStringLiteral("0~45"));

    // Position 3 has preset 0 until the user applies the page.
    Tracking tracking(page, 4, PresetLink::Nureva);
    QSignalSpy sent(&page, &PresetLink::signal_AddUSBCommand);
    page.slot_CallCameraPreset(3);
    QCOMPARE(presetsOf(sent), QList<int>{0});
    page.presetBox(3)->setCurrentIndex(1);
    page.presetBox(3)->setCurrentIndex(0);
    page.slot_Apply();
    QCOMPARE(page.presetMap().value(3), -1);
}

void TstPresetLink::loadSettingsWithoutIndexKeepsDefaults() {
    QJsonObject links;
    for (int i = 1; i <= 8; ++i) links.insert(QStringLiteral("ArrayPos%1").arg(i), -1);
    QJsonObject doc;
    doc.insert("PresetLinkMap", links);
    doc.insert("SennheiserAzimuthRange", zones({"1~2"}));
    publish(doc);

    PresetLink page;
    page.presetBox(5)->setCurrentIndex(0);  // an edit the load must overwrite from the map
    page.loadSettings();
    for (int i = 1; i <= 8; ++i) {
        QCOMPARE(page.presetMap().value(i), i);
        QCOMPARE(page.presetBox(i)->currentIndex(), i);
    }
    QCOMPARE(page.rangeTexts(PresetLink::Sennheiser).value(1), QStringLiteral("0~45"));
}

void TstPresetLink::positionsNameTheirCameras() {
    const QString front = QStringLiteral("1&2.4&1&0000");
    const QString side = QStringLiteral("1&2.5&1&0000");
    QJsonObject cameras{{"ArrayPos1", "1&2.4&1&0000"}, {"ArrayPos6", " 1&2.5&1&0000 "}, {"ArrayPos7", 5}};
    publish(QJsonObject{{"SoundDeviceIndex", 3}, {"PresetLinkCameraMap", cameras}});
    PresetLink page;
    Tracking tracking(page, 3, PresetLink::Sennheiser);
    page.loadSettings();
    // Before the list has rows, a linked camera shows as not attached; a link that is not a
    // location takes the first camera.
    QCOMPARE(page.cameraBox(6)->currentText(), QStringLiteral("1&2.5&1&0000 (not attached)"));
    QCOMPARE(page.cameraBox(7)->currentText(), QStringLiteral("First camera"));
    QCOMPARE(tracking.engine.tracker().positionMap().cameraOf(6), side.toStdString());
    QCOMPARE(tracking.engine.tracker().positionMap().cameraOf(7), std::string());

    // The rows arrive: the boxes name the cameras by their short names; that is no edit.
    page.setCameraChoices({{front, QStringLiteral("Front")}, {side, QStringLiteral("Side")}});
    QVERIFY(!page.isApplyEnabled());
    QCOMPARE(page.cameraBox(1)->currentText(), QStringLiteral("Front"));
    QCOMPARE(page.cameraBox(6)->currentText(), QStringLiteral("Side"));
    QCOMPARE(page.cameraBox(6)->count(), 3);

    // A choice counts on Apply, and survives its camera leaving the list.
    page.cameraBox(2)->setCurrentIndex(page.cameraBox(2)->findData(side));
    QVERIFY(page.isApplyEnabled());
    QCOMPARE(page.cameraMap().value(2), QString());
    page.slot_Apply();
    QCOMPARE(page.cameraMap().value(2), side);
    QCOMPARE(tracking.engine.tracker().positionMap().cameraOf(2), side.toStdString());
    page.setCameraChoices({{front, QStringLiteral("Front")}});
    QCOMPARE(page.cameraBox(2)->currentText(), QStringLiteral("1&2.5&1&0000 (not attached)"));
    page.slot_Apply();
    QCOMPARE(page.cameraMap().value(2), side);

    // Linked to a camera that is not connected: nothing goes to the camera that is.
    QSignalSpy sent(&page, &PresetLink::signal_AddUSBCommand);
    page.slot_CallCameraPreset(6);
    QVERIFY(sent.isEmpty());
    page.slot_CallCameraPreset(1);
    QCOMPARE(presetsOf(sent), QList<int>{1});
}

void TstPresetLink::everyLayoutFitsThePage_data() {
    QTest::addColumn<int>("deviceType");
    QTest::addColumn<int>("brand");
    QTest::newRow("eight-lobe Shure") << 0 << int(PresetLink::Shure);
    QTest::newRow("four-lobe Shure") << 2 << int(PresetLink::Shure);
    QTest::newRow("Sennheiser") << 3 << int(PresetLink::Sennheiser);
    QTest::newRow("Nureva") << 4 << int(PresetLink::Nureva);
    QTest::newRow("Yamaha") << 5 << int(PresetLink::Yamaha);
}

void TstPresetLink::everyLayoutFitsThePage() {
    // The main window gives the page 320 x 328 at its smallest; no layout may need more
    // (a taller one grew the page and pressed "Apply" against the last row).
    QFETCH(int, deviceType);
    QFETCH(int, brand);
    PresetLink page;
    page.slot_SwitchSoundDeviceType(deviceType, brand);
    const QSize needed = page.minimumSizeHint();
    QVERIFY2(needed.width() <= 320 && needed.height() <= 328,
             qPrintable(QStringLiteral("needs %1 x %2").arg(needed.width()).arg(needed.height())));

    page.resize(320, 328);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    auto* apply = page.findChild<QPushButton*>(QStringLiteral("apply_pushButton"));
    QVERIFY(apply);
    const QRect applyRect(apply->mapTo(&page, QPoint(0, 0)), apply->size());
    QVERIFY(page.rect().contains(applyRect));
    int lastRowBottom = 0;
    for (int position = 1; position <= PresetLink::kPositionCount; ++position) {
        QComboBox* box = page.presetBox(position);
        if (box->isVisible())
            lastRowBottom = std::max(lastRowBottom, box->mapTo(&page, QPoint(0, box->height())).y());
    }
    QVERIFY2(applyRect.top() - lastRowBottom >= 10,
             qPrintable(QStringLiteral("%1 px above Apply").arg(applyRect.top() - lastRowBottom)));
}

QTEST_MAIN(TstPresetLink)
#include "tst_PresetLink.moc"
