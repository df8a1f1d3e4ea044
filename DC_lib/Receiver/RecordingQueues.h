#pragma once

#include "Receiver/FrameQueue.h"
#include "Receiver/PacketQueue.h"

// The three queues a recording reads: the stream reader's copies of a network source's
// packets, and the decoders' copies of a local camera's pictures and sound. For these queues
// "aborted" means that no recording runs: the producers skip them.
//
// Threading: each queue's own (see KXRing). Everything here comes from the receiver's
// start/stop paths under its start/stop mutex, except the record thread's abort when its file
// cannot be written (only recordingStop, after joining that thread, touches the queues then).
struct RecordingQueues {
    explicit RecordingQueues(int capacity) : packets(capacity), video(capacity), audio(capacity) {}

    // 0, or the first pthread error; the queues are left aborted (no recording).
    int open() {
        for (int rc : {packets.open(), video.open(), audio.open()}) {
            if (rc > 0) {
                return rc;
            }
        }
        abort();
        return 0;
    }
    void abort() {
        packets.abort();
        video.abort();
        audio.abort();
    }
    // A recording starts: a network source's is fed with packets, a local camera's with
    // pictures and, when it records sound, audio frames (queued for nobody otherwise, they
    // would hold up the audio decoder at every frame).
    void rearm(bool withPackets, bool withVideo, bool withAudio) {
        if (withPackets) {
            packets.rearm();
        }
        if (withVideo) {
            video.rearm();
        }
        if (withAudio) {
            audio.rearm();
        }
    }
    void flush() {
        packets.flush();
        flushFrames();
    }
    // A pause drops the pictures and sound queued for a recording (its packets stay).
    void flushFrames() {
        video.flush();
        audio.flush();
    }

    PacketQueue packets;
    FrameQueue video;
    FrameQueue audio;
};
