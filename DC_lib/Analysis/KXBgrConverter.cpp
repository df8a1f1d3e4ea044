#include "Analysis/KXBgrConverter.h"

#include "KXLog.h"
#include "Decoder/KXPixelFormats.h"

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

// A bicubic same-size conversion with the YUV side's range stated (the RGB side is always
// full range); BT.601 coefficients both ways.
SwsContext* makeContext(int width, int height, AVPixelFormat source, bool sourceFull, AVPixelFormat target,
                        bool targetFull) {
    SwsContext* context = sws_alloc_context();
    if (context == nullptr) {
        return nullptr;
    }
    av_opt_set_int(context, "srcw", width, 0);
    av_opt_set_int(context, "srch", height, 0);
    av_opt_set_int(context, "src_format", source, 0);
    av_opt_set_int(context, "src_range", sourceFull ? 1 : 0, 0);
    av_opt_set_int(context, "dstw", width, 0);
    av_opt_set_int(context, "dsth", height, 0);
    av_opt_set_int(context, "dst_format", target, 0);
    av_opt_set_int(context, "dst_range", targetFull ? 1 : 0, 0);
    av_opt_set_int(context, "sws_flags", SWS_BICUBIC, 0);
    if (sws_init_context(context, nullptr, nullptr) < 0) {
        sws_freeContext(context);
        return nullptr;
    }
    return context;
}

// libswscale reads and writes packed pixels in whole vector registers, so it touches up to a
// few dozen bytes past the last pixel of a picture's last row. A cv::Mat ends right after that
// pixel: for a picture whose rows are no multiple of the vector width (an odd size, a tiny
// picture from a hostile stream) the conversion would write past the heap block.
constexpr size_t kScalerOverrun = 64;

// True when `image` has at least kScalerOverrun bytes of its own storage after its last pixel
// (a view into a taller image, as allocatePadded makes).
bool hasRoomAfter(const cv::Mat& image) {
    if (image.data == nullptr || image.datalimit == nullptr || image.rows <= 0) {
        return false;
    }
    const uint8_t* end = image.data + (image.rows - 1) * image.step[0] + image.cols * image.elemSize();
    return end <= image.datalimit && static_cast<size_t>(image.datalimit - end) >= kScalerOverrun;
}

}  // namespace

void KXBgrConverter::allocatePadded(cv::Mat& image, int rows, int cols) {
    const size_t rowBytes = static_cast<size_t>(cols) * 3;
    const int extraRows = static_cast<int>((kScalerOverrun + rowBytes - 1) / rowBytes);
    // Zeroed once, so that what libswscale reads past the end is defined.
    const cv::Mat storage(rows + extraRows, cols, CV_8UC3, cv::Scalar::all(0));
    image = storage.rowRange(0, rows);  // shares (and keeps alive) the taller storage
}

KXBgrConverter::~KXBgrConverter() {
    sws_freeContext(_toBgrContext);
    sws_freeContext(_toYuvContext);
    av_frame_free(&_yuvFrame);
}

bool KXBgrConverter::toBGR(const AVFrame* frame, cv::Mat& image) {
    if (frame == nullptr || frame->width <= 0 || frame->height <= 0 || frame->data[0] == nullptr) {
        return false;
    }
    const auto format = static_cast<AVPixelFormat>(frame->format);
    const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format);
    if (descriptor == nullptr || (descriptor->flags & AV_PIX_FMT_FLAG_HWACCEL) != 0) {
        return false;  // a hardware surface must be downloaded before it can be read here
    }
    if (_toBgrContext == nullptr || frame->width != _bgrWidth || frame->height != _bgrHeight ||
        format != _bgrSourceFormat) {
        sws_freeContext(_toBgrContext);
        _toBgrContext = nullptr;
        bool fullRange = frame->color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat source = KXPlainPixelFormat(format, &fullRange);
        _toBgrContext = makeContext(frame->width, frame->height, source, fullRange, AV_PIX_FMT_BGR24, true);
        if (_toBgrContext == nullptr) {
            KXLog("KXBgrConverter: no conversion from %s to BGR\n", descriptor->name);
            _bgrSourceFormat = AV_PIX_FMT_NONE;
            return false;
        }
        _bgrWidth = frame->width;
        _bgrHeight = frame->height;
        _bgrSourceFormat = format;
    }
    cv::Mat converted;
    cv::Mat* target = &image;
    // Written in place only when the overrun lands in the image's own next row or in the room
    // after it: a view of some columns of a wider picture would get its neighbours overwritten.
    if (image.rows != frame->height || image.cols != frame->width || image.type() != CV_8UC3 ||
        !image.isContinuous() || !hasRoomAfter(image)) {
        // Only replace the caller's image once the conversion worked.
        allocatePadded(converted, frame->height, frame->width);
        target = &converted;
    }
    uint8_t* destination[4] = {target->data, nullptr, nullptr, nullptr};
    int destinationStride[4] = {static_cast<int>(target->step[0]), 0, 0, 0};
    const int rows = sws_scale(_toBgrContext, frame->data, frame->linesize, 0, frame->height, destination,
                               destinationStride);
    if (rows != frame->height) {
        return false;
    }
    if (target == &converted) {
        image = converted;
    }
    return true;
}

bool KXBgrConverter::prepareToYuv(int width, int height) {
    if (_toYuvContext != nullptr && width == _yuvWidth && height == _yuvHeight) {
        return true;
    }
    sws_freeContext(_toYuvContext);
    _toYuvContext = makeContext(width, height, AV_PIX_FMT_BGR24, true, AV_PIX_FMT_YUV420P, true);
    _yuvWidth = _toYuvContext != nullptr ? width : 0;
    _yuvHeight = _toYuvContext != nullptr ? height : 0;
    return _toYuvContext != nullptr;
}

bool KXBgrConverter::toYUV(const cv::Mat& image, AVFrame* target) {
    if (image.empty() || image.type() != CV_8UC3 || image.dims != 2 || target == nullptr ||
        target->format != AV_PIX_FMT_YUVJ420P || target->width != image.cols ||
        target->height != image.rows || target->data[0] == nullptr) {
        return false;
    }
    if (!prepareToYuv(image.cols, image.rows)) {
        return false;
    }
    // An image without room after its last pixel is read from a padded copy (images from
    // toBGR and allocatePadded have the room).
    const cv::Mat* readable = &image;
    if (!hasRoomAfter(image)) {
        if (_paddedCopy.rows != image.rows || _paddedCopy.cols != image.cols || !hasRoomAfter(_paddedCopy)) {
            allocatePadded(_paddedCopy, image.rows, image.cols);
        }
        image.copyTo(_paddedCopy);
        readable = &_paddedCopy;
    }
    const uint8_t* source[4] = {readable->data, nullptr, nullptr, nullptr};
    const int sourceStride[4] = {static_cast<int>(readable->step[0]), 0, 0, 0};
    const int rows =
        sws_scale(_toYuvContext, source, sourceStride, 0, image.rows, target->data, target->linesize);
    return rows == image.rows;
}

const AVFrame* KXBgrConverter::toYUV(const cv::Mat& image) {
    if (image.empty() || image.type() != CV_8UC3 || image.dims != 2) {
        return nullptr;
    }
    if (_yuvFrame == nullptr || _yuvFrame->width != image.cols || _yuvFrame->height != image.rows) {
        av_frame_free(&_yuvFrame);
        _yuvFrame = av_frame_alloc();
        if (_yuvFrame == nullptr) {
            return nullptr;
        }
        _yuvFrame->format = AV_PIX_FMT_YUVJ420P;
        _yuvFrame->width = image.cols;
        _yuvFrame->height = image.rows;
        _yuvFrame->color_range = AVCOL_RANGE_JPEG;
        if (av_frame_get_buffer(_yuvFrame, 1) < 0) {
            av_frame_free(&_yuvFrame);
            return nullptr;
        }
    }
    return toYUV(image, _yuvFrame) ? _yuvFrame : nullptr;
}
