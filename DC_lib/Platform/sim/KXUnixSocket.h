#pragma once

// Thin Unix-domain stream socket calls for the simulated backend and its test server.
// Every wait is bounded by a timeout; the peer is untrusted (lines are bounded).

#include <cstddef>
#include <string>

namespace kxsock {

// Connects to a Unix stream socket; -1 when nothing listens there (or the path is too long).
int connectUnix(const std::string& path);
void closeSocket(int fd);
bool setNonBlocking(int fd);

// Sends everything, waiting at most timeoutMs in total.
bool sendAll(int fd, const std::string& data, int timeoutMs);

enum class LineResult { Line, Timeout, Closed, TooLong, Error };

// Takes one "\n"-ended line (without it) from `buffer`, receiving more into it as needed,
// waiting at most timeoutMs in total (0: only what is already there or ready now).
LineResult receiveLine(int fd, std::string& buffer, std::string& line, size_t maxLineBytes, int timeoutMs);

}  // namespace kxsock
