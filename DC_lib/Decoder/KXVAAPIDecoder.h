#pragma once

#include "Decoder/KXFFmpegDecoder.h"

struct AVBufferRef;

// Hardware video decoding through VAAPI. The device is the caller's hardware device reference
// (an AVBufferRef* of a VAAPI device context, handed to startPreview) or, when none is given,
// one this decoder creates on the default render node. Decoded surfaces are downloaded to
// NV12 system memory before they are queued, because every consumer reads plane pointers;
// the downloaded picture then goes through deliverVideoFrame like a software-decoded one, so
// a recording and digital zoom work the same with either decoder.
// When no usable device exists, or the stream is not one the hardware path takes, open()
// fails and the receiver falls back to the software decoder.
//
// Threading: as KXFFmpegDecoder. The running flag must be set before the decode thread starts:
// the loop runs only while it is set.
class KXVAAPIDecoder : public KXFFmpegDecoder {
public:
    // `recordingQueue`: the recording video frame queue (aborted while no recording runs), or
    // null.
    KXVAAPIDecoder(FrameQueue* videoQueue, PacketQueue* videoPackets, AVFormatContext* inputContext,
                   void* deviceReference, int* codedWidth, int* codedHeight,
                   FrameQueue* recordingQueue = nullptr);
    ~KXVAAPIDecoder() override;

    int run() override;

protected:
    int beforeCodecOpen() override;

private:
    static AVPixelFormat getFormat(AVCodecContext* context, const AVPixelFormat* formats);

    void* const _deviceReference;             // not owned: the caller's AVBufferRef*, or null
    AVBufferRef* _hwDeviceContext = nullptr;  // owned reference
    int* const _codedWidth;                   // not owned: the receiver's fields
    int* const _codedHeight;
};
