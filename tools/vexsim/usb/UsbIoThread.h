#pragma once

// A thread that spends its time in blocking raw-gadget calls, and a way for another thread to
// cut such a call short. interrupt() raises a counter and signals the thread (a no-op handler
// installed without SA_RESTART, so a blocked ioctl returns -EINTR) again every 2 ms until the
// thread acknowledges with takeInterrupt() or ends: a signal that lands just before the
// thread enters its call is simply followed by another one.
//
// The thread acknowledges at the points where it looks at its owner's state (before each
// blocking call, after -EINTR, after a wait on its owner's condition). An owner that wants
// the thread to act therefore changes its state and wakes its condition first, then calls
// interrupt(): when interrupt() returns, the thread has seen the new state.
//
// Threading: start, interrupt and join from the owner's threads (interrupt from any, never
// from the thread itself); takeInterrupt only from the thread.

#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>

class UsbIoThread {
public:
    UsbIoThread() = default;
    ~UsbIoThread();
    UsbIoThread(const UsbIoThread&) = delete;
    UsbIoThread& operator=(const UsbIoThread&) = delete;

    // `wake` rouses the thread from a wait on its owner's condition (notify_all); interrupt()
    // calls it with every signal, since a signal does not end such a wait.
    bool start(std::function<void()> body, std::function<void()> wake, const char* name);
    void interrupt();
    bool takeInterrupt();
    void join();
    bool running() const;

private:
    static void* entry(void* self);

    std::function<void()> _body;  // immutable while the thread runs
    std::function<void()> _wake;  // immutable while the thread runs
    pthread_t _thread{};          // immutable while the thread runs
    bool _started = false;        // owner's thread only
    mutable std::mutex _mutex;
    std::condition_variable _acknowledged;
    uint64_t _requested = 0;  // guarded by _mutex
    uint64_t _seen = 0;       // guarded by _mutex
    bool _alive = false;      // guarded by _mutex
};
