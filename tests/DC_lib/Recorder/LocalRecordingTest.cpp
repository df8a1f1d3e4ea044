// Recording a local camera (kind 0) on the simulated backend: the decoded pictures are encoded
// to H.264 (and the microphone's sound to AAC) into an MP4 file. The simulated camera's MJPEG
// capability streams a generated clip in real time from a loopback server.

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "MediaFileReader.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "Receiver/ReceiverCore.h"
#include "SimLocalCamera.h"
#include "vexsdk.h"

namespace {

class LocalRecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(_camera.serve(SimLocalCamera::mjpegRecipe(320, 240)));
        _camera.plug();
        _camera.useBackend();
    }

    DC_CaptureFormats discover() {
        DC_CaptureFormats formats = _camera.discover();
        EXPECT_EQ(formats.videoFormatList.size(), 1u);
        return formats;
    }

    // Records `seconds` of the camera's stream (counted at the server); answers the wall time
    // from the start to the stop of the recording.
    double record(ReceiverCore& core, const std::string& name, bool withAudio, double seconds) {
        EXPECT_TRUE(
            MediaWaitFor([&] { return core.captureVideo(nullptr, 20) == DC_ERROR_NONE; }, kMediaWaitMs));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(core.recordingStart(_folder.path().c_str(), name.c_str(), withAudio));
        const double from = _camera.stream().lastVideoPtsSent();
        EXPECT_TRUE(MediaWaitFor(
            [&] {
                core.captureVideo(nullptr, 5);  // keep the preview drained, as a host program does
                return _camera.stream().lastVideoPtsSent() >= from + seconds;
            },
            kMediaWaitMs));
        const int64_t framesBefore = framesOffered(core);
        EXPECT_TRUE(core.recordingStop());
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GT(framesBefore, 0);
        return wall;
    }

    static int64_t framesOffered(ReceiverCore& core) {
        int64_t offered = 0;
        int64_t dropped = 0;
        core.recordingFrameCounts(&offered, &dropped);
        EXPECT_EQ(dropped, 0);
        return offered;
    }

    SimLocalCamera _camera;
    MediaTempFolder _folder;
};

}  // namespace

// Every picture the camera delivered while recording is in the file, timed at the camera's
// rate: the frame count matches the file's length, and the length the time recorded.
TEST_F(LocalRecordingTest, RecordsTheCamerasPicturesAsH264AtItsSizeAndRate) {
    ReceiverCore core(discover());
    ASSERT_TRUE(core.initialize(nullptr));
    core.startPreview(nullptr);
    const double wall = record(core, "camera.mp4", false, 4.0);
    int64_t offered = 0;
    int64_t dropped = 0;
    core.recordingFrameCounts(&offered, &dropped);
    core.stopPreview();

    const MediaFile file = MediaReadFile(_folder.file("camera.mp4"), true);
    ASSERT_TRUE(file.opened);
    EXPECT_EQ(file.first(AVMEDIA_TYPE_AUDIO), nullptr);  // the camera has no microphone
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->codec, AV_CODEC_ID_H264);
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_EQ(video->colorRange, AVCOL_RANGE_JPEG);  // the camera's JPEG levels are kept
    const double frames = static_cast<double>(video->packets.size());
    // None lost on the way (a picture decoded while the stop was under way may come last).
    EXPECT_NEAR(frames, static_cast<double>(offered), 1.0);
    EXPECT_EQ(dropped, 0);
    EXPECT_EQ(video->decodedFrames, static_cast<int>(video->packets.size()));
    // Frames and length agree at the camera's 30 per second, within 2 %.
    EXPECT_NEAR(frames, video->seconds() * 30.0, frames * 0.02);
    EXPECT_NEAR(av_q2d(video->averageFrameRate), 30.0, 0.6);
    // The length is the time that was recorded (a rate taken wrongly would stretch it).
    EXPECT_NEAR(video->seconds(), wall, wall * 0.1);
    // A key frame every second, not every picture (the camera's pictures are all key frames).
    int keys = 0;
    for (const MediaFilePacket& p : video->packets) {
        keys += p.key ? 1 : 0;
    }
    EXPECT_GE(keys, 3);
    EXPECT_LE(keys, static_cast<int>(video->seconds()) + 2);
}

TEST_F(LocalRecordingTest, WithAudioTheMicrophoneIsRecordedAsAacAndWithoutItNothingIsQueued) {
    ASSERT_TRUE(_camera.addMicrophone());
    ReceiverCore core(discover());
    ASSERT_TRUE(core.initialize(nullptr));
    core.startPreview(nullptr);
    record(core, "with.mp4", true, 2.0);

    LogCapture log;
    record(core, "without.mp4", false, 2.0);
    // Without a recording that takes them, no audio frames are queued for it.
    EXPECT_FALSE(log.contains("aac failed to put the frame into recordingQueue"));
    core.stopPreview();

    const MediaFile with = MediaReadFile(_folder.file("with.mp4"), true);
    ASSERT_TRUE(with.opened);
    const MediaFileStream* video = with.first(AVMEDIA_TYPE_VIDEO);
    const MediaFileStream* audio = with.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->codec, AV_CODEC_ID_AAC);
    EXPECT_EQ(audio->sampleRate, 48000);
    EXPECT_EQ(audio->channels, 2);
    EXPECT_EQ(audio->decodeErrors, 0);
    EXPECT_GT(audio->decodedFrames, 0);

    const MediaFile without = MediaReadFile(_folder.file("without.mp4"));
    ASSERT_TRUE(without.opened);
    EXPECT_NE(without.first(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_EQ(without.first(AVMEDIA_TYPE_AUDIO), nullptr);
}

// The public calls on a local camera, and a preview restart while recording: the recording
// goes on with the pictures of the new run.
TEST_F(LocalRecordingTest, RecordingGoesOnAcrossARestartOfThePreview) {
    DC_Recv recv(discover());
    ASSERT_TRUE(recv.initialize(nullptr));
    EXPECT_FALSE(recv.recordingStart(_folder.path().c_str(), "early.mp4", false));
    recv.startPreview(nullptr);
    ASSERT_TRUE(MediaWaitFor([&] { return recv.captureVideo(nullptr, 20) == DC_ERROR_NONE; }, kMediaWaitMs));
    ASSERT_TRUE(recv.recordingStart(_folder.path().c_str(), "restart.mp4", false));
    EXPECT_FALSE(recv.recordingStart(_folder.path().c_str(), "second.mp4", false));
    const int first = _camera.stream().videoPacketsSent();
    ASSERT_TRUE(
        MediaWaitFor([&] { return _camera.stream().videoPacketsSent() >= first + 20; }, kMediaWaitMs));
    recv.stopPreview();
    recv.startPreview(nullptr);
    ASSERT_TRUE(_camera.stream().waitForConnections(2, kMediaWaitMs));
    ASSERT_TRUE(MediaWaitFor([&] { return recv.captureVideo(nullptr, 20) == DC_ERROR_NONE; }, kMediaWaitMs));
    const int second = _camera.stream().videoPacketsSent();
    ASSERT_TRUE(
        MediaWaitFor([&] { return _camera.stream().videoPacketsSent() >= second + 20; }, kMediaWaitMs));
    EXPECT_TRUE(recv.recordingStop());
    recv.stopPreview();

    const MediaFile file = MediaReadFile(_folder.file("restart.mp4"), true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_GE(video->packets.size(), 30u);
    EXPECT_EQ(video->decodedFrames, static_cast<int>(video->packets.size()));
    EXPECT_EQ(video->decodeErrors, 0);
}
