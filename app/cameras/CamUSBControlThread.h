#pragma once

#include <QThread>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>

#include <QString>

#include "CameraCommand.h"

class DC_Recv;

// The camera command worker: the command router hands it CameraCommands and the worker runs
// them on its own thread against the cameras' receivers, because a control call can block for
// as long as a USB control transfer takes. Here, and only here, a command becomes the
// camera's (command code, value) pair; the numeric entry slot_AddUSBCommand takes such pairs
// directly.
//
// Every receiver has a queue of its own: commands to one camera run in arrival order, and the
// worker takes the cameras in turn, one command each, so a burst for one camera does not hold
// up another. A command naming a camera (its location identity) goes to the receiver
// announced for that location (slot_SetCameraReceiver); one naming none goes to the default
// receiver (slot_ConnectUSBCamera: the camera list's first connected camera). A command for a
// camera that is not connected is dropped, not kept for a later one. (A host that announces
// no named camera at all gets every command on its default receiver.) Commands that named no
// camera follow the default: when it changes they move to the new default receiver, and
// while there is none they wait for the next one.
//
// Threading:
//  - slot_ConnectUSBCamera, slot_AddUSBCommand, slot_AddCameraCommand and requestStop run on
//    the caller's thread (the interface thread: the object lives there and its connections
//    are direct).
//  - run() executes on the worker thread. It sleeps on _wake while the queue is empty or no
//    receiver is set, and is woken by a new command, a receiver change or requestStop; an
//    idle worker costs no processor time.
//  - _mutex guards the receivers, the queues and the stop flag. A command runs with _mutex
//    held, so a receiver change (and requestStop) waits for the command in progress: after
//    slot_ConnectUSBCamera(nullptr) or slot_SetCameraReceiver(location, nullptr) returns for
//    every role a receiver had, no command uses it any more and its owner may destroy it. That lock is held
//    across the library call on purpose; the library never calls back into the worker.
//  - Between two commands the worker pauses 100 us without the lock, so that a burst of
//    commands never keeps a camera's control channel busy back to back.
class CamUSBControlThread : public QThread {
    Q_OBJECT

public:
    // One queued command, in the camera's code.
    struct QueuedCommand {
        int32_t commandID = 0;
        int32_t commandValue = 0;
        bool toDefault = false;  // named no camera: runs on whichever receiver is the default
    };

    static constexpr int kCommandGapUs = 100;

    explicit CamUSBControlThread(QObject* parent = nullptr);
    // Stops and joins the thread (a running QThread must not be destroyed).
    ~CamUSBControlThread() override;

    // Ends the run loop: clears the receiver and discards every queued command. Waits for a
    // command in progress. Final: a stopped worker stays stopped, even when the stop comes
    // before the thread got to run.
    void requestStop();

    // What one command does on a receiver; codes and values outside the table do nothing.
    static void executeCommand(DC_Recv* recv, const QueuedCommand& command);

    // The code table: a command's (command code, value), and the command a pair stands for
    // (nothing for a code outside the table; a pan/tilt value outside 21-29 is the stop).
    static std::pair<int, int> workerCode(const CameraCommand& command);
    static std::optional<CameraCommand> fromWorkerCode(int commandID, int commandValue,
                                                       CameraCommand::Origin origin);

    // Commands waiting for their turn, over all cameras (tests, diagnostics).
    int queuedCommands() const;

public slots:
    // The default receiver: commands naming no camera (null: none).
    void slot_ConnectUSBCamera(DC_Recv* recv);
    // The receiver of the camera at `location` (any case; null: that camera is gone).
    void slot_SetCameraReceiver(QString location, DC_Recv* recv);
    void slot_AddUSBCommand(int commandID, int commandValue);
    // A command of the router, in its code.
    void slot_AddCameraCommand(CameraCommand command);

protected:
    void run() override;

private:
    // Needs _mutex: queues `command` for `recv` (nothing for null).
    void enqueueLocked(DC_Recv* recv, const QueuedCommand& command);
    // Needs _mutex: drops the queues of receivers that are neither default nor named.
    void pruneLocked();
    // Needs _mutex: the next receiver in turn with a command waiting; null when none waits.
    DC_Recv* nextInTurnLocked() const;

    mutable std::mutex _mutex;
    std::condition_variable _wake;       // signalled under _mutex
    DC_Recv* _receiver = nullptr;        // guarded by _mutex; not owned; the default
    std::map<QString, DC_Recv*> _named;  // guarded by _mutex; lower-case location
    bool _stopRequested = false;         // guarded by _mutex
    // guarded by _mutex: one queue per receiver, oldest first
    std::map<DC_Recv*, std::deque<QueuedCommand>> _queues;
    DC_Recv* _lastServed = nullptr;  // guarded by _mutex; whose command ran last (only compared)
    std::deque<QueuedCommand> _waitingForDefault;  // guarded by _mutex; while there is no default
};
