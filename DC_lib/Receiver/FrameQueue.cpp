#include "FrameQueue.h"

FrameQueue::FrameQueue(int capacity) : _ring(capacity) {
    for (int i = 0; i < _ring.capacity(); ++i) {
        _ring.slotAt(i).frame = av_frame_alloc();
    }
}

FrameQueue::~FrameQueue() {
    for (int i = 0; i < _ring.capacity(); ++i) {
        av_frame_free(&_ring.slotAt(i).frame);  // releases a still-filled slot
    }
}

bool FrameQueue::put(AVFrame* frame, double pts, double duration, int timeoutMs) {
    if (frame == nullptr) {
        return false;
    }
    return _ring.put(timeoutMs, [&](Slot& slot) {
        slot.pts = pts;
        slot.duration = duration;
        av_frame_unref(slot.frame);
        av_frame_move_ref(slot.frame, frame);
    });
}

bool FrameQueue::get(AVFrame* destination, double* pts, double* duration, int timeoutMs) {
    if (destination == nullptr) {
        return false;
    }
    double slotPts = 0.0;
    double slotDuration = 0.0;
    const bool taken = _ring.get(timeoutMs, [&](Slot& slot) {
        // A destination that still holds a frame would leak its reference under the move.
        av_frame_unref(destination);
        av_frame_move_ref(destination, slot.frame);
        slotPts = slot.pts;
        slotDuration = slot.duration;
    });
    if (!taken) {
        return false;
    }
    _lastPts.store(slotPts, std::memory_order_relaxed);
    _lastDuration.store(slotDuration, std::memory_order_relaxed);
    if (pts != nullptr) {
        *pts = slotPts;
    }
    if (duration != nullptr) {
        *duration = slotDuration;
    }
    return true;
}

void FrameQueue::flush() {
    _ring.flush([](Slot& slot) { av_frame_unref(slot.frame); });
}
