#pragma once

// The two picture conversions that analysis (and a digital-zoom stage) work between: a
// decoded frame to a BGR image, and a BGR image back to a full-range planar YUV 4:2:0 frame
// (pixel format 12, AV_PIX_FMT_YUVJ420P), both with libswscale, bicubic, at the same size.
//
// The scaling contexts and the output frame are made at the first conversion and kept; a
// frame of another size or pixel format makes new ones, so a stream that changes its picture
// size mid-way is converted correctly instead of being scaled with a context built for the
// old size (which would read and write past the planes).
//
// Threading: one thread at a time per object. Whoever converts on several threads (the
// capture thread for face tracking, a decoder thread for digital zoom) gives each its own
// converter: the output frame is overwritten by every conversion.

#include <opencv2/core/mat.hpp>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

struct SwsContext;

class KXBgrConverter {
public:
    KXBgrConverter() = default;
    ~KXBgrConverter();
    KXBgrConverter(const KXBgrConverter&) = delete;
    KXBgrConverter& operator=(const KXBgrConverter&) = delete;

    // Writes `frame` into `image` as 8-bit BGR at the frame's size. The image is written in
    // place when it has that size and type and room after its end (one that toBGR or
    // allocatePadded made), else replaced by a new one. false, with `image` left as it was,
    // for a frame that is not a picture in system memory (no size, an unknown or hardware
    // pixel format) or when libswscale cannot convert it.
    bool toBGR(const AVFrame* frame, cv::Mat& image);

    // Converts `image` (8-bit BGR, continuous or not) into the converter's YUVJ420P frame and
    // answers it; the frame and its planes belong to the converter and stay valid until the
    // next toYUV or the destructor. null for an image that is not 8-bit BGR or has no pixels.
    const AVFrame* toYUV(const cv::Mat& image);

    // Converts `image` into `target`, a YUVJ420P frame of the image's size whose planes the
    // caller has allocated (a frame that is handed on, for instance into a queue, needs
    // planes of its own). false for an image as above or a target of another format or size.
    bool toYUV(const cv::Mat& image, AVFrame* target);

    // Makes `image` a rows x cols 8-bit BGR image with room after its last pixel, which
    // libswscale needs to read or write it in place. An image made otherwise is still
    // converted, through a copy.
    static void allocatePadded(cv::Mat& image, int rows, int cols);

private:
    SwsContext* _toBgrContext = nullptr;  // owned
    int _bgrWidth = 0;
    int _bgrHeight = 0;
    AVPixelFormat _bgrSourceFormat = AV_PIX_FMT_NONE;

    // Builds the BGR-to-YUV context for a picture size (kept until the size changes).
    bool prepareToYuv(int width, int height);

    SwsContext* _toYuvContext = nullptr;  // owned
    int _yuvWidth = 0;
    int _yuvHeight = 0;
    AVFrame* _yuvFrame = nullptr;  // owned, with its own planes (alignment 1)
    cv::Mat _paddedCopy;           // toYUV's copy of an image without room after its end
};
