#pragma once

#include <QImage>
#include <QSize>

struct DC_Video_Frame;
struct SwsContext;

// Turns one captured frame into the preview's picture: libswscale converts the frame's planes
// to 32-bit RGB and scales them to the picture's size in a single pass, writing straight into
// the picture's pixels. The picture is filled whole; the frame's aspect ratio is not kept.
//
// The rules of what is drawn:
//  - pixel formats (libavutil numbers) 0 (planar 4:2:0), 12 (planar 4:2:0, full range),
//    13 (planar 4:2:2, full range) and 23 (NV12, what the hardware decoder delivers); any
//    other format is not drawn;
//  - only the largest even rectangle from the top-left corner is drawn (an odd last row or
//    column has no chroma sample of its own);
//  - a frame record whose size or planes do not hold together (a zero or huge size, a missing
//    plane, a row stride shorter than a row) is not drawn: nothing is read past a plane row.
// A frame of any size up to kMaxSide is scaled to the picture, so one larger than the screen
// (4096x2304, say) is drawn scaled down; nothing is copied into a buffer of a fixed size.
//
// The conversion context is kept between frames and rebuilt only when the frame's drawn size,
// its format or the picture's size changes: once running, drawing a frame allocates nothing.
//
// Threading: one thread (the interface thread) per object.
class FrameScaler {
public:
    static constexpr int kFormatYUV420P = 0;
    static constexpr int kFormatYUVJ420P = 12;
    static constexpr int kFormatYUVJ422P = 13;
    static constexpr int kFormatNV12 = 23;
    // Larger sides are not a picture any camera delivers: the record is taken as corrupt.
    static constexpr int kMaxSide = 16384;

    FrameScaler() = default;
    ~FrameScaler();
    FrameScaler(const FrameScaler&) = delete;
    FrameScaler& operator=(const FrameScaler&) = delete;

    static bool isDrawnFormat(int format);
    // The rectangle of the frame that is drawn (from the top-left corner); empty when the
    // frame is not drawn at all.
    static QSize drawnSize(const DC_Video_Frame& frame);

    // Converts and scales `frame` into `picture`, which must be a non-null image of format
    // QImage::Format_RGB32 that nobody else shares (its pixels are written in place). False,
    // with the picture untouched, when the frame is not drawn.
    bool scale(const DC_Video_Frame& frame, QImage& picture);

    // How often the conversion context was built (diagnostics and tests).
    int contextBuilds() const { return _contextBuilds; }

private:
    struct Key {
        int sourceWidth = 0;
        int sourceHeight = 0;
        int format = -1;
        int targetWidth = 0;
        int targetHeight = 0;
        bool operator==(const Key&) const = default;
    };

    bool prepare(const Key& key);

    SwsContext* _context = nullptr;  // owned
    Key _key;                        // what _context was built for
    int _contextBuilds = 0;
};
