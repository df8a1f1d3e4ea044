// A host program of vexsdk that records and never stops by itself: the crash tests start it,
// wait until it has recorded for a while, and kill it. It uses nothing but the public header.
//
//   vex_recording_host network URL FOLDER FILE
//   vex_recording_host local LOCATION FOLDER FILE   (VEXSDK_SIM names the simulator)
//
// Prints "recording" on standard output once the recording runs, then takes the pictures as
// a host program's preview would. It ends by itself only when its standard input closes (the
// test that started it went away) or after a minute.

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vexsdk.h"

namespace {

DC_SourceText* sourceText(const std::string& text) {
    auto* holder = static_cast<DC_SourceText*>(std::calloc(1, sizeof(DC_SourceText)));
    holder->source = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(holder->source, text.c_str(), text.size() + 1);
    holder->length = static_cast<int32_t>(text.size() + 1);
    return holder;
}

void freeSourceText(DC_SourceText* holder) {
    if (holder != nullptr) {
        std::free(holder->source);
        std::free(holder);
    }
}

bool standardInputClosed() {
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, 1, 0) <= 0) {
        return false;
    }
    char byte;
    return ::read(0, &byte, 1) <= 0;
}

// Previews and, from the first picture on, records; answers 3 when it ends by itself.
int record(DC_Recv& recv, const char* folder, const char* file) {
    recv.startPreview(nullptr);
    const auto start = std::chrono::steady_clock::now();
    bool recording = false;
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(60) && !standardInputClosed()) {
        DC_Video_Frame frame{};
        if (recv.captureVideo(&frame, 20) == DC_ERROR_NONE) {
            recv.freeVideo(&frame);
            if (!recording) {
                recording = recv.recordingStart(folder, file, true);
                if (recording) {
                    std::printf("recording\n");
                    std::fflush(stdout);
                }
            }
        }
    }
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s network|local URL|LOCATION FOLDER FILE\n", argv[0]);
        return 2;
    }
    const std::string kind = argv[1];
    DC_CaptureFormats formats;
    formats.url = sourceText(argv[2]);
    if (kind == "network") {
        formats.sourceType = 1;
    } else if (kind == "local") {
        formats.videoDeviceName = static_cast<DC_SourceText*>(std::calloc(1, sizeof(DC_SourceText)));
        formats.audioDeviceName = static_cast<DC_SourceText*>(std::calloc(1, sizeof(DC_SourceText)));
        DC_Find find;
        find.initialize();
        find.getSources(&formats);
        if (formats.videoFormatList.empty()) {
            std::fprintf(stderr, "no camera at %s\n", argv[2]);
            return 1;
        }
        formats.videoFormatIndex = formats.videoFormatList.front().index;
        formats.sourceType = 0;
    } else {
        return 2;
    }

    int result = 3;
    {
        DC_Recv recv(formats);
        recv.setIsEnableDXAV2Decode(false);
        result = recv.initialize(nullptr) ? record(recv, argv[3], argv[4]) : 1;
    }
    freeSourceText(formats.url);
    freeSourceText(formats.videoDeviceName);
    freeSourceText(formats.audioDeviceName);
    return result;
}
