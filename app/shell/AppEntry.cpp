#include "AppEntry.h"

#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <cstdio>

#include "MainWindow.h"

LatenessProbe::LatenessProbe(const QString& path, int periodMs, int reportMs)
    : out(path), periodMs(periodMs), reportMs(reportMs) {
    if (!out.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        std::fprintf(stderr, "VantorReda: cannot write the lateness log %s\n", qPrintable(path));
        return;
    }
    clock.start();
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
    timer.start(periodMs);
}

void LatenessProbe::tick() {
    const qint64 now = clock.elapsed();
    // A tick due periodMs after the last one; anything beyond that the loop was kept busy.
    worstMs = qMax(worstMs, now - lastTickMs - periodMs);
    lastTickMs = now;
    if (now - lastReportMs < reportMs)
        return;
    out.write(QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + ' ' + QByteArray::number(worstMs) + '\n');
    out.flush();
    lastReportMs = now;
    worstMs = 0;
}

AppEntry::InstanceLock AppEntry::takeInstanceLock(const Options& options) {
    InstanceLock lock;
    lock.guard = std::make_unique<SingleInstanceGuard>(options.lockPath);
    lock.lockPath = options.lockPath;
    lock.serverName = options.instanceName;
    SingleInstanceGuard::Result result = lock.guard->acquire();
    if (result == SingleInstanceGuard::Result::Unusable) {
        const QString sharedError = lock.guard->errorString();
        // Only this user's instances meet under the per-user lock; it needs no other reader.
        lock.lockPath = SingleInstanceGuard::perUserLockPath(options.lockPath);
        lock.serverName = SingleInstanceGuard::perUserServerName(options.instanceName);
        lock.guard = std::make_unique<SingleInstanceGuard>(lock.lockPath, 0600);
        std::fprintf(stderr,
                     "VantorReda: cannot use the lock file %s (%s); using the per-user lock %s instead\n",
                     qPrintable(options.lockPath), qPrintable(sharedError), qPrintable(lock.lockPath));
        result = lock.guard->acquire();
        if (result == SingleInstanceGuard::Result::Unusable) {
            std::fprintf(stderr,
                         "VantorReda: cannot use the per-user lock file %s either (%s); not starting\n",
                         qPrintable(lock.lockPath), qPrintable(lock.guard->errorString()));
        }
    }
    switch (result) {
        case SingleInstanceGuard::Result::Acquired:
            lock.outcome = InstanceLock::Outcome::Run;
            break;
        case SingleInstanceGuard::Result::HeldElsewhere:
            lock.outcome = InstanceLock::Outcome::HandOver;
            lock.guard.reset();
            break;
        case SingleInstanceGuard::Result::Unusable:
            lock.outcome = InstanceLock::Outcome::Refuse;
            lock.guard.reset();
            break;
    }
    return lock;
}

int AppEntry::run(QApplication& app, const Options& options) {
    const InstanceLock lock = takeInstanceLock(options);
    if (lock.outcome == InstanceLock::Outcome::Refuse)
        return 1;
    if (lock.outcome == InstanceLock::Outcome::HandOver) {
        // Another instance runs: bring it to the front and leave quietly.
        SingleInstanceGuard::handOver(lock.serverName, options.handOverTimeoutMs);
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
    MainWindow window(nullptr, lock.serverName);
    window.show();
    std::unique_ptr<LatenessProbe> probe;
    if (const QString path = qEnvironmentVariable("VANTOR_LATENESS_LOG"); !path.isEmpty())
        probe = std::make_unique<LatenessProbe>(path);
    const int result = app.exec();
    return result;
}
