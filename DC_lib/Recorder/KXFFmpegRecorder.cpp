#include "Recorder/KXFFmpegRecorder.h"

#include <cstring>

#include "KXLog.h"
#include "Receiver/PacketQueue.h"

extern "C" {
#include <libavutil/intreadwrite.h>
#include <libavutil/mem.h>
}

namespace {

// How long the record thread waits for a packet. The queue wakes it the moment a packet is
// handed over, so the bound costs no latency; it only bounds how late a stop request is seen.
constexpr int kPacketWaitMs = 20;

// The decoder configuration (AudioSpecificConfig) of an AAC stream that came with ADTS
// headers, as those headers state it: ADTS carries object types 1-4 only, so HE-AAC appears
// as its AAC-LC core at half the output rate (and HE-AAC v2 as a mono core). false for a
// rate ADTS cannot state.
bool adtsAudioSpecificConfig(const AVCodecParameters* parameters, uint8_t config[2]) {
    static const int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                 22050, 16000, 12000, 11025, 8000,  7350};
    int objectType = 2;  // AAC-LC
    int rate = parameters->sample_rate;
    int channels = parameters->ch_layout.nb_channels;
    if (parameters->profile >= FF_PROFILE_AAC_MAIN && parameters->profile <= FF_PROFILE_AAC_LTP) {
        objectType = parameters->profile + 1;
    } else if (parameters->profile == FF_PROFILE_AAC_HE || parameters->profile == FF_PROFILE_AAC_HE_V2) {
        rate /= 2;
        if (parameters->profile == FF_PROFILE_AAC_HE_V2) {
            channels = 1;
        }
    }
    int rateIndex = -1;
    for (int i = 0; i < static_cast<int>(sizeof kRates / sizeof kRates[0]); ++i) {
        if (kRates[i] == rate) {
            rateIndex = i;
        }
    }
    const int channelConfig = channels == 8 ? 7 : channels;
    if (rateIndex < 0 || channelConfig < 1 || channelConfig > 7) {
        return false;
    }
    config[0] = static_cast<uint8_t>((objectType << 3) | (rateIndex >> 1));
    config[1] = static_cast<uint8_t>(((rateIndex & 1) << 7) | (channelConfig << 3));
    return true;
}

}  // namespace

KXFFmpegRecorder::KXFFmpegRecorder(PacketQueue* recordingQueue, AVFormatContext* inputContext,
                                   int videoStreamIndex, int audioStreamIndex)
    : _recordingQueue(recordingQueue),
      _inputFormatContext(inputContext),
      _videoStreamIndex(videoStreamIndex),
      _audioStreamIndex(audioStreamIndex) {}

KXFFmpegRecorder::~KXFFmpegRecorder() {
    close();
}

void KXFFmpegRecorder::freeTracks() {
    for (Track& track : _tracks) {
        av_bsf_free(&track.adtsToAsc);
    }
    _tracks.clear();
    av_packet_free(&_filtered);
}

int KXFFmpegRecorder::close() {
    const int result = _output.finish();
    freeTracks();
    return result;
}

bool KXFFmpegRecorder::addTrack(const AVStream* input) {
    const AVCodecParameters* parameters = input->codecpar;
    if (avcodec_find_decoder(parameters->codec_id) == nullptr) {
        KXLog("Couldn't create AVCodec for recording.\n");
        return false;
    }
    AVStream* output = avformat_new_stream(_output.context(), nullptr);
    if (output == nullptr) {
        KXLog("Couldn't create an outputStream.\n");
        return false;
    }
    if (avcodec_parameters_copy(output->codecpar, parameters) < 0) {
        KXLog("Couldn't copy the inputStream's codecpar to the outputStream's codecpar.\n");
        return false;
    }
    // The input container's tag means nothing in another container; the muxer picks its own.
    output->codecpar->codec_tag = 0;
    output->time_base = input->time_base;

    Track& track = _tracks[input->index];
    track.output = output->index;
    track.inputTimeBase = input->time_base;

    // AAC from MPEG-TS comes with ADTS headers and no decoder configuration. A container that
    // keeps codec headers out of the packets (MP4, Matroska) wants raw AAC frames and the
    // configuration up front: the MP4 header is written before the first packet.
    if (parameters->codec_id == AV_CODEC_ID_AAC && parameters->extradata_size == 0 &&
        _output.wantsGlobalHeader()) {
        uint8_t config[2];
        if (adtsAudioSpecificConfig(parameters, config)) {
            output->codecpar->extradata =
                static_cast<uint8_t*>(av_mallocz(sizeof config + AV_INPUT_BUFFER_PADDING_SIZE));
            if (output->codecpar->extradata == nullptr) {
                return false;
            }
            std::memcpy(output->codecpar->extradata, config, sizeof config);
            output->codecpar->extradata_size = sizeof config;
        }
        const AVBitStreamFilter* filter = av_bsf_get_by_name("aac_adtstoasc");
        if (filter == nullptr || av_bsf_alloc(filter, &track.adtsToAsc) < 0 ||
            avcodec_parameters_copy(track.adtsToAsc->par_in, parameters) < 0) {
            KXLog("Couldn't create AVCodec for recording.\n");
            return false;
        }
        track.adtsToAsc->time_base_in = input->time_base;
        if (av_bsf_init(track.adtsToAsc) < 0) {
            KXLog("Couldn't create AVCodec for recording.\n");
            return false;
        }
    }
    return true;
}

int KXFFmpegRecorder::init(const char* folder, const char* fileName) {
    const std::string path = recordingPath(folder, fileName);
    if (path.empty()) {
        KXLog("KXFFmpegRecorder::init: no folder or file name\n");
        return -1;
    }
    if (_inputFormatContext == nullptr) {
        KXLog("_inputFormatContext is null.\n");
        return -1;
    }
    auto fail = [this] {
        _output.finish();
        freeTracks();
        return -1;
    };
    if (!_output.create(path)) {
        return fail();
    }
    _filtered = av_packet_alloc();
    if (_filtered == nullptr) {
        return fail();
    }
    _tracks.assign(_inputFormatContext->nb_streams, Track{});
    for (unsigned i = 0; i < _inputFormatContext->nb_streams; ++i) {
        const AVStream* input = _inputFormatContext->streams[i];
        const bool inUse =
            static_cast<int>(i) == _videoStreamIndex || static_cast<int>(i) == _audioStreamIndex;
        if (inUse && !addTrack(input)) {
            return fail();
        }
    }
    if (_output.context()->nb_streams == 0 || !_output.begin()) {
        return fail();
    }
    return 0;
}

int KXFFmpegRecorder::writeOutputPacket(Track& track, AVPacket* packet) {
    packet->stream_index = track.output;
    const int64_t dts = track.timeline.next(packet->dts, packet->duration);
    if (dts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE && packet->pts != AV_NOPTS_VALUE) {
        packet->pts += dts - packet->dts;
    }
    packet->dts = dts;
    const int ret = _output.write(packet);
    return ret < 0 ? ret : 0;
}

int KXFFmpegRecorder::writePacket(AVPacket* packet) {
    if (packet->stream_index < 0 || static_cast<size_t>(packet->stream_index) >= _tracks.size()) {
        return 0;
    }
    Track& track = _tracks[packet->stream_index];
    if (track.output < 0) {
        return 0;  // a stream the recording leaves out
    }
    const AVStream* output = _output.context()->streams[track.output];
    av_packet_rescale_ts(packet, track.inputTimeBase, output->time_base);
    if (track.adtsToAsc == nullptr) {
        return writeOutputPacket(track, packet);
    }
    // The filter works in the input's time base; both are the output's here.
    track.adtsToAsc->time_base_in = output->time_base;
    if (av_bsf_send_packet(track.adtsToAsc, packet) < 0) {
        av_packet_unref(packet);
        return 0;  // not an ADTS frame: left out, the recording goes on
    }
    int result = 0;
    while (result >= 0 && av_bsf_receive_packet(track.adtsToAsc, _filtered) == 0) {
        result = writeOutputPacket(track, _filtered);
        av_packet_unref(_filtered);
    }
    return result;
}

int KXFFmpegRecorder::run() {
    if (_output.context() == nullptr) {
        return AVERROR(EINVAL);
    }
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        _output.finish();
        return AVERROR(ENOMEM);
    }
    int result = 0;
    int drained = 0;
    while (result >= 0) {
        const bool stopping = stopRequested();
        if (!_recordingQueue->get(packet, stopping ? 0 : kPacketWaitMs)) {
            if (stopping || _recordingQueue->isAborted()) {
                break;
            }
            continue;
        }
        // After a stop request only what was queued by then is written; a live source that
        // keeps the queue filled must not hold the stop up.
        if (stopping && ++drained > _recordingQueue->capacity()) {
            av_packet_unref(packet);
            break;
        }
        result = writePacket(packet);
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    // Written on a write error too: what reached the file is finalised.
    const int finished = _output.finish();
    return result < 0 ? result : finished;
}
