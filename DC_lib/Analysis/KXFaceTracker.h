#pragma once

// Face tracking (AI mode): finds faces in a BGR picture with an SSD face detector (OpenCV
// dnn, Caffe format), outlines them in red, and steers the camera so that the chosen face is
// framed; in the talker mode it predicts dlib's 68 facial landmarks on each face and follows
// the one whose mouth is open.
//
// Modes: 3 switches tracking on and follows the face with profile 3; 0 and 1 follow with
// profile 0 or 1 while tracking is on; 2 is the talker mode (profile 2). Any other mode only
// outlines the faces. Tracking switches itself off once the face has stayed framed for more
// than 21 frames in a row; mode 3 switches it on again.
//
// The picture is assumed to be 1920 x 1080: offsets are measured from (960, 540).
//
// One tracker serves the whole process (shared()): its models and its tracking state are
// process-wide, so with two receivers in AI mode both steer the one camera channel.
//
// Threading: every public call may come from any thread; _mutex guards the models, the
// profiles and the tracking state, and is held for one whole frame's analysis (so a frame is
// never analysed with a half-replaced model). Model files are read outside the lock and
// swapped in under it. Camera commands are sent after the lock is released (the channel
// has its own lock; the two are never held together).

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include <dlib/image_processing/shape_predictor.h>
#include <opencv2/core/mat.hpp>
#include <opencv2/dnn/dnn.hpp>

#include "Analysis/KXFaceController.h"

// One detected face: its corners in picture pixels (both inclusive, inside the picture,
// x1 < x2 and y1 < y2) and the network's confidence.
struct KXFaceBox {
    int x1 = 0;
    int y1 = 0;
    int x2 = 0;
    int y2 = 0;
    float confidence = 0.0f;
};

// The 68 landmarks predicted inside one face box.
struct KXFaceLandmarks {
    std::array<cv::Point, 68> points;
    KXFaceBox box;

    // Distance between the inner lips (landmarks 62 and 66).
    double mouthOpening() const;
};

class KXFaceTracker {
public:
    // Network input and thresholds.
    static constexpr int kBlobWidth = 640;
    static constexpr int kBlobHeight = 360;
    static constexpr float kConfidence = 0.5f;
    static constexpr double kTalkingMouthOpening = 10.0;
    static constexpr int kCentreX = 960;
    static constexpr int kCentreY = 540;

    static KXFaceTracker& shared();

    KXFaceTracker();
    ~KXFaceTracker();
    KXFaceTracker(const KXFaceTracker&) = delete;
    KXFaceTracker& operator=(const KXFaceTracker&) = delete;

    // Rewrites the profile table and loads the detector and the landmark model (see
    // KXModelFiles.h for where they are looked for). A model whose file is unchanged since
    // it was last loaded is kept rather than read again. false when a file is missing,
    // unreadable or not the expected model: the log names it, and the caller must leave AI
    // mode off. Never throws.
    bool load();
    bool loaded() const;

    // The analysis of one picture (8-bit BGR), changed in place by the outlines. `flags`:
    // the caller's camera-control flags; null sends no camera command, a non-zero third byte
    // mirrors left and right. false when the picture could not be analysed (no models, not
    // BGR, or the network failed); the picture may then carry some outlines already. `faces`,
    // when given, receives the faces found (in picture coordinates, ordered as tracked).
    bool analyse(cv::Mat& image, int mode, const bool* flags, std::vector<KXFaceBox>* faces = nullptr);

    // --- the steps of analyse(), for tests and the benchmark (each takes the lock)

    // Runs the network and answers the faces above the confidence threshold, clamped to the
    // picture (boxes left without area are dropped), outlined in red, ordered by the
    // distance of their left edge from x = 960. Throws what OpenCV throws.
    std::vector<KXFaceBox> detect(cv::Mat& image);
    // Predicts the 68 landmarks inside each box. Throws what dlib throws.
    std::vector<KXFaceLandmarks> landmarks(const cv::Mat& image, const std::vector<KXFaceBox>& boxes);
    // The tracking decisions of modes other than 2 on ordered boxes, and of mode 2 on faces
    // with landmarks; both answer the commands that a caller with flags would send.
    KXCameraCommands track(const std::vector<KXFaceBox>& boxes, int mode, bool mirrored);
    KXCameraCommands trackTalker(std::vector<KXFaceLandmarks> faces, bool mirrored);

    // Tracking state (a copy) and the profile table.
    KXFaceController controller() const;
    std::array<TrackingProfile, kTrackingProfileCount> profiles() const;
    // Back to the tracking state of a fresh process (models stay loaded).
    void resetTracking();

private:
    // Identity of a model file as last loaded, to tell whether it changed since.
    struct FileIdentity {
        std::string path;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        int64_t modifiedNs = -1;
        bool operator==(const FileIdentity& other) const;
    };
    static bool identify(const std::string& path, FileIdentity* identity);

    std::vector<KXFaceBox> detectLocked(cv::Mat& image);
    std::vector<KXFaceLandmarks> landmarksLocked(const cv::Mat& image, const std::vector<KXFaceBox>& boxes);
    KXCameraCommands trackLocked(const std::vector<KXFaceBox>& boxes, int mode, bool mirrored);
    KXCameraCommands trackTalkerLocked(std::vector<KXFaceLandmarks> faces, bool mirrored);

    mutable std::mutex _mutex;
    cv::dnn::Net _net;                                             // guarded by _mutex
    dlib::shape_predictor _predictor;                              // guarded by _mutex
    bool _netLoaded = false;                                       // guarded by _mutex
    bool _predictorLoaded = false;                                 // guarded by _mutex
    FileIdentity _loadedDescription;                               // guarded by _mutex
    FileIdentity _loadedWeights;                                   // guarded by _mutex
    FileIdentity _loadedLandmarks;                                 // guarded by _mutex
    std::array<TrackingProfile, kTrackingProfileCount> _profiles;  // guarded by _mutex
    KXFaceController _controller;                                  // guarded by _mutex
};
