#include "Analysis/KXModelFiles.h"

#include <sys/stat.h>

#include <cstdlib>

#ifndef VEXSDK_MODEL_INSTALL_DIR
#define VEXSDK_MODEL_INSTALL_DIR "/usr/local/share/vexsdk/models"
#endif

const char* const kKXDetectorDescriptionFile = "deploy.prototxt";
const char* const kKXDetectorWeightsFile = "res10_300x300_ssd_iter_140000_fp16.caffemodel";
const char* const kKXLandmarkModelFile = "shape_predictor_68_face_landmarks.dat";

const char* KXInstalledModelFolder() {
    return VEXSDK_MODEL_INSTALL_DIR;
}

std::vector<std::string> KXModelSearchFolders(const std::vector<std::string>& extraFolders) {
    std::vector<std::string> folders{""};
    const char* fromEnvironment = std::getenv("VEXSDK_MODEL_DIR");
    if (fromEnvironment != nullptr && fromEnvironment[0] != '\0') {
        folders.emplace_back(fromEnvironment);
    }
    folders.emplace_back(KXInstalledModelFolder());
    folders.insert(folders.end(), extraFolders.begin(), extraFolders.end());
    return folders;
}

std::string KXFindModelFile(const std::string& name, const std::vector<std::string>& extraFolders) {
    for (const std::string& folder : KXModelSearchFolders(extraFolders)) {
        std::string path = folder.empty() ? name : folder + (folder.back() == '/' ? "" : "/") + name;
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            return path;
        }
    }
    return {};
}
