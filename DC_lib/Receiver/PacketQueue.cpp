#include "PacketQueue.h"

#include "KXQueueWait.h"

PacketQueue::PacketQueue(int capacity) : _capacity(capacity > 0 ? capacity : 1), _slots(new Slot[_capacity]) {
    for (int i = 0; i < _capacity; ++i) {
        _slots[i].packet = av_packet_alloc();
    }
}

PacketQueue::~PacketQueue() {
    for (int i = 0; i < _capacity; ++i) {
        av_packet_free(&_slots[i].packet);  // unrefs a still-filled slot
    }
    delete[] _slots;
    if (_opened) {
        pthread_cond_destroy(&_cond);
        pthread_mutex_destroy(&_mutex);
    }
}

int PacketQueue::open() {
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

bool PacketQueue::stopped() const {
    return _aborted.load(std::memory_order_seq_cst) || _flushing.load(std::memory_order_seq_cst);
}

bool PacketQueue::sleepUntilDeadline(int timeoutMs) {
    if (!_opened) {
        return false;
    }
    return KXQueueWait::sleepUntil(&_mutex, &_cond, timeoutMs, [this] { return stopped(); });
}

bool PacketQueue::put(AVPacket* packet) {
    KXQueueWait::Presence presence(_inPut);
    if (stopped() || packet == nullptr) {
        return false;
    }
    Slot& slot = _slots[_writeIndex];
    if (slot.filled.load(std::memory_order_acquire)) {
        if (!sleepUntilDeadline(1) || stopped() || slot.filled.load(std::memory_order_acquire)) {
            return false;
        }
    }
    av_packet_move_ref(slot.packet, packet);
    slot.filled.store(true, std::memory_order_release);
    _writeIndex = (_writeIndex + 1) % _capacity;
    return true;
}

bool PacketQueue::get(AVPacket* destination, int timeoutMs) {
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
    // A destination that still holds a packet would leak its reference under the move.
    av_packet_unref(destination);
    av_packet_move_ref(destination, slot.packet);
    slot.filled.store(false, std::memory_order_release);
    _readIndex = (_readIndex + 1) % _capacity;
    return true;
}

void PacketQueue::abort() {
    _aborted.store(true, std::memory_order_seq_cst);
    if (_opened) {
        KXQueueWait::wakeAll(&_mutex, &_cond);
    }
}

void PacketQueue::rearm() { _aborted.store(false, std::memory_order_seq_cst); }

void PacketQueue::flush() {
    _flushing.store(true, std::memory_order_seq_cst);
    if (_opened) {
        KXQueueWait::wakeAll(&_mutex, &_cond);
    }
    KXQueueWait::waitUntilAbsent(_inPut, _inGet);
    for (int i = 0; i < _capacity; ++i) {
        av_packet_unref(_slots[i].packet);
        _slots[i].filled.store(false, std::memory_order_relaxed);
    }
    _readIndex = 0;
    _writeIndex = 0;
    // The seq_cst store publishes the emptied slots and cursors to whichever end enters next.
    _flushing.store(false, std::memory_order_seq_cst);
}
