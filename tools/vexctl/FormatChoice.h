#pragma once

// Which of a camera's video formats vexctl opens. The receiver decodes MJPEG and H.264
// only, so only those qualify. Without a choice by the user: the largest H.264 format of at
// least 720 lines at 30 frames per second or more, else the largest such MJPEG format, else
// the largest MJPEG or H.264 format of any size or rate (ties go to the higher rate).

#include <list>
#include <optional>
#include <string>

#include "vexsdk.h"

// false with `error` when the list has no format the receiver can open, or when the format
// the user asked for (its index) does not exist or cannot be opened.
bool VexctlChooseFormat(const std::list<DC_VideoFormat>& formats, const std::optional<int>& requested,
                        DC_VideoFormat& out, std::string& error);

// "MJPEG", "H.264", "HEVC" or "other".
const char* VexctlFormatName(int format);
