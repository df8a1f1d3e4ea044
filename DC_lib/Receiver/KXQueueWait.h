#pragma once

#include <atomic>
#include <cerrno>
#include <ctime>
#include <pthread.h>
#include <sched.h>

// The waiting and hand-off helpers shared by PacketQueue and FrameQueue.
namespace KXQueueWait {

// Creates the mutex and the condition (monotonic clock, so a wall-clock jump neither
// stretches nor cuts a wait). On failure nothing is left created; answers the pthread error.
inline int create(pthread_mutex_t* mutex, pthread_cond_t* cond) {
    int rc = pthread_mutex_init(mutex, nullptr);
    if (rc != 0) {
        return rc;
    }
    pthread_condattr_t attr;
    rc = pthread_condattr_init(&attr);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        if (rc == 0) {
            rc = pthread_cond_init(cond, &attr);
        }
        pthread_condattr_destroy(&attr);
    }
    if (rc != 0) {
        pthread_mutex_destroy(mutex);
    }
    return rc;
}

// Sleeps until now + timeoutMs. Nobody signals a put or a get: only abort and flush cut the
// sleep short (they broadcast after raising their flag, which `stop` reads). Answers true
// when the sleep ran to its deadline.
template <typename StopPredicate>
bool sleepUntil(pthread_mutex_t* mutex, pthread_cond_t* cond, int timeoutMs, StopPredicate stop) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    long long ns = deadline.tv_nsec + static_cast<long long>(timeoutMs) * 1000000LL;
    deadline.tv_sec += static_cast<time_t>(ns / 1000000000LL);
    deadline.tv_nsec = static_cast<long>(ns % 1000000000LL);

    bool timedOut = false;
    pthread_mutex_lock(mutex);
    // Checking the flag under the mutex closes the window between the caller's last look and
    // the wait: abort/flush take the same mutex before they broadcast.
    while (!stop()) {
        int rc = pthread_cond_timedwait(cond, mutex, &deadline);
        if (rc == ETIMEDOUT) {
            timedOut = true;
            break;
        }
    }
    pthread_mutex_unlock(mutex);
    return timedOut;
}

inline void wakeAll(pthread_mutex_t* mutex, pthread_cond_t* cond) {
    pthread_mutex_lock(mutex);
    pthread_cond_broadcast(cond);
    pthread_mutex_unlock(mutex);
}

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
