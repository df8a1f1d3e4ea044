#pragma once

#include "Decoder/KXFFmpegDecoder.h"

struct SwrContext;

// Audio decoding. AAC decodes to planar float; it is resampled to interleaved signed 16-bit
// at the same rate and layout, the form the audio capture call describes. Frames without a
// timestamp get the one predicted from the previous frame.
//
// Threading: as KXFFmpegDecoder; the resampler and its frame belong to the decode thread.
class KXFFmpegAACDecoder : public KXFFmpegDecoder {
public:
    KXFFmpegAACDecoder(FrameQueue* audioQueue, PacketQueue* audioPackets, AVFormatContext* inputContext,
                       FrameQueue* recordingAudioQueue);
    ~KXFFmpegAACDecoder() override;

    int run() override;

protected:
    int afterCodecOpen() override;

private:
    bool resample(AVFrame* frame);  // into _resampledFrame; false: skip this frame

    SwrContext* _swrContext = nullptr;   // owned; null for codecs other than AAC
    AVFrame* _resampledFrame = nullptr;  // owned
};
