#include "Analysis/KXAiFrameProcessor.h"

#include "Analysis/KXFaceTracker.h"

KXAiFrameProcessor::KXAiFrameProcessor() : _tracker(KXFaceTracker::shared()) {}

bool KXAiFrameProcessor::loadModels() {
    return KXFaceTracker::shared().load();
}

const AVFrame* KXAiFrameProcessor::process(const AVFrame* frame, int mode, const bool* flags) {
    if (!_converter.toBGR(frame, _picture)) {
        return nullptr;
    }
    if (!_tracker.analyse(_picture, mode, flags)) {
        return nullptr;
    }
    return _converter.toYUV(_picture);
}
