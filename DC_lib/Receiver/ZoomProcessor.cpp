#include "Receiver/ZoomProcessor.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "KXLog.h"
#include "Decoder/KXPixelFormats.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

std::vector<float> ratioTable() {
    std::vector<float> ratios;
    ratios.reserve(ZoomProcessor::kRatioCount);
    // Computed from the index rather than summed, so 16.00 comes out exactly.
    for (int64_t i = 0; i < ZoomProcessor::kRatioCount; ++i) {
        ratios.push_back(static_cast<float>(100 + 5 * i) / 100.0f);
    }
    return ratios;
}

constexpr AVPixelFormat kOutputFormat = AV_PIX_FMT_YUVJ420P;
constexpr int kOutputAlign = 32;

// The window size for a ratio: the picture divided by the ratio, on even pixels (the chroma
// of 4:2:0 covers two by two), never larger than the picture.
int windowSide(int side, float ratio) {
    const double r = ratio >= 1.0f && std::isfinite(ratio) ? ratio : 1.0;
    int window = static_cast<int>(std::lround(side / r));
    if (window >= side) {
        return side;
    }
    window &= ~1;
    return std::max(std::min(2, side), window);
}

// How far the window moves per frame along one side: its whole travel in kPanTravelFrames
// frames, at least a pixel while it can move at all.
int panStep(int side, int window) {
    const int travel = side - window;
    if (travel <= 0) {
        return 0;
    }
    return std::max(
        1, static_cast<int>(std::lround(static_cast<double>(travel) / ZoomProcessor::kPanTravelFrames)));
}

}  // namespace

ZoomProcessor::ZoomProcessor() : _ratios(ratioTable()) {}

ZoomProcessor::~ZoomProcessor() {
    sws_freeContext(_scaler);
    av_buffer_pool_uninit(&_pool);  // the pool goes once the last frame lent from it is freed
}

ZoomProcessor::State ZoomProcessor::state() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _state;
}

void ZoomProcessor::setState(const State& state) {
    std::lock_guard<std::mutex> lock(_mutex);
    _state = state;
}

void ZoomProcessor::setCommand(int32_t command) {
    if (command < 0 || command > 6) {
        return;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    _state.command = command;
}

void ZoomProcessor::home() {
    std::lock_guard<std::mutex> lock(_mutex);
    _state.panX = 0;
    _state.panY = 0;
}

void ZoomProcessor::resetZoom() {
    std::lock_guard<std::mutex> lock(_mutex);
    _state.ratioIndex = 0;
    _state.currentRatio = 1.0f;
    _state.panX = 0;
    _state.panY = 0;
}

ZoomProcessor::Window ZoomProcessor::windowFor(const State& state, int width, int height) {
    Window window;
    if (width <= 0 || height <= 0) {
        return window;
    }
    window.width = windowSide(width, state.currentRatio);
    window.height = windowSide(height, state.currentRatio);
    const int64_t x = static_cast<int64_t>(width / 2) + state.panX - window.width / 2;
    const int64_t y = static_cast<int64_t>(height / 2) + state.panY - window.height / 2;
    window.x = static_cast<int>(std::clamp<int64_t>(x, 0, width - window.width)) & ~1;
    window.y = static_cast<int>(std::clamp<int64_t>(y, 0, height - window.height)) & ~1;
    return window;
}

ZoomProcessor::Window ZoomProcessor::advance(int width, int height) {
    std::lock_guard<std::mutex> lock(_mutex);
    _pictureWidth = width;
    _pictureHeight = height;
    _state.centreX = width / 2;
    _state.centreY = height / 2;
    const int32_t last = static_cast<int32_t>(kRatioCount - 1);
    _state.ratioIndex = std::clamp(_state.ratioIndex, 0, last);
    if (_state.command == 1) {
        _state.ratioIndex = std::min(_state.ratioIndex + 1, last);
    } else if (_state.command == 2) {
        _state.ratioIndex = std::max(_state.ratioIndex - 1, 0);
    }
    _state.currentRatio = _ratios[static_cast<size_t>(_state.ratioIndex)];

    const int windowWidth = windowSide(width, _state.currentRatio);
    const int windowHeight = windowSide(height, _state.currentRatio);
    switch (_state.command) {
        case 3:
            _state.panX -= panStep(width, windowWidth);
            break;
        case 4:
            _state.panX += panStep(width, windowWidth);
            break;
        case 5:
            _state.panY -= panStep(height, windowHeight);
            break;
        case 6:
            _state.panY += panStep(height, windowHeight);
            break;
        default:
            break;
    }
    // Kept inside the picture, so that a window pushed against an edge comes back at once.
    const int maxX = (width - windowWidth) / 2;
    const int maxY = (height - windowHeight) / 2;
    _state.panX = std::clamp(_state.panX, -maxX, maxX);
    _state.panY = std::clamp(_state.panY, -maxY, maxY);
    return windowFor(_state, width, height);
}

bool ZoomProcessor::process(const AVFrame* frame, AVFrame* out) {
    if (frame == nullptr || out == nullptr || frame->width <= 0 || frame->height <= 0) {
        return false;
    }
    const Window window = advance(frame->width, frame->height);
    return render(frame, window, out);
}

bool ZoomProcessor::allocateOutput(const AVFrame* frame, AVFrame* out) {
    if (_pool == nullptr || frame->width != _poolWidth || frame->height != _poolHeight) {
        av_buffer_pool_uninit(&_pool);
        const int size = av_image_get_buffer_size(kOutputFormat, frame->width, frame->height, kOutputAlign);
        if (size <= 0) {
            return false;
        }
        _pool = av_buffer_pool_init(static_cast<size_t>(size) + kOutputAlign, nullptr);
        if (_pool == nullptr) {
            return false;
        }
        _poolWidth = frame->width;
        _poolHeight = frame->height;
    }
    out->buf[0] = av_buffer_pool_get(_pool);
    if (out->buf[0] == nullptr) {
        return false;
    }
    // Buffers from av_buffer_alloc are aligned for SIMD; the linesizes are made multiples of
    // the alignment too.
    if (av_image_fill_arrays(out->data, out->linesize, out->buf[0]->data, kOutputFormat, frame->width,
                             frame->height, kOutputAlign) < 0 ||
        av_frame_copy_props(out, frame) < 0) {
        av_frame_unref(out);
        return false;
    }
    out->format = kOutputFormat;
    out->width = frame->width;
    out->height = frame->height;
    out->color_range = AVCOL_RANGE_JPEG;
    return true;
}

bool ZoomProcessor::croppable(const AVFrame* frame, const Window& window) {
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (descriptor == nullptr || frame->data[0] == nullptr ||
        (descriptor->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL)) !=
            0) {
        return false;
    }
    // The corner must start a whole chroma sample.
    const int alignX = 1 << descriptor->log2_chroma_w;
    const int alignY = 1 << descriptor->log2_chroma_h;
    return window.x % alignX == 0 && window.y % alignY == 0;
}

bool ZoomProcessor::render(const AVFrame* frame, const Window& window, AVFrame* out) {
    if (frame == nullptr || out == nullptr || frame->width <= 0 || frame->height <= 0 || window.width <= 0 ||
        window.height <= 0 || window.x < 0 || window.y < 0 || window.x + window.width > frame->width ||
        window.y + window.height > frame->height) {
        return false;
    }
    av_frame_unref(out);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) {
        return false;  // a hardware surface is transferred to system memory first
    }
    // The whole picture, already in the output layout: handed on as it is.
    bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat plain = KXPlainPixelFormat(frame->format, &fullRange);
    if (window.width == frame->width && window.height == frame->height && plain == AV_PIX_FMT_YUV420P &&
        fullRange) {
        if (av_frame_ref(out, frame) < 0) {
            return false;
        }
        out->format = kOutputFormat;
        out->color_range = AVCOL_RANGE_JPEG;
        return true;
    }
    if (_path == Path::Yuv && croppable(frame, window)) {
        return renderYuv(frame, window, out);
    }
    return renderRoundTrip(frame, window, out);
}

bool ZoomProcessor::expandLevels(const AVFrame* frame, AVFrame* out) {
    if (!allocateOutput(frame, out)) {
        return false;
    }
    if (_lumaLevels[255] == 0) {
        // Limited range (luma 16-235, chroma 16-240 around 128) to full range, rounded.
        for (int v = 0; v < 256; ++v) {
            _lumaLevels[v] = static_cast<uint8_t>(
                std::clamp(static_cast<int>(std::lround((v - 16) * 255.0 / 219.0)), 0, 255));
            _chromaLevels[v] = static_cast<uint8_t>(
                std::clamp(static_cast<int>(std::lround((v - 128) * 255.0 / 224.0 + 128)), 0, 255));
        }
    }
    const int width = frame->width;
    const int height = frame->height;
    for (int y = 0; y < height; ++y) {
        const uint8_t* in = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
        uint8_t* to = out->data[0] + static_cast<ptrdiff_t>(y) * out->linesize[0];
        for (int x = 0; x < width; ++x) {
            to[x] = _lumaLevels[in[x]];
        }
    }
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    const bool interleaved = frame->format == AV_PIX_FMT_NV12;
    for (int y = 0; y < chromaHeight; ++y) {
        uint8_t* u = out->data[1] + static_cast<ptrdiff_t>(y) * out->linesize[1];
        uint8_t* v = out->data[2] + static_cast<ptrdiff_t>(y) * out->linesize[2];
        if (interleaved) {
            const uint8_t* uv = frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1];
            for (int x = 0; x < chromaWidth; ++x) {
                u[x] = _chromaLevels[uv[2 * x]];
                v[x] = _chromaLevels[uv[2 * x + 1]];
            }
        } else {
            const uint8_t* inU = frame->data[1] + static_cast<ptrdiff_t>(y) * frame->linesize[1];
            const uint8_t* inV = frame->data[2] + static_cast<ptrdiff_t>(y) * frame->linesize[2];
            for (int x = 0; x < chromaWidth; ++x) {
                u[x] = _chromaLevels[inU[x]];
                v[x] = _chromaLevels[inV[x]];
            }
        }
    }
    return true;
}

bool ZoomProcessor::renderYuv(const AVFrame* frame, const Window& window, AVFrame* out) {
    bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat source = KXPlainPixelFormat(frame->format, &fullRange);
    // The whole picture from a limited-range decoder (H.264, a hardware transfer): only the
    // levels change, which a table does several times faster than a scaler.
    if (window.width == frame->width && window.height == frame->height && !fullRange &&
        (source == AV_PIX_FMT_YUV420P || source == AV_PIX_FMT_NV12)) {
        return expandLevels(frame, out);
    }
    const int key[6] = {window.width,      window.height, frame->format,
                        fullRange ? 1 : 0, frame->width,  frame->height};
    if (_scaler == nullptr || !std::equal(key, key + 6, _scalerKey)) {
        sws_freeContext(_scaler);
        _scaler = sws_alloc_context();
        if (_scaler == nullptr) {
            return false;
        }
        av_opt_set_int(_scaler, "srcw", window.width, 0);
        av_opt_set_int(_scaler, "srch", window.height, 0);
        av_opt_set_int(_scaler, "src_format", source, 0);
        av_opt_set_int(_scaler, "src_range", fullRange ? 1 : 0, 0);
        av_opt_set_int(_scaler, "dstw", frame->width, 0);
        av_opt_set_int(_scaler, "dsth", frame->height, 0);
        av_opt_set_int(_scaler, "dst_format", AV_PIX_FMT_YUV420P, 0);
        av_opt_set_int(_scaler, "dst_range", 1, 0);
        // Without a crop only the layout or the levels change: no filter is needed for that,
        // and a bicubic pass at the same size would cost as much as a real scale.
        const bool sameSize = window.width == frame->width && window.height == frame->height;
        av_opt_set_int(_scaler, "sws_flags", sameSize ? SWS_POINT : SWS_BICUBIC, 0);
        if (sws_init_context(_scaler, nullptr, nullptr) < 0) {
            sws_freeContext(_scaler);
            _scaler = nullptr;
            std::fill(_scalerKey, _scalerKey + 6, -1);
            KXLog("ZoomProcessor: no conversion from pixel format %d\n", frame->format);
            return false;
        }
        std::copy(key, key + 6, _scalerKey);
    }
    // Each plane starts at the window's corner: for each plane, the first component stored in
    // it tells its bytes per pixel and whether it is subsampled.
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    const uint8_t* planes[4] = {nullptr, nullptr, nullptr, nullptr};
    int strides[4] = {0, 0, 0, 0};
    for (int plane = 0; plane < 4; ++plane) {
        if (frame->data[plane] == nullptr) {
            continue;
        }
        for (int c = 0; c < descriptor->nb_components; ++c) {
            const AVComponentDescriptor& component = descriptor->comp[c];
            if (component.plane != plane) {
                continue;
            }
            const bool chroma = (c == 1 || c == 2) && (descriptor->flags & AV_PIX_FMT_FLAG_RGB) == 0;
            const int x = chroma ? window.x >> descriptor->log2_chroma_w : window.x;
            const int y = chroma ? window.y >> descriptor->log2_chroma_h : window.y;
            planes[plane] = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane] +
                            static_cast<ptrdiff_t>(x) * component.step;
            strides[plane] = frame->linesize[plane];
            break;
        }
    }
    if (!allocateOutput(frame, out)) {
        return false;
    }
    const int rows = sws_scale(_scaler, planes, strides, 0, window.height, out->data, out->linesize);
    if (rows != frame->height) {
        av_frame_unref(out);
        return false;
    }
    return true;
}

bool ZoomProcessor::renderRoundTrip(const AVFrame* frame, const Window& window, AVFrame* out) {
    if (!_bgr.toBGR(frame, _bgrImage)) {
        return false;
    }
    const cv::Mat* picture = &_bgrImage;
    if (window.width != frame->width || window.height != frame->height) {
        const cv::Mat crop = _bgrImage(cv::Rect(window.x, window.y, window.width, window.height));
        if (_scaledImage.rows != frame->height || _scaledImage.cols != frame->width) {
            // With room after its end, the back conversion reads it in place (no copy).
            KXBgrConverter::allocatePadded(_scaledImage, frame->height, frame->width);
        }
        cv::resize(crop, _scaledImage, cv::Size(frame->width, frame->height), 0, 0, cv::INTER_CUBIC);
        picture = &_scaledImage;
    }
    if (!allocateOutput(frame, out)) {
        return false;
    }
    if (!_bgr.toYUV(*picture, out)) {
        av_frame_unref(out);
        return false;
    }
    return true;
}
