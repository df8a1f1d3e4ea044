#include "MediaFileReader.h"

#include <algorithm>

double MediaFileStream::seconds() const {
    std::vector<int64_t> times;
    int64_t lastDuration = 0;
    int64_t end = INT64_MIN;
    for (const MediaFilePacket& p : packets) {
        const int64_t at = p.pts != AV_NOPTS_VALUE ? p.pts : p.dts;
        if (at != AV_NOPTS_VALUE) {
            times.push_back(at);
            end = std::max(end, at + p.duration);
            lastDuration = std::max(lastDuration, p.duration);
        }
    }
    if (times.empty()) {
        return 0.0;
    }
    std::sort(times.begin(), times.end());
    // Fragmented MP4 gives no packet durations back: the last packet then lasts as long as the
    // shortest step between two packets.
    if (lastDuration == 0 && times.size() > 1) {
        int64_t step = INT64_MAX;
        for (size_t i = 1; i < times.size(); ++i) {
            if (times[i] > times[i - 1]) {
                step = std::min(step, times[i] - times[i - 1]);
            }
        }
        end = times.back() + (step == INT64_MAX ? 0 : step);
    }
    return static_cast<double>(end - times.front()) * av_q2d(timeBase);
}

std::vector<int64_t> MediaFileStream::presentationSteps() const {
    std::vector<int64_t> times;
    for (const MediaFilePacket& p : packets) {
        if (p.pts != AV_NOPTS_VALUE) {
            times.push_back(p.pts);
        }
    }
    std::sort(times.begin(), times.end());
    std::vector<int64_t> steps;
    for (size_t i = 1; i < times.size(); ++i) {
        steps.push_back(times[i] - times[i - 1]);
    }
    return steps;
}

const MediaFileStream* MediaFile::first(AVMediaType type) const {
    for (const MediaFileStream& s : streams) {
        if (s.type == type) {
            return &s;
        }
    }
    return nullptr;
}

namespace {

void decodeInto(AVCodecContext* codec, const AVPacket* packet, AVFrame* frame, MediaFileStream& stream) {
    if (avcodec_send_packet(codec, packet) < 0) {
        ++stream.decodeErrors;
    }
    int ret;
    while ((ret = avcodec_receive_frame(codec, frame)) == 0) {
        ++stream.decodedFrames;
        av_frame_unref(frame);
    }
    if (ret != AVERROR(EAGAIN) && ret != AVERROR_EOF) {
        ++stream.decodeErrors;
    }
}

}  // namespace

MediaFile MediaReadFile(const std::string& path, bool decode) {
    MediaFile file;
    AVFormatContext* input = nullptr;
    if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
        return file;
    }
    if (avformat_find_stream_info(input, nullptr) < 0) {
        avformat_close_input(&input);
        return file;
    }
    file.opened = true;
    file.format = input->iformat->name;
    std::vector<AVCodecContext*> decoders(input->nb_streams, nullptr);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        const AVStream* st = input->streams[i];
        MediaFileStream s;
        s.type = st->codecpar->codec_type;
        s.codec = st->codecpar->codec_id;
        s.width = st->codecpar->width;
        s.height = st->codecpar->height;
        s.sampleRate = st->codecpar->sample_rate;
        s.channels = st->codecpar->ch_layout.nb_channels;
        s.extradataSize = st->codecpar->extradata_size;
        s.colorRange = st->codecpar->color_range;
        s.timeBase = st->time_base;
        s.averageFrameRate = st->avg_frame_rate;
        if (decode) {
            const AVCodec* codec = avcodec_find_decoder(s.codec);
            AVCodecContext* context = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
            if (context != nullptr && avcodec_parameters_to_context(context, st->codecpar) >= 0 &&
                avcodec_open2(context, codec, nullptr) >= 0) {
                decoders[i] = context;
                s.decodedFrames = 0;
            } else {
                avcodec_free_context(&context);
            }
        }
        file.streams.push_back(std::move(s));
    }
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(input, packet) >= 0) {
        if (packet->stream_index >= 0 && static_cast<unsigned>(packet->stream_index) < input->nb_streams) {
            MediaFileStream& s = file.streams[packet->stream_index];
            MediaFilePacket p;
            p.pts = packet->pts;
            p.dts = packet->dts;
            p.duration = packet->duration;
            p.key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
            p.data.assign(packet->data, packet->data + packet->size);
            s.packets.push_back(std::move(p));
            if (decoders[packet->stream_index] != nullptr) {
                decodeInto(decoders[packet->stream_index], packet, frame, s);
            }
        }
        av_packet_unref(packet);
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (decoders[i] != nullptr) {
            decodeInto(decoders[i], nullptr, frame, file.streams[i]);
            avcodec_free_context(&decoders[i]);
        }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avformat_close_input(&input);
    return file;
}
