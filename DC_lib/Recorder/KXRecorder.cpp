#include "Recorder/KXRecorder.h"

#include "KXLog.h"

std::string KXRecorder::recordingPath(const char* folder, const char* fileName) {
    if (folder == nullptr || fileName == nullptr || fileName[0] == '\0') {
        return {};
    }
    return std::string(folder) + "/" + fileName;
}

int recordInThread(KXRecorder* recorder) {
    const int result = recorder->run();
    if (result < 0) {
        KXLog("There is an error(code:%d) in recordInThread.\n", result);
    }
    return result;
}
