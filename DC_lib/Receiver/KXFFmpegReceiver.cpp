#include "Receiver/KXFFmpegReceiver.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "KXLog.h"
#include "KXPlatform.h"
#include "Receiver/KXJpegSnapshot.h"
#include "Receiver/PacketQueue.h"

extern "C" {
#include <libavutil/error.h>
}

namespace {

std::string errorText(int code) {
    char text[128] = {0};
    if (av_strerror(code, text, sizeof text) < 0) {
        std::snprintf(text, sizeof text, "%s", std::strerror(-code));
    }
    return text;
}

void sleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t steadyNowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// How long a local input may take to open and to give what its analysis needs. A camera
// sends its first frame well within this; one that sends nothing makes the start fail
// instead of holding the caller (and every later stop) for good.
constexpr int64_t kLocalOpenTimeoutMs = 5000;

// The options every capture-device open carries besides the device's own.
void addDeviceBufferOptions(std::vector<std::pair<std::string, std::string>>& options) {
    options.emplace_back("initial_timeout", "2000000");
    options.emplace_back("buffer_size", "8192000");
    options.emplace_back("rtbufsize", "2147.48M");
}

bool isRtsp(const std::string& url) {
    return url.rfind("rtsp", 0) == 0;
}

// How much of a network stream (in stream time) its analysis may read when the container does
// not declare the streams' parameters: enough for a key frame and an audio frame or two.
constexpr int64_t kNetworkAnalysisUs = 500000;

// Packets read in a row from one of two inputs while it still has bytes buffered.
constexpr int kMaxBufferedReads = 16;

// How a device input (one without a byte stream) answers once its device has gone: the driver
// unregistered it, failed its queue, or stopped its stream for good. A device input never
// answers these while it streams; "nothing yet" is EAGAIN.
bool deviceGone(int ret) {
    return ret == AVERROR(ENODEV) || ret == AVERROR(EIO) || ret == AVERROR(ENXIO) || ret == AVERROR(EINVAL);
}

bool hasBufferedBytes(const AVFormatContext* input) {
    return input->pb != nullptr && input->pb->buf_ptr < input->pb->buf_end;
}

}  // namespace

void* readInThread(void* arg) {
    auto* receiver = static_cast<KXIReceiver*>(arg);
    int result = receiver->run();
    if (result < 0) {
        KXLog("There is an error(code:%d) in readInThread.\n", result);
        receiver->stop();
    }
    return nullptr;
}

KXFFmpegReceiver::KXFFmpegReceiver(PacketQueue* audioQueue, PacketQueue* videoQueue,
                                   PacketQueue* recordingQueue)
    : _audioQueue(audioQueue), _videoQueue(videoQueue), _recordingQueue(recordingQueue) {}

KXFFmpegReceiver::~KXFFmpegReceiver() = default;

bool KXFFmpegReceiver::stop() {
    _stop.store(true, std::memory_order_release);
    return true;
}

int KXFFmpegReceiver::interruptCallback(void* self) {
    auto* receiver = static_cast<KXFFmpegReceiver*>(self);
    // A blocked read (a stalled network peer, a silent device) must not hold up a stop.
    if (receiver->_stop.load(std::memory_order_acquire)) {
        return 1;
    }
    const int64_t deadline = receiver->_openDeadlineNs.load(std::memory_order_relaxed);
    if (deadline == 0) {
        return 0;
    }
    // The open runs under the receiver's start/stop mutex, so no stop can reach it: a device
    // that never delivers a frame must end the open by itself.
    if (steadyNowNs() >= deadline) {
        receiver->_openTimedOut.store(true, std::memory_order_relaxed);
        return 1;
    }
    if (receiver->_openPollsSlowly.load(std::memory_order_relaxed)) {
        // The analysis of a non-blocking device asks again at once after "nothing yet"; this
        // is where it looks at the interrupt, so a short sleep here keeps it from spinning.
        sleepMs(1);
    }
    return 0;
}

void KXFFmpegReceiver::beginOpen(const AVInputFormat* format) {
    _openPollsSlowly.store(format != nullptr && (format->flags & AVFMT_NOFILE) != 0,
                           std::memory_order_relaxed);
    _openTimedOut.store(false, std::memory_order_relaxed);
    _openDeadlineNs.store(steadyNowNs() + kLocalOpenTimeoutMs * 1000000LL, std::memory_order_relaxed);
}

void KXFFmpegReceiver::endOpen() {
    _openDeadlineNs.store(0, std::memory_order_relaxed);
    _openPollsSlowly.store(false, std::memory_order_relaxed);
}

void KXFFmpegReceiver::installInterrupt(AVFormatContext* context) {
    context->interrupt_callback.callback = &KXFFmpegReceiver::interruptCallback;
    context->interrupt_callback.opaque = this;
}

// A container that declares every stream's parameters in its header (NUT, Matroska, MP4,
// ...) needs no stream analysis at all: the open already knows what the decoders need. One
// that does not (MPEG-TS, a raw stream) has them found in its first packets.
bool KXFFmpegReceiver::needsStreamAnalysis(const AVFormatContext* context) {
    if (context->nb_streams == 0 || (context->ctx_flags & AVFMTCTX_NOHEADER) != 0) {
        return true;
    }
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVCodecParameters* codec = context->streams[i]->codecpar;
        if (codec->codec_id == AV_CODEC_ID_NONE) {
            return true;
        }
        if (codec->codec_type == AVMEDIA_TYPE_VIDEO && (codec->width <= 0 || codec->height <= 0)) {
            return true;
        }
        if (codec->codec_type == AVMEDIA_TYPE_AUDIO &&
            (codec->sample_rate <= 0 || codec->ch_layout.nb_channels <= 0 || codec->format < 0)) {
            return true;
        }
    }
    return false;
}

// A live stream's analysis ends once it has seen what the streams need or this much of the
// stream, whichever comes first: by default libavformat reads up to five seconds (or 5 MB) of
// a stream whose container may add streams later (MPEG-TS), and waits for twenty pictures to
// guess a frame rate the stream's own timing already gives.
void KXFFmpegReceiver::boundNetworkAnalysis(AVFormatContext* context) {
    context->max_analyze_duration = kNetworkAnalysisUs;
    context->fps_probe_size = 0;
}

bool KXFFmpegReceiver::finishOpen(AVFormatContext* context, bool localDevice) {
    // What the analysis reads is kept and handed on after it (libavformat queues it for the
    // first reads): a local device's analysis reads just its first packet (its codec, size
    // and rate are those of the chosen format; see localVideoOpen), for H.264 the camera's
    // first key frame, without which nothing could be shown until the next one; a network
    // source's analysis reads as little as its streams need (see needsStreamAnalysis), and
    // dropping what it read would lose a whole key-frame interval at every start.
    av_format_inject_global_side_data(context);
    if (localDevice || needsStreamAnalysis(context)) {
        if (!localDevice) {
            boundNetworkAnalysis(context);
        }
        // An analysis cut short by the open's time bound saw nothing usable, whatever it answers.
        if (avformat_find_stream_info(context, nullptr) < 0 ||
            _openTimedOut.load(std::memory_order_relaxed)) {
            if (localDevice) {
                KXLog("Could not find codec parameters.");
            }
            KXLog("Could not find codec parameters.\n");
            return false;
        }
    }
    context->flags |= AVFMT_FLAG_NOBUFFER;
    int video = av_find_best_stream(context, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (video < 0) {
        return false;
    }
    int audio = av_find_best_stream(context, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    _inputContext = context;
    _videoStreamIndex = video;
    _audioStreamIndex = audio < 0 ? -1 : audio;
    _videoCodec = context->streams[video]->codecpar->codec_id;
    _stop.store(false, std::memory_order_release);
    return true;
}

// Every local input is opened non-blocking. A blocking capture node waits in the kernel for
// its next frame and no interrupt reaches it there: a camera that stops delivering would hold
// the read thread, and with it stopPreview and the destructor, for good. Non-blocking, the
// read answers "nothing yet" at once and the loop polls every millisecond, seeing a stop
// within one poll.
KXInputOpen KXFFmpegReceiver::localVideoOpen(const KXCaptureInput& input, bool deviceDefault) {
    KXInputOpen plan;
    plan.format = input.format;
    plan.url = input.url;
    plan.contextFlags = AVFMT_FLAG_NONBLOCK;
    if (!deviceDefault) {
        plan.options = input.options;
    }
    addDeviceBufferOptions(plan.options);
    // The codec, size and rate of a local device are known from the chosen format, so the
    // stream analysis needs no more than the first packet (the smallest probe size stops it
    // there); a full analysis would read (and, unbuffered, drop) seconds of a live stream.
    plan.options.emplace_back("probesize", "32");
    return plan;
}

KXInputOpen KXFFmpegReceiver::localAudioOpen(const KXCaptureInput& input) {
    KXInputOpen plan;
    plan.format = input.format;
    plan.url = input.url;
    plan.contextFlags = AVFMT_FLAG_NONBLOCK;
    plan.options = input.options;
    return plan;
}

int KXFFmpegReceiver::openInput(AVFormatContext** context, const AVInputFormat* format,
                                const KXInputOpen& plan) {
    installInterrupt(*context);
    (*context)->flags |= plan.contextFlags;
    AVDictionary* options = nullptr;
    for (const auto& [key, value] : plan.options) {
        av_dict_set(&options, key.c_str(), value.c_str(), 0);
    }
    const int ret = avformat_open_input(context, plan.url.c_str(), format, &options);
    av_dict_free(&options);
    return ret;
}

KXOpenFailure KXFFmpegReceiver::openFailureFor(int result) {
    if (result >= 0) {
        return KXOpenFailure::None;
    }
    if (result == AVERROR(EBUSY)) {
        return KXOpenFailure::Busy;
    }
    if (result == AVERROR(EACCES) || result == AVERROR(EPERM)) {
        return KXOpenFailure::NoPermission;
    }
    return KXOpenFailure::Other;
}

bool KXFFmpegReceiver::openDevice(AVFormatContext** context, KXDevInfo& devInfo,
                                  AVFormatContext** audioContext) {
    _openFailure = KXOpenFailure::Other;
    if (context == nullptr || *context == nullptr) {
        return false;
    }
    KXVideoInputRequest request;
    request.device = devInfo.videoDevice;
    request.width = devInfo.width;
    request.height = devInfo.height;
    request.format = devInfo.format;
    request.frameRate = devInfo.frameRateValue;
    KXCaptureInput input;
    const AVInputFormat* format = nullptr;
    if (KXResolveVideoInput(request, input)) {
        format = av_find_input_format(input.format.c_str());
    }
    if (format == nullptr) {
        KXLog("Cannot fine input format");
        KXLog("Cannot fine input format \n");
        avformat_free_context(*context);
        *context = nullptr;
        return false;
    }

    KXLog("devInfo.devName.c_str():%s\n", devInfo.devName.c_str());
    if (input.refusedErrno > 0) {
        // The backend already knows the device would refuse (a simulated camera whose picture
        // another program holds): fail as the driver's open would.
        _openFailure = openFailureFor(AVERROR(input.refusedErrno));
        KXLog("%s: %s\n", devInfo.devName.c_str(), errorText(AVERROR(input.refusedErrno)).c_str());
        avformat_free_context(*context);
        *context = nullptr;
        return false;
    }
    beginOpen(format);
    int ret = openInput(context, format, localVideoOpen(input, false));
    _openFailure = openFailureFor(ret);
    if (_openFailure == KXOpenFailure::Busy || _openFailure == KXOpenFailure::NoPermission) {
        // Another format would meet the same refusal: the device is not ours to stream now.
        endOpen();
        KXLog("%s: %s\n", devInfo.devName.c_str(), errorText(ret).c_str());
        return false;  // avformat_open_input freed and nulled the context
    }
    if (ret < 0) {
        // The device refused the requested size, rate or codec: take its default format.
        *context = avformat_alloc_context();
        if (*context == nullptr) {
            endOpen();
            return false;
        }
        beginOpen(format);
        ret = openInput(context, format, localVideoOpen(input, true));
        _openFailure = openFailureFor(ret);
        if (ret < 0) {
            endOpen();
            KXLog("avformat_open_input fail");
            KXLog("%s: %s\n", devInfo.devName.c_str(), errorText(ret).c_str());
            return false;  // avformat_open_input freed and nulled the context
        }
    }
    const bool analysed = finishOpen(*context, true);
    endOpen();
    if (!analysed) {
        _openFailure = KXOpenFailure::Other;
        return false;  // the caller closes the context
    }
    devInfo.videoStreamIndex = _videoStreamIndex;
    devInfo.audioStreamIndex = _audioStreamIndex;

    if (!devInfo.audioDevice.empty() && audioContext != nullptr && !openAudioDevice(devInfo, audioContext)) {
        // The picture matters more than the sound: go on with video only.
        KXLog("%s: cannot open the audio device\n", devInfo.audioDevice.c_str());
        _audioStreamIndex = -1;
        devInfo.audioStreamIndex = -1;
    }
    return true;
}

// Each way the sound can be lost is said once, without VEXSDK_DEBUG: a camera whose microphone
// silently stays off looks like a broken camera.
bool KXFFmpegReceiver::openAudioDevice(KXDevInfo& devInfo, AVFormatContext** audioContext) {
    const char* name = devInfo.audioDevice.c_str();
    KXCaptureInput input;
    if (!KXResolveAudioInput(devInfo.audioDevice, input)) {
        KXWarnOnce("audio device \"%s\" was not found; the picture goes on without sound", name);
        return false;
    }
    const AVInputFormat* format = av_find_input_format(input.format.c_str());
    if (format == nullptr) {
        KXWarnOnce(
            "this FFmpeg has no \"%s\" input for audio device \"%s\"; the picture goes on without sound",
            input.format.c_str(), name);
        return false;
    }
    AVFormatContext* audio = avformat_alloc_context();
    if (audio == nullptr) {
        return false;
    }
    beginOpen(format);
    const int ret = openInput(&audio, format, localAudioOpen(input));
    if (ret < 0) {
        endOpen();
        KXWarnOnce("cannot open audio device \"%s\" (%s): %s; the picture goes on without sound", name,
                   input.url.c_str(), errorText(ret).c_str());
        return false;  // avformat_open_input freed the context
    }
    audio->flags |= AVFMT_FLAG_NOBUFFER;
    const bool analysed =
        avformat_find_stream_info(audio, nullptr) >= 0 && !_openTimedOut.load(std::memory_order_relaxed);
    endOpen();
    const int index = analysed ? av_find_best_stream(audio, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0) : -1;
    if (index < 0) {
        KXWarnOnce("audio device \"%s\" (%s) gave no sound to analyse; the picture goes on without sound",
                   name, input.url.c_str());
        avformat_close_input(&audio);
        return false;
    }
    _audioInputContext = audio;
    _audioStreamIndex = index;
    devInfo.audioStreamIndex = index;
    *audioContext = audio;
    return true;
}

bool KXFFmpegReceiver::openNetwork(AVFormatContext** context, KXNetInfo& netInfo) {
    _openFailure = KXOpenFailure::Other;
    if (context == nullptr || *context == nullptr) {
        return false;
    }
    AVDictionary* options = nullptr;
    if (netInfo.useTcp) {
        av_dict_set(&options, "rtsp_transport", "tcp", 0);
    }
    av_dict_set(&options, "scan_all_pmts", "1", AV_DICT_DONT_OVERWRITE);
    av_dict_set(&options, "initial_timeout", "2000000", 0);
    if (isRtsp(netInfo.url)) {
        // The RTSP socket time-out; for other protocols "timeout" has other meanings.
        av_dict_set(&options, "timeout", "1000000", 0);
    }
    installInterrupt(*context);
    int ret = avformat_open_input(context, netInfo.url.c_str(), nullptr, &options);
    av_dict_free(&options);
    _openFailure = openFailureFor(ret);
    if (ret < 0) {
        KXLog("%s: %s\n", netInfo.url.c_str(), errorText(ret).c_str());
        return false;
    }
    if (!finishOpen(*context, false)) {
        _openFailure = KXOpenFailure::Other;
        return false;
    }
    netInfo.videoStreamIndex = _videoStreamIndex;
    netInfo.audioStreamIndex = _audioStreamIndex;
    return true;
}

bool KXFFmpegReceiver::startsNewSequence(AVCodecID codec, const AVPacket* packet) {
    return codec == AV_CODEC_ID_H264 && packet->data != nullptr && packet->size >= 5 &&
           (packet->data[4] & 0x1F) == 7;
}

void KXFFmpegReceiver::recordCopy(const AVPacket* packet, AVMediaType type, bool inUseVideo,
                                  bool inUseAudio) {
    if (_recordingQueue == nullptr || _recordingQueue->isAborted()) {
        _videoStartSeen = false;
        _audioStartSeen = false;
        _videoStartPts = _videoStartDts = _audioStartPts = _audioStartDts = 0;
        return;
    }
    // Both timestamps of a stream are rebased on the start packet's decode time. Rebasing the
    // presentation times on the start's own presentation time instead would put every picture
    // that a stream with B-frames shows before its key frame ahead of its decode time, which
    // no muxer accepts; without B-frames both give the start pts and dts 0.
    auto startOf = [](const AVPacket* p) { return p->dts != AV_NOPTS_VALUE ? p->dts : p->pts; };
    if (type == AVMEDIA_TYPE_VIDEO && !_videoStartSeen && (packet->flags & AV_PKT_FLAG_KEY) != 0) {
        _videoStartPts = startOf(packet);
        _videoStartDts = startOf(packet);
        _videoStartSeen = true;
    }
    if (type == AVMEDIA_TYPE_AUDIO && !_audioStartSeen && _videoStartSeen) {
        _audioStartPts = startOf(packet);
        _audioStartDts = startOf(packet);
        _audioStartSeen = true;
    }
    if (!_videoStartSeen && !_audioStartSeen) {
        return;  // nothing is recorded before the first video key packet
    }
    // The copy gets a buffer of its own instead of a second reference to the packet's. Shared,
    // the buffer would be read by the record thread and released (or handed back to a
    // demuxer's pool and refilled) by a decoder thread, ordered only by libavutil's atomic
    // reference count, which the thread sanitizer cannot see in the uninstrumented FFmpeg: every
    // recording would report races that hide real ones. A compressed packet costs next to
    // nothing to copy (a few MB a second).
    AVPacket* copy = av_packet_alloc();
    if (copy == nullptr) {
        return;
    }
    if (av_new_packet(copy, packet->size) < 0 || av_packet_copy_props(copy, packet) < 0) {
        av_packet_free(&copy);
        return;
    }
    std::memcpy(copy->data, packet->data, static_cast<size_t>(packet->size));
    // A missing timestamp stays missing: subtracting from the marker would forge one.
    auto rebase = [](int64_t& value, int64_t start) {
        if (value != AV_NOPTS_VALUE && start != AV_NOPTS_VALUE) {
            value -= start;
        }
    };
    if (inUseVideo) {
        rebase(copy->pts, _videoStartPts);
        rebase(copy->dts, _videoStartDts);
    } else if (inUseAudio) {
        rebase(copy->pts, _audioStartPts);
        rebase(copy->dts, _audioStartDts);
    }
    _recordingQueue->put(copy);
    av_packet_free(&copy);  // releases the reference when the put failed
}

void KXFFmpegReceiver::handlePacket(AVPacket* packet, bool fromAudioInput) {
    AVFormatContext* source = fromAudioInput ? _audioInputContext : _inputContext;
    if (packet->size <= 0 || packet->stream_index < 0 ||
        static_cast<unsigned>(packet->stream_index) >= source->nb_streams) {
        // An empty packet would read as the end-of-stream mark downstream.
        av_packet_unref(packet);
        return;
    }
    const bool inUseVideo = !fromAudioInput && packet->stream_index == _videoStreamIndex;
    const bool inUseAudio = _audioStreamIndex >= 0 && packet->stream_index == _audioStreamIndex &&
                            fromAudioInput == (_audioInputContext != nullptr);
    const bool paused = _pause.load(std::memory_order_acquire);
    if (!paused) {
        recordCopy(packet, source->streams[packet->stream_index]->codecpar->codec_type, inUseVideo,
                   inUseAudio);
        if (inUseVideo) {
            if (_videoCodec == AV_CODEC_ID_MJPEG && _jpegSnapshot != nullptr) {
                _jpegSnapshot->offerPacket(packet);
            }
            if (startsNewSequence(_videoCodec, packet)) {
                _videoQueue->flush();  // a new coded sequence makes everything queued stale
            }
            if (_videoQueue->put(packet)) {
                return;
            }
        } else if (inUseAudio) {
            if (_audioQueue->put(packet)) {
                return;
            }
        }
    }
    av_packet_unref(packet);
}

void KXFFmpegReceiver::markEndOfStream() {
    // A blank packet tells a decoder to drain: the frames it still holds reach the caller
    // before it reports the end. Retried while the queue is full or being flushed.
    AVPacket* mark = av_packet_alloc();
    if (mark == nullptr) {
        return;
    }
    PacketQueue* queues[2] = {_videoQueue, _audioStreamIndex >= 0 ? _audioQueue : nullptr};
    for (PacketQueue* queue : queues) {
        while (queue != nullptr && !queue->isAborted() && !_stop.load(std::memory_order_acquire)) {
            if (queue->put(mark)) {
                break;
            }
            sleepMs(1);
        }
    }
    av_packet_free(&mark);
}

int KXFFmpegReceiver::run() {
    if (_inputContext == nullptr) {
        return -1;
    }
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        return AVERROR(ENOMEM);
    }
    AVFormatContext* inputs[2] = {_inputContext, _audioInputContext};
    const int inputCount = _audioInputContext != nullptr ? 2 : 1;
    int result = 0;
    bool ended = false;
    while (!ended && !_stop.load(std::memory_order_acquire)) {
        bool gotPacket = false;
        bool transientError = false;
        for (int i = 0; i < inputCount && !ended; ++i) {
            AVFormatContext* input = inputs[i];
            int ret = av_read_frame(input, packet);
            if (ret >= 0) {
                gotPacket = true;
                handlePacket(packet, i == 1);
                // An input that reads through a byte stream (not a device) blocks until its
                // next packet; while the other input waits, its packets pile up. Take what
                // that input has already buffered before turning to the other one.
                for (int more = 0; inputCount > 1 && more < kMaxBufferedReads && hasBufferedBytes(input) &&
                                   !_stop.load(std::memory_order_acquire);
                     ++more) {
                    if (av_read_frame(input, packet) < 0) {
                        break;
                    }
                    handlePacket(packet, i == 1);
                }
                continue;
            }
            if (_stop.load(std::memory_order_acquire)) {
                break;  // the read was cut short by stop
            }
            if (ret == AVERROR(EAGAIN)) {
                continue;  // a non-blocking input has nothing yet
            }
            // The I/O error is looked at before the end of file: a failing read marks the byte
            // stream as ended too, so a broken connection would otherwise pass for a stream
            // that finished.
            if (input->pb != nullptr && input->pb->error != 0 && input->pb->error != AVERROR_EOF) {
                result = -1;
                ended = true;
            } else if (ret == AVERROR_EOF || (input->pb != nullptr && avio_feof(input->pb))) {
                KXLog("Stream is the end of file.\n");
                result = AVERROR_EOF;
                ended = true;
            } else if (input->pb == nullptr && deviceGone(ret)) {
                // A capture device that left the bus answers every read this way from now on:
                // retried, the loop would log it a hundred times a second, and the capture
                // calls would keep answering "no frame yet" instead of "not running".
                KXLog("The capture device is gone: %s\n", errorText(ret).c_str());
                result = -1;
                ended = true;
            } else {
                transientError = true;
            }
        }
        if (ended) {
            break;
        }
        sleepMs(transientError && !gotPacket ? 10 : 1);
    }
    av_packet_free(&packet);
    if (ended) {
        markEndOfStream();
        return result;
    }
    KXLog("leave receiver.\n");
    return 0;
}
