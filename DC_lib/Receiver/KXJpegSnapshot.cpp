#include "Receiver/KXJpegSnapshot.h"

#include <chrono>
#include <cstring>

#include "KXLog.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

KXJpegSnapshot::KXJpegSnapshot()
    : _packet(av_packet_alloc()),
      _frame(av_frame_alloc()),
      _converted(av_frame_alloc()),
      _taken(av_frame_alloc()) {}

KXJpegSnapshot::~KXJpegSnapshot() {
    av_packet_free(&_packet);
    av_frame_free(&_frame);
    av_frame_free(&_converted);
    av_frame_free(&_taken);
    avcodec_free_context(&_encoder);
    sws_freeContext(_toJpegRange);
}

void KXJpegSnapshot::arm(Source source) {
    std::lock_guard<std::mutex> lock(_mutex);
    _source = source;
    _fresh = false;
    if (_packet != nullptr) {
        av_packet_unref(_packet);
    }
    if (_frame != nullptr) {
        av_frame_unref(_frame);
    }
}

void KXJpegSnapshot::clear() {
    arm(Source::None);
}

void KXJpegSnapshot::wake() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        ++_wakeGeneration;
    }
    _condition.notify_all();
}

void KXJpegSnapshot::offerPacket(const AVPacket* packet) {
    if (packet == nullptr || packet->data == nullptr || packet->size <= 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_source != Source::CameraJpeg) {
            return;
        }
    }
    // Copied outside the lock: a JPEG of a 1080p camera is a few hundred kB.
    AVPacket* copy = av_packet_alloc();
    if (copy == nullptr) {
        return;
    }
    if (av_new_packet(copy, packet->size) < 0) {
        av_packet_free(&copy);
        return;
    }
    std::memcpy(copy->data, packet->data, static_cast<size_t>(packet->size));
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_source == Source::CameraJpeg && _packet != nullptr) {
            av_packet_unref(_packet);
            av_packet_move_ref(_packet, copy);
            _fresh = true;
        }
    }
    av_packet_free(&copy);  // the older picture, or the copy itself when the source changed
    _condition.notify_all();
}

void KXJpegSnapshot::offerFrame(const AVFrame* frame) {
    if (frame == nullptr || frame->width <= 0 || frame->height <= 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_source != Source::DecodedFrames || _frame == nullptr) {
            return;
        }
        av_frame_unref(_frame);
        if (av_frame_ref(_frame, frame) < 0) {
            _fresh = false;
            return;
        }
        _fresh = true;
    }
    _condition.notify_all();
}

bool KXJpegSnapshot::take(AVPacket* out, int timeoutMs) {
    if (out == nullptr || _taken == nullptr) {
        return false;
    }
    std::unique_lock<std::mutex> lock(_mutex);
    const uint64_t generation = _wakeGeneration;
    if (!_fresh) {
        if (timeoutMs <= 0) {
            return false;
        }
        _condition.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return _fresh || _wakeGeneration != generation; });
        if (!_fresh || _wakeGeneration != generation) {
            return false;
        }
    }
    _fresh = false;
    av_packet_unref(out);
    if (_source == Source::CameraJpeg) {
        // Moved, not shared: the caller's reads and the release stay on the caller's side.
        av_packet_move_ref(out, _packet);
        return true;
    }
    av_frame_unref(_taken);
    av_frame_move_ref(_taken, _frame);
    lock.unlock();
    const bool encoded = encode(_taken, out);
    av_frame_unref(_taken);
    return encoded;
}

bool KXJpegSnapshot::prepareEncoder(int width, int height) {
    if (_encoder != nullptr && _width == width && _height == height) {
        return true;
    }
    avcodec_free_context(&_encoder);
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    if (codec == nullptr) {
        KXLog("captureJPEG: this FFmpeg has no JPEG encoder\n");
        return false;
    }
    _encoder = avcodec_alloc_context3(codec);
    if (_encoder == nullptr) {
        return false;
    }
    _encoder->width = width;
    _encoder->height = height;
    _encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    _encoder->color_range = AVCOL_RANGE_JPEG;
    _encoder->time_base = AVRational{1, 30};
    // Quality about that of a camera's own JPEG (a fixed quantiser instead of a bit rate).
    _encoder->flags |= AV_CODEC_FLAG_QSCALE;
    _encoder->global_quality = FF_QP2LAMBDA * 3;
    if (avcodec_open2(_encoder, codec, nullptr) < 0) {
        KXLog("captureJPEG: the JPEG encoder does not open for %dx%d\n", width, height);
        avcodec_free_context(&_encoder);
        return false;
    }
    _width = width;
    _height = height;
    return true;
}

bool KXJpegSnapshot::encode(const AVFrame* decoded, AVPacket* out) {
    const AVFrame* frame = decoded;
    AVFrame* transferred = nullptr;
    if (decoded->hw_frames_ctx != nullptr) {
        // A hardware decoder's picture lives in video memory: fetched for this one encode.
        transferred = av_frame_alloc();
        if (transferred == nullptr || av_hwframe_transfer_data(transferred, decoded, 0) < 0) {
            av_frame_free(&transferred);
            return false;
        }
        frame = transferred;
    }
    bool ok = prepareEncoder(frame->width, frame->height);
    if (ok) {
        // Into full-range 4:2:0, which every JPEG reader takes; the context is kept while the
        // picture's size and format stay.
        _toJpegRange = sws_getCachedContext(
            _toJpegRange, frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
            frame->width, frame->height, AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
        ok = _toJpegRange != nullptr;
    }
    if (ok && (_converted->width != frame->width || _converted->height != frame->height ||
               _converted->format != AV_PIX_FMT_YUVJ420P)) {
        av_frame_unref(_converted);
        _converted->width = frame->width;
        _converted->height = frame->height;
        _converted->format = AV_PIX_FMT_YUVJ420P;
        ok = av_frame_get_buffer(_converted, 0) == 0;
        if (!ok) {
            av_frame_unref(_converted);
        }
    }
    if (ok) {
        ok = sws_scale(_toJpegRange, frame->data, frame->linesize, 0, frame->height, _converted->data,
                       _converted->linesize) == frame->height;
    }
    av_frame_free(&transferred);
    if (!ok) {
        return false;
    }
    _converted->pts = _encoded;
    _converted->color_range = AVCOL_RANGE_JPEG;
    if (avcodec_send_frame(_encoder, _converted) < 0) {
        return false;
    }
    const int received = avcodec_receive_packet(_encoder, out);
    if (received < 0) {
        av_packet_unref(out);
        return false;
    }
    ++_encoded;
    return true;
}
