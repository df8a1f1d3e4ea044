#pragma once

#include <atomic>
#include <mutex>

#include "KXQueueWait.h"

// The single-producer, single-consumer ring under PacketQueue and FrameQueue: fixed slots
// allocated once, the per-slot `filled` flag as the hand-over point, waits in a gate, abort,
// re-arm and a flush that is safe while both ends still run. What a slot holds and how it is
// moved in and out is the owner's business (the Fill/Take/Release callables).
//
// Threading:
//  - put() is called by the producer only, get() by the consumer only. The producer fills a
//    slot only while its flag is clear and sets the flag once the contents are in place; the
//    consumer takes a slot only while its flag is set and clears the flag once the contents
//    are out. The flag is sequentially consistent (it also pairs with the gate's waiter
//    count); no lock is taken on that path.
//  - open(), abort() and rearm() come from the receiver's start/stop paths (one thread at a
//    time, serialised by the receiver's start/stop mutex).
//  - flush() may come from two threads at once: the stream reader flushes the video packet
//    ring on its own thread when a new coded sequence starts, while pause() and stop flush
//    every ring from the caller's thread. Flushes of one ring are serialised by `_flushMutex`
//    (a second flush waits for the first to finish); nothing else takes it.
//  - An end that finds its slot not ready waits at most its timeout in the gate: it spins
//    briefly, then sleeps; the other end wakes it when it hands that slot over, and abort()
//    and flush() wake it too. Nothing is locked while no end sleeps.
//
// Flush while both ends still run (pause): flush() raises `_flushing`, wakes any waiter, and
// waits until neither end is inside put() or get() (each end announces itself in `_inPut` /
// `_inGet` before it looks at the flag, sequentially consistent, so either the end sees
// `_flushing` and fails, or flush sees the end and waits for it to leave). Only then are the
// slots emptied and the cursors reset; `_flushing` is then lowered. A put or get that
// overlaps a flush therefore fails as if the queue were aborted and never touches a slot the
// flush is emptying. The ring is empty when flush() returns.
//
// Slot must be default-constructible and have a member `std::atomic<bool> filled`.
template <typename Slot>
class KXRing {
public:
    explicit KXRing(int capacity) : _capacity(capacity > 0 ? capacity : 1), _slots(new Slot[_capacity]) {}
    ~KXRing() { delete[] _slots; }
    KXRing(const KXRing&) = delete;
    KXRing& operator=(const KXRing&) = delete;

    int capacity() const { return _capacity; }
    // For the owner's construction and destruction of slot contents only (no end running).
    Slot& slotAt(int index) { return _slots[index]; }

    // Cursors to the first slot. First call: creates the gate, marks opened, clears aborted,
    // answers 0 (or the pthread error, leaving the ring unopened). Later calls: clear aborted
    // and answer -1.
    int open() {
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

    // fill(Slot&) moves the producer's item into the free slot.
    template <typename Fill>
    bool put(int timeoutMs, Fill&& fill) {
        KXQueueWait::Presence presence(_inPut);
        if (stopped()) {
            return false;
        }
        Slot& slot = _slots[_writeIndex];
        auto hasRoom = [&slot] { return !slot.filled.load(std::memory_order_seq_cst); };
        if (!hasRoom() && !_gate.waitFor(timeoutMs, hasRoom, [this] { return stopped(); })) {
            return false;
        }
        fill(slot);
        slot.filled.store(true, std::memory_order_seq_cst);
        _writeIndex = (_writeIndex + 1) % _capacity;
        _gate.notifyIfWaiting();
        return true;
    }

    // take(Slot&) moves the slot's item out to the consumer.
    template <typename Take>
    bool get(int timeoutMs, Take&& take) {
        KXQueueWait::Presence presence(_inGet);
        if (stopped()) {
            return false;
        }
        Slot& slot = _slots[_readIndex];
        auto hasItem = [&slot] { return slot.filled.load(std::memory_order_seq_cst); };
        if (!hasItem() && !_gate.waitFor(timeoutMs, hasItem, [this] { return stopped(); })) {
            return false;
        }
        take(slot);
        slot.filled.store(false, std::memory_order_seq_cst);
        _readIndex = (_readIndex + 1) % _capacity;
        _gate.notifyIfWaiting();
        return true;
    }

    void abort() {
        _aborted.store(true, std::memory_order_seq_cst);
        _gate.wakeAll();
    }

    void rearm() { _aborted.store(false, std::memory_order_seq_cst); }

    // release(Slot&) drops whatever the slot holds (called for every slot, filled or not).
    template <typename Release>
    void flush(Release&& release) {
        // Two flushes at once would both reset the cursors and lower `_flushing` while the other
        // is still emptying slots, letting an end in half-way.
        std::lock_guard<std::mutex> serialised(_flushMutex);
        _flushing.store(true, std::memory_order_seq_cst);
        _gate.wakeAll();
        KXQueueWait::waitUntilAbsent(_inPut, _inGet);
        for (int i = 0; i < _capacity; ++i) {
            release(_slots[i]);
            _slots[i].filled.store(false, std::memory_order_relaxed);
        }
        _readIndex = 0;
        _writeIndex = 0;
        // The seq_cst store publishes the emptied slots and cursors to whichever end enters next.
        _flushing.store(false, std::memory_order_seq_cst);
    }

    bool isAborted() const { return _aborted.load(std::memory_order_seq_cst); }
    bool isOpened() const { return _opened; }
    int sleepingEnds() const { return _gate.sleepers(); }  // see Gate::sleepers

private:
    bool stopped() const {
        return _aborted.load(std::memory_order_seq_cst) || _flushing.load(std::memory_order_seq_cst);
    }

    // The producer's, the consumer's and the shared fields sit on cache lines of their own:
    // the two ends never write to a line the other is reading.
    const int _capacity;                  // immutable
    Slot* const _slots;                   // immutable after construction
    alignas(64) int _readIndex = 0;       // consumer only (flush resets it with both ends out)
    std::atomic<bool> _inGet{false};      // consumer is inside get()
    alignas(64) int _writeIndex = 0;      // producer only (flush resets it with both ends out)
    std::atomic<bool> _inPut{false};      // producer is inside put()
    alignas(64) KXQueueWait::Gate _gate;  // sleeping ends wait here; hand-over, abort, flush wake them
    alignas(64) std::atomic<bool> _aborted{false};
    std::atomic<bool> _flushing{false};  // raised by flush() while it empties the ring
    std::mutex _flushMutex;              // held by flush() for its whole run (see Threading)
    bool _opened = false;                // start/stop thread only
};
