#pragma once

#include <QByteArray>
#include <QSize>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct DC_Video_Frame;
struct SwsContext;

// Turns a captured frame into a JPEG of a given width: libswscale scales the frame's planes
// (the formats FrameScaler draws) into full-range 4:2:0 at that width, the frame's aspect
// kept, and libavcodec's MJPEG encoder encodes it. A frame no wider than the width asked is
// encoded at its own size. The scaler and the encoder are kept while the sizes stay, so once
// running an encode allocates little more than its output.
//
// Threading: one thread per object.
class PictureEncoder {
public:
    PictureEncoder();
    ~PictureEncoder();
    PictureEncoder(const PictureEncoder&) = delete;
    PictureEncoder& operator=(const PictureEncoder&) = delete;

    // The size a frame of `source` size is encoded at for `width` (both even); empty when
    // either is empty.
    static QSize targetSize(QSize source, int width);

    // The JPEG; empty when the frame is not one FrameScaler draws or encoding failed.
    QByteArray encode(const DC_Video_Frame& frame, int width);

private:
    bool prepare(QSize source, int format, QSize target);

    SwsContext* _scaler = nullptr;     // owned
    AVCodecContext* _codec = nullptr;  // owned
    AVFrame* _picture = nullptr;       // owned: the scaled planes
    AVPacket* _packet = nullptr;       // owned
    QSize _source;
    int _format = -1;
    QSize _target;
};
