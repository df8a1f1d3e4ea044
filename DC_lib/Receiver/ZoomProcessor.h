#pragma once

// Digital zoom of one receiver: the zoom state that the exported zoom calls set, and the zoom
// stage that the video decoder runs on every frame while digital zoom is on.
//
// The rule that turns the state into a picture:
//  - Ratios: 301 of them, 1.00 to 16.00 in steps of 0.05; the ratio index picks one.
//  - Window: the picture is cropped to (width / ratio) x (height / ratio) around the picture's
//    own centre (960, 540 for a 1080p picture) moved by the pan offsets, and scaled back to
//    the full picture size. The window always lies inside the picture: the pan offsets are
//    kept within +-(width - window width) / 2 and +-(height - window height) / 2, so at ratio
//    1 there is nowhere to move, and zooming out pulls an offset window back inside.
//  - Pace, one step per decoded frame: zoom in (1) and zoom out (2) move the ratio index by
//    one (1.00 to 16.00 in about 10 s at 30 fps); move left (3), right (4), up (5) and down (6)
//    move the window by 1/90 of its travel (edge to edge in about 3 s at 30 fps, whatever the
//    ratio; at least a pixel a frame); stop (0) holds the window. Commands stay in force until
//    the next one.
//  - Home recentres (pan 0, 0) and keeps the ratio; turning digital zoom off (resetZoom)
//    returns to ratio index 0, ratio 1.0 and no pan, and keeps the last command.
//  - Output: full-range planar YUV 4:2:0 (pixel format 12, AV_PIX_FMT_YUVJ420P) at the
//    decoded picture's size, a new frame with its own planes for every input frame (queued
//    frames are never overwritten).
//
// Two ways produce that output. The fast one crops by offsetting the plane pointers to the
// window and converts and scales in one libswscale pass (the whole picture is handed on as it
// is when it already is full-range 4:2:0, and has only its levels widened, through a table,
// when it is limited-range 4:2:0 or NV12). The other converts the frame to a BGR image, crops
// and scales that image and converts it back (the conversions of face tracking,
// KXBgrConverter): it is the way for pixel layouts whose planes cannot be offset to a crop
// origin, and can be chosen for comparison. Both give the same format and size. Face tracking
// itself keeps its own conversions on the capture thread and works on the zoomed picture, so
// zooming through BGR in the decoder would not save it a conversion.
//
// Threading: the state is read and written under _mutex (the caller's thread sends commands
// while the decode thread advances the state). The zoom stage (process, render) and what it
// owns (scaling contexts, buffer pool, BGR images) belong to the thread that decodes video;
// only one video decoder runs at a time per receiver.

#include <cstdint>
#include <mutex>
#include <opencv2/core/mat.hpp>
#include <vector>

#include "Analysis/KXBgrConverter.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

struct SwsContext;

class ZoomProcessor {
public:
    // Commands: 0 stop, 1 zoom in, 2 zoom out, 3 move left, 4 move right, 5 move up,
    // 6 move down.
    struct State {
        int32_t ratioIndex = 0;
        float currentRatio = 1.0f;
        int32_t centreX = 960;  // the picture's centre; 960, 540 until a picture was seen
        int32_t centreY = 540;
        int32_t panX = 0;
        int32_t panY = 0;
        int32_t command = 0;
    };

    // A crop window in pixels of the picture.
    struct Window {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
    };

    enum class Path { Yuv, RoundTrip };

    static constexpr int64_t kRatioCount = 301;  // 1.00 to 16.00 in steps of 0.05
    static constexpr int kStepCount = 16;
    static constexpr int kPanTravelFrames = 90;  // edge to edge

    ZoomProcessor();
    ~ZoomProcessor();
    ZoomProcessor(const ZoomProcessor&) = delete;
    ZoomProcessor& operator=(const ZoomProcessor&) = delete;

    State state() const;
    void setState(const State& state);

    // Values outside 0-6 are ignored.
    void setCommand(int32_t command);
    // Pan 0, 0.
    void home();
    // Back to the whole picture: ratio index 0, ratio 1.0, no pan.
    void resetZoom();

    const std::vector<float>& ratios() const { return _ratios; }
    int32_t stepSetting() const { return _stepSetting; }
    int32_t step(int i) const { return i >= 0 && i < kStepCount ? _steps[i] : 0; }

    // One frame's step for a width x height picture: applies the command, keeps the window
    // inside the picture, and answers the window to show.
    Window advance(int width, int height);

    // The window that `state` shows of a width x height picture (ratio and pan as stored,
    // clamped into the picture; offsets on even pixels).
    static Window windowFor(const State& state, int width, int height);

    // The zoom stage: advance() for this frame, then render(). false when the frame cannot be
    // zoomed (no picture in system memory, out of memory): the caller shows it as decoded.
    bool process(const AVFrame* frame, AVFrame* out);

    // Writes `window` of `frame`, scaled to the frame's size, into `out` (emptied first) as a
    // new YUVJ420P frame with `frame`'s timestamps.
    bool render(const AVFrame* frame, const Window& window, AVFrame* out);

    // Which way render() goes for frames that allow both (tests and the benchmark).
    void setPath(Path path) { _path = path; }

private:
    bool allocateOutput(const AVFrame* frame, AVFrame* out);
    bool renderYuv(const AVFrame* frame, const Window& window, AVFrame* out);
    bool renderRoundTrip(const AVFrame* frame, const Window& window, AVFrame* out);
    // The whole of a limited-range 4:2:0 or NV12 picture in full-range planar 4:2:0.
    bool expandLevels(const AVFrame* frame, AVFrame* out);
    // True when the frame's planes can be offset to the window's corner.
    static bool croppable(const AVFrame* frame, const Window& window);

    const std::vector<float> _ratios;  // immutable after construction
    const int32_t _stepSetting = 2;    // immutable
    const int32_t _steps[kStepCount] = {5, 5, 5, 5, 10, 10, 10, 15, 15, 15, 20, 20, 20, 20, 20, 20};

    mutable std::mutex _mutex;
    State _state;                // guarded by _mutex
    int32_t _pictureWidth = 0;   // guarded by _mutex; set by the first frame
    int32_t _pictureHeight = 0;  // guarded by _mutex

    // --- the zoom stage: decode thread
    Path _path = Path::Yuv;
    SwsContext* _scaler = nullptr;  // owned; for one source layout and window size
    int _scalerKey[6] = {-1, -1, -1, -1, -1, -1};
    AVBufferPool* _pool = nullptr;  // owned; output planes for one picture size
    int _poolWidth = 0;
    int _poolHeight = 0;
    uint8_t _lumaLevels[256] = {};    // limited to full range; filled on first use
    uint8_t _chromaLevels[256] = {};
    KXBgrConverter _bgr;
    cv::Mat _bgrImage;
    cv::Mat _scaledImage;
};
