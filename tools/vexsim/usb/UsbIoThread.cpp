#include "UsbIoThread.h"

#include <csignal>
#include <cstring>

namespace {

constexpr int kInterruptSignal = SIGUSR2;

void ignore(int) {}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = ignore;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the blocked call must return
        sigaction(kInterruptSignal, &action, nullptr);
    });
}

}  // namespace

UsbIoThread::~UsbIoThread() {
    join();
}

bool UsbIoThread::start(std::function<void()> body, std::function<void()> wake, const char* name) {
    installHandler();
    _body = std::move(body);
    _wake = std::move(wake);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _alive = true;
    }
    if (pthread_create(&_thread, nullptr, &UsbIoThread::entry, this) != 0) {
        std::lock_guard<std::mutex> lock(_mutex);
        _alive = false;
        return false;
    }
    pthread_setname_np(_thread, name);
    _started = true;
    return true;
}

void* UsbIoThread::entry(void* self) {
    auto* t = static_cast<UsbIoThread*>(self);
    t->_body();
    {
        std::lock_guard<std::mutex> lock(t->_mutex);
        t->_alive = false;
    }
    t->_acknowledged.notify_all();
    return nullptr;
}

void UsbIoThread::interrupt() {
    std::unique_lock<std::mutex> lock(_mutex);
    const uint64_t wanted = ++_requested;
    while (_alive && _seen < wanted) {
        pthread_kill(_thread, kInterruptSignal);
        if (_wake) {
            _wake();
        }
        _acknowledged.wait_for(lock, std::chrono::milliseconds(2));
    }
}

bool UsbIoThread::takeInterrupt() {
    bool any;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        any = _seen < _requested;
        _seen = _requested;
    }
    _acknowledged.notify_all();
    return any;
}

void UsbIoThread::join() {
    if (_started) {
        pthread_join(_thread, nullptr);
        _started = false;
    }
}

bool UsbIoThread::running() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _alive;
}
