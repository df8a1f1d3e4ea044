#pragma once

#include "KXRing.h"

extern "C" {
#include <libavcodec/packet.h>
}

// Fixed-capacity ring of compressed packets between exactly one producer thread (the stream
// reader) and one consumer thread (a decoder or the packet-copy recorder). Putting and
// taking move packet references; payloads are never copied and nothing is allocated after
// construction.
//
// Threading: see KXRing (lock-free hand-over through each slot's filled flag, waits in a
// gate, abort/rearm/open from the start/stop paths, flushes from any thread serialised among
// themselves; a flush that overlaps a running put or get makes that call fail and waits for
// it to leave before the slots are emptied).
class PacketQueue {
public:
    explicit PacketQueue(int capacity);
    ~PacketQueue();  // destroy: releases every slot, then the gate
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Cursors to the first slot. First call: creates the mutex/condition, marks opened,
    // clears aborted, answers 0 (or the pthread error, leaving the queue unopened). Later
    // calls: clear aborted and answer -1.
    int open() { return _ring.open(); }

    // Moves the packet's reference into the queue (the caller's packet is left blank).
    // Waits at most 1 ms for room in a full ring; false when aborted, still full or
    // flushing (the caller keeps its packet and drops it).
    bool put(AVPacket* packet);

    // Moves the next packet's reference into `destination` (a packet it still holds is
    // released). With timeoutMs 0 fails at once on an empty ring; otherwise waits until a
    // packet arrives, the queue is aborted or flushed, or the timeout passes.
    bool get(AVPacket* destination, int timeoutMs);

    void abort() { _ring.abort(); }
    void rearm() { _ring.rearm(); }
    void flush();

    bool isAborted() const { return _ring.isAborted(); }
    bool isOpened() const { return _ring.isOpened(); }
    int capacity() const { return _ring.capacity(); }
    // Ends asleep waiting for the other one (0 or 1 each): a put or get that is blocked.
    int sleepingEnds() const { return _ring.sleepingEnds(); }

private:
    // One cache line per slot: the producer filling one slot never disturbs the consumer
    // reading its neighbour. The packet record lives inside the slot for the same reason.
    struct alignas(64) Slot {
        AVPacket packet;                  // blank, or one reference while filled
        std::atomic<bool> filled{false};  // hand-over point
    };

    KXRing<Slot> _ring;
};
