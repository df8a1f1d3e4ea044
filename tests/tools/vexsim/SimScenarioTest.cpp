// Scenario files: the demonstration's reads, and a defect anywhere is named with its place.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

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
    ASSERT_EQ(s->cameras.size(), 1u);
    EXPECT_EQ(s->cameras[0].presets.size(), 8u);
    EXPECT_EQ(s->cameras[0].capabilities[0].width, 1280);
    ASSERT_EQ(s->arrays.size(), 1u);
    EXPECT_EQ(s->arrays[0].brand, "shure");
    EXPECT_GT(s->loopMs, s->timeline.back().atMs);
    for (size_t i = 1; i < s->timeline.size(); ++i) EXPECT_LE(s->timeline[i - 1].atMs, s->timeline[i].atMs);
}

TEST(SimScenario, DefaultsFillWhatIsLeftOutAndEventsAreSorted) {
    std::string error;
    const auto s = read(R"({"cameras":[{}],"arrays":[{"brand":"Yamaha"}],
        "timeline":{"events":[{"at_ms":500,"op":"silence"},{"at_ms":100,"op":"talk","azimuth":3}]}})",
                        error);
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->cameras[0].id, "cam1");
    EXPECT_EQ(s->cameras[0].capabilities.size(), 1u);
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
