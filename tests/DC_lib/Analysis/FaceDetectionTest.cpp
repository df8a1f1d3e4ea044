// Face detection and landmarks on real photographs (tests/DC_lib/Analysis/photos), each
// scaled to a 1920x1080 camera frame and taken through the same conversions captureVideo
// uses; and what happens when a model file cannot be read.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Analysis/KXBgrConverter.h"
#include "Analysis/KXFaceTracker.h"
#include "Analysis/KXModelFiles.h"
#include "BoundCamera.h"
#include "LogCapture.h"
#include "TestPhotos.h"

namespace {

using Names = std::vector<std::string>;

cv::Mat photoPicture(const std::string& name) {
    TestFramePtr frame = TestPhotoFrame(name);
    cv::Mat picture;
    KXBgrConverter converter;
    if (!frame || !converter.toBGR(frame.get(), picture)) {
        ADD_FAILURE() << "cannot read " << name;
    }
    return picture;
}

bool isRed(const cv::Mat& picture, int x, int y) {
    return picture.at<cv::Vec3b>(y, x) == cv::Vec3b(0, 0, 255);
}

// A fresh folder in the temporary directory, removed with its contents.
class TempFolder {
public:
    TempFolder() {
        static int counter = 0;
        _path = (std::filesystem::temp_directory_path() /
                 ("vexsdk-models-" + std::to_string(::getpid()) + "-" + std::to_string(counter++)))
                    .string();
        std::filesystem::create_directories(_path);
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(_path, ignored);
    }
    const std::string& path() const { return _path; }
    std::string file(const std::string& name) const { return _path + "/" + name; }
    void write(const std::string& name, const std::string& bytes) const {
        std::ofstream(file(name), std::ios::binary) << bytes;
    }
    void link(const std::string& name, const std::string& target) const {
        std::filesystem::create_symlink(target, file(name));
    }

private:
    std::string _path;
};

class FaceDetectionTest : public ::testing::Test {
protected:
    void SetUp() override { ::setenv("VEXSDK_MODEL_DIR", TestModelFolder().c_str(), 1); }
    void TearDown() override { ::unsetenv("VEXSDK_MODEL_DIR"); }
};

}  // namespace

TEST_F(FaceDetectionTest, PhotosGiveTheirFaceCountsWithBoxesInsideThePicture) {
    KXFaceTracker tracker;
    ASSERT_TRUE(tracker.load());
    struct Photo {
        const char* name;
        size_t faces;
    };
    // The close-up: a face filling the picture makes the network report 22 boxes, 16 of
    // which lie on the right edge with no width; the rest are kept.
    for (const Photo& photo :
         {Photo{"group_three_faces_a.jpg", 3}, Photo{"group_three_faces_b.jpg", 3}, Photo{"two_faces.jpg", 2},
          Photo{"street_no_face.jpg", 0}, Photo{"closeup_face.jpg", 6}}) {
        SCOPED_TRACE(photo.name);
        cv::Mat picture = photoPicture(photo.name);
        ASSERT_EQ(picture.cols, 1920);
        ASSERT_EQ(picture.rows, 1080);
        const std::vector<KXFaceBox> boxes = tracker.detect(picture);
        EXPECT_EQ(boxes.size(), photo.faces);
        int lastDistance = -1;
        for (const KXFaceBox& box : boxes) {
            EXPECT_GT(box.confidence, 0.5f);
            EXPECT_GE(box.x1, 0);
            EXPECT_GE(box.y1, 0);
            EXPECT_LT(box.x2, 1920);
            EXPECT_LT(box.y2, 1080);
            EXPECT_LT(box.x1, box.x2);
            EXPECT_LT(box.y1, box.y2);
            // Nearest left edge to the centre first.
            EXPECT_GE(std::abs(box.x1 - 960), lastDistance);
            lastDistance = std::abs(box.x1 - 960);
            // Outlined in red, one pixel wide, on all four sides.
            EXPECT_TRUE(isRed(picture, box.x1, (box.y1 + box.y2) / 2));
            EXPECT_TRUE(isRed(picture, box.x2, (box.y1 + box.y2) / 2));
            EXPECT_TRUE(isRed(picture, (box.x1 + box.x2) / 2, box.y1));
            EXPECT_TRUE(isRed(picture, (box.x1 + box.x2) / 2, box.y2));
        }
    }

    // Switching on again reads a model file again when it is not the one loaded: a broken
    // file is reported even though good models are loaded.
    TempFolder folder;
    folder.link(kKXDetectorDescriptionFile, TestModelFolder() + "/" + kKXDetectorDescriptionFile);
    folder.write(kKXDetectorWeightsFile, std::string(1000, '\x7f'));
    ::setenv("VEXSDK_MODEL_DIR", folder.path().c_str(), 1);
    EXPECT_FALSE(tracker.load());
    ::setenv("VEXSDK_MODEL_DIR", TestModelFolder().c_str(), 1);
    EXPECT_TRUE(tracker.load());
}

// The talker mode on real faces: the landmark predictor on each detected face, the mouth
// openings, and the rule that only an open mouth is followed.
TEST_F(FaceDetectionTest, TalkerModeOnRealFaces) {
    KXFaceTracker tracker;
    ASSERT_TRUE(tracker.load());
    std::vector<KXFaceLandmarks> groupA;
    for (const char* name : {"group_three_faces_a.jpg", "group_three_faces_b.jpg", "two_faces.jpg"}) {
        SCOPED_TRACE(name);
        cv::Mat picture = photoPicture(name);
        const std::vector<KXFaceBox> boxes = tracker.detect(picture);
        const std::vector<KXFaceLandmarks> faces = tracker.landmarks(picture, boxes);
        ASSERT_EQ(faces.size(), boxes.size());
        std::string openings;
        for (const KXFaceLandmarks& face : faces) {
            // Every landmark lies within the face box enlarged by a tenth of its size.
            const int dx = (face.box.x2 - face.box.x1) / 10;
            const int dy = (face.box.y2 - face.box.y1) / 10;
            for (const cv::Point& p : face.points) {
                EXPECT_GE(p.x, face.box.x1 - dx);
                EXPECT_LE(p.x, face.box.x2 + dx);
                EXPECT_GE(p.y, face.box.y1 - dy);
                EXPECT_LE(p.y, face.box.y2 + dy);
            }
            char text[96];
            std::snprintf(text, sizeof text, " [box %d,%d-%d,%d: landmark 62 at x %d, opening %.2f]",
                          face.box.x1, face.box.y1, face.box.x2, face.box.y2, face.points[62].x,
                          face.mouthOpening());
            openings += text;
        }
        std::printf("%s: mouth openings%s\n", name, openings.c_str());
        if (std::string(name) == "group_three_faces_a.jpg") {
            groupA = faces;
        }
    }
    ASSERT_EQ(groupA.size(), 3u);
    // Ordered by landmark 62: the open mouth nearest the centre, a closed one, another open
    // one far right.
    std::stable_sort(groupA.begin(), groupA.end(), [](const KXFaceLandmarks& a, const KXFaceLandmarks& b) {
        return std::abs(a.points[62].x - 960) < std::abs(b.points[62].x - 960);
    });
    ASSERT_GT(groupA[0].mouthOpening(), 10.0);
    ASSERT_LT(groupA[1].mouthOpening(), 10.0);
    ASSERT_GT(groupA[2].mouthOpening(), 10.0);
    ASSERT_GT(groupA[2].points[62].x, 960 + 200);

    BoundCamera camera;
    auto send = [&](const KXCameraCommands& commands) {
        KXSendCameraCommands(commands);
        return camera.take();
    };
    tracker.track({}, 3, false);  // the talker mode follows once mode 3 switched tracking on
    // Without the nearest talker, the closed mouth nearer the centre is passed over and the
    // open one on the right is followed.
    const std::vector<KXFaceLandmarks> withoutNearest{groupA[1], groupA[2]};
    Names sent;
    for (int i = 0; i < 5; ++i) {
        sent = send(tracker.trackTalker(withoutNearest, false));
    }
    // It sits right of the picture and below the tolerance line: down-right, at the speeds
    // its offsets give.
    const int x = groupA[2].points[62].x - 960;
    const int y = 540 - groupA[2].points[62].y;
    ASSERT_LT(y, -50);
    EXPECT_EQ(sent, (Names{"pan-speed " + std::to_string(static_cast<int>(x * 0.012 + 1)),
                           "tilt-speed " + std::to_string(static_cast<int>(-y * 0.0213 + 1)), "down-right"}));

    // The whole analysis in the talker mode: outlines, landmarks, and commands only with a
    // flags pointer.
    cv::Mat picture = photoPicture("group_three_faces_a.jpg");
    EXPECT_TRUE(tracker.analyse(picture, 2, nullptr));
    EXPECT_TRUE(camera.sent().empty());
    bool flags[3] = {true, false, false};
    EXPECT_TRUE(tracker.analyse(picture, 2, flags));
    EXPECT_FALSE(camera.sent().empty());
}

TEST_F(FaceDetectionTest, ModelFileThatCannotBeReadLeavesTheTrackerUnloaded) {
    const std::vector<std::string> elsewhere = {KXFindModelFile(kKXDetectorDescriptionFile),
                                                KXFindModelFile(kKXDetectorWeightsFile)};
    TempFolder folder;
    ::setenv("VEXSDK_MODEL_DIR", folder.path().c_str(), 1);
    if (!KXFindModelFile(kKXDetectorWeightsFile).empty()) {
        GTEST_SKIP() << "a detector is installed where the library looks: "
                     << KXFindModelFile(kKXDetectorWeightsFile);
    }
    const std::string models = TestModelFolder();
    KXFaceTracker tracker;
    {
        LogCapture log;
        EXPECT_NO_THROW(EXPECT_FALSE(tracker.load()));
        EXPECT_TRUE(log.contains(kKXDetectorDescriptionFile));
        EXPECT_TRUE(log.contains(kKXDetectorWeightsFile));
    }
    folder.link(kKXDetectorDescriptionFile, models + "/" + kKXDetectorDescriptionFile);
    folder.write(kKXDetectorWeightsFile, std::string(4096, '\x5a'));
    {
        LogCapture log;
        EXPECT_NO_THROW(EXPECT_FALSE(tracker.load()));
        EXPECT_TRUE(log.contains("cannot read the face detector"));
    }
    std::filesystem::remove(folder.file(kKXDetectorWeightsFile));
    folder.link(kKXDetectorWeightsFile, models + "/" + kKXDetectorWeightsFile);
    // A landmark model found before the system's one, truncated.
    folder.write(kKXLandmarkModelFile, std::string("\x01\x02\x03", 3));
    {
        LogCapture log;
        EXPECT_NO_THROW(EXPECT_FALSE(tracker.load()));
        EXPECT_TRUE(log.contains("cannot read the landmark model"));
    }
    // A file that cannot be opened at all.
    std::filesystem::remove(folder.file(kKXLandmarkModelFile));
    folder.write(kKXLandmarkModelFile, "x");
    ::chmod(folder.file(kKXLandmarkModelFile).c_str(), 0);
    if (::access(folder.file(kKXLandmarkModelFile).c_str(), R_OK) != 0) {  // root reads anyway
        LogCapture log;
        EXPECT_NO_THROW(EXPECT_FALSE(tracker.load()));
        EXPECT_TRUE(log.contains(kKXLandmarkModelFile));
    }
    EXPECT_FALSE(tracker.loaded());
    cv::Mat picture(1080, 1920, CV_8UC3, cv::Scalar(0, 0, 0));
    EXPECT_FALSE(tracker.analyse(picture, 3, nullptr));
}
