#include "Analysis/KXAiFrameProcessor.h"

#include <algorithm>

#include "Analysis/KXFaceTracker.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {

// Red in full-range BT.601 YUV, the outline colour.
constexpr uint8_t kRedY = 76;
constexpr uint8_t kRedU = 85;
constexpr uint8_t kRedV = 255;

}  // namespace

KXAiFrameProcessor::KXAiFrameProcessor() : KXAiFrameProcessor(KXFaceTracker::shared()) {}

KXAiFrameProcessor::KXAiFrameProcessor(KXFaceTracker& tracker)
    : _tracker(tracker),
      _output(av_frame_alloc()),
      _analysis(std::make_unique<KXAiAnalysisThread>(
          [this](const AVFrame* frame, int mode, const bool* flags, std::vector<KXFaceBox>* faces) {
              return analyse(frame, mode, flags, faces);
          },
          kMaxPictureAgeMs)) {}

KXAiFrameProcessor::~KXAiFrameProcessor() {
    _analysis.reset();  // joins the analysis thread first
    sws_freeContext(_toOutputContext);
    av_frame_free(&_output);
}

bool KXAiFrameProcessor::loadModels() {
    return KXFaceTracker::shared().load();
}

void KXAiFrameProcessor::reset() {
    _analysis->reset();
}

bool KXAiFrameProcessor::analyse(const AVFrame* frame, int mode, const bool* flags,
                                 std::vector<KXFaceBox>* faces) {
    if (!_converter.toBGR(frame, _picture)) {
        return false;
    }
    return _tracker.analyse(_picture, mode, flags, faces);
}

const AVFrame* KXAiFrameProcessor::process(const AVFrame* frame, int mode, const bool* flags) {
    if (frame == nullptr || _output == nullptr || !toOutput(frame)) {
        return nullptr;
    }
    _analysis->offer(frame, mode, flags);
    int width = 0;
    int height = 0;
    _analysis->latestBoxes(&_faces, &width, &height);
    drawOutlines(_faces, width, height);
    return _output;
}

bool KXAiFrameProcessor::toOutput(const AVFrame* frame) {
    if (frame->width <= 0 || frame->height <= 0 || frame->hw_frames_ctx != nullptr || frame->format < 0) {
        return false;
    }
    // Same size, only the range and the chroma layout change: no filtering is needed.
    _toOutputContext = sws_getCachedContext(
        _toOutputContext, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
        frame->width, frame->height, AV_PIX_FMT_YUVJ420P, SWS_POINT, nullptr, nullptr, nullptr);
    if (_toOutputContext == nullptr) {
        return false;
    }
    if (_output->width != frame->width || _output->height != frame->height || _output->data[0] == nullptr) {
        av_frame_unref(_output);
        _output->width = frame->width;
        _output->height = frame->height;
        _output->format = AV_PIX_FMT_YUVJ420P;
        if (av_frame_get_buffer(_output, 0) < 0) {
            av_frame_unref(_output);
            return false;
        }
    }
    _output->color_range = AVCOL_RANGE_JPEG;
    return sws_scale(_toOutputContext, frame->data, frame->linesize, 0, frame->height, _output->data,
                     _output->linesize) == frame->height;
}

// One-pixel rectangles straight into the planes: the luma row or column of each edge, and the
// chroma sample that covers it.
void KXAiFrameProcessor::drawOutlines(const std::vector<KXFaceBox>& faces, int width, int height) {
    if (faces.empty() || width <= 0 || height <= 0) {
        return;
    }
    const int outW = _output->width;
    const int outH = _output->height;
    // Outlines found in a picture of another size (the stream changed size) are scaled to it.
    auto sx = [&](int x) {
        return std::clamp(static_cast<int>(static_cast<int64_t>(x) * outW / width), 0, outW - 1);
    };
    auto sy = [&](int y) {
        return std::clamp(static_cast<int>(static_cast<int64_t>(y) * outH / height), 0, outH - 1);
    };
    auto put = [&](int x, int y) {
        _output->data[0][static_cast<ptrdiff_t>(y) * _output->linesize[0] + x] = kRedY;
        _output->data[1][static_cast<ptrdiff_t>(y / 2) * _output->linesize[1] + x / 2] = kRedU;
        _output->data[2][static_cast<ptrdiff_t>(y / 2) * _output->linesize[2] + x / 2] = kRedV;
    };
    for (const KXFaceBox& face : faces) {
        const int x1 = sx(face.x1);
        const int x2 = sx(face.x2);
        const int y1 = sy(face.y1);
        const int y2 = sy(face.y2);
        for (int x = x1; x <= x2; ++x) {
            put(x, y1);
            put(x, y2);
        }
        for (int y = y1; y <= y2; ++y) {
            put(x1, y);
            put(x2, y);
        }
    }
}
