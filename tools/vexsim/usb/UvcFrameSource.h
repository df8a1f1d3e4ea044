#pragma once

// The pictures of one stream of the emulated camera: the simulator's drawn room at the
// head's view (SimPicture), as the committed format wants them: JPEG pictures, an H.264
// Annex B access unit per frame (parameter sets with every key frame), or packed YUY2 4:2:2.
//
// Threading: one thread (the camera's streaming thread) creates, uses and destroys it; the
// picture it shares is read-only.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimPicture.h"
#include "UvcDescriptors.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace uvcsim {

class UvcFrameSource {
public:
    // `markerCamera`: the camera's number in the marker drawn into every frame; -1: none.
    UvcFrameSource(std::shared_ptr<const SimPicture> picture, FormatKind kind, int width, int height,
                   int fps, int markerCamera = -1);
    ~UvcFrameSource();
    UvcFrameSource(const UvcFrameSource&) = delete;
    UvcFrameSource& operator=(const UvcFrameSource&) = delete;

    bool ok() const { return _error.empty(); }
    const std::string& error() const { return _error; }

    // Frame `number` of the stream at `view` into `out`; `key` asks an H.264 stream for a key
    // frame. False when the encoder gave nothing for it.
    bool next(const SimView& view, int64_t number, bool key, Bytes& out);

private:
    std::shared_ptr<const SimPicture> _picture;
    FormatKind _kind;
    int _width;
    int _height;
    int _markerCamera;
    std::string _error;
    AVCodecContext* _codec = nullptr;  // compressed formats
    AVFrame* _frame = nullptr;         // the rendered planar 4:2:0 picture
    AVPacket* _packet = nullptr;
};

// Packs planar 4:2:0 into YUY2 (Y0 U Y1 V), each chroma row serving two picture rows.
void packYuy2(const uint8_t* y, int yStride, const uint8_t* u, int uStride, const uint8_t* v, int vStride,
              int width, int height, uint8_t* out);

}  // namespace uvcsim
