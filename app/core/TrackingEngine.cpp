#include "TrackingEngine.h"

#include <QDateTime>
#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <climits>

#include "ArrayLink.h"
#include "CameraCommandRouter.h"
#include "DecisionLog.h"

namespace {

using Kind = TrackerDecision::Kind;

qint64 systemClock() {
    return QDateTime::currentMSecsSinceEpoch();
}

}  // namespace

TrackingEngine::TrackingEngine(QObject* parent) : QObject(parent), _clock(systemClock) {
    _wake = new QTimer(this);
    _wake->setObjectName(QStringLiteral("trackingWake"));
    _wake->setSingleShot(true);
    _wake->setTimerType(Qt::PreciseTimer);
    connect(_wake, &QTimer::timeout, this, &TrackingEngine::runDue);
    _announcedState = trackingText();
}

TrackingEngine::~TrackingEngine() {
    _wake->stop();
}

void TrackingEngine::setRouter(CameraCommandRouter* router) {
    _router = router;
}

void TrackingEngine::setLink(ArrayLink* link) {
    connect(link, &ArrayLink::signal_Up, this, &TrackingEngine::onLinkUp);
    connect(link, &ArrayLink::signal_Down, this, &TrackingEngine::onLinkDown);
    connect(link, &ArrayLink::signal_ShureEvent, this, &TrackingEngine::onShureEvent);
    connect(link, &ArrayLink::signal_SennheiserEvent, this, &TrackingEngine::onSennheiserEvent);
    connect(link, &ArrayLink::signal_NurevaReport, this, &TrackingEngine::onNurevaReport);
    connect(link, &ArrayLink::signal_YamahaEvent, this, &TrackingEngine::onYamahaEvent);
}

void TrackingEngine::setClock(std::function<qint64()> clock) {
    _clock = clock ? std::move(clock) : std::function<qint64()>(systemClock);
    settle();
}

void TrackingEngine::setSettings(const TrackingSettings& settings) {
    apply(_tracker.setSettings(settings, now()));
}

void TrackingEngine::setPositionMap(const PositionMap& map) {
    _tracker.setPositionMap(map);
}

void TrackingEngine::setDevice(int deviceType, int brand) {
    _tracker.setDevice(deviceType, brand);
}

void TrackingEngine::setCamera(const QString& location) {
    _tracker.setCamera(location.toStdString());
}

void TrackingEngine::setCameras(const QStringList& locations) {
    std::vector<std::string> cameras;
    cameras.reserve(static_cast<std::size_t>(locations.size()));
    for (const QString& location : locations) cameras.push_back(location.toStdString());
    _tracker.setCameras(cameras);
}

void TrackingEngine::connectAttempt() {
    apply(_tracker.connectAttempt(now()));
}

void TrackingEngine::resetPositions() {
    apply(_tracker.resetPositions(now()));
}

void TrackingEngine::setTrackingEnabled(bool on) {
    apply(_tracker.setEnabled(on, now()));
}

void TrackingEngine::pauseTracking(int ms) {
    apply(_tracker.pause(ms, now()));
}

QString TrackingEngine::trackingText() const {
    if (!_tracker.isEnabled())
        return QStringLiteral("off");
    return _tracker.pauseRemainingMs(now()) > 0 ? QStringLiteral("paused") : QStringLiteral("on");
}

void TrackingEngine::operatorCommand(const CameraCommand& command) {
    apply(_tracker.operatorCommand(command, now()));
}

int TrackingEngine::callPresetForPosition(int position) {
    const TalkerTracker::Decisions decisions = _tracker.callPresetForPosition(position, now());
    apply(decisions);
    for (const TrackerDecision& d : decisions) {
        if (d.kind == Kind::Preset)
            return d.preset;
    }
    return -1;
}

void TrackingEngine::armReturnHome(bool armed) {
    apply(_tracker.armReturnHome(armed, now()));
}

void TrackingEngine::returnHomeNow() {
    apply(_tracker.returnHome(now()));
}

void TrackingEngine::runDue() {
    apply(_tracker.tick(now()));
}

void TrackingEngine::runTriggerCheck() {
    // A check asked for from outside runs at once, whatever the wake-up would wait for.
    apply(_tracker.checkTalkers(now()));
}

void TrackingEngine::processYamahaText(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    for (const YamahaEvent& event :
         YamahaProtocol::parse(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())))) {
        if (event.kind == YamahaEvent::BeamDirection)
            onYamahaEvent(event);
    }
}

bool TrackingEngine::isWakePending() const {
    return _wake->isActive();
}

void TrackingEngine::onLinkUp() {
    apply(_tracker.linkUp(now()));
}

void TrackingEngine::onLinkDown() {
    apply(_tracker.linkDown(now()));
}

void TrackingEngine::onShureEvent(const ShureEvent& event) {
    apply(_tracker.shure(event, now()));
}

void TrackingEngine::onSennheiserEvent(const SennheiserEvent& event) {
    apply(_tracker.sennheiser(event, now()));
}

void TrackingEngine::onNurevaReport(const NurevaReport& report) {
    const TalkerTracker::Decisions decisions = _tracker.nureva(report, now());
    if (report.powerLevel <= 0 ||
        _tracker.positionMap().positionForAzimuth(_tracker.brand(), report.azimuth) < 1)
        qDebug() << "TrackingEngine::onNurevaReport"
                 << "power level 0 azimuthInt:" << report.azimuth;
    apply(decisions);
}

void TrackingEngine::onYamahaEvent(const YamahaEvent& event) {
    qDebug() << "TrackingEngine::onYamahaEvent"
             << "phi:" << event.phi << "theta:" << event.theta << "voice:" << event.voice;
    apply(_tracker.yamaha(event, now()));
}

// ---- carrying decisions out --------------------------------------------------------------------

void TrackingEngine::send(const CameraCommand& command) {
    if (_router)
        _router->submit(command);
    emit signal_TrackingCommand(command);
}

void TrackingEngine::apply(const TalkerTracker::Decisions& decisions) {
    QStringList moved;
    QString movedReason;
    for (const TrackerDecision& d : decisions) {
        const QString camera = QString::fromStdString(d.camera);
        if ((d.kind == Kind::Preset || d.kind == Kind::Several || d.kind == Kind::Home) &&
            !moved.contains(camera)) {
            if (moved.isEmpty())
                movedReason = QString::fromLatin1(d.reason);
            moved.append(camera);
        }
        switch (d.kind) {
            case Kind::Light:
                emit signal_Light(d.position, d.on);
                break;
            case Kind::Azimuth:
                emit signal_Azimuth(d.azimuth);
                break;
            case Kind::Talker:
                emit signal_TalkerPositionChanged(d.position);
                break;
            case Kind::Preset:
            case Kind::Several:
                if (d.kind == Kind::Preset)
                    emit signal_PositionDue(d.position);
                qDebug() << "TrackingEngine::apply" << (d.kind == Kind::Preset ? "preset" : "several talkers")
                         << d.preset << "position" << d.position << d.reason;
                send(CameraCommand::preset(d.preset, CameraCommand::Origin::Tracking, camera));
                break;
            case Kind::Home:
                send(d.preset == 0 ? CameraCommand::preset(0, CameraCommand::Origin::Tracking, camera)
                                   : CameraCommand::panTilt(CameraCommand::Direction::Home,
                                                            CameraCommand::Origin::Tracking, camera));
                break;
            case Kind::Dropped:
                if (d.asked && d.dropped == Kind::Preset && d.position > 0)
                    emit signal_PositionDue(d.position);
                break;
        }
        if (d.isAction() && d.logged && _log)
            _log->append(d);
    }
    if (!moved.isEmpty())
        emit signal_ShotDecided(moved, movedReason);
    settle();
}

void TrackingEngine::settle() {
    if (_tracker.isReturnHomeArmed() != _homeArmed) {
        _homeArmed = _tracker.isReturnHomeArmed();
        qDebug() << "SoundDeviceSetting::setBackHomeTimerIsStart"
                 << "isStart:" << _homeArmed;
    }
    const QString state = trackingText();
    if (state != _announcedState) {
        _announcedState = state;
        emit signal_TrackingStateChanged();
    }
    const qint64 due = _tracker.nextWakeMs();
    if (due == 0) {
        _wake->stop();
        _wakeDueMs = 0;
        return;
    }
    _wakeDueMs = due;
    _wake->start(static_cast<int>(std::clamp<qint64>(due - now(), 0, INT_MAX)));
}
