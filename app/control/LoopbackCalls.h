#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The device calls the loopback sink makes, routed through one table so the sink's logic
// (which node is ours, what format it took, what the person is told) runs in tests on a fake
// device. system() is the real thing: each entry is the bare system call.
struct LoopbackCalls {
    // The video nodes to look at, "/dev/video0" … in number order.
    std::function<std::vector<std::string>()> listNodes;
    std::function<int(const char* path, int flags)> open;
    std::function<int(int fd, unsigned long request, void* argument)> ioctl;
    std::function<ssize_t(int fd, const void* data, size_t size)> write;
    std::function<int(int fd)> close;

    static LoopbackCalls system();
};
