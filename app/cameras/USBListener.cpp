#include "USBListener.h"

#include <QDebug>
#include <QSocketNotifier>
#include <QStringList>

#include <vector>

#include "KXPlatformExports.h"
#include "UsbSearch.h"
#include "vexsdk.h"

namespace {

constexpr int kDeviceInterfaceType = 5;

}  // namespace

USBListener::USBListener(QObject* parent) : QObject(parent) {}

USBListener::~USBListener() = default;

bool USBListener::startListening() {
    if (_source)
        return true;
    _source = KXPlatformOpenHotplugSource();
    if (!_source || _source->fd() < 0) {
        _source.reset();
        qDebug() << "USBListener::startListening"
                 << "no hot-plug source; cameras are found by the search only";
        return false;
    }
    _notifier = new QSocketNotifier(_source->fd(), QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &USBListener::readEvents);
    return true;
}

bool USBListener::isListening() const {
    return _source != nullptr;
}

void USBListener::stopListening() {
    delete _notifier;
    _notifier = nullptr;
    _source.reset();
}

void USBListener::readEvents() {
    if (!_source)
        return;
    std::vector<KXHotplugEvent> events;
    const bool alive = _source->readEvents(events);
    for (const KXHotplugEvent& event : events) handleEvent(event);
    if (!alive) {
        // The source closed (the simulator went away): a dead descriptor would keep the
        // notifier firing, so stop watching it.
        qDebug() << "USBListener::readEvents"
                 << "hot-plug source closed";
        stopListening();
    }
}

void USBListener::handleEvent(const KXHotplugEvent& message) {
    if (message.kind == KXHotplugEvent::Kind::Arrival) {
        qDebug() << "usb in";
        if (checkIsQuillonModel(message))
            emit signal_deviceUSBPlugIn(_locationIdentity);
    } else {
        qDebug() << "usb out";
        if (checkIsQuillonModel(message))
            emit signal_deviceUSBPlugOut(_locationIdentity);
    }
}

bool USBListener::checkIsQuillonModel(const KXHotplugEvent& message) {
    _locationIdentity.clear();
    if (message.deviceType != kDeviceInterfaceType ||
        QString::fromStdString(message.classGuid)
                .compare(QLatin1String(UsbSearch::kCaptureClassGuid), Qt::CaseInsensitive) != 0)
        return false;

    const QString devicePath = QString::fromStdString(message.name);
    const QStringList parts = devicePath.split(QLatin1Char('#'));
    if (parts.size() != 4) {
        qDebug() << "camera logic error";
        return false;
    }
    _locationIdentity = parts.at(2).toLower();
    qDebug() << "WM_DEVICECHANGE"
             << " deviceUSBLocationQString:" << _locationIdentity;

    const QStringList location = parts.at(2).split(QLatin1Char('&'));
    if (location.size() != 4) {
        qDebug() << "camera logic error";
        return false;
    }
    if (location.last() != QLatin1String("0000"))
        return false;

    qDebug() << "USBListener::checkIsQuillonModel"
             << " devicePath:" << devicePath.toLower();
    const QStringList ids = parts.at(1).toUpper().split(QLatin1Char('&'));
    const QString vendorId = ids.value(0).remove(QStringLiteral("VID_")).toLower();
    const QString productId = ids.value(1).remove(QStringLiteral("PID_")).toLower();

    DC_Find find;
    find.initialize();
    return find.checkIsQuillonModel(vendorId.toUtf8().constData(), productId.toUtf8().constData());
}
