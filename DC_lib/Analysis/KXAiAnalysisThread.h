#pragma once

// Face analysis beside the capture path: captureVideo offers every picture it hands out, this
// thread analyses the newest one whenever it is free (pictures that came while it was busy
// are skipped, never queued) and keeps the latest result, whose outlines the capture path
// draws on every picture. The camera is steered from the analysis thread, from that result,
// so the capture path never waits for a detector pass.
//
// Threading:
//  - offer(), latestBoxes() and statistics() come from the video capture thread; setActive()
//    and reset() from any thread (AI mode switched on or off, the preview stopped); the
//    destructor from the owner.
//  - reset() and setActive(false) return only once an analysis that was running has ended
//    (its commands sent): after AI mode is switched off the camera gets no more commands.
//    An inactive thread refuses offers, which closes the gap where a capture call that saw
//    AI mode still on offers a picture after the switch.
//  - The analysis thread is started by the first offer() and runs until the destructor:
//    abort (_stopping) → wake → join → release the held picture.
//  - _mutex guards the offered picture, its mode and flags, the latest result and the figures;
//    it is never held across an analysis (which takes the face tracker's lock and then the
//    camera channel's), so the capture thread never waits for one. Lock order: none is
//    taken while _mutex is held.
//  - The picture is a reference to the decoded frame: the analysis reads its planes while
//    the caller may already have released its own reference; neither writes them.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Analysis/KXFaceTracker.h"

extern "C" {
#include <libavutil/frame.h>
}

class KXAiAnalysisThread {
public:
    // One analysis: finds the faces in `frame`, steers the camera (flags as the tracker takes
    // them) and answers the faces in picture coordinates; false when the picture could not be
    // analysed (the previous result is then kept).
    using Analyse =
        std::function<bool(const AVFrame* frame, int mode, const bool* flags, std::vector<KXFaceBox>* faces)>;

    // `maxAgeMs`: a picture older than this when the thread becomes free is not analysed; the
    // thread waits for the next one instead, so that the camera is steered from a picture at
    // most this old plus one analysis (negative: any age).
    KXAiAnalysisThread(Analyse analyse, int maxAgeMs);
    ~KXAiAnalysisThread();
    KXAiAnalysisThread(const KXAiAnalysisThread&) = delete;
    KXAiAnalysisThread& operator=(const KXAiAnalysisThread&) = delete;

    // Offers a picture (a new reference is taken; an older picture not yet analysed is
    // dropped). Starts the thread at the first call; false when it cannot start.
    bool offer(const AVFrame* frame, int mode, const bool* flags);

    // The faces of the latest analysis and the size of the picture they were found in.
    void latestBoxes(std::vector<KXFaceBox>* faces, int* width, int* height) const;

    // Forgets the offered picture and the latest result (the figures stay), and waits for a
    // running analysis to end.
    void reset();
    // Inactive: as reset(), and offers are refused until active again. Active at construction.
    void setActive(bool active);

    struct Statistics {
        int64_t offered = 0;   // pictures offered
        int64_t analysed = 0;  // analyses finished
        // Per analysis: picture offered → its analysis finished, camera commands sent (ms);
        // and the time between one analysis ending and the next (ms).
        std::vector<double> latencyMs;
        std::vector<double> periodMs;
    };
    Statistics statistics() const;

private:
    using Clock = std::chrono::steady_clock;

    void run();

    const Analyse _analyse;  // immutable
    const int _maxAgeMs;     // immutable

    mutable std::mutex _mutex;
    std::condition_variable _wake;
    AVFrame* _offered = nullptr;         // guarded by _mutex; a reference, or empty
    bool _hasOffered = false;            // guarded by _mutex
    bool _switchOnPending = false;       // guarded by _mutex; a skipped picture carried mode 3
    Clock::time_point _offeredAt;        // guarded by _mutex
    int _mode = 0;                       // guarded by _mutex; the offered picture's
    const bool* _flags = nullptr;        // guarded by _mutex; the offered picture's (the caller's)
    uint64_t _resetGeneration = 0;       // guarded by _mutex; advanced by reset()
    std::vector<KXFaceBox> _faces;       // guarded by _mutex; the latest result
    int _facesWidth = 0;                 // guarded by _mutex
    int _facesHeight = 0;                // guarded by _mutex
    Statistics _statistics;              // guarded by _mutex
    Clock::time_point _lastAnalysisEnd;  // guarded by _mutex
    std::condition_variable _idle;       // an analysis ended
    bool _analysing = false;             // guarded by _mutex; an analysis runs
    bool _active = true;                 // guarded by _mutex
    bool _stopping = false;              // guarded by _mutex
    bool _started = false;               // capture thread (offer) and the destructor only
    std::thread _thread;                 // started by offer(), joined by the destructor
};
