#include "ControlApiBridge.h"

#include <QDebug>
#include <QJsonArray>

#include "CameraInfoKey.h"
#include "CameraListView.h"
#include "PresetLink.h"
#include "SoundDeviceSetting.h"

using namespace ControlApi;

ControlApiBridge::ControlApiBridge(CameraListView* cameras, SoundDeviceSetting* soundDevice,
                                   PresetLink* presetLink, QObject* parent)
    : QObject(parent), _cameras(cameras), _soundDevice(soundDevice), _presetLink(presetLink) {
    connect(_cameras, &CameraListView::signal_CamerasChanged, this, &ControlApiBridge::slot_CamerasChanged);
    connect(_cameras, &CameraListView::signal_ConnectUSBCamera, this,
            &ControlApiBridge::slot_ConnectUSBCamera);
}

QJsonArray ControlApiBridge::cameraList() const {
    QJsonArray list;
    const QString connected = _cameras->connectedLocation();
    const QJsonArray rows = _cameras->cameraArray();
    for (const QJsonValue& row : rows) {
        const QJsonObject info = row.toObject();
        const QString location = info.value(QStringLiteral("LocationIdentity")).toString();
        list.append(
            QJsonObject{{QStringLiteral("location"), location},
                        {QStringLiteral("model"), info.value(QStringLiteral("ModelName")).toString()},
                        {QStringLiteral("connected"), !connected.isEmpty() && location == connected}});
    }
    return list;
}

QJsonValue ControlApiBridge::connectedValue() const {
    const QString connected = _cameras->connectedLocation();
    return connected.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(connected);
}

QJsonObject ControlApiBridge::arrayObject() const {
    const QString link = _soundDevice->isDeviceConnected() ? QStringLiteral("up") : QStringLiteral("down");
    return QJsonObject{
        {QStringLiteral("device"), _soundDevice->soundDeviceText(_soundDevice->soundDeviceIndex())},
        {QStringLiteral("address"), _soundDevice->ipAddressText()},
        {QStringLiteral("link"), link}};
}

QString ControlApiBridge::trackingText() const {
    return _soundDevice->isDeviceConnected() ? QStringLiteral("on") : QStringLiteral("off");
}

QJsonObject ControlApiBridge::state() {
    return QJsonObject{
        {QStringLiteral("cameras"), cameraList()},
        {QStringLiteral("connected"), connectedValue()},
        {QStringLiteral("array"), arrayObject()},
        {QStringLiteral("tracking"), trackingText()},
        {QStringLiteral("talker"), _talker > 0 ? QJsonValue(_talker) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("lastPreset"),
         _lastPreset >= 0 ? QJsonValue(_lastPreset) : QJsonValue(QJsonValue::Null)},
    };
}

bool ControlApiBridge::isCameraConnected() {
    return _commandRoute && _cameras->currentReceiver() != nullptr;
}

int ControlApiBridge::connectCamera(const QString& location, QString& message) {
    if (!_cameras->connectCamera(location)) {
        message = QStringLiteral("no camera at \"%1\"").arg(location);
        return NoSuchCamera;
    }
    if (!_cameras->currentReceiver()) {
        // The list has shown its warning; the client hears it as well.
        message = QStringLiteral("the camera at \"%1\" cannot be opened").arg(location);
        return NoCameraConnected;
    }
    return 0;
}

int ControlApiBridge::disconnectCamera(const QString& location, QString& message) {
    if (!location.isEmpty()) {
        bool known = false;
        const QJsonArray cameras = cameraList();
        for (const QJsonValue& camera : cameras)
            known = known || camera.toObject()
                                     .value(QStringLiteral("location"))
                                     .toString()
                                     .compare(location, Qt::CaseInsensitive) == 0;
        if (!known) {
            message = QStringLiteral("no camera at \"%1\"").arg(location);
            return NoSuchCamera;
        }
        // Another camera than the one named is connected: it stays.
        if (_cameras->connectedLocation().compare(location, Qt::CaseInsensitive) != 0)
            return 0;
    }
    _cameras->disconnectCamera();
    return 0;
}

void ControlApiBridge::sendCameraCommand(int commandId, int value) {
    qDebug() << "ControlApiBridge::sendCameraCommand" << commandId << value;
    emit signal_AddUSBCommand(commandId, value);
    if (commandId == CmdCallPreset)
        presetCalled(value, QStringLiteral("api"));
}

bool ControlApiBridge::setTracking(bool on, QString& message) {
    Q_UNUSED(on);
    message = QStringLiteral("tracking cannot be switched from here in this version");
    return false;
}

bool ControlApiBridge::pauseTracking(int seconds, QString& message) {
    Q_UNUSED(seconds);
    message = QStringLiteral("tracking cannot be paused from here in this version");
    return false;
}

void ControlApiBridge::slot_CamerasChanged() {
    broadcast(QStringLiteral("cameras"), QJsonObject{{QStringLiteral("cameras"), cameraList()}});
}

void ControlApiBridge::slot_ConnectUSBCamera(DC_Recv* recv) {
    // The list announces null before it destroys a receiver, while its row still reads as
    // connected: the announcement itself says whether a camera is connected.
    const QString connected = recv ? _cameras->connectedLocation() : QString();
    if (connected == _announcedConnected)
        return;
    _announcedConnected = connected;
    broadcast(QStringLiteral("camera"),
              QJsonObject{{QStringLiteral("connected"),
                           connected.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(connected)}});
}

void ControlApiBridge::slot_PanelCommand(int commandID, int commandValue) {
    if (commandID == CmdCallPreset)
        presetCalled(commandValue, QStringLiteral("panel"));
}

void ControlApiBridge::presetCalled(int preset, const QString& by) {
    _lastPreset = preset;
    broadcast(QStringLiteral("preset"),
              QJsonObject{{QStringLiteral("lastPreset"), preset}, {QStringLiteral("by"), by}});
}

void ControlApiBridge::broadcast(const QString& name, const QJsonObject& data) {
    if (_server)
        _server->broadcast(name, data);
}
