#include "FormatChoice.h"

namespace {

constexpr int kH264 = 1;
constexpr int kHevc = 2;
constexpr int kMjpeg = 4;

bool openable(const DC_VideoFormat& f) {
    return f.format == kH264 || f.format == kMjpeg;
}

bool qualifies(const DC_VideoFormat& f) {
    return f.height >= 720 && f.frameRate >= 29.97 - 0.01;
}

// Larger picture first, then the higher rate; the earlier entry wins a full tie.
bool better(const DC_VideoFormat& candidate, const DC_VideoFormat* best) {
    if (best == nullptr) {
        return true;
    }
    const long long area = static_cast<long long>(candidate.width) * candidate.height;
    const long long bestArea = static_cast<long long>(best->width) * best->height;
    if (area != bestArea) {
        return area > bestArea;
    }
    return candidate.frameRate > best->frameRate;
}

const DC_VideoFormat* largest(const std::list<DC_VideoFormat>& formats,
                              bool (*accept)(const DC_VideoFormat&)) {
    const DC_VideoFormat* best = nullptr;
    for (const DC_VideoFormat& f : formats) {
        if (accept(f) && better(f, best)) {
            best = &f;
        }
    }
    return best;
}

}  // namespace

const char* VexctlFormatName(int format) {
    switch (format) {
        case kH264:
            return "H.264";
        case kHevc:
            return "HEVC";
        case kMjpeg:
            return "MJPEG";
        default:
            return "other";
    }
}

bool VexctlChooseFormat(const std::list<DC_VideoFormat>& formats, const std::optional<int>& requested,
                        DC_VideoFormat& out, std::string& error) {
    if (requested) {
        for (const DC_VideoFormat& f : formats) {
            if (f.index != *requested) {
                continue;
            }
            if (!openable(f)) {
                error = "format " + std::to_string(*requested) + " is " + VexctlFormatName(f.format) +
                        ": only MJPEG and H.264 formats can be opened";
                return false;
            }
            out = f;
            return true;
        }
        error = "the camera has no format " + std::to_string(*requested) + " (see vexctl formats)";
        return false;
    }
    const DC_VideoFormat* chosen =
        largest(formats, [](const DC_VideoFormat& f) { return f.format == kH264 && qualifies(f); });
    if (chosen == nullptr) {
        chosen = largest(formats, [](const DC_VideoFormat& f) { return f.format == kMjpeg && qualifies(f); });
    }
    if (chosen == nullptr) {
        chosen = largest(formats, openable);
    }
    if (chosen == nullptr) {
        error = formats.empty() ? "the camera lists no video format"
                                : "the camera offers no MJPEG or H.264 format";
        return false;
    }
    out = *chosen;
    return true;
}
