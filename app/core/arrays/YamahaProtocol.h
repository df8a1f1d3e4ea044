#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ReplyFramer.h"

// What one line of a Yamaha array means to the tracking.
struct YamahaEvent {
    enum Kind { RunModeNormal, BeamDirection };
    Kind kind = RunModeNormal;
    int phi = 0;         // degrees, -180..330
    double theta = 0.0;  // degrees, logged only
    int voice = 0;       // 0: no voice

    bool operator==(const YamahaEvent&) const = default;
};

// The Yamaha remote-control command lines on TCP port 49280.
class YamahaProtocol {
public:
    static constexpr int kPort = 49280;
    static constexpr std::string_view kRunModeRequest = "devstatus runmode \n";
    static constexpr std::string_view kMeteringRequest = "mtrstart RM:BeamDirection 100 \n";
    static constexpr std::string_view kKeepAliveRequest = "scpmode keepalive 5000 \n";

    // Feeds one read of the link; returns the events of the lines it completes, in order.
    std::vector<YamahaEvent> feed(std::string_view chunk);
    void reset() { _framer.clear(); }
    const ReplyFramer& framer() const { return _framer; }

    // Evaluates every line of the text on its own (a last line without an end counts too).
    // A busy array answers each poll ("OK mtrstart ...") in the same read as notifications,
    // so a read is never one report: only lines that are beam notifications are reports, and
    // every other line except the run-mode answer is ignored.
    static std::vector<YamahaEvent> parse(std::string_view text);
    static std::optional<YamahaEvent> parseLine(std::string_view line);

    // Reads one beam notification line: the tokens after "NOTIFY mtr RM:BeamDirection raw "
    // are phi (hex), theta (hex) and voice (decimal); missing or corrupt tokens read as 0.
    static YamahaEvent parseBeamDirection(std::string_view line);

    // What each poll writes: the metering request once the array runs normally, the run-mode
    // question before.
    static std::string_view pollRequest(bool running) { return running ? kMeteringRequest : kRunModeRequest; }

private:
    ReplyFramer _framer{"\r\n"};
};
