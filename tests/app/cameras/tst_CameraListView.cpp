// The camera list over simulated cameras: rows from the search, the connect flow and its
// failures, auto-connect, hot-plug, inverted tilt and what the list hands to the settings.
#include <QAccessible>
#include <QApplication>
#include <QButtonGroup>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTest>

#include <memory>

#include "CameraListView.h"
#include "DebugLines.h"
#include "KXPlatformExports.h"
#include "ObservedPlatform.h"
#include "SimCameraRig.h"
#include "USBListener.h"
#include "UsbSearch.h"
#include "VideoFormatChoice.h"
#include "vexsdk.h"

namespace {

using CameraSetup = SimCameraRig::CameraSpec;

CameraSetup camera(const std::string& busPort, const std::string& pid = "6009") {
    CameraSetup s;
    s.busPort = busPort;
    s.pid = pid;
    return s;
}

USB_DeviceInfo record(const CameraSetup& s,
                      const QString& portPath = QStringLiteral("pci-0000:00:14.0-usb-0:2.4:1.0")) {
    USB_DeviceInfo info;
    info.locationIdentity = QString::fromStdString(SimCameraRig::location(s));
    info.portInfo = QStringLiteral("Port_#0004.Hub_#0002");
    info.portPath = portPath;
    info.modelName = QStringLiteral("ZM-150");
    info.deviceModeInt = 9;
    info.vid = QString::fromStdString(s.vid);
    info.pid = QString::fromStdString(s.pid);
    info.friendlyName = QStringLiteral("ZM-150 Camera");
    info.deviceDesc = QStringLiteral("ZM-150 Camera");
    return info;
}

QJsonObject saved(const USB_DeviceInfo& info, bool connected, bool invertTilt = false) {
    QJsonObject o;
    o.insert(QStringLiteral("ModelName"), info.modelName);
    o.insert(QStringLiteral("DeviceModeInt"), info.deviceModeInt);
    o.insert(QStringLiteral("FriendlyName"), info.friendlyName);
    o.insert(QStringLiteral("VID"), info.vid);
    o.insert(QStringLiteral("PID"), info.pid);
    o.insert(QStringLiteral("Type"), QStringLiteral("USB"));
    o.insert(QStringLiteral("PortPath"), info.portPath);
    o.insert(QStringLiteral("PortInfo"), info.portInfo);
    o.insert(QStringLiteral("LocationIdentity"), info.locationIdentity);
    o.insert(QStringLiteral("LRInvertTilt"), invertTilt);
    o.insert(QStringLiteral("IsConnect"), connected ? QStringLiteral("1") : QStringLiteral("0"));
    return o;
}

void publishSavedCameras(const QJsonArray& cameras) {
    QJsonObject document;
    document.insert(QStringLiteral("SoundDeviceIndex"), 2);
    document.insert(QStringLiteral("UsbCamerasArray"), cameras);
    qApp->setProperty("configDataInforJsonObject", document);
}

QJsonObject dataInfo(QWidget* widget) {
    return widget->property("DataInfo").toJsonObject();
}

QString locationOfRow(CameraListView& view, int row) {
    return dataInfo(view.rowButton(row)).value(QStringLiteral("LocationIdentity")).toString();
}

bool isConnected(CameraListView& view, int row) {
    return view.rowButton(row)->property("isConnected").toBool();
}

DC_VideoFormat format(int width, int height, double rate, int code, int index) {
    DC_VideoFormat f{};
    f.width = width;
    f.height = height;
    f.frameRate = rate;
    f.format = code;
    f.index = index;
    return f;
}

// Writes "null" / "receiver" into the log for every announcement, in one order with the
// platform's unit events.
void recordAnnouncements(CameraListView& view, const std::shared_ptr<EventLog>& log) {
    QObject::connect(&view, &CameraListView::signal_ConnectUSBCamera, &view, [log](DC_Recv* recv) {
        log->add(recv ? QStringLiteral("receiver") : QStringLiteral("null"));
    });
}

}  // namespace

class TstCameraListView : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void form();
    void displayModelNames();
    void formatChoice();
    void rowsFromSearchRecords();
    void connectingTheSecondCameraDisconnectsTheFirst();
    void clickingTheConnectedRowDisconnects();
    void fiveFailedAttemptsLeaveTheRowDisconnected();
    void autoConnectPicksTheLastCameraSavedAsConnected();
    void autoConnectWaitsForALateRowOnce();
    void userChoiceCancelsAWaitingAutoConnect();
    void invertTiltIsStoredInTheConnectedRowOnly();
    void shortNamesAreKeptPerCameraAndSaved();
    void ptzRequestCarriesTheConnectedCamera();
    void plugInSearchesAndPlugOutRemovesOnlyThatRow();
    void unplugOfTheConnectedCameraAnnouncesNullBeforeTheReceiverGoes();
    void plugInDuringASearchSearchesAgain();
    void unplugDuringASearchLeavesNoStaleRow();
    void rowsAreReadAloudAndWorkFromTheKeyboard();
    void severalCamerasConnectOnTheirOwnAndOutliveEachOther();
    void severalCamerasAreAllConnectedAgainAtTheNextStart();
    void aCameraConnectedWhenUnpluggedIsConnectedAgainWhenItReturns();
    void aCameraWithASerialNumberIsKnownOnAnotherPort();
    void aChoiceOfTheUserEndsTheWait();
    void aCameraThisUserMayNotOpenIsListedAsSuchUntilItCanBe();

private:
    std::unique_ptr<SimCameraRig> _rig;
};

void TstCameraListView::init() {
    _rig = std::make_unique<SimCameraRig>();
    qApp->setProperty("configDataInforJsonObject", QJsonObject());
}

void TstCameraListView::cleanup() {
    _rig.reset();
    qApp->setProperty("configDataInforJsonObject", QVariant());
}

void TstCameraListView::form() {
    CameraListView view;
    QCOMPARE(view.objectName(), QStringLiteral("CameraListView"));
    QCOMPARE(view.minimumSize(), QSize(656, 184));
    QCOMPARE(view.findChild<QLabel*>("title_label")->text(), QStringLiteral("Camera Control & State"));
    auto* search = view.findChild<QPushButton*>("search_pushButton");
    QVERIFY(search && search->isHidden());
    auto* ptz = view.findChild<QPushButton*>("ptz_pushButton");
    QCOMPARE(ptz->text(), QStringLiteral("PTZ Control"));
    QCOMPARE(ptz->size(), QSize(120, 24));
    auto* table = view.findChild<QTableWidget*>("camera_tableWidget");
    QCOMPARE(table->columnCount(), 3);
    QCOMPARE(table->horizontalHeaderItem(0)->text(), QStringLiteral("Camera"));
    QCOMPARE(table->horizontalHeaderItem(1)->text(), QStringLiteral("Control Status"));
    QCOMPARE(table->horizontalHeaderItem(2)->text(), QStringLiteral("Name"));
    for (int c = 0; c < 3; ++c) QCOMPARE(table->columnWidth(c), 200);
    QVERIFY(!table->showGrid());
    QVERIFY(!table->verticalHeader()->isVisible());
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(table->selectionMode(), QAbstractItemView::NoSelection);
    QVERIFY(view.findChild<QFrame*>("CameraView_frame"));
}

void TstCameraListView::displayModelNames() {
    QCOMPARE(CameraListView::displayModelName(QStringLiteral("ZM-130,V1")), QStringLiteral("ZM-130"));
    QCOMPARE(CameraListView::displayModelName(QStringLiteral("Quillon ZM-150 Pro")),
             QStringLiteral("ZM-150"));
    QCOMPARE(CameraListView::displayModelName(QStringLiteral("zm-150")), QStringLiteral("zm-150"));
    QCOMPARE(CameraListView::displayModelName(QStringLiteral("ZM-160")), QStringLiteral("ZM-160"));
    QCOMPARE(CameraListView::displayModelName(QString()), QString());
}

void TstCameraListView::formatChoice() {
    // 720p MJPEG at 30 beats 1080p H.264 at 25: software decoding.
    VideoFormatChoice c =
        VideoFormatChoice::choose({format(1920, 1080, 25.0, 1, 0), format(1280, 720, 30.0, 4, 1)});
    QVERIFY(c.found);
    QCOMPARE(c.videoFormatIndex, 1);
    QVERIFY(!c.hardwareDecoding);

    // A qualifying H.264 wins over any MJPEG; the last qualifying one of a pass wins.
    c = VideoFormatChoice::choose({format(1920, 1080, 30.0, 4, 0), format(1280, 720, 30.0, 1, 1),
                                   format(1920, 1080, 60.0, 1, 2), format(640, 480, 30.0, 1, 3)});
    QCOMPARE(c.videoFormatIndex, 2);
    QVERIFY(c.hardwareDecoding);

    // Only HEVC qualifies: hardware decoding.
    c = VideoFormatChoice::choose({format(1920, 1080, 29.97, 1, 0), format(3840, 2160, 30.0, 2, 5)});
    QCOMPARE(c.videoFormatIndex, 5);
    QVERIFY(c.hardwareDecoding);

    // Nothing qualifies: the first listed format, hardware decoding only for H.264 or HEVC.
    c = VideoFormatChoice::choose({format(640, 480, 30.0, 4, 7), format(640, 480, 30.0, 1, 8)});
    QVERIFY(c.found);
    QCOMPARE(c.videoFormatIndex, 7);
    QVERIFY(!c.hardwareDecoding);
    c = VideoFormatChoice::choose({format(640, 480, 30.0, 1, 3), format(320, 240, 15.0, 4, 4)});
    QCOMPARE(c.videoFormatIndex, 3);
    QVERIFY(c.hardwareDecoding);
    // Uncompressed first, as uvcvideo lists it: the receiver cannot decode it, so the first
    // compressed format is opened instead (a connected camera without a picture otherwise).
    c = VideoFormatChoice::choose(
        {format(160, 120, 10.0, 0, 0), format(320, 180, 15.0, 4, 1), format(320, 180, 15.0, 1, 2)});
    QCOMPARE(c.videoFormatIndex, 1);
    QVERIFY(!c.hardwareDecoding);
    c = VideoFormatChoice::choose({format(1280, 720, 30.0, 0, 9)});  // uncompressed 720p30
    QCOMPARE(c.videoFormatIndex, 9);
    QVERIFY(!c.hardwareDecoding);

    c = VideoFormatChoice::choose({});
    QVERIFY(!c.found);
}

void TstCameraListView::rowsFromSearchRecords() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    USB_DeviceInfo recordA = record(a);
    USB_DeviceInfo recordB = record(b, QStringLiteral("pci-0000:00:14.0-usb-0:3:1.0"));
    // Inverted tilt saved for B (an element that differs in its port path does not count).
    QJsonObject otherPort = saved(recordA, false, true);
    otherPort.insert(QStringLiteral("PortPath"), QStringLiteral("pci-0000:00:14.0-usb-0:9:1.0"));
    publishSavedCameras({saved(recordB, false, false), otherPort, saved(recordB, false, true)});

    CameraListView view;
    USB_DeviceInfo shouted = recordA;
    shouted.locationIdentity = shouted.locationIdentity.toUpper();
    view.slot_GetUSBCameras({recordA, shouted, recordB});
    view.slot_GetUSBCameras({recordB});  // a later search lists B again
    QCOMPARE(view.rowCount(), 2);

    QCOMPARE(view.rowLabel(0)->text(), QStringLiteral("ZM-150"));
    QCOMPARE(view.rowLabel(0)->objectName(), QStringLiteral("ModelName"));
    QPushButton* button = view.rowButton(0);
    QCOMPARE(button->objectName(), QStringLiteral("UsbConnect"));
    QCOMPARE(button->text(), QStringLiteral("Connect"));
    QVERIFY(!button->property("isConnected").toBool());
    QVERIFY(button->isFlat());

    const QJsonObject infoA = dataInfo(button);
    QCOMPARE(infoA.value("LocationIdentity").toString(), QStringLiteral("1&2.4&1&0000"));
    QCOMPARE(infoA.value("DeviceModeInt").toInt(), 9);
    QCOMPARE(infoA.value("Type").toString(), QStringLiteral("USB"));
    QCOMPARE(infoA.value("IsConnect").toString(), QStringLiteral("0"));
    QCOMPARE(infoA.value("PortInfo").toString(), QStringLiteral("Port_#0004.Hub_#0002"));
    QCOMPARE(infoA.value("LRInvertTilt").toBool(), false);
    QCOMPARE(dataInfo(view.rowLabel(0)), infoA);
    QCOMPARE(dataInfo(view.rowButton(1)).value("LRInvertTilt").toBool(), true);  // the last match

    QCOMPARE(view.buttonGroup()->id(view.rowButton(0)), 0);
    QCOMPARE(view.buttonGroup()->id(view.rowButton(1)), 1);
    QVERIFY(view.rowLabel(0)->styleSheet().contains(QLatin1String("background:#474E53")));
}

void TstCameraListView::connectingTheSecondCameraDisconnectsTheFirst() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    auto log = std::make_shared<EventLog>();
    KXPlatformInstall(std::make_shared<ObservedPlatform>(KXPlatformCurrent(), log));

    CameraListView view;
    recordAnnouncements(view, log);
    view.slot_GetUSBCameras({record(a), record(b)});

    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    DC_Recv* first = view.currentReceiver();
    QVERIFY(first);
    QVERIFY(isConnected(view, 0));
    QCOMPARE(view.rowButton(0)->text(), QStringLiteral("Disconnect"));
    QVERIFY(view.rowLabel(0)->styleSheet().contains(QLatin1String("background:#4BBDEF")));
    // The unit the first receiver holds: the last one bound before it was announced.
    const QStringList before = log->events();
    const int announced = before.lastIndexOf(QStringLiteral("receiver"));
    QString firstUnit;
    for (int i = announced; i >= 0 && firstUnit.isEmpty(); --i) {
        if (before.at(i).endsWith(QLatin1String(" bound")))
            firstUnit = before.at(i).section(QLatin1Char(' '), 0, 1);
    }
    QVERIFY(!firstUnit.isEmpty());

    log->clear();
    QTest::mouseClick(view.rowButton(1), Qt::LeftButton);
    QVERIFY(view.currentReceiver());
    QVERIFY(!isConnected(view, 0));
    QCOMPARE(view.rowButton(0)->text(), QStringLiteral("Connect"));
    QVERIFY(view.rowLabel(0)->styleSheet().contains(QLatin1String("background:#474E53")));
    QVERIFY(isConnected(view, 1));

    const int nullAt = log->indexOf(QStringLiteral("null"));
    const int releasedAt = log->indexOf(firstUnit + QStringLiteral(" released"));
    const int receiverAt = log->indexOf(QStringLiteral("receiver"));
    QVERIFY2(nullAt >= 0 && releasedAt > nullAt && receiverAt > releasedAt,
             qPrintable(log->events().join(", ")));
    QCOMPARE(log->events().count(QStringLiteral("receiver")), 1);
    QCOMPARE(log->events().count(QStringLiteral("null")), 1);

    // The saved copy marks only the connected camera.
    const QJsonArray cameras = view.cameraArray();
    QCOMPARE(cameras.size(), 2);
    QCOMPARE(cameras.at(0).toObject().value("IsConnect").toString(), QStringLiteral("0"));
    QCOMPARE(cameras.at(1).toObject().value("IsConnect").toString(), QStringLiteral("1"));
    QCOMPARE(dataInfo(view.rowButton(1)).value("IsConnect").toString(), QStringLiteral("0"));
}

void TstCameraListView::clickingTheConnectedRowDisconnects() {
    const CameraSetup a = camera("1&2.4");
    _rig->plug(a);
    CameraListView view;
    view.slot_GetUSBCameras({record(a)});
    QSignalSpy announced(&view, &CameraListView::signal_ConnectUSBCamera);
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QVERIFY(view.currentReceiver());
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QVERIFY(!view.currentReceiver());
    QVERIFY(!isConnected(view, 0));
    QCOMPARE(view.rowButton(0)->text(), QStringLiteral("Connect"));
    QCOMPARE(announced.count(), 2);
    QVERIFY(announced.at(0).at(0).value<DC_Recv*>() != nullptr);
    QCOMPARE(announced.at(1).at(0).value<DC_Recv*>(), nullptr);
}

// A camera listed by the search whose capture device is gone by the time Connect is clicked:
// discovery finds nothing to open, so every attempt fails.
void TstCameraListView::fiveFailedAttemptsLeaveTheRowDisconnected() {
    const CameraSetup a = camera("1&2.4");
    _rig->plug(a);
    CameraListView view;
    view.slot_GetUSBCameras({record(a)});
    _rig->loseCaptureDevice(a);

    QSignalSpy announced(&view, &CameraListView::signal_ConnectUSBCamera);
    QSignalSpy warning(&view, &CameraListView::signal_WarningMessage);
    DebugLines log;
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);

    QCOMPARE(log.count(QStringLiteral("dc_recv initialize")), CameraListView::kConnectAttempts);
    QVERIFY(!view.currentReceiver());
    QVERIFY(!isConnected(view, 0));
    QCOMPARE(view.rowButton(0)->text(), QStringLiteral("Connect"));
    QVERIFY(view.rowButton(0)->styleSheet().contains(QLatin1String("background:#474E53")));
    QCOMPARE(announced.count(), 1);
    QCOMPARE(announced.at(0).at(0).value<DC_Recv*>(), nullptr);
    QCOMPARE(warning.count(), 1);
    QCOMPARE(warning.at(0).at(0).toString(), QStringLiteral("Camera cannot be opened."));
    QCOMPARE(view.cameraArray().at(0).toObject().value("IsConnect").toString(), QStringLiteral("0"));

    // Once the camera is back, the same row connects.
    _rig->plug(a);
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QVERIFY(view.currentReceiver());
    QVERIFY(isConnected(view, 0));
}

void TstCameraListView::autoConnectPicksTheLastCameraSavedAsConnected() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    const CameraSetup c = camera("1&4", "600f");
    for (const CameraSetup& s : {a, b, c}) _rig->plug(s);
    // Saved in upper case by some earlier version: compared in lower case.
    QJsonObject savedC = saved(record(c), true);
    savedC.insert(QStringLiteral("LocationIdentity"), QStringLiteral("1&4&1&0000").toUpper());
    publishSavedCameras({saved(record(a), true), saved(record(b), false), savedC});

    CameraListView view;
    view.slot_GetUSBCameras({record(a), record(b), record(c)});
    view.slot_StartAutoConnect();
    QVERIFY(view.currentReceiver());
    QVERIFY(!isConnected(view, 0));
    QVERIFY(!isConnected(view, 1));
    QVERIFY(isConnected(view, 2));
    QVERIFY(view.pendingAutoConnect().isEmpty());

    // Without any camera saved as connected nothing happens.
    publishSavedCameras({saved(record(a), false)});
    CameraListView other;
    other.slot_GetUSBCameras({record(a)});
    other.slot_StartAutoConnect();
    QVERIFY(!other.currentReceiver());
    QVERIFY(other.pendingAutoConnect().isEmpty());
}

void TstCameraListView::autoConnectWaitsForALateRowOnce() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    publishSavedCameras({saved(record(a), false), saved(record(b), true)});

    CameraListView view;
    view.slot_GetUSBCameras({record(a)});  // the first search had only A by then
    view.slot_StartAutoConnect();
    QVERIFY(!view.currentReceiver());
    QCOMPARE(view.pendingAutoConnect(), QStringLiteral("1&3&1&0000"));

    view.slot_GetUSBCameras({record(a), record(b)});
    QVERIFY(view.currentReceiver());
    QVERIFY(isConnected(view, 1));
    QVERIFY(view.pendingAutoConnect().isEmpty());

    // Once per start: unplugged and plugged again, it is not connected by itself again (as a
    // saved camera; with AutoReconnect on it would come back as an awaited one).
    view.setAutoReconnect(false);
    view.slot_deviceUSBPlugOut(QStringLiteral("1&3&1&0000"));
    QVERIFY(!view.currentReceiver());
    view.slot_GetUSBCameras({record(a), record(b)});
    QCOMPARE(view.rowCount(), 2);
    QVERIFY(!view.currentReceiver());
}

void TstCameraListView::userChoiceCancelsAWaitingAutoConnect() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    publishSavedCameras({saved(record(b), true)});

    CameraListView view;
    view.slot_GetUSBCameras({record(a)});
    view.slot_StartAutoConnect();
    QVERIFY(!view.pendingAutoConnect().isEmpty());
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);  // the user connects A meanwhile
    DC_Recv* chosen = view.currentReceiver();
    QVERIFY(chosen);

    view.slot_GetUSBCameras({record(b)});
    QCOMPARE(view.rowCount(), 2);
    QCOMPARE(view.currentReceiver(), chosen);
    QVERIFY(isConnected(view, 0));
    QVERIFY(!isConnected(view, 1));
}

void TstCameraListView::invertTiltIsStoredInTheConnectedRowOnly() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    CameraListView view;
    view.slot_GetUSBCameras({record(a), record(b)});

    view.slot_SetInvertTilt(true);  // nothing connected: nothing stored
    QVERIFY(!dataInfo(view.rowButton(0)).value("LRInvertTilt").toBool());
    QVERIFY(!dataInfo(view.rowButton(1)).value("LRInvertTilt").toBool());

    QTest::mouseClick(view.rowButton(1), Qt::LeftButton);
    view.slot_SetInvertTilt(true);
    QVERIFY(!dataInfo(view.rowButton(0)).value("LRInvertTilt").toBool());
    QVERIFY(dataInfo(view.rowButton(1)).value("LRInvertTilt").toBool());
    QVERIFY(!dataInfo(view.rowLabel(1)).value("LRInvertTilt").toBool());
    QVERIFY(view.cameraArray().at(1).toObject().value("LRInvertTilt").toBool());
    QVERIFY(!view.cameraArray().at(0).toObject().value("LRInvertTilt").toBool());

    // Disconnected, the choice stays with the camera's row for the next save.
    QTest::mouseClick(view.rowButton(1), Qt::LeftButton);
    view.slot_SetInvertTilt(false);
    QVERIFY(view.cameraArray().at(1).toObject().value("LRInvertTilt").toBool());
}

void TstCameraListView::shortNamesAreKeptPerCameraAndSaved() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    QJsonObject savedA = saved(record(a), false);
    savedA.insert(QStringLiteral("ShortName"), QStringLiteral("  Front of the room, by the window  "));
    publishSavedCameras({savedA});
    CameraListView view;
    QSignalSpy renamed(&view, &CameraListView::signal_ShortNameChanged);
    view.slot_GetUSBCameras({record(a), record(b)});
    // A saved name comes back trimmed and bounded; a camera without one is named by its model.
    const QString bounded = QStringLiteral("Front of the room, by th");
    QCOMPARE(dataInfo(view.rowButton(0)).value("ShortName").toString(), bounded);
    QCOMPARE(CameraListView::cameraLabel(dataInfo(view.rowButton(1))), QStringLiteral("ZM-150"));

    // Typed into the row's name field.
    const QList<QLineEdit*> names = view.findChildren<QLineEdit*>(QStringLiteral("ShortName"));
    QCOMPARE(names.size(), 2);
    QLineEdit* nameB = names[0]->text() == bounded ? names[1] : names[0];
    nameB->setText(QStringLiteral(" Side "));
    emit nameB->editingFinished();
    QCOMPARE(renamed.size(), 1);
    QCOMPARE(renamed[0][0].toString(), locationOfRow(view, 1));
    QCOMPARE(renamed[0][1].toString(), QStringLiteral("Side"));
    QCOMPARE(CameraListView::cameraLabel(dataInfo(view.rowButton(1))), QStringLiteral("Side"));
    QCOMPARE(view.cameraArray().at(1).toObject().value("ShortName").toString(), QStringLiteral("Side"));
    // The same name again is no change; an unknown camera none.
    QVERIFY(!view.setShortName(locationOfRow(view, 1).toUpper(), QStringLiteral("Side")));
    QVERIFY(!view.setShortName(QStringLiteral("9&9&1&0000"), QStringLiteral("Gone")));
    QCOMPARE(renamed.size(), 1);
}

void TstCameraListView::ptzRequestCarriesTheConnectedCamera() {
    const CameraSetup a = camera("1&2.4");
    _rig->plug(a);
    CameraListView view;
    view.slot_GetUSBCameras({record(a)});
    QSignalSpy requests(&view, &CameraListView::signal_PTZControlClicked);
    auto* ptz = view.findChild<QPushButton*>("ptz_pushButton");

    QTest::mouseClick(ptz, Qt::LeftButton);
    QCOMPARE(requests.count(), 1);
    QCOMPARE(requests.at(0).at(1).toJsonObject(), QJsonObject());

    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QTest::mouseClick(ptz, Qt::LeftButton);
    QCOMPARE(requests.count(), 2);
    QCOMPARE(requests.at(1).at(1).toJsonObject().value("LocationIdentity").toString(),
             QStringLiteral("1&2.4&1&0000"));
}

void TstCameraListView::plugInSearchesAndPlugOutRemovesOnlyThatRow() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    const CameraSetup c = camera("1&4", "600f");
    _rig->plug(a);
    _rig->plug(b);
    CameraListView view;
    USBListener listener;
    QVERIFY(listener.startListening());
    QVERIFY(_rig->sim().waitForWatchers(1, 5000));
    connect(&listener, &USBListener::signal_deviceUSBPlugIn, &view, &CameraListView::slot_deviceUSBPlugIn);
    connect(&listener, &USBListener::signal_deviceUSBPlugOut, &view, &CameraListView::slot_deviceUSBPlugOut);
    QSignalSpy pluggedIn(&listener, &USBListener::signal_deviceUSBPlugIn);

    view.slot_StartUSBSearch();
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);

    _rig->plug(c, true);
    QTRY_COMPARE_WITH_TIMEOUT(pluggedIn.count(), 1, 5000);
    QCOMPARE(pluggedIn.at(0).at(0).toString(), QStringLiteral("1&4&1&0000"));
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 3, 10000);
    QCOMPARE(locationOfRow(view, 2), QStringLiteral("1&4&1&0000"));

    // Connect C, then unplug B (not connected): only B's row goes, C stays connected.
    QTest::mouseClick(view.rowButton(2), Qt::LeftButton);
    DC_Recv* connected = view.currentReceiver();
    QVERIFY(connected);
    QSignalSpy announced(&view, &CameraListView::signal_ConnectUSBCamera);
    _rig->unplug(b, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 5000);
    QCOMPARE(locationOfRow(view, 0), QStringLiteral("1&2.4&1&0000"));
    QCOMPARE(locationOfRow(view, 1), QStringLiteral("1&4&1&0000"));
    QCOMPARE(view.buttonGroup()->buttons().size(), 2);
    QCOMPARE(view.buttonGroup()->id(view.rowButton(0)), 0);
    QCOMPARE(view.buttonGroup()->id(view.rowButton(1)), 1);
    QCOMPARE(view.currentReceiver(), connected);
    QVERIFY(isConnected(view, 1));
    QCOMPARE(announced.count(), 0);

    // The renumbered ids still drive the flow: clicking A disconnects C.
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QVERIFY(isConnected(view, 0));
    QVERIFY(!isConnected(view, 1));

    // A removal of a camera without a row changes nothing.
    view.slot_deviceUSBPlugOut(QStringLiteral("1&9&1&0000"));
    QCOMPARE(view.rowCount(), 2);
}

void TstCameraListView::unplugOfTheConnectedCameraAnnouncesNullBeforeTheReceiverGoes() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    auto log = std::make_shared<EventLog>();
    KXPlatformInstall(std::make_shared<ObservedPlatform>(KXPlatformCurrent(), log));
    CameraListView view;
    recordAnnouncements(view, log);
    view.slot_GetUSBCameras({record(a), record(b)});
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QVERIFY(view.currentReceiver());
    const QStringList before = log->events();
    QString unit;
    for (int i = before.lastIndexOf(QStringLiteral("receiver")); i >= 0 && unit.isEmpty(); --i) {
        if (before.at(i).endsWith(QLatin1String(" bound")))
            unit = before.at(i).section(QLatin1Char(' '), 0, 1);
    }
    log->clear();

    view.slot_deviceUSBPlugOut(QStringLiteral("1&2.4&1&0000"));
    QVERIFY(!view.currentReceiver());
    QCOMPARE(view.rowCount(), 1);
    QCOMPARE(locationOfRow(view, 0), QStringLiteral("1&3&1&0000"));
    QCOMPARE(view.buttonGroup()->id(view.rowButton(0)), 0);
    const QStringList events = log->events();
    QVERIFY2(
        events.indexOf(QStringLiteral("null")) == 0 && events.indexOf(unit + QStringLiteral(" released")) > 0,
        qPrintable(events.join(", ")));
}

// A camera that arrives while a search runs may have been missed by it (the walk came before
// the camera): the search runs again once it is done.
void TstCameraListView::plugInDuringASearchSearchesAgain() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->sim().setFault("usb_devices", SimServer::Fault::Delay, 0, 300);
    CameraListView view;
    _rig->sim().clearJournal();
    view.slot_StartUSBSearch();
    QVERIFY(_rig->sim().waitForJournal(1, 5000));  // the walk is on its way
    _rig->plug(b);
    QVERIFY(view.usbSearch()->isRunning());
    view.slot_deviceUSBPlugIn(QStringLiteral("1&3&1&0000"));
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QCOMPARE(locationOfRow(view, 0), QStringLiteral("1&2.4&1&0000"));
    QCOMPARE(locationOfRow(view, 1), QStringLiteral("1&3&1&0000"));
}

// A camera unplugged while a search runs may still be in that search's results (the walk
// read it before the unplug): its row must not come back from them.
void TstCameraListView::unplugDuringASearchLeavesNoStaleRow() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    CameraListView view;
    view.slot_GetUSBCameras({record(a), record(b)});
    _rig->sim().setFault("usb_devices", SimServer::Fault::Delay, 0, 300);
    int searchesEnded = 0;
    // Queued like the view's own handler, so it runs after the search's results were taken.
    connect(
        view.usbSearch(), &QThread::finished, &view, [&] { ++searchesEnded; }, Qt::QueuedConnection);
    _rig->sim().clearJournal();
    view.slot_StartUSBSearch();
    QVERIFY(_rig->sim().waitForJournal(1, 5000));  // the walk has read both cameras
    QVERIFY(view.usbSearch()->isRunning());
    view.slot_deviceUSBPlugOut(QStringLiteral("1&3&1&0000"));
    QCOMPARE(view.rowCount(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(searchesEnded, 1, 10000);
    QCOMPARE(view.rowCount(), 1);
    QCOMPARE(locationOfRow(view, 0), QStringLiteral("1&2.4&1&0000"));

    // Plugged back, the camera is listed by the next search.
    view.slot_deviceUSBPlugIn(QStringLiteral("1&3&1&0000"));
    QTRY_COMPARE_WITH_TIMEOUT(searchesEnded, 2, 10000);
    QCOMPARE(view.rowCount(), 2);
}

namespace {

// Every node below `root` on the accessibility tree, depth first, as its role, name and
// description, each child reached from its parent (the way a screen reader walks it).
struct Node {
    QAccessible::Role role;
    QString name;
    QString description;
    QAccessibleInterface* iface;
};

void walk(QAccessibleInterface* root, QList<Node>& out, int depth = 0) {
    if (!root || depth > 12)
        return;
    for (int i = 0; i < root->childCount(); ++i) {
        QAccessibleInterface* child = root->child(i);
        if (!child)
            continue;
        out.append(
            {child->role(), child->text(QAccessible::Name), child->text(QAccessible::Description), child});
        walk(child, out, depth + 1);
    }
}

QList<Node> nodes(QWidget* root) {
    QList<Node> out;
    walk(QAccessible::queryAccessibleInterface(root), out);
    return out;
}

}  // namespace

void TstCameraListView::rowsAreReadAloudAndWorkFromTheKeyboard() {
    const CameraSetup a = camera("1&2.4");
    _rig->plug(a);
    CameraListView view;
    view.slot_GetUSBCameras({record(a), record(camera("1&3", "600e"))});
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    // Each row: its model as shown and a push button, both saying the row's state.
    auto find = [&](QAccessible::Role role, const QString& name) {
        QList<Node> found;
        for (const Node& n : nodes(&view))
            if (n.role == role && n.name == name)
                found.append(n);
        return found;
    };
    QCOMPARE(find(QAccessible::StaticText, QStringLiteral("ZM-150")).size(), 2);
    QList<Node> buttons = find(QAccessible::Button, QStringLiteral("Connect"));
    QCOMPARE(buttons.size(), 2);
    QCOMPARE(buttons[0].description, QStringLiteral("Not connected"));
    // A node found from the top leads back up to the table, so a reader knows where it is.
    QAccessibleInterface* up = buttons[0].iface;
    while (up && up->object() != view.findChild<QTableWidget*>(QStringLiteral("camera_tableWidget")))
        up = up->parent();
    QVERIFY(up);
    QCOMPARE(up->text(QAccessible::Name), QStringLiteral("Cameras"));

    // Pressed the way an assistive tool presses it.
    QAccessibleActionInterface* press = buttons[0].iface->actionInterface();
    QVERIFY(press);
    press->doAction(QAccessibleActionInterface::pressAction());  // an animated click: it takes a moment
    QTRY_VERIFY(view.currentReceiver());
    QCOMPARE(find(QAccessible::Button, QStringLiteral("Disconnect")).size(), 1);
    QCOMPARE(find(QAccessible::Button, QStringLiteral("Disconnect"))[0].description,
             QStringLiteral("Connected"));
    QCOMPARE(find(QAccessible::StaticText, QStringLiteral("ZM-150"))[0].description,
             QStringLiteral("Connected"));

    // The keyboard: Tab reaches the rows in order (each button, then its row's name), before
    // "PTZ Control"; Space and Enter act.
    view.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&view));
    view.rowButton(0)->setFocus(Qt::TabFocusReason);
    const QList<QLineEdit*> names = view.findChildren<QLineEdit*>(QStringLiteral("ShortName"));
    QCOMPARE(names.size(), 2);
    QWidget* name0 = view.rowButton(0)->nextInFocusChain();
    QVERIFY(names.contains(qobject_cast<QLineEdit*>(name0)));
    QCOMPARE(name0->nextInFocusChain(), view.rowButton(1));
    QWidget* name1 = view.rowButton(1)->nextInFocusChain();
    QVERIFY(names.contains(qobject_cast<QLineEdit*>(name1)) && name1 != name0);
    QCOMPARE(name1->nextInFocusChain(), view.findChild<QPushButton*>(QStringLiteral("ptz_pushButton")));
    QTest::keyClick(view.rowButton(0), Qt::Key_Space);
    QVERIFY(!view.currentReceiver());
    QCOMPARE(view.rowButton(0)->text(), QStringLiteral("Connect"));
    QTest::keyClick(view.rowButton(0), Qt::Key_Return);
    QVERIFY(view.currentReceiver());
    QVERIFY(isConnected(view, 0));
}

namespace {

void publishSeveralCameras(const QJsonArray& cameras, bool several) {
    QJsonObject document;
    document.insert(QStringLiteral("UsbCamerasArray"), cameras);
    document.insert(QStringLiteral("SeveralCameras"), several);
    qApp->setProperty("configDataInforJsonObject", document);
}

}  // namespace

// With "SeveralCameras" every row connects on its own: two receivers, the first connected is
// the default; disconnecting it hands the default on, unplugging the other leaves none.
void TstCameraListView::severalCamerasConnectOnTheirOwnAndOutliveEachOther() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    publishSeveralCameras({}, true);
    CameraListView view;
    QVERIFY(view.severalCameras());
    view.slot_GetUSBCameras({record(a), record(b)});
    QSignalSpy defaults(&view, &CameraListView::signal_ConnectUSBCamera);
    QSignalSpy receivers(&view, &CameraListView::signal_CameraReceiver);
    const QString locA = QString::fromStdString(SimCameraRig::location(a));
    const QString locB = QString::fromStdString(SimCameraRig::location(b));

    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QTest::mouseClick(view.rowButton(1), Qt::LeftButton);
    QVERIFY(isConnected(view, 0));
    QVERIFY(isConnected(view, 1));
    DC_Recv* recvA = view.receiverFor(locA);
    DC_Recv* recvB = view.receiverFor(locB.toUpper());
    QVERIFY(recvA && recvB && recvA != recvB);
    QCOMPARE(view.currentReceiver(), recvA);
    QCOMPARE(view.connectedLocations(), (QStringList{locA, locB}));
    QCOMPARE(view.selectedLocation(), locB);  // the row connected last
    QCOMPARE(defaults.count(), 1);            // only the first one became the default
    QCOMPARE(receivers.count(), 2);
    QCOMPARE(receivers.at(1).at(0).toString(), locB);
    QCOMPARE(view.cameraArray().at(0).toObject().value("IsConnect").toString(), QStringLiteral("1"));
    QCOMPARE(view.cameraArray().at(1).toObject().value("IsConnect").toString(), QStringLiteral("1"));

    // Each receiver steers its own camera.
    QCOMPARE(recvA->callPreset(3), 0);
    QCOMPARE(recvB->callPreset(6), 0);
    QCOMPARE(_rig->writes(a), (std::vector<std::pair<uint16_t, uint16_t>>{{0x1D, 3}}));
    QCOMPARE(_rig->writes(b), (std::vector<std::pair<uint16_t, uint16_t>>{{0x1D, 6}}));

    // Disconnecting the default: B stays and becomes the default.
    defaults.clear();
    receivers.clear();
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QVERIFY(!isConnected(view, 0));
    QVERIFY(isConnected(view, 1));
    QCOMPARE(view.currentReceiver(), recvB);
    QCOMPARE(receivers.count(), 1);
    QCOMPARE(receivers.at(0).at(0).toString(), locA);
    QCOMPARE(receivers.at(0).at(1).value<DC_Recv*>(), static_cast<DC_Recv*>(nullptr));
    QCOMPARE(defaults.count(), 1);
    QCOMPARE(defaults.at(0).at(0).value<DC_Recv*>(), recvB);
    QCOMPARE(recvB->setPanUp(), 0);

    // Connect A again, then unplug it: B is untouched (still the default).
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    QCOMPARE(view.connectedLocations(), (QStringList{locB, locA}));
    defaults.clear();
    view.slot_deviceUSBPlugOut(locA);
    QCOMPARE(view.rowCount(), 1);
    QCOMPARE(view.currentReceiver(), recvB);
    QCOMPARE(defaults.count(), 0);
    QVERIFY(isConnected(view, 0));

    view.slot_deviceUSBPlugOut(locB);
    QVERIFY(!view.currentReceiver());
    QVERIFY(view.connectedLocations().isEmpty());
    QCOMPARE(defaults.count(), 1);
}

// Every camera saved as connected comes back, a late one when its row arrives; without the
// setting only the last one saved does (as one camera at a time always did).
void TstCameraListView::severalCamerasAreAllConnectedAgainAtTheNextStart() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    const QString locA = QString::fromStdString(SimCameraRig::location(a));
    const QString locB = QString::fromStdString(SimCameraRig::location(b));
    const QJsonArray saved2 = {saved(record(a), true), saved(record(b), true)};
    {
        publishSeveralCameras(saved2, true);
        CameraListView view;
        view.slot_GetUSBCameras({record(a)});
        view.slot_StartAutoConnect();
        QCOMPARE(view.connectedLocations(), (QStringList{locA}));
        QCOMPARE(view.pendingAutoConnects(), (QStringList{locB}));
        view.slot_GetUSBCameras({record(a), record(b)});
        QCOMPARE(view.connectedLocations(), (QStringList{locA, locB}));
        QVERIFY(view.pendingAutoConnects().isEmpty());
        // A second auto-connect leaves them as they are.
        DC_Recv* recvA = view.receiverFor(locA);
        view.slot_StartAutoConnect();
        QCOMPARE(view.receiverFor(locA), recvA);
    }
    {
        publishSeveralCameras(saved2, false);
        CameraListView view;
        view.slot_GetUSBCameras({record(a), record(b)});
        view.slot_StartAutoConnect();
        QCOMPARE(view.connectedLocations(), (QStringList{locB}));
    }
}

namespace {

// The list with the platform's hot-plug signals wired as the main window wires them, and the
// first search done.
struct HotPlugView {
    CameraListView view;
    USBListener listener;

    bool start(SimCameraRig& rig, int rows) {
        if (!listener.startListening() || !rig.sim().waitForWatchers(1, 5000))
            return false;
        QObject::connect(&listener, &USBListener::signal_deviceUSBPlugIn, &view,
                         &CameraListView::slot_deviceUSBPlugIn);
        QObject::connect(&listener, &USBListener::signal_deviceUSBPlugOut, &view,
                         &CameraListView::slot_deviceUSBPlugOut);
        view.slot_StartUSBSearch();
        return QTest::qWaitFor([&] { return view.rowCount() == rows; }, 10000);
    }
    int rowOf(const QString& location) {
        for (int row = 0; row < view.rowCount(); ++row)
            if (locationOfRow(view, row) == location)
                return row;
        return -1;
    }
};

}  // namespace

// A loose cable or a hub losing power: the connected camera goes and comes back, and is
// connected again as soon as its row is back. A camera disconnected by hand, or any camera with
// AutoReconnect off, stays disconnected.
void TstCameraListView::aCameraConnectedWhenUnpluggedIsConnectedAgainWhenItReturns() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    HotPlugView h;
    QVERIFY(h.start(*_rig, 2));
    CameraListView& view = h.view;
    const QString locA = QString::fromStdString(SimCameraRig::location(a));
    QTest::mouseClick(view.rowButton(h.rowOf(locA)), Qt::LeftButton);
    QVERIFY(view.receiverFor(locA));
    QSignalSpy receivers(&view, &CameraListView::signal_CameraReceiver);

    _rig->unplug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 1, 5000);
    QVERIFY(!view.currentReceiver());
    QCOMPARE(view.awaitedCameras().size(), 1);
    QCOMPARE(view.awaitedCameras().at(0).location, locA);
    QCOMPARE(view.awaitedCameras().at(0).model, QStringLiteral("ZM-150"));
    _rig->plug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(view.receiverFor(locA) != nullptr, 2000);
    QCOMPARE(view.currentReceiver(), view.receiverFor(locA));
    QVERIFY(isConnected(view, h.rowOf(locA)));
    QVERIFY(view.awaitedCameras().isEmpty());
    // The tracking and the command worker hear of the new receiver.
    QVERIFY(!receivers.isEmpty());
    QCOMPARE(receivers.last().at(0).toString(), locA);
    QVERIFY(receivers.last().at(1).value<DC_Recv*>() != nullptr);

    // Disconnected by hand (the row button's way, and the control interface's), then unplugged.
    view.disconnectCamera(locA);
    QVERIFY(!view.currentReceiver());
    _rig->unplug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 1, 5000);
    QVERIFY(view.awaitedCameras().isEmpty());
    _rig->plug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QVERIFY(!view.currentReceiver());  // the row's arrival would have connected it

    // AutoReconnect off: connected when unplugged, still not connected again.
    view.setAutoReconnect(false);
    QTest::mouseClick(view.rowButton(h.rowOf(locA)), Qt::LeftButton);
    QVERIFY(view.receiverFor(locA));
    _rig->unplug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 1, 5000);
    QVERIFY(view.awaitedCameras().isEmpty());
    _rig->plug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QVERIFY(!view.currentReceiver());

    // Switched off while the camera is away: it is no longer awaited.
    view.setAutoReconnect(true);
    QTest::mouseClick(view.rowButton(h.rowOf(locA)), Qt::LeftButton);
    _rig->unplug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.awaitedCameras().size(), 1, 5000);
    view.setAutoReconnect(false);
    QVERIFY(view.awaitedCameras().isEmpty());
    _rig->plug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QVERIFY(!view.currentReceiver());
}

// The serial number the search reads follows a camera to another port; a camera without one is
// known by its place only. The place comes first: another camera plugged into the place of the
// awaited one is connected (the simple rule; the user chose that place).
void TstCameraListView::aCameraWithASerialNumberIsKnownOnAnotherPort() {
    CameraSetup a = camera("1&2.4");
    a.serial = "VX100001";
    const CameraSetup b = camera("1&3", "600e");  // no serial number
    _rig->plug(a);
    _rig->plug(b);
    HotPlugView h;
    QVERIFY(h.start(*_rig, 2));
    CameraListView& view = h.view;
    const QString locA = QString::fromStdString(SimCameraRig::location(a));
    const QString locB = QString::fromStdString(SimCameraRig::location(b));
    QCOMPARE(view.cameraData(locA).value(QStringLiteral("Serial")).toString(), QStringLiteral("VX100001"));
    QCOMPARE(view.cameraData(locB).value(QStringLiteral("Serial")).toString(), QString());

    // Without a serial number, another port is another camera (an empty one matches nothing).
    QTest::mouseClick(view.rowButton(h.rowOf(locB)), Qt::LeftButton);
    QVERIFY(view.receiverFor(locB));
    _rig->unplug(b, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 1, 5000);
    CameraSetup bElsewhere = b;
    bElsewhere.busPort = "1&5";
    _rig->plug(bElsewhere, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QVERIFY(!view.currentReceiver());
    QCOMPARE(view.awaitedCameras().size(), 1);

    // With one, the camera is connected on its new port (the user's click on A ends B's wait).
    QTest::mouseClick(view.rowButton(h.rowOf(locA)), Qt::LeftButton);
    QVERIFY(view.receiverFor(locA));
    QVERIFY(view.awaitedCameras().isEmpty());
    _rig->unplug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 1, 5000);
    QCOMPARE(view.awaitedCameras().at(0).serial, QStringLiteral("VX100001"));
    CameraSetup aMoved = a;
    aMoved.busPort = "1&4";
    const QString locMoved = QString::fromStdString(SimCameraRig::location(aMoved));
    _rig->plug(aMoved, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(view.receiverFor(locMoved) != nullptr, 2000);
    QCOMPARE(view.connectedLocations(), QStringList{locMoved});
    QVERIFY(view.awaitedCameras().isEmpty());

    // Another camera in the awaited camera's place.
    _rig->unplug(aMoved, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 1, 5000);
    CameraSetup c = camera("1&4", "600f");
    c.serial = "VX999999";
    _rig->plug(c, true);
    QTRY_COMPARE_WITH_TIMEOUT(view.rowCount(), 2, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(view.receiverFor(locMoved) != nullptr, 2000);
    QCOMPARE(view.cameraData(locMoved).value(QStringLiteral("Serial")).toString(),
             QStringLiteral("VX999999"));
}

// One camera at a time: connecting another camera while one is away ends the wait. Several:
// only a choice about the awaited camera does (disconnecting it while it is away).
void TstCameraListView::aChoiceOfTheUserEndsTheWait() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    _rig->plug(a);
    _rig->plug(b);
    const QString locA = QString::fromStdString(SimCameraRig::location(a));
    const QString locB = QString::fromStdString(SimCameraRig::location(b));
    {
        CameraListView view;
        view.slot_GetUSBCameras({record(a), record(b)});
        QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
        view.slot_deviceUSBPlugOut(locA);
        QCOMPARE(view.awaitedCameras().size(), 1);
        QTest::mouseClick(view.rowButton(0), Qt::LeftButton);  // B, now the only row
        DC_Recv* chosen = view.receiverFor(locB);
        QVERIFY(chosen);
        QVERIFY(view.awaitedCameras().isEmpty());
        view.slot_GetUSBCameras({record(a), record(b)});
        QCOMPARE(view.rowCount(), 2);
        QCOMPARE(view.connectedLocations(), QStringList{locB});
        QCOMPARE(view.currentReceiver(), chosen);
    }

    publishSeveralCameras({}, true);
    CameraListView view;
    view.slot_GetUSBCameras({record(a), record(b)});
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);
    view.slot_deviceUSBPlugOut(locA);
    QTest::mouseClick(view.rowButton(0), Qt::LeftButton);  // B: a choice about another camera
    QCOMPARE(view.awaitedCameras().size(), 1);
    view.slot_GetUSBCameras({record(a), record(b)});
    QCOMPARE(view.connectedLocations(), (QStringList{locB, locA}));
    QCOMPARE(view.currentReceiver(), view.receiverFor(locB));

    // Disconnected by hand while it is away (the control interface names it): it stays so.
    view.slot_deviceUSBPlugOut(locA);
    QCOMPARE(view.awaitedCameras().size(), 1);
    view.disconnectCamera(locA);
    QVERIFY(view.awaitedCameras().isEmpty());
    view.slot_GetUSBCameras({record(a), record(b)});
    QCOMPARE(view.connectedLocations(), QStringList{locB});
}

QTEST_MAIN(TstCameraListView)
#include "tst_CameraListView.moc"

void TstCameraListView::aCameraThisUserMayNotOpenIsListedAsSuchUntilItCanBe() {
    const CameraSetup a = camera("1&2.4");
    const CameraSetup b = camera("1&3", "600e");
    const CameraSetup c = camera("1&4", "600f");
    for (const CameraSetup& s : {a, b, c}) _rig->plug(s);
    publishSavedCameras({saved(record(b), true)});
    USB_DeviceInfo denied = record(b);
    denied.noPermission = true;
    denied.modelName.clear();
    denied.deviceModeInt = 0;
    const QString message = QStringLiteral("No permission to use this camera: see Real cameras in the README.");

    CameraListView view;
    QSignalSpy changed(&view, &CameraListView::signal_CamerasChanged);
    view.slot_GetUSBCameras({denied, record(a), record(c)});
    view.slot_StartAutoConnect();
    QCOMPARE(view.rowCount(), 3);
    QVERIFY(view.rowLabel(0));
    QCOMPARE(view.rowLabel(0)->text(), message);
    QVERIFY(!view.rowButton(0));  // nothing to press
    QCOMPARE(view.cameraArray().size(), 2);  // neither saved nor offered elsewhere
    QVERIFY(!view.currentReceiver());
    QCOMPARE(view.pendingAutoConnect(), QStringLiteral("1&3&1&0000"));  // it waits for access
    QVERIFY(!view.connectCamera(QStringLiteral("1&3&1&0000")));
    QCOMPARE(changed.count(), 3);

    // One camera at a time across the gap the row leaves among the buttons' row numbers.
    QTest::mouseClick(view.rowButton(2), Qt::LeftButton);
    QVERIFY(isConnected(view, 2));
    QTest::mouseClick(view.rowButton(1), Qt::LeftButton);
    QVERIFY(isConnected(view, 1));
    QVERIFY(!isConnected(view, 2));
    QTest::mouseClick(view.rowButton(1), Qt::LeftButton);  // disconnected again by hand
    QVERIFY(!view.currentReceiver());

    // A later search does not repeat the row; once the camera may be opened its own row
    // takes the place, and an unplug takes a refused camera's row away like any other.
    view.slot_GetUSBCameras({denied, record(a), record(c)});
    QCOMPARE(view.rowCount(), 3);
    view.slot_GetUSBCameras({record(b), record(a), record(c)});
    QCOMPARE(view.rowCount(), 3);
    QCOMPARE(locationOfRow(view, 2), QStringLiteral("1&3&1&0000"));
    QCOMPARE(view.buttonGroup()->id(view.rowButton(2)), 2);
    QCOMPARE(view.cameraArray().size(), 3);
    view.slot_deviceUSBPlugOut(QStringLiteral("1&3&1&0000"));
    view.slot_GetUSBCameras({denied});
    QCOMPARE(view.rowCount(), 3);
    view.slot_deviceUSBPlugOut(QStringLiteral("1&3&1&0000"));
    QCOMPARE(view.rowCount(), 2);
    QCOMPARE(view.cameraArray().size(), 2);

    // The saved camera waits through the refusal and connects once it may be opened.
    CameraListView later;
    later.slot_GetUSBCameras({denied});
    later.slot_StartAutoConnect();
    QVERIFY(!later.currentReceiver());
    later.slot_GetUSBCameras({record(b)});
    QCOMPARE(later.rowCount(), 1);
    QVERIFY(later.currentReceiver());
    QVERIFY(isConnected(later, 0));
}
