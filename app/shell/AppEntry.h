#pragma once

#include <QString>

#include <functional>
#include <memory>

#include "SingleInstanceGuard.h"

class QApplication;

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

    // Returns the process exit code: the event loop's result, 0 after handing over to a
    // running instance, 1 without a system tray or without any usable lock.
    static int run(QApplication& app, const Options& options);
};
