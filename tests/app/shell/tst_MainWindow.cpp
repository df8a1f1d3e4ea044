// The main window's behaviour: the delayed start, closing into the tray, the tray entries,
// the title bar and the two dialogs.
#include <QAction>
#include <QCheckBox>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>
#include <QtTest/qtestspontaneevent.h>

#include "AboutWidget.h"
#include "DecisionLogWindow.h"
#include "PresetLink.h"
#include "TrackingEngine.h"
#include "ViscaBridge.h"
#include "ViscaDialog.h"
#include "SoundDeviceSetting.h"
#include "MainWindow.h"
#include "SettingsDocument.h"
#include "WarningMessageWidget.h"
#include "titleWidget.h"

namespace {

QString uniqueInstanceName() {
    static int counter = 0;
    return QStringLiteral("vantor-window-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

QPushButton* titleButton(QWidget* window, const char* name) {
    return window->findChild<titleWidget*>()->findChild<QPushButton*>(QLatin1String(name));
}

}  // namespace

class TstMainWindow : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void form();
    void disabledUntilStartDelayThenAutoConnectOnce();
    void spontaneousCloseGoesToTray();
    void leftButtonDragsTheWindow();
    void closeButtonSavesAndCloses();
    void trayActivation();
    void trayMenu();
    void aboutDialogIsReused();
    void viscaDialogServesAndSavesWhatItAccepts();
    void warningReplacesShownMessage();
    void warningOpensCentredOnTheWindowInUse();
    void arrayPageReachesThePresetLinkPage();
    void arrayPageSettingsSurviveARestart();
    void oddSavedTimingValuesAreSavedBackReplaced();

private:
    std::unique_ptr<QTemporaryDir> _dir;
};

void TstMainWindow::init() {
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
}

void TstMainWindow::cleanup() {
    _dir.reset();
}

void TstMainWindow::form() {
    MainWindow window(nullptr, uniqueInstanceName());
    QVERIFY(window.windowFlags() & Qt::FramelessWindowHint);
    QCOMPARE(window.windowTitle(), QStringLiteral("Vantor Reda"));
    QCOMPARE(window.minimumSize(), QSize(720, 660));
    QVERIFY(window.findChild<QWidget*>("sounddevice_widget"));
    QVERIFY(window.findChild<QWidget*>("presetlink_widget"));
    QVERIFY(window.findChild<QWidget*>("camera_widget"));
    QCOMPARE(window.findChild<QLabel*>("title_label")->text(), QStringLiteral("Vantor Reda V1.0.0"));
    QVERIFY(window.systemTrayIcon()->isVisible());
    QCOMPARE(window.systemTrayIcon()->toolTip(), QStringLiteral("Vantor Reda"));
    QVERIFY(!window.systemTrayIcon()->icon().isNull());
    QVERIFY(window.isHandOverServerListening());
}

void TstMainWindow::disabledUntilStartDelayThenAutoConnectOnce() {
    QElapsedTimer clock;
    clock.start();
    MainWindow window(nullptr, uniqueInstanceName());
    QSignalSpy autoConnect(&window, &MainWindow::signal_StartAutoConnect);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(!window.isEnabled());

    // A click during the start delay has no effect.
    QTest::mouseClick(titleButton(&window, "info_pushButton"), Qt::LeftButton);
    QVERIFY(!window.aboutWidget());

    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    QVERIFY2(clock.elapsed() >= MainWindow::kEnableDelayMs - 5, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(autoConnect.count(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(autoConnect.count(), 1, 5000);
    QVERIFY(clock.elapsed() >= MainWindow::kAutoConnectDelayMs - 5);

    QTest::mouseClick(titleButton(&window, "info_pushButton"), Qt::LeftButton);
    QVERIFY(window.aboutWidget());
}

void TstMainWindow::spontaneousCloseGoesToTray() {
    MainWindow window(nullptr, uniqueInstanceName());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // sendEvent() clears the spontaneous flag, so deliver the event the way the window
    // system's dispatch does: straight to the widget's event handler.
    QCloseEvent fromWindowSystem;
    QSpontaneKeyEvent::setSpontaneous(&fromWindowSystem);
    static_cast<QObject&>(window).event(&fromWindowSystem);
    QVERIFY(!fromWindowSystem.isAccepted());
    QVERIFY(window.isHidden());
    QVERIFY(window.systemTrayIcon()->isVisible());

    // The same gesture with the tray icon gone closes the window for real.
    window.show();
    window.systemTrayIcon()->hide();
    QCloseEvent again;
    QSpontaneKeyEvent::setSpontaneous(&again);
    static_cast<QObject&>(window).event(&again);
    QVERIFY(again.isAccepted());

    // A close from code (the title bar's close button) is never held back.
    window.systemTrayIcon()->show();
    QCloseEvent fromCode;
    static_cast<QObject&>(window).event(&fromCode);
    QVERIFY(fromCode.isAccepted());
}

void TstMainWindow::leftButtonDragsTheWindow() {
    MainWindow window(nullptr, uniqueInstanceName());
    window.move(100, 100);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    const QPoint start = window.pos();
    const QPoint grip = window.mapToGlobal(QPoint(200, 20));
    auto send = [&](QEvent::Type type, const QPoint& global, Qt::MouseButton button,
                    Qt::MouseButtons buttons) {
        QMouseEvent event(type, window.mapFromGlobal(global), global, button, buttons, Qt::NoModifier);
        static_cast<QObject&>(window).event(&event);
    };

    // Only the left button starts a drag.
    send(QEvent::MouseButtonPress, grip, Qt::RightButton, Qt::RightButton);
    send(QEvent::MouseMove, grip + QPoint(40, 40), Qt::NoButton, Qt::RightButton);
    QCOMPARE(window.pos(), start);
    send(QEvent::MouseButtonRelease, grip + QPoint(40, 40), Qt::RightButton, Qt::NoButton);

    send(QEvent::MouseButtonPress, grip, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, grip + QPoint(50, 30), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window.pos(), start + QPoint(50, 30));
    send(QEvent::MouseMove, grip + QPoint(-20, 10), Qt::NoButton, Qt::LeftButton);
    QCOMPARE(window.pos(), start + QPoint(-20, 10));

    // After the release, moves no longer drag.
    send(QEvent::MouseButtonRelease, grip + QPoint(-20, 10), Qt::LeftButton, Qt::NoButton);
    const QPoint dropped = window.pos();
    send(QEvent::MouseMove, grip + QPoint(300, 300), Qt::NoButton, Qt::NoButton);
    QCOMPARE(window.pos(), dropped);
}

void TstMainWindow::closeButtonSavesAndCloses() {
    MainWindow window(nullptr, uniqueInstanceName());
    window.show();
    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    QVERIFY(!QFile::exists(window.configFilePath()));
    QTest::mouseClick(titleButton(&window, "close_pushButton"), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY(QFile::exists(window.configFilePath()));
    QVERIFY(window.systemTrayIcon()->isVisible());
}

void TstMainWindow::trayActivation() {
    MainWindow window(nullptr, uniqueInstanceName());
    window.hide();
    window.slot_SysTrayActivated(QSystemTrayIcon::Context);
    QVERIFY(window.isHidden());
    window.slot_SysTrayActivated(QSystemTrayIcon::MiddleClick);
    QVERIFY(window.isHidden());
    window.slot_SysTrayActivated(QSystemTrayIcon::Trigger);
    QVERIFY(window.isVisible());

    window.showMinimized();
    window.slot_SysTrayActivated(QSystemTrayIcon::DoubleClick);
    QVERIFY(window.isVisible());
    QVERIFY(!window.isMinimized());
}

void TstMainWindow::trayMenu() {
    MainWindow window(nullptr, uniqueInstanceName());
    QMenu* menu = window.systemTrayIcon()->contextMenu();
    QVERIFY(menu);
    const QList<QAction*> actions = menu->actions();
    QCOMPARE(actions.size(), 7);
    QCOMPARE(actions[0]->text(), QStringLiteral("Show Window"));
    QCOMPARE(actions[1]->text(), QStringLiteral("Control interface"));
    QCOMPARE(actions[2]->text(), QStringLiteral("VISCA"));
    QCOMPARE(actions[3]->text(), QStringLiteral("Tracking log"));
    QVERIFY(actions[4]->isSeparator());
    QCOMPARE(actions[5]->text(), QStringLiteral("Tracking"));
    QCOMPARE(actions[6]->text(), QStringLiteral("Exit"));

    window.hide();
    actions.first()->trigger();
    QVERIFY(window.isVisible());

    // "Tracking" and the array page's switch are one setting, whichever is used.
    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    auto* page = window.findChild<SoundDeviceSetting*>();
    QVERIFY(actions[5]->isCheckable() && actions[5]->isChecked());
    actions[5]->trigger();
    QVERIFY(!page->isTrackingEnabled());
    QVERIFY(!page->trackingCheckBox()->isChecked());
    page->trackingCheckBox()->click();
    QVERIFY(page->isTrackingEnabled());
    QVERIFY(actions[5]->isChecked());
    actions[5]->trigger();

    // "Tracking log" and the array page's button open the one window, newest first; it
    // follows the log while it is open.
    QVERIFY(!window.decisionLogWindow());
    page->setTrackingEnabled(true);
    window.trackingEngine()->returnHomeNow();  // no camera: dropped, and logged
    actions[3]->trigger();
    DecisionLogWindow* log = window.decisionLogWindow();
    QVERIFY(log && log->isVisible());
    QCOMPARE(log->list()->count(), 1);
    QVERIFY(log->list()->item(0)->text().contains(QLatin1String("no camera")));
    log->close();
    page->trackingLogButton()->click();
    QCOMPARE(window.decisionLogWindow(), log);
    QVERIFY(log->isVisible());
    page->setTrackingEnabled(false);
    window.trackingEngine()->returnHomeNow();  // another reason
    QCOMPARE(log->list()->count(), 2);
    QVERIFY(log->list()->item(0)->text().contains(QLatin1String("tracking off")));
    QCOMPARE(log->copyText().count(QLatin1Char('\n')), 1);
    log->list()->item(1)->setSelected(true);
    QVERIFY(log->copyText().contains(QLatin1String("no camera")));
    QVERIFY(!log->copyText().contains(QLatin1String("tracking off")));

    // "Exit" saves the settings before it leaves the event loop.
    QVERIFY(!QFile::exists(window.configFilePath()));
    actions.last()->trigger();
    QVERIFY(QFile::exists(window.configFilePath()));
    QFile saved(window.configFilePath());
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QJsonDocument::fromJson(saved.readAll()).object().value("TrackingEnabled"), QJsonValue(false));
}

void TstMainWindow::viscaDialogServesAndSavesWhatItAccepts() {
    MainWindow window(nullptr, uniqueInstanceName());
    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    QVERIFY(!window.viscaBridge()->isServing());
    // A user who never opened the dialog has no "Visca" in the file.
    window.writeConfigFile();
    QVERIFY(!SettingsDocument::load(window.configFilePath()).contains(QLatin1String("Visca")));

    // Ports free on loopback: the first pair the dialog asks for.
    QUdpSocket probe;
    QVERIFY(probe.bind(QHostAddress::LocalHost, 0));
    const int udp = probe.localPort();
    probe.close();

    window.slot_ViscaClicked();
    ViscaDialog* dialog = window.viscaDialog();
    QVERIFY(dialog && dialog->isVisible());
    window.slot_ViscaClicked();  // open: raised, not a second one
    QCOMPARE(window.viscaDialog(), dialog);
    dialog->enabledBox()->setChecked(true);
    dialog->udpPortBox()->setValue(udp);
    dialog->tcpPortBox()->setValue(udp == 65535 ? udp - 1 : udp + 1);
    // Cancel changes nothing.
    dialog->reject();
    QVERIFY(!window.viscaBridge()->isServing());

    window.slot_ViscaClicked();
    dialog = window.viscaDialog();
    QVERIFY(!dialog->enabledBox()->isChecked());
    dialog->enabledBox()->setChecked(true);
    dialog->udpPortBox()->setValue(udp);
    dialog->tcpPortBox()->setValue(udp == 65535 ? udp - 1 : udp + 1);
    dialog->okButton()->click();
    QVERIFY(!dialog->isVisible());
    QVERIFY(window.viscaBridge()->isServing());
    const QJsonObject saved =
        SettingsDocument::load(window.configFilePath()).value(QStringLiteral("Visca")).toObject();
    QCOMPARE(saved.value(QStringLiteral("Enabled")), QJsonValue(true));
    QCOMPARE(saved.value(QStringLiteral("UdpPort")).toInt(), udp);
}

void TstMainWindow::aboutDialogIsReused() {
    MainWindow window(nullptr, uniqueInstanceName());
    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    window.slot_InfoClicked();
    AboutWidget* about = window.aboutWidget();
    QVERIFY(about);
    QVERIFY(about->isVisible());
    QCOMPARE(about->windowTitle(), QStringLiteral("Vantor Reda"));
    QCOMPARE(about->findChild<QLabel*>("product_label")->text(),
             QStringLiteral("Vantor Reda\nVersion : 1.0.3"));
    QVERIFY(titleButton(about, "info_pushButton")->isHidden());

    about->move(about->pos() + QPoint(30, 20));
    const QPoint placed = about->pos();
    // "_" puts the dialog away instead of minimising it.
    QTest::mouseClick(titleButton(about, "min_pushButton"), Qt::LeftButton);
    QVERIFY(about->isHidden());
    QVERIFY(!about->isMinimized());
    window.slot_InfoClicked();
    QCOMPARE(window.aboutWidget(), about);
    QVERIFY(about->isVisible());
    QCOMPARE(about->pos(), placed);
}

void TstMainWindow::warningReplacesShownMessage() {
    MainWindow window(nullptr, uniqueInstanceName());
    // The dialogs belong to the window, so they take input only once the window does.
    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    window.slot_ShowWarningMessage(QStringLiteral("Device cannot connect."));
    WarningMessageWidget* warning = window.warningMessageWidget();
    QVERIFY(warning && warning->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(warning));
    QCOMPARE(warning->minimumSize(), QSize(300, 176));
    QVERIFY(titleButton(warning, "min_pushButton")->isHidden());
    QVERIFY(titleButton(warning, "info_pushButton")->isHidden());
    QCOMPARE(warning->findChild<QLabel*>("title_label")->text(), QString());

    window.slot_ShowWarningMessage(QStringLiteral("Connection Loss."));
    QCOMPARE(window.warningMessageWidget(), warning);
    QCOMPARE(warning->message(), QStringLiteral("Connection Loss."));
    QTest::mouseClick(warning->findChild<QPushButton*>("done_pushButton"), Qt::LeftButton);
    QVERIFY(warning->isHidden());

    window.slot_ShowWarningMessage(QStringLiteral("again"));
    QVERIFY(QTest::qWaitForWindowExposed(warning));
    QTest::mouseClick(titleButton(warning, "close_pushButton"), Qt::LeftButton);
    QVERIFY(warning->isHidden());
}

void TstMainWindow::warningOpensCentredOnTheWindowInUse() {
    MainWindow window(nullptr, uniqueInstanceName());
    window.move(40, 60);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY_WITH_TIMEOUT(window.isEnabled(), 5000);
    auto centreOf = [](const QWidget* widget) { return widget->frameGeometry().center(); };
    auto near = [](const QPoint& a, const QPoint& b) { return (a - b).manhattanLength() <= 2; };

    window.slot_ShowWarningMessage(QStringLiteral("Device cannot connect."));
    WarningMessageWidget* warning = window.warningMessageWidget();
    QVERIFY(QTest::qWaitForWindowExposed(warning));
    QVERIFY2(near(centreOf(warning), centreOf(&window)),
             qPrintable(QStringLiteral("warning at %1,%2").arg(warning->x()).arg(warning->y())));

    // A warning replacing a shown one stays where the user may have dragged it.
    warning->move(warning->pos() + QPoint(30, 20));
    const QPoint dragged = warning->pos();
    window.slot_ShowWarningMessage(QStringLiteral("Connection Loss."));
    QCOMPARE(warning->pos(), dragged);

    // The next one opens over the window again, wherever the window is now.
    QTest::mouseClick(warning->findChild<QPushButton*>("done_pushButton"), Qt::LeftButton);
    window.move(10, 20);
    window.slot_ShowWarningMessage(QStringLiteral("Device cannot connect."));
    QVERIFY(QTest::qWaitForWindowExposed(warning));
    QVERIFY(near(centreOf(warning), centreOf(&window)));

    // Over another window of the application that is in use (a dialog, the control panel),
    // it opens over that one.
    warning->slot_CloseDialog();
    window.slot_InfoClicked();
    AboutWidget* about = window.aboutWidget();
    about->move(200, 300);
    QVERIFY(QTest::qWaitForWindowExposed(about));
    about->activateWindow();
    QTRY_COMPARE(QApplication::activeWindow(), about);
    window.slot_ShowWarningMessage(QStringLiteral("Connection Loss."));
    QVERIFY(QTest::qWaitForWindowExposed(warning));
    QVERIFY(!near(centreOf(about), centreOf(&window)));
    QVERIFY(near(centreOf(warning), centreOf(about)));
}

QTEST_MAIN(TstMainWindow)
#include "tst_MainWindow.moc"

// The microphone-array page talks to the preset-link page only through the window's wiring.
void TstMainWindow::arrayPageReachesThePresetLinkPage() {
    MainWindow window(nullptr, uniqueInstanceName());
    SoundDeviceSetting* arrays = window.soundDevicePage();
    PresetLink* presets = window.presetLinkPage();
    QVERIFY(arrays && presets);

    emit arrays->signal_GetShureSoundDeviceArrayPosState(3, true);
    QVERIFY(presets->isLightOn(3));
    emit arrays->signal_GetShureSoundDeviceArrayPosState(3, false);
    QVERIFY(!presets->isLightOn(3));

    // Choosing a Sennheiser array switches the preset-link page to azimuth zones.
    arrays->deviceComboBox()->setCurrentIndex(3);
    QCOMPARE(presets->deviceBrandInt(), static_cast<int>(PresetLink::Sennheiser));
    emit arrays->signal_GetSennheiserTCC2Azimuth(100);  // third 45-degree sector
    QVERIFY(presets->isLightOn(3));
    emit arrays->signal_GetSennheiserTCC2Azimuth(400);  // nobody talks
    QVERIFY(!presets->isLightOn(3));

    // The page's warnings are shown in the window's warning dialog.
    emit arrays->signal_WarningMessage(QStringLiteral("Connection Loss."));
    QVERIFY(window.warningMessageWidget());
    QCOMPARE(window.warningMessageWidget()->message(), QStringLiteral("Connection Loss."));
}

void TstMainWindow::arrayPageSettingsSurviveARestart() {
    QString path;
    {
        MainWindow window(nullptr, uniqueInstanceName());
        path = window.configFilePath();
        window.soundDevicePage()->deviceComboBox()->setCurrentIndex(5);  // Yamaha: RM-CG
        window.soundDevicePage()->ipLineEdit()->setText(QStringLiteral("192.168.10.20"));
        window.writeConfigFile();
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(document.value(QStringLiteral("SoundDeviceIndex")).toInt(), 5);
    QCOMPARE(document.value(QStringLiteral("SoundDeviceType")).toString(), QStringLiteral("Yamaha: RM-CG"));
    QCOMPARE(document.value(QStringLiteral("IPAddress")).toString(), QStringLiteral("192.168.10.20"));

    MainWindow restarted(nullptr, uniqueInstanceName());
    QCOMPARE(restarted.soundDevicePage()->soundDeviceIndex(), 5);
    QCOMPARE(restarted.soundDevicePage()->ipAddressText(), QStringLiteral("192.168.10.20"));
    QCOMPARE(restarted.presetLinkPage()->deviceBrandInt(), static_cast<int>(PresetLink::Yamaha));
}

void TstMainWindow::oddSavedTimingValuesAreSavedBackReplaced() {
    // An edited settings file holds timing values that cannot be meant; the next save
    // writes the values that actually run.
    const QString path = SettingsDocument::configFile(SettingsDocument::configDir());
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(R"({"SoundDeviceIndex": 3, "DelayTriggerTime": -100,
                       "AudioTriggerLevelMap": {"SennheiserPeakLevel": 12, "NurveaBackgroundNoise": 50},
                       "BackToHomeMap": {"BackToHomeTriggerTime": 30000, "BackToHomeAction": 7}})");
    }
    {
        MainWindow window(nullptr, uniqueInstanceName());
        QCOMPARE(window.configFilePath(), path);
        window.writeConfigFile();
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(document.value("DelayTriggerTime").toInt(), 1500);
    QCOMPARE(document.value("BackToHomeMap").toObject().value("BackToHomeTriggerTime").toInt(), 30000);
    QCOMPARE(document.value("BackToHomeMap").toObject().value("BackToHomeAction").toInt(), 300);
    QCOMPARE(document.value("AudioTriggerLevelMap").toObject().value("SennheiserPeakLevel").toInt(), -55);
}
