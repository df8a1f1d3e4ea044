#include "Receiver/ReceiverCore.h"

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "Analysis/KXAiFrameProcessor.h"
#include "Control/KXControlChannel.h"
#include "Decoder/KXFFmpegAACDecoder.h"
#include "Decoder/KXFFmpegSWDecoder.h"
#include "Decoder/KXVAAPIDecoder.h"
#include "KXLog.h"
#include "Receiver/ZoomProcessor.h"
#include "Recorder/KXFFmpegEncodeRecorder.h"
#include "Recorder/KXFFmpegRecorder.h"

extern "C" {
#include <libavdevice/avdevice.h>
#include <libavutil/samplefmt.h>
}

namespace {

std::string sourceText(const DC_SourceText* text) {
    if (text == nullptr || text->source == nullptr || text->length <= 0) {
        return {};
    }
    // Never trust the length beyond the terminator.
    return std::string(text->source, strnlen(text->source, static_cast<size_t>(text->length)));
}

int clampTimeout(uint32_t timeoutMs) {
    return timeoutMs > INT_MAX ? INT_MAX : static_cast<int>(timeoutMs);
}

}  // namespace

ReceiverCore::ReceiverCore(const DC_CaptureFormats& formats)
    : _live(kVideoQueueSize, kAudioQueueSize),
      _recording(kRecordingQueueSize),
      _zoomProcessor(new ZoomProcessor),
      _aiProcessor(std::make_unique<KXAiFrameProcessor>()) {
    _sourceKind = formats.sourceType;
    _deviceModel = formats.deviceModel;
    _frameRateValue = formats.frameRate;
    _renderWindowRef = formats.renderWindowRef;

    if (_sourceKind == 0) {
        const std::string videoName = sourceText(formats.videoDeviceName);
        const std::string audioName = sourceText(formats.audioDeviceName);
        if (!videoName.empty()) {
            _devInfo.devName = "video=" + videoName;
            if (!audioName.empty()) {
                _devInfo.devName += ":audio=" + audioName;
            }
        }
        _devInfo.videoDevice = videoName;
        _devInfo.audioDevice = audioName;
        for (const DC_VideoFormat& format : formats.videoFormatList) {
            if (format.index != formats.videoFormatIndex) {
                continue;
            }
            if (format.format == 4) {
                _videoCodecId = AV_CODEC_ID_MJPEG;
            } else if (format.format == 1) {
                _videoCodecId = AV_CODEC_ID_H264;
            }
            _devInfo.videoSize = std::to_string(format.width) + "x" + std::to_string(format.height);
            char rate[64];
            std::snprintf(rate, sizeof rate, "%f", format.frameRate);
            _devInfo.frameRate = rate;
            _devInfo.width = format.width;
            _devInfo.height = format.height;
            _devInfo.frameRateValue = format.frameRate;
            _devInfo.format = format.format;
            KXLog("sdk resolution %s stream formad %d\n", _devInfo.frameRate.c_str(),
                  static_cast<int>(_videoCodecId));
            break;
        }
        _controller = KXBindReceiverController(sourceText(formats.url), _deviceModel);
    } else if (_sourceKind == 1) {
        _netInfo.url = sourceText(formats.url);
    }
}

ReceiverCore::~ReceiverCore() {
    stopPreview();
    // A recording still running would outlive the queues it reads: it is ended and its file
    // finalised here.
    recordingStop();
    // Only a local camera's receiver has a controller; releasing it leaves every other
    // receiver's camera under control.
    KXReleaseReceiverController(_controller);
    av_frame_free(&_videoCaptureFrame);
    av_frame_free(&_audioCaptureFrame);
    av_packet_free(&_jpegPacket);
    if (_initialized.load()) {
        avformat_network_deinit();
    }
    delete _zoomProcessor;  // after the stop: no decoder holds it any more
}

bool ReceiverCore::initialize(bool* aiFlag) {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    _aiFlag = aiFlag;
    if (_initialized.load()) {
        return true;
    }
    if ((_sourceKind == 0 && _devInfo.devName.empty()) || (_sourceKind == 1 && _netInfo.url.empty())) {
        return false;
    }
    avformat_network_init();
    avdevice_register_all();

    auto fail = [this](const char* message) {
        if (message != nullptr) {
            KXLog("%s", message);
        }
        av_frame_free(&_videoCaptureFrame);
        av_frame_free(&_audioCaptureFrame);
        av_packet_free(&_jpegPacket);
        avformat_network_deinit();
        return false;
    };
    _videoCaptureFrame = av_frame_alloc();
    if (_videoCaptureFrame == nullptr) {
        return fail("Couldn't create a video frame.\n");
    }
    _audioCaptureFrame = av_frame_alloc();
    if (_audioCaptureFrame == nullptr) {
        return fail("Couldn't create a audio frame.\n");
    }
    _jpegPacket = av_packet_alloc();
    if (_jpegPacket == nullptr) {
        return fail("Couldn't create a jpeg frame.\n");
    }

    // The recording queues are left aborted: no recording runs yet.
    if (_live.open() != 0 || _recording.open() != 0) {
        return fail("Couldn't open a queue.\n");
    }
    _initialized.store(true, std::memory_order_release);
    return true;
}

void* ReceiverCore::readEntry(void* arg) {
    auto* core = static_cast<ReceiverCore*>(arg);
    return readInThread(core->_receiver);
}

void* ReceiverCore::videoDecodeEntry(void* arg) {
    auto* core = static_cast<ReceiverCore*>(arg);
    decodeInThread(core->_videoDecoder);
    core->_videoRunning.store(false, std::memory_order_release);
    return nullptr;
}

void* ReceiverCore::recordEntry(void* arg) {
    auto* core = static_cast<ReceiverCore*>(arg);
    const int result = recordInThread(core->_recorder);
    core->_recordResult.store(result, std::memory_order_release);
    if (result < 0) {
        // The recording ended by itself (its file cannot be written) and takes nothing more:
        // the producers skip its queues from now on instead of waiting on full ones at every
        // packet and picture until recordingStop. (Only recordingStop, after joining this
        // thread, aborts or re-arms these queues while a recorder exists.)
        core->_recording.abort();
    }
    return nullptr;
}

void* ReceiverCore::audioDecodeEntry(void* arg) {
    auto* core = static_cast<ReceiverCore*>(arg);
    decodeInThread(core->_audioDecoder);
    core->_audioRunning.store(false, std::memory_order_release);
    return nullptr;
}

bool ReceiverCore::startThread(pthread_t* thread, void* (*entry)(void*), bool* started, const char* name) {
    *started = pthread_create(thread, nullptr, entry, this) == 0;
    if (*started) {
        // Named so that a host program's developer can tell the library's threads apart in
        // top -H, a debugger or a profile.
        pthread_setname_np(*thread, name);
    }
    return *started;
}

bool ReceiverCore::openInputLocked() {
    if (_sourceKind == 1) {
        _frameRateValue = 30;
        bool ok = _receiver->openNetwork(&_inputFormatContext, _netInfo);
        _videoStreamIndex = _netInfo.videoStreamIndex;
        _audioStreamIndex = _netInfo.audioStreamIndex;
        return ok;
    }
    if (_videoCodecId == AV_CODEC_ID_NONE) {
        KXLog("Could'nt get right videoCodecId.\n");
        return false;
    }
    _inputFormatContext->video_codec_id = _videoCodecId;
    bool ok = _receiver->openDevice(&_inputFormatContext, _devInfo, &_audioInputContext);
    _frameRateValue = std::atoi(_devInfo.frameRate.c_str());
    _videoStreamIndex = _devInfo.videoStreamIndex;
    _audioStreamIndex = _devInfo.audioStreamIndex;
    return ok;
}

bool ReceiverCore::startVideoDecoderLocked() {
    if (_isEnableDXVA2Decode.load(std::memory_order_relaxed)) {
        auto* hardware = new KXVAAPIDecoder(&_live.video, &_live.videoPackets, _inputFormatContext,
                                            _deviceManager, &_codedWidth, &_codedHeight, &_recording.video);
        if (hardware->open(_videoStreamIndex) == 0) {
            KXLog("HW Decode");
            _videoDecoder = hardware;
            _hardwareDecoding.store(true, std::memory_order_release);
            return true;
        }
        delete hardware;
    }
    auto* software =
        new KXFFmpegSWDecoder(&_live.video, &_live.videoPackets, _inputFormatContext, &_recording.video);
    if (software->open(_videoStreamIndex) != 0) {
        delete software;
        _decoderInitFailed = true;
        return false;
    }
    KXLog("SW Decode");
    _videoDecoder = software;
    return true;
}

bool ReceiverCore::recordingStart(const char* folder, const char* fileName, bool withAudio) {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    if (!_initialized.load() || _receiver == nullptr || !_readThreadStarted || !_receiver->isRunning() ||
        _recorder != nullptr) {
        return false;
    }
    KXRecorder* recorder = nullptr;
    bool recordsAudio = false;
    if (_sourceKind == 1) {
        recorder = new KXFFmpegRecorder(&_recording.packets, _inputFormatContext, _videoStreamIndex,
                                        _audioStreamIndex);
    } else if (_sourceKind == 0) {
        recordsAudio = withAudio && _audioStreamIndex >= 0;
        AVFormatContext* audioContext =
            _audioInputContext != nullptr ? _audioInputContext : _inputFormatContext;
        recorder = new KXFFmpegEncodeRecorder(
            &_recording.video, &_recording.audio, _inputFormatContext, _videoStreamIndex, audioContext,
            recordsAudio ? _audioStreamIndex : -1, _hardwareDecoding.load(std::memory_order_acquire));
    } else {
        return false;
    }
    if (recorder->init(folder, fileName) != 0) {
        delete recorder;
        return false;
    }
    // The queues are armed before the record thread starts: a record thread that found its
    // queue still aborted would take that for the end of the recording.
    // The stream reader starts copying a network source at its next video key packet.
    _recording.rearm(_sourceKind == 1, _sourceKind == 0, _sourceKind == 0 && recordsAudio);
    _recorder = recorder;
    _recordResult.store(0, std::memory_order_release);
    if (!startThread(&_recordThread, &ReceiverCore::recordEntry, &_recordThreadStarted, "vex-record")) {
        _recorder = nullptr;
        _recording.abort();
        _recording.flush();
        recorder->close();
        delete recorder;
        return false;
    }
    return true;
}

bool ReceiverCore::recordingStop() {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    if (!_initialized.load() || _recorder == nullptr) {
        return true;
    }
    // Finish → join → abort → flush: the record thread still writes what is queued, then the
    // producers see the aborted queues and skip them again.
    _recorder->requestStop();
    if (_recordThreadStarted) {
        pthread_join(_recordThread, nullptr);
        _recordThreadStarted = false;
    }
    _recording.abort();
    _recording.flush();
    const int closed = _recorder->close();
    delete _recorder;
    _recorder = nullptr;
    const int result = _recordResult.load(std::memory_order_acquire);
    if (result < 0) {
        KXLog("recordingStop: the recording ended early, the file could not be written: %s\n",
              KXErrorText(result).c_str());
        return false;
    }
    if (closed < 0) {
        KXLog("recordingStop: the recording file could not be finalised: %s\n", KXErrorText(closed).c_str());
        return false;
    }
    return true;
}

bool ReceiverCore::isRecording() {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    return _recorder != nullptr;
}

void ReceiverCore::recordingFrameCounts(int64_t* offered, int64_t* dropped) {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    const auto* decoder = dynamic_cast<const KXFFmpegDecoder*>(_videoDecoder);
    *offered = decoder != nullptr ? decoder->recordingFramesOffered() : 0;
    *dropped = decoder != nullptr ? decoder->recordingFramesDropped() : 0;
}

void ReceiverCore::setIsEnableDigitalZoom(bool on) {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    _isEnableDigitalZoom = on;
    if (_receiver != nullptr && _readThreadStarted && _receiver->isRunning() && _videoDecoder != nullptr &&
        _videoDecoder->isRunning()) {
        _videoDecoder->setDigitalZoom(on);
    }
    if (!on && _zoomProcessor != nullptr) {
        KXLog("setIsEnableDigitalZoom :resetDigitalZoom \n");
        _zoomProcessor->resetZoom();
    }
}

bool ReceiverCore::isDigitalZoomEnabled() {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    return _isEnableDigitalZoom;
}

bool ReceiverCore::videoDecoderDigitalZoom() {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    return _videoDecoder != nullptr && _videoDecoder->digitalZoom();
}

void ReceiverCore::startPreview(void* deviceManager) {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    _deviceManager = deviceManager;
    if (_started.load()) {
        return;
    }
    _started.store(true, std::memory_order_release);
    _stopped = false;
    _videoStreamIndex = -1;
    _audioStreamIndex = -1;
    // Left over from a failed start, these would make this start's stop skip its joins.
    _openFailed = false;
    _decoderInitFailed = false;
    _hardwareDecoding.store(false, std::memory_order_release);
    _openFailure.store(KXOpenFailure::None, std::memory_order_release);
    // Every failure of the start leaves the receiver fully stopped, so that a later start
    // begins from scratch.
    if (!_initialized.load() || !startLocked()) {
        // Read before the stop destroys the reader; a start that failed after its open (a
        // decoder, a thread) is Other.
        const KXOpenFailure why = _receiver != nullptr ? _receiver->openFailure() : KXOpenFailure::Other;
        _openFailure.store(why == KXOpenFailure::None ? KXOpenFailure::Other : why,
                           std::memory_order_release);
        stopLocked();
    }
}

bool ReceiverCore::startLocked() {
    _inputFormatContext = avformat_alloc_context();
    if (_inputFormatContext == nullptr) {
        KXLog("Could'nt create AVForamteContext.\n");
        return false;
    }
    _receiver = new KXFFmpegReceiver(&_live.audioPackets, &_live.videoPackets, &_recording.packets);

    _live.rearm();
    if (_recorder == nullptr) {
        _recording.abort();
    }

    if ((_sourceKind != 0 && _sourceKind != 1) || !openInputLocked()) {
        _openFailed = true;
        return false;
    }
    if (_videoStreamIndex < 0) {
        return false;
    }
    const AVStream* videoStream = _inputFormatContext->streams[_videoStreamIndex];
    // A container that declared its streams was not analysed, so the average rate may be
    // unknown: the container's or the codec's own rate stands in for it.
    AVRational rate = videoStream->avg_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) {
        rate = av_guess_frame_rate(_inputFormatContext, const_cast<AVStream*>(videoStream), nullptr);
    }
    _videoFrameRate.store(rate.num > 0 && rate.den > 0 ? av_q2d(rate) : 0.0, std::memory_order_release);

    // Every decoder opens before the read thread starts, so that no codec setup reads the
    // input context while the demuxer writes into it.
    if (!startVideoDecoderLocked()) {
        return false;
    }
    _videoDecoder->setZoomProcessor(_zoomProcessor);
    _videoDecoder->setDigitalZoom(_isEnableDigitalZoom);
    _videoDecoder->setAiFlag(_aiFlag);
    // An MJPEG camera's snapshot is its own JPEG, as sent; any other stream's is the newest
    // decoded picture, encoded when asked for.
    _jpegSource = videoStream->codecpar->codec_id == AV_CODEC_ID_MJPEG
                      ? KXJpegSnapshot::Source::CameraJpeg
                      : KXJpegSnapshot::Source::DecodedFrames;
    _jpegSnapshot.arm(_jpegSource);
    _receiver->setJpegSnapshot(&_jpegSnapshot);
    _videoDecoder->setJpegSnapshot(_jpegSource == KXJpegSnapshot::Source::DecodedFrames ? &_jpegSnapshot
                                                                                        : nullptr);
    if (_audioStreamIndex >= 0) {
        AVFormatContext* audioContext =
            _audioInputContext != nullptr ? _audioInputContext : _inputFormatContext;
        _audioDecoder =
            new KXFFmpegAACDecoder(&_live.audio, &_live.audioPackets, audioContext, &_recording.audio);
        if (_audioDecoder->open(_audioStreamIndex) != 0) {
            KXLog("Could'nt init _audioDecoder.\n");
            delete _audioDecoder;
            _audioDecoder = nullptr;
            return false;
        }
    }

    if (!startThread(&_readThread, &ReceiverCore::readEntry, &_readThreadStarted, "vex-read")) {
        return false;
    }
    // The hardware loop runs only while this is set: it must be set before the thread looks.
    _videoDecoder->setRunning(true);
    _videoRunning.store(true, std::memory_order_release);
    if (!startThread(&_videoDecodeThread, &ReceiverCore::videoDecodeEntry, &_videoThreadStarted,
                     "vex-video")) {
        _videoDecoder->setRunning(false);
        _videoRunning.store(false, std::memory_order_release);
        return false;
    }
    if (_audioDecoder == nullptr) {
        return true;
    }
    _audioDecoder->setRunning(true);
    _audioRunning.store(true, std::memory_order_release);
    if (!startThread(&_audioDecodeThread, &ReceiverCore::audioDecodeEntry, &_audioThreadStarted,
                     "vex-audio")) {
        _audioDecoder->setRunning(false);
        _audioRunning.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

void ReceiverCore::stopPreview() {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    stopLocked();
}

void ReceiverCore::stopLocked() {
    if (!_started.load()) {
        return;
    }
    if (_paused) {
        _paused = false;
        if (_receiver != nullptr) {
            _receiver->setPause(false);
        }
    }
    _stopped = true;
    _started.store(false, std::memory_order_release);
    if (!_initialized.load()) {
        return;
    }
    // abort → wake → join → flush
    if (_receiver != nullptr) {
        _receiver->stop();
    }
    if (_readThreadStarted) {
        pthread_join(_readThread, nullptr);
        _readThreadStarted = false;
    }
    _live.abort();
    // A running recording is not ended by a stop (recordingStop ends it): its queues keep
    // what is queued for the record thread, and a new start feeds them again.
    if (_recorder == nullptr) {
        _recording.abort();
    }
    if (_videoThreadStarted) {
        pthread_join(_videoDecodeThread, nullptr);
        _videoThreadStarted = false;
    }
    if (_audioThreadStarted) {
        pthread_join(_audioDecodeThread, nullptr);
        _audioThreadStarted = false;
    }
    _videoRunning.store(false, std::memory_order_release);
    _audioRunning.store(false, std::memory_order_release);
    _jpegSnapshot.wake();

    // Every packet and frame still queued is released before the input closes: a capture
    // device's demuxer hands out packets that point into its own mapped buffers, and the
    // release of such a packet gives the buffer back to the demuxer. Released after the close,
    // it would read the freed demuxer and queue the buffer on a closed (or reused) descriptor.
    _live.flush();
    _jpegSnapshot.clear();
    _jpegSource = KXJpegSnapshot::Source::None;
    _aiProcessor->reset();
    if (_recorder == nullptr) {
        _recording.flush();
    }

    delete _videoDecoder;
    _videoDecoder = nullptr;
    delete _audioDecoder;
    _audioDecoder = nullptr;
    delete _receiver;
    _receiver = nullptr;
    avformat_close_input(&_audioInputContext);
    avformat_close_input(&_inputFormatContext);  // also frees a context that never opened
}

void ReceiverCore::pause() {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    if (!_started.load() || _paused) {
        return;
    }
    _paused = true;
    if (!_initialized.load()) {
        return;
    }
    if (_receiver != nullptr) {
        _receiver->setPause(true);
    }
    // A decoder may still finish a picture from a packet it took before the pause: the live
    // frame queues refuse frames until resume, so nothing appears while paused.
    _live.abortFrames();
    _jpegSnapshot.clear();
    _live.flush();
    _recording.flushFrames();
}

void ReceiverCore::resume() {
    std::lock_guard<std::mutex> lock(_startStopMutex);
    if (!_started.load() || !_paused) {
        return;
    }
    _paused = false;
    if (!_initialized.load()) {
        return;
    }
    _live.rearmFrames();
    _jpegSnapshot.arm(_jpegSource);
    if (_receiver != nullptr) {
        _receiver->setPause(false);
    }
}

DC_Error_Type ReceiverCore::captureVideo(DC_Video_Frame* frame, uint32_t timeoutMs) {
    if (!_initialized.load(std::memory_order_acquire) || !_started.load(std::memory_order_acquire)) {
        return DC_ERROR_NOT_RUNNING;
    }
    double pts = 0.0;
    // Frames a decoder delivered before it ended are still handed out; the end shows once
    // its queue is empty.
    if (!_videoRunning.load(std::memory_order_acquire)) {
        if (!_live.video.get(_videoCaptureFrame, &pts, nullptr, 0)) {
            return DC_ERROR_NOT_RUNNING;
        }
    } else if (!_live.video.get(_videoCaptureFrame, &pts, nullptr, clampTimeout(timeoutMs))) {
        return DC_ERROR_TIMEOUT;
    }
    if (frame == nullptr) {
        av_frame_unref(_videoCaptureFrame);
        return DC_ERROR_NONE;
    }
    const AVFrame* captured = _videoCaptureFrame;
    frame->width = captured->width;
    frame->height = captured->height;
    frame->frameRate = _videoFrameRate.load(std::memory_order_acquire);
    frame->aspect = captured->height > 0
                        ? static_cast<float>(captured->width) / static_cast<float>(captured->height)
                        : 0.0f;
    frame->pts = pts;
    const AVFrame* delivered = captured;
    if (_isEnableAIMode.load(std::memory_order_acquire)) {
        // The picture is offered to the analysis thread and comes back at once in pixel
        // format 12 with the latest outlines; a frame that cannot be converted is handed out
        // as decoded.
        const AVFrame* outlined =
            _aiProcessor->process(captured, _aiMode.load(std::memory_order_acquire), _aiFlag);
        if (outlined != nullptr) {
            delivered = outlined;
        }
    }
    for (int i = 0; i < 8; ++i) {
        frame->data[i] = delivered->data[i];
        frame->linesize[i] = delivered->linesize[i];
    }
    frame->format = delivered->format;
    return DC_ERROR_NONE;
}

void ReceiverCore::setIsEnableAIMode(bool on, int mode) {
    if (on && !KXAiFrameProcessor::loadModels()) {
        _isEnableAIMode.store(false, std::memory_order_release);
        _aiProcessor->setActive(false);
        return;
    }
    _aiMode.store(mode, std::memory_order_release);
    _isEnableAIMode.store(on, std::memory_order_release);
    _aiProcessor->setActive(on);
}

KXAiAnalysisThread::Statistics ReceiverCore::aiStatistics() const {
    return _aiProcessor->statistics();
}

void ReceiverCore::setSoundArrayPresetMap(const std::map<int, int>& map) {
    std::lock_guard<std::mutex> lock(_presetMapMutex);
    _soundArrayPresetMap = map;
}

std::map<int, int> ReceiverCore::soundArrayPresetMap() const {
    std::lock_guard<std::mutex> lock(_presetMapMutex);
    return _soundArrayPresetMap;
}

DC_Error_Type ReceiverCore::captureAudio(DC_Audio_Frame* frame, uint32_t timeoutMs) {
    if (!_initialized.load(std::memory_order_acquire) || !_started.load(std::memory_order_acquire)) {
        return DC_ERROR_NOT_RUNNING;
    }
    double pts = 0.0;
    if (!_audioRunning.load(std::memory_order_acquire)) {
        if (!_live.audio.get(_audioCaptureFrame, &pts, nullptr, 0)) {
            return DC_ERROR_NOT_RUNNING;
        }
    } else if (!_live.audio.get(_audioCaptureFrame, &pts, nullptr, clampTimeout(timeoutMs))) {
        return DC_ERROR_TIMEOUT;
    }
    if (frame == nullptr) {
        av_frame_unref(_audioCaptureFrame);
        return DC_ERROR_NONE;
    }
    const AVFrame* captured = _audioCaptureFrame;
    frame->sampleRate = captured->sample_rate;
    frame->channels = captured->ch_layout.nb_channels;
    frame->samples = captured->nb_samples;
    frame->pts = pts;
    for (int i = 0; i < 8; ++i) {
        frame->data[i] = captured->data[i];
        frame->linesize[i] = captured->linesize[i];
    }
    frame->bufferSize = av_samples_get_buffer_size(&frame->linesize[0], frame->channels, frame->samples,
                                                   AV_SAMPLE_FMT_S16, 0);
    frame->format = captured->format;
    return DC_ERROR_NONE;
}

DC_Error_Type ReceiverCore::captureJPEG(DC_JPEG_Frame* frame, uint32_t timeoutMs) {
    if (!_initialized.load(std::memory_order_acquire) || !_started.load(std::memory_order_acquire) ||
        !_videoRunning.load(std::memory_order_acquire)) {
        return DC_ERROR_NOT_RUNNING;
    }
    // The newest picture not handed out yet, at once when there is one; otherwise the next
    // one within the timeout. A stop wakes the wait early.
    if (!_jpegSnapshot.take(_jpegPacket, clampTimeout(timeoutMs))) {
        return DC_ERROR_TIMEOUT;
    }
    if (frame == nullptr) {
        av_packet_unref(_jpegPacket);
        return DC_ERROR_NONE;
    }
    frame->data = _jpegPacket->data;
    frame->size = _jpegPacket->size;
    return DC_ERROR_NONE;
}

void ReceiverCore::freeVideo() {
    if (_initialized.load(std::memory_order_acquire)) {
        av_frame_unref(_videoCaptureFrame);
    }
}

void ReceiverCore::freeAudio() {
    if (_initialized.load(std::memory_order_acquire)) {
        av_frame_unref(_audioCaptureFrame);
    }
}

void ReceiverCore::freeJPEG() {
    if (_initialized.load(std::memory_order_acquire)) {
        av_packet_unref(_jpegPacket);
    }
}
