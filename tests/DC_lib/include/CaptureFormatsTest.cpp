#include "vexsdk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>

int vexHeaderAloneAnchor();

namespace {

DC_SourceText* makeText(const char* s) {
    auto* t = static_cast<DC_SourceText*>(std::malloc(sizeof(DC_SourceText)));
    t->length = static_cast<int32_t>(std::strlen(s) + 1);
    t->source = static_cast<char*>(std::malloc(static_cast<size_t>(t->length)));
    std::memcpy(t->source, s, static_cast<size_t>(t->length));
    return t;
}

void freeText(DC_SourceText* t) {
    std::free(t->source);
    std::free(t);
}

}  // namespace

TEST(CaptureFormats, CopyIsDeepForListsAndTextsAndShallowForThePointers) {
    DC_SourceText* url = makeText("1&2.4&1&0000");
    int windowHandle = 0;
    void* chain = &windowHandle;

    DC_CaptureFormats original;
    original.url = url;
    original.renderWindowRef = &chain;
    original.videoDeviceList = {"ZM-150 Camera", "Other"};
    original.videoFormatList.push_back(DC_VideoFormat{1920, 1080, 30.0, 4, false, 0});
    original.sameNameFlags = {false, true};
    original.auxText1 = "aux";
    original.deviceModel = 8;

    DC_CaptureFormats copy = original;
    original.videoDeviceList.front() = "changed";
    original.videoFormatList.front().width = 1;
    original.auxText1 = "changed";

    EXPECT_EQ(copy.url, url);  // the caller's holder, not a copy
    EXPECT_EQ(copy.renderWindowRef, &chain);
    EXPECT_EQ(copy.videoDeviceList.front(), "ZM-150 Camera");
    EXPECT_EQ(copy.videoFormatList.front().width, 1920);
    EXPECT_EQ(copy.auxText1, "aux");
    EXPECT_EQ(copy.sameNameFlags.back(), true);
    EXPECT_EQ(copy.deviceModel, 8);

    // Destroying a copy must leave the caller's texts alone.
    { DC_CaptureFormats temporary = copy; }
    EXPECT_STREQ(url->source, "1&2.4&1&0000");
    freeText(url);
}

TEST(CaptureFormats, RecordLayoutKeepsItsMemberOrder) {
    static_assert(std::is_standard_layout_v<DC_VideoFormat>);
    static_assert(offsetof(DC_VideoFormat, width) < offsetof(DC_VideoFormat, height));
    static_assert(offsetof(DC_VideoFormat, frameRate) < offsetof(DC_VideoFormat, format));
    static_assert(offsetof(DC_VideoFormat, reserved) < offsetof(DC_VideoFormat, index));
    static_assert(offsetof(DC_Video_Frame, pts) < offsetof(DC_Video_Frame, data));
    static_assert(offsetof(DC_Audio_Frame, bufferSize) < offsetof(DC_Audio_Frame, format));
    static_assert(sizeof(DC_SourceText::length) == 4);
    EXPECT_EQ(DC_ERROR_NOT_RUNNING, 2);
    EXPECT_GT(vexHeaderAloneAnchor(), 0);
}
