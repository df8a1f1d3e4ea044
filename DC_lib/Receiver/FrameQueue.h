#pragma once

#include "KXRing.h"

extern "C" {
#include <libavutil/frame.h>
}

// Fixed-capacity ring of decoded frames between exactly one producer thread (a decoder) and
// one consumer thread (the capture calls, the render thread or the recorder). Putting and
// taking move frame references; pixels and samples are never copied and nothing is
// allocated after construction.
//
// Threading: see KXRing. lastPts()/lastDuration() record the pts and duration of the last
// frame taken; they are written by the consumer and may be read by any thread.
class FrameQueue {
public:
    explicit FrameQueue(int capacity);
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    int open() { return _ring.open(); }  // as PacketQueue::open

    // Moves the producer's frame reference into the queue (the frame object is left empty)
    // together with its pts and duration in seconds. With timeoutMs 0 fails at once on a
    // full ring; otherwise waits until a slot frees, the queue is aborted or flushed, or the
    // timeout passes.
    bool put(AVFrame* frame, double pts, double duration, int timeoutMs);

    // Moves the next frame's reference into `destination` (a frame it still holds is
    // released) and hands out its pts and duration (either out pointer may be null); waits
    // like put().
    bool get(AVFrame* destination, double* pts, double* duration, int timeoutMs);

    void abort() { _ring.abort(); }
    void rearm() { _ring.rearm(); }
    void flush();

    bool isAborted() const { return _ring.isAborted(); }
    bool isOpened() const { return _ring.isOpened(); }
    int capacity() const { return _ring.capacity(); }
    // Ends asleep waiting for the other one (0 or 1 each): a put or get that is blocked.
    int sleepingEnds() const { return _ring.sleepingEnds(); }
    double lastPts() const { return _lastPts.load(std::memory_order_relaxed); }
    double lastDuration() const { return _lastDuration.load(std::memory_order_relaxed); }

private:
    struct alignas(64) Slot {
        AVFrame* frame = nullptr;         // allocated once; empty, or one reference while filled
        std::atomic<bool> filled{false};  // hand-over point
        double pts = -1.0;                // written by the producer before `filled` is set
        double duration = -1.0;
    };

    KXRing<Slot> _ring;
    alignas(64) std::atomic<double> _lastPts{-1.0};  // written by the consumer
    std::atomic<double> _lastDuration{-1.0};         // written by the consumer
};
