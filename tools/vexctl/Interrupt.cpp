#include "Interrupt.h"

#include <chrono>
#include <csignal>
#include <thread>

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void onSignal(int) {
    gInterrupted = 1;
}

}  // namespace

void VexctlInstallInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking wait returns early. SA_RESETHAND: the second press is the
    // default action.
    action.sa_flags = SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool VexctlInterrupted() {
    return gInterrupted != 0;
}

bool VexctlSleepMs(int ms) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(ms);
    while (!VexctlInterrupted()) {
        const Clock::time_point now = Clock::now();
        if (now >= end) {
            return true;
        }
        // Short steps: a signal that lands just before a sleep delays the reaction by one
        // step at most.
        std::this_thread::sleep_for(std::min<Clock::duration>(end - now, std::chrono::milliseconds(50)));
    }
    return false;
}
