#include "Decoder/KXFFmpegAACDecoder.h"

#include <cmath>

#include "KXLog.h"
#include "Receiver/FrameQueue.h"

extern "C" {
#include <libswresample/swresample.h>
}

namespace {
constexpr int kPacketWaitMs = 20;  // woken at once by a hand-over: see KXFFmpegSWDecoder.cpp
constexpr int kPutWaitMs = 1;
}  // namespace

KXFFmpegAACDecoder::KXFFmpegAACDecoder(FrameQueue* audioQueue, PacketQueue* audioPackets,
                                       AVFormatContext* inputContext, FrameQueue* recordingAudioQueue)
    : KXFFmpegDecoder(audioQueue, audioPackets, inputContext, recordingAudioQueue) {}

KXFFmpegAACDecoder::~KXFFmpegAACDecoder() {
    swr_free(&_swrContext);
    av_frame_free(&_resampledFrame);
}

int KXFFmpegAACDecoder::afterCodecOpen() {
    swr_free(&_swrContext);
    av_frame_free(&_resampledFrame);
    if (_codecContext->codec_id != AV_CODEC_ID_AAC) {
        return 0;
    }
    int ret = swr_alloc_set_opts2(&_swrContext, &_codecContext->ch_layout, AV_SAMPLE_FMT_S16,
                                  _codecContext->sample_rate, &_codecContext->ch_layout,
                                  _codecContext->sample_fmt, _codecContext->sample_rate, 0, nullptr);
    if (ret >= 0) {
        ret = swr_init(_swrContext);
    }
    if (ret >= 0) {
        _resampledFrame = av_frame_alloc();
        if (_resampledFrame == nullptr) {
            ret = AVERROR(ENOMEM);
        }
    }
    if (ret < 0) {
        swr_free(&_swrContext);
        return ret;
    }
    return 0;
}

bool KXFFmpegAACDecoder::resample(AVFrame* frame) {
    av_frame_unref(_resampledFrame);
    if (av_channel_layout_copy(&_resampledFrame->ch_layout, &frame->ch_layout) < 0) {
        return false;
    }
    _resampledFrame->sample_rate = frame->sample_rate;
    _resampledFrame->format = AV_SAMPLE_FMT_S16;
    int ret = swr_convert_frame(_swrContext, _resampledFrame, frame);
    if (ret == AVERROR_INPUT_CHANGED || ret == AVERROR_OUTPUT_CHANGED) {
        // The stream changed its layout or rate: rebuild the resampler for the new input.
        swr_close(_swrContext);
        av_frame_unref(_resampledFrame);
        if (av_channel_layout_copy(&_resampledFrame->ch_layout, &frame->ch_layout) < 0) {
            return false;
        }
        _resampledFrame->sample_rate = frame->sample_rate;
        _resampledFrame->format = AV_SAMPLE_FMT_S16;
        if (swr_config_frame(_swrContext, _resampledFrame, frame) < 0 || swr_init(_swrContext) < 0) {
            return false;
        }
        ret = swr_convert_frame(_swrContext, _resampledFrame, frame);
    }
    if (ret < 0 || _resampledFrame->nb_samples <= 0) {
        av_frame_unref(_resampledFrame);
        return false;
    }
    _resampledFrame->pts = frame->pts;
    return true;
}

int KXFFmpegAACDecoder::run() {
    if (_codecContext == nullptr) {
        return AVERROR(EINVAL);
    }
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        return AVERROR(ENOMEM);
    }
    double lastPts = 0.0;
    const int result = decodeLoop(frame, kPacketWaitMs, false, [&](AVFrame* decoded) {
        if (decoded->sample_rate <= 0 || decoded->nb_samples <= 0) {
            av_frame_unref(decoded);
            return;
        }
        const AVRational sampleBase{1, decoded->sample_rate};
        if (decoded->pts != AV_NOPTS_VALUE) {
            decoded->pts = av_rescale_q(decoded->pts, _codecContext->pkt_timebase, sampleBase);
        } else if (_nextPts != AV_NOPTS_VALUE) {
            decoded->pts = av_rescale_q(_nextPts, _nextPtsTimeBase, sampleBase);
        }
        if (decoded->pts != AV_NOPTS_VALUE) {
            _nextPts = decoded->pts + decoded->nb_samples;
            _nextPtsTimeBase = sampleBase;
        }

        AVFrame* out = decoded;
        if (_swrContext != nullptr) {
            bool converted = resample(decoded);
            av_frame_unref(decoded);
            if (!converted) {
                return;
            }
            out = _resampledFrame;
        }
        const double pts =
            out->pts == AV_NOPTS_VALUE ? NAN : static_cast<double>(out->pts) / out->sample_rate;
        const double duration = static_cast<double>(out->nb_samples) / out->sample_rate;

        if (_recordingQueue != nullptr && !_recordingQueue->isAborted() &&
            !putReference(_recordingQueue, out, pts, duration, kPutWaitMs)) {
            KXLog("aac failed to put the frame into recordingQueue. %f\n", pts - lastPts);
        }
        if (!_outputQueue->put(out, pts, duration, kPutWaitMs)) {
            KXLog("failed to put the frame into audioqueue. %f\n", pts - lastPts);
            av_frame_unref(out);
        }
        lastPts = pts;
    });
    av_frame_free(&frame);
    return result;
}
