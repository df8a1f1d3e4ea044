#pragma once

// What a simulated microphone array says, as bytes on its wire: the replies of the four
// brands to the requests the application sends, given who talks. Plain functions, so the
// bytes can be checked without a socket.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <vector>

// Who talks at an array now.
struct SimTalker {
    bool talking = false;
    int position = 0;         // Shure: the automix channel / coverage area (1..8)
    int azimuth = 0;          // Sennheiser, Nureva, Yamaha: degrees as that brand reports them
    int elevation = 30;       // degrees (reported, not used by the application)
    double level = 0.0;       // Shure peak 0..120, Sennheiser dB (-90..0), Nureva power level
    std::vector<int> alsoAt;  // Shure: further channels / areas with a talker at the same time

    // Shure: whether channel / area `ch` has a talker.
    bool talksAt(int ch) const;
};

namespace SimArrayReplies {

// Levels an array reports for a place nobody talks at.
constexpr int kShureQuietLevel = 0;
constexpr int kSennheiserQuietDb = -90;

// Shure: the replies to one "< GET ... >" request (empty for a request it does not know).
// `autoCoverage`: an MXA920 in automatic coverage, which reports coverage-area gates
// (AUTOMIX_GATE_OUT_CA) and no channel gates. `channels`: how many it reports.
QByteArray shure(const QByteArray& request, const SimTalker& talker, bool autoCoverage, int channels);

// Sennheiser: the reply to one JSON document of a poll (each ends with "\r\n").
QByteArray sennheiser(const QByteArray& document, const SimTalker& talker);

// Yamaha: the reply line to one request line; `meterIntervalMs` is set when the request
// starts metering (0 otherwise).
QByteArray yamaha(const QByteArray& line, int& meterIntervalMs);
// One beam notification: phi and theta as two hexadecimal digits, voice 1 or 0.
QByteArray yamahaNotification(const SimTalker& talker);

// Nureva: one audio-location report at `timeMs` (ms since the epoch, UTC).
QString nurevaReport(const SimTalker& talker, int64_t timeMs);
// The answer to a subscription request (no "body": the application ignores it).
QString nurevaAcknowledge(const QString& request);

}  // namespace SimArrayReplies
