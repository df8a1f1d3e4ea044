#include "Picture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

std::string avError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct CodecDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct ScaleDeleter {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};

}  // namespace

VexctlPicture::VexctlPicture() : _frame(av_frame_alloc()) {}

VexctlPicture::~VexctlPicture() {
    av_frame_free(&_frame);
}

bool VexctlPicture::empty() const {
    return _frame == nullptr || _frame->width <= 0;
}

int VexctlPicture::width() const {
    return _frame ? _frame->width : 0;
}

int VexctlPicture::height() const {
    return _frame ? _frame->height : 0;
}

bool VexctlPicture::copyFrom(const DC_Video_Frame& frame) {
    if (_frame == nullptr || frame.width <= 0 || frame.height <= 0 || frame.data[0] == nullptr) {
        return false;
    }
    const auto format = static_cast<AVPixelFormat>(frame.format);
    if (av_pix_fmt_desc_get(format) == nullptr ||
        (av_pix_fmt_desc_get(format)->flags & AV_PIX_FMT_FLAG_HWACCEL)) {
        return false;
    }
    if (_frame->width != frame.width || _frame->height != frame.height || _frame->format != frame.format) {
        av_frame_unref(_frame);
        _frame->width = frame.width;
        _frame->height = frame.height;
        _frame->format = frame.format;
        if (av_frame_get_buffer(_frame, 0) < 0) {
            av_frame_unref(_frame);
            return false;
        }
    }
    const uint8_t* source[4] = {frame.data[0], frame.data[1], frame.data[2], frame.data[3]};
    const int lines[4] = {frame.linesize[0], frame.linesize[1], frame.linesize[2], frame.linesize[3]};
    av_image_copy(_frame->data, _frame->linesize, source, lines, format, frame.width, frame.height);
    return true;
}

bool VexctlPicture::writeJpeg(const std::string& path, std::string& error) const {
    if (empty()) {
        error = "no picture to write";
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) {
        error = "this FFmpeg has no JPEG encoder";
        return false;
    }
    // The JPEG encoder takes full-range 4:2:0 pictures.
    std::unique_ptr<AVFrame, FrameDeleter> converted(av_frame_alloc());
    converted->width = _frame->width;
    converted->height = _frame->height;
    converted->format = AV_PIX_FMT_YUVJ420P;
    int rc = av_frame_get_buffer(converted.get(), 0);
    if (rc < 0) {
        error = "out of memory for the picture: " + avError(rc);
        return false;
    }
    std::unique_ptr<SwsContext, ScaleDeleter> scale(sws_getContext(
        _frame->width, _frame->height, static_cast<AVPixelFormat>(_frame->format), converted->width,
        converted->height, AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scale) {
        error = std::string("cannot convert pictures of format ") +
                av_get_pix_fmt_name(static_cast<AVPixelFormat>(_frame->format));
        return false;
    }
    sws_scale(scale.get(), _frame->data, _frame->linesize, 0, _frame->height, converted->data,
              converted->linesize);

    std::unique_ptr<AVCodecContext, CodecDeleter> encoder(avcodec_alloc_context3(codec));
    encoder->width = converted->width;
    encoder->height = converted->height;
    encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder->color_range = AVCOL_RANGE_JPEG;
    encoder->time_base = AVRational{1, 25};
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * 3;  // high quality (qscale 3)
    converted->quality = encoder->global_quality;
    converted->pts = 0;
    rc = avcodec_open2(encoder.get(), codec, nullptr);
    if (rc < 0) {
        error = "the JPEG encoder does not open: " + avError(rc);
        return false;
    }
    std::unique_ptr<AVPacket, PacketDeleter> packet(av_packet_alloc());
    rc = avcodec_send_frame(encoder.get(), converted.get());
    if (rc >= 0) {
        avcodec_send_frame(encoder.get(), nullptr);
        rc = avcodec_receive_packet(encoder.get(), packet.get());
    }
    if (rc < 0) {
        error = "the picture cannot be encoded: " + avError(rc);
        return false;
    }
    return VexctlWriteFile(path, packet->data, static_cast<size_t>(packet->size), error);
}

bool VexctlWriteFile(const std::string& path, const void* data, size_t size, std::string& error) {
    const std::string temporary = path + ".part";
    FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(data, 1, size, file) == size;
    const int writeErrno = errno;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        error = "cannot write " + path + ": " + std::strerror(written ? errno : writeErrno);
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}
