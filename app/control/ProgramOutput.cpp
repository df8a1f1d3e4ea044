#include "ProgramOutput.h"

#include <signal.h>

#include <QDebug>

#include <chrono>

#include "ProgramSink.h"

class ProgramOutput::Input : public FrameConsumer {
public:
    Input(ProgramOutput* output, QString camera) : _output(output), _camera(std::move(camera)) {}
    void consumeFrame(const DC_Video_Frame& frame) override { _output->consumeFrame(_camera, frame); }

private:
    ProgramOutput* _output;
    QString _camera;
};

namespace {

std::int64_t steadyMicroseconds() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

ProgramOutput::ProgramOutput(std::unique_ptr<ProgramSink> sink) : _sink(std::move(sink)) {}

ProgramOutput::~ProgramOutput() {
    stop();
}

bool ProgramOutput::configure(const ProgramSettings& settings, QString* error) {
    stop();
    _width = settings.width & ~1;
    _height = settings.height;
    _frameRate = settings.frameRate > 0 ? settings.frameRate : ProgramSettings::kDefaultFrameRate;
    _frameBytes = static_cast<std::size_t>(_width) * static_cast<std::size_t>(_height) * 2;
    _staging.assign(_frameBytes, 0);
    _shown.assign(_frameBytes, 0);
    ProgramFrameConverter::fillBlack(_shown.data(), _width, _height);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _latest.assign(_frameBytes, 0);
        _latestFresh = false;
        ++_generation;
        _abort = false;
        _stats = Stats();
    }
    _startUs = -1;
    _slot = 0;
    _nextDueUs = 0;
    if (!_sink) {
        if (error)
            *error = QStringLiteral("The program has nowhere to go.");
        _frameBytes = 0;
        return false;
    }
    if (!_sink->open(_width, _height, _frameRate, error)) {
        // Nothing is converted or paced for a sink that is not there.
        _frameBytes = 0;
        return false;
    }
    return true;
}

bool ProgramOutput::start(const ProgramSettings& settings, QString* error, Clock clock) {
    if (!configure(settings, error))
        return false;
    _thread = std::thread(&ProgramOutput::run, this, clock ? std::move(clock) : Clock(steadyMicroseconds));
    return true;
}

void ProgramOutput::stop() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _abort = true;
    }
    _wake.notify_all();
    if (_thread.joinable())
        _thread.join();
    if (_sink)
        _sink->close();
}

void ProgramOutput::run(Clock clock) {
    // A pipe whose reader went away answers the write with EPIPE; the signal it also raises
    // would end the whole application. Blocked here, it stays pending on this thread alone.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    std::unique_lock<std::mutex> lock(_mutex);
    while (!_abort) {
        lock.unlock();
        const std::int64_t due = tick(clock());
        lock.lock();
        const std::int64_t waitUs = due - clock();
        if (waitUs > 0)
            _wake.wait_for(lock, std::chrono::microseconds(waitUs), [this] { return _abort; });
    }
}

void ProgramOutput::setSource(const QString& camera) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (camera == _source)
        return;
    _source = camera;
    // The old camera's picture not written yet is dropped: after the cut only the new one.
    _latestFresh = false;
    ++_generation;
}

void ProgramOutput::setFrozen(bool frozen) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (frozen == _frozen)
        return;
    _frozen = frozen;
    _latestFresh = false;
    ++_generation;
}

FrameConsumer* ProgramOutput::input(const QString& camera) {
    std::shared_ptr<Input>& slot = _inputs[camera];
    if (!slot)
        slot = std::make_shared<Input>(this, camera);
    return slot.get();
}

void ProgramOutput::removeInput(const QString& camera) {
    _inputs.remove(camera);
}

void ProgramOutput::consumeFrame(const QString& camera, const DC_Video_Frame& frame) {
    std::uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_frameBytes == 0 || _frozen || camera != _source)
            return;
        generation = _generation;
    }
    if (!_converter.convert(frame, _staging.data(), _width, _height))
        return;
    std::lock_guard<std::mutex> lock(_mutex);
    if (generation != _generation)
        return;
    _latest.swap(_staging);
    _latestFresh = true;
    ++_stats.converted;
}

std::int64_t ProgramOutput::tick(std::int64_t nowUs) {
    if (_frameBytes == 0)
        return nowUs + 1000000;
    if (_startUs < 0) {
        _startUs = nowUs;
        _slot = 0;
        _nextDueUs = nowUs;
    }
    if (nowUs < _nextDueUs)
        return _nextDueUs;
    bool fresh = false;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_latestFresh && !_frozen) {
            _latest.swap(_shown);
            _latestFresh = false;
            fresh = true;
        }
    }
    QString error;
    const bool ok = _sink->write(_shown.data(), _shown.size(), &error);
    // The slot after this one; slots whose time has passed as well are skipped.
    auto slotTime = [this](std::int64_t slot) { return _startUs + slot * 1000000 / _frameRate; };
    std::int64_t next = _slot + 1;
    if (slotTime(next) <= nowUs)
        next = (nowUs - _startUs) * _frameRate / 1000000 + 1;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (ok) {
            ++_stats.written;
            if (!fresh)
                ++_stats.repeated;
        } else {
            ++_stats.failed;
            _stats.lastError = error;
        }
        _stats.skipped += next - _slot - 1;
    }
    _slot = next;
    _nextDueUs = slotTime(next);
    return _nextDueUs;
}

ProgramOutput::Stats ProgramOutput::stats() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _stats;
}
