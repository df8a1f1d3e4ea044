#include "linux/KXV4L2Enum.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cstring>

#include "linux/KXLinuxSys.h"

namespace kxv4l2 {
namespace {
// Bounds on what a driver may list; a misbehaving driver must not spin the walk forever.
constexpr uint32_t kMaxFormats = 64;
constexpr uint32_t kMaxSizes = 256;
constexpr uint32_t kMaxIntervals = 256;
}  // namespace

int systemIoctl(int fd, unsigned long request, void* arg, void*) {
    return kxsys::ioctlRetry(fd, request, arg);
}

DeviceCalls systemCalls() {
    DeviceCalls calls;
    calls.open = [](const std::string& path, void*) { return kxsys::openDevice(path); };
    calls.close = [](int fd, void*) { kxsys::closeDevice(fd); };
    calls.ioctl = &systemIoctl;
    return calls;
}

bool queryCapture(int fd, IoctlFn ioctlFn, void* context, std::string& card) {
    v4l2_capability cap{};
    if (ioctlFn(fd, VIDIOC_QUERYCAP, &cap, context) < 0) {
        return false;
    }
    uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if ((caps & V4L2_CAP_VIDEO_CAPTURE) == 0) {
        return false;
    }
    std::string name(reinterpret_cast<const char*>(cap.card),
                     strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
    if (name == kProgramCardLabel) {
        return false;
    }
    card = std::move(name);
    return true;
}

std::string subtypeName(uint32_t fourcc) {
    if (fourcc == V4L2_PIX_FMT_YUYV) {
        return "YUY2";
    }
    std::string s;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((fourcc >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    while (!s.empty() && s.back() == ' ') {
        s.pop_back();
    }
    return s;
}

int64_t intervalHns(uint32_t numerator, uint32_t denominator) {
    if (denominator == 0) {
        return 0;
    }
    return static_cast<int64_t>(static_cast<uint64_t>(numerator) * 10000000ull / denominator);
}

namespace {

bool intervalRange(int fd, IoctlFn ioctlFn, void* context, uint32_t pixelFormat, uint32_t width,
                   uint32_t height, int64_t& minHns, int64_t& maxHns) {
    minHns = 0;
    maxHns = 0;
    bool any = false;
    for (uint32_t i = 0; i < kMaxIntervals; ++i) {
        v4l2_frmivalenum iv{};
        iv.index = i;
        iv.pixel_format = pixelFormat;
        iv.width = width;
        iv.height = height;
        if (ioctlFn(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv, context) < 0) {
            break;
        }
        if (iv.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            int64_t v = intervalHns(iv.discrete.numerator, iv.discrete.denominator);
            minHns = any ? std::min(minHns, v) : v;
            maxHns = any ? std::max(maxHns, v) : v;
            any = true;
            continue;
        }
        minHns = intervalHns(iv.stepwise.min.numerator, iv.stepwise.min.denominator);
        maxHns = intervalHns(iv.stepwise.max.numerator, iv.stepwise.max.denominator);
        return true;  // stepwise and continuous are a single entry
    }
    return any;
}

}  // namespace

std::vector<KXVideoCapability> capabilities(int fd, IoctlFn ioctlFn, void* context) {
    std::vector<KXVideoCapability> caps;
    for (uint32_t f = 0; f < kMaxFormats; ++f) {
        v4l2_fmtdesc fmt{};
        fmt.index = f;
        fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (ioctlFn(fd, VIDIOC_ENUM_FMT, &fmt, context) < 0) {
            break;
        }
        for (uint32_t s = 0; s < kMaxSizes; ++s) {
            v4l2_frmsizeenum size{};
            size.index = s;
            size.pixel_format = fmt.pixelformat;
            if (ioctlFn(fd, VIDIOC_ENUM_FRAMESIZES, &size, context) < 0) {
                break;
            }
            uint32_t w;
            uint32_t h;
            if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                w = size.discrete.width;
                h = size.discrete.height;
            } else {
                w = size.stepwise.max_width;
                h = size.stepwise.max_height;
            }
            KXVideoCapability cap;
            cap.subtype = subtypeName(fmt.pixelformat);
            cap.width = static_cast<int32_t>(std::min<uint32_t>(w, 1u << 16));
            cap.height = static_cast<int32_t>(std::min<uint32_t>(h, 1u << 16));
            if (!intervalRange(fd, ioctlFn, context, fmt.pixelformat, w, h, cap.minIntervalHns,
                               cap.maxIntervalHns)) {
                cap.minIntervalHns = 0;
                cap.maxIntervalHns = 0;
            }
            caps.push_back(std::move(cap));
            if (size.type != V4L2_FRMSIZE_TYPE_DISCRETE) {
                break;  // one entry for a stepwise or continuous size range
            }
        }
    }
    return caps;
}

}  // namespace kxv4l2
