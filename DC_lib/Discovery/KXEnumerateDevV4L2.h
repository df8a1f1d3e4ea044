#pragma once

// Source enumeration over the platform's capture-device listing: device-name lists, the
// chosen camera (by a piece of its device path), its formats, and the audio device at an
// ordinal.
//
// Threading: one thread at a time (the thread that owns the DC_Find).

#include <memory>
#include <optional>
#include <string>

#include "KXPlatform.h"
#include "vexsdk.h"

class KXEnumerateDevV4L2 {
public:
    explicit KXEnumerateDevV4L2(std::shared_ptr<KXPlatform> platform);

    // Create the class "enumerators": false when the listing fails or finds no device.
    bool createVideoEnumerator();
    bool createAudioEnumerator();

    void getDeviceNames(KXDeviceClass deviceClass, std::list<std::string>& names);
    std::unique_ptr<KXCaptureFilter> getVideoFilter(DC_CaptureFormats* formats);
    std::unique_ptr<KXCaptureFilter> getAudioFilter(DC_CaptureFormats* formats);
    void getResolutionInfo(KXDeviceClass deviceClass, const KXCaptureFilter& filter,
                           DC_CaptureFormats* formats);

    // Fills a caller-allocated holder with a malloc'ed copy of `text` (nothing when the
    // holder is null or memory runs out).
    static void setSourceText(DC_SourceText* holder, const std::string& text);

private:
    std::vector<KXCaptureDevice> walk(KXDeviceClass deviceClass);

    std::shared_ptr<KXPlatform> _platform;
    bool _videoEnumerator = false;
    bool _audioEnumerator = false;
    std::optional<std::string> _previousName;  // carries over between calls (sameNameFlags)
};
