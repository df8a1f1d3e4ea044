// The live preview in the running window, on a simulated MJPEG camera whose stream a loopback
// server generates: "PTZ Control" opens the panel with the moving picture; the stream is
// opened on the panel's own thread while the interface goes on ("Connecting…", no capture
// during the open); closing stops the receiver's threads; and a camera change or a close in
// the middle of an open never destroys or pulls from a receiver whose open still runs; a
// camera another program streams says so and shows its picture once that program lets go.
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include "CameraListView.h"
#include "DebugLines.h"
#include "FramePump.h"
#include "MainWindow.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "PTZControlForm.h"
#include "PreviewOpenThread.h"
#include "PreviewRenderer.h"
#include "PreviewWindow.h"
#include "SimCameraRig.h"
#include "titleWidget.h"

namespace {

QString uniqueInstanceName() {
    static int counter = 0;
    return QStringLiteral("vantor-preview-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

// Threads of this process with that name (the library names its receiver threads).
int threadsNamed(const QString& name) {
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task) + QStringLiteral("/comm"));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name.toLatin1())
            ++count;
    }
    return count;
}

// Counts the frames a pump hands it; may leave the pump from inside a call.
class CountingConsumer : public FrameConsumer {
public:
    void consumeFrame(const DC_Video_Frame& frame) override {
        ++frames;
        lastWidth = frame.width;
        if (pump && frames == leaveAfter)
            pump->removeConsumer(this);
    }
    void streamStateChanged(bool on) override { streaming = on; }

    int frames = 0;
    int lastWidth = 0;
    bool streaming = false;
    FramePump* pump = nullptr;  // set: leave after `leaveAfter` frames
    int leaveAfter = -1;
};

// Generous: sanitizer builds on a shared two-core machine are slow.
constexpr int kWaitMs = 20000;

}  // namespace

class TstPreviewOpen : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void openCloseTenTimesOnALiveCamera();
    void cameraChangeDuringAnOpenWaitsForTheOpen();
    void closeDuringAnOpenStopsAfterItAndReopeningKeepsIt();
    void oneStreamFeedsEveryConsumerOfACamera();
    void cameraHeldByAnotherProgramSaysSoAndShowsThePictureOnceFree();

private:
    // A window with the camera connected; `delayMs`: how long the camera takes to deliver.
    void startWindow(int delayMs);
    PTZControlForm* openPanel();
    void closePanel(PTZControlForm* panel);

    std::shared_ptr<MediaClip> _clip;
    std::unique_ptr<QTemporaryDir> _dir;
    std::unique_ptr<MediaStreamServer> _server;
    std::unique_ptr<SimCameraRig> _rig;
    std::unique_ptr<MainWindow> _window;
};

void TstPreviewOpen::initTestCase() {
    MediaRecipe recipe;
    recipe.video = MediaVideo::MJPEG;
    recipe.container = "mjpeg";  // a raw JPEG sequence, as a camera delivers it
    recipe.width = 320;
    recipe.height = 240;
    recipe.frames = 30;
    _clip = std::make_shared<MediaClip>(recipe);
    QVERIFY(_clip->ok());
}

void TstPreviewOpen::init() {
    _dir = std::make_unique<QTemporaryDir>();
    QVERIFY(_dir->isValid());
    qputenv("ALLUSERSPROFILE", _dir->path().toLocal8Bit());
}

void TstPreviewOpen::cleanup() {
    _window.reset();
    _rig.reset();
    _server.reset();
    _dir.reset();
}

void TstPreviewOpen::startWindow(int delayMs) {
    MediaStreamServer::Options options;
    options.loop = true;
    options.delayFirstByteMs = delayMs;
    _server = std::make_unique<MediaStreamServer>(_clip, options);
    QVERIFY(_server->ok());
    _rig = std::make_unique<SimCameraRig>();
    SimCameraRig::CameraSpec camera;
    SimServer::Capability mjpeg = SimCameraRig::capability("MJPG", 1280, 720, 30.0);
    mjpeg.inputUrl = _server->url();
    camera.capabilities = {mjpeg};
    _rig->plug(camera);

    _window = std::make_unique<MainWindow>(nullptr, uniqueInstanceName());
    _window->show();
    CameraListView* list = _window->cameraListPage();
    QTRY_VERIFY_WITH_TIMEOUT(_window->commandWorker() && _window->isEnabled(), kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(list->rowCount(), 1, kWaitMs);
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QVERIFY(list->currentReceiver());
}

PTZControlForm* TstPreviewOpen::openPanel() {
    auto* ptz = _window->cameraListPage()->findChild<QPushButton*>(QStringLiteral("ptz_pushButton"));
    QTest::mouseClick(ptz, Qt::LeftButton);
    PTZControlForm* panel = _window->ptzControlForm();
    if (panel && panel->isVisible() && panel->previewWindow() && panel->renderer())
        return panel;
    return nullptr;
}

void TstPreviewOpen::closePanel(PTZControlForm* panel) {
    auto* close =
        panel->findChild<titleWidget*>()->findChild<QPushButton*>(QStringLiteral("close_pushButton"));
    QTest::mouseClick(close, Qt::LeftButton);
}

void TstPreviewOpen::openCloseTenTimesOnALiveCamera() {
    // The camera takes a moment to deliver, so each open is still running when the click
    // has returned: the window is not held up by it, and nothing is pulled meanwhile.
    startWindow(300);
    PTZControlForm* first = nullptr;
    for (int round = 0; round < 10; ++round) {
        PTZControlForm* panel = openPanel();
        QVERIFY(panel);
        if (!first)
            first = panel;
        QCOMPARE(panel, first);  // created once, then reused
        QVERIFY(panel->previewThread()->isBusy());
        QCOMPARE(panel->previewWindow()->state(), PreviewWindow::State::Connecting);
        QVERIFY(!panel->renderer()->isPulling());

        QTRY_COMPARE_WITH_TIMEOUT(panel->previewWindow()->state(), PreviewWindow::State::Picture, kWaitMs);
        QVERIFY(panel->renderer()->isPulling());
        QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 1);
        QCOMPARE(threadsNamed(QStringLiteral("vex-video")), 1);
        if (round == 0) {
            // The picture is live: it changes.
            const QImage shot = panel->previewWindow()->grab().toImage();
            QTRY_VERIFY_WITH_TIMEOUT(panel->previewWindow()->grab().toImage() != shot, kWaitMs);
            // Asked for again while it shows, the panel keeps its one preview.
            PreviewWindow* shown = panel->previewWindow();
            QCOMPARE(openPanel(), panel);
            QCOMPARE(panel->previewWindow(), shown);
            QVERIFY(!panel->previewThread()->isBusy());
            QVERIFY(panel->renderer()->isPulling());
            QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 1);
        }

        closePanel(panel);
        QVERIFY(panel->isHidden());
        QVERIFY(!panel->previewWindow());
        QVERIFY(!panel->renderer());
        QTRY_VERIFY_WITH_TIMEOUT(!panel->previewThread()->isBusy(), kWaitMs);
        QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 0);
        QCOMPARE(threadsNamed(QStringLiteral("vex-video")), 0);
    }
}

void TstPreviewOpen::cameraChangeDuringAnOpenWaitsForTheOpen() {
    startWindow(1500);
    DebugLines lines;
    PTZControlForm* panel = openPanel();
    QVERIFY(panel);
    QVERIFY(panel->previewThread()->isBusy());
    QCOMPARE(panel->previewWindow()->state(), PreviewWindow::State::Connecting);

    // Disconnecting destroys the receiver: only once its open has returned (and was undone).
    CameraListView* list = _window->cameraListPage();
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QVERIFY(!list->currentReceiver());
    QVERIFY(!panel->previewThread()->isBusy());
    QVERIFY(lines.contains(QStringLiteral("waited for the preview thread")));
    QVERIFY(panel->isHidden());
    QVERIFY(!panel->receiver());
    QVERIFY(!panel->previewWindow());
    QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 0);

    // Connected again, the panel opens on the new receiver.
    QTest::mouseClick(list->rowButton(0), Qt::LeftButton);
    QVERIFY(openPanel());
    QCOMPARE(panel->receiver(), list->currentReceiver());
    QTRY_COMPARE_WITH_TIMEOUT(panel->previewWindow()->state(), PreviewWindow::State::Picture, kWaitMs);
}

void TstPreviewOpen::closeDuringAnOpenStopsAfterItAndReopeningKeepsIt() {
    startWindow(1500);
    PTZControlForm* panel = openPanel();
    QVERIFY(panel);
    closePanel(panel);
    // The close did not wait for the open.
    QVERIFY(panel->isHidden());
    QVERIFY(panel->previewThread()->isBusy());
    // The open is undone once it returns.
    QTRY_VERIFY_WITH_TIMEOUT(!panel->previewThread()->isBusy(), kWaitMs);
    QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 0);

    // Closed and opened again within one open: that open simply goes on and is shown.
    QVERIFY(openPanel());
    QVERIFY(panel->previewThread()->isBusy());
    closePanel(panel);
    QVERIFY(openPanel());
    QVERIFY(panel->previewThread()->isBusy());
    QVERIFY(!panel->renderer()->isPulling());
    QTRY_COMPARE_WITH_TIMEOUT(panel->previewWindow()->state(), PreviewWindow::State::Picture, kWaitMs);
    QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 1);
}

// The panel and a second consumer of the same camera both get its pictures from one stream
// (the receiver hands each frame out once); the stream stops only when neither wants it.
void TstPreviewOpen::oneStreamFeedsEveryConsumerOfACamera() {
    startWindow(0);
    const QString location = _window->cameraListPage()->connectedLocation();
    FramePump* pump = _window->framePump(location);
    QVERIFY(pump);
    QCOMPARE(pump->receiver(), _window->cameraListPage()->currentReceiver());
    QCOMPARE(pump->consumerCount(), 0);

    PTZControlForm* panel = openPanel();
    QVERIFY(panel);
    QCOMPARE(panel->previewThread(), pump->openThread());
    QTRY_COMPARE_WITH_TIMEOUT(panel->previewWindow()->state(), PreviewWindow::State::Picture, kWaitMs);

    CountingConsumer other;
    pump->addConsumer(&other);
    QVERIFY(other.streaming);  // the stream runs already: no second open
    QTRY_VERIFY_WITH_TIMEOUT(other.frames > 5, kWaitMs);
    QCOMPARE(other.lastWidth, 320);
    const QImage shot = panel->previewWindow()->grab().toImage();
    QTRY_VERIFY_WITH_TIMEOUT(panel->previewWindow()->grab().toImage() != shot, kWaitMs);
    QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 1);

    // The panel closes: the other consumer keeps the stream.
    closePanel(panel);
    const int before = other.frames;
    QTRY_VERIFY_WITH_TIMEOUT(other.frames > before + 5, kWaitMs);
    QVERIFY(!panel->previewThread()->isBusy());
    QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 1);

    // The last consumer leaves from inside a call: the stream stops.
    other.pump = pump;
    other.leaveAfter = other.frames + 3;
    QTRY_COMPARE_WITH_TIMEOUT(pump->consumerCount(), 0, kWaitMs);
    QVERIFY(!pump->isPulling());
    QTRY_COMPARE_WITH_TIMEOUT(threadsNamed(QStringLiteral("vex-read")), 0, kWaitMs);

    // Disconnecting the camera forgets its pump before the receiver goes.
    QVERIFY(!other.streaming);
    other.pump = nullptr;
    pump->addConsumer(&other);
    QTRY_VERIFY_WITH_TIMEOUT(pump->isPulling() && other.streaming, kWaitMs);
    QTest::mouseClick(_window->cameraListPage()->rowButton(0), Qt::LeftButton);
    QVERIFY(!other.streaming);
    QVERIFY(!_window->framePump(location));
}

// A video call holds the camera's picture when the panel opens: the picture area says so, the
// panel keeps trying by itself, the camera still obeys the panel, and the picture comes as soon
// as the call lets go, in the same panel.
void TstPreviewOpen::cameraHeldByAnotherProgramSaysSoAndShowsThePictureOnceFree() {
    startWindow(0);
    const SimCameraRig::CameraSpec camera;
    const std::string devicePath = SimCameraRig::devicePath(camera);
    FramePump* pump = _window->framePump(_window->cameraListPage()->connectedLocation());
    QVERIFY(pump);
    _rig->sim().setBusy(devicePath, true);
    DebugLines lines;
    const QString starting = QStringLiteral("startPreview, hardware device");

    PTZControlForm* panel = openPanel();
    QVERIFY(panel);
    PreviewWindow* shown = panel->previewWindow();
    QTRY_COMPARE_WITH_TIMEOUT(shown->state(), PreviewWindow::State::Busy, kWaitMs);
    QCOMPARE(PreviewWindow::stateText(shown->state()),
             QStringLiteral("Another program is using this camera's picture."));
    QCOMPARE(shown->accessibleName(), PreviewWindow::stateText(shown->state()));  // read aloud too
    QVERIFY(!panel->renderer()->isPulling());

    // It tries again on its own, without the panel being opened again.
    QVERIFY(pump->isWaitingForBusyCamera());
    QTRY_VERIFY_WITH_TIMEOUT(lines.count(starting) >= 2, FramePump::kBusyRetryMs + kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(pump->isWaitingForBusyCamera(), kWaitMs);
    QCOMPARE(shown->state(), PreviewWindow::State::Busy);
    QCOMPARE(panel->previewWindow(), shown);
    QCOMPARE(_server->connections(), 0);

    // The extension unit is not the other program's: a preset reaches the camera meanwhile.
    QTest::mouseClick(panel->findChild<QPushButton*>(QStringLiteral("preset4_pushButton")), Qt::LeftButton);
    const std::pair<uint16_t, uint16_t> callFour{0x1D, 4};
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            const auto writes = _rig->writes(camera);
            return std::find(writes.begin(), writes.end(), callFour) != writes.end();
        }(),
        kWaitMs);

    // The call ends: within a retry or two the same panel shows the live picture.
    _rig->sim().setBusy(devicePath, false);
    QTRY_COMPARE_WITH_TIMEOUT(shown->state(), PreviewWindow::State::Picture,
                              FramePump::kBusyRetryMs * 2 + kWaitMs);
    QCOMPARE(panel->previewWindow(), shown);
    QVERIFY(shown->accessibleName().isEmpty());
    QVERIFY(panel->renderer()->isPulling());
    QVERIFY(!pump->isWaitingForBusyCamera());
    QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 1);

    // Closed while the camera is busy, the panel leaves no retry behind.
    closePanel(panel);
    QTRY_VERIFY_WITH_TIMEOUT(!panel->previewThread()->isBusy(), kWaitMs);
    _rig->sim().setBusy(devicePath, true);
    QVERIFY(openPanel());
    QTRY_VERIFY_WITH_TIMEOUT(pump->isWaitingForBusyCamera(), kWaitMs);
    QCOMPARE(panel->previewWindow()->state(), PreviewWindow::State::Busy);
    closePanel(panel);
    QVERIFY(!pump->isWaitingForBusyCamera());
    QTRY_VERIFY_WITH_TIMEOUT(!panel->previewThread()->isBusy(), kWaitMs);
    QCOMPARE(threadsNamed(QStringLiteral("vex-read")), 0);
}

QTEST_MAIN(TstPreviewOpen)
#include "tst_PreviewOpen.moc"
