#include "PreviewOpenThread.h"

#include <QDebug>
#include <QElapsedTimer>

#include "vexsdk.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/hwcontext.h>
}

namespace {

// The hardware device handed to startPreview: a VAAPI device on the default render node, or
// null when there is none (the receiver then decodes in software). Creating it loads a
// driver, which is why it happens here and not on the interface thread. The decoder takes a
// reference of its own while startPreview runs, so the caller drops this one afterwards.
AVBufferRef* createHardwareDevice() {
    AVBufferRef* device = nullptr;
    if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0) < 0)
        return nullptr;
    return device;
}

}  // namespace

PreviewOpenThread::PreviewOpenThread(QObject* parent) : QThread(parent) {
    setObjectName(QStringLiteral("PreviewOpenThread"));
}

PreviewOpenThread::~PreviewOpenThread() {
    requestStop();
    wait();
}

void PreviewOpenThread::kick() {
    // Needs _mutex. A run that already found nothing to do has cleared _busy and is about to
    // return from run(); it is waited for (microseconds) before the next run starts.
    if (_busy)
        return;
    _busy = true;
    wait();
    start();
}

void PreviewOpenThread::requestStart(DC_Recv* recv) {
    std::lock_guard<std::mutex> lock(_mutex);
    _wanted = recv;
    kick();
}

void PreviewOpenThread::requestRestart(DC_Recv* recv) {
    std::lock_guard<std::mutex> lock(_mutex);
    _wanted = recv;
    _restart = recv != nullptr;
    kick();
}

void PreviewOpenThread::requestStop() {
    std::lock_guard<std::mutex> lock(_mutex);
    _wanted = nullptr;
    if (_started != nullptr || _busy)
        kick();
}

void PreviewOpenThread::forget(DC_Recv* recv) {
    if (recv == nullptr)
        return;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_wanted == recv)
            _wanted = nullptr;
        if (!_busy) {
            if (_started == recv)
                _started = nullptr;
            return;
        }
    }
    QElapsedTimer waited;
    waited.start();
    wait();
    qDebug() << "PreviewOpenThread::forget"
             << "waited for the preview thread, ms:" << waited.elapsed();
    std::lock_guard<std::mutex> lock(_mutex);
    if (_started == recv)
        _started = nullptr;
}

bool PreviewOpenThread::isStartedOn(const DC_Recv* recv) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return recv != nullptr && !_busy && _started == recv && _wanted == recv;
}

bool PreviewOpenThread::isBusy() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _busy;
}

void PreviewOpenThread::run() {
    std::unique_lock<std::mutex> lock(_mutex);
    for (;;) {
        if (_started == _wanted && !(_restart && _started != nullptr)) {
            _restart = false;
            _busy = false;
            return;
        }
        if (_started != nullptr) {
            DC_Recv* recv = _started;
            _restart = false;
            lock.unlock();
            recv->stopPreview();
            lock.lock();
            _started = nullptr;
            continue;
        }
        DC_Recv* recv = _wanted;
        _restart = false;  // this start is the fresh one asked for
        lock.unlock();
        AVBufferRef* device = createHardwareDevice();
        qDebug() << "PreviewOpenThread::run"
                 << "startPreview, hardware device:" << (device != nullptr);
        recv->startPreview(device);
        av_buffer_unref(&device);
        lock.lock();
        _started = recv;
    }
}
