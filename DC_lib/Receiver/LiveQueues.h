#pragma once

#include "Receiver/FrameQueue.h"
#include "Receiver/PacketQueue.h"

// The four queues of the live picture and sound: the stream reader's packets for each
// decoder, and each decoder's frames for the capture calls. They are armed, aborted and
// flushed together at every start, stop and pause.
//
// Threading: each queue's own (see KXRing). open(), abort(), rearm() and the frame variants
// come from the receiver's start/stop paths under its start/stop mutex; flush() may race the
// stream reader's own flush of the video packets (the ring serialises flushes).
struct LiveQueues {
    LiveQueues(int videoCapacity, int audioCapacity)
        : videoPackets(videoCapacity),
          audioPackets(audioCapacity),
          video(videoCapacity),
          audio(audioCapacity) {}

    // 0, or the first pthread error (an already open queue counts as opened).
    int open() {
        for (int rc : {videoPackets.open(), audioPackets.open(), video.open(), audio.open()}) {
            if (rc > 0) {
                return rc;
            }
        }
        return 0;
    }
    // Packets first: a decoder blocked on its packet queue leaves before its frame queue goes.
    void abort() {
        audioPackets.abort();
        videoPackets.abort();
        abortFrames();
    }
    void rearm() {
        videoPackets.rearm();
        audioPackets.rearm();
        rearmFrames();
    }
    void flush() {
        videoPackets.flush();
        audioPackets.flush();
        video.flush();
        audio.flush();
    }
    // A pause: the decoders keep running on the packet queues, but no frame reaches the
    // caller until resume.
    void abortFrames() {
        audio.abort();
        video.abort();
    }
    void rearmFrames() {
        video.rearm();
        audio.rearm();
    }

    PacketQueue videoPackets;
    PacketQueue audioPackets;
    FrameQueue video;
    FrameQueue audio;
};
