#include "UvcFrameSource.h"

#include "SimMarker.h"
#include "SimVideoServer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace uvcsim {

void packYuy2(const uint8_t* y, int yStride, const uint8_t* u, int uStride, const uint8_t* v, int vStride,
              int width, int height, uint8_t* out) {
    for (int row = 0; row < height; ++row) {
        const uint8_t* yr = y + static_cast<ptrdiff_t>(row) * yStride;
        const uint8_t* ur = u + static_cast<ptrdiff_t>(row / 2) * uStride;
        const uint8_t* vr = v + static_cast<ptrdiff_t>(row / 2) * vStride;
        uint8_t* o = out + static_cast<ptrdiff_t>(row) * width * 2;
        for (int x = 0; x + 1 < width; x += 2) {
            *o++ = yr[x];
            *o++ = ur[x / 2];
            *o++ = yr[x + 1];
            *o++ = vr[x / 2];
        }
        if (width % 2 != 0) {  // an odd last column keeps its own luma and the last chroma
            *o++ = yr[width - 1];
            *o++ = ur[(width - 1) / 2];
        }
    }
}

UvcFrameSource::UvcFrameSource(std::shared_ptr<const SimPicture> picture, FormatKind kind, int width,
                               int height, int fps, int markerCamera)
    : _picture(std::move(picture)), _kind(kind), _width(width), _height(height), _markerCamera(markerCamera) {
    if (!_picture || width < 16 || height < 16 || width > 4096 || height > 4096 || fps < 1 || fps > 240) {
        _error = "bad picture size or frame rate";
        return;
    }
    _frame = av_frame_alloc();
    _packet = av_packet_alloc();
    if (_frame == nullptr || _packet == nullptr) {
        _error = "out of memory";
        return;
    }
    _frame->width = width;
    _frame->height = height;
    _frame->format = AV_PIX_FMT_YUV420P;
    if (kind != FormatKind::Uncompressed) {
        SimVideoServer::Options o;
        o.codec = kind == FormatKind::Mjpeg ? "mjpeg" : "h264";
        o.width = width;
        o.height = height;
        o.fps = fps;
        if (!simOpenVideoEncoder(o, _codec, _error)) {
            return;
        }
        _frame->format = _codec->pix_fmt;
    }
    if (av_frame_get_buffer(_frame, 32) < 0) {
        _error = "cannot allocate a frame";
    }
}

UvcFrameSource::~UvcFrameSource() {
    av_packet_free(&_packet);
    av_frame_free(&_frame);
    avcodec_free_context(&_codec);
}

bool UvcFrameSource::next(const SimView& view, int64_t number, bool key, Bytes& out) {
    if (!ok() || av_frame_make_writable(_frame) < 0) {
        return false;
    }
    AVFrame* f = _frame;
    _picture->render(view, number, _width, _height, f->data[0], f->linesize[0], f->data[1], f->linesize[1],
                     f->data[2], f->linesize[2]);
    if (_markerCamera >= 0) {
        simmarker::draw({_markerCamera, view.moving}, _width, _height, f->data[0], f->linesize[0], f->data[1],
                        f->linesize[1], f->data[2], f->linesize[2]);
    }
    if (_kind == FormatKind::Uncompressed) {
        out.resize(static_cast<size_t>(_width) * _height * 2);
        packYuy2(f->data[0], f->linesize[0], f->data[1], f->linesize[1], f->data[2], f->linesize[2], _width,
                 _height, out.data());
        return true;
    }
    f->pts = number;
    f->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (_kind == FormatKind::Mjpeg) {
        f->quality = _codec->global_quality;
    }
    if (avcodec_send_frame(_codec, f) < 0) {
        return false;
    }
    out.clear();
    // Without B-frames and with zero latency, each picture comes out at once as one packet.
    while (avcodec_receive_packet(_codec, _packet) == 0) {
        out.insert(out.end(), _packet->data, _packet->data + _packet->size);
        av_packet_unref(_packet);
    }
    return !out.empty();
}

}  // namespace uvcsim
