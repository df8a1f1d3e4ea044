// A host program of vexsdk: lists the video capture devices, opens the first supported camera
// (or the one whose location identity is given) and pulls ten frames from it.
//
//   c++ -std=c++17 host.cpp $(pkg-config --cflags --libs vexsdk) -o host && ./host [LOCATION]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <vexsdk.h>

static DC_SourceText text(const std::string& value) {  // texts the library reads are malloc'ed
    return DC_SourceText{strdup(value.c_str()), static_cast<int32_t>(value.size() + 1)};
}

int main(int argc, char** argv) {
    DC_Find find;
    find.initialize();
    DC_SourceText location = text(argc > 1 ? argv[1] : "");  // empty: any supported camera
    DC_SourceText device{nullptr, 0};                        // getSources fills it with a text of its own
    DC_CaptureFormats formats;
    formats.url = &location;
    formats.videoDeviceName = &device;
    find.getSources(&formats);
    for (const std::string& name : formats.videoDeviceList) std::printf("video device: %s\n", name.c_str());
    const DC_VideoFormat* chosen = nullptr;  // the first MJPEG (4) or H.264 (1) format
    for (const DC_VideoFormat& f : formats.videoFormatList)
        if (!chosen && (f.format == 4 || f.format == 1))
            chosen = &f;
    if (device.source == nullptr || chosen == nullptr) {
        std::fprintf(stderr, "no supported camera found\n");
        return 1;
    }
    std::printf("camera: %s, %dx%d at %.0f fps\n", device.source, chosen->width, chosen->height,
                chosen->frameRate);
    formats.videoFormatIndex = chosen->index;
    char modelName[32] = {0};
    formats.deviceModel = find.getDevModel(location.source, modelName);
    DC_Recv receiver(formats);
    bool aiFlags[3] = {false, false, false};
    if (!receiver.initialize(aiFlags))
        return 1;
    receiver.startPreview(nullptr);
    int frames = 0;
    for (int attempt = 0; attempt < 100 && frames < 10; ++attempt) {  // up to 10 s
        DC_Video_Frame frame{};
        if (receiver.captureVideo(&frame, 100) != DC_ERROR_NONE)
            continue;
        std::printf("frame %d: %dx%d pts %.3f\n", ++frames, frame.width, frame.height, frame.pts);
        receiver.freeVideo(&frame);
    }
    receiver.stopPreview();
    std::printf("%d frames\n", frames);
    std::free(location.source);
    std::free(device.source);
    return frames == 10 ? 0 : 1;
}
