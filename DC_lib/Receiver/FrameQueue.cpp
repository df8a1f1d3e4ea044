#include "FrameQueue.h"

#include "KXQueueWait.h"

FrameQueue::FrameQueue(int capacity) : _capacity(capacity > 0 ? capacity : 1), _slots(new Slot[_capacity]) {
    for (int i = 0; i < _capacity; ++i) {
        _slots[i].frame = av_frame_alloc();
    }
}

FrameQueue::~FrameQueue() {
    for (int i = 0; i < _capacity; ++i) {
        av_frame_free(&_slots[i].frame);  // unrefs a still-filled slot
    }
    delete[] _slots;
    if (_opened) {
        pthread_cond_destroy(&_cond);
        pthread_mutex_destroy(&_mutex);
    }
}

int FrameQueue::open() {
    _readIndex = 0;
    _writeIndex = 0;
    if (_opened) {
        _aborted.store(false, std::memory_order_release);
        return -1;
    }
    int rc = KXQueueWait::create(&_mutex, &_cond);
    if (rc != 0) {
        _aborted.store(false, std::memory_order_release);
        return rc;
    }
    _opened = true;
    _aborted.store(false, std::memory_order_release);
    return 0;
}

bool FrameQueue::stopped() const {
    return _aborted.load(std::memory_order_seq_cst) || _flushing.load(std::memory_order_seq_cst);
}

bool FrameQueue::sleepUntilDeadline(int timeoutMs) {
    if (!_opened) {
        return false;
    }
    return KXQueueWait::sleepUntil(&_mutex, &_cond, timeoutMs, [this] { return stopped(); });
}

bool FrameQueue::put(AVFrame* frame, double pts, double duration, int timeoutMs) {
    KXQueueWait::Presence presence(_inPut);
    if (stopped() || frame == nullptr) {
        return false;
    }
    Slot& slot = _slots[_writeIndex];
    if (slot.filled.load(std::memory_order_acquire)) {
        if (timeoutMs <= 0 || !sleepUntilDeadline(timeoutMs) || stopped() ||
            slot.filled.load(std::memory_order_acquire)) {
            return false;
        }
    }
    slot.pts = pts;
    slot.duration = duration;
    av_frame_unref(slot.frame);
    av_frame_move_ref(slot.frame, frame);
    slot.filled.store(true, std::memory_order_release);
    _writeIndex = (_writeIndex + 1) % _capacity;
    return true;
}

bool FrameQueue::get(AVFrame* destination, double* pts, double* duration, int timeoutMs) {
    KXQueueWait::Presence presence(_inGet);
    if (stopped() || destination == nullptr) {
        return false;
    }
    Slot& slot = _slots[_readIndex];
    if (!slot.filled.load(std::memory_order_acquire)) {
        if (timeoutMs <= 0 || !sleepUntilDeadline(timeoutMs) || stopped() ||
            !slot.filled.load(std::memory_order_acquire)) {
            return false;
        }
    }
    // A destination that still holds a frame would leak its reference under the move.
    av_frame_unref(destination);
    av_frame_move_ref(destination, slot.frame);
    const double slotPts = slot.pts;
    const double slotDuration = slot.duration;
    slot.filled.store(false, std::memory_order_release);
    _readIndex = (_readIndex + 1) % _capacity;

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

void FrameQueue::abort() {
    _aborted.store(true, std::memory_order_seq_cst);
    if (_opened) {
        KXQueueWait::wakeAll(&_mutex, &_cond);
    }
}

void FrameQueue::rearm() { _aborted.store(false, std::memory_order_seq_cst); }

void FrameQueue::flush() {
    _flushing.store(true, std::memory_order_seq_cst);
    if (_opened) {
        KXQueueWait::wakeAll(&_mutex, &_cond);
    }
    KXQueueWait::waitUntilAbsent(_inPut, _inGet);
    for (int i = 0; i < _capacity; ++i) {
        av_frame_unref(_slots[i].frame);
        _slots[i].filled.store(false, std::memory_order_relaxed);
    }
    _readIndex = 0;
    _writeIndex = 0;
    _flushing.store(false, std::memory_order_seq_cst);
}
