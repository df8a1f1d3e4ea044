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
    _commandQueue.push_back(QueuedCommand{commandID, commandValue});
    _wake.notify_all();
}

void CamUSBControlThread::slot_AddCameraCommand(CameraCommand command) {
    const auto [code, value] = workerCode(command);
    slot_AddUSBCommand(code, value);
}

namespace {

using Kind = CameraCommand::Kind;
using Direction = CameraCommand::Direction;

// The camera's command codes, by kind; pan/tilt values by direction.
constexpr struct {
    Kind kind;
    int code;
} kCodes[] = {
    {Kind::MirrorFlip, 0}, {Kind::CallPreset, 1}, {Kind::SavePreset, 2}, {Kind::ResetPreset, 3},
    {Kind::PanTilt, 4},    {Kind::FocusMode, 5},  {Kind::FocusFar, 6},   {Kind::FocusNear, 7},
    {Kind::FocusStop, 8},  {Kind::ZoomIn, 9},     {Kind::ZoomOut, 10},   {Kind::ZoomStop, 11},
};
constexpr struct {
    Direction direction;
    int value;
} kDirections[] = {
    {Direction::Stop, 20},     {Direction::Up, 21},        {Direction::Down, 22},   {Direction::Left, 23},
    {Direction::Right, 24},    {Direction::Home, 25},      {Direction::UpLeft, 26}, {Direction::UpRight, 27},
    {Direction::DownLeft, 28}, {Direction::DownRight, 29},
};

// Kinds whose value the camera takes; the others are sent with 0.
bool takesValue(Kind kind) {
    return kind == Kind::MirrorFlip || kind == Kind::CallPreset || kind == Kind::SavePreset ||
           kind == Kind::ResetPreset || kind == Kind::PanTilt || kind == Kind::FocusMode;
}

}  // namespace

std::pair<int, int> CamUSBControlThread::workerCode(const CameraCommand& command) {
    int code = -1;
    for (const auto& entry : kCodes) {
        if (entry.kind == command.kind)
            code = entry.code;
    }
    int value = takesValue(command.kind) ? command.value : 0;
    if (command.kind == Kind::PanTilt) {
        value = 20;
        for (const auto& entry : kDirections) {
            if (entry.direction == command.direction())
                value = entry.value;
        }
    }
    return {code, value};
}

std::optional<CameraCommand> CamUSBControlThread::fromWorkerCode(int commandID, int commandValue,
                                                                 CameraCommand::Origin origin) {
    for (const auto& entry : kCodes) {
        if (entry.code != commandID)
            continue;
        if (entry.kind != Kind::PanTilt)
            return CameraCommand::make(entry.kind, takesValue(entry.kind) ? commandValue : 0, origin);
        Direction direction = Direction::Stop;  // the worker stops on any other value
        for (const auto& d : kDirections) {
            if (d.value == commandValue)
                direction = d.direction;
        }
        return CameraCommand::panTilt(direction, origin);
    }
    return std::nullopt;
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
        const QueuedCommand command = _commandQueue.front();
        _commandQueue.pop_front();
        executeCommand(_receiver, command);
        lock.unlock();
        QThread::usleep(kCommandGapUs);
        lock.lock();
    }
}

void CamUSBControlThread::executeCommand(DC_Recv* recv, const QueuedCommand& command) {
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
