#include "DebugLines.h"

#include <QtGlobal>

#include <mutex>

namespace {

std::mutex g_mutex;
QStringList g_lines;                    // guarded by g_mutex
QtMessageHandler g_previous = nullptr;  // guarded by g_mutex

void collect(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    QtMessageHandler previous;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_lines.append(message);
        previous = g_previous;
    }
    if (previous)
        previous(type, context, message);
}

}  // namespace

DebugLines::DebugLines() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
    g_previous = qInstallMessageHandler(collect);
}

DebugLines::~DebugLines() {
    QtMessageHandler previous;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        previous = g_previous;
        g_previous = nullptr;
    }
    qInstallMessageHandler(previous);
}

QStringList DebugLines::lines() const {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

int DebugLines::count(const QString& text) const {
    std::lock_guard<std::mutex> lock(g_mutex);
    int n = 0;
    for (const QString& line : std::as_const(g_lines)) {
        if (line.contains(text))
            ++n;
    }
    return n;
}
