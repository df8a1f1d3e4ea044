#pragma once

// Collects the application's debug lines (qDebug) for the life of the object, from any
// thread; the previous message handler gets them too.
//
// Threading: lines may come from any thread (guarded by a mutex); one object at a time.

#include <QString>
#include <QStringList>

class DebugLines {
public:
    DebugLines();
    ~DebugLines();
    DebugLines(const DebugLines&) = delete;
    DebugLines& operator=(const DebugLines&) = delete;

    QStringList lines() const;
    int count(const QString& text) const;  // lines containing `text`
    bool contains(const QString& text) const { return count(text) > 0; }
};
