#include "UsbSearch.h"

#include <QDebug>
#include <QStringList>

#include "KXPlatformExports.h"
#include "vexsdk.h"

namespace {

// The model code of a camera that reported its own name (the name buffer holds it).
constexpr int kModelReportedByCamera = 11;

QString textOf(const std::optional<std::string>& value) {
    return value ? QString::fromStdString(*value) : QString();
}

}  // namespace

UsbSearch::UsbSearch(QObject* parent) : QThread(parent) {
    qRegisterMetaType<USB_DeviceInfo>("USB_DeviceInfo");
    qRegisterMetaType<QList<USB_DeviceInfo>>("QList<USB_DeviceInfo>");
}

UsbSearch::~UsbSearch() {
    wait();
}

void UsbSearch::vendorProductOf(const QString& hardwareId, QString& vendorId, QString& productId) {
    QString id = hardwareId.toUpper();
    id.remove(QStringLiteral("USB\\"));
    const QStringList parts = id.split(QLatin1Char('&'));
    vendorId = parts.value(0).remove(QStringLiteral("VID_")).toLower();
    productId = parts.value(1).remove(QStringLiteral("PID_")).toLower();
}

QString UsbSearch::serialOf(const std::vector<KXUsbDevice>& devices, const QString& interfacePath,
                            const QString& interfaceInstanceId) {
    if (interfacePath.isEmpty())
        return QString();
    for (const KXUsbDevice& device : devices) {
        if (!device.locationPaths || device.locationPaths->empty() || device.locationPaths->front().empty())
            continue;
        const QString id = QString::fromStdString(device.instanceId);
        if (id.contains(QLatin1String("&MI_"), Qt::CaseInsensitive))
            continue;  // another interface
        const QString devicePath = QString::fromStdString(device.locationPaths->front());
        if (!interfacePath.startsWith(devicePath + QLatin1Char(':')))
            continue;
        const qsizetype backslash = id.lastIndexOf(QLatin1Char('\\'));
        if (backslash <= 0)
            continue;
        // The same vendor and product: "USB\VID_..&PID_.." begins both instance ids.
        if (!interfaceInstanceId.startsWith(id.left(backslash) + QLatin1String("&MI_"), Qt::CaseInsensitive))
            continue;
        const QString tail = id.mid(backslash + 1);
        if (tail.isEmpty() || tail.contains(QLatin1Char('&')) || tail.size() > kMaxSerialLength)
            return QString();
        return tail;
    }
    return QString();
}

QList<USB_DeviceInfo> UsbSearch::searchDevices(const std::vector<KXUsbDevice>& devices, DC_Find& find) {
    QList<USB_DeviceInfo> found;
    for (const KXUsbDevice& device : devices) {
        if (device.instanceId.empty()) {
            qDebug() << "SetupDiGetDeviceInstanceId Failed";
            continue;
        }
        const QString instanceId = QString::fromStdString(device.instanceId);
        qDebug() << "UsbSearch::run"
                 << "deviceInfoQString:" << instanceId;

        // Only interface 0 of a composite device stands for the camera.
        if (instanceId.split(QLatin1Char('&')).last() != QLatin1String("0000"))
            continue;

        QString vendorId;
        QString productId;
        vendorProductOf(
            device.hardwareIds.empty() ? QString() : QString::fromStdString(device.hardwareIds.front()),
            vendorId, productId);
        if (!find.checkIsQuillonModel(vendorId.toUtf8().constData(), productId.toUtf8().constData()))
            continue;

        const QString locationIdentity = instanceId.split(QLatin1Char('\\')).last().toLower();
        // The library writes at most 24 characters and a terminator; room to spare.
        char modelNameBuffer[64] = {0};
        const int model = find.getDevModel(locationIdentity.toUtf8().constData(), modelNameBuffer);
        qDebug() << "UsbSearch::run"
                 << "devModelInt:" << model << " devModelNameChar:" << modelNameBuffer;
        const bool noPermission = model <= 0 && KXCameraAccess(locationIdentity.toUtf8().constData()) ==
                                                    KXOpenFailure::NoPermission;
        if (model <= 0 && !noPermission)
            continue;

        USB_DeviceInfo info;
        info.noPermission = noPermission;
        info.locationIdentity = locationIdentity;
        info.vid = vendorId;
        info.pid = productId;
        info.portInfo = textOf(device.locationInformation);
        info.portPath = device.locationPaths && !device.locationPaths->empty()
                            ? QString::fromStdString(device.locationPaths->front())
                            : QString();
        info.serial = serialOf(devices, info.portPath, instanceId);
        info.friendlyName = textOf(device.friendlyName);
        info.deviceDesc = textOf(device.description);
        info.deviceModeInt = model;
        info.modelName = noPermission ? QString()
                         : model == kModelReportedByCamera
                             ? QString::fromUtf8(modelNameBuffer)
                             : QString::fromStdString(find.getDevModelName(model));
        qDebug() << "locationIdentity:" << info.locationIdentity;
        qDebug() << "SPDRP_LOCATION_INFORMATION:" << info.portInfo;
        qDebug() << "SPDRP_LOCATION_PATHS:" << info.portPath;
        qDebug() << "Friendly Name:" << info.friendlyName;
        qDebug() << "Serial:" << info.serial;
        found.append(info);
    }
    return found;
}

void UsbSearch::run() {
    _usbDeviceList.clear();
    std::vector<KXUsbDevice> devices;
    if (!KXPlatformUsbDevices(devices)) {
        qDebug() << "INVALID_HANDLE_VALUE";
        return;
    }
    DC_Find find;
    find.initialize();
    _usbDeviceList = searchDevices(devices, find);
    emit signal_GetUSBCameras(_usbDeviceList);
}
