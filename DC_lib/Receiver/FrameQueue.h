#pragma once

#include <atomic>
#include <pthread.h>

extern "C" {
#include <libavutil/frame.h>
}

// Fixed-capacity ring of decoded frames between exactly one producer thread (a decoder) and
// one consumer thread (the capture calls, the render thread or the recorder).
//
// Threading, hand-over and flush rules are those of PacketQueue (see PacketQueue.h):
// lock-free put/get with the per-slot filled flag as the release/acquire hand-over point;
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
    // full ring; otherwise sleeps until the deadline and looks once more.
    bool put(AVFrame* frame, double pts, double duration, int timeoutMs);

    // Moves the next frame's reference into `destination` (which must be empty) and hands out
    // its pts and duration (either out pointer may be null).
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
    struct Slot {
        AVFrame* frame = nullptr;          // allocated once; owns one reference while filled
        std::atomic<bool> filled{false};   // hand-over point (release store / acquire load)
        double pts = -1.0;                 // written by the producer before `filled` is set
        double duration = -1.0;
    };

    bool sleepUntilDeadline(int timeoutMs);
    bool stopped() const;

    const int _capacity;                 // immutable
    Slot* _slots;                        // immutable after construction
    int _readIndex = 0;                  // consumer only (flush resets it with both ends out)
    int _writeIndex = 0;                 // producer only (flush resets it with both ends out)
    pthread_mutex_t _mutex;              // only for timed waits and wake-ups
    pthread_cond_t _cond;                // broadcast by abort() and flush()
    std::atomic<bool> _aborted{false};
    std::atomic<bool> _flushing{false};
    std::atomic<bool> _inPut{false};     // producer is inside put()
    std::atomic<bool> _inGet{false};     // consumer is inside get()
    bool _opened = false;                // start/stop thread only
    std::atomic<double> _lastPts{-1.0};       // written by the consumer
    std::atomic<double> _lastDuration{-1.0};  // written by the consumer
};
