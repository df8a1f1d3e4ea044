// Scenario files: the demonstration's reads, and a defect anywhere is named with its place.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "SimScenario.h"

namespace {

std::optional<SimScenario> read(const std::string& text, std::string& error) {
    const std::optional<kxjson::Json> doc = kxjson::parse(text);
    if (!doc) {
        error = "not JSON";
        return std::nullopt;
    }
    return SimScenario::fromJson(*doc, error);
}

TEST(SimScenario, TheDemonstrationReads) {
    std::string error;
    const auto s = SimScenario::fromFile(VEX_SOURCE_DIR "/tools/vexsim/scenarios/demo.json", error);
    ASSERT_TRUE(s) << error;
    // Two cameras told apart by their pictures, at the places the demonstration's settings save.
    ASSERT_EQ(s->cameras.size(), 2u);
    EXPECT_EQ(s->cameras[0].busPort, "1&2.4");
    EXPECT_EQ(s->cameras[1].busPort, "1&2.5");
    EXPECT_NE(s->cameras[0].room, s->cameras[1].room);
    for (const SimScenario::Camera& c : s->cameras) {
        EXPECT_EQ(c.presets.size(), 8u);
        EXPECT_EQ(c.capabilities[0].width, 1280);
    }
    ASSERT_EQ(s->arrays.size(), 1u);
    EXPECT_EQ(s->arrays[0].brand, "shure");
    EXPECT_GT(s->loopMs, s->timeline.back().atMs);
    for (size_t i = 1; i < s->timeline.size(); ++i) EXPECT_LE(s->timeline[i - 1].atMs, s->timeline[i].atMs);
    // Talkers on both sides of the table, so both cameras get to turn.
    bool front = false, side = false;
    for (const SimScenario::Event& e : s->timeline) {
        const kxjson::Json* position = kxjson::member(e.operation, "position");
        if (position != nullptr && position->is_number_integer()) {
            front = front || position->get<int>() <= 4;
            side = side || position->get<int>() >= 5;
        }
    }
    EXPECT_TRUE(front && side);
}

// The demonstration's settings name the demonstration's cameras: a camera saved at a place
// no simulated camera has never connects, and a position linked to it never turns a camera.
TEST(SimScenario, TheDemonstrationsSettingsNameItsCameras) {
    std::string error;
    const auto s = SimScenario::fromFile(VEX_SOURCE_DIR "/tools/vexsim/scenarios/demo.json", error);
    ASSERT_TRUE(s) << error;
    std::ifstream in(VEX_SOURCE_DIR "/tools/vexsim/scenarios/demo-settings.json", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::optional<kxjson::Json> settings = kxjson::parse(text);
    ASSERT_TRUE(settings);
    std::set<std::string> simulated;
    for (const SimScenario::Camera& c : s->cameras) simulated.insert(c.busPort + "&1&0000");

    std::set<std::string> saved;
    for (const kxjson::Json& camera : kxjson::arrayMember(*settings, "UsbCamerasArray")) {
        const std::string location = kxjson::text(camera, "LocationIdentity");
        EXPECT_TRUE(simulated.count(location)) << location;
        EXPECT_EQ(kxjson::text(camera, "IsConnect"), "1") << location;
        EXPECT_FALSE(kxjson::text(camera, "ShortName").empty()) << location;
        saved.insert(location);
    }
    EXPECT_EQ(saved, simulated);
    EXPECT_TRUE(kxjson::flag(*settings, "SeveralCameras"));
    const kxjson::Json* links = kxjson::member(*settings, "PresetLinkCameraMap");
    ASSERT_NE(links, nullptr);
    std::set<std::string> linked;
    for (int position = 1; position <= 8; ++position) {
        const std::string camera = kxjson::text(*links, "ArrayPos" + std::to_string(position));
        EXPECT_TRUE(saved.count(camera)) << position << " -> " << camera;
        linked.insert(camera);
    }
    EXPECT_EQ(linked, saved);  // every camera has talkers of its own
}

TEST(SimScenario, DefaultsFillWhatIsLeftOutAndEventsAreSorted) {
    std::string error;
    const auto s = read(R"({"cameras":[{}],"arrays":[{"brand":"Yamaha"}],
        "timeline":{"events":[{"at_ms":500,"op":"silence"},{"at_ms":100,"op":"talk","azimuth":3}]}})",
                        error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->cameras[0].id, "cam1");
    EXPECT_EQ(s->cameras[0].capabilities.size(), 1u);
    EXPECT_EQ(s->cameras[0].room, SimRoom::Default);
    EXPECT_EQ(s->arrays[0].brand, "yamaha");
    EXPECT_EQ(s->arrays[0].id, "Yamaha");
    EXPECT_EQ(s->timeline[0].atMs, 100);
    EXPECT_EQ(kxjson::text(s->timeline[0].operation, "op"), "talk");
    EXPECT_EQ(kxjson::member(s->timeline[0].operation, "at_ms"), nullptr);
}

TEST(SimScenario, DefectsAreNamedWithTheirPlace) {
    const std::pair<const char*, const char*> cases[] = {
        {R"([])", "must be an object"},
        {R"({"cameras":{}})", "cameras: must be an array"},
        {R"({"cameras":[{"capabilities":[{"width":"wide"}]}]})",
         "cameras[0].capabilities[0].width: must be a number"},
        {R"({"cameras":[{"capabilities":[{"width":100000}]}]})",
         "cameras[0].capabilities[0].width: must lie in"},
        {R"({"cameras":[{"capabilities":[{"fps":29.97}]}]})", "fps: must be a whole number"},
        {R"({"cameras":[{"capabilities":[{"subtype":"NV12"}]}]})", "subtype"},
        {R"({"cameras":[{"vid":"xyz"}]})", "cameras[0].vid"},
        {R"({"cameras":[{"bus_port":"nowhere"}]})", "bus_port"},
        {R"({"cameras":[{"firmware":"far too long"}]})", "firmware"},
        {R"({"cameras":[{"id":"a"},{"id":"a"}]})", "cameras[1].id: \"a\" is used twice"},
        {R"({"cameras":[{"presets":{"one":{}}}]})", "presets"},
        {R"({"cameras":[{"presets":{"1":{"pan":400}}}]})", "cameras[0].presets.1.pan"},
        {R"({"cameras":[{"presets":[]}]})", "presets"},
        {R"({"cameras":[{"room":"Blue"}]})", "cameras[0].room: must be \"default\", \"blue\" or \"green\""},
        {R"({"cameras":[{},{"room":7}]})", "cameras[1].room: must be a string"},
        {R"({"arrays":[{}]})", "arrays[0].brand: missing"},
        {R"({"arrays":[{"brand":"acme"}]})", "brand: must be"},
        {R"({"arrays":[{"brand":"shure","port":70000}]})", "port"},
        {R"({"cameras":[{"id":"x"}],"arrays":[{"brand":"shure","id":"x"}]})", "used twice"},
        {R"({"timeline":{"events":[{"at_ms":5}]}})", "timeline.events[0].op: missing"},
        {R"({"timeline":{"events":[{"at_ms":-5,"op":"talk"}]}})", "at_ms"},
        {R"({"timeline":{"loop_ms":100,"events":[{"at_ms":500,"op":"talk"}]}})", "loop_ms"},
        {R"({"timeline":{"events":7}})", "events: must be an array"},
    };
    for (const auto& [text, expected] : cases) {
        std::string error;
        EXPECT_FALSE(read(text, error)) << text;
        EXPECT_NE(error.find(expected), std::string::npos) << text << " -> " << error;
    }
}

TEST(SimScenario, FilesThatAreNotScenariosAreRefused) {
    std::string error;
    EXPECT_FALSE(SimScenario::fromFile("/nonexistent/scenario.json", error));
    EXPECT_NE(error.find("cannot be read"), std::string::npos);
    const std::string path = ::testing::TempDir() + "/garbage-scenario.json";
    {
        std::ofstream out(path, std::ios::binary);
        for (int i = 0; i < 5000; ++i) out << "\xff{[\"" << char(i);
    }
    EXPECT_FALSE(SimScenario::fromFile(path, error));
    EXPECT_NE(error.find("not a JSON document"), std::string::npos);
    std::remove(path.c_str());
}

}  // namespace
