#pragma once

// Thin wrappers over the system calls the Linux backend makes. Each does one call (retrying
// EINTR) and nothing else, so that everything above them works on plain data and can be
// tested on fixture trees and recorded bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace kxsys {

int openDevice(const std::string& path);  // O_RDWR | O_NONBLOCK | O_CLOEXEC; -1 on failure
void closeDevice(int fd);
int ioctlRetry(int fd, unsigned long request, void* arg);  // ioctl(2), EINTR retried

// Whole file, at most maxBytes (sysfs attributes and descriptor blobs are small).
std::optional<std::string> readFile(const std::string& path, size_t maxBytes = 64 * 1024);
// A sysfs attribute: the file's text with trailing line ends and blanks removed.
std::optional<std::string> readAttribute(const std::string& path);
// Names in a folder (without "." and ".."); empty when it cannot be read.
std::vector<std::string> listDirectory(const std::string& path);
// The canonical path (symlinks resolved).
std::optional<std::string> realPath(const std::string& path);

}  // namespace kxsys
