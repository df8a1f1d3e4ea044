#pragma once

#include <QString>

#include <string>

#include "LoopbackCalls.h"
#include "ProgramSink.h"

// The program picture as a camera the meeting program can pick: a v4l2loopback device that
// carries the card label "VantorReda Program", opened as a V4L2 video output.
//
// The device is found by its label, never by its number: the number depends on the order the
// cameras and the module came up in, and a wrong guess would write into somebody's camera.
// The nodes are asked in number order with VIDIOC_QUERYCAP; the first whose card is the label
// and that offers video output is taken. Then VIDIOC_S_FMT sets the output format, and every
// frame is one write().
//
// The format is packed YUYV 4:2:2. Both readers that matter take it from a loopback device:
// ffmpeg's v4l2 input maps V4L2_PIX_FMT_YUYV to yuyv422, and Chromium's V4L2 capture reads
// YUYV (it is among the formats every webcam offers), while NV12 written into a loopback
// device shows as a grey picture in the browser. Chromium only lists a loopback device as a
// camera with the module's exclusive_caps=1: the device then announces output alone until a
// writer has set its format, and capture alone after that; hence the README's modprobe line,
// and why a node with our label that offers no output means another writer holds it.
//
// Threading: see ProgramSink.
class V4L2ProgramSink : public ProgramSink {
public:
    static constexpr const char* kCardLabel = "VantorReda Program";

    explicit V4L2ProgramSink(LoopbackCalls calls = LoopbackCalls::system());
    ~V4L2ProgramSink() override { close(); }
    V4L2ProgramSink(const V4L2ProgramSink&) = delete;
    V4L2ProgramSink& operator=(const V4L2ProgramSink&) = delete;

    // The one sentence a person reads when the module is not loaded.
    static QString missingModuleText();

    bool open(int width, int height, int frameRate, QString* error) override;
    bool write(const std::uint8_t* data, std::size_t size, QString* error) override;
    void close() override;

    // The node opened ("/dev/video4"); empty while closed.
    const std::string& node() const { return _node; }

private:
    // The node whose card is our label and that offers video output, opened; -1 when none
    // (`busy`: a node with the label exists but offers no output now).
    int findDevice(std::string* node, std::string* busy);

    LoopbackCalls _calls;
    int _fd = -1;       // owned; see ProgramSink for who touches it when
    std::string _node;  // owner's thread
};
