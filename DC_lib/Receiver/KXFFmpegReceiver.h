#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "Receiver/KXIReceiver.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class PacketQueue;

// Open parameters of a local capture device.
struct KXDevInfo {
    int videoStreamIndex = -1;  // written by the open
    int audioStreamIndex = -1;  // written by the open; an index into the audio input when
                                // the audio device is a second input
    std::string devName;        // "video=<device>" [":audio=<name>"]: what is opened, for logs
    std::string videoDevice;    // the chosen video device ("@device_pnp_" + device path)
    std::string audioDevice;    // the audio device's friendly name; empty: no audio device
    std::string videoSize;      // "<width>x<height>"
    std::string frameRate;      // "%f" of the format's frame rate
    int32_t width = 0;
    int32_t height = 0;
    double frameRateValue = 0.0;
    int32_t format = 0;  // stream-format code of the chosen format (1 H.264, 4 MJPEG)
};

// Open parameters of a network stream.
struct KXNetInfo {
    int videoStreamIndex = -1;
    int audioStreamIndex = -1;
    std::string url;
    bool useTcp = false;
};

// libavformat stream reader for capture devices and network streams.
//
// Threading: the opens run on the start/stop thread before the read thread exists; run() is
// the read thread; stop(), setPause() and isRunning() come from any thread (atomics). The
// packet queues are the only data shared with other threads. The start markers of the
// recording copy belong to the read thread.
class KXFFmpegReceiver : public KXIReceiver {
public:
    KXFFmpegReceiver(PacketQueue* audioQueue, PacketQueue* videoQueue, PacketQueue* recordingQueue);
    ~KXFFmpegReceiver() override;
    KXFFmpegReceiver(const KXFFmpegReceiver&) = delete;
    KXFFmpegReceiver& operator=(const KXFFmpegReceiver&) = delete;

    // Opens a local capture device through the platform layer's description of it. *context is
    // the caller's freshly allocated context; it may be replaced (second attempt) or freed and
    // nulled (failure). When the source has an audio device, *audioContext receives its input
    // (owned by the caller from then on, like *context).
    bool openDevice(AVFormatContext** context, KXDevInfo& devInfo, AVFormatContext** audioContext);

    // Opens a network stream by URL; *context as above.
    bool openNetwork(AVFormatContext** context, KXNetInfo& netInfo);

    bool stop() override;
    int run() override;
    bool isRunning() const override { return !_stop.load(std::memory_order_acquire); }
    void setPause(bool paused) override { _pause.store(paused, std::memory_order_release); }

    int videoStreamIndex() const { return _videoStreamIndex; }
    int audioStreamIndex() const { return _audioStreamIndex; }

    // True when the packet is a video packet that starts a new coded H.264 sequence (its first
    // NAL unit after a four-byte start code is a sequence parameter set).
    static bool startsNewSequence(AVCodecID codec, const AVPacket* packet);

private:
    static int interruptCallback(void* self);
    void installInterrupt(AVFormatContext* context);
    bool finishOpen(AVFormatContext* context, bool deviceMessages);
    void handlePacket(AVPacket* packet, bool fromAudioInput);
    void recordCopy(const AVPacket* packet, AVMediaType type, bool inUseVideo, bool inUseAudio);
    void markEndOfStream();

    PacketQueue* const _audioQueue;                 // not owned
    PacketQueue* const _videoQueue;                 // not owned
    PacketQueue* const _recordingQueue;             // not owned; aborted while no recording runs
    AVFormatContext* _inputContext = nullptr;       // not owned; immutable after open
    AVFormatContext* _audioInputContext = nullptr;  // not owned; immutable after open
    std::atomic<bool> _stop{false};
    std::atomic<bool> _pause{false};
    int _videoStreamIndex = -1;                // immutable after open
    int _audioStreamIndex = -1;                // immutable after open
    AVCodecID _videoCodec = AV_CODEC_ID_NONE;  // immutable after open
    bool _videoStartSeen = false;              // read thread only
    bool _audioStartSeen = false;              // read thread only
    int64_t _videoStartPts = 0;                // read thread only
    int64_t _videoStartDts = 0;
    int64_t _audioStartPts = 0;
    int64_t _audioStartDts = 0;
};

// Thread entry of the read thread (argument: the KXIReceiver). A negative end of the loop is
// reported and turns the receiver into a stopped one.
void* readInThread(void* receiver);
