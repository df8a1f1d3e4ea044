#pragma once

#include <QString>
#include <QUuid>

#include <optional>

// One audio-location report of a Nureva array.
struct NurevaReport {
    double powerLevel = 0.0;  // 0 when absent
    int azimuth = -80;        // degrees, truncated; -80 when absent
    qint64 timeMs = 0;        // report time in ms since the epoch; 0 when absent or unreadable

    // The power level as the tracking keeps it: truncated, clamped to a sane range.
    int powerLevelInt() const;

    bool operator==(const NurevaReport&) const = default;
};

// The Nureva WebSocket protocol: JSON text messages. Uses Qt Core for JSON and dates only.
class NurevaProtocol {
public:
    static constexpr int kDefaultPort = 8931;

    // A report for every message whose object has "body"; nothing for anything else.
    static std::optional<NurevaReport> parse(const QString& message);

    // The audio-location subscription sent once when the link comes up.
    static QString subscribeRequest(const QUuid& requestId);
};
