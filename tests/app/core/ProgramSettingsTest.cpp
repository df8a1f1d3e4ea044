// The program output's settings: what a hand-edited or older document reads as, and that what
// is written reads back the same.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

#include "ProgramSettings.h"

namespace {

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(text).object();
}

}  // namespace

TEST(ProgramSettings, AnEmptyObjectIsTheDefaultsAndTheDefaultsRoundTrip) {
    QStringList replaced;
    const ProgramSettings s = ProgramSettings::fromJson(QJsonObject(), &replaced);
    EXPECT_TRUE(replaced.isEmpty());
    EXPECT_EQ(s.toJson(), json(R"({"Enabled": false, "Width": 1280, "Height": 720, "FrameRate": 30,
        "CutDelay": 700, "SameCameraMove": "move", "WideCamera": ""})"));
    EXPECT_TRUE(s.problem().isEmpty());

    ProgramSettings changed;
    changed.enabled = true;
    changed.width = 640;
    changed.height = 360;
    changed.frameRate = 25;
    changed.cutDelayMs = 0;
    changed.sameCameraMove = ProgramSettings::SameCameraMove::Wide;
    changed.wideCamera = QStringLiteral("usb-1-2");
    EXPECT_EQ(ProgramSettings::fromJson(changed.toJson()), changed);
}

TEST(ProgramSettings, WrongTypesAreDefaultsAndOutOfRangeNumbersAreBounded) {
    QStringList replaced;
    const ProgramSettings s = ProgramSettings::fromJson(
        json(R"({"Enabled": "yes", "Width": 7680, "Height": 1.5, "FrameRate": 0, "CutDelay": -5,
                 "SameCameraMove": "dissolve", "WideCamera": 3})"),
        &replaced);
    EXPECT_FALSE(s.enabled);
    EXPECT_EQ(s.width, ProgramSettings::kMaxWidth);
    EXPECT_EQ(s.height, ProgramSettings::kDefaultHeight);
    EXPECT_EQ(s.frameRate, ProgramSettings::kMinFrameRate);
    EXPECT_EQ(s.cutDelayMs, 0);
    EXPECT_EQ(s.sameCameraMove, ProgramSettings::SameCameraMove::Move);
    EXPECT_TRUE(s.wideCamera.isEmpty());
    replaced.sort();
    EXPECT_EQ(replaced.join(','),
              QStringLiteral("CutDelay,Enabled,FrameRate,Height,SameCameraMove,WideCamera,Width"));

    // Numbers far outside int range are bounded too, never wrapped into a small picture.
    const ProgramSettings huge = ProgramSettings::fromJson(json(R"({"Width": 1e12, "CutDelay": 1e12})"));
    EXPECT_EQ(huge.width, ProgramSettings::kMaxWidth);
    EXPECT_EQ(huge.cutDelayMs, ProgramSettings::kMaxCutDelayMs);
}

TEST(ProgramSettings, OddSizesAreMadeEvenAndCameraTextIsNormalised) {
    QStringList replaced;
    const ProgramSettings s = ProgramSettings::fromJson(
        json(R"({"Width": 641, "Height": 161, "SameCameraMove": " Freeze ", "WideCamera": " USB-1-4 "})"),
        &replaced);
    EXPECT_TRUE(replaced.isEmpty());
    EXPECT_EQ(s.width, 640);
    EXPECT_EQ(s.height, 160);
    EXPECT_EQ(s.sameCameraMove, ProgramSettings::SameCameraMove::Freeze);
    EXPECT_EQ(s.wideCamera, QStringLiteral("usb-1-4"));
}

TEST(ProgramSettings, WideWithoutAWideCameraIsAProblem) {
    ProgramSettings s;
    s.sameCameraMove = ProgramSettings::SameCameraMove::Wide;
    EXPECT_FALSE(s.problem().isEmpty());
    s.wideCamera = QStringLiteral("usb-1-4");
    EXPECT_TRUE(s.problem().isEmpty());
}
