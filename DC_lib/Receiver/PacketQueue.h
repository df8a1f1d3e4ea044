#pragma once

#include <atomic>

#include "KXQueueWait.h"

extern "C" {
#include <libavcodec/packet.h>
}

// Fixed-capacity ring of compressed packets between exactly one producer thread (the stream
// reader) and one consumer thread (a decoder or the packet-copy recorder).
//
// Threading:
//  - put() is called by the producer only, get() by the consumer only. The filled flag of
//    each slot is the hand-over point: the producer fills a slot only while the flag is
//    clear and sets it (release) when the packet is in place; the consumer takes a slot only
//    while the flag is set (acquire) and clears it (release) once the packet is out. No lock
//    is taken on that path.
//  - open(), abort(), rearm(), flush() come from the receiver's start/stop paths (one thread
//    at a time, serialised by the receiver's start/stop mutex).
//  - An end that finds its slot not ready waits at most its timeout in _gate: it spins
//    briefly, then sleeps; the other end wakes it when it hands that slot over, and abort()
//    and flush() wake it too. Nothing is locked while no end sleeps.
//
// Flush while both ends still run (pause): flush() raises _flushing, wakes any waiter, and
// waits until neither end is inside put() or get() (each end announces itself in _inPut /
// _inGet before it looks at the flag, with sequentially consistent ordering, so either the
// end sees _flushing and fails, or flush sees the end and waits for it to leave). Only then
// are the slots emptied and the cursors reset; _flushing is then lowered. A put or get that
// overlaps a flush therefore fails as if the queue were aborted, and never touches a slot
// the flush is emptying. The queue is empty when flush() returns.
class PacketQueue {
public:
    explicit PacketQueue(int capacity);
    ~PacketQueue();  // destroy: releases every slot, then the mutex and condition
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Cursors to the first slot. First call: creates the mutex/condition, marks opened,
    // clears aborted, answers 0 (or the pthread error, leaving the queue unopened). Later
    // calls: clear aborted and answer -1.
    int open();

    // Moves the packet's reference into the queue (the caller's packet is left blank).
    // Waits at most 1 ms for room in a full ring; false when aborted, still full or
    // flushing (the caller keeps its packet and drops it).
    bool put(AVPacket* packet);

    // Moves the next packet's reference into `destination` (a packet it still holds is
    // released). With timeoutMs 0 fails at once on an empty ring; otherwise waits until a
    // packet arrives, the queue is aborted or flushed, or the timeout passes.
    bool get(AVPacket* destination, int timeoutMs);

    void abort();
    void rearm();
    void flush();

    bool isAborted() const { return _aborted.load(std::memory_order_acquire); }
    bool isOpened() const { return _opened; }
    int capacity() const { return _capacity; }

private:
    // One cache line per slot, and the producer's, the consumer's and the shared fields on
    // lines of their own: the two ends never write to a line the other is reading.
    struct alignas(64) Slot {
        AVPacket* packet = nullptr;       // points at `storage`; owns one reference while filled
        AVPacket storage;                 // kept inside the slot's cache lines, next to its flag
        std::atomic<bool> filled{false};  // hand-over point (see the class comment)
    };

    bool stopped() const;

    const int _capacity;                  // immutable
    Slot* _slots;                         // immutable after construction (array of _capacity)
    alignas(64) int _readIndex = 0;       // consumer only (flush resets it with both ends out)
    std::atomic<bool> _inGet{false};      // consumer is inside get()
    alignas(64) int _writeIndex = 0;      // producer only (flush resets it with both ends out)
    std::atomic<bool> _inPut{false};      // producer is inside put()
    alignas(64) KXQueueWait::Gate _gate;  // sleeping ends wait here; abort/flush wake them
    alignas(64) std::atomic<bool> _aborted{false};
    std::atomic<bool> _flushing{false};  // set by flush() while it empties the ring
    bool _opened = false;                // start/stop thread only
};
