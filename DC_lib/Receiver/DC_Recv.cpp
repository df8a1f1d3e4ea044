#include <map>
#include <mutex>

#include "KXPlatformExports.h"
#include "Receiver/ReceiverCore.h"
#include "vexsdk.h"

// The exported receiver: lifecycle and capture calls forward to the core. None throws: an
// allocation failure inside a call is answered like any other failure of that call.

namespace {

// Every live receiver's core, for the calls outside the class that the application may make
// on a receiver (KXPlatformExports.h): the public class keeps its core to itself.
std::mutex g_coresMutex;
std::map<const DC_Recv*, const ReceiverCore*> g_cores;  // guarded by g_coresMutex

}  // namespace

DC_Recv::DC_Recv(DC_CaptureFormats formats) : _core(new ReceiverCore(formats)) {
    try {
        std::lock_guard<std::mutex> lock(g_coresMutex);
        g_cores[this] = _core;
    } catch (...) {
        delete _core;
        throw;
    }
}

DC_Recv::~DC_Recv() {
    {
        std::lock_guard<std::mutex> lock(g_coresMutex);
        g_cores.erase(this);
    }
    delete _core;
}

KXOpenFailure KXReceiverOpenFailure(const DC_Recv* recv) {
    std::lock_guard<std::mutex> lock(g_coresMutex);
    auto it = g_cores.find(recv);
    // Read under the lock: the destructor cannot delete the core meanwhile.
    return it == g_cores.end() ? KXOpenFailure::None : it->second->openFailure();
}

bool DC_Recv::initialize(bool* aiFlag) {
    try {
        return _core->initialize(aiFlag);
    } catch (...) {
        return false;
    }
}

void DC_Recv::startPreview(void* deviceManager) {
    try {
        _core->startPreview(deviceManager);
    } catch (...) {
        _core->stopPreview();
    }
}

void DC_Recv::stopPreview() {
    _core->stopPreview();
}
void DC_Recv::pause() {
    _core->pause();
}
void DC_Recv::resume() {
    _core->resume();
}

DC_Error_Type DC_Recv::captureVideo(DC_Video_Frame* frame, uint32_t timeoutMs) {
    return _core->captureVideo(frame, timeoutMs);
}

DC_Error_Type DC_Recv::captureAudio(DC_Audio_Frame* frame, uint32_t timeoutMs) {
    return _core->captureAudio(frame, timeoutMs);
}

DC_Error_Type DC_Recv::captureJPEG(DC_JPEG_Frame* frame, uint32_t timeoutMs) {
    return _core->captureJPEG(frame, timeoutMs);
}

void DC_Recv::freeVideo(DC_Video_Frame*) {
    _core->freeVideo();
}
void DC_Recv::freeAudio(DC_Audio_Frame*) {
    _core->freeAudio();
}
void DC_Recv::freeJPEG(DC_JPEG_Frame*) {
    _core->freeJPEG();
}

void DC_Recv::setIsEnableDXAV2Decode(bool on) {
    _core->setIsEnableDXVA2Decode(on);
}

void DC_Recv::setIsEnableDigitalZoom(bool on) {
    _core->setIsEnableDigitalZoom(on);
}
