#include "FrameScaler.h"

#include "vexsdk.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

// The numbers the capture record carries are libavutil's; these formats must keep them.
static_assert(AV_PIX_FMT_YUV420P == FrameScaler::kFormatYUV420P);
static_assert(AV_PIX_FMT_YUVJ420P == FrameScaler::kFormatYUVJ420P);
static_assert(AV_PIX_FMT_YUVJ422P == FrameScaler::kFormatYUVJ422P);
static_assert(AV_PIX_FMT_NV12 == FrameScaler::kFormatNV12);
// Format_RGB32 is one native-endian 32-bit word 0xffRRGGBB per pixel, which libswscale calls
// AV_PIX_FMT_RGB32 on either byte order.
static constexpr AVPixelFormat kPictureFormat = AV_PIX_FMT_RGB32;

namespace {

struct SourceLayout {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool fullRange = false;
    int planes = 0;
    int chromaWidthDivisor = 2;  // bytes of a chroma row per luma pixel: width / divisor
};

SourceLayout layoutOf(int format) {
    switch (format) {
        case FrameScaler::kFormatYUV420P:
            return {AV_PIX_FMT_YUV420P, false, 3, 2};
        // The full-range formats are handed to libswscale as their plain twins with the range
        // set explicitly: it deprecates the "J" formats and would warn on every context.
        case FrameScaler::kFormatYUVJ420P:
            return {AV_PIX_FMT_YUV420P, true, 3, 2};
        case FrameScaler::kFormatYUVJ422P:
            return {AV_PIX_FMT_YUV422P, true, 3, 2};
        // NV12: the second plane holds interleaved U and V, as many bytes per row as luma.
        case FrameScaler::kFormatNV12:
            return {AV_PIX_FMT_NV12, false, 2, 1};
        default:
            return {};
    }
}

}  // namespace

FrameScaler::~FrameScaler() {
    sws_freeContext(_context);
}

bool FrameScaler::isDrawnFormat(int format) {
    return layoutOf(format).format != AV_PIX_FMT_NONE;
}

QSize FrameScaler::drawnSize(const DC_Video_Frame& frame) {
    const SourceLayout layout = layoutOf(frame.format);
    if (layout.format == AV_PIX_FMT_NONE)
        return {};
    if (frame.width > kMaxSide || frame.height > kMaxSide)
        return {};
    const int width = frame.width & ~1;
    const int height = frame.height & ~1;
    if (width < 2 || height < 2)
        return {};
    for (int plane = 0; plane < layout.planes; ++plane) {
        const int rowBytes = plane == 0 ? width : width / layout.chromaWidthDivisor;
        if (frame.data[plane] == nullptr || frame.linesize[plane] < rowBytes)
            return {};
    }
    return {width, height};
}

bool FrameScaler::prepare(const Key& key) {
    if (_context != nullptr && key == _key)
        return true;
    sws_freeContext(_context);
    _context = nullptr;
    const SourceLayout layout = layoutOf(key.format);
    // Area averaging: the preview mostly shrinks (1080p into 640x360), where it is both the
    // cleaner filter (no aliasing, unlike the two-tap fast bilinear) and, with libswscale's
    // SIMD paths, faster than the full bilinear one.
    _context = sws_getContext(key.sourceWidth, key.sourceHeight, layout.format, key.targetWidth,
                              key.targetHeight, kPictureFormat, SWS_AREA, nullptr, nullptr, nullptr);
    if (_context == nullptr)
        return false;
    ++_contextBuilds;
    // Pictures from a JPEG stream are BT.601 (JFIF); limited-range video follows the usual
    // convention of BT.709 for HD sizes and BT.601 below. The record does not carry it.
    const int colorspace = !layout.fullRange && key.sourceHeight >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
    const int* coefficients = sws_getCoefficients(colorspace);
    sws_setColorspaceDetails(_context, coefficients, layout.fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16,
                             1 << 16);
    _key = key;
    return true;
}

bool FrameScaler::scale(const DC_Video_Frame& frame, QImage& picture) {
    const QSize source = drawnSize(frame);
    if (source.isEmpty() || picture.isNull() || picture.format() != QImage::Format_RGB32)
        return false;
    if (!prepare(Key{source.width(), source.height(), frame.format, picture.width(), picture.height()}))
        return false;
    const uint8_t* const planes[4] = {frame.data[0], frame.data[1], frame.data[2], nullptr};
    const int strides[4] = {frame.linesize[0], frame.linesize[1], frame.linesize[2], 0};
    uint8_t* const target[4] = {picture.bits(), nullptr, nullptr, nullptr};
    const int targetStrides[4] = {static_cast<int>(picture.bytesPerLine()), 0, 0, 0};
    return sws_scale(_context, planes, strides, 0, source.height(), target, targetStrides) > 0;
}
