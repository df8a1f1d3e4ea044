#include "Analysis/KXAiAnalysisThread.h"

#include <pthread.h>

#include <system_error>
#include <utility>

namespace {

// Figures kept for the benchmark: the last this many analyses.
constexpr size_t kKeptFigures = 4096;

double msBetween(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void keep(std::vector<double>& figures, double value) {
    if (figures.size() >= kKeptFigures) {
        figures.erase(figures.begin(), figures.begin() + static_cast<std::ptrdiff_t>(kKeptFigures / 2));
    }
    figures.push_back(value);
}

}  // namespace

KXAiAnalysisThread::KXAiAnalysisThread(Analyse analyse, int maxAgeMs)
    : _analyse(std::move(analyse)), _maxAgeMs(maxAgeMs), _offered(av_frame_alloc()) {}

KXAiAnalysisThread::~KXAiAnalysisThread() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _stopping = true;
    }
    _wake.notify_all();
    if (_thread.joinable()) {
        _thread.join();
    }
    av_frame_free(&_offered);
}

bool KXAiAnalysisThread::offer(const AVFrame* frame, int mode, const bool* flags) {
    if (frame == nullptr || _offered == nullptr) {
        return false;
    }
    if (!_started) {
        try {
            _thread = std::thread([this] { run(); });
        } catch (const std::system_error&) {
            return false;
        }
        pthread_setname_np(_thread.native_handle(), "vex-analysis");
        _started = true;
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_active) {
            return false;
        }
        // Mode 3 switches tracking on with the picture it comes with: skipped for a newer one,
        // the switch goes with that one instead of being lost.
        const bool switchOnPending = _switchOnPending || (_hasOffered && _mode == 3);
        _switchOnPending = false;
        av_frame_unref(_offered);  // an older picture nobody analysed: skipped
        _hasOffered = av_frame_ref(_offered, frame) == 0;
        _offeredAt = Clock::now();
        _mode = switchOnPending ? 3 : mode;
        _flags = flags;
        ++_statistics.offered;
    }
    _wake.notify_one();
    return true;
}

void KXAiAnalysisThread::latestBoxes(std::vector<KXFaceBox>* faces, int* width, int* height) const {
    std::lock_guard<std::mutex> lock(_mutex);
    *faces = _faces;
    *width = _facesWidth;
    *height = _facesHeight;
}

void KXAiAnalysisThread::reset() {
    std::unique_lock<std::mutex> lock(_mutex);
    if (_offered != nullptr) {
        av_frame_unref(_offered);
    }
    _hasOffered = false;
    _switchOnPending = false;
    _faces.clear();
    _facesWidth = _facesHeight = 0;
    ++_resetGeneration;
    _idle.wait(lock, [this] { return !_analysing; });
}

void KXAiAnalysisThread::setActive(bool active) {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _active = active;
    }
    if (!active) {
        reset();
    }
}

KXAiAnalysisThread::Statistics KXAiAnalysisThread::statistics() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _statistics;
}

void KXAiAnalysisThread::run() {
    AVFrame* picture = av_frame_alloc();
    if (picture == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> lock(_mutex);
    while (!_stopping) {
        _wake.wait(lock, [this] { return _stopping || _hasOffered; });
        if (_stopping) {
            break;
        }
        const Clock::time_point offeredAt = _offeredAt;
        // A picture that waited while the previous analysis ran is stale by now: the next one
        // (at most a frame interval away) steers from a fresher view of the room.
        // A switch to tracking it carried goes with that next one.
        if (_maxAgeMs >= 0 && msBetween(offeredAt, Clock::now()) > _maxAgeMs) {
            _switchOnPending = _switchOnPending || _mode == 3;
            av_frame_unref(_offered);
            _hasOffered = false;
            continue;
        }
        av_frame_move_ref(picture, _offered);
        _hasOffered = false;
        _analysing = true;
        const int mode = _mode;
        const bool* flags = _flags;
        const uint64_t generation = _resetGeneration;
        lock.unlock();

        std::vector<KXFaceBox> faces;
        const bool analysed = _analyse(picture, mode, flags, &faces);
        const Clock::time_point end = Clock::now();
        const int width = picture->width;
        const int height = picture->height;
        av_frame_unref(picture);

        lock.lock();
        _analysing = false;
        _idle.notify_all();
        if (analysed && generation == _resetGeneration) {
            _faces = std::move(faces);
            _facesWidth = width;
            _facesHeight = height;
        }
        if (analysed) {
            ++_statistics.analysed;
            keep(_statistics.latencyMs, msBetween(offeredAt, end));
            if (_statistics.analysed > 1) {
                keep(_statistics.periodMs, msBetween(_lastAnalysisEnd, end));
            }
            _lastAnalysisEnd = end;
        }
    }
    lock.unlock();
    av_frame_free(&picture);
}
