#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <string>

#include "Analysis/KXAiAnalysisThread.h"
#include "Receiver/KXFFmpegReceiver.h"
#include "Receiver/KXJpegSnapshot.h"
#include "Receiver/LiveQueues.h"
#include "Receiver/RecordingQueues.h"
#include "vexsdk.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

class KXAiFrameProcessor;
class KXIUSBControl;
class KXIDecoder;
class KXRecorder;
class ZoomProcessor;

// Everything behind one DC_Recv: the stream reader, the decoders, the queues between them
// (the live set and the recording set) and the worker threads.
//
// Threading:
//  - startPreview, stopPreview, pause, resume and the destructor hold _startStopMutex for
//    their whole run; they alone create, start, join and destroy the reader, the decoders,
//    the threads and the input contexts.
//  - The capture calls (one caller thread per kind) hold no receiver lock: they read the
//    atomics below and take frames through the queues' single-consumer protocol. They never
//    touch a component object, so a stop on another thread cannot pull one from under them.
//  - The read thread and the decode threads only see the queues, their own component and the
//    liveness flag their thread entry clears when the loop ends.
//  - AI mode: setIsEnableAIMode (any thread) loads the models and then publishes the mode and
//    the on flag through atomics; captureVideo reads them per frame, offers each picture to
//    _aiProcessor's analysis thread and draws the latest outlines on it (capture thread); the
//    analysis thread steers the camera. Switching AI mode off and stopping forget the waiting
//    picture and the outlines (reset, any thread: the processor guards what its threads share)
//    and wait for a running analysis to end; the analysis thread takes the face tracker's
//    lock and the camera channel's, never _startStopMutex, so a stop may wait for it.
//  - _controller, this receiver's camera command channel, is set by the constructor and
//    released by the destructor; the control calls use it from any thread (it locks itself).
//  - _presetMapMutex guards the sound-array preset map (set by the host, copied by the
//    array client's read).
//  - Recording: recordingStart and recordingStop hold _startStopMutex; they alone create,
//    start, join and destroy the recorder and the record thread. The record thread sees only
//    its recorder and the recording queues, and publishes its result in _recordResult. While a
//    recording runs, stopping and starting the preview leave the recording queues alone, so the
//    recording goes on across a restart of the preview and keeps what was queued at the stop.
//  - Digital zoom: the flag is guarded by _startStopMutex (setIsEnableDigitalZoom hands it to
//    the running video decoder under that mutex); the zoom commands write the processor's
//    state, which guards itself.
//  - captureJPEG takes no receiver lock either: it waits in _jpegSnapshot, which the read
//    thread (an MJPEG camera's own pictures) or the video decode thread (decoded pictures)
//    feeds and which guards itself; the start/stop paths arm, clear and wake it while holding
//    _startStopMutex. Lock order: _startStopMutex before the snapshot's lock.
class ReceiverCore {
public:
    explicit ReceiverCore(const DC_CaptureFormats& formats);
    ~ReceiverCore();
    ReceiverCore(const ReceiverCore&) = delete;
    ReceiverCore& operator=(const ReceiverCore&) = delete;

    bool initialize(bool* aiFlag);
    void startPreview(void* deviceManager);
    void stopPreview();
    void pause();
    void resume();

    DC_Error_Type captureVideo(DC_Video_Frame* frame, uint32_t timeoutMs);
    DC_Error_Type captureAudio(DC_Audio_Frame* frame, uint32_t timeoutMs);
    DC_Error_Type captureJPEG(DC_JPEG_Frame* frame, uint32_t timeoutMs);
    void freeVideo();
    void freeAudio();
    void freeJPEG();

    void setIsEnableDXVA2Decode(bool on) { _isEnableDXVA2Decode.store(on, std::memory_order_relaxed); }

    // Recording (see the exported calls): true when a recording started; false, with the
    // receiver unchanged, when the receiver does not run, a recording already runs, or the
    // file cannot be made.
    bool recordingStart(const char* folder, const char* fileName, bool withAudio);
    // Ends a running recording and finalises its file: false when the recording ended early
    // because the file could not be written, or finalising it failed (the reason is logged);
    // true otherwise, and true without a recording.
    bool recordingStop();
    bool isRecording();
    // Pictures the video decoder offered to a recording and those it could not queue (0, 0
    // while stopped): the benchmark's count of frames captured for a recording.
    void recordingFrameCounts(int64_t* offered, int64_t* dropped);

    // Digital zoom: stores the flag, hands it to a running video decoder (a later start hands
    // it to the new one) and, when turning off, resets the zoom state.
    void setIsEnableDigitalZoom(bool on);
    bool isDigitalZoomEnabled();
    // The flag the running video decoder holds; false without one.
    bool videoDecoderDigitalZoom();
    ZoomProcessor* zoomProcessor() const { return _zoomProcessor; }
    // On: (re)loads the face models first; a model that cannot be read leaves AI mode off.
    void setIsEnableAIMode(bool on, int mode);
    bool isEnableAIMode() const { return _isEnableAIMode.load(std::memory_order_acquire); }
    // Figures of the analysis thread (for the benchmark): pictures offered and analysed, the
    // time from a picture to its steering commands, the time between analyses.
    KXAiAnalysisThread::Statistics aiStatistics() const;

    void setSoundArrayPresetMap(const std::map<int, int>& map);
    std::map<int, int> soundArrayPresetMap() const;
    void setInvertTilt(bool on) { _invertTilt.store(on, std::memory_order_relaxed); }
    bool invertTilt() const { return _invertTilt.load(std::memory_order_relaxed); }
    // This receiver's camera command channel (null for a network source); the control calls
    // go to it, from any thread (it locks itself).
    KXIUSBControl* controller() const { return _controller.get(); }

    // What the last start chose (for diagnostics and tests).
    bool usingHardwareDecoder() const { return _hardwareDecoding.load(std::memory_order_acquire); }
    bool isStarted() const { return _started.load(std::memory_order_acquire); }
    // Why the last start failed (None after a start that ran, and before any start).
    KXOpenFailure openFailure() const { return _openFailure.load(std::memory_order_acquire); }
    // Whether the video decode loop still runs (false once it reached the end of the stream).
    bool videoDecoderRunning() const { return _videoRunning.load(std::memory_order_acquire); }

private:
    static constexpr int kVideoQueueSize = 70;
    static constexpr int kAudioQueueSize = 3;
    static constexpr int kRecordingQueueSize = 30;

    // The start after its first checks; false on any failure (the caller then stops).
    bool startLocked();
    void stopLocked();
    bool openInputLocked();
    bool startVideoDecoderLocked();
    bool startThread(pthread_t* thread, void* (*entry)(void*), bool* started, const char* name);

    static void* readEntry(void* core);
    static void* recordEntry(void* core);
    static void* videoDecodeEntry(void* core);
    static void* audioDecodeEntry(void* core);

    // --- components: guarded by _startStopMutex (read by their own threads while they run)
    KXFFmpegReceiver* _receiver = nullptr;
    KXIDecoder* _videoDecoder = nullptr;
    KXIDecoder* _audioDecoder = nullptr;
    int _videoStreamIndex = -1;
    int _audioStreamIndex = -1;
    AVFormatContext* _inputFormatContext = nullptr;
    AVFormatContext* _audioInputContext = nullptr;  // a local source's audio device, if any

    // --- queues: opened by initialize; each set is armed, aborted and flushed as a whole by
    //     the start/stop paths (see LiveQueues and RecordingQueues for who touches what)
    LiveQueues _live;
    RecordingQueues _recording;

    // --- open parameters: immutable after construction
    KXDevInfo _devInfo;
    KXNetInfo _netInfo;
    int32_t _sourceKind = 0;
    AVCodecID _videoCodecId = AV_CODEC_ID_NONE;
    int32_t _deviceModel = 0;
    void* _renderWindowRef = nullptr;  // the caller's; never dereferenced here

    // --- guarded by _startStopMutex
    int32_t _frameRateValue = 0;
    int _codedWidth = 0;  // written by the hardware decoder's open
    int _codedHeight = 0;
    void* _deviceManager = nullptr;
    bool _stopped = true;
    bool _paused = false;
    bool _openFailed = false;
    bool _decoderInitFailed = false;
    pthread_t _readThread{};
    pthread_t _videoDecodeThread{};
    pthread_t _audioDecodeThread{};
    bool _readThreadStarted = false;
    bool _videoThreadStarted = false;
    bool _audioThreadStarted = false;

    // --- digital zoom: the processor is owned and immutable after construction (it guards
    //     its own state); the flag is guarded by _startStopMutex
    ZoomProcessor* _zoomProcessor = nullptr;
    bool _isEnableDigitalZoom = false;

    // --- recording: guarded by _startStopMutex
    KXRecorder* _recorder = nullptr;
    pthread_t _recordThread{};
    bool _recordThreadStarted = false;
    std::atomic<int> _recordResult{0};  // written by the record thread before it ends

    // --- AI mode: written by setIsEnableAIMode, read by the video capture thread
    std::atomic<bool> _isEnableAIMode{false};
    std::atomic<int32_t> _aiMode{0};
    // Immutable after construction; process() from the video capture thread only, reset() from
    // any thread (see KXAiFrameProcessor).
    std::unique_ptr<KXAiFrameProcessor> _aiProcessor;

    std::shared_ptr<KXIUSBControl> _controller;  // immutable after construction

    mutable std::mutex _presetMapMutex;
    std::map<int, int> _soundArrayPresetMap;  // guarded by _presetMapMutex

    // --- written under _startStopMutex, read by the capture calls and the worker threads
    std::atomic<bool> _initialized{false};
    std::atomic<bool> _started{false};
    std::atomic<bool> _videoRunning{false};    // cleared by the video decode thread's exit
    std::atomic<bool> _audioRunning{false};    // cleared by the audio decode thread's exit
    std::atomic<double> _videoFrameRate{0.0};  // the video stream's average frame rate
    std::atomic<bool> _hardwareDecoding{false};
    std::atomic<KXOpenFailure> _openFailure{KXOpenFailure::None};  // also read by any thread
    std::atomic<bool> _isEnableDXVA2Decode{true};
    std::atomic<bool> _invertTilt{false};
    bool* _aiFlag = nullptr;  // the caller's; immutable after initialize

    // --- capture objects: consumer thread of each kind (and the destructor)
    AVFrame* _videoCaptureFrame = nullptr;
    AVFrame* _audioCaptureFrame = nullptr;
    AVPacket* _jpegPacket = nullptr;

    std::mutex _startStopMutex;
    // captureJPEG's picture: guards itself (see KXJpegSnapshot); what it keeps is chosen at
    // each start in _jpegSource (guarded by _startStopMutex), so that resume can re-arm it.
    KXJpegSnapshot _jpegSnapshot;
    KXJpegSnapshot::Source _jpegSource = KXJpegSnapshot::Source::None;
};
