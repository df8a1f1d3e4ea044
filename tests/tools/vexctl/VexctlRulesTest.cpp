// vexctl's rules without a device: the command line, numbers and preset maps as users type
// them, which camera a command names, which format a picture is opened on, and how a result
// reads as JSON and as text.

#include <gtest/gtest.h>

#include <list>

#include "AppRequest.h"
#include "CameraSelection.h"
#include "CommandLine.h"
#include "FormatChoice.h"
#include "Output.h"

namespace {

const std::vector<std::string> kFlags = {"--audio"};
const std::vector<std::string> kValued = {"--for", "--index", "--map"};

VexctlCommandLine parsed(const std::vector<std::string>& args) {
    VexctlCommandLine line;
    std::string error;
    EXPECT_TRUE(VexctlParse(args, kFlags, kValued, line, error)) << error;
    return line;
}

std::string parseError(const std::vector<std::string>& args) {
    VexctlCommandLine line;
    std::string error;
    EXPECT_FALSE(VexctlParse(args, kFlags, kValued, line, error));
    return error;
}

}  // namespace

TEST(VexctlCommandLine, OptionsStandAnywhereInEitherSpelling) {
    const VexctlCommandLine line =
        parsed({"--json", "ptz", "1&2.4&1&0000", "--for=500", "up", "--index", "0"});
    EXPECT_TRUE(line.json);
    EXPECT_EQ(line.subcommand, "ptz");
    EXPECT_EQ(line.positionals, (std::vector<std::string>{"1&2.4&1&0000", "up"}));
    EXPECT_EQ(line.options.at("--for"), "500");
    EXPECT_EQ(line.options.at("--index"), "0");

    const VexctlCommandLine help = parsed({"record", "-h"});
    EXPECT_TRUE(help.help);
    // After "--" everything is positional, even what looks like an option.
    EXPECT_EQ(parsed({"snapshot", "--", "--odd.jpg"}).positionals, (std::vector<std::string>{"--odd.jpg"}));
}

TEST(VexctlCommandLine, MistakesAreNamed) {
    EXPECT_EQ(parseError({"ptz", "up", "--speed", "3"}), "unknown option --speed");
    EXPECT_EQ(parseError({"ptz", "up", "--for"}), "option --for needs a value");
    EXPECT_EQ(parseError({"record", "x.mp4", "--audio=yes"}), "option --audio takes no value");
    // A negative number after the subcommand is an argument (reported as out of range by the
    // subcommand), not an unknown option.
    EXPECT_EQ(parsed({"preset", "call", "-1"}).positionals, (std::vector<std::string>{"call", "-1"}));
}

TEST(VexctlCommandLine, WholeNumbersOnly) {
    int64_t value = 0;
    EXPECT_TRUE(VexctlParseInt("42", 0, 100, value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(VexctlParseInt("-3", -5, 5, value));
    EXPECT_EQ(value, -3);
    for (const char* bad : {"", "-", "4x", " 4", "4 ", "+4", "0x10", "1e3", "4.0"}) {
        EXPECT_FALSE(VexctlParseInt(bad, -100, 100, value)) << bad;
    }
    EXPECT_FALSE(VexctlParseInt("101", 0, 100, value));
    EXPECT_FALSE(VexctlParseInt("-1", 0, 100, value));
    // Far too many digits never wrap around into the range.
    EXPECT_FALSE(VexctlParseInt("18446744073709551620", 0, 100, value));
    EXPECT_FALSE(VexctlParseInt("99999999999999999999999999", 0, INT64_MAX, value));
}

TEST(VexctlCommandLine, PresetMaps) {
    std::map<int, int> map;
    std::string error;
    ASSERT_TRUE(VexctlParsePresetMap("1=3,2=5,8=0", map, error)) << error;
    EXPECT_EQ(map, (std::map<int, int>{{1, 3}, {2, 5}, {8, 0}}));
    for (const char* bad :
         {"", "1=3,", ",1=3", "1=", "=3", "0=1", "9=1", "1=10", "1=3,1=4", "1:3", "a=b", "1=3=4"}) {
        EXPECT_FALSE(VexctlParsePresetMap(bad, map, error)) << bad;
        EXPECT_FALSE(error.empty());
    }
}

TEST(VexctlCommandLine, ArrayAddresses) {
    EXPECT_TRUE(VexctlIsIpv4("192.168.1.20"));
    EXPECT_TRUE(VexctlIsIpv4("127.0.0.1"));
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "a.b.c.d", "1.2.3.-4",
                            "1.2.3.4 ", "array.local", "0001.2.3.4"}) {
        EXPECT_FALSE(VexctlIsIpv4(bad)) << bad;
    }
}

TEST(VexctlCommandLine, JsonStringsAreEscaped) {
    EXPECT_EQ(VexctlJsonString("1&2.4&1&0000"), "\"1&2.4&1&0000\"");
    EXPECT_EQ(VexctlJsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
}

TEST(VexctlCommandLine, CameraIsTheExtraPositional) {
    VexctlCameraName name;
    std::string error;
    ASSERT_TRUE(VexctlSplitCamera({"call", "3"}, 2, name, error));
    EXPECT_FALSE(name.location);
    EXPECT_EQ(name.rest, (std::vector<std::string>{"call", "3"}));
    ASSERT_TRUE(VexctlSplitCamera({"1&3&1&0000", "call", "3"}, 2, name, error));
    EXPECT_EQ(*name.location, "1&3&1&0000");
    EXPECT_EQ(name.rest, (std::vector<std::string>{"call", "3"}));
    EXPECT_FALSE(VexctlSplitCamera({"call"}, 2, name, error));
    EXPECT_EQ(error, "missing arguments");
    EXPECT_FALSE(VexctlSplitCamera({"a", "b", "c", "d"}, 2, name, error));
    EXPECT_EQ(error, "too many arguments");
}

TEST(VexctlCameraSelection, ByLocationIndexOrTheOnlyOne) {
    VexctlCamera first;
    first.index = 0;
    first.location = "1&2.4&1&0000";
    VexctlCamera second;
    second.index = 1;
    second.location = "1&3&1&0000";
    const std::vector<VexctlCamera> two = {first, second};
    VexctlCamera chosen;
    std::string error;

    ASSERT_TRUE(VexctlSelectCamera(two, std::string("1&3&1&0000"), std::nullopt, chosen, error));
    EXPECT_EQ(chosen.index, 1);
    ASSERT_TRUE(VexctlSelectCamera(two, std::nullopt, 1, chosen, error));
    EXPECT_EQ(chosen.location, "1&3&1&0000");

    EXPECT_FALSE(VexctlSelectCamera(two, std::nullopt, std::nullopt, chosen, error));
    EXPECT_NE(error.find("2 cameras attached"), std::string::npos) << error;
    EXPECT_FALSE(VexctlSelectCamera(two, std::nullopt, 2, chosen, error));
    EXPECT_NE(error.find("no camera with index 2"), std::string::npos) << error;
    EXPECT_FALSE(VexctlSelectCamera(two, std::nullopt, -1, chosen, error));
    EXPECT_FALSE(VexctlSelectCamera(two, std::string("1&9&1&0000"), std::nullopt, chosen, error));
    EXPECT_NE(error.find("1&9&1&0000"), std::string::npos) << error;
    EXPECT_FALSE(VexctlSelectCamera(two, std::string("1&3&1&0000"), 1, chosen, error));
    EXPECT_FALSE(VexctlSelectCamera({}, std::nullopt, std::nullopt, chosen, error));
    EXPECT_EQ(error, "no supported camera attached");

    ASSERT_TRUE(VexctlSelectCamera({second}, std::nullopt, std::nullopt, chosen, error));
    EXPECT_EQ(chosen.location, "1&3&1&0000");
}

TEST(VexctlCameraSelection, LocationLetterCase) {
    VexctlCamera camera;
    camera.location = "1&2.4&1&000a";
    VexctlCamera chosen;
    std::string error;
    EXPECT_TRUE(VexctlSelectCamera({camera}, std::string("1&2.4&1&000A"), std::nullopt, chosen, error));
}

namespace {

DC_VideoFormat format(int index, int width, int height, double rate, int code) {
    return DC_VideoFormat{width, height, rate, code, false, index};
}

}  // namespace

TEST(VexctlFormatChoice, PrefersLargeFastH264ThenMjpeg) {
    const std::list<DC_VideoFormat> formats = {
        format(0, 1920, 1080, 30, 4), format(1, 1920, 1080, 15, 4), format(2, 1280, 720, 30, 1),
        format(3, 1920, 1080, 30, 1), format(4, 3840, 2160, 30, 0),
    };
    DC_VideoFormat chosen{};
    std::string error;
    ASSERT_TRUE(VexctlChooseFormat(formats, std::nullopt, chosen, error));
    EXPECT_EQ(chosen.index, 3);

    // Without a qualifying H.264 format: the largest fast MJPEG one, before slow H.264.
    const std::list<DC_VideoFormat> noFastH264 = {format(0, 640, 480, 30, 1), format(1, 1280, 720, 30, 4),
                                                  format(2, 1920, 1080, 15, 1)};
    ASSERT_TRUE(VexctlChooseFormat(noFastH264, std::nullopt, chosen, error));
    EXPECT_EQ(chosen.index, 1);

    // Nothing qualifies: the largest openable format, the higher rate on a tie.
    const std::list<DC_VideoFormat> small = {format(0, 320, 240, 15, 4), format(1, 640, 480, 10, 4),
                                             format(2, 640, 480, 15, 4), format(3, 1920, 1080, 30, 0)};
    ASSERT_TRUE(VexctlChooseFormat(small, std::nullopt, chosen, error));
    EXPECT_EQ(chosen.index, 2);
}

TEST(VexctlFormatChoice, UserChoiceAndFormatsThatCannotOpen) {
    const std::list<DC_VideoFormat> formats = {format(0, 1920, 1080, 30, 4), format(1, 1920, 1080, 30, 0),
                                               format(2, 1920, 1080, 30, 2)};
    DC_VideoFormat chosen{};
    std::string error;
    ASSERT_TRUE(VexctlChooseFormat(formats, 0, chosen, error));
    EXPECT_EQ(chosen.index, 0);
    EXPECT_FALSE(VexctlChooseFormat(formats, 1, chosen, error));
    EXPECT_NE(error.find("only MJPEG and H.264"), std::string::npos) << error;
    EXPECT_FALSE(VexctlChooseFormat(formats, 2, chosen, error));
    EXPECT_FALSE(VexctlChooseFormat(formats, 7, chosen, error));
    EXPECT_NE(error.find("no format 7"), std::string::npos) << error;

    EXPECT_FALSE(VexctlChooseFormat({format(0, 640, 480, 30, 0)}, std::nullopt, chosen, error));
    EXPECT_EQ(error, "the camera offers no MJPEG or H.264 format");
    EXPECT_FALSE(VexctlChooseFormat({}, std::nullopt, chosen, error));
    EXPECT_EQ(error, "the camera lists no video format");
}

// `vexctl app`: the words become one request of the control interface; a movement either
// carries its time (and vexctl stays that long, as leaving stops it) or lasts until Ctrl+C.
TEST(VexctlApp, WordsBecomeRequests) {
    VexctlAppRequest r;
    std::string error;
    ASSERT_TRUE(VexctlAppRequestFor({"preset", "call", "3"}, {}, r, error)) << error;
    EXPECT_EQ(r.method, "preset.call");
    EXPECT_EQ(r.params, "{\"preset\":3}");
    EXPECT_FALSE(r.holdUntilInterrupted);

    ASSERT_TRUE(VexctlAppRequestFor({"ptz", "down-left"}, {{"--for", "250"}}, r, error)) << error;
    EXPECT_EQ(r.method, "ptz.move");
    EXPECT_EQ(r.params, "{\"direction\":\"down-left\",\"ms\":250}");
    EXPECT_EQ(r.holdMs, 250);

    ASSERT_TRUE(VexctlAppRequestFor({"zoom", "in"}, {}, r, error)) << error;
    EXPECT_EQ(r.params, "{\"action\":\"in\"}");
    EXPECT_TRUE(r.holdUntilInterrupted);
    EXPECT_EQ(r.stopMethod, "zoom");

    ASSERT_TRUE(VexctlAppRequestFor({"ptz", "home"}, {}, r, error)) << error;
    EXPECT_FALSE(r.holdUntilInterrupted);
    EXPECT_TRUE(r.stopMethod.empty());

    ASSERT_TRUE(VexctlAppRequestFor({"connect", "1&2.4&1&0000"}, {}, r, error)) << error;
    EXPECT_EQ(r.params, "{\"location\":\"1&2.4&1&0000\"}");
    ASSERT_TRUE(VexctlAppRequestFor({"tracking", "pause", "90"}, {}, r, error)) << error;
    EXPECT_EQ(r.params, "{\"seconds\":90}");
    ASSERT_TRUE(VexctlAppRequestFor({"events"}, {{"--count", "2"}}, r, error)) << error;
    EXPECT_TRUE(r.watchEvents);
    EXPECT_EQ(r.eventCount, 2);
    EXPECT_TRUE(r.onlyEvents.empty());
    ASSERT_TRUE(VexctlAppRequestFor({"events"}, {{"--only", "decision,,preset"}}, r, error)) << error;
    EXPECT_EQ(r.onlyEvents, (std::vector<std::string>{"decision", "preset"}));
}

// --camera goes into the request and into the stop vexctl sends at Ctrl+C, so the movement
// ends on the camera it started on.
TEST(VexctlApp, CameraNamesTheRequestAndItsStop) {
    VexctlAppRequest r;
    std::string error;
    const std::map<std::string, std::string> camera = {{"--camera", "1&3&1&0000"}};
    ASSERT_TRUE(VexctlAppRequestFor({"preset", "call", "3"}, camera, r, error)) << error;
    EXPECT_EQ(r.params, "{\"preset\":3,\"camera\":\"1&3&1&0000\"}");
    ASSERT_TRUE(VexctlAppRequestFor({"ptz", "stop"}, camera, r, error)) << error;
    EXPECT_EQ(r.params, "{\"camera\":\"1&3&1&0000\"}");
    ASSERT_TRUE(VexctlAppRequestFor({"ptz", "left"}, camera, r, error)) << error;
    EXPECT_EQ(r.params, "{\"direction\":\"left\",\"camera\":\"1&3&1&0000\"}");
    EXPECT_EQ(r.stopParams, "{\"camera\":\"1&3&1&0000\"}");
    std::map<std::string, std::string> timed = camera;
    timed["--for"] = "200";
    ASSERT_TRUE(VexctlAppRequestFor({"zoom", "in"}, timed, r, error)) << error;
    EXPECT_EQ(r.params, "{\"action\":\"in\",\"ms\":200,\"camera\":\"1&3&1&0000\"}");
    EXPECT_EQ(r.stopParams, "{\"action\":\"stop\",\"camera\":\"1&3&1&0000\"}");

    // Only the camera commands take it, and only with a location.
    for (const char* what : {"state", "events", "disconnect"}) {
        error.clear();
        EXPECT_FALSE(VexctlAppRequestFor({what}, camera, r, error)) << what;
        EXPECT_NE(error.find("--camera"), std::string::npos) << error;
    }
    EXPECT_FALSE(VexctlAppRequestFor({"tracking", "on"}, camera, r, error));
    EXPECT_FALSE(VexctlAppRequestFor({"focus", "auto"}, {{"--camera", ""}}, r, error));
}

// `app picture`: "picture.start" with the width and camera asked, so many pictures saved,
// then "picture.stop".
TEST(VexctlApp, PictureSavesSoManyThenStops) {
    VexctlAppRequest r;
    std::string error;
    ASSERT_TRUE(VexctlAppRequestFor({"picture"}, {{"--out", "/tmp/p"}}, r, error)) << error;
    EXPECT_EQ(r.method, "picture.start");
    EXPECT_EQ(r.params, "{}");
    EXPECT_EQ(r.pictureCount, 1);
    EXPECT_EQ(r.pictureDir, "/tmp/p");
    EXPECT_EQ(r.stopMethod, "picture.stop");
    EXPECT_FALSE(r.holdUntilInterrupted);
    ASSERT_TRUE(VexctlAppRequestFor(
        {"picture"}, {{"--out", "d"}, {"--count", "30"}, {"--width", "320"}, {"--camera", "1&3&1&0000"}}, r,
        error))
        << error;
    EXPECT_EQ(r.params, "{\"width\":320,\"camera\":\"1&3&1&0000\"}");
    EXPECT_EQ(r.pictureCount, 30);
}

TEST(VexctlApp, MistakesAreNamed) {
    VexctlAppRequest r;
    std::string error;
    const std::vector<std::pair<std::vector<std::string>, std::map<std::string, std::string>>> bad = {
        {{}, {}},
        {{"preset", "call", "10"}, {}},
        {{"ptz", "sideways"}, {}},
        {{"ptz", "home"}, {{"--for", "100"}}},
        {{"ptz", "left"}, {{"--for", "0"}}},
        {{"focus", "auto"}, {{"--for", "100"}}},
        {{"zoom", "near"}, {}},
        {{"tracking", "maybe"}, {}},
        {{"tracking", "pause", "-1"}, {}},
        {{"state", "extra"}, {}},
        {{"state"}, {{"--count", "1"}}},
        {{"state"}, {{"--only", "decision"}}},
        {{"events"}, {{"--only", ","}}},
        {{"connect"}, {}},
        {{"launch"}, {}},
        {{"picture"}, {}},
        {{"picture"}, {{"--out", "/tmp"}, {"--width", "641"}}},
        {{"picture"}, {{"--out", "/tmp"}, {"--count", "0"}}},
        {{"picture", "now"}, {{"--out", "/tmp"}}},
        {{"state"}, {{"--width", "320"}}},
        {{"events"}, {{"--out", "/tmp"}}},
    };
    for (const auto& [words, options] : bad) {
        error.clear();
        EXPECT_FALSE(VexctlAppRequestFor(words, options, r, error)) << (words.empty() ? "" : words[0]);
        EXPECT_FALSE(error.empty());
    }
}

TEST(VexctlOutput, FieldsKeepTheirOrderPrecisionAndEscaping) {
    const VexctlFields call = VexctlFields().text("call", "setPanStop(20)").number("result", -255);
    EXPECT_EQ(VexctlFields()
                  .text("camera", "1&2.4&1\"\n")
                  .fixed("frame_rate", 29.97, 3)
                  .fixed("seconds", 1.005, 2)
                  .number("bytes", 5000000000LL)
                  .boolean("audio", false)
                  .textOrNull("snapshot", "")
                  .textOrNull("file", "a.jpg")
                  .raw("calls", VexctlJsonArray({call, call}))
                  .json(),
              "{\"camera\":\"1&2.4&1\\\"\\n\",\"frame_rate\":29.970,\"seconds\":1.00,\"bytes\":5000000000,"
              "\"audio\":false,\"snapshot\":null,\"file\":\"a.jpg\",\"calls\":[{\"call\":\"setPanStop(20)\","
              "\"result\":-255},{\"call\":\"setPanStop(20)\",\"result\":-255}]}");
    // Nothing to list is an empty array, and appending nothing (or to nothing) leaves no
    // stray comma.
    EXPECT_EQ(VexctlJsonArray({}), "[]");
    EXPECT_EQ(VexctlFields().append(VexctlFields()).json(), "{}");
    EXPECT_EQ(VexctlFields().append(call).json(), call.json());
    EXPECT_EQ(VexctlFields().number("a", 1).append(VexctlFields()).append(call).json(),
              "{\"a\":1,\"call\":\"setPanStop(20)\",\"result\":-255}");
}

TEST(VexctlOutput, TextOfAnyLengthAndOneFormOnly) {
    // A path of any length is printed whole, not cut at a buffer's size.
    const std::string path(5000, 'p');
    EXPECT_EQ(VexctlFormat("%s: %dx%d", path.c_str(), 1280, 720), path + ": 1280x720");
    EXPECT_EQ(VexctlFormat("%s", ""), "");

    testing::internal::CaptureStdout();
    VexctlPrint(false, "{\"a\":1}", "line one\nline two");
    VexctlPrint(true, "{\"a\":1}", "line one");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "line one\nline two\n{\"a\":1}\n");
}
