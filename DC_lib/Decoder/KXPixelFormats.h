#pragma once

extern "C" {
#include <libavutil/pixfmt.h>
}

// The "J" formats are the full-range spellings of the planar YUV formats. libswscale and the
// encoders want the plain format with the range stated separately (libswscale complains about
// the J spelling). Answers the plain format and sets *fullRange for a J spelling; any other
// format comes back unchanged and leaves *fullRange as the caller set it.
inline AVPixelFormat KXPlainPixelFormat(int format, bool* fullRange) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
            *fullRange = true;
            return AV_PIX_FMT_YUV420P;
        case AV_PIX_FMT_YUVJ422P:
            *fullRange = true;
            return AV_PIX_FMT_YUV422P;
        case AV_PIX_FMT_YUVJ444P:
            *fullRange = true;
            return AV_PIX_FMT_YUV444P;
        case AV_PIX_FMT_YUVJ440P:
            *fullRange = true;
            return AV_PIX_FMT_YUV440P;
        case AV_PIX_FMT_YUVJ411P:
            *fullRange = true;
            return AV_PIX_FMT_YUV411P;
        default:
            return static_cast<AVPixelFormat>(format);
    }
}
