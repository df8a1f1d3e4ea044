#include "Decoder/KXFFmpegSWDecoder.h"

#include <chrono>
#include <thread>

#include "KXLog.h"
#include "Receiver/FrameQueue.h"

extern "C" {
#include <libswscale/swscale.h>
}

namespace {
// The packet wait of an idle loop. The packet queue wakes a waiting consumer the moment a
// packet is handed over, so a long bound costs no latency; it only bounds how often an idle
// decoder wakes up. (Polling without any wait would keep a core busy whenever the stream is
// slower than the decoder, which is always the case for a camera.)
constexpr int kPacketWaitMs = 20;
}  // namespace

KXFFmpegSWDecoder::KXFFmpegSWDecoder(FrameQueue* videoQueue, PacketQueue* videoPackets,
                                     AVFormatContext* inputContext, FrameQueue* recordingQueue)
    : KXFFmpegDecoder(videoQueue, videoPackets, inputContext, recordingQueue) {}

KXFFmpegSWDecoder::~KXFFmpegSWDecoder() {
    sws_freeContext(_swsContext);
}

bool KXFFmpegSWDecoder::convertRaw(const AVFrame* frame, AVFrame* converted) {
    _swsContext = sws_getCachedContext(_swsContext, frame->width, frame->height,
                                       static_cast<AVPixelFormat>(frame->format), frame->width, frame->height,
                                       AV_PIX_FMT_YUV420P, SWS_FAST_BILINEAR, nullptr, nullptr, nullptr);
    if (_swsContext == nullptr) {
        KXLog("sws_getContext fail!");
        return false;
    }
    converted->format = AV_PIX_FMT_YUV420P;
    converted->width = frame->width;
    converted->height = frame->height;
    if (av_frame_get_buffer(converted, 0) < 0 || av_frame_copy_props(converted, frame) < 0) {
        av_frame_unref(converted);
        KXLog("sws_scale fail!");
        return false;
    }
    int rows = sws_scale(_swsContext, frame->data, frame->linesize, 0, frame->height, converted->data,
                         converted->linesize);
    if (rows <= 0) {
        av_frame_unref(converted);
        KXLog("sws_scale fail!");
        return false;
    }
    return true;
}

int KXFFmpegSWDecoder::run() {
    if (_codecContext == nullptr) {
        return AVERROR(EINVAL);
    }
    AVFrame* frame = av_frame_alloc();
    AVFrame* converted = av_frame_alloc();
    if (frame == nullptr || converted == nullptr) {
        av_frame_free(&frame);
        av_frame_free(&converted);
        return AVERROR(ENOMEM);
    }
    const bool raw = _codecContext->codec_id == AV_CODEC_ID_RAWVIDEO;
    const double duration = videoFrameDuration();
    double lastPts = 0.0;
    const int result = decodeLoop(frame, kPacketWaitMs, false, [&](AVFrame* decoded) {
        const double pts = prepareVideoFrame(decoded);
        AVFrame* out = decoded;
        if (raw && decoded->width > 0 && decoded->format != AV_PIX_FMT_YUV420P) {
            const bool convertedOk = convertRaw(decoded, converted);
            av_frame_unref(decoded);
            if (!convertedOk) {
                KXLog("SWDecoder NG transfer");
                return;
            }
            out = converted;
        }
        deliverVideoFrame(out, pts, duration, 0, &lastPts, true);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    av_frame_free(&frame);
    av_frame_free(&converted);
    return result;
}
