#pragma once

// The real photographs the face-tracking tests and the benchmark detect faces in
// (tests/DC_lib/Analysis/photos, with their provenance in the README there), and the
// repository's models folder.

#include <memory>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct TestFrameDeleter {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using TestFramePtr = std::unique_ptr<AVFrame, TestFrameDeleter>;

// Path of a photo of the test set, e.g. "two_faces.jpg".
std::string TestPhotoPath(const std::string& name);

// The repository's models folder (what VEXSDK_MODEL_DIR names in the tests).
std::string TestModelFolder();

// Decodes a photo and scales it (bicubic) to width x height in `format`, as a camera frame
// of that size would arrive; null when the file cannot be read or decoded.
TestFramePtr TestPhotoFrame(const std::string& name, int width = 1920, int height = 1080,
                            AVPixelFormat format = AV_PIX_FMT_YUVJ420P);
