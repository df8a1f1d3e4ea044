// Which packets start a new coded sequence (and so flush the queued video packets).

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "Receiver/KXFFmpegReceiver.h"

namespace {

bool starts(AVCodecID codec, std::vector<uint8_t> bytes) {
    AVPacket* packet = av_packet_alloc();
    if (!bytes.empty()) {
        av_new_packet(packet, static_cast<int>(bytes.size()));
        std::copy(bytes.begin(), bytes.end(), packet->data);
    }
    bool result = KXFFmpegReceiver::startsNewSequence(codec, packet);
    av_packet_free(&packet);
    return result;
}

}  // namespace

TEST(NewCodedSequence, OnlyAnH264SequenceParameterSetAfterAFourByteStartCode) {
    EXPECT_TRUE(starts(AV_CODEC_ID_H264, {0, 0, 0, 1, 0x67, 0x42}));
    EXPECT_TRUE(starts(AV_CODEC_ID_H264, {0, 0, 0, 1, 0x27}));         // nal_ref_idc 1, still an SPS
    EXPECT_FALSE(starts(AV_CODEC_ID_H264, {0, 0, 0, 1, 0x09, 0xF0}));  // access unit delimiter
    EXPECT_FALSE(starts(AV_CODEC_ID_H264, {0, 0, 0, 1, 0x65}));        // IDR slice
    // Too short to hold a fifth byte: never read past the packet.
    EXPECT_FALSE(starts(AV_CODEC_ID_H264, {0, 0, 0, 1}));
    EXPECT_FALSE(starts(AV_CODEC_ID_H264, {}));
    // Other codecs are never taken for a sequence start, whatever their fifth byte.
    EXPECT_FALSE(starts(AV_CODEC_ID_MJPEG, {0xFF, 0xD8, 0xFF, 0xE0, 0x67}));
    EXPECT_FALSE(starts(AV_CODEC_ID_HEVC, {0, 0, 0, 1, 0x67}));
    EXPECT_FALSE(starts(AV_CODEC_ID_RAWVIDEO, {0, 0, 0, 1, 0x07}));
}
