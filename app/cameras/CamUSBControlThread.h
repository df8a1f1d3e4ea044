#pragma once

#include <QThread>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>

#include "CameraCommand.h"

class DC_Recv;

// The camera command worker: the command router hands it CameraCommands and the worker runs
// them one by one, in arrival order, on its own thread against the connected camera's
// receiver, because a control call can block for as long as a USB control transfer takes.
// Here, and only here, a command becomes the camera's (command code, value) pair; the
// numeric entry slot_AddUSBCommand takes such pairs directly.
//
// Threading:
//  - slot_ConnectUSBCamera, slot_AddUSBCommand, slot_AddCameraCommand and requestStop run on
//    the caller's thread (the interface thread: the object lives there and its connections
//    are direct).
//  - run() executes on the worker thread. It sleeps on _wake while the queue is empty or no
//    receiver is set, and is woken by a new command, a receiver change or requestStop; an
//    idle worker costs no processor time.
//  - _mutex guards the receiver, the queue and the stop flag. A command runs with _mutex
//    held, so a receiver change (and requestStop) waits for the command in progress: after
//    slot_ConnectUSBCamera(nullptr) returns, no command uses the old receiver any more and
//    its owner may destroy it. That lock is held across the library call on purpose; the
//    library never calls back into the worker.
//  - Between two commands the worker pauses 100 us without the lock, so that a burst of
//    commands never keeps a camera's control channel busy back to back.
class CamUSBControlThread : public QThread {
    Q_OBJECT

public:
    // One queued command, in the camera's code.
    struct QueuedCommand {
        int32_t commandID = 0;
        int32_t commandValue = 0;
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

    // Commands waiting for their turn (tests, diagnostics).
    int queuedCommands() const;

public slots:
    void slot_ConnectUSBCamera(DC_Recv* recv);
    void slot_AddUSBCommand(int commandID, int commandValue);
    // A command of the router, in its code.
    void slot_AddCameraCommand(CameraCommand command);

protected:
    void run() override;

private:
    mutable std::mutex _mutex;
    std::condition_variable _wake;            // signalled under _mutex
    DC_Recv* _receiver = nullptr;             // guarded by _mutex; not owned
    bool _stopRequested = false;              // guarded by _mutex
    std::deque<QueuedCommand> _commandQueue;  // guarded by _mutex; oldest first
};
