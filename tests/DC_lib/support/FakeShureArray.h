#pragma once

// A Shure microphone array for tests: a TCP server on port 2202 (the arrays' command port)
// of a loopback address of its own (127.x.y.z), so that test programs running side by side
// never share one. It sends what the test tells it to, one block at a time.
//
// Threading: the test thread only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class FakeShureArray {
public:
    static constexpr int kPort = 2202;

    FakeShureArray() {
        const int base = static_cast<int>(::getpid() % 200) + 20;
        for (int attempt = 0; attempt < 500 && _listenFd < 0; ++attempt) {
            const std::string address = "127." + std::to_string(base) + "." +
                                        std::to_string(attempt / 250 + 1) + "." +
                                        std::to_string(attempt % 250 + 2);
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const int yes = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            sockaddr_in where{};
            where.sin_family = AF_INET;
            where.sin_port = htons(kPort);
            ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && ::listen(fd, 4) == 0) {
                _listenFd = fd;
                _address = address;
            } else {
                ::close(fd);
            }
        }
    }
    ~FakeShureArray() {
        closeClient();
        if (_listenFd >= 0) {
            ::close(_listenFd);
        }
    }
    FakeShureArray(const FakeShureArray&) = delete;
    FakeShureArray& operator=(const FakeShureArray&) = delete;

    bool ok() const { return _listenFd >= 0; }
    const std::string& address() const { return _address; }

    // A gate report as the arrays send it.
    static std::string gate(int channel, bool on) {
        return "< REP " + std::to_string(channel) + " AUTOMIX_GATE_OUT_EXT_SIG " + (on ? "ON" : "OFF") + " >";
    }

    // Accepts the next client. The one before it stays open (until the next accept or
    // closeClient), so that a test can see whether its peer closed it.
    bool accept(int timeoutMs = 20000) {
        pollfd waiting{_listenFd, POLLIN, 0};
        if (::poll(&waiting, 1, timeoutMs) != 1) {
            return false;
        }
        const int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        closeFd(_previousFd);
        _previousFd = _clientFd;
        _clientFd = fd;
        return true;
    }
    bool send(const std::string& block) {
        return ::send(_clientFd, block.data(), block.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(block.size());
    }
    void closeClient() {
        closeFd(_clientFd);
        closeFd(_previousFd);
    }
    // Whether the peer of the client before the current one has closed its end.
    bool previousClientClosed(int timeoutMs = 5000) {
        pollfd waiting{_previousFd, POLLIN, 0};
        char byte;
        return ::poll(&waiting, 1, timeoutMs) == 1 && ::recv(_previousFd, &byte, 1, 0) == 0;
    }

private:
    static void closeFd(int& fd) {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }

    int _listenFd = -1;
    int _clientFd = -1;
    int _previousFd = -1;
    std::string _address;
};
