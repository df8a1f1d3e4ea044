#pragma once

#include <QString>

#include <functional>

class QApplication;

// The process start after the application object exists: the machine-wide guard, the hand-
// over of a second start, the tray check and the main window's event loop.
class AppEntry {
public:
    struct Options {
        QString instanceName = QStringLiteral("Vantor_AP");
        QString lockPath = QStringLiteral("/tmp/Vantor_AP.lock");
        int handOverTimeoutMs = 500;
        std::function<bool()> trayAvailable;  // empty: ask the system
    };

    // Returns the process exit code: the event loop's result, 0 after handing over to a
    // running instance, 1 without a system tray.
    static int run(QApplication& app, const Options& options);
};
