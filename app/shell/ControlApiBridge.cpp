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
    connect(_soundDevice, &SoundDeviceSetting::signal_LinkStateChanged, this, [this] {
        broadcast(QStringLiteral("link"), QJsonObject{{QStringLiteral("array"), arrayObject()}});
    });
    connect(_soundDevice, &SoundDeviceSetting::signal_TrackingStateChanged, this, [this] {
        const QString tracking = trackingText();
        if (tracking == _announcedTracking)
            return;
        _announcedTracking = tracking;
        broadcast(QStringLiteral("tracking"), QJsonObject{{QStringLiteral("tracking"), tracking}});
    });
    connect(_soundDevice, &SoundDeviceSetting::signal_TalkerPositionChanged, this, [this](int position) {
        _talker = position > 0 ? position : 0;
        broadcast(QStringLiteral("talker"),
                  QJsonObject{{QStringLiteral("talker"),
                               _talker > 0 ? QJsonValue(_talker) : QJsonValue(QJsonValue::Null)}});
    });
    connect(_presetLink, &PresetLink::signal_TrackingPresetCalled, this,
            [this](int preset) { presetCalled(preset, QStringLiteral("tracking")); });
    // The return home to preset 0 is the tracking's call as well.
    connect(_soundDevice, &SoundDeviceSetting::signal_AddUSBCommand, this, [this](int commandID, int value) {
        if (commandID == CmdCallPreset)
            presetCalled(value, QStringLiteral("tracking"));
    });
    _announcedTracking = trackingText();
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
    QString link = QStringLiteral("down");
    if (_soundDevice->linkState() == SoundDeviceSetting::LinkUp)
        link = QStringLiteral("up");
    else if (_soundDevice->linkState() == SoundDeviceSetting::LinkReconnecting)
        link = QStringLiteral("reconnecting");
    return QJsonObject{
        {QStringLiteral("device"), _soundDevice->soundDeviceText(_soundDevice->soundDeviceIndex())},
        {QStringLiteral("address"), _soundDevice->ipAddressText()},
        {QStringLiteral("link"), link}};
}

QString ControlApiBridge::trackingText() const {
    if (!_soundDevice->isTrackingEnabled())
        return QStringLiteral("off");
    return _soundDevice->trackingPauseRemainingMs() > 0 ? QStringLiteral("paused") : QStringLiteral("on");
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
    // An integrator's command is an operator's: tracking holds off as after a panel command.
    // A longer pause asked for before (tracking.pause) is not cut short by it.
    const int pausedMs = _soundDevice->trackingPauseRemainingMs();
    _soundDevice->slot_ManualOverride();
    if (pausedMs > _soundDevice->trackingPauseRemainingMs())
        _soundDevice->pauseTracking(pausedMs);
}

bool ControlApiBridge::setTracking(bool on, QString&) {
    _soundDevice->setTrackingEnabled(on);
    return true;
}

bool ControlApiBridge::pauseTracking(int seconds, QString&) {
    // 0 ends a pause.
    _soundDevice->pauseTracking(seconds * 1000);
    return true;
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
