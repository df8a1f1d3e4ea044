#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <deque>

#include "ProgramCut.h"
#include "TrackerDecision.h"

// "Why did it switch": the tracking's recent preset calls, returns home, several-talkers shots
// and the calls it dropped or held, each with its reason and what the tracker saw, newest
// last in memory (the last kCapacity), handed out newest first. The "Tracking log" window,
// the control interface's "decision" event and its "tracking.log" request read it.
//
// An entry as JSON: {"time": ms since the epoch, "action": "preset" | "home" | "several" |
// "dropped" | "program", "position", "preset", "camera", "reason", "talkingMs", "level"}, with
// null for what does not apply (a return home has no position; a home position no preset).
// A "program" entry is a cut of the program picture: "camera" is the camera now live, and it
// adds "previous" and "delayMs" (from the decision to the cut).
//
// Threading: interface thread only.
class DecisionLog : public QObject {
    Q_OBJECT

public:
    static constexpr int kCapacity = 500;

    struct Entry {
        QJsonObject json;
        TrackerDecision::Kind dropped = TrackerDecision::Kind::Preset;  // what a "dropped" entry did not do
    };

    explicit DecisionLog(QObject* parent = nullptr);

    // Takes an action decision meant for the log (others are ignored).
    void append(const TrackerDecision& decision);
    // Takes a cut of the program picture.
    void appendCut(const ProgramCut& cut);
    int size() const { return static_cast<int>(_entries.size()); }
    // Newest first; at most `count` (all when count <= 0).
    QJsonArray newestFirst(int count = 0) const;
    // The entry `index` places from the newest (0: the newest).
    const Entry& entry(int index) const;
    void clear();

    static QJsonObject toJson(const TrackerDecision& decision);
    // One line a person reads at a glance: "10:02:31.250  preset 3 for position 3 - trigger
    // delay reached (talked 1.5 s, level 30)".
    static QString describe(const Entry& entry);

signals:
    void signal_Appended(QJsonObject entry);
    void signal_Cleared();

private:
    void push(const Entry& entry);

    std::deque<Entry> _entries;  // oldest first
};
