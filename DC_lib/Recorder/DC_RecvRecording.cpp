#include "KXLog.h"
#include "Receiver/ReceiverCore.h"
#include "vexsdk.h"

// The recording calls of the exported receiver. None throws into the host program.

bool DC_Recv::recordingStart(const char* folder, const char* fileName, bool withAudio) {
    try {
        return _core->recordingStart(folder, fileName, withAudio);
    } catch (...) {
        KXLog("recordingStart: failed\n");
        return false;
    }
}

bool DC_Recv::recordingStop() {
    try {
        return _core->recordingStop();
    } catch (...) {
        KXLog("recordingStop: failed\n");
        return false;
    }
}
