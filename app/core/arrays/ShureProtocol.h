#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ReplyFramer.h"

// One reply of a Shure array, in the order the replies arrived.
struct ShureEvent {
    // Gate: a channel's automix gate (the all-channel query); AreaGate: a coverage area's
    // gate, the only per-position gate an array reports in automatic coverage.
    enum Kind { AutoCoverage, Gate, AreaGate, PeakLevel };
    Kind kind = AutoCoverage;
    int channel = 0;  // Gate, AreaGate: 1..ShureProtocol::kMaxChannel; PeakLevel: as reported
    int level = 0;    // PeakLevel only
    bool on = false;  // AutoCoverage: mode is ON; Gate, AreaGate: gate is ON (any letter case)

    bool operator==(const ShureEvent&) const = default;
};

// The Shure command-string protocol ("< GET ... >" / "< REP ... >") on TCP port 2202.
// Turns the bytes of a link into events; the tracking decisions stay with the page.
class ShureProtocol {
public:
    static constexpr int kPort = 2202;
    // Arrays have at most a few dozen automix channels; a gate for a higher channel number is
    // corrupt input and must not create tracking state.
    static constexpr int kMaxChannel = 64;

    // Feeds one read of the link; returns the events of every reply it completes.
    std::vector<ShureEvent> feed(std::string_view chunk);
    void reset() { _framer.clear(); }
    const ReplyFramer& framer() const { return _framer; }

    // Parses whole replies: the text is cut at every "<" and ">" and each piece is one reply.
    static std::vector<ShureEvent> parse(std::string_view text);

    // The three requests of one poll, each written separately. In automatic coverage the
    // coverage-area gate query takes the place of the all-channel gate query.
    static std::vector<std::string> pollRequests(bool autoCoverage);

private:
    ReplyFramer _framer{">"};
};
