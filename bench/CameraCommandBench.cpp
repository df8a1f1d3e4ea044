// The camera command worker: how long a command takes from slot_AddUSBCommand until its
// extension-unit write reaches the platform, beside the same call made directly on the
// receiver; and what an idle worker (a receiver set, no commands) costs: wake-ups per second
// and processor time, against a loop that sleeps 100 us per turn.
//
// The platform is an in-process backend (InProcessCamera.h): its extension unit stamps every
// write.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CamUSBControlThread.h"
#include "InProcessCamera.h"
#include "KXPlatformExports.h"
#include "vexsdk.h"

namespace {

using namespace benchsupport;

constexpr int kCommands = 4000;
constexpr int kSpacedCommands = 2000;
constexpr int kIdleSeconds = 10;

// What the kernel counts for one thread: context switches it gave up the processor for
// (each one a sleep and a wake-up) and processor time.
struct ThreadCost {
    long long voluntarySwitches = -1;
    long long involuntarySwitches = -1;
    double cpuMs = -1;
};

ThreadCost threadCost(const QString& tid) {
    ThreadCost cost;
    QFile status(QStringLiteral("/proc/self/task/%1/status").arg(tid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("voluntary_ctxt_switches:"))
                cost.voluntarySwitches = line.mid(24).trimmed().toLongLong();
            else if (line.startsWith("nonvoluntary_ctxt_switches:"))
                cost.involuntarySwitches = line.mid(27).trimmed().toLongLong();
        }
    }
    // schedstat's first field: nanoseconds on a processor.
    QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(tid));
    if (schedstat.open(QIODevice::ReadOnly))
        cost.cpuMs = schedstat.readAll().split(' ').value(0).toDouble() / 1e6;
    return cost;
}

// The thread of this process whose name is `name` (Linux thread names hold 15 characters).
QString threadNamed(const QByteArray& name) {
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid) + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.left(15))
            return tid;
    }
    return QString();
}

void printIdle(const char* what, const ThreadCost& a, const ThreadCost& b, double seconds) {
    if (a.voluntarySwitches < 0 || b.voluntarySwitches < 0) {
        std::printf("  %-40s (no per-thread counters in /proc)\n", what);
        return;
    }
    const double wakeups = static_cast<double>(b.voluntarySwitches - a.voluntarySwitches) / seconds;
    const double preempted = static_cast<double>(b.involuntarySwitches - a.involuntarySwitches) / seconds;
    std::printf("  %-40s %10.1f wake-ups/s  %8.1f preemptions/s", what, wakeups, preempted);
    if (a.cpuMs >= 0 && b.cpuMs >= 0)
        std::printf("  %8.3f ms CPU in %.0f s (%.4f %%)", b.cpuMs - a.cpuMs, seconds,
                    (b.cpuMs - a.cpuMs) / (seconds * 10.0));
    std::printf("\n");
}

// The loop the worker used to run while idle: one turn per 100 us, whether or not there is
// anything to do.
class PollingLoop : public QThread {
public:
    std::atomic<bool> stop{false};
    void run() override {
        while (!stop.load()) QThread::usleep(100);
    }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    auto unit = std::make_shared<StampingUnit>();
    KXPlatformInstall(std::make_shared<InProcessPlatform>(unit));

    const std::unique_ptr<DC_Recv> receiver = receiverAtLocation();
    DC_Recv& recv = *receiver;

    std::printf("Camera commands: preset calls, in-process backend (%d direct, %d back to back, %d spaced)\n",
                kCommands, kCommands, kSpacedCommands);

    // Direct: the call on the caller's thread until the write reaches the platform.
    std::vector<double> direct;
    direct.reserve(kCommands);
    for (int i = 0; i < kCommands; ++i) {
        const Clock::time_point start = Clock::now();
        recv.callPreset(i % 8 + 1);
        direct.push_back(microseconds(unit->lastWrite() - start));
    }

    // Through the worker: enqueue on this thread, the write happens on the worker's.
    CamUSBControlThread worker;
    worker.setObjectName(QStringLiteral("vex-cmd-worker"));
    worker.slot_ConnectUSBCamera(&recv);
    worker.start(QThread::InheritPriority);
    // Back to back: the next command is sent as soon as the previous write was seen, so it
    // usually arrives during the worker's 100 us pause after a command and waits it out.
    std::vector<double> backToBack;
    backToBack.reserve(kCommands);
    for (int i = 0; i < kCommands; ++i) {
        const uint64_t seen = unit->writes();
        const Clock::time_point start = Clock::now();
        worker.slot_AddUSBCommand(1, i % 8 + 1);
        backToBack.push_back(microseconds(unit->waitBeyond(seen) - start));
    }
    // One at a time: each command finds the worker asleep, as a preset call from the
    // tracking does.
    std::vector<double> spaced;
    spaced.reserve(kSpacedCommands);
    for (int i = 0; i < kSpacedCommands; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        const uint64_t seen = unit->writes();
        const Clock::time_point start = Clock::now();
        worker.slot_AddUSBCommand(1, i % 8 + 1);
        spaced.push_back(microseconds(unit->waitBeyond(seen) - start));
    }

    const Percentiles d = percentiles(direct);
    const Percentiles b = percentiles(backToBack);
    const Percentiles w = percentiles(spaced);
    std::printf("  %-40s p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", "direct DC_Recv::callPreset", d.p50Us,
                d.p99Us, d.maxUs);
    std::printf("  %-40s p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", "worker, commands 1 ms apart", w.p50Us,
                w.p99Us, w.maxUs);
    std::printf("  %-40s p50 %8.1f us  p99 %8.1f us  max %8.1f us\n", "worker, commands back to back",
                b.p50Us, b.p99Us, b.maxUs);
    std::printf("  %-40s (slot_AddUSBCommand until the write; target p99 <= 2000 us)\n", "");

    // Idle: a receiver set, no commands, for kIdleSeconds.
    std::printf("Idle cost over %d s\n", kIdleSeconds);
    const QString workerTid = threadNamed("vex-cmd-worker");
    if (workerTid.isEmpty()) {
        std::printf("  worker thread not found in /proc/self/task\n");
    } else {
        const ThreadCost before = threadCost(workerTid);
        std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds));
        const ThreadCost after = threadCost(workerTid);
        printIdle("worker, receiver set, no commands", before, after, kIdleSeconds);
        std::printf("  %-40s (target <= 10 wake-ups/s)\n", "");
    }
    worker.requestStop();
    worker.wait();

    // For comparison: the 100 us polling loop, over one second.
    PollingLoop loop;
    loop.setObjectName(QStringLiteral("vex-poll-loop"));
    loop.start();
    QString loopTid;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
    while (loopTid.isEmpty() && Clock::now() < deadline) {
        loopTid = threadNamed("vex-poll-loop");
        if (loopTid.isEmpty())
            std::this_thread::yield();
    }
    if (!loopTid.isEmpty()) {
        const ThreadCost before = threadCost(loopTid);
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const ThreadCost after = threadCost(loopTid);
        printIdle("100 us polling loop (reference)", before, after, 1.0);
    }
    loop.stop.store(true);
    loop.wait();

    KXPlatformInstall(nullptr);
    return 0;
}
