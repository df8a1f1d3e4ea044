#pragma once

// A copy of one captured picture, kept past the receiver's free call, and written out as a
// JPEG file (libavcodec's MJPEG encoder, full-range 4:2:0).
//
// Threading: one thread at a time.

#include <string>

#include "vexsdk.h"

struct AVFrame;

class VexctlPicture {
public:
    VexctlPicture();
    ~VexctlPicture();
    VexctlPicture(const VexctlPicture&) = delete;
    VexctlPicture& operator=(const VexctlPicture&) = delete;

    // Copies a frame lent by captureVideo (its format is a libavutil pixel format). false
    // when the frame is empty or of an unknown format.
    bool copyFrom(const DC_Video_Frame& frame);
    bool empty() const;
    int width() const;
    int height() const;

    // Encodes the picture and writes it to `path` (replacing the file). false with `error`.
    bool writeJpeg(const std::string& path, std::string& error) const;

private:
    AVFrame* _frame;  // owned
};

// Writes `size` bytes to `path` through a temporary file renamed into place, so that a
// failure never leaves a truncated picture under the name. false with `error`.
bool VexctlWriteFile(const std::string& path, const void* data, size_t size, std::string& error);
