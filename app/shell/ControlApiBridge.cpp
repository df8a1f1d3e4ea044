#include "ControlApiBridge.h"

#include <QDebug>
#include <QJsonArray>
#include <QTimer>

#include "ArrayDevices.h"
#include "ArrayLink.h"
#include "CamUSBControlThread.h"
#include "CameraCommandRouter.h"
#include "CameraInfoKey.h"
#include "CameraListView.h"
#include "DecisionLog.h"
#include "FramePump.h"
#include "PictureFeed.h"
#include "TrackingEngine.h"
#include "vexsdk.h"

using namespace ControlApi;

ControlApiBridge::ControlApiBridge(CameraListView* cameras, CameraCommandRouter* router, ArrayLink* link,
                                   TrackingEngine* engine, DecisionLog* log, QObject* parent)
    : QObject(parent), _cameras(cameras), _router(router), _link(link), _engine(engine), _log(log) {
    connect(_cameras, &CameraListView::signal_CamerasChanged, this, &ControlApiBridge::slot_CamerasChanged);
    connect(_cameras, &CameraListView::signal_ConnectUSBCamera, this,
            &ControlApiBridge::slot_ConnectUSBCamera);
    connect(_cameras, &CameraListView::signal_CameraReceiver, this, &ControlApiBridge::slot_CameraReceiver);
    // A connected camera's new short name is news to the clients that show it.
    connect(_cameras, &CameraListView::signal_ShortNameChanged, this, &ControlApiBridge::announceCameras);
    connect(_router, &CameraCommandRouter::signal_Routed, this, &ControlApiBridge::slot_CommandRouted);
    connect(_link, &ArrayLink::signal_StateChanged, this, [this] {
        broadcast(QStringLiteral("link"), QJsonObject{{QStringLiteral("array"), arrayObject()}});
    });
    connect(_engine, &TrackingEngine::signal_TrackingStateChanged, this, [this] {
        const QString tracking = trackingText();
        if (tracking == _announcedTracking)
            return;
        _announcedTracking = tracking;
        broadcast(QStringLiteral("tracking"), QJsonObject{{QStringLiteral("tracking"), tracking},
                                                          {QStringLiteral("pauseSeconds"), pauseSeconds()}});
    });
    connect(_engine, &TrackingEngine::signal_TalkerPositionChanged, this, [this](int position) {
        broadcast(QStringLiteral("talker"),
                  QJsonObject{{QStringLiteral("talker"),
                               position > 0 ? QJsonValue(position) : QJsonValue(QJsonValue::Null)}});
    });
    connect(_engine, &TrackingEngine::signal_Light, this, [this](int position, bool on) {
        if (position < 1 || position >= static_cast<int>(_lights.size()) || _lights[position] == on)
            return;
        _lights[position] = on;
        broadcast(QStringLiteral("lights"), QJsonObject{{QStringLiteral("lights"), litPositions()}});
    });
    connect(_log, &DecisionLog::signal_Appended, this,
            [this](const QJsonObject& entry) { broadcast(QStringLiteral("decision"), entry); });
    _announcedTracking = trackingText();
}

QJsonArray ControlApiBridge::cameraList() const {
    QJsonArray list;
    const QJsonArray rows = _cameras->cameraArray();
    for (const QJsonValue& row : rows) {
        const QJsonObject info = row.toObject();
        const QString location = info.value(QStringLiteral("LocationIdentity")).toString();
        list.append(QJsonObject{{QStringLiteral("location"), location},
                                {QStringLiteral("model"), info.value(QStringLiteral("ModelName")).toString()},
                                {QStringLiteral("connected"), !connectedSpelling(location).isEmpty()}});
    }
    return list;
}

QString ControlApiBridge::connectedSpelling(const QString& location) const {
    if (location.isEmpty())
        return QString();
    const QStringList connected = _cameras->connectedLocations();
    for (const QString& key : connected) {
        if (key.compare(location, Qt::CaseInsensitive) != 0)
            continue;
        const QString spelled =
            _cameras->cameraData(key).value(QStringLiteral("LocationIdentity")).toString();
        return spelled.isEmpty() ? key : spelled;
    }
    return QString();
}

QString ControlApiBridge::steeredLocation() const {
    const QString steered = connectedSpelling(_steered);
    return steered.isEmpty() ? _cameras->connectedLocation() : steered;
}

QJsonValue ControlApiBridge::connectedValue() const {
    const QString steered = steeredLocation();
    return steered.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(steered);
}

QJsonArray ControlApiBridge::connectedCameras() const {
    QJsonArray list;
    const QString steered = steeredLocation();
    const QStringList connected = _cameras->connectedLocations();
    for (const QString& key : connected) {
        const QJsonObject data = _cameras->cameraData(key);
        QString location = data.value(QStringLiteral("LocationIdentity")).toString();
        if (location.isEmpty())
            location = key;
        list.append(QJsonObject{
            {QStringLiteral("location"), location},
            {QStringLiteral("model"),
             CameraListView::displayModelName(data.value(QStringLiteral("ModelName")).toString())},
            {QStringLiteral("shortName"), data.value(QStringLiteral("ShortName")).toString()},
            {QStringLiteral("steered"), location.compare(steered, Qt::CaseInsensitive) == 0},
            {QStringLiteral("default"), list.isEmpty()},
        });
    }
    return list;
}

QJsonObject ControlApiBridge::arrayObject() const {
    QString link = QStringLiteral("down");
    if (_link->state() == ArrayLink::Up)
        link = QStringLiteral("up");
    else if (_link->state() == ArrayLink::Reconnecting)
        link = QStringLiteral("reconnecting");
    const TrackingSettings& settings = _engine->settings();
    return QJsonObject{
        {QStringLiteral("device"), QString::fromLatin1(ArrayDevices::textOf(settings.soundDeviceIndex))},
        {QStringLiteral("address"), settings.ipAddress},
        {QStringLiteral("link"), link}};
}

QString ControlApiBridge::trackingText() const {
    return _engine->trackingText();
}

QJsonObject ControlApiBridge::state() {
    const int talker = _engine->talker();
    const int lastPreset = _engine->lastPreset();
    return QJsonObject{
        {QStringLiteral("cameras"), cameraList()},
        {QStringLiteral("connected"), connectedValue()},
        {QStringLiteral("connectedCameras"), connectedCameras()},
        {QStringLiteral("array"), arrayObject()},
        {QStringLiteral("tracking"), trackingText()},
        {QStringLiteral("talker"), talker > 0 ? QJsonValue(talker) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("lastPreset"),
         lastPreset >= 0 ? QJsonValue(lastPreset) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("awaited"), awaitedList()},
        {QStringLiteral("pauseSeconds"), pauseSeconds()},
        {QStringLiteral("lights"), litPositions()},
    };
}

QJsonArray ControlApiBridge::litPositions() const {
    QJsonArray lit;
    for (int position = 1; position < static_cast<int>(_lights.size()); ++position) {
        if (_lights[position])
            lit.append(position);
    }
    return lit;
}

QJsonValue ControlApiBridge::pauseSeconds() const {
    const int ms = _engine->pauseRemainingMs();
    if (ms <= 0 || trackingText() != QLatin1String("paused"))
        return QJsonValue(QJsonValue::Null);
    // Whole seconds, rounded up: a pause with 0.4 s left is still a pause.
    return QJsonValue((ms + 999) / 1000);
}

QJsonArray ControlApiBridge::awaitedList() const {
    QJsonArray list;
    const QList<CameraListView::AwaitedCamera> awaited = _cameras->awaitedCameras();
    for (const CameraListView::AwaitedCamera& camera : awaited)
        list.append(QJsonObject{{QStringLiteral("location"), camera.location},
                                {QStringLiteral("serial"), camera.serial},
                                {QStringLiteral("model"), camera.model}});
    return list;
}

void ControlApiBridge::setSteeredCamera(const QString& location) {
    _steered = location;
    announceCameras();
}

QString ControlApiBridge::commandCamera(const QString& requested) {
    if (!_commandRoute)
        return QString();
    return requested.isEmpty() ? steeredLocation() : connectedSpelling(requested);
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
        // A camera awaited after its unplug: disconnecting it ends the wait.
        const QList<CameraListView::AwaitedCamera> awaited = _cameras->awaitedCameras();
        for (const CameraListView::AwaitedCamera& camera : awaited)
            known = known || camera.location.compare(location, Qt::CaseInsensitive) == 0;
        if (!known) {
            message = QStringLiteral("no camera at \"%1\"").arg(location);
            return NoSuchCamera;
        }
    }
    // A named camera that is not connected: nothing changes, every other camera stays.
    _cameras->disconnectCamera(location);
    return 0;
}

void ControlApiBridge::sendCameraCommand(int commandId, int value, const QString& camera) {
    qDebug() << "ControlApiBridge::sendCameraCommand" << commandId << value << camera;
    // The interface's requests name commands in the camera's own code; the worker's table
    // turns them into the command every origin sends.
    std::optional<CameraCommand> command =
        CamUSBControlThread::fromWorkerCode(commandId, value, CameraCommand::Origin::ControlInterface);
    if (!command)
        return;
    // Named always: the default camera is not the one a client without "camera" means once
    // the panel steers another.
    command->camera = camera;
    _router->submit(*command);
}

bool ControlApiBridge::setTracking(bool on, QString&) {
    _engine->setTrackingEnabled(on);
    return true;
}

bool ControlApiBridge::pauseTracking(int seconds, QString&) {
    // 0 ends a pause.
    _engine->pauseTracking(seconds * 1000);
    return true;
}

QJsonArray ControlApiBridge::trackingLog(int count) {
    return _log->newestFirst(count);
}

void ControlApiBridge::slot_CamerasChanged() {
    broadcast(QStringLiteral("cameras"), QJsonObject{{QStringLiteral("cameras"), cameraList()}});
}

void ControlApiBridge::slot_ConnectUSBCamera(DC_Recv*) {
    // The list updates its connect order before it announces, so what it reads now is what
    // the announcement means.
    announceCameras();
}

void ControlApiBridge::slot_CameraReceiver(const QString&, DC_Recv*) {
    announceCameras();
    // After the main window has made or ended the camera's pump, whichever slot runs first.
    QTimer::singleShot(0, this, &ControlApiBridge::applyPictureDemand);
}

ControlApiBridge::~ControlApiBridge() = default;

PictureFeed* ControlApiBridge::pictureFeed(const QString& location) const {
    const auto it = _feeds.find(location.toLower());
    return it == _feeds.end() ? nullptr : it->second.get();
}

void ControlApiBridge::setPictureDemand(const QList<PictureWant>& wants) {
    _pictureWants = wants;
    applyPictureDemand();
}

void ControlApiBridge::applyPictureDemand() {
    std::map<QString, QList<int>> widths;
    for (const PictureWant& want : std::as_const(_pictureWants))
        widths[want.camera.toLower()].append(want.width);
    for (auto it = _feeds.begin(); it != _feeds.end();)
        it = widths.count(it->first) ? std::next(it) : _feeds.erase(it);
    for (const auto& [camera, wanted] : widths) {
        std::unique_ptr<PictureFeed>& feed = _feeds[camera];
        if (!feed) {
            const QString location = camera;
            feed = std::make_unique<PictureFeed>([this, location](int width, const QByteArray& jpeg) {
                if (_server)
                    _server->sendPicture(location, width, jpeg);
            });
        }
        FramePump* pump = _pumpLookup ? _pumpLookup(camera) : nullptr;
        feed->setCameraJpeg([f = feed.get()]() -> QByteArray {
            // The pump's receiver now: null once it is forgotten.
            DC_Recv* recv = f->pump() ? f->pump()->receiver() : nullptr;
            DC_JPEG_Frame jpeg{};
            // The newest not handed out yet, or none at once: never waits.
            if (!recv || recv->captureJPEG(&jpeg, 0) != DC_ERROR_NONE)
                return {};
            QByteArray bytes;
            if (jpeg.data && jpeg.size > 0 && jpeg.size <= kMaxPictureBytes)
                bytes = QByteArray(reinterpret_cast<const char*>(jpeg.data), jpeg.size);
            recv->freeJPEG(&jpeg);
            return bytes;
        });
        feed->setWidths(wanted);
        feed->setPump(pump);
    }
}

void ControlApiBridge::announceCameras() {
    const QString connected = steeredLocation();
    const QJsonArray cameras = connectedCameras();
    if (connected == _announcedConnected && cameras == _announcedCameras)
        return;
    _announcedConnected = connected;
    _announcedCameras = cameras;
    broadcast(QStringLiteral("camera"),
              QJsonObject{{QStringLiteral("connected"),
                           connected.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(connected)},
                          {QStringLiteral("connectedCameras"), cameras}});
}

void ControlApiBridge::slot_CommandRouted(const CameraCommand& command) {
    if (!command.isPresetCall())
        return;
    // A command naming no camera went to the default camera.
    const QString camera = command.camera.isEmpty() ? _cameras->connectedLocation() : command.camera;
    broadcast(QStringLiteral("preset"),
              QJsonObject{{QStringLiteral("lastPreset"), command.value},
                          {QStringLiteral("by"), CameraCommand::originName(command.origin)},
                          {QStringLiteral("camera"),
                           camera.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(camera)}});
}

void ControlApiBridge::broadcast(const QString& name, const QJsonObject& data) {
    if (_server)
        _server->broadcast(name, data);
}
