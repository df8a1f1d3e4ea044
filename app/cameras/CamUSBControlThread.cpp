#include "CamUSBControlThread.h"

#include <QDebug>

#include "vexsdk.h"

CamUSBControlThread::CamUSBControlThread(QObject* parent) : QThread(parent) {}

CamUSBControlThread::~CamUSBControlThread() {
    requestStop();
    wait();
}

void CamUSBControlThread::requestStop() {
    std::lock_guard<std::mutex> lock(_mutex);
    _stopRequested = true;
    _receiver = nullptr;
    _commandQueue.clear();
    _wake.notify_all();
}

int CamUSBControlThread::queuedCommands() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return static_cast<int>(_commandQueue.size());
}

void CamUSBControlThread::slot_ConnectUSBCamera(DC_Recv* recv) {
    qDebug() << "CamUSBControlThread::slot_ConnectUSBCamera"
             << " recv:" << static_cast<void*>(recv);
    std::lock_guard<std::mutex> lock(_mutex);
    _receiver = recv;
    _wake.notify_all();
}

void CamUSBControlThread::slot_AddUSBCommand(int commandID, int commandValue) {
    std::lock_guard<std::mutex> lock(_mutex);
    // Without a camera a command has nothing to act on; it is not kept for a later one.
    if (_receiver == nullptr)
        return;
    _commandQueue.push_back(CameraCommand{commandID, commandValue});
    _wake.notify_all();
}

void CamUSBControlThread::run() {
    // The stop flag is not cleared here: a stop requested before the thread got to run
    // would otherwise be lost, and the worker would run on after the application's exit
    // waited for it.
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        _wake.wait(lock,
                   [this] { return _stopRequested || (_receiver != nullptr && !_commandQueue.empty()); });
        if (_stopRequested)
            return;
        const CameraCommand command = _commandQueue.front();
        _commandQueue.pop_front();
        executeCommand(_receiver, command);
        lock.unlock();
        QThread::usleep(kCommandGapUs);
        lock.lock();
    }
}

void CamUSBControlThread::executeCommand(DC_Recv* recv, const CameraCommand& command) {
    if (recv == nullptr)
        return;
    const int value = command.commandValue;
    switch (command.commandID) {
        case 0:
            if (value >= 0 && value <= 3)
                recv->setRotate(value);
            break;
        case 1:
            recv->callPreset(value);
            break;
        case 2:
            recv->savePreset(value);
            break;
        case 3:
            recv->resetPreset(value);
            break;
        case 4:
            switch (value) {
                case 21:
                    recv->setPanUp();
                    break;
                case 22:
                    recv->setPanDown();
                    break;
                case 23:
                    recv->setPanLeft();
                    break;
                case 24:
                    recv->setPanRight();
                    break;
                case 25:
                    recv->setPanHome();
                    break;
                case 26:
                    recv->setPanUpLeft();
                    break;
                case 27:
                    recv->setPanUpRight();
                    break;
                case 28:
                    recv->setPanDownLeft();
                    break;
                case 29:
                    recv->setPanDownRight();
                    break;
                default:
                    recv->setPanStop(20);
                    break;
            }
            break;
        case 5:
            recv->setAutoFocusMode(value);
            break;
        case 6:
            recv->setFocusFar();
            break;
        case 7:
            recv->setFocusNear();
            break;
        case 8:
            recv->setFocusStop();
            break;
        case 9:
            recv->setZoomIn();
            break;
        case 10:
            recv->setZoomOut();
            break;
        case 11:
            recv->setZoomStop(35);
            break;
        default:
            break;
    }
}
