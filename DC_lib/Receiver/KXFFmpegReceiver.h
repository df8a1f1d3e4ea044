#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "KXPlatform.h"
#include "Receiver/KXIReceiver.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class KXJpegSnapshot;
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

// How one local input is opened: the flags its context carries before the open and the
// option dictionary, in order (built as plain data so that it can be checked without a device).
struct KXInputOpen {
    std::string format;  // libavformat input format name
    std::string url;
    int contextFlags = 0;  // AVFMT_FLAG_* set on the context before avformat_open_input
    std::vector<std::pair<std::string, std::string>> options;
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

    // How a local capture device is opened: the platform's description of the chosen format
    // plus the capture options every device open carries. `deviceDefault`: the second attempt,
    // which leaves size, rate and codec to the device.
    static KXInputOpen localVideoOpen(const KXCaptureInput& input, bool deviceDefault);
    // How a local audio device (a second input, read by the same loop) is opened.
    static KXInputOpen localAudioOpen(const KXCaptureInput& input);

    bool stop() override;
    int run() override;
    bool isRunning() const override { return !_stop.load(std::memory_order_acquire); }
    void setPause(bool paused) override { _pause.store(paused, std::memory_order_release); }
    // Where an MJPEG stream's pictures are offered for captureJPEG as the camera sent them
    // (null: nowhere). Set before the read thread starts.
    void setJpegSnapshot(KXJpegSnapshot* snapshot) { _jpegSnapshot = snapshot; }

    // Why the last open failed (None after one that succeeded): start/stop thread, after the
    // open returned.
    KXOpenFailure openFailure() const { return _openFailure; }
    // The failure a libavformat result stands for: a device another program streams answers
    // EBUSY (the v4l2 input passes the driver's errno on as AVERROR(errno)), one this user may
    // not open EACCES or EPERM; any other negative result is Other, and success None.
    static KXOpenFailure openFailureFor(int result);

    int videoStreamIndex() const { return _videoStreamIndex; }
    int audioStreamIndex() const { return _audioStreamIndex; }

    // True when the packet is a video packet that starts a new coded H.264 sequence (its first
    // NAL unit after a four-byte start code is a sequence parameter set).
    static bool startsNewSequence(AVCodecID codec, const AVPacket* packet);

private:
    static int interruptCallback(void* self);
    void installInterrupt(AVFormatContext* context);
    // avformat_open_input with the plan's flags and options (and the stop interrupt); on
    // failure *context is freed and nulled.
    int openInput(AVFormatContext** context, const AVInputFormat* format, const KXInputOpen& plan);
    // Bounds the open and analysis of a local input in time (see _openDeadlineNs); endOpen()
    // lifts the bound before the read loop starts.
    void beginOpen(const AVInputFormat* format);
    void endOpen();
    // Stream analysis and the choice of streams after an open; `localDevice` for a capture
    // device (its analysis is bounded in time), false for a network source (analysed only when
    // its container does not declare its streams, and then for a bounded stretch of stream).
    // Whatever the analysis read is kept for the read loop.
    bool finishOpen(AVFormatContext* context, bool localDevice);
    // Whether an opened input still lacks a stream's codec, picture size or sound format.
    static bool needsStreamAnalysis(const AVFormatContext* context);
    // Limits a network source's analysis (see kNetworkAnalysisUs).
    static void boundNetworkAnalysis(AVFormatContext* context);
    // The local source's audio device as a second input; false (with a warning) when the
    // source goes on with video only.
    bool openAudioDevice(KXDevInfo& devInfo, AVFormatContext** audioContext);
    void handlePacket(AVPacket* packet, bool fromAudioInput);
    void recordCopy(const AVPacket* packet, AVMediaType type, bool inUseVideo, bool inUseAudio);
    void markEndOfStream();

    PacketQueue* const _audioQueue;                 // not owned
    PacketQueue* const _videoQueue;                 // not owned
    PacketQueue* const _recordingQueue;             // not owned; aborted while no recording runs
    KXJpegSnapshot* _jpegSnapshot = nullptr;        // not owned (guards itself); immutable after open
    AVFormatContext* _inputContext = nullptr;       // not owned; immutable after open
    AVFormatContext* _audioInputContext = nullptr;  // not owned; immutable after open
    std::atomic<bool> _stop{false};
    std::atomic<bool> _pause{false};
    // While a local input opens and is analysed (start/stop thread; the interrupt callback
    // runs on that thread then): the steady-clock time in ns after which the open gives up
    // (0: no limit), and whether each look at the interrupt sleeps briefly (a non-blocking
    // device input, whose analysis would otherwise spin on "nothing yet").
    std::atomic<int64_t> _openDeadlineNs{0};
    std::atomic<bool> _openPollsSlowly{false};
    std::atomic<bool> _openTimedOut{false};            // the bound above ended the open
    KXOpenFailure _openFailure = KXOpenFailure::None;  // start/stop thread only
    int _videoStreamIndex = -1;                        // immutable after open
    int _audioStreamIndex = -1;                        // immutable after open
    AVCodecID _videoCodec = AV_CODEC_ID_NONE;          // immutable after open
    bool _videoStartSeen = false;                      // read thread only
    bool _audioStartSeen = false;                      // read thread only
    int64_t _videoStartPts = 0;                        // read thread only
    int64_t _videoStartDts = 0;
    int64_t _audioStartPts = 0;
    int64_t _audioStartDts = 0;
};

// Thread entry of the read thread (argument: the KXIReceiver). A negative end of the loop is
// reported and turns the receiver into a stopped one.
void* readInThread(void* receiver);
