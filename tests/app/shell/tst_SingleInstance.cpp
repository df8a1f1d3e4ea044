// One instance per machine: the lock, and a second start that is a real second process
// handing over to the first. The test binary doubles as that second process.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLocalServer>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstdio>

#include "AppEntry.h"
#include "MainWindow.h"
#include "SingleInstanceGuard.h"

namespace {

const char* kSecondStart = "--second-start";
const char* kStartWithoutTray = "--start-without-tray";

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

private:
    // Runs this binary in one of its start modes against the given names; returns its exit
    // code (negative when it could not be run or did not end).
    int runChild(const char* mode, const QString& name, const QString& lockPath,
                 QByteArray* output = nullptr);
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
    _dir.reset();
}

int TstSingleInstance::runChild(const char* mode, const QString& name, const QString& lockPath,
                                QByteArray* output) {
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
    QApplication app(argc, argv);
    TstSingleInstance test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_SingleInstance.moc"
