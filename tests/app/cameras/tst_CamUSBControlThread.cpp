// The camera command worker against a simulated camera: which commands reach the camera's
// extension unit, in which order, and what happens around receiver changes and stops.
#include <QTest>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "CamUSBControlThread.h"
#include "CameraCommand.h"
#include "SimCameraRig.h"
#include "vexsdk.h"

namespace {

using Writes = std::vector<std::pair<uint16_t, uint16_t>>;

constexpr uint16_t kPresetCall = 0x1D;
constexpr uint16_t kPanTilt = 0x27;
constexpr uint16_t kPanStop = 0x33;

// A receiver of the simulated camera as the camera list builds one; control calls need no
// initialisation.
std::unique_ptr<DC_Recv> receiverFor(const SimCameraRig::CameraSpec& camera) {
    const std::string location = SimCameraRig::location(camera);
    DC_SourceText url{static_cast<char*>(std::malloc(location.size() + 1)),
                      static_cast<int32_t>(location.size() + 1)};
    std::memcpy(url.source, location.c_str(), location.size() + 1);
    DC_CaptureFormats formats;
    formats.url = &url;
    formats.sourceType = 0;
    formats.deviceModel = 9;
    auto recv = std::make_unique<DC_Recv>(formats);
    std::free(url.source);
    return recv;
}

}  // namespace

class TstCamUSBControlThread : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void pressAndReleaseQueuedBeforeTheFirstTurnRunInOrder();
    void commandWithoutReceiverIsLost();
    void eachCodeReachesItsRegister();
    void valuesOutsideTheTable();
    void queuedCommandsWaitForTheNextReceiver();
    void stopDiscardsQueuedCommandsAndHoldsBeforeTheThreadRuns();
    void receiverChangeWaitsForTheCommandInProgress();
    void eachCameraGetsItsOwnCommandsInOrder();
    void aGoneCameraTakesOnlyItsOwnCommandsWithIt();

private:
    std::unique_ptr<SimCameraRig> _rig;
    SimCameraRig::CameraSpec _camera;
};

void TstCamUSBControlThread::init() {
    _rig = std::make_unique<SimCameraRig>();
    _rig->plug(_camera);
}

void TstCamUSBControlThread::cleanup() {
    _rig.reset();
}

void TstCamUSBControlThread::pressAndReleaseQueuedBeforeTheFirstTurnRunInOrder() {
    auto recv = receiverFor(_camera);
    CamUSBControlThread worker;
    worker.slot_ConnectUSBCamera(recv.get());
    worker.slot_AddUSBCommand(4, 21);
    worker.slot_AddUSBCommand(4, 20);
    QCOMPARE(worker.queuedCommands(), 2);
    worker.start();
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(_camera).size(), size_t(2), 5000);
    QCOMPARE(_rig->writes(_camera), (Writes{{kPanTilt, 0x31}, {kPanTilt, kPanStop}}));
}

void TstCamUSBControlThread::commandWithoutReceiverIsLost() {
    auto recv = receiverFor(_camera);
    CamUSBControlThread worker;
    worker.start();
    worker.slot_AddUSBCommand(1, 3);
    QCOMPARE(worker.queuedCommands(), 0);
    worker.slot_ConnectUSBCamera(recv.get());
    worker.slot_AddUSBCommand(1, 5);
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(_camera).size(), size_t(1), 5000);
    QTRY_COMPARE(worker.queuedCommands(), 0);
    QCOMPARE(_rig->writes(_camera), (Writes{{kPresetCall, 5}}));
}

void TstCamUSBControlThread::eachCodeReachesItsRegister() {
    auto recv = receiverFor(_camera);
    CamUSBControlThread worker;
    worker.slot_ConnectUSBCamera(recv.get());
    const std::vector<std::pair<int, int>> commands = {
        {0, 3},  {1, 2},  {2, 4}, {3, 6}, {4, 21}, {4, 22}, {4, 23}, {4, 24}, {4, 26}, {4, 27},
        {4, 28}, {4, 29}, {5, 1}, {5, 0}, {6, 0},  {7, 0},  {8, 0},  {9, 0},  {10, 0}, {11, 0}};
    for (const auto& [code, value] : commands) worker.slot_AddUSBCommand(code, value);
    worker.start();
    const Writes expected = {{0x0B, 3},        {0x1D, 2},        {0x1E, 4},        {0x1F, 6},
                             {kPanTilt, 0x31}, {kPanTilt, 0x32}, {kPanTilt, 0x13}, {kPanTilt, 0x23},
                             {kPanTilt, 0x11}, {kPanTilt, 0x21}, {kPanTilt, 0x12}, {kPanTilt, 0x22},
                             {0xE0, 1},        {0xE0, 0},        {0x2B, 0x21},     {0x2B, 0x31},
                             {0x2B, 0x00},     {0x2A, 0x21},     {0x2A, 0x31},     {0x2A, 0x00}};
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(_camera).size(), expected.size(), 10000);
    QCOMPARE(_rig->writes(_camera), expected);
}

void TstCamUSBControlThread::valuesOutsideTheTable() {
    auto recv = receiverFor(_camera);
    CamUSBControlThread worker;
    worker.slot_ConnectUSBCamera(recv.get());
    worker.slot_AddUSBCommand(0, 4);   // no such rotation: consumed without a call
    worker.slot_AddUSBCommand(0, -1);  // likewise
    worker.slot_AddUSBCommand(4, 20);  // stop
    worker.slot_AddUSBCommand(4, 30);  // any other direction stops
    worker.slot_AddUSBCommand(4, -1);  // likewise
    worker.slot_AddUSBCommand(12, 1);  // no such command
    worker.slot_AddUSBCommand(-3, 1);  // likewise
    worker.slot_AddUSBCommand(1, 7);   // the last one
    worker.start();
    QTRY_COMPARE_WITH_TIMEOUT(worker.queuedCommands(), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(_camera).size(), size_t(4), 5000);
    QCOMPARE(_rig->writes(_camera),
             (Writes{{kPanTilt, kPanStop}, {kPanTilt, kPanStop}, {kPanTilt, kPanStop}, {kPresetCall, 7}}));
}

void TstCamUSBControlThread::queuedCommandsWaitForTheNextReceiver() {
    auto first = receiverFor(_camera);
    CamUSBControlThread worker;
    worker.slot_ConnectUSBCamera(first.get());
    worker.slot_AddUSBCommand(1, 4);
    worker.slot_ConnectUSBCamera(nullptr);  // the camera went away before the turn came
    first.reset();
    worker.start();
    QCOMPARE(worker.queuedCommands(), 1);
    auto second = receiverFor(_camera);
    worker.slot_ConnectUSBCamera(second.get());
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(_camera).size(), size_t(1), 5000);
    QCOMPARE(_rig->writes(_camera), (Writes{{kPresetCall, 4}}));
}

void TstCamUSBControlThread::stopDiscardsQueuedCommandsAndHoldsBeforeTheThreadRuns() {
    auto recv = receiverFor(_camera);
    CamUSBControlThread worker;
    worker.slot_ConnectUSBCamera(recv.get());
    worker.slot_AddUSBCommand(1, 1);
    worker.slot_AddUSBCommand(4, 21);
    worker.requestStop();
    QCOMPARE(worker.queuedCommands(), 0);
    // The stop came before the thread ran: it still ends the thread, and nothing runs.
    worker.start();
    QVERIFY(worker.wait(5000));
    QVERIFY(_rig->writes(_camera).empty());
    // A stopped worker takes nothing more.
    worker.slot_AddUSBCommand(1, 2);
    QCOMPARE(worker.queuedCommands(), 0);
}

// The camera list destroys a receiver right after announcing null; the announcement must
// wait for a command that is still using the receiver.
void TstCamUSBControlThread::receiverChangeWaitsForTheCommandInProgress() {
    constexpr int kTransferMs = 300;
    auto recv = receiverFor(_camera);
    CamUSBControlThread worker;
    worker.slot_ConnectUSBCamera(recv.get());
    worker.start();
    _rig->sim().setFault("xu", SimServer::Fault::Delay, 0, kTransferMs);
    _rig->sim().clearJournal();
    const size_t answeredBefore = _rig->sim().answered("xu");
    worker.slot_AddUSBCommand(1, 8);
    QVERIFY(_rig->sim().waitForJournal(1, 5000));  // the command is at the camera now

    worker.slot_ConnectUSBCamera(nullptr);
    QVERIFY2(_rig->sim().answered("xu") > answeredBefore, "the receiver changed while a command used it");
    recv.reset();
    QCOMPARE(_rig->writes(_camera), (Writes{{kPresetCall, 8}}));
}

namespace {

QString locationOf(const SimCameraRig::CameraSpec& camera) {
    return QString::fromStdString(SimCameraRig::location(camera));
}

CameraCommand presetFor(int preset, const QString& camera) {
    return CameraCommand::preset(preset, CameraCommand::Origin::Panel, camera);
}

Writes presets(std::initializer_list<int> values) {
    Writes out;
    for (int v : values) out.emplace_back(kPresetCall, static_cast<uint16_t>(v));
    return out;
}

}  // namespace

// Two cameras, commands for both queued interleaved (one naming no camera: the default's):
// each camera hears exactly its own, in the order they came; a command for a camera that is
// not connected reaches none.
void TstCamUSBControlThread::eachCameraGetsItsOwnCommandsInOrder() {
    SimCameraRig::CameraSpec other;
    other.busPort = "1&3";
    _rig->plug(other);
    auto a = receiverFor(_camera);
    auto b = receiverFor(other);
    CamUSBControlThread worker;
    worker.slot_SetCameraReceiver(locationOf(_camera), a.get());
    worker.slot_SetCameraReceiver(locationOf(other), b.get());
    worker.slot_ConnectUSBCamera(a.get());
    for (int i = 0; i < 5; ++i) {
        worker.slot_AddCameraCommand(presetFor(i, locationOf(_camera).toUpper()));  // any case
        worker.slot_AddCameraCommand(presetFor(20 + i, locationOf(other)));
        if (i == 2)
            worker.slot_AddCameraCommand(presetFor(9, QString()));
    }
    worker.slot_AddCameraCommand(presetFor(8, QStringLiteral("9&9&9&0000")));
    QCOMPARE(worker.queuedCommands(), 11);
    worker.start();
    QTRY_COMPARE_WITH_TIMEOUT(worker.queuedCommands(), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(_camera).size(), size_t(6), 5000);
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(other).size(), size_t(5), 5000);
    QCOMPARE(_rig->writes(_camera), presets({0, 1, 2, 9, 3, 4}));
    QCOMPARE(_rig->writes(other), presets({20, 21, 22, 23, 24}));
}

// The default camera is unplugged while commands wait: its own commands go with it, the
// ones that named no camera move to the new default, the other camera keeps its own.
void TstCamUSBControlThread::aGoneCameraTakesOnlyItsOwnCommandsWithIt() {
    SimCameraRig::CameraSpec other;
    other.busPort = "1&3";
    _rig->plug(other);
    auto a = receiverFor(_camera);
    auto b = receiverFor(other);
    CamUSBControlThread worker;
    worker.slot_SetCameraReceiver(locationOf(_camera), a.get());
    worker.slot_SetCameraReceiver(locationOf(other), b.get());
    worker.slot_ConnectUSBCamera(a.get());
    worker.slot_AddCameraCommand(presetFor(1, locationOf(other)));
    worker.slot_AddCameraCommand(presetFor(2, QString()));
    worker.slot_AddCameraCommand(presetFor(3, locationOf(_camera)));
    worker.slot_AddUSBCommand(1, 4);  // the numeric entry names no camera either

    // As the camera list announces an unplug: the camera, then the new default.
    worker.slot_SetCameraReceiver(locationOf(_camera), nullptr);
    worker.slot_ConnectUSBCamera(b.get());
    a.reset();
    QCOMPARE(worker.queuedCommands(), 3);
    worker.start();
    QTRY_COMPARE_WITH_TIMEOUT(_rig->writes(other).size(), size_t(3), 5000);
    QCOMPARE(_rig->writes(other), presets({1, 2, 4}));
    QTRY_COMPARE(worker.queuedCommands(), 0);
    QVERIFY(_rig->writes(_camera).empty());
    // Later commands for the gone camera reach nobody.
    worker.slot_AddCameraCommand(presetFor(5, locationOf(_camera)));
    QCOMPARE(worker.queuedCommands(), 0);
}

QTEST_GUILESS_MAIN(TstCamUSBControlThread)
#include "tst_CamUSBControlThread.moc"
