#include "FrameQueue.h"

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
    _gate.destroy();
}

int FrameQueue::open() {
    _readIndex = 0;
    _writeIndex = 0;
    if (_opened) {
        _aborted.store(false, std::memory_order_seq_cst);
        return -1;
    }
    const int rc = _gate.create();
    _aborted.store(false, std::memory_order_seq_cst);
    if (rc != 0) {
        return rc;
    }
    _opened = true;
    return 0;
}

bool FrameQueue::stopped() const {
    return _aborted.load(std::memory_order_seq_cst) || _flushing.load(std::memory_order_seq_cst);
}

bool FrameQueue::put(AVFrame* frame, double pts, double duration, int timeoutMs) {
    KXQueueWait::Presence presence(_inPut);
    if (stopped() || frame == nullptr) {
        return false;
    }
    Slot& slot = _slots[_writeIndex];
    auto hasRoom = [&slot] { return !slot.filled.load(std::memory_order_seq_cst); };
    if (!hasRoom() && !_gate.waitFor(timeoutMs, hasRoom, [this] { return stopped(); })) {
        return false;
    }
    slot.pts = pts;
    slot.duration = duration;
    av_frame_unref(slot.frame);
    av_frame_move_ref(slot.frame, frame);
    slot.filled.store(true, std::memory_order_seq_cst);  // hand-over; pairs with the gate's waiter count
    _writeIndex = (_writeIndex + 1) % _capacity;
    _gate.notifyIfWaiting();
    return true;
}

bool FrameQueue::get(AVFrame* destination, double* pts, double* duration, int timeoutMs) {
    KXQueueWait::Presence presence(_inGet);
    if (stopped() || destination == nullptr) {
        return false;
    }
    Slot& slot = _slots[_readIndex];
    auto hasItem = [&slot] { return slot.filled.load(std::memory_order_seq_cst); };
    if (!hasItem() && !_gate.waitFor(timeoutMs, hasItem, [this] { return stopped(); })) {
        return false;
    }
    // A destination that still holds a frame would leak its reference under the move.
    av_frame_unref(destination);
    av_frame_move_ref(destination, slot.frame);
    const double slotPts = slot.pts;
    const double slotDuration = slot.duration;
    slot.filled.store(false, std::memory_order_seq_cst);
    _readIndex = (_readIndex + 1) % _capacity;
    _gate.notifyIfWaiting();

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
    _gate.wakeAll();
}

void FrameQueue::rearm() {
    _aborted.store(false, std::memory_order_seq_cst);
}

void FrameQueue::flush() {
    _flushing.store(true, std::memory_order_seq_cst);
    _gate.wakeAll();
    KXQueueWait::waitUntilAbsent(_inPut, _inGet);
    for (int i = 0; i < _capacity; ++i) {
        av_frame_unref(_slots[i].frame);
        _slots[i].filled.store(false, std::memory_order_relaxed);
    }
    _readIndex = 0;
    _writeIndex = 0;
    _flushing.store(false, std::memory_order_seq_cst);
}
