// The timing dialog: what it shows per array brand and what Apply and Cancel hand back.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include "AdvancedSetting.h"

namespace {

enum Brand { Shure = 0, Sennheiser = 1, Nureva = 2, Yamaha = 3 };

struct Form {
    explicit Form(AdvancedSetting& d)
        : level(d.findChild<QSpinBox*>("audio_trigger_spinBox")),
          delay(d.findChild<QComboBox*>("delayTime_comboBox")),
          backHome(d.findChild<QComboBox*>("backHome_comboBox")),
          action(d.findChild<QComboBox*>("backHomeAction_comboBox")),
          apply(d.findChild<QPushButton*>("apply_pushButton")),
          cancel(d.findChild<QPushButton*>("cancel_pushButton")) {}
    QSpinBox* level;
    QComboBox* delay;
    QComboBox* backHome;
    QComboBox* action;
    QPushButton* apply;
    QPushButton* cancel;
};

// Records the four signals in the order they arrive.
struct Recorder {
    explicit Recorder(AdvancedSetting& d) {
        QObject::connect(&d, &AdvancedSetting::signal_AudioTriggerLevelChange,
                         [this](int v) { calls << QStringLiteral("level=%1").arg(v); });
        QObject::connect(&d, &AdvancedSetting::signal_DelayTriggerTimeChange,
                         [this](int v) { calls << QStringLiteral("delay=%1").arg(v); });
        QObject::connect(&d, &AdvancedSetting::signal_BackToHomeTriggerTimeChange,
                         [this](int v) { calls << QStringLiteral("home=%1").arg(v); });
        QObject::connect(&d, &AdvancedSetting::signal_BackToHomeActionChange,
                         [this](int v) { calls << QStringLiteral("action=%1").arg(v); });
    }
    QStringList calls;
};

}  // namespace

class TstAdvancedSetting : public QObject {
    Q_OBJECT

private slots:
    void initialChoices();
    void levelPerBrand_data();
    void levelPerBrand();
    void applySendsAllFourInOrder();
    void cancelDropsEdits();
    void unmatchedStoredValuesSurviveApply();
    void unmatchedStoredTimesShowAsTheirOwnEntries();
    void trackingChoicesLoadAndApply();
    void camerasLoadAndApply();
};

void TstAdvancedSetting::initialChoices() {
    AdvancedSetting dialog;
    Form f(dialog);
    QVERIFY(f.level && f.delay && f.backHome && f.action && f.apply && f.cancel);
    QVERIFY(!f.apply->isEnabled());
    QCOMPARE(f.delay->count(), 7);
    QCOMPARE(f.delay->currentText(), QStringLiteral("1.5 Sec"));
    QCOMPARE(f.backHome->currentText(), QStringLiteral("10 Sec"));
    QCOMPARE(f.backHome->itemData(0).toInt(), -1);
    QCOMPARE(f.backHome->itemData(8).toInt(), 180000);
    QCOMPARE(f.action->currentText(), QStringLiteral("Home"));
    QCOMPARE(f.action->itemData(1).toInt(), 0);
    QVERIFY(dialog.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(dialog.minimumSize(), QSize(449, 500));
}

void TstAdvancedSetting::levelPerBrand_data() {
    QTest::addColumn<int>("brand");
    QTest::addColumn<bool>("editable");
    QTest::addColumn<int>("low");
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("shown");
    QTest::addColumn<int>("applied");
    QTest::newRow("shure") << int(Shure) << false << 0 << 0 << -90 << 0;
    QTest::newRow("sennheiser") << int(Sennheiser) << true << -90 << 0 << -40 << -40;
    QTest::newRow("nureva") << int(Nureva) << true << 0 << 120 << 50 << 50;
    QTest::newRow("yamaha") << int(Yamaha) << false << 0 << 0 << -90 << 0;
}

void TstAdvancedSetting::levelPerBrand() {
    QFETCH(int, brand);
    QFETCH(bool, editable);
    QFETCH(int, low);
    QFETCH(int, high);
    QFETCH(int, shown);
    QFETCH(int, applied);

    AdvancedSetting dialog;
    Form f(dialog);
    // Open once with another brand first: reopening must switch range and value.
    dialog.setValues(4, Nureva, -40, 80, 1500, 10000, 300);
    dialog.setValues(3, brand, -40, 50, 1500, 10000, 300);
    QCOMPARE(f.level->isEnabled(), editable);
    QCOMPARE(dialog.findChild<QLabel*>("audio_trigger_label")->isEnabled(), editable);
    QCOMPARE(f.level->value(), shown);
    if (editable) {
        QCOMPARE(f.level->minimum(), low);
        QCOMPARE(f.level->maximum(), high);
    }
    QVERIFY(!f.apply->isEnabled());

    QSignalSpy level(&dialog, &AdvancedSetting::signal_AudioTriggerLevelChange);
    dialog.slot_Apply();
    QCOMPARE(level.count(), 1);
    QCOMPARE(level.at(0).at(0).toInt(), applied);

    if (editable) {
        f.level->setValue(brand == Sennheiser ? -12 : 99);
        QVERIFY(f.apply->isEnabled());
        QTest::mouseClick(f.apply, Qt::LeftButton);
        QCOMPARE(level.count(), 2);
        QCOMPARE(level.at(1).at(0).toInt(), brand == Sennheiser ? -12 : 99);
    }
}

void TstAdvancedSetting::applySendsAllFourInOrder() {
    AdvancedSetting dialog;
    Form f(dialog);
    Recorder rec(dialog);
    dialog.setValues(3, Sennheiser, -30, 50, 1000, 20000, 300);
    QCOMPARE(f.delay->currentText(), QStringLiteral("1 Sec"));
    QCOMPARE(f.backHome->currentText(), QStringLiteral("20 Sec"));

    dialog.show();
    f.backHome->setCurrentIndex(0);  // "Off"
    QVERIFY(f.apply->isEnabled());
    QTest::mouseClick(f.apply, Qt::LeftButton);
    QCOMPARE(rec.calls, (QStringList{"level=-30", "delay=1000", "home=-1", "action=300"}));
    QVERIFY(!dialog.isVisible());
}

void TstAdvancedSetting::cancelDropsEdits() {
    AdvancedSetting dialog;
    Form f(dialog);
    Recorder rec(dialog);
    dialog.setValues(4, Nureva, -55, 50, 1500, 10000, 300);
    dialog.show();
    f.delay->setCurrentIndex(6);
    f.action->setCurrentIndex(1);
    f.level->setValue(70);
    QTest::mouseClick(f.cancel, Qt::LeftButton);
    QVERIFY(rec.calls.isEmpty());
    QVERIFY(!dialog.isVisible());

    // The next opening shows the page's values again, not the dropped edits.
    dialog.setValues(4, Nureva, -55, 50, 1500, 10000, 300);
    QCOMPARE(f.delay->currentText(), QStringLiteral("1.5 Sec"));
    QCOMPARE(f.action->currentText(), QStringLiteral("Home"));
    QCOMPARE(f.level->value(), 50);
    QVERIFY(!f.apply->isEnabled());
    dialog.slot_Apply();
    QCOMPARE(rec.calls, (QStringList{"level=50", "delay=1500", "home=10000", "action=300"}));
}

void TstAdvancedSetting::unmatchedStoredValuesSurviveApply() {
    AdvancedSetting dialog;
    Form f(dialog);
    Recorder rec(dialog);
    dialog.setValues(3, Sennheiser, -55, 50, 2000, 10000, 0);
    // Values no entry matches, as an edited settings document can hold them.
    dialog.setValues(3, Sennheiser, -55, 50, 2500, 15000, 7);
    QCOMPARE(f.delay->currentText(), QStringLiteral("2.5 Sec"));
    QCOMPARE(f.action->currentText(), QStringLiteral("Preset 0"));  // no action entry is made up
    f.level->setValue(-50);
    QTest::mouseClick(f.apply, Qt::LeftButton);
    QCOMPARE(rec.calls, (QStringList{"level=-50", "delay=2500", "home=15000", "action=7"}));
}

void TstAdvancedSetting::unmatchedStoredTimesShowAsTheirOwnEntries() {
    // A stored time that none of the choices names is shown as an entry of its own, in its
    // place among the others, so the dialog shows the time that runs.
    AdvancedSetting dialog;
    Form f(dialog);
    Recorder rec(dialog);
    dialog.setValues(3, Sennheiser, -55, 50, 2500, 45000, 300);
    QCOMPARE(f.delay->count(), 8);
    QCOMPARE(f.delay->currentIndex(), 4);
    QCOMPARE(f.delay->itemText(3), QStringLiteral("2 Sec"));
    QCOMPARE(f.delay->currentText(), QStringLiteral("2.5 Sec"));
    QCOMPARE(f.delay->currentData().toInt(), 2500);
    QCOMPARE(f.delay->itemText(5), QStringLiteral("3 Sec"));
    QCOMPARE(f.backHome->count(), 10);
    QCOMPARE(f.backHome->currentText(), QStringLiteral("45 Sec"));
    QCOMPARE(f.backHome->currentIndex(), 5);  // after "40 Sec"
    QVERIFY(!f.apply->isEnabled());

    // Beyond the longest choice, and whole minutes.
    dialog.setValues(3, Sennheiser, -55, 50, 7250, 240000, 300);
    QCOMPARE(f.delay->count(), 8);
    QCOMPARE(f.delay->currentText(), QStringLiteral("7.25 Sec"));
    QCOMPARE(f.delay->currentIndex(), 7);
    QCOMPARE(f.backHome->currentText(), QStringLiteral("4 Min"));
    QCOMPARE(f.backHome->currentIndex(), 9);
    dialog.slot_Apply();
    QCOMPARE(rec.calls, (QStringList{"level=-55", "delay=7250", "home=240000", "action=300"}));

    // Choosing a listed time replaces the odd one.
    rec.calls.clear();
    dialog.setValues(3, Sennheiser, -55, 50, 1234, 90000, 300);
    QCOMPARE(f.delay->currentText(), QStringLiteral("1.234 Sec"));
    QCOMPARE(f.backHome->currentText(), QStringLiteral("90 Sec"));
    f.delay->setCurrentIndex(f.delay->findData(3000));
    dialog.slot_Apply();
    QCOMPARE(rec.calls, (QStringList{"level=-55", "delay=3000", "home=90000", "action=300"}));

    // The next opening with listed times has no extra entries left.
    dialog.setValues(3, Sennheiser, -55, 50, 3000, -1, 300);
    QCOMPARE(f.delay->count(), 7);
    QCOMPARE(f.delay->currentText(), QStringLiteral("3 Sec"));
    QCOMPARE(f.backHome->count(), 9);
    QCOMPARE(f.backHome->currentText(), QStringLiteral("Off"));
}

QTEST_MAIN(TstAdvancedSetting)
void TstAdvancedSetting::trackingChoicesLoadAndApply() {
    AdvancedSetting dialog;
    auto* hold = dialog.findChild<QComboBox*>("minimumHold_comboBox");
    auto* several = dialog.findChild<QComboBox*>("severalTalkers_comboBox");
    auto* override = dialog.findChild<QComboBox*>("manualOverride_comboBox");
    auto* reconnect = dialog.findChild<QCheckBox*>("autoReconnect_checkBox");
    QVERIFY(hold && several && override && reconnect);
    QCOMPARE(hold->count(), 5);
    QCOMPARE(hold->currentText(), QStringLiteral("Off"));
    QCOMPARE(hold->itemData(4).toInt(), 10000);
    QCOMPARE(several->count(), 11);
    QCOMPARE(several->currentData().toInt(), -1);
    QCOMPARE(several->itemText(10), QStringLiteral("Preset 9"));
    QCOMPARE(override->currentText(), QStringLiteral("30 Sec"));
    QCOMPARE(override->itemData(4).toInt(), 120000);
    QVERIFY(reconnect->isChecked());

    // Only an array that reports several gates at once can have several talkers.
    dialog.setValues(3, Sennheiser, -55, 50, 1500, 10000, 300);
    QVERIFY(!several->isEnabled());
    dialog.setValues(0, Shure, -55, 50, 1500, 10000, 300);
    QVERIFY(several->isEnabled());

    // Loading does not count as an edit; a hold time no choice names keeps an entry.
    dialog.setTrackingValues(false, 2500, 9, 0);
    QVERIFY(!dialog.findChild<QPushButton*>("apply_pushButton")->isEnabled());
    QCOMPARE(hold->currentText(), QStringLiteral("2.5 Sec"));
    QCOMPARE(several->currentText(), QStringLiteral("Preset 9"));
    QCOMPARE(override->currentText(), QStringLiteral("Off"));
    QVERIFY(!reconnect->isChecked());

    QStringList calls;
    connect(&dialog, &AdvancedSetting::signal_BackToHomeActionChange, [&](int) { calls << "action"; });
    connect(&dialog, &AdvancedSetting::signal_AutoReconnectChange,
            [&](bool on) { calls << QStringLiteral("reconnect=%1").arg(on); });
    connect(&dialog, &AdvancedSetting::signal_MinimumHoldTimeChange,
            [&](int v) { calls << QStringLiteral("hold=%1").arg(v); });
    connect(&dialog, &AdvancedSetting::signal_SeveralTalkersPresetChange,
            [&](int v) { calls << QStringLiteral("several=%1").arg(v); });
    connect(&dialog, &AdvancedSetting::signal_ManualOverrideTimeChange,
            [&](int v) { calls << QStringLiteral("override=%1").arg(v); });
    reconnect->click();
    QVERIFY(dialog.findChild<QPushButton*>("apply_pushButton")->isEnabled());
    override->setCurrentIndex(3);
    dialog.slot_Apply();
    QCOMPARE(calls, (QStringList{"action", "reconnect=1", "hold=2500", "several=9", "override=60000"}));
}

void TstAdvancedSetting::camerasLoadAndApply() {
    AdvancedSetting dialog;
    auto* several = dialog.findChild<QComboBox*>("severalTalkersCamera_comboBox");
    auto* home = dialog.findChild<QComboBox*>("backHomeCameras_comboBox");
    QVERIFY(several && home);
    QCOMPARE(several->currentText(), QStringLiteral("First camera"));
    QCOMPARE(home->currentText(), QStringLiteral("All cameras"));

    const CameraChoices cameras{{"1&2.4&1&0000", "Front"}, {"1&2.5&1&0000", "Side"}};
    // A saved camera that is not attached keeps its entry and is handed back unchanged.
    dialog.setCameraValues(cameras, "1&9&1&0000", "1&2.5&1&0000");
    QVERIFY(!dialog.findChild<QPushButton*>("apply_pushButton")->isEnabled());
    QCOMPARE(several->currentText(), QStringLiteral("1&9&1&0000 (not attached)"));
    QCOMPARE(home->currentText(), QStringLiteral("Side"));

    QStringList calls;
    connect(&dialog, &AdvancedSetting::signal_SeveralTalkersCameraChange,
            [&](const QString& v) { calls << "several=" + v; });
    connect(&dialog, &AdvancedSetting::signal_BackToHomeCamerasChange,
            [&](const QString& v) { calls << "home=" + v; });
    home->setCurrentIndex(0);
    QVERIFY(dialog.findChild<QPushButton*>("apply_pushButton")->isEnabled());
    dialog.slot_Apply();
    QCOMPARE(calls, (QStringList{"several=1&9&1&0000", "home=all"}));
}

#include "tst_AdvancedSetting.moc"
