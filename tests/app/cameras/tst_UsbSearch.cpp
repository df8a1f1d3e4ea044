// The USB search and the hot-plug listener over the simulated backend: which devices become
// camera records, and which broadcasts become plug-in and plug-out signals.
#include <QMap>
#include <QSignalSpy>
#include <QTest>

#include "DebugLines.h"
#include "KXPlatform.h"
#include "SimCameraRig.h"
#include "USBListener.h"
#include "UsbSearch.h"

namespace {

using CameraSetup = SimCameraRig::CameraSpec;

CameraSetup cameraA() {
    CameraSetup s;
    s.busPort = "1&2.4";
    return s;  // 1d4d:6009, firmware KPH: model 9
}

CameraSetup cameraB() {
    CameraSetup s;
    s.busPort = "1&3";
    s.pid = "600e";
    s.friendlyName = "Conference Camera";
    s.reportedName = "ZM-130 Pro X";  // the camera names itself: model 11
    return s;
}

CameraSetup foreignWebcam() {
    CameraSetup s;
    s.busPort = "1&5";
    s.vid = "046d";
    s.pid = "0825";
    s.friendlyName = "Webcam";
    return s;
}

CameraSetup unknownModel() {
    CameraSetup s;
    s.busPort = "1&6";
    s.pid = "6018";
    s.firmware = "XYZ9";  // no model starts so
    return s;
}

QList<USB_DeviceInfo> runSearch(UsbSearch& search) {
    QSignalSpy spy(&search, &UsbSearch::signal_GetUSBCameras);
    search.start();
    if (!spy.wait(10000) && spy.isEmpty())
        return {};
    search.wait();
    return spy.at(0).at(0).value<QList<USB_DeviceInfo>>();
}

KXHotplugEvent broadcast(KXHotplugEvent::Kind kind, const std::string& name) {
    KXHotplugEvent e;
    e.kind = kind;
    e.name = name;
    return e;
}

}  // namespace

class TstUsbSearch : public QObject {
    Q_OBJECT

private slots:
    void searchListsSupportedCamerasOnly();
    void walkThatFailsEmitsNothing();
    void searchRecordsCrossAsCopies();
    void hardwareIdTexts();
    void serialNumbersComeFromTheWholeDevicesEntry();
    void listenerSignalsArrivalAndRemovalOfSupportedCameras();
    void listenerChecksOnRecordedBroadcasts();
};

void TstUsbSearch::searchListsSupportedCamerasOnly() {
    SimCameraRig rig;
    rig.plug(cameraA());
    rig.plug(foreignWebcam());
    rig.plug(cameraB());
    rig.plug(unknownModel());

    UsbSearch search;
    const QList<USB_DeviceInfo> found = runSearch(search);
    QCOMPARE(found.size(), 2);

    const USB_DeviceInfo& a = found.at(0);
    QCOMPARE(a.locationIdentity, QStringLiteral("1&2.4&1&0000"));
    QCOMPARE(a.vid, QStringLiteral("1d4d"));
    QCOMPARE(a.pid, QStringLiteral("6009"));
    QCOMPARE(a.modelName, QStringLiteral("ZM-150"));
    QCOMPARE(a.deviceModeInt, 9);
    QCOMPARE(a.portInfo, QStringLiteral("Port_#0004.Hub_#0002"));
    QCOMPARE(a.portPath, QStringLiteral("pci-0000:00:14.0-usb-0:2.4:1.0"));
    QCOMPARE(a.friendlyName, QStringLiteral("ZM-150 Camera"));
    QCOMPARE(a.deviceDesc, QStringLiteral("ZM-150 Camera"));

    const USB_DeviceInfo& b = found.at(1);
    QCOMPARE(b.locationIdentity, QStringLiteral("1&3&1&0000"));
    QCOMPARE(b.pid, QStringLiteral("600e"));
    QCOMPARE(b.modelName, QStringLiteral("ZM-130 Pro X"));
    QCOMPARE(b.deviceModeInt, 11);

    // The supported-camera check comes before any question to a device: neither the foreign
    // webcam nor a camera's second interface is ever asked for its model.
    for (const kxjson::Json& request : rig.sim().journal()) {
        if (kxjson::text(request, "op") != "xu")
            continue;
        const QString path = QString::fromStdString(kxjson::text(request, "device_path"));
        QVERIFY2(!path.contains(QLatin1String("vid_046d")), qPrintable(path));
        QVERIFY2(!path.contains(QLatin1String("&0002")), qPrintable(path));
    }
}

void TstUsbSearch::walkThatFailsEmitsNothing() {
    SimCameraRig rig;
    rig.plug(cameraA());
    rig.sim().setFault("usb_devices", SimServer::Fault::Error);
    DebugLines log;
    UsbSearch search;
    QSignalSpy spy(&search, &UsbSearch::signal_GetUSBCameras);
    search.start();
    QVERIFY(search.wait(10000));
    QCoreApplication::processEvents();
    QCOMPARE(spy.count(), 0);
    QVERIFY(log.contains(QStringLiteral("INVALID_HANDLE_VALUE")));
}

// A new run replaces the search's own list while the previous one may still be on its way
// to the camera list: what was handed over must stay as it was.
void TstUsbSearch::searchRecordsCrossAsCopies() {
    SimCameraRig rig;
    rig.plug(cameraA());
    UsbSearch search;
    const QList<USB_DeviceInfo> first = runSearch(search);
    QCOMPARE(first.size(), 1);
    rig.unplug(cameraA());
    rig.plug(cameraB());
    const QList<USB_DeviceInfo> second = runSearch(search);
    QCOMPARE(second.size(), 1);
    QCOMPARE(first.at(0).locationIdentity, QStringLiteral("1&2.4&1&0000"));
    QCOMPARE(first.at(0).modelName, QStringLiteral("ZM-150"));
    QCOMPARE(second.at(0).locationIdentity, QStringLiteral("1&3&1&0000"));
}

void TstUsbSearch::hardwareIdTexts() {
    QString vid;
    QString pid;
    UsbSearch::vendorProductOf(QStringLiteral("USB\\VID_1D4D&PID_6009&REV_0100&MI_00"), vid, pid);
    QCOMPARE(vid, QStringLiteral("1d4d"));
    QCOMPARE(pid, QStringLiteral("6009"));
    UsbSearch::vendorProductOf(QStringLiteral("usb\\vid_1d4d&pid_600f"), vid, pid);
    QCOMPARE(vid, QStringLiteral("1d4d"));
    QCOMPARE(pid, QStringLiteral("600f"));
    // Missing parts read as empty, garbage stays garbage (and fails the supported check).
    UsbSearch::vendorProductOf(QStringLiteral("USB\\VID_1D4D"), vid, pid);
    QCOMPARE(vid, QStringLiteral("1d4d"));
    QCOMPARE(pid, QString());
    UsbSearch::vendorProductOf(QString(), vid, pid);
    QCOMPARE(vid, QString());
    QCOMPARE(pid, QString());
}

namespace {

KXUsbDevice deviceEntry(const std::string& instanceId, std::optional<std::vector<std::string>> paths) {
    KXUsbDevice d;
    d.instanceId = instanceId;
    d.locationPaths = std::move(paths);
    return d;
}

}  // namespace

// The serial number of a camera is the tail of its whole device's instance id, found by the
// device's place; a device without one ends in "B&P". A camera behind a hub must not be given
// the hub-side device's serial number, and broken entries give none.
void TstUsbSearch::serialNumbersComeFromTheWholeDevicesEntry() {
    {
        SimCameraRig rig;
        CameraSetup outer = cameraA();
        outer.busPort = "1&2";
        outer.serial = "VX100001";
        CameraSetup behind = cameraA();
        behind.busPort = "1&2.4";  // its path begins with the other device's path
        CameraSetup other = cameraA();
        other.busPort = "1&3";
        other.serial = "VX100002";
        rig.plug(behind);
        rig.plug(outer);
        rig.plug(other);
        UsbSearch search;
        const QList<USB_DeviceInfo> found = runSearch(search);
        QCOMPARE(found.size(), 3);
        QMap<QString, QString> serials;
        for (const USB_DeviceInfo& info : found) serials.insert(info.locationIdentity, info.serial);
        QCOMPARE(serials.value(QStringLiteral("1&2&1&0000")), QStringLiteral("VX100001"));
        QCOMPARE(serials.value(QStringLiteral("1&2.4&1&0000")), QString());
        QCOMPARE(serials.value(QStringLiteral("1&3&1&0000")), QStringLiteral("VX100002"));
    }

    const QString path = QStringLiteral("pci-0000:00:14.0-usb-0:2.4:1.0");
    const QString id = QStringLiteral("USB\\VID_1D4D&PID_6009&MI_00\\1&2.4&1&0000");
    const std::vector<std::string> devicePath{"pci-0000:00:14.0-usb-0:2.4"};
    const std::string longSerial(UsbSearch::kMaxSerialLength + 1, 'S');
    const std::vector<KXUsbDevice> garbage = {
        deviceEntry("USB\\VID_1D4D&PID_6009\\NOPATHS", std::nullopt),
        deviceEntry("USB\\VID_1D4D&PID_6009\\EMPTYPATHS", std::vector<std::string>{}),
        deviceEntry("USB\\VID_1D4D&PID_6009\\BLANKPATH", std::vector<std::string>{""}),
        deviceEntry("USB\\VID_1D4D&PID_6009&MI_02\\INTERFACE", devicePath),  // an interface
        deviceEntry("USB\\VID_046D&PID_0825\\OTHERIDS", devicePath),         // not this camera
        deviceEntry("NOBACKSLASH", devicePath),
    };
    QCOMPARE(UsbSearch::serialOf(garbage, path, id), QString());

    std::vector<KXUsbDevice> devices = garbage;
    devices.push_back(deviceEntry("USB\\VID_1D4D&PID_6009\\1&2.4", devicePath));  // no serial
    QCOMPARE(UsbSearch::serialOf(devices, path, id), QString());
    devices.back() = deviceEntry("USB\\VID_1D4D&PID_6009\\" + longSerial, devicePath);
    QCOMPARE(UsbSearch::serialOf(devices, path, id), QString());
    devices.back() = deviceEntry("USB\\VID_1D4D&PID_6009\\", devicePath);
    QCOMPARE(UsbSearch::serialOf(devices, path, id), QString());
    devices.back() = deviceEntry("USB\\VID_1D4D&PID_6009\\Cam-42", devicePath);
    QCOMPARE(UsbSearch::serialOf(devices, path, id), QStringLiteral("Cam-42"));
    // Another configuration's interface of the same device.
    QCOMPARE(UsbSearch::serialOf(devices, QStringLiteral("pci-0000:00:14.0-usb-0:2.4:2.0"), id),
             QStringLiteral("Cam-42"));
    QCOMPARE(UsbSearch::serialOf(devices, QString(), id), QString());
}

void TstUsbSearch::listenerSignalsArrivalAndRemovalOfSupportedCameras() {
    SimCameraRig rig;
    USBListener listener;
    QVERIFY(listener.startListening());
    QVERIFY(rig.sim().waitForWatchers(1, 5000));
    QSignalSpy in(&listener, &USBListener::signal_deviceUSBPlugIn);
    QSignalSpy out(&listener, &USBListener::signal_deviceUSBPlugOut);

    CameraSetup a = cameraA();
    rig.plug(foreignWebcam(), true);  // another vendor: nothing
    // A capture interface other than the first one: nothing.
    rig.sim().announce("arrival", SimServer::devicePathFor("1d4d", "6009", "1&2.4&1&0002"));
    // Another class of device interface, another kind of broadcast: nothing.
    rig.sim().sendToWatchers(
        R"({"event":"arrival","device_type":5,"class_guid":"{A5DCBF10-6530-11D2-901F-00C04FB951ED}",)"
        R"("name":"\\\\?\\usb#vid_1d4d&pid_6009#1&2.4&1&0000#{a5dcbf10-6530-11d2-901f-00c04fb951ed}"})");
    rig.sim().sendToWatchers(
        R"({"event":"arrival","device_type":3,"class_guid":"{65E8773D-8F56-11D0-A3B9-00A0C9223196}",)"
        R"("name":"\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global"})");
    rig.plug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(in.count(), 1, 5000);
    QCOMPARE(in.at(0).at(0).toString(), QStringLiteral("1&2.4&1&0000"));

    rig.unplug(a, true);
    QTRY_COMPARE_WITH_TIMEOUT(out.count(), 1, 5000);
    QCOMPARE(out.at(0).at(0).toString(), QStringLiteral("1&2.4&1&0000"));
    QCOMPARE(in.count(), 1);
}

// The checks on broadcasts a device-change source could deliver, one record at a time.
void TstUsbSearch::listenerChecksOnRecordedBroadcasts() {
    SimCameraRig rig;  // the supported-camera check asks the library
    USBListener listener;
    QSignalSpy in(&listener, &USBListener::signal_deviceUSBPlugIn);
    QSignalSpy out(&listener, &USBListener::signal_deviceUSBPlugOut);
    const std::string guid = "#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

    // Upper-case paths as another source could spell them: the identity is lower case.
    listener.handleEvent(
        broadcast(KXHotplugEvent::Kind::Arrival, "\\\\?\\USB#VID_1D4D&PID_601E&MI_00#1&7&1&0000" + guid));
    QCOMPARE(in.count(), 1);
    QCOMPARE(in.at(0).at(0).toString(), QStringLiteral("1&7&1&0000"));

    // Malformed paths: logged as a logic error, no signal, no identity kept.
    DebugLines log;
    listener.handleEvent(
        broadcast(KXHotplugEvent::Kind::Arrival, "\\\\?\\usb#vid_1d4d&pid_6009#1&2.4&1&0000"));
    QCOMPARE(log.count(QStringLiteral("camera logic error")), 1);
    QVERIFY(listener.locationIdentity().isEmpty());
    listener.handleEvent(
        broadcast(KXHotplugEvent::Kind::Removal, "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&0000" + guid));
    QCOMPARE(log.count(QStringLiteral("camera logic error")), 2);
    listener.handleEvent(broadcast(KXHotplugEvent::Kind::Removal, ""));
    listener.handleEvent(broadcast(KXHotplugEvent::Kind::Removal, "####"));
    QCOMPARE(log.count(QStringLiteral("camera logic error")), 4);

    // Well formed, but the product is not one of the supported ones (row 0 is never asked).
    listener.handleEvent(
        broadcast(KXHotplugEvent::Kind::Arrival, "\\\\?\\usb#vid_1d4d&pid_601f&mi_00#1&8&1&0000" + guid));
    QCOMPARE(listener.locationIdentity(), QStringLiteral("1&8&1&0000"));
    QCOMPARE(in.count(), 1);
    QCOMPARE(out.count(), 0);

    listener.handleEvent(
        broadcast(KXHotplugEvent::Kind::Removal, "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&7&1&0000" + guid));
    QCOMPARE(out.count(), 1);
    QCOMPARE(out.at(0).at(0).toString(), QStringLiteral("1&7&1&0000"));
}

QTEST_GUILESS_MAIN(TstUsbSearch)
#include "tst_UsbSearch.moc"
