// The encoding recorder on its own: decoded frames put straight into its queues, as the
// decoders put them, and the file read back. Covers the timing rules (frame duration from the
// stream's rate, timestamps in the stream's time base, a clock that restarts, a picture
// without a timestamp, sound missing from the microphone's timeline), the picture layouts a
// camera delivers, and a key frame every second whatever the decoded pictures' types.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "MediaFileReader.h"
#include "MediaTestSupport.h"
#include "Receiver/FrameQueue.h"
#include "Recorder/KXFFmpegEncodeRecorder.h"

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
constexpr int kRate = 48000;
const AVRational kVideoTimeBase{1, 1200000};  // a bare JPEG stream's time base
constexpr int64_t kTicksPerFrame = 40000;     // 1/30 s in it

// The streams a local camera's input context describes: MJPEG pictures at 30 per second and a
// 48 kHz stereo microphone.
class Inputs {
public:
    Inputs() {
        _video = avformat_alloc_context();
        AVStream* v = avformat_new_stream(_video, nullptr);
        v->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        v->codecpar->codec_id = AV_CODEC_ID_MJPEG;
        v->codecpar->width = kWidth;
        v->codecpar->height = kHeight;
        v->time_base = kVideoTimeBase;
        v->avg_frame_rate = AVRational{30, 1};
        _audio = avformat_alloc_context();
        AVStream* a = avformat_new_stream(_audio, nullptr);
        a->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        a->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
        a->codecpar->sample_rate = kRate;
        av_channel_layout_default(&a->codecpar->ch_layout, 2);
        a->time_base = AVRational{1, kRate};
    }
    ~Inputs() {
        avformat_free_context(_video);
        avformat_free_context(_audio);
    }
    AVFormatContext* video() const { return _video; }
    AVFormatContext* audio() const { return _audio; }

private:
    AVFormatContext* _video = nullptr;
    AVFormatContext* _audio = nullptr;
};

// A decoded camera picture: full-range 4:2:2, an intra picture as every JPEG is; its left
// half dark, its right half bright.
AVFrame* picture(int64_t pts) {
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_PIX_FMT_YUVJ422P;
    frame->width = kWidth;
    frame->height = kHeight;
    av_frame_get_buffer(frame, 0);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            frame->data[0][y * frame->linesize[0] + x] = x < kWidth / 2 ? 16 : 240;
        }
        for (int x = 0; x < kWidth / 2; ++x) {
            frame->data[1][y * frame->linesize[1] + x] = 128;
            frame->data[2][y * frame->linesize[2] + x] = 128;
        }
    }
    frame->pts = pts;
    frame->pict_type = AV_PICTURE_TYPE_I;
    frame->key_frame = 1;
    return frame;
}

// 1024 samples of interleaved signed 16-bit stereo, as the microphone's decoder gives them.
AVFrame* sound(int64_t pts) {
    AVFrame* frame = av_frame_alloc();
    frame->format = AV_SAMPLE_FMT_S16;
    frame->sample_rate = kRate;
    frame->nb_samples = 1024;
    av_channel_layout_default(&frame->ch_layout, 2);
    av_frame_get_buffer(frame, 0);
    auto* samples = reinterpret_cast<int16_t*>(frame->data[0]);
    for (int i = 0; i < 2048; ++i) {
        samples[i] = static_cast<int16_t>((i * 37) % 2000 - 1000);
    }
    frame->pts = pts;
    return frame;
}

class EncodeRecorderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(_videoQueue.open(), 0);
        ASSERT_EQ(_audioQueue.open(), 0);
    }

    // Puts a frame as a decoder does, waiting for room while the recorder catches up.
    static void put(FrameQueue& queue, AVFrame* frame) {
        EXPECT_TRUE(queue.put(frame, 0.0, 0.0, 5000));
        av_frame_free(&frame);
    }

    // Runs the recorder while `feed` puts frames, then stops it: what is still queued at the
    // stop is written too. Answers run()'s result.
    int record(KXFFmpegEncodeRecorder& recorder, const std::function<void()>& feed) {
        int result = 1;
        std::thread thread([&] { result = recordInThread(&recorder); });
        feed();
        recorder.requestStop();
        thread.join();
        EXPECT_EQ(recorder.close(), 0);
        return result;
    }

    FrameQueue _videoQueue{30};
    FrameQueue _audioQueue{30};
    Inputs _inputs;
    MediaTempFolder _folder;
};

}  // namespace

TEST_F(EncodeRecorderTest, PicturesAndSoundKeepTheirTimelinesAtTheStreamsRate) {
    KXFFmpegEncodeRecorder recorder(&_videoQueue, &_audioQueue, _inputs.video(), 0, _inputs.audio(), 0,
                                    false);
    ASSERT_EQ(recorder.init(_folder.path().c_str(), "timing.mp4"), 0);
    const int64_t start = 987654321;  // the capture clock does not start at 0
    const int result = record(recorder, [&] {
        for (int i = 0; i < 90; ++i) {  // three seconds
            // One picture comes without a timestamp: it follows the previous one.
            put(_videoQueue, picture(i == 45 ? AV_NOPTS_VALUE : start + i * kTicksPerFrame));
        }
        // Three seconds of sound, of which the queue could not take one frame (number 50).
        for (int i = 0; i < 141; ++i) {
            if (i != 50) {
                put(_audioQueue, sound(5000 + i * 1024));
            }
        }
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(recorder.videoFramesEncoded(), 90);

    const MediaFile file = MediaReadFile(_folder.file("timing.mp4"), true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    const MediaFileStream* audio = file.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(video->codec, AV_CODEC_ID_H264);
    EXPECT_EQ(video->width, kWidth);
    EXPECT_EQ(video->height, kHeight);
    EXPECT_EQ(video->colorRange, AVCOL_RANGE_JPEG);
    ASSERT_EQ(video->packets.size(), 90u);
    EXPECT_EQ(video->decodedFrames, 90);
    // 30 pictures a second, each lasting 1/30 s: three seconds.
    EXPECT_NEAR(video->seconds(), 3.0, 1e-3);
    EXPECT_NEAR(av_q2d(video->averageFrameRate), 30.0, 0.01);
    for (int64_t step : video->presentationSteps()) {
        EXPECT_NEAR(static_cast<double>(step) * av_q2d(video->timeBase), 1.0 / 30, 1e-4);
    }
    // A key frame every second, although every decoded picture was an intra picture.
    int keys = 0;
    for (const MediaFilePacket& p : video->packets) {
        keys += p.key ? 1 : 0;
    }
    EXPECT_GE(keys, 3);
    EXPECT_LE(keys, 4);
    // The sound lasts as long as the pictures: the frame that never came is silence, not a
    // shift of everything after it.
    EXPECT_EQ(audio->codec, AV_CODEC_ID_AAC);
    EXPECT_EQ(audio->decodeErrors, 0);
    // 141 frames' worth of samples (the missing one as silence) and the encoder's last frame.
    EXPECT_EQ(audio->packets.size(), 142u);
    EXPECT_EQ(audio->decodedFrames, 142);
    EXPECT_NEAR(audio->seconds(), video->seconds(), 0.1);
}

// A capture clock that starts over (a restarted stream) continues the file's timeline instead
// of being refused; the pictures after it are all there.
TEST_F(EncodeRecorderTest, AClockThatStartsOverContinuesTheTimeline) {
    KXFFmpegEncodeRecorder recorder(&_videoQueue, &_audioQueue, _inputs.video(), 0, _inputs.audio(), -1,
                                    false);
    ASSERT_EQ(recorder.init(_folder.path().c_str(), "restart.mkv"), 0);
    const int result = record(recorder, [&] {
        for (int i = 0; i < 30; ++i) {
            put(_videoQueue, picture(1000000 + i * kTicksPerFrame));
        }
        for (int i = 0; i < 30; ++i) {
            put(_videoQueue, picture(i * kTicksPerFrame));
        }
    });
    EXPECT_EQ(result, 0);
    const MediaFile file = MediaReadFile(_folder.file("restart.mkv"), true);
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO), nullptr);  // no audio stream was asked for
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->packets.size(), 60u);
    EXPECT_EQ(video->decodedFrames, 60);
    EXPECT_NEAR(video->seconds(), 2.0, 0.01);
}

// Pictures of another size than the stream's (and NV12, as the hardware decoder delivers) are
// converted to what the encoder was opened with.
TEST_F(EncodeRecorderTest, PicturesOfAnotherLayoutOrSizeAreConverted) {
    KXFFmpegEncodeRecorder recorder(&_videoQueue, &_audioQueue, _inputs.video(), 0, _inputs.audio(), -1,
                                    false);
    ASSERT_EQ(recorder.init(_folder.path().c_str(), "layouts.mp4"), 0);
    const int result = record(recorder, [&] {
        for (int i = 0; i < 20; ++i) {
            AVFrame* frame = av_frame_alloc();
            frame->format = i % 2 == 0 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_YUV420P;
            frame->width = i < 10 ? kWidth : 640;
            frame->height = i < 10 ? kHeight : 480;
            av_frame_get_buffer(frame, 0);
            av_frame_make_writable(frame);
            for (int plane = 0; plane < 3 && frame->data[plane] != nullptr; ++plane) {
                const int rows = plane == 0 ? frame->height : frame->height / 2;
                std::memset(frame->data[plane], 128, static_cast<size_t>(frame->linesize[plane]) * rows);
            }
            frame->pts = i * kTicksPerFrame;
            put(_videoQueue, frame);
        }
    });
    EXPECT_EQ(result, 0);
    const MediaFile file = MediaReadFile(_folder.file("layouts.mp4"), true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->width, kWidth);
    EXPECT_EQ(video->packets.size(), 20u);
    EXPECT_EQ(video->decodedFrames, 20);
}

TEST_F(EncodeRecorderTest, InitFailsWithoutStreamsOrWithAFileNameNoContainerHas) {
    KXFFmpegEncodeRecorder none(&_videoQueue, &_audioQueue, _inputs.video(), -1, _inputs.audio(), -1, false);
    EXPECT_EQ(none.init(_folder.path().c_str(), "none.mp4"), -1);
    KXFFmpegEncodeRecorder outOfRange(&_videoQueue, &_audioQueue, _inputs.video(), 7, _inputs.audio(), 3,
                                      false);
    EXPECT_EQ(outOfRange.init(_folder.path().c_str(), "range.mp4"), -1);
    KXFFmpegEncodeRecorder unknown(&_videoQueue, &_audioQueue, _inputs.video(), 0, _inputs.audio(), 0, false);
    EXPECT_EQ(unknown.init(_folder.path().c_str(), "clip.nosuchcontainer"), -1);
    EXPECT_EQ(unknown.init(_folder.path().c_str(), ""), -1);
    EXPECT_TRUE(std::filesystem::is_empty(_folder.path()));
}
