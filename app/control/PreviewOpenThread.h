#pragma once

#include <QThread>

#include <mutex>

class DC_Recv;

// The PTZ panel's own thread for starting and stopping a receiver's preview. startPreview
// opens and analyses the camera's stream, which takes a second or more for an H.264 camera,
// and stopPreview joins the receiver's threads; neither may run on the interface thread, or
// the whole interface would stand still meanwhile.
//
// The interface thread says what it wants (the preview running on a receiver, or stopped);
// the thread brings the receiver there, one call at a time, and ends when what it did last is
// what is wanted. A change of mind while a call runs is taken up when that call returns: a
// panel closed during an open stops the receiver right after the open; one opened again
// before that simply keeps it running.
//
// Threading:
//  - requestStart, requestRestart, requestStop, forget, isStartedOn and isBusy: interface
//    thread only.
//  - run(): the thread. It calls startPreview/stopPreview without the lock.
//  - _mutex guards _wanted, _started, _restart and _busy. _busy is set by the interface thread before
//    it starts the thread and cleared by run() in the same critical section in which it
//    finds nothing more to do, so a request either is seen by the running thread or starts a
//    new run; never both, never neither.
//  - The capture calls (the panel's 10 ms pull) must not overlap a start or a stop: the panel
//    pulls only while isStartedOn(receiver) holds and stops pulling before any request.
//  - QThread::finished reaches the panel (queued) each time the thread has settled.
class PreviewOpenThread : public QThread {
    Q_OBJECT

public:
    explicit PreviewOpenThread(QObject* parent = nullptr);
    // Stops the preview it started and waits (bounded by the open's timeouts).
    ~PreviewOpenThread() override;

    // The preview should run on `recv`: started (after stopping another receiver it runs on).
    void requestStart(DC_Recv* recv);
    // The preview should run on `recv` from a fresh start: stopped and started again even if
    // it is already started there (a start that failed because the camera was busy).
    void requestRestart(DC_Recv* recv);
    // The preview should not run: stopped once any call in progress has returned.
    void requestStop();
    // `recv` is about to be destroyed: returns once no call runs on it and none will. A start
    // in progress is waited for (this rare wait is bounded by the open's timeouts) and undone.
    // An idle started receiver is not stopped here: its destruction stops it.
    void forget(DC_Recv* recv);

    // True when the preview runs on `recv` and nothing is in progress: the pull may run.
    bool isStartedOn(const DC_Recv* recv) const;
    bool isBusy() const;

protected:
    void run() override;

private:
    void kick();  // needs _mutex held through `lock`; starts a run unless one is going

    mutable std::mutex _mutex;
    DC_Recv* _wanted = nullptr;   // guarded by _mutex: where the preview should run, or null
    DC_Recv* _started = nullptr;  // guarded by _mutex: started there and not stopped since
    bool _busy = false;           // guarded by _mutex: a run is going or about to
    bool _restart = false;        // guarded by _mutex: stop _started even if it is _wanted
};
