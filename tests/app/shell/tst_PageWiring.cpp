// The main window's wiring over simulated cameras: who hears a change of receiver and in
// which order, what exists before the start delay and what after, the order of the
// auto-connect, and the PTZ panel's connections (its commands reach the camera's extension
// unit through the worker, its drag moves the window, its inverted tilt reaches the camera
// list, its information button opens the about dialog).
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QPushButton>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include "AboutWidget.h"
#include "CamUSBControlThread.h"
#include "CameraCommandRouter.h"
#include "CameraListView.h"
#include "DebugLines.h"
#include "MainWindow.h"
#include "PTZControlForm.h"
#include "PresetLink.h"
#include "SettingsDocument.h"
#include "SimCameraRig.h"
#include "SoundDeviceSetting.h"
#include "titleWidget.h"
#include "vexsdk.h"

namespace {

using Write = std::pair<uint16_t, uint16_t>;

QString uniqueInstanceName() {
    static int counter = 0;
    return QStringLiteral("vantor-wiring-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

// Indexes of the lines that contain each text, in the order of the texts; -1 when missing.
QList<int> positions(const QStringList& lines, const QStringList& texts, int from) {
    QList<int> out;
    for (const QString& text : texts) {
        int found = -1;
        for (int i = from; i < lines.size(); ++i) {
            if (lines.at(i).contains(text)) {
                found = i;
                break;
            }
        }
        out.append(found);
    }
    return out;
}

void key(QWidget* target, QEvent::Type type, int code, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QKeyEvent event(type, code, modifiers);
    QApplication::sendEvent(target, &event);
}

}  // namespace

class TstPageWiring : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void receiverChangeReachesPresetLinkThenWorkerThenPanel();
    void presetCalledBeforeTheStartDelayReachesNoCamera();
    void autoConnectReconnectsTheArrayFirstThenTheCamera();
    void panelCommandsReachTheCameraThroughTheWorker();
    void panelDragInfoAndInvertedTiltReachTheWindowAndTheList();
    void panelOpenedBeforeTheWorkerGetsItsCommandRoute();

private:
    void connectCamera(MainWindow& window);
    bool wrote(uint16_t reg, uint16_t value) const;

    std::unique_ptr<QTemporaryDir> _dir;
    std::unique_ptr<SimCameraRig> _rig;
    SimCameraRig::CameraSpec _camera;
};

void TstPageWiring::init() {
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
    _rig = std::make_unique<SimCameraRig>();
    _rig->plug(_camera);
}

void TstPageWiring::cleanup() {
    _rig.reset();
    _dir.reset();
}

void TstPageWiring::connectCamera(MainWindow& window) {
    CameraListView* list = window.cameraListPage();
    QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.isEnabled(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QVERIFY(list->currentReceiver());
}

bool TstPageWiring::wrote(uint16_t reg, uint16_t value) const {
    for (const Write& w : _rig->writes(_camera)) {
        if (w.first == reg && w.second == value)
            return true;
    }
    return false;
}

void TstPageWiring::receiverChangeReachesPresetLinkThenWorkerThenPanel() {
    MainWindow window(nullptr, uniqueInstanceName());
    DebugLines lines;
    connectCamera(window);
    CameraListView* list = window.cameraListPage();
    DC_Recv* first = list->currentReceiver();
    // Before the first PTZ request the panel does not exist, so only two hear it.
    QList<int> at = positions(lines.lines(),
                              {QStringLiteral("PresetLink::slot_ConnectUSBCamera"),
                               QStringLiteral("CamUSBControlThread::slot_ConnectUSBCamera")},
                              0);
    QVERIFY2(at[0] >= 0 && at[1] > at[0], qPrintable(lines.lines().join('\n')));
    QVERIFY(!lines.contains(QStringLiteral("PTZControlForm::slot_SetCameraControl")));

    // The panel is handed the current receiver when it is opened.
    window.slot_PTZControlClicked(false, QJsonObject());
    PTZControlForm* panel = window.ptzControlForm();
    QVERIFY(panel);
    QCOMPARE(panel->receiver(), first);

    // From now on a change reaches all three, in table order: disconnecting announces none.
    const int from = lines.lines().size();
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    at = positions(lines.lines(),
                   {QStringLiteral("PresetLink::slot_ConnectUSBCamera"),
                    QStringLiteral("CamUSBControlThread::slot_ConnectUSBCamera"),
                    QStringLiteral("PTZControlForm::slot_SetCameraControl")},
                   from);
    QVERIFY2(at[0] >= 0 && at[1] > at[0] && at[2] > at[1], qPrintable(lines.lines().mid(from).join('\n')));
    QVERIFY(!panel->receiver());
    QVERIFY(panel->isHidden());

    // A second request reuses the panel.
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QCOMPARE(panel->receiver(), list->currentReceiver());
    window.slot_PTZControlClicked(false, QJsonObject());
    QCOMPARE(window.ptzControlForm(), panel);
    QCOMPARE(window.findChildren<PTZControlForm*>().size(), 1);
}

void TstPageWiring::presetCalledBeforeTheStartDelayReachesNoCamera() {
    // A receiver of the camera made elsewhere, so that the worker has one as soon as it runs
    // (the window's own list connects nothing that early).
    CameraListView other;
    other.slot_GetUSBCameras({SimCameraRig::searchRecord(_camera)});
    QTest::mouseClick(other.rowButton(0), Qt::LeftButton);
    DC_Recv* recv = other.currentReceiver();
    QVERIFY(recv);

    MainWindow window(nullptr, uniqueInstanceName());
    QVERIFY(!window.commandWorker());
    // Every origin's command takes the router's way, which reaches no worker yet.
    window.commandRouter()->submit(CameraCommand::preset(3, CameraCommand::Origin::Tracking));
    window.commandRouter()->submit(
        CameraCommand::panTilt(CameraCommand::Direction::Home, CameraCommand::Origin::Tracking));

    QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 10000);
    QCOMPARE(window.commandWorker()->queuedCommands(), 0);
    // Once wired, a call goes through; the early ones never ran.
    emit window.cameraListPage()->signal_ConnectUSBCamera(recv);
    window.commandRouter()->submit(CameraCommand::preset(5, CameraCommand::Origin::Tracking));
    QTRY_VERIFY_WITH_TIMEOUT(wrote(0x001D, 5), 5000);
    QVERIFY(!wrote(0x001D, 3));
    QVERIFY(!wrote(0x0021, 0x00AA));
    emit window.cameraListPage()->signal_ConnectUSBCamera(nullptr);
}

void TstPageWiring::autoConnectReconnectsTheArrayFirstThenTheCamera() {
    QTcpServer array;
    QVERIFY(array.listen(QHostAddress::LocalHost));
    const USB_DeviceInfo info = SimCameraRig::searchRecord(_camera);
    QJsonObject saved{{QStringLiteral("ModelName"), info.modelName},
                      {QStringLiteral("DeviceModeInt"), info.deviceModeInt},
                      {QStringLiteral("VID"), info.vid},
                      {QStringLiteral("PID"), info.pid},
                      {QStringLiteral("Type"), QStringLiteral("USB")},
                      {QStringLiteral("LocationIdentity"), info.locationIdentity},
                      {QStringLiteral("LRInvertTilt"), false},
                      {QStringLiteral("IsConnect"), QStringLiteral("1")}};
    const QJsonObject document{{QStringLiteral("SoundDeviceIndex"), 2},  // Shure: MXA310
                               {QStringLiteral("IPAddress"), QStringLiteral("127.0.0.1")},
                               {QStringLiteral("UsbCamerasArray"), QJsonArray{saved}}};
    const QString path = SettingsDocument::configFile(SettingsDocument::configDir());
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(document).toJson());
    file.close();

    MainWindow window(nullptr, uniqueInstanceName());
    SoundDeviceSetting* arrays = window.soundDevicePage();
    arrays->setDevicePort(0, array.serverPort());
    // When the camera is announced, the array is already on its way (or there).
    int announcements = 0;
    bool arrayFirst = true;
    connect(window.cameraListPage(), &CameraListView::signal_ConnectUSBCamera, this, [&](DC_Recv* recv) {
        if (!recv)
            return;
        ++announcements;
        arrayFirst = arrayFirst && (arrays->isConnecting() || arrays->isDeviceConnected());
    });
    QTRY_COMPARE_WITH_TIMEOUT(announcements, 1, 10000);
    QVERIFY(arrayFirst);
    QVERIFY(window.cameraListPage()->currentReceiver());
    QVERIFY(array.waitForNewConnection(5000) || array.hasPendingConnections());
}

void TstPageWiring::panelCommandsReachTheCameraThroughTheWorker() {
    MainWindow window(nullptr, uniqueInstanceName());
    connectCamera(window);
    window.slot_PTZControlClicked(false, QJsonObject());
    PTZControlForm* panel = window.ptzControlForm();
    QVERIFY(panel && panel->isVisible());
    auto button = [&](const char* name) { return panel->findChild<QPushButton*>(QLatin1String(name)); };
    _rig->sim().clearJournal();

    QTest::mouseClick(button("up_pushButton"), Qt::LeftButton);
    QTRY_VERIFY(wrote(0x0027, 0x0031) && wrote(0x0027, 0x0033));  // up, then stop
    key(panel, QEvent::KeyPress, Qt::Key_Right);
    QTRY_VERIFY(wrote(0x0027, 0x0023));
    key(panel, QEvent::KeyPress, Qt::Key_Home);
    QTRY_VERIFY(wrote(0x0021, 0x00AA));
    QTest::mouseClick(button("preset3_pushButton"), Qt::LeftButton);
    QTRY_VERIFY(wrote(0x001D, 3));
    key(panel, QEvent::KeyPress, Qt::Key_6, Qt::ControlModifier);
    QTRY_VERIFY(wrote(0x001E, 6));
    QTest::mouseClick(button("zoomIn_pushButton"), Qt::LeftButton);
    QTRY_VERIFY(wrote(0x002A, 0x0021));
    QTest::mouseClick(button("focusIn_pushButton"), Qt::LeftButton);
    QTRY_VERIFY(wrote(0x002B, 0x0031) && wrote(0x002B, 0x0000));
    panel->findChild<QComboBox*>(QStringLiteral("mirrorFlip_comboBox"))->setCurrentIndex(2);
    QTRY_VERIFY(wrote(0x000B, 2));
    QTest::mouseClick(button("af_pushButton"), Qt::LeftButton);
    QTRY_VERIFY(wrote(0x00E0, button("af_pushButton")->isChecked() ? 1 : 0));
    // Right has been held all along; letting it go stops the camera.
    key(panel, QEvent::KeyRelease, Qt::Key_Right);
    QTRY_COMPARE(_rig->writes(_camera).back(), (Write{0x0027, 0x0033}));
}

void TstPageWiring::panelDragInfoAndInvertedTiltReachTheWindowAndTheList() {
    MainWindow window(nullptr, uniqueInstanceName());
    window.move(50, 60);
    window.show();
    connectCamera(window);
    window.slot_PTZControlClicked(false, QJsonObject());
    PTZControlForm* panel = window.ptzControlForm();
    QVERIFY(QTest::qWaitForWindowExposed(panel));
    // Opened where the window is.
    QCOMPARE(panel->pos(), window.pos());

    emit panel->signal_moveWidget(QPoint(120, 140));
    QCOMPARE(window.pos(), QPoint(120, 140));

    QTest::mouseClick(
        panel->findChild<titleWidget*>()->findChild<QPushButton*>(QStringLiteral("info_pushButton")),
        Qt::LeftButton);
    QVERIFY(window.aboutWidget() && window.aboutWidget()->isVisible());

    QTest::mouseClick(panel->findChild<QCheckBox*>(QStringLiteral("direction_checkBox")), Qt::LeftButton);
    QCOMPARE(window.cameraListPage()
                 ->rowButton(0)
                 ->property("DataInfo")
                 .toJsonObject()
                 .value("LRInvertTilt")
                 .toBool(),
             true);
    // The next opening reads it back from the list's object.
    QTest::mouseClick(window.cameraListPage()->findChild<QPushButton*>(QStringLiteral("ptz_pushButton")),
                      Qt::LeftButton);
    QCOMPARE(panel->usbDataObject().value(QStringLiteral("LRInvertTilt")).toBool(), true);
}

void TstPageWiring::panelOpenedBeforeTheWorkerGetsItsCommandRoute() {
    // Only code can ask this early (the window takes no clicks yet).
    MainWindow window(nullptr, uniqueInstanceName());
    window.slot_PTZControlClicked(false, QJsonObject());
    PTZControlForm* panel = window.ptzControlForm();
    QVERIFY(panel);
    QVERIFY(!window.commandWorker());
    connectCamera(window);
    QCOMPARE(panel->receiver(), window.cameraListPage()->currentReceiver());
    _rig->sim().clearJournal();
    key(panel, QEvent::KeyPress, Qt::Key_Home);
    QTRY_VERIFY(wrote(0x0021, 0x00AA));
}

QTEST_MAIN(TstPageWiring)
#include "tst_PageWiring.moc"
