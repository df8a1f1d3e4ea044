#include "PictureEncoder.h"

#include "FrameScaler.h"
#include "vexsdk.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace {

// The full-range formats go to libswscale as their plain twins with the range set: it
// deprecates the "J" formats and would warn on every context.
AVPixelFormat plainFormat(int format, bool& fullRange) {
    fullRange = false;
    switch (format) {
        case FrameScaler::kFormatYUV420P:
            return AV_PIX_FMT_YUV420P;
        case FrameScaler::kFormatYUVJ420P:
            fullRange = true;
            return AV_PIX_FMT_YUV420P;
        case FrameScaler::kFormatYUVJ422P:
            fullRange = true;
            return AV_PIX_FMT_YUV422P;
        case FrameScaler::kFormatNV12:
            return AV_PIX_FMT_NV12;
        default:
            return AV_PIX_FMT_NONE;
    }
}

}  // namespace

PictureEncoder::PictureEncoder() : _picture(av_frame_alloc()), _packet(av_packet_alloc()) {}

PictureEncoder::~PictureEncoder() {
    sws_freeContext(_scaler);
    avcodec_free_context(&_codec);
    av_frame_free(&_picture);
    av_packet_free(&_packet);
}

QSize PictureEncoder::targetSize(QSize source, int width) {
    if (source.isEmpty() || width < 2)
        return {};
    if (source.width() <= width)
        return {source.width() & ~1, source.height() & ~1};
    const int w = width & ~1;
    const qint64 h = (static_cast<qint64>(source.height()) * w + source.width() / 2) / source.width();
    return {w, qMax(2, static_cast<int>(h) & ~1)};
}

bool PictureEncoder::prepare(QSize source, int format, QSize target) {
    if (_scaler && _codec && source == _source && format == _format && target == _target)
        return true;
    sws_freeContext(_scaler);
    _scaler = nullptr;
    avcodec_free_context(&_codec);
    av_frame_unref(_picture);
    _source = source;
    _format = format;
    _target = target;

    bool fullRange = false;
    const AVPixelFormat from = plainFormat(format, fullRange);
    _scaler = sws_getContext(source.width(), source.height(), from, target.width(), target.height(),
                             AV_PIX_FMT_YUV420P, SWS_AREA, nullptr, nullptr, nullptr);
    if (!_scaler)
        return false;
    const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
    sws_setColorspaceDetails(_scaler, coefficients, fullRange ? 1 : 0, coefficients, 1, 0, 1 << 16, 1 << 16);

    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (!codec)
        return false;
    _codec = avcodec_alloc_context3(codec);
    if (!_codec)
        return false;
    _codec->width = target.width();
    _codec->height = target.height();
    _codec->pix_fmt = AV_PIX_FMT_YUVJ420P;
    _codec->color_range = AVCOL_RANGE_JPEG;
    _codec->time_base = AVRational{1, 30};
    // A fixed quantiser: about a camera's own JPEG, whatever the picture holds.
    _codec->flags |= AV_CODEC_FLAG_QSCALE;
    _codec->global_quality = FF_QP2LAMBDA * 4;
    if (avcodec_open2(_codec, codec, nullptr) < 0) {
        avcodec_free_context(&_codec);
        return false;
    }
    _picture->width = target.width();
    _picture->height = target.height();
    _picture->format = AV_PIX_FMT_YUVJ420P;
    _picture->color_range = AVCOL_RANGE_JPEG;
    if (av_frame_get_buffer(_picture, 0) < 0) {
        av_frame_unref(_picture);
        avcodec_free_context(&_codec);
        return false;
    }
    return true;
}

QByteArray PictureEncoder::encode(const DC_Video_Frame& frame, int width) {
    // Checks the record's size and planes: nothing is read past a plane's row.
    const QSize source = FrameScaler::drawnSize(frame);
    const QSize target = targetSize(source, width);
    if (target.isEmpty() || !_picture || !_packet || !prepare(source, frame.format, target))
        return {};
    if (av_frame_make_writable(_picture) < 0)
        return {};
    const uint8_t* const planes[4] = {frame.data[0], frame.data[1], frame.data[2], nullptr};
    const int strides[4] = {frame.linesize[0], frame.linesize[1], frame.linesize[2], 0};
    if (sws_scale(_scaler, planes, strides, 0, source.height(), _picture->data, _picture->linesize) <= 0)
        return {};
    QByteArray jpeg;
    if (avcodec_send_frame(_codec, _picture) == 0 && avcodec_receive_packet(_codec, _packet) == 0) {
        jpeg = QByteArray(reinterpret_cast<const char*>(_packet->data), _packet->size);
        av_packet_unref(_packet);
    }
    return jpeg;
}
