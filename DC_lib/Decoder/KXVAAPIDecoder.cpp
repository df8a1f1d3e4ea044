#include "Decoder/KXVAAPIDecoder.h"

#include "KXLog.h"
#include "Receiver/FrameQueue.h"

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/pixdesc.h>
}

namespace {
constexpr int kPacketWaitMs = 20;  // woken at once by a hand-over: see KXFFmpegSWDecoder.cpp
constexpr int kPutWaitMs = 1;

bool hardwareCodec(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_MPEG2VIDEO:
        case AV_CODEC_ID_H264:
        case AV_CODEC_ID_WMV3:
        case AV_CODEC_ID_VC1:
        case AV_CODEC_ID_HEVC:
        case AV_CODEC_ID_VP9:
            return true;
        default:
            return false;
    }
}

bool offersVaapi(const AVCodec* codec) {
    for (int i = 0;; ++i) {
        const AVCodecHWConfig* config = avcodec_get_hw_config(codec, i);
        if (config == nullptr) {
            return false;
        }
        if (config->device_type == AV_HWDEVICE_TYPE_VAAPI &&
            (config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) != 0) {
            return true;
        }
    }
}

// True when the device can hand decoded surfaces out as NV12.
bool deviceOffersNv12(AVBufferRef* device) {
    AVHWFramesConstraints* constraints = av_hwdevice_get_hwframe_constraints(device, nullptr);
    if (constraints == nullptr) {
        return true;  // the driver does not say: let decoding find out
    }
    bool found = constraints->valid_sw_formats == nullptr;
    for (const AVPixelFormat* f = constraints->valid_sw_formats; f != nullptr && *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == AV_PIX_FMT_NV12) {
            found = true;
        }
    }
    av_hwframe_constraints_free(&constraints);
    return found;
}
}  // namespace

KXVAAPIDecoder::KXVAAPIDecoder(FrameQueue* videoQueue, PacketQueue* videoPackets,
                               AVFormatContext* inputContext, void* deviceReference, int* codedWidth,
                               int* codedHeight, FrameQueue* recordingQueue)
    : KXFFmpegDecoder(videoQueue, videoPackets, inputContext, recordingQueue),
      _deviceReference(deviceReference),
      _codedWidth(codedWidth),
      _codedHeight(codedHeight) {}

KXVAAPIDecoder::~KXVAAPIDecoder() {
    freeCodec();  // the codec context holds a device reference of its own
    av_buffer_unref(&_hwDeviceContext);
}

AVPixelFormat KXVAAPIDecoder::getFormat(AVCodecContext*, const AVPixelFormat* formats) {
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
        if (*f == AV_PIX_FMT_VAAPI) {
            return *f;
        }
    }
    // libavcodec asks again without the hardware format when the hardware setup failed for
    // this stream; decoding then goes on in software inside this decoder.
    for (const AVPixelFormat* f = formats; *f != AV_PIX_FMT_NONE; ++f) {
        const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(*f);
        if (desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_HWACCEL) == 0) {
            return *f;
        }
    }
    return AV_PIX_FMT_NONE;
}

int KXVAAPIDecoder::beforeCodecOpen() {
    const AVCodecID id = _codecContext->codec_id;
    if (!hardwareCodec(id)) {
        KXLog("No decoder device for codec found\n");
        return AVERROR(EINVAL);
    }
    if (id == AV_CODEC_ID_H264 &&
        (_codecContext->profile & ~FF_PROFILE_H264_CONSTRAINED) > FF_PROFILE_H264_HIGH) {
        KXLog("Unsupported H.264 profile for VAAPI HWAccel: %d\n", _codecContext->profile);
        KXLog("vaapi_init fail");
        return AVERROR(EINVAL);
    }
    const AVCodec* codec = avcodec_find_decoder(id);
    if (codec == nullptr || !offersVaapi(codec)) {
        KXLog("No decoder device for codec found\n");
        return AVERROR(EINVAL);
    }

    av_buffer_unref(&_hwDeviceContext);
    if (_deviceReference != nullptr) {
        KXLog("render on AP");
        auto* given = static_cast<AVBufferRef*>(_deviceReference);
        auto* deviceContext =
            given->data != nullptr ? reinterpret_cast<AVHWDeviceContext*>(given->data) : nullptr;
        if (deviceContext == nullptr || deviceContext->type != AV_HWDEVICE_TYPE_VAAPI) {
            KXLog("The given device is not a VAAPI device\n");
            KXLog("vaapi_init fail");
            return AVERROR(EINVAL);
        }
        _hwDeviceContext = av_buffer_ref(given);
        if (_hwDeviceContext == nullptr) {
            return AVERROR(ENOMEM);
        }
    } else {
        KXLog("render on SDK");
        int ret = av_hwdevice_ctx_create(&_hwDeviceContext, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
        if (ret < 0) {
            KXLog("Failed to create VAAPI device\n");
            KXLog("vaapi_init fail");
            return ret;
        }
    }
    if (!deviceOffersNv12(_hwDeviceContext)) {
        KXLog("No decoder device for codec found\n");
        av_buffer_unref(&_hwDeviceContext);
        return AVERROR(EINVAL);
    }

    _codecContext->hw_device_ctx = av_buffer_ref(_hwDeviceContext);
    if (_codecContext->hw_device_ctx == nullptr) {
        av_buffer_unref(&_hwDeviceContext);
        return AVERROR(ENOMEM);
    }
    _codecContext->thread_count = 1;
    _codecContext->get_format = &KXVAAPIDecoder::getFormat;
    if (_codedWidth != nullptr && _codedHeight != nullptr) {
        *_codedWidth = _codecContext->width;
        *_codedHeight = _codecContext->height;
    }
    return 0;
}

int KXVAAPIDecoder::run() {
    if (_codecContext == nullptr) {
        return AVERROR(EINVAL);
    }
    AVFrame* frame = av_frame_alloc();
    AVFrame* download = av_frame_alloc();
    if (frame == nullptr || download == nullptr) {
        av_frame_free(&frame);
        av_frame_free(&download);
        return AVERROR(ENOMEM);
    }
    const double duration = videoFrameDuration();
    double lastPts = 0.0;
    const int result = decodeLoop(frame, kPacketWaitMs, true, [&](AVFrame* decoded) {
        const double pts = prepareVideoFrame(decoded);
        AVFrame* out = decoded;
        if (decoded->format == AV_PIX_FMT_VAAPI) {
            download->format = AV_PIX_FMT_NV12;
            const bool downloaded = av_hwframe_transfer_data(download, decoded, 0) >= 0 &&
                                    av_frame_copy_props(download, decoded) >= 0;
            av_frame_unref(decoded);
            if (!downloaded) {
                KXLog("VAAPI decoder failed to download a surface\n");
                av_frame_unref(download);
                return;
            }
            out = download;
        }
        deliverVideoFrame(out, pts, duration, kPutWaitMs, &lastPts, false);
    });
    av_frame_free(&frame);
    av_frame_free(&download);
    return result;
}
