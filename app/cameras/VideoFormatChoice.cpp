#include "VideoFormatChoice.h"

#include <QDebug>

namespace {

constexpr int32_t kH264 = 1;
constexpr int32_t kHevc = 2;
constexpr int32_t kMjpeg = 4;

bool qualifies(const DC_VideoFormat& f) {
    return f.height >= 720 && f.frameRate >= 30.0;
}

// One pass: the last qualifying format of `code` wins.
bool pass(const std::list<DC_VideoFormat>& formats, int32_t code, const char* label, bool withIndex,
          int32_t& index) {
    bool hit = false;
    for (const DC_VideoFormat& f : formats) {
        if (f.format != code)
            continue;
        if (withIndex)
            qDebug() << label << f.width << f.height << f.format << f.frameRate << f.index;
        else
            qDebug() << label << f.width << f.height << f.format << f.frameRate;
        if (qualifies(f)) {
            index = f.index;
            hit = true;
        }
    }
    return hit;
}

}  // namespace

VideoFormatChoice VideoFormatChoice::choose(const std::list<DC_VideoFormat>& formats) {
    VideoFormatChoice choice;
    if (pass(formats, kH264, "DC_Recv_H264 videoFormat:", true, choice.videoFormatIndex)) {
        choice.found = true;
        choice.hardwareDecoding = true;
        return choice;
    }
    if (pass(formats, kMjpeg, "DC_Recv_MJPEG videoFormat:", false, choice.videoFormatIndex)) {
        choice.found = true;
        choice.hardwareDecoding = false;
        return choice;
    }
    if (pass(formats, kHevc, "DC_Recv_HEVC videoFormat:", false, choice.videoFormatIndex)) {
        choice.found = true;
        choice.hardwareDecoding = true;
        return choice;
    }
    if (formats.empty()) {
        // Nothing to open: the receiver gets index 0 and fails to initialise, because
        // discovery found no device to name either.
        return choice;
    }
    // The receiver decodes H.264, HEVC and MJPEG only: an uncompressed format listed first
    // (uvcvideo lists YUYV first) would connect a camera that never shows a picture.
    const DC_VideoFormat* decodable = nullptr;
    for (const DC_VideoFormat& f : formats) {
        if (f.format == kH264 || f.format == kHevc || f.format == kMjpeg) {
            decodable = &f;
            break;
        }
    }
    const DC_VideoFormat& first = decodable != nullptr ? *decodable : formats.front();
    choice.found = true;
    choice.videoFormatIndex = first.index;
    choice.hardwareDecoding = first.format == kH264 || first.format == kHevc;
    return choice;
}
