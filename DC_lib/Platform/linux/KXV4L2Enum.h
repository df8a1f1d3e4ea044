#pragma once

// V4L2 node inspection: capture check, card name and the capability list. The ioctl is a
// parameter so the enumeration logic can be driven by a scripted fake in tests.

#include <cstdint>
#include <string>
#include <vector>

#include "KXPlatform.h"

namespace kxv4l2 {

using IoctlFn = int (*)(int fd, unsigned long request, void* arg, void* context);

// The card label of the application's program picture: a video loopback device that
// announces capture as soon as the application writes to it. It is never a camera: listed,
// it would be offered as one, and opening it would feed the program back into itself.
inline constexpr const char* kProgramCardLabel = "VantorReda Program";

// VIDIOC_QUERYCAP: true for a video-capture node (metadata nodes and the program picture's
// loopback device answer false).
bool queryCapture(int fd, IoctlFn ioctlFn, void* context, std::string& card);

// ENUM_FMT x ENUM_FRAMESIZES x ENUM_FRAMEINTERVALS: one capability per format and frame
// size, with the smallest and largest frame interval in 100 ns units (discrete lists give
// their extremes; stepwise and continuous ranges their bounds). Stepwise sizes report
// their largest size.
std::vector<KXVideoCapability> capabilities(int fd, IoctlFn ioctlFn, void* context);

// A fourcc as the four-character subtype text (YUYV is called YUY2).
std::string subtypeName(uint32_t fourcc);
// A frame interval numerator/denominator in seconds as 100 ns units; 0 when undefined.
int64_t intervalHns(uint32_t numerator, uint32_t denominator);

// The real ioctl (context unused).
int systemIoctl(int fd, unsigned long request, void* arg, void* context);

// The device calls of a node walk: open (a descriptor, or -1 with errno set), close and
// ioctl, with one context for all three. The system's by default; tests script a driver per
// node so that the walk runs on a fixture tree.
struct DeviceCalls {
    int (*open)(const std::string& path, void* context);
    void (*close)(int fd, void* context);
    IoctlFn ioctl;
    void* context = nullptr;
};
DeviceCalls systemCalls();

}  // namespace kxv4l2
