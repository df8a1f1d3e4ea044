#include "AppEntry.h"

#include <QApplication>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include "MainWindow.h"
#include "SingleInstanceGuard.h"

int AppEntry::run(QApplication& app, const Options& options) {
    SingleInstanceGuard guard(options.lockPath);
    if (!guard.tryAcquire()) {
        // Another instance runs: bring it to the front and leave quietly.
        SingleInstanceGuard::handOver(options.instanceName, options.handOverTimeoutMs);
        return 0;
    }

    const bool trayAvailable =
        options.trayAvailable ? options.trayAvailable() : QSystemTrayIcon::isSystemTrayAvailable();
    if (!trayAvailable) {
        QMessageBox::critical(nullptr, QObject::tr("Systray"),
                              QObject::tr("I couldn't detect any system tray on this system."),
                              QMessageBox::Ok);
        return 1;
    }

    // The window closes into the tray; only the tray's "Exit" ends the process.
    QApplication::setQuitOnLastWindowClosed(false);
    MainWindow window(nullptr, options.instanceName);
    window.show();
    const int result = app.exec();
    return result;
}
