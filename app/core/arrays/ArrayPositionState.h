#pragma once

#include <QtGlobal>

// What the tracking knows about one array position (a Shure automix channel, or a zone of
// an azimuth array).
struct ArrayPositionState {
    // Shure: the channel's automix gate is on. Azimuth arrays: the latest report fell here.
    bool active = false;
    // Last level attributed to the position (Shure peak, Sennheiser peak dB, Nureva power).
    int level = 0;
    qint64 onSince = 0;     // ms since the epoch; start of the talking period, 0 = unset
    qint64 offSince = 0;    // ms since the epoch; start of the silent period, 0 = unset
    qint64 reportTime = 0;  // Nureva: time stamp of the last report (kept for diagnostics)

    void clear() {
        active = false;
        onSince = 0;
        offSince = 0;
    }
};
