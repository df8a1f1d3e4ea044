// The main window with simulated cameras: the camera list in its place, the search and the
// worker at the start delay, commands from the tracking pages reaching the connected camera,
// hot-plug, the saved camera reconnected at the next start, and the worker stopped at exit.
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTemporaryDir>
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "CamUSBControlThread.h"
#include "CameraListView.h"
#include "MainWindow.h"
#include "PTZControlForm.h"
#include "SettingsDocument.h"
#include "PresetLink.h"
#include "TrackingEngine.h"
#include "SimCameraRig.h"
#include "SoundDeviceSetting.h"
#include "UsbSearch.h"
#include "WarningMessageWidget.h"

namespace {

using Writes = std::vector<std::pair<uint16_t, uint16_t>>;

QString uniqueInstanceName() {
    static int counter = 0;
    return QStringLiteral("vantor-camera-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

bool wrote(const SimCameraRig& rig, const SimCameraRig::CameraSpec& camera, uint16_t reg, uint16_t value) {
    for (const auto& w : rig.writes(camera)) {
        if (w.first == reg && w.second == value)
            return true;
    }
    return false;
}

}  // namespace

class TstCameraWiring : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void cameraListedConnectedAndSteeredThroughTheWorker();
    void unplugAndReplugMoveTheRow();
    void failedConnectionShowsTheWarning();
    void savedCameraIsConnectedAgainAtTheNextStart();
    void exitStopsTheWorker();
    void severalCamerasStayConnectedAndThePanelSteersTheChosenOne();

private:
    std::unique_ptr<QTemporaryDir> _dir;
    std::unique_ptr<SimCameraRig> _rig;
    SimCameraRig::CameraSpec _camera;
};

void TstCameraWiring::init() {
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
    _rig = std::make_unique<SimCameraRig>();
    _rig->plug(_camera);
}

void TstCameraWiring::cleanup() {
    _rig.reset();
    _dir.reset();
}

void TstCameraWiring::cameraListedConnectedAndSteeredThroughTheWorker() {
    MainWindow window(nullptr, uniqueInstanceName());
    CameraListView* list = window.cameraListPage();
    QCOMPARE(list->objectName(), QStringLiteral("camera_widget"));
    QVERIFY(!window.commandWorker());  // not before the start delay

    QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
    QTRY_VERIFY(window.isEnabled());
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QVERIFY(list->currentReceiver());
    // A search while a camera is connected asks every camera for its model; the connected
    // camera keeps its command channel all the same.
    QVERIFY(list->usbSearch()->wait(10000));
    list->slot_StartUSBSearch();
    QVERIFY(list->usbSearch()->wait(10000));

    // The preset linked to a talker's position (an azimuth array's: the position names it)...
    window.soundDevicePage()->deviceComboBox()->setCurrentIndex(3);
    PresetLink* presets = window.presetLinkPage();
    QSignalSpy sent(presets, &PresetLink::signal_AddUSBCommand);
    presets->slot_CallCameraPreset(3);
    QCOMPARE(sent.count(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(wrote(*_rig, _camera, 0x1D, 3), 5000);
    // ...and the tracking's return home go the one way every command takes.
    window.trackingEngine()->returnHomeNow();
    QTRY_VERIFY_WITH_TIMEOUT(_rig->writes(_camera).size() >= 2, 5000);
    QVERIFY(_rig->writes(_camera).back().first != 0x1D);

    // Disconnected, the tracking's commands reach no camera: the tracker knows there is none,
    // and the worker would drop them as they come (its slots run right here).
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QVERIFY(!list->currentReceiver());
    QTRY_COMPARE(window.commandWorker()->queuedCommands(), 0);
    presets->slot_CallCameraPreset(4);
    window.trackingEngine()->returnHomeNow();
    QCOMPARE(sent.count(), 1);
    QCOMPARE(window.commandWorker()->queuedCommands(), 0);
    window.commandWorker()->slot_AddCameraCommand(CameraCommand::preset(4, CameraCommand::Origin::Tracking));
    QCOMPARE(window.commandWorker()->queuedCommands(), 0);
}

void TstCameraWiring::unplugAndReplugMoveTheRow() {
    SimCameraRig::CameraSpec second;
    second.busPort = "1&3";
    second.pid = "600e";
    _rig->plug(second);
    MainWindow window(nullptr, uniqueInstanceName());
    CameraListView* list = window.cameraListPage();
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 2, 10000);
    QVERIFY(_rig->sim().waitForWatchers(1, 5000));

    _rig->unplug(_camera, true);
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 5000);
    _rig->plug(_camera, true);
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 2, 10000);
    // Plugged in again, the camera comes back as the last row.
    QCOMPARE(list->rowButton(1)->property("DataInfo").toJsonObject().value("LocationIdentity").toString(),
             QString::fromStdString(SimCameraRig::location(_camera)));
}

void TstCameraWiring::failedConnectionShowsTheWarning() {
    MainWindow window(nullptr, uniqueInstanceName());
    CameraListView* list = window.cameraListPage();
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
    QTRY_VERIFY(window.isEnabled());
    _rig->loseCaptureDevice(_camera);
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QVERIFY(window.warningMessageWidget());
    QVERIFY(window.warningMessageWidget()->isVisible());
    QCOMPARE(window.warningMessageWidget()->message(), QStringLiteral("Camera cannot be opened."));
    QCOMPARE(list->rowButton(0)->text(), QStringLiteral("Connect"));
}

void TstCameraWiring::savedCameraIsConnectedAgainAtTheNextStart() {
    QString configFile;
    {
        MainWindow window(nullptr, uniqueInstanceName());
        configFile = window.configFilePath();
        CameraListView* list = window.cameraListPage();
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 10000);
        QTRY_VERIFY(window.isEnabled());
        QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
        QVERIFY(list->currentReceiver());
        window.slot_CloseClicked();
    }
    QFile file(configFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonArray saved =
        QJsonDocument::fromJson(file.readAll()).object().value("UsbCamerasArray").toArray();
    QCOMPARE(saved.size(), 1);
    QCOMPARE(saved.at(0).toObject().value("IsConnect").toString(), QStringLiteral("1"));
    QCOMPARE(saved.at(0).toObject().value("LocationIdentity").toString(),
             QString::fromStdString(SimCameraRig::location(_camera)));

    MainWindow again(nullptr, uniqueInstanceName());
    QTRY_VERIFY_WITH_TIMEOUT(again.cameraListPage()->currentReceiver() != nullptr, 10000);
    QVERIFY(again.cameraListPage()->rowButton(0)->property("isConnected").toBool());
}

void TstCameraWiring::exitStopsTheWorker() {
    MainWindow window(nullptr, uniqueInstanceName());
    QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 5000);
    window.slot_Exit();
    QVERIFY(window.commandWorker()->isFinished());
    QVERIFY(QFile::exists(window.configFilePath()));
}

// "SeveralCameras": two cameras connected side by side; the tracking steers the first, the
// panel the one chosen in its selector; unplugging one leaves the other connected and
// tracked; both come back at the next start.
void TstCameraWiring::severalCamerasStayConnectedAndThePanelSteersTheChosenOne() {
    SimCameraRig::CameraSpec second;
    second.busPort = "1&3";
    second.pid = "600e";
    _rig->plug(second);
    const QString locA = QString::fromStdString(SimCameraRig::location(_camera));
    const QString locB = QString::fromStdString(SimCameraRig::location(second));
    const QString dir = SettingsDocument::configDir();
    QVERIFY(QDir().mkpath(dir));
    QJsonObject document;
    document.insert(QStringLiteral("SoundDeviceIndex"), 2);  // a document the pages write back
    document.insert(QStringLiteral("SeveralCameras"), true);
    SettingsDocument::write(SettingsDocument::configFile(dir), document);

    QString configFile;
    {
        MainWindow window(nullptr, uniqueInstanceName());
        configFile = window.configFilePath();
        CameraListView* list = window.cameraListPage();
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 2, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(window.commandWorker() && window.commandWorker()->isRunning(), 5000);
        QTRY_VERIFY(window.isEnabled());
        QVERIFY(_rig->sim().waitForWatchers(1, 5000));
        const int rowA =
            list->rowButton(0)->property("DataInfo").toJsonObject().value("LocationIdentity").toString() ==
                    locA
                ? 0
                : 1;
        QTest::mouseClick(list->rowButton(rowA), Qt::LeftButton);
        QTest::mouseClick(list->rowButton(1 - rowA), Qt::LeftButton);
        QCOMPARE(list->connectedLocations(), (QStringList{locA, locB}));

        // The tracking steers the first camera connected.
        window.soundDevicePage()->deviceComboBox()->setCurrentIndex(3);
        window.presetLinkPage()->slot_CallCameraPreset(3);
        QTRY_VERIFY_WITH_TIMEOUT(wrote(*_rig, _camera, 0x1D, 3), 5000);
        QVERIFY(_rig->writes(second).empty());

        // The panel opens on the camera connected last, and steers the one chosen.
        QTest::mouseClick(list->findChild<QPushButton*>(QStringLiteral("ptz_pushButton")), Qt::LeftButton);
        PTZControlForm* panel = window.ptzControlForm();
        QVERIFY(panel);
        QCOMPARE(panel->receiver(), list->receiverFor(locB));
        QCOMPARE(panel->cameraSelector()->count(), 2);
        QVERIFY(!panel->cameraSelector()->isHidden());
        panel->slot_pressPanHomeBtn();
        QTRY_VERIFY_WITH_TIMEOUT(wrote(*_rig, second, 0x21, 0xAA), 5000);
        const int indexA = panel->cameraSelector()->findData(locA);
        QVERIFY(indexA >= 0);
        emit panel->cameraSelector()->activated(indexA);
        QCOMPARE(panel->receiver(), list->receiverFor(locA));
        panel->slot_pressPanHomeBtn();
        QTRY_VERIFY_WITH_TIMEOUT(wrote(*_rig, _camera, 0x21, 0xAA), 5000);

        // The panel's camera is unplugged: the other stays connected, tracked and steered.
        _rig->unplug(_camera, true);
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, 5000);
        QCOMPARE(list->connectedLocations(), (QStringList{locB}));
        QCOMPARE(panel->receiver(), list->receiverFor(locB));
        QVERIFY(panel->cameraSelector()->isHidden());
        window.trackingEngine()->pauseTracking(0);  // the panel's moves paused the tracking
        window.presetLinkPage()->slot_CallCameraPreset(5);
        QTRY_VERIFY_WITH_TIMEOUT(wrote(*_rig, second, 0x1D, 5), 5000);
        _rig->plug(_camera, true);
        QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 2, 10000);
        QVERIFY(list->connectCamera(locA));
        window.slot_CloseClicked();
    }
    QFile file(configFile);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject saved = QJsonDocument::fromJson(file.readAll()).object();
    QVERIFY(saved.value("SeveralCameras").toBool());
    int connected = 0;
    for (const QJsonValue& camera : saved.value("UsbCamerasArray").toArray())
        connected += camera.toObject().value("IsConnect").toString() == QLatin1String("1") ? 1 : 0;
    QCOMPARE(connected, 2);

    MainWindow again(nullptr, uniqueInstanceName());
    QTRY_COMPARE_WITH_TIMEOUT(again.cameraListPage()->connectedLocations().size(), 2, 10000);
}

QTEST_MAIN(TstCameraWiring)
#include "tst_CameraWiring.moc"
