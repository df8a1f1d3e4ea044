#pragma once

#include "Decoder/KXFFmpegDecoder.h"

struct SwsContext;

// Software video decoding. Raw (uncompressed) camera video is normalised to planar YUV 4:2:0
// so that every consumer sees one of the few formats a compressed stream decodes to. Every
// picture then goes through deliverVideoFrame (recording copy, digital zoom, videoqueue).
//
// Threading: as KXFFmpegDecoder; the scaling context belongs to the decode thread.
class KXFFmpegSWDecoder : public KXFFmpegDecoder {
public:
    // `recordingQueue`: the recording video frame queue (aborted while no recording runs), or
    // null.
    KXFFmpegSWDecoder(FrameQueue* videoQueue, PacketQueue* videoPackets, AVFormatContext* inputContext,
                      FrameQueue* recordingQueue = nullptr);
    ~KXFFmpegSWDecoder() override;

    int run() override;
    void setAiFlag(bool* aiFlag) override { _aiFlag = aiFlag; }

private:
    // Converts a raw frame into `converted` (planar 4:2:0, same size); false on failure.
    bool convertRaw(const AVFrame* frame, AVFrame* converted);

    SwsContext* _swsContext = nullptr;  // decode thread only; cached across frames
    bool* _aiFlag = nullptr;            // immutable after start; stored for the face tracker
};
