#pragma once

#include <QList>
#include <QString>
#include <QThread>

#include <vector>

#include "USB_DeviceInfo.h"

class DC_Find;
struct KXUsbDevice;

// The USB search: walks every present USB device and interface, keeps the first interface of
// each supported camera whose model the library knows (or that this user may not open, which
// the list shows as such), and hands the list to the camera list.
//
// Threading: run() executes on the search thread and touches only its own list and a DC_Find
// of its own. The list crosses to the interface thread as a copy (a value signal argument),
// so a later run never deletes records the camera list still reads. The object itself lives
// on the interface thread, which starts it (starting a running search does nothing).
class UsbSearch : public QThread {
    Q_OBJECT

public:
    // The capture interface class of the device notifications.
    static constexpr const char* kCaptureClassGuid = "{65E8773D-8F56-11D0-A3B9-00A0C9223196}";

    explicit UsbSearch(QObject* parent = nullptr);
    // Waits for a run in progress: a search thread must not outlive its object.
    ~UsbSearch() override;

    // The body of a run after the walk: the checks and the library's model lookups, in walk
    // order. `find` is initialised by the caller.
    static QList<USB_DeviceInfo> searchDevices(const std::vector<KXUsbDevice>& devices, DC_Find& find);

    // Vendor and product id of a hardware id ("USB\VID_1D4D&PID_6009&REV_0100&MI_00" gives
    // "1d4d" and "6009"); a missing part is empty.
    static void vendorProductOf(const QString& hardwareId, QString& vendorId, QString& productId);

    // The serial number of the device whose interface has this location path and instance id,
    // read from the whole device's entry in `devices`: the device's location path is the
    // interface's without ":<configuration>.<interface>", and its instance id ends in the serial
    // number, or in "B&P" (with '&') when the device has none. Empty when there is none, or
    // no such entry.
    static QString serialOf(const std::vector<KXUsbDevice>& devices, const QString& interfacePath,
                            const QString& interfaceInstanceId);
    // The longest serial number a USB string descriptor can carry.
    static constexpr int kMaxSerialLength = 126;

signals:
    void signal_GetUSBCameras(QList<USB_DeviceInfo> usbDeviceList);

protected:
    void run() override;

private:
    QList<USB_DeviceInfo> _usbDeviceList;  // search thread only (the result of the last run)
};
