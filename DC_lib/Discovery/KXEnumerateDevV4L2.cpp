#include "Discovery/KXEnumerateDevV4L2.h"

#include <cstdlib>
#include <cstring>

#include "Discovery/KXUsbIdentity.h"
#include "KXLog.h"

namespace {
constexpr int kFormatMjpeg = 4;
constexpr int kFormatH264 = 1;
constexpr int kFormatOther = 0;
constexpr int64_t kHnsPerSecond = 10000000;
}  // namespace

KXEnumerateDevV4L2::KXEnumerateDevV4L2(std::shared_ptr<KXPlatform> platform)
    : _platform(std::move(platform)) {}

std::vector<KXCaptureDevice> KXEnumerateDevV4L2::walk(KXDeviceClass deviceClass) {
    std::vector<KXCaptureDevice> devices;
    if (!_platform->captureDevices(deviceClass, devices)) {
        devices.clear();
    }
    return devices;
}

bool KXEnumerateDevV4L2::createVideoEnumerator() {
    _videoEnumerator = !walk(KXDeviceClass::Video).empty();
    return _videoEnumerator;
}

bool KXEnumerateDevV4L2::createAudioEnumerator() {
    _audioEnumerator = !walk(KXDeviceClass::Audio).empty();
    return _audioEnumerator;
}

void KXEnumerateDevV4L2::setSourceText(DC_SourceText* holder, const std::string& text) {
    if (holder == nullptr) {
        return;
    }
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) {
        return;
    }
    std::memcpy(copy, text.c_str(), text.size() + 1);
    holder->source = copy;
    holder->length = static_cast<int32_t>(text.size() + 1);
}

void KXEnumerateDevV4L2::getDeviceNames(KXDeviceClass deviceClass, std::list<std::string>& names) {
    if (deviceClass == KXDeviceClass::Video ? !_videoEnumerator : !_audioEnumerator) {
        return;
    }
    for (const KXCaptureDevice& d : walk(deviceClass)) {
        if (d.friendlyName) {
            names.push_back(*d.friendlyName);
        }
    }
}

std::unique_ptr<KXCaptureFilter> KXEnumerateDevV4L2::getVideoFilter(DC_CaptureFormats* formats) {
    std::unique_ptr<KXCaptureFilter> chosenFilter;
    if (!_videoEnumerator || formats == nullptr) {
        return chosenFilter;
    }
    // Without a url text nothing can be matched (an empty text, by contrast, matches every
    // camera of the vendor).
    const char* wanted =
        (formats->url != nullptr && formats->url->source != nullptr) ? formats->url->source : nullptr;
    char* ourText = nullptr;  // the video device name this walk allocated, if any
    for (const KXCaptureDevice& device : walk(KXDeviceClass::Video)) {
        bool chosen = false;
        if (device.devicePath) {
            const std::string& path = *device.devicePath;
            KXLog("KXEnumerateDevDShow::getVideoFilter listDC_CaptureFormats->url->source: %s",
                  wanted != nullptr ? wanted : "(null)");
            KXLog("KXEnumerateDevDShow::getVideoFilter DevicePath: %s", path.c_str());
            size_t p = path.size() >= 3 ? path.find("usb") : std::string::npos;
            if (p != std::string::npos && path.compare(p, 12, kKXVendorPrefix) == 0 &&
                path.size() - p >= 12 && wanted != nullptr && KXPathHasComponent(path, wanted)) {
                chosen = true;
                const std::string name = std::string(kKXDevicePnpPrefix) + path;
                // A later match replaces the text an earlier match of this walk put there;
                // that earlier text is ours, so it is freed rather than lost.
                if (formats->videoDeviceName != nullptr && ourText != nullptr &&
                    formats->videoDeviceName->source == ourText) {
                    std::free(ourText);
                    formats->videoDeviceName->source = nullptr;
                }
                setSourceText(formats->videoDeviceName, name);
                if (formats->videoDeviceName != nullptr) {
                    ourText = formats->videoDeviceName->source;
                }
                KXLog("KXEnumerateDevDShow::getVideoFilter DevicePath Find: %s", name.c_str());
            }
        }
        if (device.friendlyName) {
            if (chosen) {
                chosenFilter = _platform->bindFilter(device);  // the last match wins
            }
            formats->sameNameFlags.push_back(_previousName.has_value() &&
                                             *_previousName == *device.friendlyName);
            _previousName = *device.friendlyName;
        }
    }
    return chosenFilter;
}

std::unique_ptr<KXCaptureFilter> KXEnumerateDevV4L2::getAudioFilter(DC_CaptureFormats* formats) {
    if (!_audioEnumerator || formats == nullptr || formats->audioDeviceIndex < 0) {
        return nullptr;
    }
    std::vector<KXCaptureDevice> devices = walk(KXDeviceClass::Audio);
    if (static_cast<size_t>(formats->audioDeviceIndex) >= devices.size()) {
        return nullptr;
    }
    const KXCaptureDevice& device = devices[static_cast<size_t>(formats->audioDeviceIndex)];
    if (device.friendlyName) {
        setSourceText(formats->audioDeviceName, *device.friendlyName);
    }
    return _platform->bindFilter(device);
}

void KXEnumerateDevV4L2::getResolutionInfo(KXDeviceClass deviceClass, const KXCaptureFilter& filter,
                                           DC_CaptureFormats* formats) {
    if (deviceClass == KXDeviceClass::Audio) {
        for (const KXAudioCapability& cap : filter.device().audioCapabilities) {
            formats->audioFormatList.push_back(
                DC_AudioFormat{cap.sampleRate, cap.channels, cap.bitsPerSample, false});
        }
        return;
    }
    int32_t index = 0;
    for (const KXVideoCapability& cap : filter.device().videoCapabilities) {
        // No width or no defined frame rate: not a usable format, and it takes no index.
        if (cap.width == 0 || cap.minIntervalHns <= 0 || cap.maxIntervalHns <= 0) {
            continue;
        }
        int32_t format = cap.subtype == "MJPG"   ? kFormatMjpeg
                         : cap.subtype == "H264" ? kFormatH264
                                                 : kFormatOther;
        int32_t height = cap.height < 0 ? -cap.height : cap.height;
        double fastest = static_cast<double>(kHnsPerSecond / cap.minIntervalHns);
        formats->videoFormatList.push_back(DC_VideoFormat{cap.width, height, fastest, format, false, index});
        double atMin = static_cast<double>(kHnsPerSecond) / static_cast<double>(cap.minIntervalHns);
        double atMax = static_cast<double>(kHnsPerSecond) / static_cast<double>(cap.maxIntervalHns);
        if (atMin != atMax) {
            formats->videoFormatList.push_back(
                DC_VideoFormat{cap.width, height, atMax, format, false, index + 1});
            ++index;
        }
        ++index;
    }
}
