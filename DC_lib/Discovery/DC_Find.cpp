#include <cctype>
#include <map>
#include <memory>

#include "Discovery/KXEnumerateDevV4L2.h"
#include "Discovery/KXQueueDevV4L2.h"
#include "Discovery/KXUsbIdentity.h"
#include "KXLog.h"
#include "vexsdk.h"

// Everything a DC_Find holds: the enumeration pair and the model-name map.
// Threading: a DC_Find is used by one thread at a time.
struct KXFindState {
    explicit KXFindState(std::shared_ptr<KXPlatform> platform)
        : enumerate(platform), queue(platform), modelNames(KXModelNames()) {}

    KXEnumerateDevV4L2 enumerate;
    KXQueueDevV4L2 queue;
    std::map<int, std::string> modelNames;
};

namespace {

std::string lowerAscii(const char* text) {
    std::string s = text;
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

}  // namespace

DC_Find::DC_Find() : _state(new KXFindState(KXPlatformInstance())) {}

DC_Find::~DC_Find() {
    delete _state;
}

bool DC_Find::initialize() {
    if (!_state->enumerate.createVideoEnumerator()) {
        KXLog("EnumerateDevices Video fail");
        return false;
    }
    if (!_state->enumerate.createAudioEnumerator()) {
        KXLog("EnumerateDevices Audio fail");
        return false;
    }
    return true;
}

void DC_Find::getSources(DC_CaptureFormats* formats) {
    if (formats == nullptr) {
        return;
    }
    KXEnumerateDevV4L2& e = _state->enumerate;
    e.getDeviceNames(KXDeviceClass::Video, formats->videoDeviceList);
    e.getDeviceNames(KXDeviceClass::Audio, formats->audioDeviceList);
    if (auto video = e.getVideoFilter(formats)) {
        e.getResolutionInfo(KXDeviceClass::Video, *video, formats);
    }
    if (auto audio = e.getAudioFilter(formats)) {
        e.getResolutionInfo(KXDeviceClass::Audio, *audio, formats);
    }
}

bool DC_Find::checkIsQuillonModel(const char* vendorId, const char* productId) {
    if (vendorId == nullptr || productId == nullptr) {
        return false;
    }
    const std::string vid = lowerAscii(vendorId);
    const std::string pid = lowerAscii(productId);
    for (int row = 1; row < kKXVendorProductRows; ++row) {
        if (vid == lowerAscii(kKXVendorProductTable[row].vendorId) &&
            pid == lowerAscii(kKXVendorProductTable[row].productId)) {
            return true;
        }
    }
    return false;
}

std::string DC_Find::getDevModelName(int model) {
    auto it = _state->modelNames.find(model);
    return it == _state->modelNames.end() ? std::string() : it->second;
}

int DC_Find::getDevModel(const char* text, char* modelName) {
    if (text == nullptr) {
        return 0;
    }
    return _state->queue.getDeviceModel(text, modelName);
}

int DC_Find::getDevModel(int ordinal) {
    return _state->queue.getDevModel(ordinal);
}

int DC_Find::getDevModelwithLocation(char* location, int ordinal) {
    return _state->queue.getDevModelWithLocation(location, ordinal);
}
