#pragma once

#include <atomic>
#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sched.h>

// The waiting and hand-off machinery shared by PacketQueue and FrameQueue.
namespace KXQueueWait {

// One step of a spin-wait: tells the core that this thread is spinning, so that a sibling
// hardware thread gets the pipeline and the spin costs less power. Every architecture the
// library is built for has its own instruction for it; elsewhere a compiler barrier keeps
// the loop honest (each pass re-reads what it waits for).
inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || (defined(__arm__) && defined(__ARM_ARCH) && __ARM_ARCH >= 7)
    __asm__ __volatile__("yield" ::: "memory");
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// Where one end of a ring waits for the other. The fast path never touches it: an end that
// finds its slot not ready spins briefly, then sleeps on the condition until its deadline.
// The other end, after handing a slot over, wakes sleepers only when the waiter count says
// there are any (one load per hand-over when nobody sleeps).
//
// Lost wake-ups are excluded by a store/load pairing: a sleeper raises `waiters` and then
// re-reads the slot flag under the mutex; the other end stores the slot flag and then reads
// `waiters`, all sequentially consistent, so at least one of them sees the other's store.
// A sleeper holds the mutex until pthread_cond_timedwait releases it, and the waker takes
// the mutex before broadcasting, so the broadcast cannot fall between the check and the wait.
class Gate {
public:
    Gate() = default;
    ~Gate() { destroy(); }
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // Creates the mutex and the condition (monotonic clock). On failure nothing is left
    // created; answers the pthread error.
    int create() {
        int rc = pthread_mutex_init(&_mutex, nullptr);
        if (rc != 0) {
            return rc;
        }
        pthread_condattr_t attr;
        rc = pthread_condattr_init(&attr);
        if (rc == 0) {
            rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
            if (rc == 0) {
                rc = pthread_cond_init(&_cond, &attr);
            }
            pthread_condattr_destroy(&attr);
        }
        if (rc != 0) {
            pthread_mutex_destroy(&_mutex);
            return rc;
        }
        _created = true;
        return 0;
    }

    void destroy() {
        if (_created) {
            pthread_cond_destroy(&_cond);
            pthread_mutex_destroy(&_mutex);
            _created = false;
        }
    }

    bool created() const { return _created; }

    // Ends currently asleep here (past their spin). For diagnostics and tests: an end that
    // counts here is blocked and can only leave through a hand-over, abort, flush or its
    // deadline.
    int sleepers() const { return _waiters.load(std::memory_order_seq_cst); }

    // Waits until `ready()` holds, `stop()` holds or timeoutMs has passed. Answers true when
    // `ready()` held and `stop()` did not.
    template <typename Ready, typename Stop>
    bool waitFor(int timeoutMs, Ready ready, Stop stop) {
        if (!_created || timeoutMs <= 0) {
            return false;
        }
        // The other end is usually a few hundred nanoseconds away from freeing or filling the
        // slot; a short spin avoids a sleep and a wake-up for that.
        for (int i = 0; i < 256; ++i) {
            if (stop()) {
                return false;
            }
            if (ready()) {
                return true;
            }
            cpuRelax();
        }

        timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        long long ns = deadline.tv_nsec + static_cast<long long>(timeoutMs) * 1000000LL;
        deadline.tv_sec += static_cast<time_t>(ns / 1000000000LL);
        deadline.tv_nsec = static_cast<long>(ns % 1000000000LL);

        pthread_mutex_lock(&_mutex);
        _waiters.fetch_add(1, std::memory_order_seq_cst);
        bool isReady = false;
        while (true) {
            if (stop()) {
                break;
            }
            if (ready()) {
                isReady = true;
                break;
            }
            if (pthread_cond_timedwait(&_cond, &_mutex, &deadline) == ETIMEDOUT) {
                isReady = !stop() && ready();
                break;
            }
        }
        _waiters.fetch_sub(1, std::memory_order_seq_cst);
        pthread_mutex_unlock(&_mutex);
        return isReady;
    }

    // After a hand-over (the slot flag stored sequentially consistent): wake sleepers, if any.
    void notifyIfWaiting() {
        if (_waiters.load(std::memory_order_seq_cst) > 0) {
            wakeAll();
        }
    }

    // Abort and flush: wake everybody (they re-check their stop condition).
    void wakeAll() {
        if (!_created) {
            return;
        }
        pthread_mutex_lock(&_mutex);
        pthread_cond_broadcast(&_cond);
        pthread_mutex_unlock(&_mutex);
    }

private:
    pthread_mutex_t _mutex;  // only around a sleep and a broadcast
    pthread_cond_t _cond;
    std::atomic<int> _waiters{0};  // ends currently sleeping (changed under _mutex)
    bool _created = false;         // start/stop thread only (open/destroy)
};

// Marks one end of a queue as inside put() or get() for the scope of the call. The
// sequentially consistent store pairs with flush(): either flush sees the end present and
// waits, or the end sees the flushing flag and leaves without touching a slot.
class Presence {
public:
    explicit Presence(std::atomic<bool>& flag) : _flag(flag) { _flag.store(true, std::memory_order_seq_cst); }
    ~Presence() { _flag.store(false, std::memory_order_seq_cst); }
    Presence(const Presence&) = delete;
    Presence& operator=(const Presence&) = delete;

private:
    std::atomic<bool>& _flag;
};

// Waits until neither end is inside a call. Both ends leave promptly once they see the
// flushing flag (a sleeping end is woken by the broadcast before this is called).
inline void waitUntilAbsent(const std::atomic<bool>& inPut, const std::atomic<bool>& inGet) {
    while (inPut.load(std::memory_order_seq_cst) || inGet.load(std::memory_order_seq_cst)) {
        sched_yield();
    }
}

}  // namespace KXQueueWait
