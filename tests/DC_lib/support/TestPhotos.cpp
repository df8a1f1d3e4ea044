#include "TestPhotos.h"

#include <fstream>
#include <iterator>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

std::string TestPhotoPath(const std::string& name) {
    return std::string(VEX_TEST_PHOTO_DIR) + "/" + name;
}

std::string TestModelFolder() {
    return VEX_TEST_MODEL_DIR;
}

TestFramePtr TestPhotoFrame(const std::string& name, int width, int height, AVPixelFormat format) {
    std::ifstream file(TestPhotoPath(name), std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (bytes.empty()) {
        return nullptr;
    }
    av_log_set_level(AV_LOG_ERROR);  // swscale's note about the full-range "J" formats
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* decoder = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    AVPacket* packet = av_packet_alloc();
    TestFramePtr decoded(av_frame_alloc());
    TestFramePtr scaled;
    if (decoder != nullptr && packet != nullptr && decoded && avcodec_open2(decoder, codec, nullptr) == 0 &&
        av_new_packet(packet, static_cast<int>(bytes.size())) == 0) {
        std::copy(bytes.begin(), bytes.end(), packet->data);
        if (avcodec_send_packet(decoder, packet) == 0 && avcodec_send_packet(decoder, nullptr) == 0 &&
            avcodec_receive_frame(decoder, decoded.get()) == 0) {
            scaled.reset(av_frame_alloc());
            scaled->format = format;
            scaled->width = width;
            scaled->height = height;
            SwsContext* sws =
                sws_getContext(decoded->width, decoded->height, static_cast<AVPixelFormat>(decoded->format),
                               width, height, format, SWS_BICUBIC, nullptr, nullptr, nullptr);
            const bool ok = sws != nullptr && av_frame_get_buffer(scaled.get(), 0) == 0 &&
                            sws_scale(sws, decoded->data, decoded->linesize, 0, decoded->height, scaled->data,
                                      scaled->linesize) == height;
            sws_freeContext(sws);
            if (!ok) {
                scaled.reset();
            }
        }
    }
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
    return scaled;
}
