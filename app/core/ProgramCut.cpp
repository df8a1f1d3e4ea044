#include "ProgramCut.h"

#include <QJsonValue>

QJsonObject ProgramCut::toJson() const {
    return QJsonObject{{QStringLiteral("program"), program},
                       {QStringLiteral("previous"), previous.isEmpty() ? QJsonValue() : QJsonValue(previous)},
                       {QStringLiteral("reason"), reason},
                       {QStringLiteral("decided"), decidedMs},
                       {QStringLiteral("time"), timeMs},
                       {QStringLiteral("delayMs"), timeMs - decidedMs}};
}

bool ProgramCut::operator==(const ProgramCut& o) const {
    return program == o.program && previous == o.previous && reason == o.reason && decidedMs == o.decidedMs &&
           timeMs == o.timeMs;
}
