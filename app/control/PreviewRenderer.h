#pragma once

#include <QObject>
#include <QPointer>

#include "FramePump.h"
#include "PreviewFrameSource.h"
#include "vexsdk.h"

class PreviewWindow;
class QTimer;

// The preview's render object: every 10 ms, on the interface thread, it takes the next
// decoded frame from the receiver with captureVideo (timeout 0: it never waits), draws it into
// the preview window and hands it back with freeVideo. At 30 frames per second about two
// ticks in three find no frame; that costs one queue look each.
//
// Results of captureVideo: 0 a frame (drawn when the window shows and the format is one the
// preview draws; freed in every case), 1 no frame yet (nothing), 2 the receiver is not running
// (both signals; the window says that no picture comes).
//
// The pull must not run while the receiver's startPreview or stopPreview runs on another
// thread: the panel starts this object only after startPreview has returned and stops it
// before asking for stopPreview.
//
// Fed instead by a camera's FramePump (as the PTZ panel uses it), it pulls nothing itself:
// the pump hands it each frame (drawn as above) and tells it when the receiver stops running.
//
// Threading: interface thread only (its timer runs there).
class PreviewRenderer : public QObject, public FrameConsumer {
    Q_OBJECT

public:
    static constexpr int kPullIntervalMs = 10;

    // `window`: the surface frames are drawn on (not owned; may be null: frames are then
    // captured and freed, never drawn).
    PreviewRenderer(QObject* parent, PreviewWindow* window);
    ~PreviewRenderer() override;

    // The receiver to pull from (not owned; null pulls nothing).
    void setReceiver(DC_Recv* recv);
    // Pulls from `source` instead of a receiver (not owned; tests and the benchmark).
    void setFrameSource(PreviewFrameSource* source);

    void start();
    void stop();
    // Stops for good: stops the timer, disconnects and deletes it, forgets the receiver. The
    // argument is not read.
    void release(DC_Recv* recv);

    // Pulling itself, or fed by a pump whose stream runs.
    bool isPulling() const;

    // FrameConsumer: what a pump hands over.
    void consumeFrame(const DC_Video_Frame& frame) override;
    void streamStateChanged(bool streaming) override { _fed = streaming; }
    void streamEnded() override;
    // The window says why no picture comes (another program holds the camera, or this user
    // may not open it).
    void streamRefused(KXOpenFailure why) override;
    DC_Error_Type lastResult() const { return _lastResult; }

signals:
    void signal_stopPreview_4K();
    void signal_StopRecordAndTimeLapse();

public slots:
    void refleshVideo_QuillonThreadRender();

private:
    QPointer<PreviewWindow> _window;  // not owned
    ReceiverFrameSource _receiverSource;
    PreviewFrameSource* _source = nullptr;  // &_receiverSource or the caller's; null: none
    QTimer* _timer = nullptr;               // owned; null after release
    DC_Video_Frame _frame{};                // reused for every capture
    DC_Error_Type _lastResult = DC_ERROR_TIMEOUT;
    bool _fed = false;  // a pump's stream runs and hands this object its frames
};
