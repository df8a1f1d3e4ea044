#pragma once

// One receiver's side of AI mode: takes a captured frame to a BGR picture, lets the
// process-wide face tracker analyse and outline it, and converts the outlined picture back
// into a full-range YUV 4:2:0 frame (pixel format 12) for the caller.
//
// Threading: the thread that calls captureVideo (one caller per capture kind) is the only
// user; the converter and the picture buffer are reused from frame to frame.

#include <opencv2/core/mat.hpp>

#include "Analysis/KXBgrConverter.h"

class KXFaceTracker;

class KXAiFrameProcessor {
public:
    // Over the process's face tracker, or over `tracker`.
    KXAiFrameProcessor();
    explicit KXAiFrameProcessor(KXFaceTracker& tracker) : _tracker(tracker) {}

    // Switching AI mode on: rewrites the profiles and loads the process's face models;
    // false when a model cannot be read (AI mode must stay off). Never throws.
    static bool loadModels();

    // The outlined frame (owned by this object, valid until the next call), or null when the
    // frame could not be analysed; the caller then hands out the frame as decoded.
    const AVFrame* process(const AVFrame* frame, int mode, const bool* flags);

private:
    KXFaceTracker& _tracker;
    KXBgrConverter _converter;
    cv::Mat _picture;
};
