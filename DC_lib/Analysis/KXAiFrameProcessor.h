#pragma once

// One receiver's side of AI mode. The capture path offers every picture it hands out to the
// analysis thread (KXAiAnalysisThread: the newest picture is analysed whenever the thread is
// free, and the camera steered from it) and hands the picture on at once, converted to
// full-range YUV 4:2:0 (pixel format 12) with the outlines of the latest analysis drawn in,
// so that captureVideo keeps the camera's rate whatever an analysis costs.
//
// Threading: process() and statistics() come from the video capture thread (one caller);
// reset() from any thread. The output conversion and frame belong to the capture thread; the
// BGR converter and picture to the analysis thread; the analysis thread's own lock guards what
// the two share (see KXAiAnalysisThread).

#include <memory>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "Analysis/KXAiAnalysisThread.h"
#include "Analysis/KXBgrConverter.h"

struct SwsContext;
class KXFaceTracker;

class KXAiFrameProcessor {
public:
    // Over the process's face tracker, or over `tracker`.
    KXAiFrameProcessor();
    explicit KXAiFrameProcessor(KXFaceTracker& tracker);
    ~KXAiFrameProcessor();
    KXAiFrameProcessor(const KXAiFrameProcessor&) = delete;
    KXAiFrameProcessor& operator=(const KXAiFrameProcessor&) = delete;

    // Switching AI mode on: rewrites the profiles and loads the process's face models;
    // false when a model cannot be read (AI mode must stay off). Never throws.
    static bool loadModels();

    // Offers `frame` for analysis and answers it outlined with the latest result (owned by
    // this object, valid until the next call), or null when the frame cannot be converted;
    // the caller then hands out the frame as decoded.
    const AVFrame* process(const AVFrame* frame, int mode, const bool* flags);

    // Forgets the picture waiting for analysis and the latest outlines: AI mode went off or
    // the stream stopped, and outlines of another picture must not reappear.
    void reset();
    // AI mode on or off: off also refuses pictures until on again, and returns once a running
    // analysis has ended (no camera command follows).
    void setActive(bool active) { _analysis->setActive(active); }

    KXAiAnalysisThread::Statistics statistics() const { return _analysis->statistics(); }

    // A picture older than this when the analysis thread becomes free is skipped for the next.
    static constexpr int kMaxPictureAgeMs = 10;

private:
    bool analyse(const AVFrame* frame, int mode, const bool* flags, std::vector<KXFaceBox>* faces);
    bool toOutput(const AVFrame* frame);
    void drawOutlines(const std::vector<KXFaceBox>& faces, int width, int height);

    KXFaceTracker& _tracker;
    KXBgrConverter _converter;  // analysis thread only
    cv::Mat _picture;           // analysis thread only

    SwsContext* _toOutputContext = nullptr;  // capture thread only
    AVFrame* _output = nullptr;              // capture thread only: the frame handed out
    std::vector<KXFaceBox> _faces;           // capture thread only: the outlines being drawn

    // Last: destroyed (its thread joined) before what the thread uses.
    std::unique_ptr<KXAiAnalysisThread> _analysis;
};
