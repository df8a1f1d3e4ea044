// The tracking settings' one table: what a document of an earlier version reads as, what is
// written back, and what a value that cannot be meant becomes.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>

#include "TrackingSettings.h"

namespace {

QJsonObject json(const char* text) {
    return QJsonDocument::fromJson(text).object();
}

// A document as the version before these settings existed wrote it, with a key and a group
// member this version does not know.
const char* kOlderDocument = R"({
    "SoundDeviceIndex": 4, "SoundDeviceType": "Nureva: HDL300", "IPAddress": "10.1.2.3",
    "DelayTriggerTime": 3000,
    "PortMap": {"ShurePort": 2202, "SennheiserPort": 45, "NurveaPort": 8999, "FuturePort": 7},
    "AudioTriggerLevelMap": {"SennheiserPeakLevel": -40, "NurveaBackgroundNoise": 62},
    "BackToHomeMap": {"BackToHomeTriggerTime": 30000, "BackToHomeAction": 0},
    "PresetLinkMap": {"ArrayPos1": 3}, "SomethingNewer": [1, 2]})";

TEST(TrackingSettings, AnOlderDocumentLoadsAsItWasAndIsWrittenBackWithEveryKey) {
    const QJsonObject older = json(kOlderDocument);
    QStringList replaced;
    const TrackingSettings s = TrackingSettings::fromJson(older, &replaced);
    EXPECT_TRUE(replaced.isEmpty()) << replaced.join(", ").toStdString();
    EXPECT_EQ(s.soundDeviceIndex, 4);
    EXPECT_EQ(s.brand(), 2);
    EXPECT_EQ(s.ipAddress, QStringLiteral("10.1.2.3"));
    EXPECT_EQ(s.nurevaPort, 8999);
    EXPECT_EQ(s.portOfBrand(s.brand()), 8999);
    EXPECT_EQ(s.delayTriggerTimeMs, 3000);
    EXPECT_EQ(s.sennheiserPeakLevel, -40);
    EXPECT_EQ(s.nurevaBackgroundNoise, 62.0);
    EXPECT_EQ(s.backHomeTimeMs, 30000);
    EXPECT_EQ(s.backHomeAction, 0);
    // The keys it did not have yet: the defaults.
    EXPECT_TRUE(s.autoReconnect);
    EXPECT_EQ(s.minimumHoldTimeMs, 0);
    EXPECT_EQ(s.severalTalkersPreset, -1);
    EXPECT_EQ(s.manualOverrideTimeMs, 30000);
    EXPECT_TRUE(s.trackingEnabled);

    // Written back over the document read: every key it held is there with its value, the
    // new keys are added, and nothing else changes.
    QJsonObject written = older;
    s.toJson(written);
    for (auto it = older.begin(); it != older.end(); ++it)
        EXPECT_EQ(written.value(it.key()), it.value()) << it.key().toStdString();
    EXPECT_EQ(written.value("AutoReconnect"), QJsonValue(true));
    EXPECT_EQ(written.value("ManualOverrideTime"), QJsonValue(30000));
    EXPECT_EQ(written.value("BackToHomeCameras"), QJsonValue("all"));
    EXPECT_EQ(written.value("SeveralTalkersCamera"), QJsonValue(""));
    EXPECT_EQ(written.size(), older.size() + 7);
    // Read again, the same values.
    EXPECT_EQ(TrackingSettings::fromJson(written), s);
}

TEST(TrackingSettings, EveryValueSurvivesARoundTrip) {
    TrackingSettings s;
    s.soundDeviceIndex = 5;
    s.ipAddress = QStringLiteral("192.168.7.9");
    s.nurevaPort = 9000;
    s.delayTriggerTimeMs = 0;
    s.sennheiserPeakLevel = -90;
    s.nurevaBackgroundNoise = 120;
    s.backHomeTimeMs = TrackingSettings::kBackHomeOff;
    s.backHomeAction = 300;
    s.autoReconnect = false;
    s.minimumHoldTimeMs = 5000;
    s.severalTalkersPreset = 0;
    s.manualOverrideTimeMs = 0;
    s.trackingEnabled = false;
    s.severalTalkersCamera = QStringLiteral("1&2.5&1&0000");
    s.backHomeCameras = QStringLiteral("1&2.4&1&0000");
    QJsonObject document;
    s.toJson(document);
    EXPECT_EQ(document.value("SoundDeviceType").toString(), QStringLiteral("Yamaha: RM-CG"));
    EXPECT_EQ(TrackingSettings::fromJson(document), s);
}

struct Odd {
    const char* document;
    const char* key;  // as `replaced` names it
    std::function<bool(const TrackingSettings&)> holdsTheDefault;
};

class OddValues : public ::testing::TestWithParam<Odd> {};

TEST_P(OddValues, AreReplacedByTheirDefault) {
    QStringList replaced;
    const TrackingSettings s = TrackingSettings::fromJson(json(GetParam().document), &replaced);
    EXPECT_EQ(replaced, QStringList{QString::fromLatin1(GetParam().key)});
    EXPECT_TRUE(GetParam().holdsTheDefault(s));
}

INSTANTIATE_TEST_SUITE_P(
    TheTable, OddValues,
    ::testing::Values(
        Odd{R"({"SoundDeviceIndex": 17})", "SoundDeviceIndex",
            [](auto& s) { return s.soundDeviceIndex == 2; }},
        Odd{R"({"SoundDeviceIndex": 1.5})", "SoundDeviceIndex",
            [](auto& s) { return s.soundDeviceIndex == 2; }},
        Odd{R"({"IPAddress": 17})", "IPAddress", [](auto& s) { return s.ipAddress.isEmpty(); }},
        Odd{R"({"DelayTriggerTime": -100})", "DelayTriggerTime",
            [](auto& s) { return s.delayTriggerTimeMs == 1500; }},
        Odd{R"({"DelayTriggerTime": "soon"})", "DelayTriggerTime",
            [](auto& s) { return s.delayTriggerTimeMs == 1500; }},
        Odd{R"({"PortMap": {"NurveaPort": 700000}})", "PortMap/NurveaPort",
            [](auto& s) { return s.nurevaPort == 8931; }},
        Odd{R"({"AudioTriggerLevelMap": {"SennheiserPeakLevel": 20}})",
            "AudioTriggerLevelMap/SennheiserPeakLevel", [](auto& s) { return s.sennheiserPeakLevel == -55; }},
        Odd{R"({"AudioTriggerLevelMap": {"NurveaBackgroundNoise": -0.5}})",
            "AudioTriggerLevelMap/NurveaBackgroundNoise",
            [](auto& s) { return s.nurevaBackgroundNoise == 50.0; }},
        Odd{R"({"BackToHomeMap": {"BackToHomeTriggerTime": 0}})", "BackToHomeMap/BackToHomeTriggerTime",
            [](auto& s) { return s.backHomeTimeMs == 10000; }},
        Odd{R"({"BackToHomeMap": {"BackToHomeAction": 7}})", "BackToHomeMap/BackToHomeAction",
            [](auto& s) { return s.backHomeAction == 300; }},
        Odd{R"({"AutoReconnect": "yes"})", "AutoReconnect", [](auto& s) { return s.autoReconnect; }},
        Odd{R"({"MinimumHoldTime": -1})", "MinimumHoldTime",
            [](auto& s) { return s.minimumHoldTimeMs == 0; }},
        Odd{R"({"SeveralTalkersPreset": 12})", "SeveralTalkersPreset",
            [](auto& s) { return s.severalTalkersPreset == -1; }},
        Odd{R"({"ManualOverrideTime": 1.5})", "ManualOverrideTime",
            [](auto& s) { return s.manualOverrideTimeMs == 30000; }},
        Odd{R"({"TrackingEnabled": 1})", "TrackingEnabled", [](auto& s) { return s.trackingEnabled; }},
        Odd{R"({"SeveralTalkersCamera": 4})", "SeveralTalkersCamera",
            [](auto& s) { return s.severalTalkersCamera.isEmpty(); }},
        Odd{R"({"BackToHomeCameras": "  "})", "BackToHomeCameras",
            [](auto& s) { return s.backHomeToAllCameras(); }}));

TEST(TrackingSettings, CameraKeysAreLocationsInTheListsSpelling) {
    const TrackingSettings s = TrackingSettings::fromJson(
        json(R"({"SeveralTalkersCamera": " 1&2.5&1&ABCD ", "BackToHomeCameras": "1&2.4&1&0000"})"));
    EXPECT_EQ(s.severalTalkersCamera, QStringLiteral("1&2.5&1&abcd"));
    EXPECT_FALSE(s.backHomeToAllCameras());
    // A document from before several cameras: every camera goes home.
    EXPECT_TRUE(TrackingSettings::fromJson(json("{}")).backHomeToAllCameras());
}

TEST(TrackingSettings, MeantValuesStayAndShortPeriodsRunAsTheFloor) {
    QStringList replaced;
    TrackingSettings s = TrackingSettings::fromJson(
        json(R"({"DelayTriggerTime": 2500, "BackToHomeMap": {"BackToHomeTriggerTime": 45000},
                 "AudioTriggerLevelMap": {"NurveaBackgroundNoise": 50.7}})"),
        &replaced);
    EXPECT_TRUE(replaced.isEmpty());
    EXPECT_EQ(s.delayTriggerTimeMs, 2500);  // not one of the dialog's times, but meant
    EXPECT_EQ(s.backHomeTimeMs, 45000);
    EXPECT_EQ(s.nurevaBackgroundNoise, 50.7);  // runs as it is, saved as 50
    QJsonObject written;
    s.toJson(written);
    EXPECT_EQ(written.value("AudioTriggerLevelMap").toObject().value("NurveaBackgroundNoise"),
              QJsonValue(50));
    s = TrackingSettings::fromJson(json(R"({"BackToHomeMap": {"BackToHomeTriggerTime": 400}})"));
    EXPECT_EQ(s.backHomeTimeMs, TrackingSettings::kMinBackHomePeriodMs);
    // A group that is no object holds nothing.
    s = TrackingSettings::fromJson(json(R"({"PortMap": [8999], "BackToHomeMap": "x"})"));
    EXPECT_EQ(s, TrackingSettings{});
}

}  // namespace
