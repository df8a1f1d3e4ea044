#include "AppEntry.h"

#include <QApplication>
#include <QDateTime>
#include <QMessageBox>
#include <QSystemTrayIcon>

#include <cstdio>

#include "MainWindow.h"

LatenessProbe::LatenessProbe(const QString& path, int periodMs, int reportMs)
    : out(path),
      periodMs(periodMs),
      reportMs(reportMs),
      schedstat(QStringLiteral("/proc/thread-self/schedstat")) {
    if (!out.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) {
        std::fprintf(stderr, "VantorReda: cannot write the lateness log %s\n", qPrintable(path));
        return;
    }
    if (!schedstat.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        std::fprintf(stderr,
                     "VantorReda: no scheduler statistics; the lateness log cannot tell waits apart\n");
    clock.start();
    lastWaitNs = runQueueWaitNs();
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, [this] { tick(); });
    timer.start(periodMs);
}

qint64 LatenessProbe::runQueueWaitNs() {
    // "<ns on a processor> <ns waiting on a run queue> <time slices>"
    if (!schedstat.isOpen() || !schedstat.seek(0))
        return -1;
    const QList<QByteArray> words = schedstat.read(128).split(' ');
    bool ok = false;
    const qint64 wait = words.size() >= 2 ? words[1].toLongLong(&ok) : -1;
    return ok ? wait : -1;
}

void LatenessProbe::tick() {
    const qint64 now = clock.elapsed();
    const qint64 waitNs = runQueueWaitNs();
    // A tick due periodMs after the last one; anything beyond that the loop was kept busy.
    const qint64 late = now - lastTickMs - periodMs;
    if (late > worstMs) {
        worstMs = late;
        worstWaitMs = (waitNs >= 0 && lastWaitNs >= 0) ? (waitNs - lastWaitNs) / 1000000 : -1;
    }
    lastTickMs = now;
    lastWaitNs = waitNs;
    if (now - lastReportMs < reportMs)
        return;
    out.write(QByteArray::number(QDateTime::currentMSecsSinceEpoch()) + ' ' + QByteArray::number(worstMs) +
              ' ' + QByteArray::number(worstWaitMs) + '\n');
    out.flush();
    lastReportMs = now;
    worstMs = 0;
    worstWaitMs = 0;
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
