#pragma once

#include <atomic>
#include <cstdint>

#include "Decoder/KXIDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class FrameQueue;
class PacketQueue;

// What the three libavcodec decoders share: the queues they sit between, the codec context
// of one stream, the common open and the receive/feed step of their loops.
//
// Threading: the constructor, open() and the set*() calls before the thread starts run on
// the receiver's start/stop thread; run() and everything it touches (codec context, pending
// packet, next pts) belong to the decode thread until it is joined. _running, _paused and
// _digitalZoom are atomics because the capture callers and the start/stop thread read or
// write them while the loop runs.
class KXFFmpegDecoder : public KXIDecoder {
public:
    ~KXFFmpegDecoder() override;
    KXFFmpegDecoder(const KXFFmpegDecoder&) = delete;
    KXFFmpegDecoder& operator=(const KXFFmpegDecoder&) = delete;

    int open(int streamIndex) override;
    void setRunning(bool running) override { _running.store(running, std::memory_order_release); }
    bool isRunning() const override { return _running.load(std::memory_order_acquire); }
    void setPaused(bool paused) override { _paused.store(paused, std::memory_order_relaxed); }
    void setAiFlag(bool*) override {}
    void setZoomProcessor(ZoomProcessor* zoomProcessor) override { _zoomProcessor = zoomProcessor; }
    void setDigitalZoom(bool on) override { _digitalZoom.store(on, std::memory_order_relaxed); }
    bool digitalZoom() const override { return _digitalZoom.load(std::memory_order_relaxed); }
    void setJpegSnapshot(KXJpegSnapshot* snapshot) override { _jpegSnapshot = snapshot; }

    // Decoded pictures offered to the recording frame queue while a recording ran, and those
    // of them the queue could not take (any thread).
    int64_t recordingFramesOffered() const { return _recordingOffered.load(std::memory_order_relaxed); }
    int64_t recordingFramesDropped() const { return _recordingDropped.load(std::memory_order_relaxed); }

    const AVCodecContext* codecContext() const { return _codecContext; }

protected:
    KXFFmpegDecoder(FrameQueue* outputQueue, PacketQueue* inputQueue, AVFormatContext* inputContext,
                    FrameQueue* recordingQueue);

    // Hooks of the common open: before the decoder is looked up (hardware setup) and after the
    // codec opened (audio resampler). A negative result fails the open.
    virtual int beforeCodecOpen() { return 0; }
    virtual int afterCodecOpen() { return 0; }

    // Outcome of one step of a decode loop.
    enum StepResult { kFrame, kNoFrame, kEndOfStream, kAborted };

    // Tries to receive one frame into `frame`; when the codec wants input, feeds it the pending
    // packet or the next queued one (waiting at most packetWaitMs). A blank packet from the
    // queue is the reader's end-of-stream mark and drains the codec.
    StepResult step(AVFrame* frame, int packetWaitMs);

    // The loop every decoder runs: steps until the input ends (answers 0) or the packet queue
    // is aborted (-1), and with untilStopped also until the running flag drops (-1), handing
    // each decoded frame to onFrame, which owns the frame's reference from then on.
    template <typename OnFrame>
    int decodeLoop(AVFrame* frame, int packetWaitMs, bool untilStopped, OnFrame&& onFrame) {
        while (!untilStopped || isRunning()) {
            switch (step(frame, packetWaitMs)) {
                case kAborted:
                    return -1;
                case kEndOfStream:
                    return 0;
                case kFrame:
                    onFrame(frame);
                    break;
                case kNoFrame:
                    break;
            }
        }
        return -1;
    }

    // The preparation every decoded video frame gets (its timestamp and the aspect ratio it is
    // shown with); answers its pts in seconds.
    double prepareVideoFrame(AVFrame* frame) const;
    // Hands a video frame to the capture calls; a full or aborted queue drops it. `lastPts`
    // carries the previous frame's pts for the drop message.
    void putVideoFrame(AVFrame* out, double pts, double duration, int timeoutMs, double* lastPts);

    // What every decoded picture in system memory goes through, in order: a reference into the
    // recording frame queue while a recording runs (the recording holds the camera's picture,
    // neither zoomed nor outlined); the zoom stage while digital zoom is on (a frame it cannot
    // zoom is shown as decoded); then the videoqueue. Takes the frame's reference.
    void deliverVideoFrame(AVFrame* frame, double pts, double duration, int putWaitMs, double* lastPts,
                           bool software);

    void freeCodec();

    // Stream time in seconds of a decoded video frame (NaN without a timestamp) and the
    // frame interval of the stream (0 when the stream gives no frame rate).
    double videoPtsSeconds(const AVFrame* frame) const;
    double videoFrameDuration() const { return _frameDuration; }
    // The sample aspect ratio a frame is shown with: the container's when it gives one, else
    // the frame's own, else the codec parameters'.
    AVRational guessSampleAspectRatio(const AVFrame* frame) const;

    // Puts a new reference to `frame` into `queue` (the caller keeps its own); false and
    // nothing queued when the queue is full or aborted.
    static bool putReference(FrameQueue* queue, const AVFrame* frame, double pts, double duration,
                             int timeoutMs);

    FrameQueue* const _outputQueue;              // not owned
    PacketQueue* const _inputQueue;              // not owned
    FrameQueue* const _recordingQueue;           // not owned; null for video decoders
    AVFormatContext* const _inputFormatContext;  // not owned
    AVCodecContext* _codecContext = nullptr;     // owned; decode thread while running
    const AVCodec* _codec = nullptr;
    AVStream* _stream = nullptr;
    AVPacket* _pendingPacket = nullptr;  // decode thread only
    bool _packetPending = false;         // decode thread only
    std::atomic<bool> _paused{false};    // stored only: pausing happens in the queues
    int64_t _nextPts = AV_NOPTS_VALUE;   // decode thread only (audio)
    AVRational _nextPtsTimeBase{0, 1};   // decode thread only (audio)
    std::atomic<bool> _running{false};
    ZoomProcessor* _zoomProcessor = nullptr;  // immutable after start; not owned
    KXJpegSnapshot* _jpegSnapshot = nullptr;  // immutable after start; not owned (guards itself)
    std::atomic<bool> _digitalZoom{false};
    AVFrame* _zoomed = nullptr;                 // owned; decode thread: the zoom stage's output
    std::atomic<int64_t> _recordingOffered{0};  // written by the decode thread
    std::atomic<int64_t> _recordingDropped{0};  // written by the decode thread
    // Copied from the stream at open, so that the decode thread never reads the input context
    // while the read thread demuxes into it.
    AVRational _timeBase{0, 1};   // immutable after open
    AVRational _streamSar{0, 1};  // immutable after open
    AVRational _codecSar{0, 1};   // immutable after open
    double _frameDuration = 0.0;  // immutable after open
};
