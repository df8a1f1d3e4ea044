#include "Analysis/KXShureArrayClient.h"
#include "KXLog.h"
#include "Receiver/ReceiverCore.h"
#include "vexsdk.h"

// The analysis calls of the exported receiver: AI mode, and the library's own Shure array
// client. None throws into the host program.

void DC_Recv::setIsEnableAIMode(bool on, int mode) {
    try {
        _core->setIsEnableAIMode(on, mode);
    } catch (...) {
        KXLog("setIsEnableAIMode: failed; AI mode stays off\n");
        _core->setIsEnableAIMode(false, mode);
    }
}

bool DC_Recv::connectShureSound(const char* ip) {
    try {
        return KXShureArrayClient::shared().connect(ip);
    } catch (...) {
        return false;
    }
}

void DC_Recv::setSoundArrayPresetMap(std::map<int, int> map) {
    try {
        _core->setSoundArrayPresetMap(map);
    } catch (...) {
        KXLog("setSoundArrayPresetMap: failed\n");
    }
}

int DC_Recv::recvShureSoundArrayData(bool close) {
    try {
        return KXShureArrayClient::shared().receive(close, _core->soundArrayPresetMap(), _core->controller());
    } catch (...) {
        return 0;
    }
}
