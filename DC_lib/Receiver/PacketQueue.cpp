#include "PacketQueue.h"

#include <cstring>

PacketQueue::PacketQueue(int capacity) : _capacity(capacity > 0 ? capacity : 1), _slots(new Slot[_capacity]) {
    for (int i = 0; i < _capacity; ++i) {
        // A zeroed packet record is blank; unref gives it libavcodec's defaults.
        std::memset(&_slots[i].storage, 0, sizeof(AVPacket));
        _slots[i].packet = &_slots[i].storage;
        av_packet_unref(_slots[i].packet);
    }
}

PacketQueue::~PacketQueue() {
    for (int i = 0; i < _capacity; ++i) {
        av_packet_unref(_slots[i].packet);  // releases a still-filled slot
    }
    delete[] _slots;
    _gate.destroy();
}

int PacketQueue::open() {
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

bool PacketQueue::stopped() const {
    return _aborted.load(std::memory_order_seq_cst) || _flushing.load(std::memory_order_seq_cst);
}

bool PacketQueue::put(AVPacket* packet) {
    KXQueueWait::Presence presence(_inPut);
    if (stopped() || packet == nullptr) {
        return false;
    }
    Slot& slot = _slots[_writeIndex];
    auto hasRoom = [&slot] { return !slot.filled.load(std::memory_order_seq_cst); };
    if (!hasRoom() && !_gate.waitFor(1, hasRoom, [this] { return stopped(); })) {
        return false;
    }
    av_packet_move_ref(slot.packet, packet);
    slot.filled.store(true, std::memory_order_seq_cst);  // hand-over; pairs with the gate's waiter count
    _writeIndex = (_writeIndex + 1) % _capacity;
    _gate.notifyIfWaiting();
    return true;
}

bool PacketQueue::get(AVPacket* destination, int timeoutMs) {
    KXQueueWait::Presence presence(_inGet);
    if (stopped() || destination == nullptr) {
        return false;
    }
    Slot& slot = _slots[_readIndex];
    auto hasItem = [&slot] { return slot.filled.load(std::memory_order_seq_cst); };
    if (!hasItem() && !_gate.waitFor(timeoutMs, hasItem, [this] { return stopped(); })) {
        return false;
    }
    // A destination that still holds a packet would leak its reference under the move.
    av_packet_unref(destination);
    av_packet_move_ref(destination, slot.packet);
    slot.filled.store(false, std::memory_order_seq_cst);
    _readIndex = (_readIndex + 1) % _capacity;
    _gate.notifyIfWaiting();
    return true;
}

void PacketQueue::abort() {
    _aborted.store(true, std::memory_order_seq_cst);
    _gate.wakeAll();
}

void PacketQueue::rearm() {
    _aborted.store(false, std::memory_order_seq_cst);
}

void PacketQueue::flush() {
    _flushing.store(true, std::memory_order_seq_cst);
    _gate.wakeAll();
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
