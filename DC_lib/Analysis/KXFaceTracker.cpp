#include "Analysis/KXFaceTracker.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <exception>
#include <utility>

#include <dlib/image_transforms/assign_image.h>
#include <dlib/opencv/cv_image.h>
#include <opencv2/imgproc.hpp>

#include "Analysis/KXModelFiles.h"
#include "KXLog.h"

namespace {

// A network coordinate (a fraction of the picture side) in pixels, truncated as an integer
// and clamped into [0, limit - 1]. false for a value that is not a number.
bool toPixel(float fraction, int side, int* pixel) {
    const double value = static_cast<double>(fraction) * side;
    if (!std::isfinite(value)) {
        return false;
    }
    // Limit before converting: a wild value must not overflow the integer.
    const double bounded = std::clamp(value, -1.0, static_cast<double>(side));
    *pixel = std::clamp(static_cast<int>(bounded), 0, side - 1);
    return true;
}

int offsetSize(int size) {
    return size == 0 ? 95 : size;
}

}  // namespace

double KXFaceLandmarks::mouthOpening() const {
    const double dx = points[62].x - points[66].x;
    const double dy = points[62].y - points[66].y;
    return std::sqrt(dx * dx + dy * dy);
}

KXFaceTracker& KXFaceTracker::shared() {
    static KXFaceTracker tracker;
    return tracker;
}

KXFaceTracker::KXFaceTracker() : _profiles(KXDefaultTrackingProfiles()) {}

KXFaceTracker::~KXFaceTracker() = default;

bool KXFaceTracker::FileIdentity::operator==(const FileIdentity& other) const {
    return path == other.path && device == other.device && inode == other.inode && size == other.size &&
           modifiedNs == other.modifiedNs;
}

bool KXFaceTracker::identify(const std::string& path, FileIdentity* identity) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return false;
    }
    identity->path = path;
    identity->device = info.st_dev;
    identity->inode = info.st_ino;
    identity->size = info.st_size;
    identity->modifiedNs = static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
    return true;
}

bool KXFaceTracker::load() {
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _profiles = KXDefaultTrackingProfiles();
    }

    const std::string description = KXFindModelFile(kKXDetectorDescriptionFile);
    const std::string weights = KXFindModelFile(kKXDetectorWeightsFile);
    const std::string landmarks = KXFindModelFile(kKXLandmarkModelFile, {"/usr/share/dlib"});
    bool found = true;
    for (const auto& [name, path] :
         {std::pair<const char*, const std::string&>{kKXDetectorDescriptionFile, description},
          {kKXDetectorWeightsFile, weights},
          {kKXLandmarkModelFile, landmarks}}) {
        if (path.empty()) {
            KXLog("AI mode: model file \"%s\" not found (working directory, VEXSDK_MODEL_DIR, %s%s)\n", name,
                  KXInstalledModelFolder(), name == kKXLandmarkModelFile ? ", /usr/share/dlib" : "");
            found = false;
        }
    }
    if (!found) {
        return false;
    }
    FileIdentity descriptionId, weightsId, landmarksId;
    if (!identify(description, &descriptionId) || !identify(weights, &weightsId) ||
        !identify(landmarks, &landmarksId)) {
        KXLog("AI mode: a model file vanished while loading\n");
        return false;
    }

    bool needNet = true;
    bool needPredictor = true;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        needNet = !_netLoaded || !(_loadedDescription == descriptionId) || !(_loadedWeights == weightsId);
        needPredictor = !_predictorLoaded || !(_loadedLandmarks == landmarksId);
    }

    // Both readers throw on a file they cannot read (and the landmark reader on a truncated
    // one); nothing of that may reach the host program.
    cv::dnn::Net net;
    if (needNet) {
        try {
            net = cv::dnn::readNetFromCaffe(description, weights);
        } catch (const std::exception& e) {
            KXLog("AI mode: cannot read the face detector \"%s\" / \"%s\": %s\n", description.c_str(),
                  weights.c_str(), e.what());
            return false;
        } catch (...) {
            KXLog("AI mode: cannot read the face detector \"%s\" / \"%s\"\n", description.c_str(),
                  weights.c_str());
            return false;
        }
        if (net.empty() || net.getLayerId("detection_out") < 0) {
            KXLog("AI mode: \"%s\" is not the face detector (no detection_out layer)\n", description.c_str());
            return false;
        }
        net.setPreferableBackend(cv::dnn::DNN_BACKEND_OPENCV);
        net.setPreferableTarget(cv::dnn::DNN_TARGET_CPU);
    }
    dlib::shape_predictor predictor;
    if (needPredictor) {
        try {
            dlib::deserialize(landmarks) >> predictor;
        } catch (const std::exception& e) {
            KXLog("AI mode: cannot read the landmark model \"%s\": %s\n", landmarks.c_str(), e.what());
            return false;
        } catch (...) {
            KXLog("AI mode: cannot read the landmark model \"%s\"\n", landmarks.c_str());
            return false;
        }
        // The talker rules index landmarks up to 66: a model with fewer points would be read
        // past its end.
        if (predictor.num_parts() != 68) {
            KXLog("AI mode: \"%s\" predicts %lu landmarks, not 68\n", landmarks.c_str(),
                  static_cast<unsigned long>(predictor.num_parts()));
            return false;
        }
    }

    std::lock_guard<std::mutex> lock(_mutex);
    if (needNet) {
        _net = net;
        _netLoaded = true;
        _loadedDescription = descriptionId;
        _loadedWeights = weightsId;
    }
    if (needPredictor) {
        _predictor = std::move(predictor);
        _predictorLoaded = true;
        _loadedLandmarks = landmarksId;
    }
    return true;
}

bool KXFaceTracker::loaded() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _netLoaded && _predictorLoaded;
}

bool KXFaceTracker::analyse(cv::Mat& image, int mode, const bool* flags, std::vector<KXFaceBox>* faces) {
    if (image.empty() || image.type() != CV_8UC3) {
        return false;
    }
    // The third byte behind the caller's flags pointer selects the mirrored pan mapping.
    const bool mirrored = flags != nullptr && reinterpret_cast<const unsigned char*>(flags)[2] != 0;
    KXCameraCommands commands;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (!_netLoaded || !_predictorLoaded) {
            return false;
        }
        try {
            std::vector<KXFaceBox> boxes = detectLocked(image);
            if (mode == 2) {
                commands = trackTalkerLocked(landmarksLocked(image, boxes), mirrored);
            } else {
                commands = trackLocked(boxes, mode, mirrored);
            }
            if (faces != nullptr) {
                *faces = std::move(boxes);
            }
        } catch (const std::exception& e) {
            KXLog("AI mode: analysis failed: %s\n", e.what());
            return false;
        } catch (...) {
            KXLog("AI mode: analysis failed\n");
            return false;
        }
    }
    if (flags != nullptr) {
        KXSendCameraCommands(commands);
    }
    return true;
}

std::vector<KXFaceBox> KXFaceTracker::detect(cv::Mat& image) {
    std::lock_guard<std::mutex> lock(_mutex);
    return detectLocked(image);
}

std::vector<KXFaceLandmarks> KXFaceTracker::landmarks(const cv::Mat& image,
                                                      const std::vector<KXFaceBox>& boxes) {
    std::lock_guard<std::mutex> lock(_mutex);
    return landmarksLocked(image, boxes);
}

KXCameraCommands KXFaceTracker::track(const std::vector<KXFaceBox>& boxes, int mode, bool mirrored) {
    std::lock_guard<std::mutex> lock(_mutex);
    return trackLocked(boxes, mode, mirrored);
}

KXCameraCommands KXFaceTracker::trackTalker(std::vector<KXFaceLandmarks> faces, bool mirrored) {
    std::lock_guard<std::mutex> lock(_mutex);
    return trackTalkerLocked(std::move(faces), mirrored);
}

KXFaceController KXFaceTracker::controller() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _controller;
}

std::array<TrackingProfile, kTrackingProfileCount> KXFaceTracker::profiles() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _profiles;
}

void KXFaceTracker::resetTracking() {
    std::lock_guard<std::mutex> lock(_mutex);
    _controller = KXFaceController();
}

std::vector<KXFaceBox> KXFaceTracker::detectLocked(cv::Mat& image) {
    std::vector<KXFaceBox> boxes;
    if (!_netLoaded || image.empty() || image.type() != CV_8UC3) {
        return boxes;
    }
    const cv::Mat blob = cv::dnn::blobFromImage(image, 1.0, cv::Size(kBlobWidth, kBlobHeight),
                                                cv::Scalar(104, 117, 123), false, false, CV_32F);
    _net.setInput(blob, "data");
    const cv::Mat detections = _net.forward("detection_out");
    // N rows of 7 floats: image, label, confidence, left, top, right, bottom.
    if (detections.type() != CV_32F || detections.dims != 4 || detections.size[3] != 7 ||
        !detections.isContinuous()) {
        return boxes;
    }
    const int rows = detections.size[2];
    const auto* values = detections.ptr<float>();
    for (int r = 0; r < rows; ++r) {
        const float* row = values + static_cast<size_t>(r) * 7;
        if (!(row[2] > kConfidence)) {
            continue;
        }
        // The network's box may reach past the picture (a face larger than it expects gives
        // boxes on the very edge): clamped into the picture before it is drawn or handed to
        // the landmark predictor; one without area after that is no face.
        KXFaceBox box;
        box.confidence = row[2];
        if (!toPixel(row[3], image.cols, &box.x1) || !toPixel(row[4], image.rows, &box.y1) ||
            !toPixel(row[5], image.cols, &box.x2) || !toPixel(row[6], image.rows, &box.y2)) {
            continue;
        }
        if (box.x2 <= box.x1 || box.y2 <= box.y1) {
            continue;
        }
        cv::rectangle(image, cv::Point(box.x1, box.y1), cv::Point(box.x2, box.y2), cv::Scalar(0, 0, 255), 1,
                      cv::LINE_8);
        boxes.push_back(box);
    }
    std::stable_sort(boxes.begin(), boxes.end(), [](const KXFaceBox& a, const KXFaceBox& b) {
        return std::abs(a.x1 - kCentreX) < std::abs(b.x1 - kCentreX);
    });
    return boxes;
}

std::vector<KXFaceLandmarks> KXFaceTracker::landmarksLocked(const cv::Mat& image,
                                                            const std::vector<KXFaceBox>& boxes) {
    std::vector<KXFaceLandmarks> faces;
    if (!_predictorLoaded || image.empty() || image.type() != CV_8UC3) {
        return faces;
    }
    const dlib::cv_image<dlib::bgr_pixel> picture(image);
    for (const KXFaceBox& box : boxes) {
        const dlib::full_object_detection shape =
            _predictor(picture, dlib::rectangle(box.x1, box.y1, box.x2, box.y2));
        if (shape.num_parts() != 68) {
            continue;
        }
        KXFaceLandmarks face;
        face.box = box;
        for (unsigned long i = 0; i < 68; ++i) {
            face.points[i] =
                cv::Point(static_cast<int>(shape.part(i).x()), static_cast<int>(shape.part(i).y()));
        }
        faces.push_back(face);
    }
    return faces;
}

KXCameraCommands KXFaceTracker::trackLocked(const std::vector<KXFaceBox>& boxes, int mode, bool mirrored) {
    KXCameraCommands commands;
    // Only modes with a profile track; any other mode outlines the faces and nothing else
    // (its number must not pick a profile past the end of the table).
    if (mode != 0 && mode != 1 && mode != 3) {
        return commands;
    }
    if (mode == 3) {
        _controller.activate();
    }
    if (!_controller.trackingActive()) {
        return commands;
    }
    if (boxes.empty()) {
        _controller.lost(commands);
        return commands;
    }
    const KXFaceBox& face = boxes.front();
    KXFaceRecord record;
    record.x = (face.x1 + face.x2) / 2 - kCentreX;
    record.y = kCentreY - face.y2;
    record.size = offsetSize(face.y2 - face.y1);
    _controller.follow(record, _profiles[static_cast<size_t>(mode)], mirrored, commands);
    return commands;
}

KXCameraCommands KXFaceTracker::trackTalkerLocked(std::vector<KXFaceLandmarks> faces, bool mirrored) {
    KXCameraCommands commands;
    std::stable_sort(faces.begin(), faces.end(), [](const KXFaceLandmarks& a, const KXFaceLandmarks& b) {
        return std::abs(a.points[62].x - kCentreX) < std::abs(b.points[62].x - kCentreX);
    });
    // The talker is a face whose own mouth is open in this picture. (Taking the nearest face
    // once any talker has ever been seen would swap to a silent neighbour on the next
    // frame.) A talker seen is still remembered until tracking switches itself off.
    const KXFaceLandmarks* chosen = nullptr;
    for (const KXFaceLandmarks& face : faces) {
        if (face.mouthOpening() > kTalkingMouthOpening) {
            _controller.setTalkerSeen();
            if (_controller.trackingActive()) {
                chosen = &face;
                break;
            }
        }
    }
    if (chosen == nullptr) {
        // Nobody to follow (no face, or nobody talking): a camera still turning towards the
        // last talker stops rather than turning on past everyone.
        if (_controller.trackingActive()) {
            _controller.lost(commands);
        }
        return commands;
    }
    KXFaceRecord record;
    record.x = chosen->points[62].x - kCentreX;
    record.y = kCentreY - chosen->points[62].y;
    record.size = offsetSize(chosen->points[9].y - chosen->points[28].y);
    _controller.follow(record, _profiles[2], mirrored, commands);
    return commands;
}
