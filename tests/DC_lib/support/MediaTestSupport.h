#pragma once

// Helpers for tests that drive a DC_Recv over generated media.

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "vexsdk.h"

// A caller-owned DC_SourceText, as the application allocates them.
class MediaSourceText {
public:
    explicit MediaSourceText(const std::string& text) {
        _text.source = static_cast<char*>(std::malloc(text.size() + 1));
        std::memcpy(_text.source, text.c_str(), text.size() + 1);
        _text.length = static_cast<int32_t>(text.size() + 1);
    }
    ~MediaSourceText() { std::free(_text.source); }
    MediaSourceText(const MediaSourceText&) = delete;
    MediaSourceText& operator=(const MediaSourceText&) = delete;
    DC_SourceText* get() { return &_text; }

private:
    DC_SourceText _text{};
};

// The record a host program builds for a network stream.
inline DC_CaptureFormats MediaNetworkFormats(MediaSourceText& url) {
    DC_CaptureFormats formats;
    formats.url = url.get();
    formats.sourceType = 1;
    return formats;
}

// Polls `condition` until it holds or `timeoutMs` passes; true when it held.
inline bool MediaWaitFor(const std::function<bool()>& condition, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
    }
    return condition();
}

// Generous bound for anything that should happen within a few frame intervals: sanitizer
// builds on a shared two-core machine are slow.
constexpr int kMediaWaitMs = 20000;

// Takes video frames (waiting up to `pollMs` for each) until `done` holds for one; every frame
// is given back. False when none did within `timeoutMs`.
inline bool MediaCaptureUntil(DC_Recv& recv, const std::function<bool(const DC_Video_Frame&)>& done,
                              int pollMs = 50, int timeoutMs = kMediaWaitMs) {
    return MediaWaitFor(
        [&] {
            DC_Video_Frame frame{};
            if (recv.captureVideo(&frame, pollMs) != DC_ERROR_NONE) {
                return false;
            }
            const bool finished = done(frame);
            recv.freeVideo(&frame);
            return finished;
        },
        timeoutMs);
}

// Takes video frames on a thread of its own until stopped, as a host program drains the
// preview beside its sound or while it switches modes; each frame is shown to `onFrame` (on
// that thread) and given back.
//
// Threading: the drain thread calls captureVideo and onFrame; the test thread calls frames()
// and stop() (the destructor stops too).
class MediaVideoDrain {
public:
    explicit MediaVideoDrain(DC_Recv& recv, std::function<void(const DC_Video_Frame&)> onFrame = {},
                             int pollMs = 10)
        : _recv(recv), _onFrame(std::move(onFrame)), _pollMs(pollMs), _thread([this] { run(); }) {}
    ~MediaVideoDrain() { stop(); }
    MediaVideoDrain(const MediaVideoDrain&) = delete;
    MediaVideoDrain& operator=(const MediaVideoDrain&) = delete;

    // Frames taken so far.
    int frames() const { return _frames.load(); }
    void stop() {
        _done.store(true);
        if (_thread.joinable()) {
            _thread.join();
        }
    }

private:
    void run() {
        while (!_done.load()) {
            DC_Video_Frame frame{};
            if (_recv.captureVideo(&frame, _pollMs) == DC_ERROR_NONE) {
                if (_onFrame) {
                    _onFrame(frame);
                }
                _recv.freeVideo(&frame);
                ++_frames;
            }
        }
    }

    DC_Recv& _recv;                                             // immutable
    const std::function<void(const DC_Video_Frame&)> _onFrame;  // immutable
    const int _pollMs;                                          // immutable
    std::atomic<bool> _done{false};                             // set by the test thread
    std::atomic<int> _frames{0};                                // counted by the drain thread
    std::thread _thread;                                        // started last, joined by stop()
};

// A receiver over a network stream (the URL text lives as long as the receiver), decoding in
// software so that the picture formats are those of the software path on every machine.
class MediaNetworkReceiver {
public:
    explicit MediaNetworkReceiver(const std::string& url) : _url(url), _recv(MediaNetworkFormats(_url)) {
        _recv.setIsEnableDXAV2Decode(false);
    }
    MediaNetworkReceiver(const MediaNetworkReceiver&) = delete;
    MediaNetworkReceiver& operator=(const MediaNetworkReceiver&) = delete;
    DC_Recv& recv() { return _recv; }

private:
    MediaSourceText _url;
    DC_Recv _recv;
};

// A unique path in the temporary folder, removed by the destructor.
class MediaTempFile {
public:
    explicit MediaTempFile(const std::string& suffix);
    ~MediaTempFile();
    MediaTempFile(const MediaTempFile&) = delete;
    MediaTempFile& operator=(const MediaTempFile&) = delete;
    const std::string& path() const { return _path; }

private:
    std::string _path;
};

// A fresh folder in the temporary folder, removed with everything in it by the destructor.
class MediaTempFolder {
public:
    MediaTempFolder();
    ~MediaTempFolder();
    MediaTempFolder(const MediaTempFolder&) = delete;
    MediaTempFolder& operator=(const MediaTempFolder&) = delete;
    const std::string& path() const { return _path; }
    // path() + "/" + name
    std::string file(const std::string& name) const { return _path + "/" + name; }

private:
    std::string _path;
};
