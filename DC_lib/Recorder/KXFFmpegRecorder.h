#pragma once

#include <vector>

#include "Recorder/KXRecordOutput.h"
#include "Recorder/KXRecorder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
}

class PacketQueue;

// Records a network source without decoding: the stream reader's rebased copies of the
// packets (from the recording packet queue) are written into the container named by the
// file's extension.
//
// The file holds the video stream and the audio stream the receiver uses. Other streams of
// the source (a data or subtitle track of an MPEG-TS camera stream) are left out: their
// packets are never rebased, and a stream the container cannot hold would fail the whole
// recording at its header.
//
// Everything needed from the input (codec parameters, time bases) is copied at init: the
// input context belongs to the preview, which may be stopped and started again (closing and
// replacing that context) while the recording goes on.
//
// Threading: see KXRecorder. The recording packet queue's consumer is run().
class KXFFmpegRecorder : public KXRecorder {
public:
    KXFFmpegRecorder(PacketQueue* recordingQueue, AVFormatContext* inputContext, int videoStreamIndex,
                     int audioStreamIndex);
    ~KXFFmpegRecorder() override;

    int init(const char* folder, const char* fileName) override;
    int run() override;
    int close() override;

private:
    struct Track {
        int output = -1;                    // output stream index; -1: not recorded
        AVRational inputTimeBase{0, 1};     // copied at init
        AVBSFContext* adtsToAsc = nullptr;  // owned; ADTS AAC into a container that wants raw AAC
        KXForwardTimeline timeline;
    };

    bool addTrack(const AVStream* input);
    // Writes one queued packet (stream index and timestamps of the input); negative: the file
    // cannot be written.
    int writePacket(AVPacket* packet);
    int writeOutputPacket(Track& track, AVPacket* packet);
    void freeTracks();

    PacketQueue* const _recordingQueue;          // not owned
    AVFormatContext* const _inputFormatContext;  // not owned; read by init() only
    const int _videoStreamIndex;
    const int _audioStreamIndex;
    KXRecordOutput _output;
    std::vector<Track> _tracks;     // by input stream index; record thread once init is done
    AVPacket* _filtered = nullptr;  // record thread
};
