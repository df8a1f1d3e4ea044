// One instance per machine: the lock, and a second start that is a real second process
// handing over to the first. The test binary doubles as that second process.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

#include "AppEntry.h"
#include "MainWindow.h"
#include "SingleInstanceGuard.h"

namespace {

const char* kSecondStart = "--second-start";
const char* kStartWithoutTray = "--start-without-tray";
const char* kStartAndReport = "--start-and-report";

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
    void firstStartWithoutTrayRefuses();
    void lockFileIsNeverFollowedOrChanged();
    void unopenableLockStillStartsTheApplication();
    void lockPathTakenByOtherThingsFallsBackToAPerUserLock();

private:
    // Runs this binary in one of its start modes against the given names; returns its exit
    // code (negative when it could not be run or did not end).
    int runChild(const char* mode, const QString& name, const QString& lockPath, QByteArray* output = nullptr,
                 QByteArray* errors = nullptr);
    int runSecondStart(const QString& name, const QString& lockPath) {
        return runChild(kSecondStart, name, lockPath);
    }

    std::unique_ptr<QTemporaryDir> _dir;
};

void TstSingleInstance::init() {
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
}

void TstSingleInstance::cleanup() {
    qunsetenv("XDG_RUNTIME_DIR");
    _dir.reset();
}

int TstSingleInstance::runChild(const char* mode, const QString& name, const QString& lockPath,
                                QByteArray* output, QByteArray* errors) {
    QProcess child;
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(mode), name, lockPath});
    if (!child.waitForStarted(10000))
        return -100;
    // Keep this process's event loop running: it may be the first instance and must answer.
    (void)QTest::qWaitFor([&] { return child.state() == QProcess::NotRunning; }, 20000);
    if (child.state() != QProcess::NotRunning) {
        child.kill();
        child.waitForFinished(5000);
        return -101;
    }
    if (output)
        *output = child.readAllStandardOutput();
    if (errors)
        *errors = child.readAllStandardError();
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
    QCOMPARE(runSecondStart(uniqueName(), lockPath), 0);
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

void TstSingleInstance::firstStartWithoutTrayRefuses() {
    QByteArray output;
    QCOMPARE(runChild(kStartWithoutTray, uniqueName(), _dir->path() + "/instance.lock", &output), 1);
    QVERIFY2(output.contains("Systray|I couldn't detect any system tray on this system."),
             output.constData());
    // The refusing start wrote no settings.
    QVERIFY(!QFile::exists(_dir->path() + "/Quillon/Vantor/Config/SoundDeviceConfig.ini"));
}

void TstSingleInstance::lockFileIsNeverFollowedOrChanged() {
    // Someone plants a link where the lock file goes, pointing at a file of the next user
    // (or of root): starting must neither change that file's mode nor write to it.
    const QString target = _dir->path() + "/private.conf";
    {
        QFile file(target);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("secret\n");
    }
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0600) == 0);
    const QString lockPath = _dir->path() + "/instance.lock";
    QVERIFY(QFile::link(target, lockPath));

    SingleInstanceGuard guard(lockPath);
    const bool acquired = guard.tryAcquire();
    struct stat info {};
    QVERIFY(::stat(QFile::encodeName(target).constData(), &info) == 0);
    QCOMPARE(info.st_mode & 07777, mode_t(0600));
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("secret\n"));
    // A link is no lock file.
    QVERIFY(!acquired);
}

void TstSingleInstance::unopenableLockStillStartsTheApplication() {
    // A lock path this user cannot open (here: under a folder that does not exist, which
    // holds for root too) must not end the start silently: it falls back to a per-user lock,
    // says so on stderr, and the window comes up.
    const QString runtimeDir = _dir->path() + "/run";
    QVERIFY(QDir().mkpath(runtimeDir));
    QVERIFY(QFile::setPermissions(runtimeDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir));
    const QString name = uniqueName();
    QByteArray output;
    QByteArray errors;
    QCOMPARE(runChild(kStartAndReport, name, _dir->path() + "/missing/instance.lock", &output, &errors), 0);
    QVERIFY2(output.contains("started"), errors.constData());
    QVERIFY2(errors.contains(QFile::encodeName(runtimeDir + "/instance.lock")), errors.constData());
    QCOMPARE(output.trimmed(), "started|" + SingleInstanceGuard::perUserServerName(name).toLocal8Bit());

    // With no usable lock at all the start refuses, and says why, instead of running a
    // second writer of the settings. (A runtime folder under a plain file cannot be made.)
    {
        QFile plain(_dir->path() + "/plain");
        QVERIFY(plain.open(QIODevice::WriteOnly));
    }
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(_dir->path() + "/plain/run"));
    const int refused =
        runChild(kStartAndReport, name, _dir->path() + "/missing/instance.lock", &output, &errors);
    QVERIFY2(refused == 1, errors.constData());
    QVERIFY(!output.contains("started"));
    QVERIFY2(errors.contains("not starting"), errors.constData());
}

void TstSingleInstance::lockPathTakenByOtherThingsFallsBackToAPerUserLock() {
    // A directory or a FIFO where the lock file goes: neither is a lock (opening the FIFO
    // for reading would even block the start). Tests run as root, so file modes prove
    // nothing; these stand for a lock file this user cannot use.
    const QString runtimeDir = _dir->path() + "/run";
    QVERIFY(QDir().mkpath(runtimeDir));
    QVERIFY(QFile::setPermissions(runtimeDir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    const QString directory = _dir->path() + "/taken-by-a-directory.lock";
    QVERIFY(QDir().mkpath(directory));
    const QString fifo = _dir->path() + "/taken-by-a-fifo.lock";
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);

    for (const QString& taken : {directory, fifo}) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir));
        AppEntry::Options options;
        options.instanceName = uniqueName();
        options.lockPath = taken;
        AppEntry::InstanceLock first = AppEntry::takeInstanceLock(options);
        QCOMPARE(first.outcome, AppEntry::InstanceLock::Outcome::Run);
        QCOMPARE(first.lockPath, runtimeDir + "/" + QFileInfo(taken).fileName());
        QCOMPARE(first.serverName, SingleInstanceGuard::perUserServerName(options.instanceName));
        QVERIFY(first.guard && first.guard->isHeld());
        QVERIFY(QFileInfo(first.lockPath).isFile());

        // The same user's second start meets the first there and hands over to it.
        AppEntry::InstanceLock second = AppEntry::takeInstanceLock(options);
        QCOMPARE(second.outcome, AppEntry::InstanceLock::Outcome::HandOver);
        QCOMPARE(second.serverName, first.serverName);

        // Without a runtime folder the per-user lock goes beside the shared one, by user id.
        qunsetenv("XDG_RUNTIME_DIR");
        AppEntry::InstanceLock beside = AppEntry::takeInstanceLock(options);
        QCOMPARE(beside.outcome, AppEntry::InstanceLock::Outcome::Run);
        const QFileInfo info(taken);
        QCOMPARE(beside.lockPath,
                 info.dir().filePath(info.completeBaseName() + "-" + QString::number(::getuid()) + ".lock"));
    }
    // What was in the way is left as it was.
    QVERIFY(QFileInfo(directory).isDir());
    struct stat info {};
    QVERIFY(::lstat(QFile::encodeName(fifo).constData(), &info) == 0);
    QVERIFY(S_ISFIFO(info.st_mode));
    QCOMPARE(info.st_mode & 07777, mode_t(0600));

    // The window of an instance under a per-user lock answers second starts by the per-user
    // name: a real second start, which finds the shared lock unusable too, brings it up.
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtimeDir));
    AppEntry::Options options;
    options.instanceName = uniqueName();
    options.lockPath = fifo;
    const AppEntry::InstanceLock lock = AppEntry::takeInstanceLock(options);
    QCOMPARE(lock.outcome, AppEntry::InstanceLock::Outcome::Run);
    MainWindow window(nullptr, lock.serverName);
    QVERIFY(window.isHandOverServerListening());
    QCOMPARE(window.handOverServerName(), lock.serverName);
    window.hide();
    QCOMPARE(runSecondStart(options.instanceName, fifo), 0);
    QTRY_VERIFY_WITH_TIMEOUT(window.isVisible(), 5000);
}

// Child side of firstStartWithoutTrayRefuses: reports and dismisses the message box the
// refusing start shows, so the start can return its exit code.
static void dismissMessageBoxes() {
    auto* poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            std::printf("%s|%s\n", qPrintable(box->windowTitle()), qPrintable(box->text()));
            std::fflush(stdout);
            box->done(QMessageBox::Ok);
        }
    });
    poll->start(10);
}

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], kStartWithoutTray) == 0) {
        QApplication app(argc, argv);
        AppEntry::Options options;
        options.instanceName = QString::fromLocal8Bit(argv[2]);
        options.lockPath = QString::fromLocal8Bit(argv[3]);
        options.trayAvailable = [] { return false; };
        dismissMessageBoxes();
        return AppEntry::run(app, options);
    }
    if (argc == 4 && qstrcmp(argv[1], kSecondStart) == 0) {
        QApplication app(argc, argv);
        AppEntry::Options options;
        options.instanceName = QString::fromLocal8Bit(argv[2]);
        options.lockPath = QString::fromLocal8Bit(argv[3]);
        options.trayAvailable = [] { return true; };
        return AppEntry::run(app, options);
    }
    if (argc == 4 && qstrcmp(argv[1], kStartAndReport) == 0) {
        QApplication app(argc, argv);
        AppEntry::Options options;
        options.instanceName = QString::fromLocal8Bit(argv[2]);
        options.lockPath = QString::fromLocal8Bit(argv[3]);
        options.trayAvailable = [] { return true; };
        // Reports the running window and ends the run.
        auto* poll = new QTimer(qApp);
        QObject::connect(poll, &QTimer::timeout, [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* window = qobject_cast<MainWindow*>(widget);
                if (window && window->isVisible()) {
                    std::printf("started|%s\n", qPrintable(window->handOverServerName()));
                    std::fflush(stdout);
                    QCoreApplication::exit(0);
                }
            }
        });
        poll->start(10);
        return AppEntry::run(app, options);
    }
    QApplication app(argc, argv);
    TstSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SingleInstance.moc"
