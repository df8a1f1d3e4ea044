#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

#include "ProgramCut.h"
#include "ProgramSettings.h"

class QTimer;

// Which camera is the program ("program camera"), decided from the connected cameras, the
// shots tracking decides and the operator's cuts. The far end must never see a camera move:
//  - at start (and whenever none is live) the program is the first connected camera in the
//    camera list's order;
//  - a shot decided on another camera: that camera gets its preset first (the caller has sent
//    it when it tells the switcher), and the program cuts to it once the camera has had
//    CutDelay ms to arrive (0: at once);
//  - a shot on the live camera itself, by SameCameraMove: "move" (the program stays and shows
//    the move), "freeze" (the program holds its last picture until the move has had CutDelay
//    ms), "wide" (the program cuts to the wide camera while the live one moves and back after
//    CutDelay; "freeze" when the wide camera is not connected, is the live camera, or is
//    moving itself);
//  - one decision may move several cameras (a return home of every camera): the live camera
//    among them is a move on the live camera; otherwise the first of them is the new shot;
//  - the newest decision wins: a shot decided while a cut waits replaces it;
//  - a manual cut (the panel's, the control interface's `program.set`) cuts at once and ends
//    any waiting cut, freeze or cover;
//  - the live camera unplugged: the program cuts at once to the next connected camera after
//    it in the list's order (wrapping round); a wide camera unplugged while it covers a move
//    gives the program back to the moving camera, frozen for the rest of the move.
// The switcher only decides: the program output applies a cut on its next frame boundary,
// and the views, the decision log and the control interface hear signal_Cut.
//
// Threading: interface thread only (the tracking, the camera list and the control interface
// live there; the program output takes the decisions through its own locked setters).
class ProgramSwitcher : public QObject {
    Q_OBJECT

public:
    explicit ProgramSwitcher(QObject* parent = nullptr);
    ~ProgramSwitcher() override;

    // The system's clock by default; tests put in a manual one and call runDue().
    void setClock(std::function<qint64()> clock);
    qint64 now() const { return _clock(); }

    const ProgramSettings& settings() const { return _settings; }
    // Takes the delay and the same-camera rule for the decisions that follow; a cut already
    // waiting keeps its time.
    void setSettings(const ProgramSettings& settings);

    // The connected cameras in the camera list's order (location identities).
    void setCameras(const QStringList& locations);
    const QStringList& cameras() const { return _cameras; }

    // A decision moved `moved` (their presets or home moves have been sent), for `reason`.
    void shotDecided(const QStringList& moved, const QString& reason);

    // Cuts to `location` at once; the error text when it is not a connected camera (nothing
    // changes then), empty when it cut or was live already.
    QString setProgram(const QString& location, const QString& reason = QStringLiteral("manual cut"));

    // The live camera; empty when no camera is connected.
    QString programCamera() const { return _program; }
    // The program holds its last picture (a move of the live camera under "freeze").
    bool isFrozen() const { return _frozen; }
    // A cut or an end of a freeze waits; when it is due (ms since the epoch, 0: none).
    qint64 wakeDueMs() const { return _pending.kind == Pending::None ? 0 : _pending.dueMs; }
    // The camera the program is waiting to cut to; empty: none.
    QString pendingCamera() const { return _pending.kind == Pending::None ? QString() : _pending.camera; }

    // Runs what is due now (what the wake-up does when it fires; early calls do nothing).
    void runDue();

signals:
    void signal_Cut(ProgramCut cut);
    void signal_FrozenChanged(bool frozen);

private:
    struct Pending {
        enum Kind { None, Cut, Unfreeze, BackFromWide } kind = None;
        QString camera;
        QString reason;
        qint64 decidedMs = 0;
        qint64 dueMs = 0;
    };

    // The camera the program belongs to: while the wide camera covers a move, the moving one.
    QString owner() const;
    // Makes `camera` the program (no signal when it already is) and sets the freeze.
    void cutTo(const QString& camera, const QString& reason, qint64 decidedMs, bool frozen = false);
    void setFrozen(bool frozen);
    void wait(Pending::Kind kind, const QString& camera, const QString& reason, qint64 decidedMs);
    void moveOnLive(const QString& live, const QStringList& moved, const QString& reason);
    void clearPending() { _pending = Pending(); }
    void settle();

    ProgramSettings _settings;
    QStringList _cameras;
    QString _program;
    bool _frozen = false;
    Pending _pending;
    QTimer* _wake = nullptr;  // child; single shot
    std::function<qint64()> _clock;
};
