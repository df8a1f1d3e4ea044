#pragma once

// Reads a media file back with libavformat (and optionally decodes it with libavcodec), for
// tests and benchmarks that check what the library wrote.

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

struct MediaFilePacket {
    int64_t pts = AV_NOPTS_VALUE;
    int64_t dts = AV_NOPTS_VALUE;
    int64_t duration = 0;
    bool key = false;
    std::vector<uint8_t> data;
};

struct MediaFileStream {
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0;
    int height = 0;
    int sampleRate = 0;
    int channels = 0;
    int extradataSize = 0;
    AVColorRange colorRange = AVCOL_RANGE_UNSPECIFIED;
    AVRational timeBase{0, 1};
    AVRational averageFrameRate{0, 1};
    std::vector<MediaFilePacket> packets;
    int decodedFrames = -1;  // with decode: frames the decoder gave; -1 without
    int decodeErrors = 0;    // with decode: packets or frames the decoder refused

    // Seconds from the first presentation to the end of the last packet (0 without packets).
    double seconds() const;
    // Differences between consecutive presentation times, in presentation order (time base
    // units).
    std::vector<int64_t> presentationSteps() const;
};

struct MediaFile {
    bool opened = false;
    std::string format;  // the demuxer's name
    std::vector<MediaFileStream> streams;

    // The first stream of that type, or null.
    const MediaFileStream* first(AVMediaType type) const;
};

// Every packet of every stream; with `decode`, also decodes each stream and counts frames.
MediaFile MediaReadFile(const std::string& path, bool decode = false);
