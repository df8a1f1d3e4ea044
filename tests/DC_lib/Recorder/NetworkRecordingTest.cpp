// Recording a network source (kind 1): the receiver's packet copies are written without
// decoding into the container the file name asks for. The streams are generated at test time
// (H.264 + AAC in MPEG-TS, or in NUT where the test is about something else than the
// transport stream and should not wait for its long analysis) and served over loopback TCP in
// real time.

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <string>

#include "MediaFileReader.h"
#include "MediaGenerator.h"
#include "MediaStreamServer.h"
#include "MediaTestSupport.h"
#include "vexsdk.h"

namespace {

MediaRecipe tsRecipe(int frames) {
    MediaRecipe recipe;
    recipe.video = MediaVideo::H264;
    recipe.container = "mpegts";
    recipe.width = 320;
    recipe.height = 240;
    recipe.frames = frames;
    recipe.gop = 15;
    recipe.withAudio = true;
    return recipe;
}

// The same streams in NUT, which a receiver opens at once (no five-second analysis).
MediaRecipe nutRecipe() {
    MediaRecipe recipe = tsRecipe(60);
    recipe.container = "nut";
    return recipe;
}

// Waits until the receiver hands out a frame (its stream runs), taking it.
bool waitForPicture(DC_Recv& recv) {
    return MediaWaitFor(
        [&] {
            DC_Video_Frame frame{};
            if (recv.captureVideo(&frame, 20) != DC_ERROR_NONE) {
                return false;
            }
            recv.freeVideo(&frame);
            return true;
        },
        kMediaWaitMs);
}

// Takes frames until the receiver reports the end of its stream.
bool waitForStreamEnd(DC_Recv& recv) {
    return MediaWaitFor(
        [&] {
            DC_Video_Frame frame{};
            const DC_Error_Type result = recv.captureVideo(&frame, 20);
            if (result == DC_ERROR_NONE) {
                recv.freeVideo(&frame);
            }
            return result == DC_ERROR_NOT_RUNNING;
        },
        kMediaWaitMs);
}

// True when `recorded` ends with the last NAL unit of `sent` (an Annex B access unit).
bool endsWithLastUnitOf(const std::vector<uint8_t>& recorded, const std::vector<uint8_t>& sent) {
    size_t start = 0;
    for (size_t i = 0; i + 3 <= sent.size(); ++i) {
        if (sent[i] == 0 && sent[i + 1] == 0 && sent[i + 2] == 1) {
            start = i + 3;
        }
    }
    const size_t length = sent.size() - start;
    return length > 0 && recorded.size() >= length &&
           std::equal(sent.begin() + static_cast<ptrdiff_t>(start), sent.end(), recorded.end() - length);
}

void expectIncreasingDts(const MediaFileStream& stream) {
    for (size_t i = 1; i < stream.packets.size(); ++i) {
        ASSERT_GT(stream.packets[i].dts, stream.packets[i - 1].dts) << "packet " << i;
    }
}

class NetworkRecordingTest : public ::testing::Test {
protected:
    void serve(const MediaRecipe& recipe, bool loop) {
        _clip = std::make_shared<MediaClip>(recipe);
        ASSERT_TRUE(_clip->ok());
        MediaStreamServer::Options options;
        options.loop = loop;
        _server = std::make_unique<MediaStreamServer>(_clip, options);
        ASSERT_TRUE(_server->ok());
        _url = std::make_unique<MediaSourceText>(_server->url());
        _recv = std::make_unique<DC_Recv>(MediaNetworkFormats(*_url));
        _recv->setIsEnableDXAV2Decode(false);
        ASSERT_TRUE(_recv->initialize(nullptr));
    }

    MediaTempFolder _folder;
    std::shared_ptr<MediaClip> _clip;
    std::unique_ptr<MediaStreamServer> _server;
    std::unique_ptr<MediaSourceText> _url;
    std::unique_ptr<DC_Recv> _recv;
};

}  // namespace

// From the next key frame on, every packet the server sent reaches the file, the file stays
// complete when the preview is stopped before the recording, and a second start while
// recording is refused. (A transport stream is analysed for about five seconds before its
// pictures flow: the stream lasts ten.)
TEST_F(NetworkRecordingTest, RecordsEveryPacketFromTheNextKeyFrameToTheEndOfTheStream) {
    serve(tsRecipe(300), false);
    _recv->startPreview(nullptr);
    ASSERT_TRUE(waitForPicture(*_recv));
    ASSERT_TRUE(_recv->recordingStart(_folder.path().c_str(), "network.mp4", true));
    EXPECT_FALSE(_recv->recordingStart(_folder.path().c_str(), "second.mp4", true));
    EXPECT_FALSE(std::filesystem::exists(_folder.file("second.mp4")));
    ASSERT_TRUE(waitForStreamEnd(*_recv));
    _recv->stopPreview();
    EXPECT_TRUE(_recv->recordingStop());

    const MediaFile file = MediaReadFile(_folder.file("network.mp4"), true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    const MediaFileStream* audio = file.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(video, nullptr);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(video->codec, AV_CODEC_ID_H264);
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    ASSERT_GE(video->packets.size(), 30u) << "audio packets: " << audio->packets.size();
    EXPECT_TRUE(video->packets.front().key);
    EXPECT_EQ(video->packets.front().pts, 0);
    EXPECT_EQ(video->packets.front().dts, 0);
    expectIncreasingDts(*video);

    // Which key frame the recording began at: the generated packets are all different. (The
    // file holds them length-prefixed, the stream with start codes: their last units compare.)
    std::vector<const MediaPacket*> sent;
    for (const MediaPacket& p : _clip->packets()) {
        if (p.stream == 0) {
            sent.push_back(&p);
        }
    }
    size_t start = sent.size();
    for (size_t i = 0; i < sent.size(); ++i) {
        if (endsWithLastUnitOf(video->packets.front().data, sent[i]->data)) {
            start = i;
            break;
        }
    }
    ASSERT_LT(start, sent.size());
    EXPECT_TRUE(sent[start]->key);
    EXPECT_EQ(video->packets.size(), sent.size() - start);
    EXPECT_EQ(video->decodedFrames, static_cast<int>(video->packets.size()));
    EXPECT_EQ(video->decodeErrors, 0);

    // The audio is the AAC the server sent, decodable, over the same span as the pictures.
    EXPECT_EQ(audio->codec, AV_CODEC_ID_AAC);
    EXPECT_EQ(audio->extradataSize, 2);
    EXPECT_EQ(audio->decodeErrors, 0);
    EXPECT_GT(audio->decodedFrames, 0);
    EXPECT_NEAR(audio->seconds(), video->seconds(), 0.3);
}

TEST_F(NetworkRecordingTest, StartNeedsARunningReceiverAndStopWithoutARecordingDoesNothing) {
    serve(nutRecipe(), true);
    LogCapture log;
    EXPECT_TRUE(_recv->recordingStop());                                             // nothing to stop
    EXPECT_FALSE(_recv->recordingStart(_folder.path().c_str(), "early.mp4", true));  // never started

    _recv->startPreview(nullptr);
    ASSERT_TRUE(waitForPicture(*_recv));
    // A container nobody knows and a folder that does not exist fail, leaving the receiver as
    // it was.
    EXPECT_FALSE(_recv->recordingStart(_folder.path().c_str(), "clip.unknownext", true));
    EXPECT_TRUE(log.contains("Couldn't create AVOutputFormat for recording."));
    EXPECT_FALSE(_recv->recordingStart((_folder.path() + "/missing").c_str(), "clip.mp4", true));
    EXPECT_TRUE(log.contains("Couldn't open the file."));
    EXPECT_FALSE(_recv->recordingStart(nullptr, "clip.mp4", true));
    EXPECT_FALSE(_recv->recordingStart(_folder.path().c_str(), nullptr, true));
    EXPECT_TRUE(waitForPicture(*_recv));

    _recv->stopPreview();
    EXPECT_FALSE(_recv->recordingStart(_folder.path().c_str(), "stopped.mp4", true));
    EXPECT_TRUE(_recv->recordingStop());
    EXPECT_TRUE(std::filesystem::is_empty(_folder.path()));
}

// B-frames: pictures are presented after later ones are decoded. The copies are rebased on the
// key frame's decode time, so no packet is presented before it is decoded (which the muxer
// would refuse): every picture reaches the file and the whole file decodes.
TEST_F(NetworkRecordingTest, StreamWithBFramesIsRecordedWhole) {
    MediaRecipe recipe = tsRecipe(60);
    recipe.container = "nut";  // opens without a long analysis
    recipe.bFrames = 2;
    serve(recipe, true);
    LogCapture log;
    _recv->startPreview(nullptr);
    ASSERT_TRUE(waitForPicture(*_recv));
    ASSERT_TRUE(_recv->recordingStart(_folder.path().c_str(), "bframes.mkv", true));
    const int sent = _server->videoPacketsSent();
    ASSERT_TRUE(MediaWaitFor([&] { return _server->videoPacketsSent() >= sent + 45; }, kMediaWaitMs));
    EXPECT_TRUE(_recv->recordingStop());
    EXPECT_FALSE(log.contains("refused"));

    const MediaFile file = MediaReadFile(_folder.file("bframes.mkv"), true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    ASSERT_GE(video->packets.size(), 30u);
    EXPECT_TRUE(video->packets.front().key);
    bool reordered = false;
    for (size_t i = 0; i < video->packets.size(); ++i) {
        EXPECT_GE(video->packets[i].pts, 0) << "packet " << i;
        reordered = reordered || (i > 0 && video->packets[i].pts < video->packets[i - 1].pts);
    }
    EXPECT_TRUE(reordered);  // the stream really has B-frames
    EXPECT_EQ(video->decodedFrames, static_cast<int>(video->packets.size()));
    EXPECT_EQ(video->decodeErrors, 0);
    const MediaFileStream* audio = file.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->decodeErrors, 0);
    EXPECT_GT(audio->decodedFrames, 0);
}

// A recording goes on across a stop and start of the preview: the new stream's copies start
// again at 0 and continue the file's timeline instead of ending the recording; the recorder
// never touches the input the stop closed.
TEST_F(NetworkRecordingTest, RecordingGoesOnAcrossARestartOfThePreview) {
    serve(nutRecipe(), true);
    _recv->startPreview(nullptr);
    ASSERT_TRUE(waitForPicture(*_recv));
    ASSERT_TRUE(_recv->recordingStart(_folder.path().c_str(), "restart.mp4", true));
    const int before = _server->videoPacketsSent();
    ASSERT_TRUE(MediaWaitFor([&] { return _server->videoPacketsSent() >= before + 30; }, kMediaWaitMs));
    _recv->stopPreview();
    _recv->startPreview(nullptr);
    ASSERT_TRUE(_server->waitForConnections(2, kMediaWaitMs));
    ASSERT_TRUE(waitForPicture(*_recv));
    const int after = _server->videoPacketsSent();
    ASSERT_TRUE(MediaWaitFor([&] { return _server->videoPacketsSent() >= after + 30; }, kMediaWaitMs));
    EXPECT_TRUE(_recv->recordingStop());
    _recv->stopPreview();

    const MediaFile file = MediaReadFile(_folder.file("restart.mp4"), true);
    ASSERT_TRUE(file.opened);
    const MediaFileStream* video = file.first(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_GE(video->packets.size(), 40u);  // pictures of both runs of the preview
    expectIncreasingDts(*video);
    EXPECT_EQ(video->decodeErrors, 0);
    const MediaFileStream* audio = file.first(AVMEDIA_TYPE_AUDIO);
    ASSERT_NE(audio, nullptr);
    expectIncreasingDts(*audio);
}

// A file that cannot be written any further (here: the process's file size limit) ends the
// recording; the next stop says so instead of reporting success, and the file keeps what was
// written.
TEST_F(NetworkRecordingTest, WriteErrorEndsTheRecordingAndStopReportsIt) {
    serve(nutRecipe(), true);
    LogCapture log;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);

    _recv->startPreview(nullptr);
    EXPECT_TRUE(waitForPicture(*_recv));
    EXPECT_TRUE(_recv->recordingStart(_folder.path().c_str(), "full.mp4", true));
    EXPECT_TRUE(MediaWaitFor([&] { return log.contains("Couldn't write a packet to the output file."); },
                             kMediaWaitMs));
    EXPECT_FALSE(_recv->recordingStop());
    EXPECT_TRUE(log.contains("There is an error(code:"));
    EXPECT_TRUE(log.contains("recordingStop: the recording ended early"));
    EXPECT_TRUE(log.contains("File too large"));
    EXPECT_TRUE(_recv->recordingStop());  // that recording is over

    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    _recv->stopPreview();
    EXPECT_LE(std::filesystem::file_size(_folder.file("full.mp4")), limited.rlim_cur);
    const MediaFile file = MediaReadFile(_folder.file("full.mp4"));
    EXPECT_TRUE(file.opened);
}
