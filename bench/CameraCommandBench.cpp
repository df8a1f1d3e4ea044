// The camera command worker: how long a command takes from slot_AddUSBCommand until its
// extension-unit write reaches the platform, beside the same call made directly on the
// receiver; and what an idle worker (a receiver set, no commands) costs: wake-ups per second
// and processor time, against a loop that sleeps 100 us per turn.
//
// The platform is an in-process backend installed through vexsdk's exported injection: its
// extension unit stamps every write, so the figures are the application's and the library's
// own path, without a simulator socket in between.

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
#include "KXPlatformExports.h"
#include "vexsdk.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCommands = 4000;
constexpr int kSpacedCommands = 2000;
constexpr int kIdleSeconds = 10;
constexpr const char* kLocation = "1&2.4&1&0000";
constexpr const char* kDevicePath =
    "\\\\?\\usb#vid_1d4d&pid_6009&mi_00#1&2.4&1&0000#{65e8773d-8f56-11d0-a3b9-00a0c9223196}\\global";

// Answers like the camera's register channel and stamps each register write.
class StampingUnit : public KXExtensionUnit {
public:
    int query(KXXuQuery query, uint8_t, uint8_t data[4]) override {
        if (query == KXXuQuery::SetCur && (data[0] | data[1]) != 0) {
            std::lock_guard<std::mutex> lock(_mutex);
            _lastWrite = Clock::now();
            ++_writes;
            _written.notify_all();
        }
        return 0;
    }
    uint64_t writes() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _writes;
    }
    Clock::time_point lastWrite() {
        std::lock_guard<std::mutex> lock(_mutex);
        return _lastWrite;
    }
    // Waits until more than `seen` writes happened; the time of the latest.
    Clock::time_point waitBeyond(uint64_t seen) {
        std::unique_lock<std::mutex> lock(_mutex);
        _written.wait(lock, [&] { return _writes > seen; });
        return _lastWrite;
    }

private:
    std::mutex _mutex;
    std::condition_variable _written;
    uint64_t _writes = 0;          // guarded by _mutex
    Clock::time_point _lastWrite;  // guarded by _mutex
};

class Filter : public KXCaptureFilter {
public:
    Filter(KXCaptureDevice device, std::shared_ptr<StampingUnit> unit)
        : _device(std::move(device)), _unit(unit) {}
    const KXCaptureDevice& device() const override { return _device; }
    KXInterfaceResult queryInterface(KXControlInterfaceKind kind) override {
        KXInterfaceResult r;
        r.interface = kind == KXControlInterfaceKind::ExtensionUnit
                          ? std::shared_ptr<KXControlInterface>(_unit)
                          : std::make_shared<KXControlInterface>();
        return r;
    }

private:
    KXCaptureDevice _device;
    std::shared_ptr<StampingUnit> _unit;
};

class InProcessPlatform : public KXPlatform {
public:
    explicit InProcessPlatform(std::shared_ptr<StampingUnit> unit) : _unit(std::move(unit)) {}
    bool usbDevices(std::vector<KXUsbDevice>&) override { return true; }
    bool captureDevices(KXDeviceClass deviceClass, std::vector<KXCaptureDevice>& out) override {
        if (deviceClass == KXDeviceClass::Video) {
            KXCaptureDevice d;
            d.friendlyName = "ZM-150 Camera";
            d.devicePath = kDevicePath;
            d.interfaces = {"camera_control", "extension_unit", "video_processing"};
            out.push_back(d);
        }
        return true;
    }
    std::unique_ptr<KXCaptureFilter> bindFilter(const KXCaptureDevice& d) override {
        return std::make_unique<Filter>(d, _unit);
    }
    bool resolveVideoInput(const KXVideoInputRequest&, KXCaptureInput&) override { return false; }
    bool resolveAudioInput(const std::string&, KXCaptureInput&) override { return false; }
    std::unique_ptr<KXHotplugSource> openHotplugSource() override { return nullptr; }

private:
    std::shared_ptr<StampingUnit> _unit;
};

struct Percentiles {
    double p50Us = 0;
    double p99Us = 0;
    double maxUs = 0;
};

Percentiles percentiles(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    auto at = [&us](double q) {
        return us[std::min(us.size() - 1, static_cast<size_t>(q * (us.size() - 1) + 0.5))];
    };
    return {at(0.50), at(0.99), us.back()};
}

double microseconds(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

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

    DC_SourceText url{strdup(kLocation), static_cast<int32_t>(std::strlen(kLocation) + 1)};
    DC_CaptureFormats formats;
    formats.url = &url;
    formats.sourceType = 0;
    formats.deviceModel = 9;
    DC_Recv recv(formats);
    std::free(url.source);

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
