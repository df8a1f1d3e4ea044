#include "Decoder/KXFFmpegDecoder.h"

#include <cmath>

#include "KXLog.h"
#include "Receiver/FrameQueue.h"
#include "Receiver/KXJpegSnapshot.h"
#include "Receiver/PacketQueue.h"
#include "Receiver/ZoomProcessor.h"

void* decodeInThread(void* arg) {
    auto* decoder = static_cast<KXIDecoder*>(arg);
    int result = decoder->run();
    if (result != -1) {
        KXLog("There is an error(code:%d) in decodeInThread.\n", result);
    }
    decoder->setRunning(false);
    return nullptr;
}

KXFFmpegDecoder::KXFFmpegDecoder(FrameQueue* outputQueue, PacketQueue* inputQueue,
                                 AVFormatContext* inputContext, FrameQueue* recordingQueue)
    : _outputQueue(outputQueue),
      _inputQueue(inputQueue),
      _recordingQueue(recordingQueue),
      _inputFormatContext(inputContext),
      _pendingPacket(av_packet_alloc()),
      _zoomed(av_frame_alloc()) {}

KXFFmpegDecoder::~KXFFmpegDecoder() {
    freeCodec();
    av_packet_free(&_pendingPacket);
    av_frame_free(&_zoomed);
}

void KXFFmpegDecoder::freeCodec() {
    avcodec_free_context(&_codecContext);
}

int KXFFmpegDecoder::open(int streamIndex) {
    if (_inputFormatContext == nullptr || streamIndex < 0 ||
        static_cast<unsigned>(streamIndex) >= _inputFormatContext->nb_streams || _pendingPacket == nullptr ||
        _zoomed == nullptr) {
        return -1;
    }
    freeCodec();
    _stream = _inputFormatContext->streams[streamIndex];

    _codecContext = avcodec_alloc_context3(nullptr);
    if (_codecContext == nullptr) {
        return AVERROR(ENOMEM);
    }
    int ret = avcodec_parameters_to_context(_codecContext, _stream->codecpar);
    if (ret < 0) {
        freeCodec();
        return ret;
    }
    _codecContext->pkt_timebase = _stream->time_base;
    _timeBase = _stream->time_base;
    _streamSar = _stream->sample_aspect_ratio;
    _codecSar = _stream->codecpar->sample_aspect_ratio;
    AVRational rate = av_guess_frame_rate(_inputFormatContext, _stream, nullptr);
    _frameDuration = rate.num > 0 && rate.den > 0 ? static_cast<double>(rate.den) / rate.num : 0.0;

    ret = beforeCodecOpen();
    if (ret < 0) {
        freeCodec();
        return ret;
    }

    _codec = avcodec_find_decoder(_codecContext->codec_id);
    if (_codec == nullptr) {
        KXLog("No codec could be found with id %d\n", static_cast<int>(_codecContext->codec_id));
        freeCodec();
        return AVERROR(EINVAL);
    }
    _codecContext->codec_id = _codec->id;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "threads", "auto", 0);
    av_dict_set(&options, "flags", "low_delay", 0);
    ret = avcodec_open2(_codecContext, _codec, &options);
    if (ret < 0) {
        av_dict_free(&options);
        freeCodec();
        return ret;
    }
    const AVDictionaryEntry* left = av_dict_get(options, "", nullptr, AV_DICT_IGNORE_SUFFIX);
    if (left != nullptr) {
        KXLog("Option %s not found.\n", left->key);
        av_dict_free(&options);
        freeCodec();
        return AVERROR_OPTION_NOT_FOUND;
    }
    av_dict_free(&options);

    ret = afterCodecOpen();
    if (ret < 0) {
        freeCodec();
        return ret;
    }
    _stream->discard = AVDISCARD_DEFAULT;
    _packetPending = false;
    _nextPts = AV_NOPTS_VALUE;
    return 0;
}

KXFFmpegDecoder::StepResult KXFFmpegDecoder::step(AVFrame* frame, int packetWaitMs) {
    if (_inputQueue->isAborted()) {
        KXLog("leave decoder.\n");
        return kAborted;
    }
    int ret = avcodec_receive_frame(_codecContext, frame);
    if (ret >= 0) {
        return kFrame;
    }
    if (ret == AVERROR_EOF) {
        KXLog("leave decoder.\n");
        return kEndOfStream;
    }
    if (ret != AVERROR(EAGAIN)) {
        return kNoFrame;  // a damaged frame: go on with the next one
    }
    if (!_packetPending) {
        if (!_inputQueue->get(_pendingPacket, packetWaitMs)) {
            return kNoFrame;
        }
        _packetPending = true;
    }
    // A blank packet (no data, no side data) is exactly libavcodec's drain request.
    ret = avcodec_send_packet(_codecContext, _pendingPacket);
    if (ret == AVERROR(EAGAIN)) {
        KXLog("Receive_frame and send_packet both returned EAGAIN, which is an API violation.\n");
    } else {
        av_packet_unref(_pendingPacket);
        _packetPending = false;
    }
    return kNoFrame;
}

double KXFFmpegDecoder::videoPtsSeconds(const AVFrame* frame) const {
    if (frame->pts == AV_NOPTS_VALUE) {
        return NAN;
    }
    return static_cast<double>(frame->pts) * av_q2d(_timeBase);
}

AVRational KXFFmpegDecoder::guessSampleAspectRatio(const AVFrame* frame) const {
    auto valid = [](AVRational r) { return r.num > 0 && r.den > 0; };
    if (valid(_streamSar)) {
        return _streamSar;
    }
    if (valid(frame->sample_aspect_ratio)) {
        return frame->sample_aspect_ratio;
    }
    return valid(_codecSar) ? _codecSar : AVRational{0, 1};
}

bool KXFFmpegDecoder::putReference(FrameQueue* queue, const AVFrame* frame, double pts, double duration,
                                   int timeoutMs) {
    AVFrame* copy = av_frame_clone(frame);
    if (copy == nullptr) {
        return false;
    }
    bool queued = queue->put(copy, pts, duration, timeoutMs);
    av_frame_free(&copy);  // releases the reference when the put failed
    return queued;
}

double KXFFmpegDecoder::prepareVideoFrame(AVFrame* frame) const {
    frame->pts = frame->best_effort_timestamp;
    frame->sample_aspect_ratio = guessSampleAspectRatio(frame);
    return videoPtsSeconds(frame);
}

void KXFFmpegDecoder::putVideoFrame(AVFrame* out, double pts, double duration, int timeoutMs,
                                    double* lastPts) {
    if (_jpegSnapshot != nullptr) {
        _jpegSnapshot->offerFrame(out);  // a reference; encoded only when a snapshot is taken
    }
    if (!_outputQueue->put(out, pts, duration, timeoutMs)) {
        KXLog("failed to put the frame into videoqueue. %f\n", pts - *lastPts);
        av_frame_unref(out);
    }
    *lastPts = pts;
}

void KXFFmpegDecoder::deliverVideoFrame(AVFrame* frame, double pts, double duration, int putWaitMs,
                                        double* lastPts, bool software) {
    // The recording video frame queue is aborted while no recording runs: nothing is copied.
    if (_recordingQueue != nullptr && !_recordingQueue->isAborted()) {
        _recordingOffered.fetch_add(1, std::memory_order_relaxed);
        if (!putReference(_recordingQueue, frame, pts, duration, 1)) {
            _recordingDropped.fetch_add(1, std::memory_order_relaxed);
            if (software) {
                KXLog("SW decoder failed to put the frame into recordingQueue!");
                KXLog("SW decoder failed to put the frame into recordingQueue. %f\n", pts - *lastPts);
            } else {
                KXLog("failed to put the frame into recordingQueue. %f\n", pts - *lastPts);
            }
        }
    }
    AVFrame* out = frame;
    if (_zoomProcessor != nullptr && _digitalZoom.load(std::memory_order_relaxed)) {
        if (_zoomProcessor->process(frame, _zoomed)) {
            av_frame_unref(frame);
            out = _zoomed;
        } else {
            KXLog("Digital zoom could not process a frame; it is shown as decoded.\n");
        }
    }
    putVideoFrame(out, pts, duration, putWaitMs, lastPts);
}
