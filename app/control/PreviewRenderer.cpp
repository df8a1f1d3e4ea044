#include "PreviewRenderer.h"

#include <QDebug>
#include <QTimer>

#include <cstring>

#include "PreviewWindow.h"

PreviewRenderer::PreviewRenderer(QObject* parent, PreviewWindow* window) : QObject(parent), _window(window) {
    qDebug() << "PreviewRenderer::PreviewRenderer"
             << " init result:" << (window ? 0 : -1);
    _timer = new QTimer(this);
    _timer->setTimerType(Qt::PreciseTimer);
    _timer->setInterval(kPullIntervalMs);
    connect(_timer, &QTimer::timeout, this, &PreviewRenderer::refleshVideo_QuillonThreadRender);
}

PreviewRenderer::~PreviewRenderer() {
    release(nullptr);
}

void PreviewRenderer::setReceiver(DC_Recv* recv) {
    _receiverSource.setReceiver(recv);
    _source = recv ? &_receiverSource : nullptr;
}

void PreviewRenderer::setFrameSource(PreviewFrameSource* source) {
    _receiverSource.setReceiver(nullptr);
    _source = source;
}

void PreviewRenderer::start() {
    if (_timer)
        _timer->start(kPullIntervalMs);
}

void PreviewRenderer::stop() {
    if (_timer && _timer->isActive())
        _timer->stop();
}

void PreviewRenderer::release(DC_Recv*) {
    if (_timer) {
        _timer->stop();
        disconnect(_timer, nullptr, this, nullptr);
        delete _timer;
        _timer = nullptr;
    }
    _receiverSource.setReceiver(nullptr);
    _source = nullptr;
    _fed = false;
}

bool PreviewRenderer::isPulling() const {
    return (_timer && _timer->isActive()) || _fed;
}

void PreviewRenderer::consumeFrame(const DC_Video_Frame& frame) {
    _lastResult = DC_ERROR_NONE;
    if (_window && _window->isVisible())
        _window->drawFrame(frame);
}

void PreviewRenderer::streamEnded() {
    _lastResult = DC_ERROR_NOT_RUNNING;
    if (_window)
        _window->setState(PreviewWindow::State::NoPicture);
    emit signal_stopPreview_4K();
    emit signal_StopRecordAndTimeLapse();
}

void PreviewRenderer::streamRefused(KXOpenFailure why) {
    if (!_window)
        return;
    switch (why) {
        case KXOpenFailure::Busy:
            _window->setState(PreviewWindow::State::Busy);
            break;
        case KXOpenFailure::NoPermission:
            _window->setState(PreviewWindow::State::NoPermission);
            break;
        case KXOpenFailure::None:
        case KXOpenFailure::Other:
            _window->setState(PreviewWindow::State::NoPicture);
            break;
    }
}

void PreviewRenderer::refleshVideo_QuillonThreadRender() {
    if (!_source)
        return;
    std::memset(&_frame, 0, sizeof(_frame));
    _lastResult = _source->captureVideo(&_frame, 0);
    switch (_lastResult) {
        case DC_ERROR_NONE:
            // A hidden panel (minimised) keeps the queue drained but spends nothing on drawing.
            if (_window && _window->isVisible())
                _window->drawFrame(_frame);
            _source->freeVideo(&_frame);
            break;
        case DC_ERROR_NOT_RUNNING:
            if (_window)
                _window->setState(PreviewWindow::State::NoPicture);
            emit signal_stopPreview_4K();
            emit signal_StopRecordAndTimeLapse();
            break;
        case DC_ERROR_TIMEOUT:
            break;
    }
}
