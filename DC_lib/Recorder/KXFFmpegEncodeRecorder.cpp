#include "Recorder/KXFFmpegEncodeRecorder.h"

#include <algorithm>
#include <cmath>

#include "KXLog.h"
#include "Decoder/KXPixelFormats.h"
#include "Receiver/FrameQueue.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace {

// How long an idle record thread waits for a video frame; the queue wakes it at once when a
// frame is handed over (see KXFFmpegRecorder.cpp).
constexpr int kFrameWaitMs = 10;

constexpr int64_t kAudioBitRate = 128000;

// The longest hole in a microphone's sound that is kept as silence (see fillAudioGap).
constexpr int kMaxAudioGapSeconds = 60;

bool isFullRange(const AVFrame* frame) {
    bool full = frame->color_range == AVCOL_RANGE_JPEG;
    KXPlainPixelFormat(frame->format, &full);
    return full;
}

SwsContext* makeScaler(int sourceWidth, int sourceHeight, AVPixelFormat source, bool sourceFull, int width,
                       int height, AVPixelFormat target, bool targetFull) {
    SwsContext* context = sws_alloc_context();
    if (context == nullptr) {
        return nullptr;
    }
    av_opt_set_int(context, "srcw", sourceWidth, 0);
    av_opt_set_int(context, "srch", sourceHeight, 0);
    av_opt_set_int(context, "src_format", source, 0);
    av_opt_set_int(context, "src_range", sourceFull ? 1 : 0, 0);
    av_opt_set_int(context, "dstw", width, 0);
    av_opt_set_int(context, "dsth", height, 0);
    av_opt_set_int(context, "dst_format", target, 0);
    av_opt_set_int(context, "dst_range", targetFull ? 1 : 0, 0);
    av_opt_set_int(context, "sws_flags", SWS_FAST_BILINEAR, 0);
    if (sws_init_context(context, nullptr, nullptr) < 0) {
        sws_freeContext(context);
        return nullptr;
    }
    return context;
}

AVRational frameRateOf(const AVStream* stream) {
    auto valid = [](AVRational r) { return r.num > 0 && r.den > 0; };
    if (valid(stream->avg_frame_rate)) {
        return stream->avg_frame_rate;
    }
    if (valid(stream->r_frame_rate)) {
        return stream->r_frame_rate;
    }
    return AVRational{30, 1};
}

}  // namespace

KXFFmpegEncodeRecorder::KXFFmpegEncodeRecorder(FrameQueue* videoFrames, FrameQueue* audioFrames,
                                               AVFormatContext* videoInput, int videoStreamIndex,
                                               AVFormatContext* audioInput, int audioStreamIndex,
                                               bool hardwareFrames)
    : _videoFrames(videoFrames),
      _audioFrames(audioFrames),
      _videoInput(videoInput),
      _videoStreamIndex(videoStreamIndex),
      _audioInput(audioInput),
      _audioStreamIndex(audioStreamIndex),
      _hardwareFrames(hardwareFrames) {}

KXFFmpegEncodeRecorder::~KXFFmpegEncodeRecorder() {
    close();
}

void KXFFmpegEncodeRecorder::release() {
    avcodec_free_context(&_videoEncoder);
    avcodec_free_context(&_audioEncoder);
    sws_freeContext(_scaler);
    _scaler = nullptr;
    swr_free(&_resampler);
    av_channel_layout_uninit(&_resamplerLayout);
    if (_fifo != nullptr) {
        av_audio_fifo_free(_fifo);
        _fifo = nullptr;
    }
    av_frame_free(&_picture);
    av_frame_free(&_resampled);
    av_frame_free(&_audioFrame);
    av_frame_free(&_silence);
    av_packet_free(&_packet);
}

int KXFFmpegEncodeRecorder::close() {
    const int result = _output.finish();
    release();
    return result;
}

bool KXFFmpegEncodeRecorder::openVideo(const AVStream* input) {
    const AVCodecParameters* parameters = input->codecpar;
    if (parameters->width <= 0 || parameters->height <= 0) {
        KXLog("KXFFmpegEncodeRecorder: the video stream has no picture size\n");
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) {
        KXLog("KXFFmpegEncodeRecorder: this FFmpeg has no libx264 encoder\n");
        return false;
    }
    _videoEncoder = avcodec_alloc_context3(codec);
    if (_videoEncoder == nullptr) {
        return false;
    }
    const AVRational rate = frameRateOf(input);
    AVRational timeBase = input->time_base;
    if (timeBase.num <= 0 || timeBase.den <= 0) {
        timeBase = av_inv_q(rate);
    }
    _videoEncoder->width = parameters->width;
    _videoEncoder->height = parameters->height;
    _videoEncoder->pix_fmt = _hardwareFrames ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
    // A camera's JPEG pictures use the full range of levels; say so in the stream instead of
    // squeezing them.
    _fullRange = parameters->codec_id == AV_CODEC_ID_MJPEG || parameters->color_range == AVCOL_RANGE_JPEG;
    _videoEncoder->color_range = _fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    _videoEncoder->sample_aspect_ratio = parameters->sample_aspect_ratio;
    _videoEncoder->time_base = timeBase;
    _videoEncoder->framerate = rate;
    _videoEncoder->gop_size = std::max(1, static_cast<int>(std::lround(av_q2d(rate))));  // one a second
    if (_output.wantsGlobalHeader()) {
        _videoEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", "veryfast", 0);
    av_dict_set(&options, "crf", "23", 0);
    if (!KXLogEnabled()) {
        // x264's statistics (a dozen lines per recording) would land on the host program's
        // standard error through FFmpeg's log; they are shown with the library's debug log.
        av_dict_set(&options, "x264-params", "log=-1", 0);
    }
    const int ret = avcodec_open2(_videoEncoder, codec, &options);
    av_dict_free(&options);
    if (ret < 0) {
        KXLog("KXFFmpegEncodeRecorder: cannot open the H.264 encoder: %s\n", KXErrorText(ret).c_str());
        return false;
    }
    _frameDuration = std::max<int64_t>(1, av_rescale_q(1, av_inv_q(rate), timeBase));

    AVStream* output = avformat_new_stream(_output.context(), nullptr);
    if (output == nullptr || avcodec_parameters_from_context(output->codecpar, _videoEncoder) < 0) {
        KXLog("Couldn't create an outputStream.\n");
        return false;
    }
    output->time_base = timeBase;
    output->avg_frame_rate = rate;
    _videoOutput = output->index;
    _picture = av_frame_alloc();
    return _picture != nullptr;
}

bool KXFFmpegEncodeRecorder::openAudio(const AVStream* input) {
    const AVCodecParameters* parameters = input->codecpar;
    const int channels = parameters->ch_layout.nb_channels;
    if (parameters->sample_rate <= 0 || channels <= 0) {
        KXLog("KXFFmpegEncodeRecorder: the audio stream has no rate or channels\n");
        return false;
    }
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) {
        KXLog("KXFFmpegEncodeRecorder: this FFmpeg has no AAC encoder\n");
        return false;
    }
    _audioEncoder = avcodec_alloc_context3(codec);
    if (_audioEncoder == nullptr) {
        return false;
    }
    _audioEncoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    _audioEncoder->sample_rate = parameters->sample_rate;
    av_channel_layout_default(&_audioEncoder->ch_layout, channels);
    _audioEncoder->bit_rate = kAudioBitRate;
    _audioEncoder->time_base = AVRational{1, parameters->sample_rate};
    if (_output.wantsGlobalHeader()) {
        _audioEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    const int ret = avcodec_open2(_audioEncoder, codec, nullptr);
    if (ret < 0) {
        KXLog("KXFFmpegEncodeRecorder: cannot open the AAC encoder: %s\n", KXErrorText(ret).c_str());
        return false;
    }
    AVStream* output = avformat_new_stream(_output.context(), nullptr);
    if (output == nullptr || avcodec_parameters_from_context(output->codecpar, _audioEncoder) < 0) {
        KXLog("Couldn't create an outputStream.\n");
        return false;
    }
    output->time_base = _audioEncoder->time_base;
    _audioOutput = output->index;

    _fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, std::max(1, _audioEncoder->frame_size) * 4);
    _resampled = av_frame_alloc();
    _audioFrame = av_frame_alloc();
    return _fifo != nullptr && _resampled != nullptr && _audioFrame != nullptr;
}

int KXFFmpegEncodeRecorder::init(const char* folder, const char* fileName) {
    const std::string path = recordingPath(folder, fileName);
    if (path.empty()) {
        KXLog("KXFFmpegEncodeRecorder::init: no folder or file name\n");
        return -1;
    }
    const AVStream* video = nullptr;
    const AVStream* audio = nullptr;
    if (_videoInput != nullptr && _videoStreamIndex >= 0 &&
        static_cast<unsigned>(_videoStreamIndex) < _videoInput->nb_streams) {
        video = _videoInput->streams[_videoStreamIndex];
    }
    if (_audioInput != nullptr && _audioStreamIndex >= 0 &&
        static_cast<unsigned>(_audioStreamIndex) < _audioInput->nb_streams) {
        audio = _audioInput->streams[_audioStreamIndex];
    }
    if (video == nullptr && audio == nullptr) {
        KXLog("_inputFormatContext is null.\n");
        return -1;
    }
    auto fail = [this] {
        _output.finish();
        release();
        return -1;
    };
    _packet = av_packet_alloc();
    if (_packet == nullptr || !_output.create(path)) {
        return fail();
    }
    if ((video != nullptr && !openVideo(video)) || (audio != nullptr && !openAudio(audio))) {
        return fail();
    }
    if (!_output.begin()) {
        return fail();
    }
    return 0;
}

int KXFFmpegEncodeRecorder::encode(AVCodecContext* encoder, int outputIndex, const AVFrame* frame) {
    int ret = avcodec_send_frame(encoder, frame);
    if (ret < 0 && ret != AVERROR_EOF) {
        KXLog("KXFFmpegEncodeRecorder: the encoder refused a frame: %s\n", KXErrorText(ret).c_str());
        return 0;  // this frame is lost; the recording goes on
    }
    const AVStream* output = _output.context()->streams[outputIndex];
    while ((ret = avcodec_receive_packet(encoder, _packet)) == 0) {
        if (_packet->duration <= 0 && encoder == _videoEncoder) {
            _packet->duration = _frameDuration;
        }
        av_packet_rescale_ts(_packet, encoder->time_base, output->time_base);
        _packet->stream_index = outputIndex;
        const int written = _output.write(_packet);
        av_packet_unref(_packet);
        if (written < 0) {
            return written;
        }
    }
    return ret == AVERROR(EAGAIN) || ret == AVERROR_EOF ? 0 : ret;
}

AVFrame* KXFFmpegEncodeRecorder::pictureFor(AVFrame* frame) {
    av_frame_unref(_picture);
    bool fullRange = isFullRange(frame);
    const AVPixelFormat format = KXPlainPixelFormat(frame->format, &fullRange);
    const AVPixelFormat target = _videoEncoder->pix_fmt;
    if (format == target && fullRange == _fullRange && frame->width == _videoEncoder->width &&
        frame->height == _videoEncoder->height) {
        if (av_frame_ref(_picture, frame) < 0) {
            return nullptr;
        }
    } else {
        if (_scaler == nullptr || frame->width != _scalerWidth || frame->height != _scalerHeight ||
            frame->format != _scalerFormat || fullRange != _scalerFullRange) {
            sws_freeContext(_scaler);
            _scaler = makeScaler(frame->width, frame->height, format, fullRange, _videoEncoder->width,
                                 _videoEncoder->height, target, _fullRange);
            if (_scaler == nullptr) {
                KXLog("sws_getContext fail for Frame Queue!");
                _scalerFormat = -1;
                return nullptr;
            }
            _scalerWidth = frame->width;
            _scalerHeight = frame->height;
            _scalerFormat = frame->format;
            _scalerFullRange = fullRange;
        }
        _picture->format = target;
        _picture->width = _videoEncoder->width;
        _picture->height = _videoEncoder->height;
        if (av_frame_get_buffer(_picture, 0) < 0) {
            KXLog("MF av_image_alloc fail!");
            return nullptr;
        }
        if (sws_scale(_scaler, frame->data, frame->linesize, 0, frame->height, _picture->data,
                      _picture->linesize) <= 0) {
            KXLog("sws_scale fail for Frame Queue!");
            KXLog("scaleToYUV420PFrame fail");
            av_frame_unref(_picture);
            return nullptr;
        }
    }
    // The encoder reads these fields: a decoded picture type would force every JPEG picture
    // (all intra) to be a key frame.
    _picture->format = target;
    _picture->color_range = _fullRange ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    _picture->pict_type = AV_PICTURE_TYPE_NONE;
    _picture->key_frame = 0;
    return _picture;
}

int KXFFmpegEncodeRecorder::encodeVideo(AVFrame* frame) {
    int64_t relative;
    if (frame->pts == AV_NOPTS_VALUE || _firstVideoPts == AV_NOPTS_VALUE) {
        if (_firstVideoPts == AV_NOPTS_VALUE && frame->pts != AV_NOPTS_VALUE) {
            _firstVideoPts = frame->pts;
            relative = 0;
        } else {
            relative = _lastVideoRelative == AV_NOPTS_VALUE ? 0 : _lastVideoRelative + _frameDuration;
        }
    } else {
        relative = frame->pts - _firstVideoPts;
    }
    _lastVideoRelative = relative;
    const int64_t pts = _videoTimeline.next(relative, _frameDuration);

    AVFrame* picture = pictureFor(frame);
    if (picture == nullptr) {
        return 0;  // this frame is lost; the recording goes on
    }
    picture->pts = pts;
    const int result = encode(_videoEncoder, _videoOutput, picture);
    av_frame_unref(_picture);
    _videoFramesEncoded.fetch_add(1, std::memory_order_relaxed);
    return result;
}

bool KXFFmpegEncodeRecorder::configureResampler(const AVFrame* frame) {
    AVChannelLayout layout{};
    if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels <= 0) {
        av_channel_layout_default(&layout, frame->ch_layout.nb_channels > 0
                                               ? frame->ch_layout.nb_channels
                                               : _audioEncoder->ch_layout.nb_channels);
    } else if (av_channel_layout_copy(&layout, &frame->ch_layout) < 0) {
        return false;
    }
    if (_resampler != nullptr && frame->sample_rate == _resamplerRate && frame->format == _resamplerFormat &&
        av_channel_layout_compare(&layout, &_resamplerLayout) == 0) {
        av_channel_layout_uninit(&layout);
        return true;
    }
    swr_free(&_resampler);
    int ret = swr_alloc_set_opts2(&_resampler, &_audioEncoder->ch_layout, _audioEncoder->sample_fmt,
                                  _audioEncoder->sample_rate, &layout,
                                  static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    if (ret >= 0) {
        ret = swr_init(_resampler);
    }
    if (ret < 0) {
        swr_free(&_resampler);
        av_channel_layout_uninit(&layout);
        KXLog("KXFFmpegEncodeRecorder: cannot resample the audio: %s\n", KXErrorText(ret).c_str());
        return false;
    }
    av_channel_layout_uninit(&_resamplerLayout);
    _resamplerLayout = layout;
    _resamplerRate = frame->sample_rate;
    _resamplerFormat = frame->format;
    return true;
}

int KXFFmpegEncodeRecorder::sendBufferedAudio(bool flush) {
    const int frameSize = _audioEncoder->frame_size > 0 ? _audioEncoder->frame_size : 1024;
    const bool smallLastFrame = (_audioEncoder->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;
    while (av_audio_fifo_size(_fifo) >= frameSize || (flush && av_audio_fifo_size(_fifo) > 0)) {
        const int available = std::min(av_audio_fifo_size(_fifo), frameSize);
        av_frame_unref(_audioFrame);
        _audioFrame->format = _audioEncoder->sample_fmt;
        _audioFrame->sample_rate = _audioEncoder->sample_rate;
        _audioFrame->nb_samples = available < frameSize && !smallLastFrame ? frameSize : available;
        if (av_channel_layout_copy(&_audioFrame->ch_layout, &_audioEncoder->ch_layout) < 0 ||
            av_frame_get_buffer(_audioFrame, 0) < 0) {
            return AVERROR(ENOMEM);
        }
        if (_audioFrame->nb_samples > available) {
            av_samples_set_silence(_audioFrame->extended_data, 0, _audioFrame->nb_samples,
                                   _audioFrame->ch_layout.nb_channels, _audioEncoder->sample_fmt);
        }
        if (av_audio_fifo_read(_fifo, reinterpret_cast<void**>(_audioFrame->extended_data), available) !=
            available) {
            return AVERROR(EIO);
        }
        _audioFrame->pts = _audioSamples;
        _audioSamples += _audioFrame->nb_samples;
        const int result = encode(_audioEncoder, _audioOutput, _audioFrame);
        av_frame_unref(_audioFrame);
        if (result < 0) {
            return result;
        }
    }
    return 0;
}

int KXFFmpegEncodeRecorder::fillAudioGap(const AVFrame* frame) {
    if (frame->pts == AV_NOPTS_VALUE) {
        return 0;
    }
    const int64_t expected = _audioInputNext;
    _audioInputNext = frame->pts + frame->nb_samples;
    if (expected == AV_NOPTS_VALUE) {
        return 0;  // the first frame
    }
    // Frames the decoder could not queue (or a microphone that paused) leave a hole in the
    // frames' own timeline. Counting only the samples that came would pull all later sound
    // ahead of the pictures; the hole is kept as silence instead. Jitter of less than a frame
    // is ignored, and so is a jump back or a jump ahead past any real pause (a stream that
    // started over).
    const int64_t gap = frame->pts - expected;
    const int64_t limit = static_cast<int64_t>(frame->sample_rate) * kMaxAudioGapSeconds;
    if (gap < frame->nb_samples || gap > limit) {
        return 0;
    }
    int64_t silence = av_rescale(gap, _audioEncoder->sample_rate, frame->sample_rate);
    const int chunk = std::max(1, _audioEncoder->frame_size);
    if (_silence == nullptr) {
        _silence = av_frame_alloc();
        if (_silence == nullptr) {
            return AVERROR(ENOMEM);
        }
        _silence->format = _audioEncoder->sample_fmt;
        _silence->nb_samples = chunk;
        if (av_channel_layout_copy(&_silence->ch_layout, &_audioEncoder->ch_layout) < 0 ||
            av_frame_get_buffer(_silence, 0) < 0) {
            av_frame_free(&_silence);
            return AVERROR(ENOMEM);
        }
        av_samples_set_silence(_silence->extended_data, 0, chunk, _silence->ch_layout.nb_channels,
                               _audioEncoder->sample_fmt);
    }
    while (silence > 0) {
        const int part = static_cast<int>(std::min<int64_t>(silence, chunk));
        if (av_audio_fifo_write(_fifo, reinterpret_cast<void**>(_silence->extended_data), part) < part) {
            return AVERROR(ENOMEM);
        }
        silence -= part;
        const int result = sendBufferedAudio(false);
        if (result < 0) {
            return result;
        }
    }
    return 0;
}

int KXFFmpegEncodeRecorder::encodeAudio(const AVFrame* frame) {
    if (frame != nullptr) {
        if (frame->nb_samples <= 0 || frame->sample_rate <= 0 || !configureResampler(frame)) {
            return 0;  // nothing usable: the recording goes on without this frame
        }
        const int filled = fillAudioGap(frame);
        if (filled < 0) {
            return filled;
        }
    } else if (_resampler == nullptr) {
        return sendBufferedAudio(true);
    }
    // Converts the frame's own samples (or, at the end, what the resampler still holds).
    const int inputSamples = frame != nullptr ? frame->nb_samples : 0;
    const int room = swr_get_out_samples(_resampler, inputSamples);
    if (room < 0) {
        return 0;
    }
    if (room > 0) {
        if (_resampled->nb_samples < room || _resampled->format != _audioEncoder->sample_fmt) {
            av_frame_unref(_resampled);
            _resampled->format = _audioEncoder->sample_fmt;
            _resampled->sample_rate = _audioEncoder->sample_rate;
            _resampled->nb_samples = room;
            if (av_channel_layout_copy(&_resampled->ch_layout, &_audioEncoder->ch_layout) < 0 ||
                av_frame_get_buffer(_resampled, 0) < 0) {
                av_frame_unref(_resampled);
                return AVERROR(ENOMEM);
            }
        }
        const int converted = swr_convert(
            _resampler, _resampled->extended_data, room,
            frame != nullptr ? const_cast<const uint8_t**>(frame->extended_data) : nullptr, inputSamples);
        if (converted > 0 && av_audio_fifo_write(_fifo, reinterpret_cast<void**>(_resampled->extended_data),
                                                 converted) < converted) {
            return AVERROR(ENOMEM);
        }
    }
    return sendBufferedAudio(frame == nullptr);
}

int KXFFmpegEncodeRecorder::finishEncoding() {
    int result = 0;
    if (_audioEncoder != nullptr) {
        result = encodeAudio(nullptr);
        if (result >= 0) {
            result = encode(_audioEncoder, _audioOutput, nullptr);
        }
    }
    if (_videoEncoder != nullptr && result >= 0) {
        result = encode(_videoEncoder, _videoOutput, nullptr);
    }
    return result;
}

int KXFFmpegEncodeRecorder::run() {
    if (_output.context() == nullptr) {
        return AVERROR(EINVAL);
    }
    AVFrame* frame = av_frame_alloc();
    if (frame == nullptr) {
        _output.finish();
        return AVERROR(ENOMEM);
    }
    int result = 0;
    int drained = 0;
    const int drainLimit = (_videoFrames != nullptr ? _videoFrames->capacity() : 0) +
                           (_audioFrames != nullptr ? _audioFrames->capacity() : 0);
    while (result >= 0) {
        const bool stopping = stopRequested();
        // After a stop request only what was queued by then is written: a live source that
        // keeps the queues filled must not hold the stop up.
        auto mayTake = [&] { return !stopping || drained < drainLimit; };
        bool took = false;
        // Audio first, all that is queued: its frames come more often than pictures, and the
        // picture wait below must not let the audio queue overflow.
        while (result >= 0 && _audioEncoder != nullptr && mayTake() &&
               _audioFrames->get(frame, nullptr, nullptr, 0)) {
            took = true;
            drained += stopping ? 1 : 0;
            result = encodeAudio(frame);
            av_frame_unref(frame);
        }
        if (result < 0) {
            break;
        }
        FrameQueue* waited = _videoEncoder != nullptr ? _videoFrames : _audioFrames;
        if (mayTake() && (_videoEncoder != nullptr || !took) &&
            waited->get(frame, nullptr, nullptr, stopping ? 0 : kFrameWaitMs)) {
            took = true;
            drained += stopping ? 1 : 0;
            result = _videoEncoder != nullptr ? encodeVideo(frame) : encodeAudio(frame);
            av_frame_unref(frame);
        }
        if (stopping && (!took || !mayTake())) {
            break;
        }
        if (!stopping && waited->isAborted()) {
            break;  // nothing more can come (a get on an aborted queue fails at once)
        }
    }
    av_frame_free(&frame);
    if (result >= 0) {
        // The encoders still hold the last pictures and samples.
        result = finishEncoding();
    }
    const int finished = _output.finish();
    return result < 0 ? result : finished;
}
