#pragma once

#include <cstdint>
#include <list>

#include "vexsdk.h"

// Which of a camera's video formats a connection opens, and whether it decodes in hardware.
// A format qualifies when it is at least 720 lines high at 30 frames per second or more.
// Three passes over the list, each keeping its last hit: qualifying H.264 (hardware
// decoding), else qualifying MJPEG (software), else qualifying HEVC (hardware); without any,
// the first listed format the receiver can decode (H.264, HEVC or MJPEG; any first format
// when there is none), decoded in hardware exactly when it is H.264 or HEVC.
struct VideoFormatChoice {
    bool found = false;  // false: the list is empty
    int32_t videoFormatIndex = 0;
    bool hardwareDecoding = false;

    // Writes the connect flow's debug line for every format each pass looks at.
    static VideoFormatChoice choose(const std::list<DC_VideoFormat>& formats);
};
