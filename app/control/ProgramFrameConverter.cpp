#include "ProgramFrameConverter.h"

#include <QSize>

#include "FrameScaler.h"
#include "vexsdk.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

struct SourceFormat {
    AVPixelFormat format = AV_PIX_FMT_NONE;
    bool fullRange = false;
};

SourceFormat sourceFormatOf(int format) {
    switch (format) {
        case FrameScaler::kFormatYUV420P:
            return {AV_PIX_FMT_YUV420P, false};
        // The "J" formats as their plain twins with the range set: libswscale deprecates them.
        case FrameScaler::kFormatYUVJ420P:
            return {AV_PIX_FMT_YUV420P, true};
        case FrameScaler::kFormatYUVJ422P:
            return {AV_PIX_FMT_YUV422P, true};
        case FrameScaler::kFormatNV12:
            return {AV_PIX_FMT_NV12, false};
        default:
            return {};
    }
}

}  // namespace

ProgramFrameConverter::~ProgramFrameConverter() {
    sws_freeContext(_context);
}

void ProgramFrameConverter::fillBlack(std::uint8_t* target, int width, int height) {
    const long pixels = static_cast<long>(width) * height;
    for (long i = 0; i < pixels; ++i) {
        target[2 * i] = 16;       // Y: limited-range black
        target[2 * i + 1] = 128;  // U or V: no colour
    }
}

bool ProgramFrameConverter::convert(const DC_Video_Frame& frame, std::uint8_t* target, int width,
                                    int height) {
    const QSize source = FrameScaler::drawnSize(frame);
    if (source.isEmpty() || target == nullptr || width < 2 || height < 2 || (width & 1))
        return false;
    const Key key{source.width(), source.height(), frame.format, width, height};
    if (_context == nullptr || !(key == _key)) {
        sws_freeContext(_context);
        const SourceFormat in = sourceFormatOf(frame.format);
        // Bilinear: the program mostly shrinks 1080p to 720p, where area averaging gains
        // nothing visible and costs more per frame than the output's budget allows.
        _context = sws_getContext(key.sourceWidth, key.sourceHeight, in.format, width, height,
                                  AV_PIX_FMT_YUYV422, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (_context == nullptr)
            return false;
        ++_contextBuilds;
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(_context, coefficients, in.fullRange ? 1 : 0, coefficients, 0, 0, 1 << 16,
                                 1 << 16);
        _key = key;
    }
    const uint8_t* const planes[4] = {frame.data[0], frame.data[1], frame.data[2], nullptr};
    const int strides[4] = {frame.linesize[0], frame.linesize[1], frame.linesize[2], 0};
    uint8_t* const out[4] = {target, nullptr, nullptr, nullptr};
    const int outStrides[4] = {width * 2, 0, 0, 0};
    return sws_scale(_context, planes, strides, 0, source.height(), out, outStrides) > 0;
}
