// Turning digital zoom on and off on a receiver: the flag reaches a running video decoder and
// a decoder started later, and turning it off resets the zoom window whether or not the
// receiver runs.

#include "LogCapture.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "MediaTestSupport.h"
#include "Receiver/ReceiverCore.h"
#include "Receiver/ZoomProcessor.h"
#include "SimLocalCamera.h"
#include "vexsdk.h"

namespace {

class DigitalZoomTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(_camera.serve(SimLocalCamera::mjpegRecipe(160, 120)));
        _camera.plug();
        _camera.useBackend();
        _formats = _camera.discover();
        ASSERT_EQ(_formats.videoFormatList.size(), 1u);
    }

    SimLocalCamera _camera;
    DC_CaptureFormats _formats;
};

ZoomProcessor::State zoomedIn() {
    ZoomProcessor::State s;
    s.ratioIndex = 40;
    s.currentRatio = 3.0f;
    s.panX = 120;
    s.panY = -60;
    s.command = 1;
    return s;
}

}  // namespace

TEST_F(DigitalZoomTest, FlagReachesTheRunningDecoderAndTheNextStart) {
    ReceiverCore core(_formats);
    ASSERT_TRUE(core.initialize(nullptr));
    core.setIsEnableDigitalZoom(true);
    EXPECT_TRUE(core.isDigitalZoomEnabled());
    EXPECT_FALSE(core.videoDecoderDigitalZoom());  // no decoder yet: only stored

    core.startPreview(nullptr);
    ASSERT_TRUE(_camera.stream().waitForConnections(1, kMediaWaitMs));
    EXPECT_TRUE(core.videoDecoderDigitalZoom());  // the new decoder took the stored flag

    core.setIsEnableDigitalZoom(false);
    EXPECT_FALSE(core.videoDecoderDigitalZoom());
    core.setIsEnableDigitalZoom(true);
    EXPECT_TRUE(core.videoDecoderDigitalZoom());

    core.stopPreview();
    core.setIsEnableDigitalZoom(false);
    core.startPreview(nullptr);
    ASSERT_TRUE(_camera.stream().waitForConnections(2, kMediaWaitMs));
    EXPECT_FALSE(core.videoDecoderDigitalZoom());
    core.stopPreview();
}

TEST_F(DigitalZoomTest, TurningOffResetsTheZoomWindowEvenWhileStopped) {
    LogCapture log;
    ReceiverCore core(_formats);  // never initialised, never started
    ZoomProcessor* zoom = core.zoomProcessor();
    ASSERT_NE(zoom, nullptr);
    EXPECT_EQ(zoom->ratios().size(), 301u);
    EXPECT_FLOAT_EQ(zoom->ratios().front(), 1.0f);
    EXPECT_FLOAT_EQ(zoom->ratios()[1], 1.05f);
    EXPECT_FLOAT_EQ(zoom->ratios().back(), 16.0f);

    // Turning on keeps the window where it is.
    zoom->setState(zoomedIn());
    core.setIsEnableDigitalZoom(true);
    EXPECT_EQ(zoom->state().ratioIndex, 40);
    EXPECT_FALSE(log.contains("resetDigitalZoom"));

    core.setIsEnableDigitalZoom(false);
    ZoomProcessor::State s = zoom->state();
    EXPECT_EQ(s.ratioIndex, 0);
    EXPECT_FLOAT_EQ(s.currentRatio, 1.0f);
    EXPECT_EQ(s.panX, 0);
    EXPECT_EQ(s.panY, 0);
    EXPECT_EQ(s.command, 1);  // the last command is not part of the window
    EXPECT_EQ(s.centreX, 960);
    EXPECT_EQ(s.centreY, 540);
    EXPECT_TRUE(log.contains("setIsEnableDigitalZoom :resetDigitalZoom"));
    EXPECT_FALSE(core.isDigitalZoomEnabled());
}
