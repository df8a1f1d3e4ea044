// Its own program: no local-camera receiver may ever have been constructed in the process.

#include <gtest/gtest.h>

#include "MediaTestSupport.h"
#include "vexsdk.h"

TEST(DC_RecvControlWithoutController, CallsAnswerTheirNoControllerCodes) {
    // A network receiver binds no command channel.
    MediaSourceText url("tcp://127.0.0.1:9");
    DC_Recv recv(MediaNetworkFormats(url));
    EXPECT_EQ(recv.setPanUp(), -252);
    EXPECT_EQ(recv.setPanLeft(), -252);
    EXPECT_EQ(recv.setPanStop(20), -252);
    EXPECT_EQ(recv.setZoomIn(), -252);
    EXPECT_EQ(recv.callPreset(1), -252);
    EXPECT_EQ(recv.setAutoFocusMode(1), -252);
    int mode = 77;
    EXPECT_EQ(recv.getAutoFocusMode(&mode), -252);
    EXPECT_EQ(mode, 77);
    char text[16] = {0};
    int length = 0;
    EXPECT_EQ(recv.getFWVersion(text, &length), -252);
    // The focus moves and home answer -1 without a controller.
    EXPECT_EQ(recv.setFocusStop(), -1);
    EXPECT_EQ(recv.setFocusFar(), -1);
    EXPECT_EQ(recv.setFocusNear(), -1);
    EXPECT_EQ(recv.setPanHome(), -1);
    // The calls that send nothing answer as always.
    EXPECT_EQ(recv.getWhiteBalance(&mode), 0);
    EXPECT_EQ(recv.getFWVersion(static_cast<DC_FWVersion*>(nullptr)), 0);
    EXPECT_TRUE(recv.isGetFilter());
}
