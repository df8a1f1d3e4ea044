#pragma once

#include <QList>
#include <QObject>

#include "KXPlatformExports.h"
#include "vexsdk.h"

class PreviewOpenThread;
class QTimer;

// Whoever wants a camera's pictures: the PTZ panel's preview today.
class FrameConsumer {
public:
    virtual ~FrameConsumer() = default;
    // One decoded frame, lent for the duration of the call.
    virtual void consumeFrame(const DC_Video_Frame& frame) = 0;
    // Pictures flow (the stream has been started) or no longer do (stopped, or forgotten).
    virtual void streamStateChanged(bool streaming) { (void)streaming; }
    // The receiver says it does not run any more (its stream ended or failed).
    virtual void streamEnded() {}
    // The stream could not be started, and why: Busy (another program streams the camera; the
    // pump tries again every kBusyRetryMs) or NoPermission (it does not try again).
    virtual void streamRefused(KXOpenFailure why) { (void)why; }
};

// The one puller of a connected receiver's pictures. A receiver's capture calls serve one
// caller (each frame is handed out once), so every consumer of a camera's pictures gets them
// from its pump: each 10 ms the pump takes the next decoded frame with captureVideo (timeout
// 0), hands it to every consumer in turn and returns it with freeVideo.
//
// The receiver streams while any consumer is attached: the first one asks the pump's own
// PreviewOpenThread for startPreview and the pull starts once that has returned; when the
// last one leaves, the pull stops at once and stopPreview is left to that thread. Neither
// holds up the interface.
//
// A start that failed because another program streams the camera (a video call that holds the
// capture device) is tried again every kBusyRetryMs while anyone wants the pictures, so the
// picture comes back by itself once that program lets go. Only the pictures wait: the camera's
// commands take its extension unit, which the other program does not hold.
//
// Threading: interface thread only (its timer runs there; the open thread's end reaches it
// queued). Consumers are called on it and may attach or detach themselves from inside a call.
class FramePump : public QObject {
    Q_OBJECT

public:
    static constexpr int kPullIntervalMs = 10;
    static constexpr int kBusyRetryMs = 2000;

    // `recv`: not owned; see forget().
    explicit FramePump(DC_Recv* recv, QObject* parent = nullptr);
    // Forgets the receiver (waits for a call in progress on it).
    ~FramePump() override;

    DC_Recv* receiver() const { return _receiver; }

    void addConsumer(FrameConsumer* consumer);
    void removeConsumer(FrameConsumer* consumer);
    int consumerCount() const { return static_cast<int>(_consumers.size()); }

    // The pull runs (the stream is started and someone wants it).
    bool isPulling() const;
    // A start failed because another program streams the camera, and the next try is due.
    bool isWaitingForBusyCamera() const;
    PreviewOpenThread* openThread() const { return _thread; }

    // The receiver is about to be destroyed: returns once no call runs on it and none will;
    // every consumer hears that pictures stopped and is dropped. Safe to call twice.
    void forget();

private slots:
    void threadSettled();
    void pull();
    void retryBusyStart();

private:
    void setStreaming(bool on);

    DC_Recv* _receiver = nullptr;          // not owned; null once forgotten
    PreviewOpenThread* _thread = nullptr;  // child
    QTimer* _timer = nullptr;              // child
    QTimer* _retryTimer = nullptr;         // child: single shot, while the camera is busy
    QList<FrameConsumer*> _consumers;      // not owned
    DC_Video_Frame _frame{};               // reused for every capture
};
