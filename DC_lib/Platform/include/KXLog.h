#pragma once

// The library's debug log: one line per message on stderr, written only when the
// environment variable VEXSDK_DEBUG is set and non-empty. Every library component writes
// its debug lines through this function (never printf/cerr directly), so that a host
// program sees nothing unless it asks for it.
//
// Thread-safe: lines from different threads never interleave.

#include <cstdarg>

bool KXLogEnabled();

// printf-style; a trailing "\n" in the message is not doubled.
void KXLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
void KXLogV(const char* format, va_list args);

// A problem the user has to hear about even without VEXSDK_DEBUG (a capture node that
// cannot be opened, a microphone the picture goes on without): one line
// "vexsdk: warning: <text>" on stderr, each distinct text once per process, so that a retry
// loop does not flood the terminal. While a test sink is set, the sink receives
// "warning: <text>" instead.
void KXWarnOnce(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Test hook: receives every line (without its line end) instead of stderr while set;
// nullptr restores stderr. Lines are delivered whether or not VEXSDK_DEBUG is set.
using KXLogSink = void (*)(const char* line, void* context);
void KXSetLogSink(KXLogSink sink, void* context);
