#include "MediaGenerator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

void MediaFillPicture(AVFrame* frame, int index) {
    // Drawn in planar 4:2:0; other formats are converted by the caller.
    for (int y = 0; y < frame->height; ++y) {
        uint8_t* row = frame->data[0] + y * frame->linesize[0];
        for (int x = 0; x < frame->width; ++x) {
            row[x] = static_cast<uint8_t>((x + y + index * 3) & 0xFF);
        }
    }
    const int square = std::max(8, frame->width / 8);
    const int left = (index * 4) % std::max(1, frame->width - square);
    const int top = frame->height / 3;
    for (int y = top; y < std::min(frame->height, top + square); ++y) {
        for (int x = left; x < left + square; ++x) {
            frame->data[0][y * frame->linesize[0] + x] = 235;
        }
    }
    for (int y = 0; y < frame->height / 2; ++y) {
        for (int x = 0; x < frame->width / 2; ++x) {
            frame->data[1][y * frame->linesize[1] + x] = static_cast<uint8_t>(128 + ((x + index) & 31));
            frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(128 - ((y + index) & 31));
        }
    }
}

namespace {

void collect(AVCodecContext* encoder, AVFrame* frame, int stream, std::vector<MediaPacket>& out) {
    if (avcodec_send_frame(encoder, frame) < 0) {
        return;
    }
    AVPacket* packet = av_packet_alloc();
    while (avcodec_receive_packet(encoder, packet) == 0) {
        MediaPacket p;
        p.stream = stream;
        p.data.assign(packet->data, packet->data + packet->size);
        p.pts = packet->pts;
        p.dts = packet->dts;
        p.duration = packet->duration;
        p.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        out.push_back(std::move(p));
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
}

}  // namespace

MediaClip::MediaClip(const MediaRecipe& recipe) : _recipe(recipe) {
    av_log_set_level(AV_LOG_ERROR);  // keep encoder statistics out of the test output
    _ok = encodeVideo() && (!recipe.withAudio || encodeAudio());
    if (_ok && recipe.withAudio) {
        // Interleave by presentation time, as a muxer expects.
        std::stable_sort(_packets.begin(), _packets.end(), [&](const MediaPacket& a, const MediaPacket& b) {
            AVRational ta = a.stream == 0 ? videoTimeBase() : audioTimeBase();
            AVRational tb = b.stream == 0 ? videoTimeBase() : audioTimeBase();
            return av_compare_ts(a.dts, ta, b.dts, tb) < 0;
        });
    }
}

MediaClip::~MediaClip() {
    avcodec_parameters_free(&_videoParameters);
    avcodec_parameters_free(&_audioParameters);
}

bool MediaClip::encodeVideo() {
    const AVCodec* codec = nullptr;
    AVPixelFormat format = AV_PIX_FMT_YUV420P;
    switch (_recipe.video) {
        case MediaVideo::H264:
            codec = avcodec_find_encoder_by_name("libx264");
            format = _recipe.h264Format;
            break;
        case MediaVideo::MJPEG:
            codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
            format = AV_PIX_FMT_YUVJ420P;
            break;
        case MediaVideo::Raw:
            codec = avcodec_find_encoder(AV_CODEC_ID_RAWVIDEO);
            format = _recipe.rawFormat;
            break;
    }
    if (codec == nullptr) {
        return false;
    }
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    encoder->width = _recipe.width;
    encoder->height = _recipe.height;
    encoder->pix_fmt = format;
    encoder->time_base = AVRational{1, _recipe.fps};
    encoder->framerate = AVRational{_recipe.fps, 1};
    encoder->gop_size = _recipe.gop;
    encoder->max_b_frames = _recipe.video == MediaVideo::H264 ? _recipe.bFrames : 0;
    if (_recipe.video == MediaVideo::H264) {
        av_opt_set(encoder->priv_data, "preset", _recipe.h264Preset.c_str(), 0);
        if (_recipe.bFrames == 0) {
            av_opt_set(encoder->priv_data, "tune", "zerolatency", 0);
        }
        av_opt_set(encoder->priv_data, "x264-params", "repeat-headers=1", 0);
    }
    if (_recipe.video == MediaVideo::MJPEG) {
        encoder->qmin = encoder->qmax = 4;
    }
    if (avcodec_open2(encoder, codec, nullptr) < 0) {
        avcodec_free_context(&encoder);
        return false;
    }
    AVFrame* picture = av_frame_alloc();
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = _recipe.width;
    picture->height = _recipe.height;
    av_frame_get_buffer(picture, 0);
    AVFrame* frame = av_frame_alloc();
    frame->format = format;
    frame->width = _recipe.width;
    frame->height = _recipe.height;
    av_frame_get_buffer(frame, 0);
    SwsContext* sws = sws_getContext(_recipe.width, _recipe.height, AV_PIX_FMT_YUV420P, _recipe.width,
                                     _recipe.height, format, SWS_POINT, nullptr, nullptr, nullptr);
    for (int i = 0; i < _recipe.frames; ++i) {
        av_frame_make_writable(picture);
        av_frame_make_writable(frame);
        if (_recipe.picture != nullptr) {
            av_frame_copy(picture, _recipe.picture);
        } else {
            MediaFillPicture(picture, i);
        }
        sws_scale(sws, picture->data, picture->linesize, 0, _recipe.height, frame->data, frame->linesize);
        frame->pts = i;
        collect(encoder, frame, 0, _packets);
    }
    collect(encoder, nullptr, 0, _packets);
    _videoParameters = avcodec_parameters_alloc();
    avcodec_parameters_from_context(_videoParameters, encoder);
    sws_freeContext(sws);
    av_frame_free(&frame);
    av_frame_free(&picture);
    avcodec_free_context(&encoder);
    return !_packets.empty();
}

bool MediaClip::encodeAudio() {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (codec == nullptr) {
        return false;
    }
    AVCodecContext* encoder = avcodec_alloc_context3(codec);
    encoder->sample_rate = _recipe.sampleRate;
    encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&encoder->ch_layout, _recipe.channels);
    encoder->bit_rate = 96000;
    encoder->time_base = AVRational{1, _recipe.sampleRate};
    if (avcodec_open2(encoder, codec, nullptr) < 0) {
        avcodec_free_context(&encoder);
        return false;
    }
    const int64_t totalSamples = static_cast<int64_t>(_recipe.frames) * _recipe.sampleRate / _recipe.fps;
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->nb_samples = encoder->frame_size;
    frame->sample_rate = _recipe.sampleRate;
    av_channel_layout_copy(&frame->ch_layout, &encoder->ch_layout);
    av_frame_get_buffer(frame, 0);
    std::vector<MediaPacket> audio;
    for (int64_t start = 0; start + encoder->frame_size <= totalSamples; start += encoder->frame_size) {
        av_frame_make_writable(frame);
        for (int c = 0; c < _recipe.channels; ++c) {
            auto* samples = reinterpret_cast<float*>(frame->data[c]);
            for (int s = 0; s < encoder->frame_size; ++s) {
                samples[s] = 0.3f * std::sin(2.0 * M_PI * 440.0 * (start + s) / _recipe.sampleRate);
            }
        }
        frame->pts = start;
        collect(encoder, frame, 1, audio);
    }
    collect(encoder, nullptr, 1, audio);
    _audioParameters = avcodec_parameters_alloc();
    avcodec_parameters_from_context(_audioParameters, encoder);
    av_frame_free(&frame);
    avcodec_free_context(&encoder);
    _packets.insert(_packets.end(), audio.begin(), audio.end());
    return !audio.empty();
}

namespace {
bool fileSink(void* context, const uint8_t* data, int size) {
    return std::fwrite(data, 1, static_cast<size_t>(size), static_cast<FILE*>(context)) ==
           static_cast<size_t>(size);
}
}  // namespace

bool MediaClip::writeFile(const std::string& path) const {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok;
    {
        MediaMuxer muxer(*this, &fileSink, file);
        ok = muxer.ok();
        for (const MediaPacket& p : _packets) {
            ok = ok && muxer.write(p, 0);
        }
        ok = ok && muxer.finish();
    }
    return std::fclose(file) == 0 && ok;
}

MediaMuxer::MediaMuxer(const MediaClip& clip, Sink sink, void* context)
    : _clip(clip), _sink(sink), _context(context) {
    if (avformat_alloc_output_context2(&_format, nullptr, clip.recipe().container.c_str(), nullptr) < 0) {
        return;
    }
    AVStream* video = avformat_new_stream(_format, nullptr);
    avcodec_parameters_copy(video->codecpar, clip.videoParameters());
    video->codecpar->codec_tag = 0;
    if (video->codecpar->codec_id == AV_CODEC_ID_RAWVIDEO) {
        // Without an explicit four-character code some muxers label packed YUV as RGB.
        video->codecpar->codec_tag =
            avcodec_pix_fmt_to_codec_tag(static_cast<AVPixelFormat>(video->codecpar->format));
    }
    video->time_base = clip.videoTimeBase();
    video->avg_frame_rate = AVRational{clip.recipe().fps, 1};
    if (clip.audioParameters() != nullptr) {
        AVStream* audio = avformat_new_stream(_format, nullptr);
        avcodec_parameters_copy(audio->codecpar, clip.audioParameters());
        audio->codecpar->codec_tag = 0;
        audio->time_base = clip.audioTimeBase();
    }
    const int bufferSize = 4096;
    auto* buffer = static_cast<uint8_t*>(av_malloc(bufferSize));
    _format->pb =
        avio_alloc_context(buffer, bufferSize, 1, this, nullptr, &MediaMuxer::writeCallback, nullptr);
    _format->flags |= AVFMT_FLAG_FLUSH_PACKETS;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "flush_packets", "1", 0);
    _ok = avformat_write_header(_format, &options) >= 0;
    av_dict_free(&options);
}

MediaMuxer::~MediaMuxer() {
    if (_format != nullptr) {
        if (_format->pb != nullptr) {
            av_freep(&_format->pb->buffer);
            avio_context_free(&_format->pb);
        }
        avformat_free_context(_format);
    }
}

int MediaMuxer::writeCallback(void* self, uint8_t* data, int size) {
    auto* muxer = static_cast<MediaMuxer*>(self);
    if (muxer->_sinkFailed || !muxer->_sink(muxer->_context, data, size)) {
        muxer->_sinkFailed = true;
        return AVERROR(EPIPE);
    }
    return size;
}

bool MediaMuxer::write(const MediaPacket& packet, int64_t offset) {
    if (!_ok || _sinkFailed) {
        return false;
    }
    if (packet.stream == 1 && _format->nb_streams < 2) {
        return true;
    }
    AVPacket* p = av_packet_alloc();
    av_new_packet(p, static_cast<int>(packet.data.size()));
    std::copy(packet.data.begin(), packet.data.end(), p->data);
    p->stream_index = packet.stream;
    p->pts = packet.pts + offset;
    p->dts = packet.dts + offset;
    p->duration = packet.duration;
    if (packet.key) {
        p->flags |= AV_PKT_FLAG_KEY;
    }
    AVRational source = packet.stream == 0 ? _clip.videoTimeBase() : _clip.audioTimeBase();
    av_packet_rescale_ts(p, source, _format->streams[packet.stream]->time_base);
    int ret = av_write_frame(_format, p);
    av_packet_free(&p);
    if (ret >= 0) {
        avio_flush(_format->pb);
    }
    return ret >= 0 && !_sinkFailed;
}

bool MediaMuxer::finish() {
    if (!_ok) {
        return false;
    }
    bool ok = av_write_trailer(_format) >= 0;
    avio_flush(_format->pb);
    return ok && !_sinkFailed;
}
