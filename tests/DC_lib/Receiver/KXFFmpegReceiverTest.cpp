// Which packets start a new coded sequence (and so flush the queued video packets).

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <vector>

#include "LogCapture.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "Receiver/KXFFmpegReceiver.h"
#include "Receiver/PacketQueue.h"

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

namespace {

// Runs a stream reader over a loopback stream until its loop ends; answers the loop's result.
int readUntilTheEnd(const MediaStreamServer& server) {
    PacketQueue audio(16);
    PacketQueue video(1024);  // room for everything: the end mark must find a free slot
    PacketQueue recording(4);
    EXPECT_EQ(audio.open(), 0);
    EXPECT_EQ(video.open(), 0);
    EXPECT_EQ(recording.open(), 0);
    recording.abort();  // no recording
    KXFFmpegReceiver receiver(&audio, &video, &recording);
    AVFormatContext* context = avformat_alloc_context();
    KXNetInfo net;
    net.url = server.url();
    if (!receiver.openNetwork(&context, net)) {
        avformat_close_input(&context);
        ADD_FAILURE() << "the stream did not open";
        return 0;
    }
    const int result = receiver.run();
    avformat_close_input(&context);
    return result;
}

}  // namespace

// A peer that resets the connection is a transport error, not the end of the stream: the
// reader's loop takes the error path (-1) and never says "end of file" for it.
TEST(StreamReaderEnd, ResetConnectionIsAnErrorAndACleanCloseIsTheEnd) {
    MediaRecipe recipe;
    recipe.frames = 30;
    recipe.width = 160;
    recipe.height = 120;
    recipe.container = "nut";
    {
        MediaStreamServer::Options options;
        options.loop = true;
        options.resetAfterPackets = 45;  // after the stream analysis
        const auto server = MediaServe(recipe, options);
        ASSERT_TRUE(server);
        LogCapture log;
        EXPECT_EQ(readUntilTheEnd(*server), -1);
        EXPECT_FALSE(log.contains("Stream is the end of file."));
    }
    {
        MediaStreamServer::Options options;
        options.paced = false;
        const auto server = MediaServe(recipe, options);
        ASSERT_TRUE(server);
        LogCapture log;
        EXPECT_EQ(readUntilTheEnd(*server), AVERROR_EOF);
        EXPECT_TRUE(log.contains("Stream is the end of file."));
    }
}

// Every local input opens non-blocking, with or without a microphone beside it: a blocking
// capture node would keep the read thread (and stopPreview) waiting for a frame that a
// stalled camera never sends.
TEST(LocalInputOpen, CaptureNodesAndMicrophonesOpenNonBlockingWithTheirOptions) {
    using Options = std::vector<std::pair<std::string, std::string>>;
    const KXCaptureInput node{
        "video4linux2",
        "/dev/video2",
        {{"video_size", "1920x1080"}, {"framerate", "30.000000"}, {"input_format", "h264"}}};
    const KXInputOpen chosen = KXFFmpegReceiver::localVideoOpen(node, false);
    EXPECT_EQ(chosen.format, "video4linux2");
    EXPECT_EQ(chosen.url, "/dev/video2");
    EXPECT_NE(chosen.contextFlags & AVFMT_FLAG_NONBLOCK, 0);
    EXPECT_EQ(chosen.options, (Options{{"video_size", "1920x1080"},
                                       {"framerate", "30.000000"},
                                       {"input_format", "h264"},
                                       {"initial_timeout", "2000000"},
                                       {"buffer_size", "8192000"},
                                       {"rtbufsize", "2147.48M"},
                                       {"probesize", "32"}}));  // the format is known: one packet

    // The second attempt leaves the format to the device, and still never blocks.
    const KXInputOpen fallback = KXFFmpegReceiver::localVideoOpen(node, true);
    EXPECT_NE(fallback.contextFlags & AVFMT_FLAG_NONBLOCK, 0);
    EXPECT_EQ(fallback.options, (Options{{"initial_timeout", "2000000"},
                                         {"buffer_size", "8192000"},
                                         {"rtbufsize", "2147.48M"},
                                         {"probesize", "32"}}));

    const KXInputOpen microphone = KXFFmpegReceiver::localAudioOpen(
        {"alsa", "plughw:1,0", {{"sample_rate", "16000"}, {"channels", "1"}}});
    EXPECT_EQ(microphone.format, "alsa");
    EXPECT_EQ(microphone.url, "plughw:1,0");
    EXPECT_NE(microphone.contextFlags & AVFMT_FLAG_NONBLOCK, 0);
    EXPECT_EQ(microphone.options, (Options{{"sample_rate", "16000"}, {"channels", "1"}}));
}

// What a failed open tells the application: only a node another program streams may be
// waited for, only a refused user needs to be told to fix rights; a missing device, garbage
// or a timeout are neither (libavformat's own error tags are negative but no errno).
TEST(OpenFailureReason, BusyAndPermissionErrorsAreToldApartFromEveryOtherResult) {
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(0), KXOpenFailure::None);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR(EBUSY)), KXOpenFailure::Busy);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR(EACCES)), KXOpenFailure::NoPermission);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR(EPERM)), KXOpenFailure::NoPermission);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR(ENOENT)), KXOpenFailure::Other);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR(ENODEV)), KXOpenFailure::Other);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR_INVALIDDATA), KXOpenFailure::Other);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR_EXIT), KXOpenFailure::Other);
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(AVERROR_EOF), KXOpenFailure::Other);
    // A positive errno is no libavformat result: the sign matters.
    EXPECT_EQ(KXFFmpegReceiver::openFailureFor(EBUSY), KXOpenFailure::None);
}
