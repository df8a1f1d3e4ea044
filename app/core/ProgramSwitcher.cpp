#include "ProgramSwitcher.h"

#include <QDateTime>
#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <climits>

namespace {

qint64 systemClock() {
    return QDateTime::currentMSecsSinceEpoch();
}

QStringList lowered(const QStringList& locations) {
    QStringList out;
    out.reserve(locations.size());
    for (const QString& location : locations) {
        const QString l = location.trimmed().toLower();
        if (!l.isEmpty() && !out.contains(l))
            out.append(l);
    }
    return out;
}

}  // namespace

ProgramSwitcher::ProgramSwitcher(QObject* parent) : QObject(parent), _clock(systemClock) {
    qRegisterMetaType<ProgramCut>();
    _wake = new QTimer(this);
    _wake->setObjectName(QStringLiteral("programWake"));
    _wake->setSingleShot(true);
    _wake->setTimerType(Qt::PreciseTimer);
    connect(_wake, &QTimer::timeout, this, &ProgramSwitcher::runDue);
}

ProgramSwitcher::~ProgramSwitcher() {
    _wake->stop();
}

void ProgramSwitcher::setClock(std::function<qint64()> clock) {
    _clock = clock ? std::move(clock) : std::function<qint64()>(systemClock);
    settle();
}

void ProgramSwitcher::setSettings(const ProgramSettings& settings) {
    _settings = settings;
    _settings.wideCamera = _settings.wideCamera.trimmed().toLower();
}

QString ProgramSwitcher::owner() const {
    return _pending.kind == Pending::BackFromWide ? _pending.camera : _program;
}

void ProgramSwitcher::setCameras(const QStringList& locations) {
    const QStringList before = _cameras;
    _cameras = lowered(locations);
    if (_pending.kind != Pending::None && !_cameras.contains(_pending.camera))
        clearPending();

    if (_program.isEmpty()) {
        if (!_cameras.isEmpty())
            cutTo(_cameras.first(), QStringLiteral("first connected camera"), now());
        settle();
        return;
    }
    if (_cameras.contains(_program)) {
        settle();
        return;
    }
    if (_pending.kind == Pending::BackFromWide) {
        // The wide camera went while it covered a move: the moving camera takes the program
        // back, held on the last picture until its move has had its time.
        const QString moving = _pending.camera;
        _pending.kind = Pending::Unfreeze;
        cutTo(moving, QStringLiteral("wide camera unplugged"), now(), true);
        settle();
        return;
    }
    // The next camera after the lost one in the order the list had, wrapping round: the
    // neighbour in the list is what an operator expects, not whichever happens to be first.
    QString next;
    const int lost = static_cast<int>(before.indexOf(_program));
    for (int i = 1; i <= before.size() && next.isEmpty(); ++i) {
        const QString& candidate = before.at((lost + i) % before.size());
        if (_cameras.contains(candidate))
            next = candidate;
    }
    if (next.isEmpty() && !_cameras.isEmpty())
        next = _cameras.first();
    clearPending();
    cutTo(next,
          next.isEmpty() ? QStringLiteral("no camera connected") : QStringLiteral("live camera unplugged"),
          now());
    settle();
}

void ProgramSwitcher::shotDecided(const QStringList& moved, const QString& reason) {
    QStringList connected;
    for (const QString& camera : lowered(moved)) {
        if (_cameras.contains(camera))
            connected.append(camera);
    }
    if (connected.isEmpty())
        return;
    const QString live = owner();
    if (connected.contains(live)) {
        moveOnLive(live, connected, reason);
    } else if (connected.contains(_program)) {
        // The wide camera itself was given the shot while it covers: it is the camera on air
        // that moves, and the shot is its own once it has arrived.
        setFrozen(_settings.cutDelayMs > 0);
        wait(Pending::Cut, _program, QStringLiteral("shot on %1: %2").arg(_program, reason), now());
    } else {
        const QString target = connected.first();
        wait(Pending::Cut, target, QStringLiteral("shot on %1: %2").arg(target, reason), now());
    }
    settle();
}

void ProgramSwitcher::moveOnLive(const QString& live, const QStringList& moved, const QString& reason) {
    const qint64 decided = now();
    const ProgramSettings::SameCameraMove rule = _settings.sameCameraMove;
    if (rule == ProgramSettings::SameCameraMove::Move || _settings.cutDelayMs == 0) {
        // Moves on air; a cut that waited for another camera is superseded by this shot.
        clearPending();
        cutTo(live, QStringLiteral("shot on %1: %2").arg(live, reason), decided);
        return;
    }
    const QString wide = _settings.wideCamera;
    if (rule == ProgramSettings::SameCameraMove::Wide && !wide.isEmpty() && wide != live &&
        _cameras.contains(wide) && !moved.contains(wide)) {
        cutTo(wide, QStringLiteral("wide while %1 moves: %2").arg(live, reason), decided);
        _pending =
            Pending{Pending::BackFromWide, live, QStringLiteral("back from wide: %1 has arrived").arg(live),
                    decided, decided + _settings.cutDelayMs};
        return;
    }
    // "freeze", or "wide" with no wide camera that could cover.
    setFrozen(true);
    wait(Pending::Unfreeze, live, QStringLiteral("%1 has arrived: %2").arg(live, reason), decided);
}

void ProgramSwitcher::wait(Pending::Kind kind, const QString& camera, const QString& reason,
                           qint64 decidedMs) {
    if (_settings.cutDelayMs == 0) {
        clearPending();
        cutTo(camera, reason, decidedMs);
        return;
    }
    _pending = Pending{kind, camera, reason, decidedMs, decidedMs + _settings.cutDelayMs};
}

QString ProgramSwitcher::setProgram(const QString& location, const QString& reason) {
    const QString camera = location.trimmed().toLower();
    if (!_cameras.contains(camera))
        return camera.isEmpty() ? QStringLiteral("No camera was named.")
                                : QStringLiteral("No camera is connected at \"%1\".").arg(camera);
    clearPending();
    cutTo(camera, reason, now());
    settle();
    return QString();
}

void ProgramSwitcher::runDue() {
    if (_pending.kind == Pending::None || now() < _pending.dueMs) {
        settle();
        return;
    }
    const Pending due = _pending;
    clearPending();
    cutTo(due.camera, due.reason, due.decidedMs);
    settle();
}

void ProgramSwitcher::cutTo(const QString& camera, const QString& reason, qint64 decidedMs, bool frozen) {
    const bool wasFrozen = _frozen;
    _frozen = frozen;
    ProgramCut cut;
    const bool changed = camera != _program;
    if (changed) {
        cut = ProgramCut{camera, _program, reason, decidedMs, now()};
        _program = camera;
        qDebug() << "ProgramSwitcher::cutTo" << cut.previous << "->" << camera << reason;
    }
    // State first, then the signals: a listener that asks back sees the cut complete.
    if (changed)
        emit signal_Cut(cut);
    if (_frozen != wasFrozen)
        emit signal_FrozenChanged(_frozen);
}

void ProgramSwitcher::setFrozen(bool frozen) {
    if (_frozen == frozen)
        return;
    _frozen = frozen;
    emit signal_FrozenChanged(_frozen);
}

void ProgramSwitcher::settle() {
    const qint64 due = wakeDueMs();
    if (due == 0) {
        _wake->stop();
        return;
    }
    _wake->start(static_cast<int>(std::clamp<qint64>(due - now(), 0, INT_MAX)));
}
