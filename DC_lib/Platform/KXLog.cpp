#include "KXLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

std::mutex g_logMutex;           // guards g_sink, g_sinkContext, g_warned and stderr writes
KXLogSink g_sink = nullptr;      // guarded by g_logMutex
void* g_sinkContext = nullptr;   // guarded by g_logMutex
std::set<std::string> g_warned;  // guarded by g_logMutex: warning texts already written

// More distinct warnings than any machine has causes for: past it, new texts are still
// written but no longer remembered (the set never grows without bound).
constexpr size_t kMaxRememberedWarnings = 256;

std::string format(const char* format, va_list args) {
    char stackBuffer[512];
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(stackBuffer, sizeof stackBuffer, format, copy);
    va_end(copy);
    if (needed < 0) {
        return std::string();
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
    return line;
}

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

void KXLogV(const char* text, va_list args) {
    if (!KXLogEnabled()) {
        return;
    }
    const std::string line = format(text, args);

    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_sink != nullptr) {
        g_sink(line.c_str(), g_sinkContext);
        return;
    }
    std::fprintf(stderr, "vexsdk: %s\n", line.c_str());
}

void KXLog(const char* text, ...) {
    va_list args;
    va_start(args, text);
    KXLogV(text, args);
    va_end(args);
}

void KXWarnOnce(const char* text, ...) {
    va_list args;
    va_start(args, text);
    const std::string line = format(text, args);
    va_end(args);

    std::lock_guard<std::mutex> lock(g_logMutex);
    if (g_warned.count(line) != 0) {
        return;
    }
    if (g_warned.size() < kMaxRememberedWarnings) {
        g_warned.insert(line);
    }
    if (g_sink != nullptr) {
        g_sink(("warning: " + line).c_str(), g_sinkContext);
        return;
    }
    std::fprintf(stderr, "vexsdk: warning: %s\n", line.c_str());
}
