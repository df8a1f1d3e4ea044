#pragma once

// Helpers for tests that drive a DC_Recv over generated media.

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

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
