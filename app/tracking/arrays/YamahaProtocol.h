#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "ReplyFramer.h"

// What one read of a Yamaha array amounts to. A read is evaluated once: the run-mode answer
// wins over beam notifications in the same read.
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

    std::optional<YamahaEvent> feed(std::string_view chunk);
    void reset() { _framer.clear(); }
    const ReplyFramer& framer() const { return _framer; }

    // Evaluates whole lines as one read.
    static std::optional<YamahaEvent> parse(std::string_view text);

    // Reads a beam notification: every "NOTIFY mtr RM:BeamDirection raw " is removed, and
    // tokens 0-2 of what remains are phi (hex), theta (hex) and voice (decimal). With several
    // notifications in one text, tokens 0-2 of the whole remainder decide.
    static YamahaEvent parseBeamDirection(std::string_view text);

    // What each poll writes: the metering request once the array runs normally, the run-mode
    // question before.
    static std::string_view pollRequest(bool running) { return running ? kMeteringRequest : kRunModeRequest; }

private:
    ReplyFramer _framer{"\r\n"};
};
