#pragma once

#include <atomic>

#include "KXQueueWait.h"

extern "C" {
#include <libavutil/frame.h>
}

// Fixed-capacity ring of decoded frames between exactly one producer thread (a decoder) and
// one consumer thread (the capture calls, the render thread or the recorder).
//
// Threading, hand-over and flush rules are those of PacketQueue (see PacketQueue.h):
// lock-free put/get with the per-slot filled flag as the hand-over point; waiting ends sleep
// in a gate that the other end, abort() and flush() wake;
// abort/rearm/flush/open from the start/stop paths; a flush that overlaps a running put or
// get makes that call fail and waits for it to leave before the slots are emptied.
//
// lastPts()/lastDuration() record the pts and duration of the last frame taken; they are
// written by the consumer and may be read by any thread (relaxed atomics).
class FrameQueue {
public:
    explicit FrameQueue(int capacity);
    ~FrameQueue();
    FrameQueue(const FrameQueue&) = delete;
    FrameQueue& operator=(const FrameQueue&) = delete;

    int open();  // as PacketQueue::open

    // Moves the producer's frame reference into the queue (the frame object is left empty)
    // together with its pts and duration in seconds. With timeoutMs 0 fails at once on a
    // full ring; otherwise waits until a slot frees, the queue is aborted or flushed, or the
    // timeout passes.
    bool put(AVFrame* frame, double pts, double duration, int timeoutMs);

    // Moves the next frame's reference into `destination` (a frame it still holds is
    // released) and hands out its pts and duration (either out pointer may be null); waits
    // like put().
    bool get(AVFrame* destination, double* pts, double* duration, int timeoutMs);

    void abort();
    void rearm();
    void flush();

    bool isAborted() const { return _aborted.load(std::memory_order_acquire); }
    bool isOpened() const { return _opened; }
    int capacity() const { return _capacity; }
    double lastPts() const { return _lastPts.load(std::memory_order_relaxed); }
    double lastDuration() const { return _lastDuration.load(std::memory_order_relaxed); }

private:
    // One cache line per slot, and the producer's, the consumer's and the shared fields on
    // lines of their own: the two ends never write to a line the other is reading.
    struct alignas(64) Slot {
        AVFrame* frame = nullptr;         // allocated once; owns one reference while filled
        std::atomic<bool> filled{false};  // hand-over point (see the class comment)
        double pts = -1.0;                // written by the producer before `filled` is set
        double duration = -1.0;
    };

    bool stopped() const;

    const int _capacity;                      // immutable
    Slot* _slots;                             // immutable after construction
    alignas(64) int _readIndex = 0;           // consumer only (flush resets it with both ends out)
    std::atomic<bool> _inGet{false};          // consumer is inside get()
    std::atomic<double> _lastPts{-1.0};       // written by the consumer
    std::atomic<double> _lastDuration{-1.0};  // written by the consumer
    alignas(64) int _writeIndex = 0;          // producer only (flush resets it with both ends out)
    std::atomic<bool> _inPut{false};          // producer is inside put()
    alignas(64) KXQueueWait::Gate _gate;      // sleeping ends wait here; abort/flush wake them
    alignas(64) std::atomic<bool> _aborted{false};
    std::atomic<bool> _flushing{false};
    bool _opened = false;  // start/stop thread only
};
