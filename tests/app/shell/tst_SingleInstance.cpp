// One instance per machine: the lock, and a second start that is a real second process
// handing over to the first. The test binary doubles as that second process.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include "AppEntry.h"
#include "MainWindow.h"
#include "SingleInstanceGuard.h"

namespace {

const char* kSecondStart = "--second-start";

QString uniqueName() {
    static int counter = 0;
    return QStringLiteral("vantor-instance-test-%1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(++counter);
}

}  // namespace

class TstSingleInstance : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lockAdmitsOneHolder();
    void secondStartExitsAndBringsFirstToFront();
    void secondStartWithoutListenerStillExits();
    void staleSocketIsReplaced();

private:
    // Runs this binary as a second start against the given names; returns its exit code.
    int runSecondStart(const QString& name, const QString& lockPath, qint64* elapsedMs = nullptr);

    std::unique_ptr<QTemporaryDir> _dir;
};

void TstSingleInstance::init() {
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
}

void TstSingleInstance::cleanup() {
    _dir.reset();
}

int TstSingleInstance::runSecondStart(const QString& name, const QString& lockPath, qint64* elapsedMs) {
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    QElapsedTimer clock;
    clock.start();
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(kSecondStart), name, lockPath});
    if (!child.waitForStarted(10000))
        return -100;
    // Keep this process's event loop running: it is the first instance and must answer.
    (void)QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 20000);
    if (elapsedMs)
        *elapsedMs = clock.elapsed();
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished(5000);
        return -101;
    }
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -102;
}

void TstSingleInstance::lockAdmitsOneHolder() {
    const QString lockPath = _dir->path() + "/instance.lock";
    auto first = std::make_unique<SingleInstanceGuard>(lockPath);
    QVERIFY(first->tryAcquire());
    QVERIFY(first->tryAcquire());  // asking again keeps it

    SingleInstanceGuard second(lockPath);
    QVERIFY(!second.tryAcquire());
    QVERIFY(!second.isHeld());

    // The lock goes with its holder (as with a crashed process).
    first.reset();
    QVERIFY(second.tryAcquire());
}

void TstSingleInstance::secondStartExitsAndBringsFirstToFront() {
    const QString name = uniqueName();
    const QString lockPath = _dir->path() + "/instance.lock";
    SingleInstanceGuard guard(lockPath);
    QVERIFY(guard.tryAcquire());
    MainWindow window(nullptr, name);
    QVERIFY(window.isHandOverServerListening());

    window.hide();
    QCOMPARE(runSecondStart(name, lockPath), 0);
    QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), 5000);

    window.showMinimized();
    QCOMPARE(runSecondStart(name, lockPath), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isMinimized(), 5000);
    QVERIFY(window.isVisible());
}

void TstSingleInstance::secondStartWithoutListenerStillExits() {
    const QString lockPath = _dir->path() + "/instance.lock";
    SingleInstanceGuard guard(lockPath);
    QVERIFY(guard.tryAcquire());
    qint64 elapsed = 0;
    QCOMPARE(runSecondStart(uniqueName(), lockPath, &elapsed), 0);
}

void TstSingleInstance::staleSocketIsReplaced() {
    const QString name = uniqueName();
    // What a crashed instance leaves behind: a socket path nobody listens on.
    const QString socketPath = QDir::tempPath() + "/" + name;
    {
        QFile stale(socketPath);
        QVERIFY(stale.open(QIODevice::WriteOnly));
    }
    MainWindow window(nullptr, name);
    QVERIFY(window.isHandOverServerListening());
}

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], kSecondStart) == 0) {
        QApplication app(argc, argv);
        AppEntry::Options options;
        options.instanceName = QString::fromLocal8Bit(argv[2]);
        options.lockPath = QString::fromLocal8Bit(argv[3]);
        options.trayAvailable = [] { return true; };
        return AppEntry::run(app, options);
    }
    QApplication app(argc, argv);
    TstSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SingleInstance.moc"
