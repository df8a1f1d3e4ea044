#pragma once

#include <atomic>
#include <cstdint>

#include "Recorder/KXRecordOutput.h"
#include "Recorder/KXRecorder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
}

class FrameQueue;
struct SwrContext;
struct SwsContext;

// Records a local capture device by encoding its decoded frames: H.264 through libx264
// (preset veryfast, CRF 23, a key frame every second) and AAC through FFmpeg's own encoder
// (128 kbit/s), into the container named by the file's extension (normally MP4).
//
// Timing. Video frames keep the capture's own timestamps, in the video stream's time base,
// counted from the first recorded frame; each frame lasts 1 / the stream's average frame
// rate. Audio is counted in samples from the first recorded sample (each frame lasts its
// samples / its sample rate). (Taking the capture stack's 100 ns conventions literally would
// give a 30 bit/s bit rate and 100 ns frames.) A picture whose timestamp is missing follows
// the previous one by one frame duration; a timestamp that goes back (a restarted stream)
// moves the rest of the recording forward instead of being refused (KXForwardTimeline).
// Sound missing from the microphone's own timeline (frames the queue could not take) is kept
// as silence, so that what follows stays with its pictures.
//
// Pictures are encoded as planar 4:2:0 (NV12 when the hardware decoder delivers NV12); a
// frame in another layout, range or size (a camera's 4:2:2 JPEG pictures, for instance) is
// converted first. Audio of any sample format, rate or channel count is resampled to what
// the encoder takes and cut into its frame size.
//
// Everything needed from the inputs is copied at init (see KXFFmpegRecorder).
//
// Threading: see KXRecorder. run() is the consumer of both recording frame queues;
// videoFramesEncoded() may be read from any thread.
class KXFFmpegEncodeRecorder : public KXRecorder {
public:
    // A stream index of -1 leaves that stream out. The audio stream is one of `audioInput`'s
    // (a local camera's microphone is a second input).
    KXFFmpegEncodeRecorder(FrameQueue* videoFrames, FrameQueue* audioFrames, AVFormatContext* videoInput,
                           int videoStreamIndex, AVFormatContext* audioInput, int audioStreamIndex,
                           bool hardwareFrames);
    ~KXFFmpegEncodeRecorder() override;

    int init(const char* folder, const char* fileName) override;
    int run() override;
    int close() override;

    // Video frames handed to the encoder so far.
    int64_t videoFramesEncoded() const { return _videoFramesEncoded.load(std::memory_order_relaxed); }

private:
    bool openVideo(const AVStream* input);
    bool openAudio(const AVStream* input);
    int encodeVideo(AVFrame* frame);
    int encodeAudio(const AVFrame* frame);
    // Keeps a hole in the sound's own timeline as silence.
    int fillAudioGap(const AVFrame* frame);
    // Sends `frame` (null: drain) and writes every packet the encoder gives back.
    int encode(AVCodecContext* encoder, int outputIndex, const AVFrame* frame);
    int sendBufferedAudio(bool flush);
    int finishEncoding();
    // The frame to encode for a decoded one: itself when it already has the encoder's layout,
    // else a converted copy; null when it cannot be converted.
    AVFrame* pictureFor(AVFrame* frame);
    bool configureResampler(const AVFrame* frame);
    void release();

    FrameQueue* const _videoFrames;      // not owned
    FrameQueue* const _audioFrames;      // not owned
    AVFormatContext* const _videoInput;  // not owned; read by init() only
    const int _videoStreamIndex;
    AVFormatContext* const _audioInput;  // not owned; read by init() only
    const int _audioStreamIndex;
    const bool _hardwareFrames;
    KXRecordOutput _output;
    AVPacket* _packet = nullptr;  // record thread once init is done

    // --- video: record thread once init is done
    AVCodecContext* _videoEncoder = nullptr;  // owned
    int _videoOutput = -1;
    int64_t _frameDuration = 1;  // in the encoder's time base
    bool _fullRange = false;
    int64_t _firstVideoPts = AV_NOPTS_VALUE;
    int64_t _lastVideoRelative = AV_NOPTS_VALUE;
    KXForwardTimeline _videoTimeline;
    SwsContext* _scaler = nullptr;  // owned; cached for one source layout
    int _scalerWidth = 0;
    int _scalerHeight = 0;
    int _scalerFormat = -1;
    bool _scalerFullRange = false;
    AVFrame* _picture = nullptr;  // owned: the converted or re-labelled frame handed to the encoder
    std::atomic<int64_t> _videoFramesEncoded{0};

    // --- audio: record thread once init is done
    AVCodecContext* _audioEncoder = nullptr;  // owned
    int _audioOutput = -1;
    SwrContext* _resampler = nullptr;  // owned
    AVChannelLayout _resamplerLayout{};
    int _resamplerRate = 0;
    int _resamplerFormat = -1;
    AVAudioFifo* _fifo = nullptr;              // owned: resampled samples not yet encoded
    AVFrame* _resampled = nullptr;             // owned: resampler output
    AVFrame* _audioFrame = nullptr;            // owned: one encoder frame
    int64_t _audioSamples = 0;                 // samples handed to the encoder
    int64_t _audioInputNext = AV_NOPTS_VALUE;  // where the next input frame should start
    AVFrame* _silence = nullptr;               // owned: one encoder frame of silence
};
