#pragma once

#include "KXLog.h"

#include <mutex>
#include <string>
#include <vector>

// Collects the library's debug lines for the life of the object (one at a time per process).
class LogCapture {
public:
    LogCapture() { KXSetLogSink(&LogCapture::sink, this); }
    ~LogCapture() { KXSetLogSink(nullptr, nullptr); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    bool contains(const std::string& text) const { return count(text) > 0; }

    // Lines that contain `text`.
    int count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(_mutex);
        int n = 0;
        for (const std::string& line : _lines) {
            if (line.find(text) != std::string::npos) {
                ++n;
            }
        }
        return n;
    }

private:
    static void sink(const char* line, void* self) {
        auto* capture = static_cast<LogCapture*>(self);
        std::lock_guard<std::mutex> lock(capture->_mutex);
        capture->_lines.emplace_back(line);
    }
    mutable std::mutex _mutex;
    std::vector<std::string> _lines;  // guarded by _mutex
};
