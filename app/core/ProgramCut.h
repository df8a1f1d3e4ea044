#pragma once

#include <QJsonObject>
#include <QMetaType>
#include <QString>

// One change of the program camera: what the far end sees from now on, and why.
//
// A plain value; copied by queued connections (registered as a meta type).
struct ProgramCut {
    QString program;       // location identity now live; empty: no camera is connected
    QString previous;      // the one live before; empty: none
    QString reason;        // one line a person reads: "shot on usb-1-2: trigger delay reached"
    qint64 decidedMs = 0;  // when the decision that led to it was taken (ms since the epoch)
    qint64 timeMs = 0;     // when the program cut (ms since the epoch)

    // {"program", "previous", "reason", "decided", "time", "delayMs"}: the control
    // interface's `program` event and the decision log read it.
    QJsonObject toJson() const;
    bool operator==(const ProgramCut& other) const;
};

Q_DECLARE_METATYPE(ProgramCut)
