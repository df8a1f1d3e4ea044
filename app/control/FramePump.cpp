#include "FramePump.h"

#include <QDebug>
#include <QTimer>

#include <cstring>

#include "PreviewOpenThread.h"

FramePump::FramePump(DC_Recv* recv, QObject* parent) : QObject(parent), _receiver(recv) {
    _thread = new PreviewOpenThread(this);
    _timer = new QTimer(this);
    _timer->setTimerType(Qt::PreciseTimer);
    _timer->setInterval(kPullIntervalMs);
    connect(_timer, &QTimer::timeout, this, &FramePump::pull);
    _retryTimer = new QTimer(this);
    _retryTimer->setSingleShot(true);
    _retryTimer->setInterval(kBusyRetryMs);
    connect(_retryTimer, &QTimer::timeout, this, &FramePump::retryBusyStart);
    connect(_thread, &QThread::finished, this, &FramePump::threadSettled, Qt::QueuedConnection);
}

FramePump::~FramePump() {
    forget();
}

bool FramePump::isPulling() const {
    return _timer->isActive();
}

bool FramePump::isWaitingForBusyCamera() const {
    return _retryTimer->isActive();
}

void FramePump::setStreaming(bool on) {
    if (on == _timer->isActive())
        return;
    if (on)
        _timer->start();
    else
        _timer->stop();
    const QList<FrameConsumer*> consumers = _consumers;
    for (FrameConsumer* consumer : consumers) {
        if (_consumers.contains(consumer))
            consumer->streamStateChanged(on);
    }
}

void FramePump::addConsumer(FrameConsumer* consumer) {
    if (consumer == nullptr || _receiver == nullptr || _consumers.contains(consumer))
        return;
    _consumers.append(consumer);
    if (_timer->isActive()) {
        consumer->streamStateChanged(true);
        return;
    }
    if (_consumers.size() == 1) {
        qDebug() << "FramePump::addConsumer"
                 << "start the stream of" << static_cast<void*>(_receiver);
        _thread->requestStart(_receiver);
    }
    // Already started and idle (a consumer came back before the stop ran): pull at once.
    threadSettled();
}

void FramePump::removeConsumer(FrameConsumer* consumer) {
    if (!_consumers.removeOne(consumer))
        return;
    if (_timer->isActive())
        consumer->streamStateChanged(false);
    if (_consumers.isEmpty() && _receiver != nullptr) {
        // The pull must not overlap the stop: it ends before the stop is asked for.
        _timer->stop();
        _retryTimer->stop();
        qDebug() << "FramePump::removeConsumer"
                 << "stop the stream of" << static_cast<void*>(_receiver);
        _thread->requestStop();
    }
}

void FramePump::threadSettled() {
    if (_receiver == nullptr || _consumers.isEmpty() || _timer->isActive() ||
        !_thread->isStartedOn(_receiver))
        return;
    const KXOpenFailure why = KXReceiverOpenFailure(_receiver);
    if (why == KXOpenFailure::Busy || why == KXOpenFailure::NoPermission) {
        // Nothing to pull: the receiver did not start. Its consumers hear why instead.
        if (why == KXOpenFailure::Busy && !_retryTimer->isActive()) {
            qDebug() << "FramePump::threadSettled"
                     << "the camera is busy, try again in ms:" << kBusyRetryMs;
            _retryTimer->start();
        }
        const QList<FrameConsumer*> consumers = _consumers;
        for (FrameConsumer* consumer : consumers) {
            if (_consumers.contains(consumer))
                consumer->streamRefused(why);
        }
        return;
    }
    setStreaming(true);
}

void FramePump::retryBusyStart() {
    if (_receiver == nullptr || _consumers.isEmpty() || _timer->isActive() ||
        !_thread->isStartedOn(_receiver))
        return;
    _thread->requestRestart(_receiver);
}

void FramePump::forget() {
    if (_receiver == nullptr)
        return;
    _timer->stop();
    _retryTimer->stop();
    const QList<FrameConsumer*> consumers = _consumers;
    _consumers.clear();
    for (FrameConsumer* consumer : consumers) consumer->streamStateChanged(false);
    _thread->forget(_receiver);
    _receiver = nullptr;
}

void FramePump::pull() {
    if (_receiver == nullptr)
        return;
    std::memset(&_frame, 0, sizeof(_frame));
    const DC_Error_Type result = _receiver->captureVideo(&_frame, 0);
    if (result == DC_ERROR_TIMEOUT)
        return;
    // A consumer may leave (or a new one come) while the frame is handed round: each one
    // still attached gets it, and the frame goes back once.
    const QList<FrameConsumer*> consumers = _consumers;
    for (FrameConsumer* consumer : consumers) {
        if (!_consumers.contains(consumer))
            continue;
        if (result == DC_ERROR_NONE)
            consumer->consumeFrame(_frame);
        else
            consumer->streamEnded();
    }
    if (result == DC_ERROR_NONE && _receiver != nullptr)
        _receiver->freeVideo(&_frame);
}
