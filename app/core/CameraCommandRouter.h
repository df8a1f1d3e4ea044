#pragma once

#include <QObject>
#include <QPointer>

#include "CameraCommand.h"

class TrackingEngine;

// The one way a camera command takes: the PTZ panel, its keys, the tracking and the control
// interface all submit here. The router hands every command to the command worker (through
// signal_Command, which the main window connects once the worker runs; before that a command
// reaches no camera), tells whoever watches what was sent (signal_Routed: the control
// interface's "preset" event), and tells the tracker about an operator's command, which
// pauses tracking and clears the preset tracking called last. In that order, so a watcher
// hears the operator's preset before the pause it causes.
//
// Threading: interface thread only; the worker's slot takes the command under its own lock.
class CameraCommandRouter : public QObject {
    Q_OBJECT

public:
    explicit CameraCommandRouter(QObject* parent = nullptr);

    // The tracker that hears about operators' commands; not owned.
    void setTrackingEngine(TrackingEngine* engine);

public slots:
    void submit(const CameraCommand& command);

signals:
    void signal_Command(CameraCommand command);
    void signal_Routed(CameraCommand command);

private:
    QPointer<TrackingEngine> _engine;
};
