#pragma once

// Where the face models are found. For each file, the first of:
//   1. the working directory, under the file's own name;
//   2. the folder named by VEXSDK_MODEL_DIR (when set and non-empty);
//   3. the installed models folder, <prefix>/share/vexsdk/models;
//   4. the extra folders the caller names (the landmark model: /usr/share/dlib).
// A path that exists but is not a regular file (a folder of that name) does not count.

#include <string>
#include <vector>

extern const char* const kKXDetectorDescriptionFile;  // "deploy.prototxt"
extern const char* const kKXDetectorWeightsFile;      // "res10_300x300_ssd_iter_140000_fp16.caffemodel"
extern const char* const kKXLandmarkModelFile;        // "shape_predictor_68_face_landmarks.dat"

// The installed models folder this build was configured for.
const char* KXInstalledModelFolder();

// The folders searched for `name`, in order (the working directory as "").
std::vector<std::string> KXModelSearchFolders(const std::vector<std::string>& extraFolders);

// The first existing regular file called `name` in those folders; empty when there is none.
std::string KXFindModelFile(const std::string& name, const std::vector<std::string>& extraFolders = {});
