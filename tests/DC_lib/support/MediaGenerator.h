#pragma once

// Test-time media: short synthetic streams encoded with libavcodec and muxed with
// libavformat, so that no binary fixture lives in the repository.

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

enum class MediaVideo { H264, MJPEG, Raw };

struct MediaRecipe {
    MediaVideo video = MediaVideo::H264;
    int width = 320;
    int height = 240;
    int fps = 30;
    int frames = 60;
    int gop = 15;                                   // key frame interval
    int bFrames = 0;                                // H.264: B-frames between references
    std::string h264Preset = "ultrafast";           // H.264: x264 preset (ultrafast: no CABAC,
                                                    // no deblocking, the cheapest decoding)
    AVPixelFormat rawFormat = AV_PIX_FMT_YUYV422;   // pixel format of raw video
    AVPixelFormat h264Format = AV_PIX_FMT_YUV420P;  // yuv420p10le gives a High 10 stream
    bool withAudio = false;                         // AAC
    int sampleRate = 48000;
    int channels = 2;
    std::string container = "mpegts";  // any libavformat muxer: mpegts, nut, h264, mjpeg, ...
    // When set, every frame shows this picture instead of the synthetic one: an
    // AV_PIX_FMT_YUV420P frame of the recipe's size, kept alive while the clip is made.
    const AVFrame* picture = nullptr;
};

// One encoded packet with its stream (0 video, 1 audio) and timestamps in that stream's
// encoder time base (1/fps for video, 1/sampleRate for audio).
struct MediaPacket {
    int stream = 0;
    std::vector<uint8_t> data;
    int64_t pts = 0;
    int64_t dts = 0;
    int64_t duration = 0;
    bool key = false;
};

// The encoded streams of a recipe, interleaved in presentation order, plus the codec
// parameters a muxer needs.
class MediaClip {
public:
    explicit MediaClip(const MediaRecipe& recipe);
    ~MediaClip();
    MediaClip(const MediaClip&) = delete;
    MediaClip& operator=(const MediaClip&) = delete;

    bool ok() const { return _ok; }
    const MediaRecipe& recipe() const { return _recipe; }
    const std::vector<MediaPacket>& packets() const { return _packets; }
    const AVCodecParameters* videoParameters() const { return _videoParameters; }
    const AVCodecParameters* audioParameters() const { return _audioParameters; }
    AVRational videoTimeBase() const { return AVRational{1, _recipe.fps}; }
    AVRational audioTimeBase() const { return AVRational{1, _recipe.sampleRate}; }

    // Writes the clip with the recipe's container into a file.
    bool writeFile(const std::string& path) const;

private:
    bool encodeVideo();
    bool encodeAudio();

    MediaRecipe _recipe;
    bool _ok = false;
    std::vector<MediaPacket> _packets;
    AVCodecParameters* _videoParameters = nullptr;
    AVCodecParameters* _audioParameters = nullptr;
};

// Fills a synthetic picture (a moving gradient with a bright square) for frame `index`.
void MediaFillPicture(AVFrame* frame, int index);

// A muxer into any byte sink: the clip's streams, the recipe's container. `write` receives
// every byte the muxer produces; a false answer ends muxing (the peer went away).
class MediaMuxer {
public:
    using Sink = bool (*)(void* context, const uint8_t* data, int size);

    MediaMuxer(const MediaClip& clip, Sink sink, void* context);
    ~MediaMuxer();
    MediaMuxer(const MediaMuxer&) = delete;
    MediaMuxer& operator=(const MediaMuxer&) = delete;

    bool ok() const { return _ok; }
    // Writes one packet, its timestamps shifted by `offset` units of its stream's time base.
    bool write(const MediaPacket& packet, int64_t offset);
    bool finish();

private:
    static int writeCallback(void* self, uint8_t* data, int size);

    const MediaClip& _clip;
    Sink _sink;
    void* _context;
    AVFormatContext* _format = nullptr;
    bool _ok = false;
    bool _sinkFailed = false;
};
