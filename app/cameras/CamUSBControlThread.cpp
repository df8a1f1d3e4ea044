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
    _named.clear();
    _queues.clear();
    _waitingForDefault.clear();
    _wake.notify_all();
}

int CamUSBControlThread::queuedCommands() const {
    std::lock_guard<std::mutex> lock(_mutex);
    size_t total = _waitingForDefault.size();
    for (const auto& entry : _queues) total += entry.second.size();
    return static_cast<int>(total);
}

void CamUSBControlThread::pruneLocked() {
    for (auto it = _queues.begin(); it != _queues.end();) {
        bool kept = it->first == _receiver;
        for (const auto& named : _named) kept = kept || named.second == it->first;
        it = kept ? std::next(it) : _queues.erase(it);
    }
}

void CamUSBControlThread::enqueueLocked(DC_Recv* recv, const QueuedCommand& command) {
    // Without a camera a command has nothing to act on; it is not kept for a later one.
    if (recv == nullptr || _stopRequested)
        return;
    _queues[recv].push_back(command);
    _wake.notify_all();
}

DC_Recv* CamUSBControlThread::nextInTurnLocked() const {
    // The receivers after the one served last, then from the start: each camera in turn.
    auto start = _queues.upper_bound(_lastServed);
    for (auto it = start; it != _queues.end(); ++it) {
        if (!it->second.empty())
            return it->first;
    }
    for (auto it = _queues.begin(); it != start; ++it) {
        if (!it->second.empty())
            return it->first;
    }
    return nullptr;
}

void CamUSBControlThread::slot_ConnectUSBCamera(DC_Recv* recv) {
    qDebug() << "CamUSBControlThread::slot_ConnectUSBCamera"
             << " recv:" << static_cast<void*>(recv);
    std::lock_guard<std::mutex> lock(_mutex);
    if (_stopRequested)
        return;
    if (recv != _receiver) {
        // The commands that named no camera go with the default role.
        std::deque<QueuedCommand> moving;
        moving.swap(_waitingForDefault);
        const auto old = _queues.find(_receiver);
        if (old != _queues.end()) {
            std::deque<QueuedCommand> kept;
            for (const QueuedCommand& command : old->second)
                (command.toDefault ? moving : kept).push_back(command);
            old->second.swap(kept);
        }
        _receiver = recv;
        if (recv == nullptr) {
            _waitingForDefault.swap(moving);
        } else {
            std::deque<QueuedCommand>& queue = _queues[recv];
            queue.insert(queue.end(), moving.begin(), moving.end());
        }
    }
    pruneLocked();
    _wake.notify_all();
}

void CamUSBControlThread::slot_SetCameraReceiver(QString location, DC_Recv* recv) {
    qDebug() << "CamUSBControlThread::slot_SetCameraReceiver"
             << "location:" << location << " recv:" << static_cast<void*>(recv);
    std::lock_guard<std::mutex> lock(_mutex);
    if (_stopRequested)
        return;
    if (recv)
        _named[location.toLower()] = recv;
    else
        _named.erase(location.toLower());
    pruneLocked();
    _wake.notify_all();
}

void CamUSBControlThread::slot_AddUSBCommand(int commandID, int commandValue) {
    std::lock_guard<std::mutex> lock(_mutex);
    enqueueLocked(_receiver, QueuedCommand{commandID, commandValue, true});
}

void CamUSBControlThread::slot_AddCameraCommand(CameraCommand command) {
    const auto [code, value] = workerCode(command);
    std::lock_guard<std::mutex> lock(_mutex);
    if (command.camera.isEmpty() || _named.empty()) {
        enqueueLocked(_receiver, QueuedCommand{code, value, true});
        return;
    }
    const auto named = _named.find(command.camera.toLower());
    enqueueLocked(named != _named.end() ? named->second : nullptr, QueuedCommand{code, value, false});
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
        _wake.wait(lock, [this] { return _stopRequested || nextInTurnLocked() != nullptr; });
        if (_stopRequested)
            return;
        DC_Recv* recv = nextInTurnLocked();
        std::deque<QueuedCommand>& queue = _queues[recv];
        const QueuedCommand command = queue.front();
        queue.pop_front();
        _lastServed = recv;
        executeCommand(recv, command);
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
