#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

struct SwsContext;

// The picture captureJPEG hands out: the newest one of the running stream that has not been
// handed out yet. An MJPEG camera's own JPEG is kept as sent (a copy of the packet's bytes,
// never re-encoded); for any other stream the newest decoded picture is kept by reference and
// encoded only when it is asked for, so that a stream nobody takes snapshots of costs one
// reference a picture and nothing more. A picture is handed out once, so it is encoded at
// most once.
//
// Threading:
//  - arm() and clear() come from the receiver's start/stop paths (under its start/stop
//    mutex); offerPacket() from the read thread, offerFrame() from the video decode thread;
//    take() from the one JPEG caller thread; wake() from stop.
//  - _mutex guards the held picture, its freshness and the wake generation; it is held only
//    to swap a reference or a packet in or out, never across an encode or a copy of pixels.
//  - The encoder, its conversion context and the converted frame belong to the JPEG caller
//    thread (take() encodes outside the lock, on a frame reference it moved out).
//  - The camera's JPEG is copied rather than referenced: a capture device's packet points into
//    a buffer the driver lends out, and a reference held here until the next snapshot would
//    keep it from the driver; the copy also keeps the caller's reads and the later release on
//    one side of _mutex.
class KXJpegSnapshot {
public:
    enum class Source {
        None,           // nothing is kept: take() times out
        CameraJpeg,     // offerPacket() keeps the camera's JPEG packets
        DecodedFrames,  // offerFrame() keeps decoded pictures, encoded on demand
    };

    KXJpegSnapshot();
    ~KXJpegSnapshot();
    KXJpegSnapshot(const KXJpegSnapshot&) = delete;
    KXJpegSnapshot& operator=(const KXJpegSnapshot&) = delete;

    // A start: forgets what is held and keeps pictures from `source` from now on.
    void arm(Source source);
    // A stop or a pause: forgets what is held and keeps nothing until the next arm().
    void clear();
    // Wakes a waiting take(), which then answers false (a stop).
    void wake();

    void offerPacket(const AVPacket* packet);
    void offerFrame(const AVFrame* frame);

    // Waits up to timeoutMs for a picture not yet handed out (none at once with 0) and moves
    // its JPEG into `out` (a packet `out` still holds is released). false on time-out, on a
    // wake, or when the picture could not be encoded.
    bool take(AVPacket* out, int timeoutMs);

private:
    bool encode(const AVFrame* frame, AVPacket* out);
    bool prepareEncoder(int width, int height);

    std::mutex _mutex;
    std::condition_variable _condition;
    Source _source = Source::None;  // guarded by _mutex
    AVPacket* _packet = nullptr;    // guarded by _mutex; the newest camera JPEG (own bytes)
    AVFrame* _frame = nullptr;      // guarded by _mutex; the newest decoded picture (a reference)
    bool _fresh = false;            // guarded by _mutex; held picture not yet handed out
    uint64_t _wakeGeneration = 0;   // guarded by _mutex; advanced by wake()

    // JPEG caller thread only
    AVCodecContext* _encoder = nullptr;
    SwsContext* _toJpegRange = nullptr;
    AVFrame* _converted = nullptr;  // the picture in the encoder's pixel format
    AVFrame* _taken = nullptr;      // the reference moved out of _frame for encoding
    int _sourceFormat = -1;
    int _width = 0;
    int _height = 0;
    int64_t _encoded = 0;  // pictures encoded so far (their pts)
};
