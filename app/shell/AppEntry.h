#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>

#include "SingleInstanceGuard.h"

class QApplication;

// How late the interface thread serves a short timer: a blocked event loop shows as a late
// tick. Each report period the worst lateness seen is appended to a file as one line,
// "<ms since the epoch> <worst lateness in ms> <of it, ms spent waiting for a processor>", so
// that a program watching a long run (the soak) can tell a frozen window from a busy one
// without touching the window, and a loaded machine from an application that blocks its
// own thread. The wait comes from the scheduler's run-queue time (-1 where the kernel does
// not tell it).
//
// Interface thread only.
class LatenessProbe {
public:
    LatenessProbe(const QString& path, int periodMs = 5, int reportMs = 1000);
    bool isOpen() const { return out.isOpen(); }

private:
    void tick();
    qint64 runQueueWaitNs();  // the thread's time spent ready but not running, -1 unknown

    QFile out;
    QTimer timer;
    QElapsedTimer clock;
    const int periodMs;
    const int reportMs;
    qint64 lastTickMs = 0;
    qint64 lastReportMs = 0;
    qint64 worstMs = 0;
    qint64 worstWaitMs = 0;  // run-queue wait during the worst gap
    qint64 lastWaitNs = -1;  // at the last tick
    QFile schedstat;         // this thread's scheduler statistics
};

// The process start after the application object exists: the single-instance guard, the
// hand-over of a second start, the tray check and the main window's event loop.
class AppEntry {
public:
    struct Options {
        QString instanceName = QStringLiteral("Vantor_AP");
        QString lockPath = QStringLiteral("/tmp/Vantor_AP.lock");
        int handOverTimeoutMs = 500;
        std::function<bool()> trayAvailable;  // empty: ask the system
    };

    // The lock a start runs under.
    struct InstanceLock {
        enum class Outcome {
            Run,       // this process holds the lock and runs the window
            HandOver,  // an instance runs: bring it to the front and leave
            Refuse,    // no lock can be used at all
        };
        Outcome outcome = Outcome::Refuse;
        std::unique_ptr<SingleInstanceGuard> guard;  // held for the run when outcome is Run
        QString lockPath;                            // the lock file decided on
        QString serverName;                          // the local server of the instance
    };

    // Takes the machine-wide lock. When that lock file cannot be used at all (another user's
    // file this user may not open, something other than a file in its place), the start
    // falls back to a per-user lock and a per-user local-server name, so each user can still
    // run the application, and says so on stderr.
    static InstanceLock takeInstanceLock(const Options& options);

    // VANTOR_LATENESS_LOG=path: the event loop runs a LatenessProbe writing to that file.
    // Returns the process exit code: the event loop's result, 0 after handing over to a
    // running instance, 1 without a system tray or without any usable lock.
    static int run(QApplication& app, const Options& options);
};
