#pragma once

// Thin Unix-domain stream socket calls for the simulated backend and its test server.
// Every wait is bounded by a timeout; the peer is untrusted (lines are bounded).

#include <cstddef>
#include <string>

#include "KXLineReader.h"

namespace kxsock {

// Connects to a Unix stream socket; -1 when nothing listens there (or the path is too long).
int connectUnix(const std::string& path);
void closeSocket(int fd);
bool setNonBlocking(int fd);

// Sends everything, waiting at most timeoutMs in total.
bool sendAll(int fd, const std::string& data, int timeoutMs);

enum class LineResult { Line, Timeout, Closed, TooLong, Error };

// Takes the next line from `reader`, receiving more into it as needed, waiting at most
// timeoutMs in total (0: only what is already there or ready now). TooLong: a line passed
// the reader's bound, and the reader is broken.
LineResult receiveLine(int fd, KXLineReader& reader, std::string& line, int timeoutMs);

}  // namespace kxsock
