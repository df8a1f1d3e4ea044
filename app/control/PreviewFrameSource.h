#pragma once

#include <cstdint>

#include "vexsdk.h"

// Where the preview pulls its frames from: the connected camera's receiver in the
// application, generated frames in the tests and the benchmark. The two calls keep the
// receiver's contract: a frame captured with DC_ERROR_NONE is lent until freeVideo, and is
// freed before the next capture.
class PreviewFrameSource {
public:
    virtual ~PreviewFrameSource() = default;
    virtual DC_Error_Type captureVideo(DC_Video_Frame* frame, uint32_t timeoutMs) = 0;
    virtual void freeVideo(DC_Video_Frame* frame) = 0;
};

// The receiver as a frame source (not owned; null captures nothing).
class ReceiverFrameSource final : public PreviewFrameSource {
public:
    void setReceiver(DC_Recv* recv) { _receiver = recv; }
    DC_Recv* receiver() const { return _receiver; }

    DC_Error_Type captureVideo(DC_Video_Frame* frame, uint32_t timeoutMs) override {
        return _receiver ? _receiver->captureVideo(frame, timeoutMs) : DC_ERROR_NOT_RUNNING;
    }
    void freeVideo(DC_Video_Frame* frame) override {
        if (_receiver)
            _receiver->freeVideo(frame);
    }

private:
    DC_Recv* _receiver = nullptr;
};
