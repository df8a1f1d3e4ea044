#include "KXLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

std::mutex g_logMutex;                 // guards g_sink, g_sinkContext and stderr writes
KXLogSink g_sink = nullptr;            // guarded by g_logMutex
void* g_sinkContext = nullptr;         // guarded by g_logMutex

bool envEnabled() {
    const char* v = std::getenv("VEXSDK_DEBUG");
    return v != nullptr && v[0] != '\0';
}

}  // namespace

bool KXLogEnabled() {
    static const bool enabled = envEnabled();
    if (enabled) {
        return true;
    }
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_sink != nullptr;
}

void KXSetLogSink(KXLogSink sink, void* context) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_sink = sink;
    g_sinkContext = context;
}

void KXLogV(const char* format, va_list args) {
    if (!KXLogEnabled()) {
        return;
    }
    char stackBuffer[512];
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
    va_end(copy);
    if (needed < 0) {
        return;
    }
    std::string line;
    if (static_cast<size_t>(needed) < sizeof stackBuffer) {
        line.assign(stackBuffer, static_cast<size_t>(needed));
    } else {
        line.resize(static_cast<size_t>(needed) + 1);
        std::vsnprintf(line.data(), line.size(), format, args);
        line.resize(static_cast<size_t>(needed));
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }

    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_sink != nullptr) {
        g_sink(line.c_str(), g_sinkContext);
        return;
    }
    std::fprintf(stderr, "vexsdk: %s\n", line.c_str());
}

void KXLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    KXLogV(format, args);
    va_end(args);
}
