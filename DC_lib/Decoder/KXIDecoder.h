#pragma once

// A decoder turns the packets of one stream, taken from a packet queue, into frames put into
// a frame queue, on its own thread (decodeInThread).

class KXJpegSnapshot;
class ZoomProcessor;

class KXIDecoder {
public:
    virtual ~KXIDecoder() = default;

    // Opens the codec for the given stream of the input context: 0, or a negative libav error.
    // Called once, before the decode thread starts.
    virtual int open(int streamIndex) = 0;

    // The decode loop: -1 when stopped through its packet queue (abort), 0 at end of stream,
    // another value on failure.
    virtual int run() = 0;

    virtual void setRunning(bool running) = 0;
    virtual bool isRunning() const = 0;
    virtual void setPaused(bool paused) = 0;
    virtual void setAiFlag(bool* aiFlag) = 0;
    virtual void setZoomProcessor(ZoomProcessor* zoomProcessor) = 0;
    virtual void setDigitalZoom(bool on) = 0;
    virtual bool digitalZoom() const = 0;
    // Where each picture handed to the caller is also offered for captureJPEG (null: nowhere).
    // Set before the decode thread starts.
    virtual void setJpegSnapshot(KXJpegSnapshot* snapshot) = 0;
};

// Thread entry of every decoder: runs the loop, reports an abnormal end and then marks the
// decoder as no longer running (the capture calls read that mark).
void* decodeInThread(void* decoder);
