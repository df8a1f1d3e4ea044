#include "Analysis/KXShureArrayClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "Control/KXControlChannel.h"
#include "KXLog.h"

namespace {

// A connect that gives up after `timeoutMs`: a blocking connect to an address where nobody
// answers would hold the host's thread for minutes.
bool connectWithin(int fd, const sockaddr_in& address, int timeoutMs) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return false;
    }
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc < 0 && errno == EINPROGRESS) {
        pollfd waiting{fd, POLLOUT, 0};
        do {
            rc = ::poll(&waiting, 1, timeoutMs);
        } while (rc < 0 && errno == EINTR);
        if (rc != 1) {
            return false;
        }
        int error = 0;
        socklen_t length = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) < 0 || error != 0) {
            return false;
        }
        rc = 0;
    }
    return rc == 0 && fcntl(fd, F_SETFL, flags) == 0;
}

}  // namespace

KXShureArrayClient& KXShureArrayClient::shared() {
    static KXShureArrayClient client;
    return client;
}

KXShureArrayClient::~KXShureArrayClient() {
    std::lock_guard<std::mutex> lock(_mutex);
    closeLocked();
}

void KXShureArrayClient::closeLocked() {
    if (_socket >= 0) {
        ::close(_socket);
        _socket = -1;
    }
}

bool KXShureArrayClient::connect(const char* ip) {
    // Parsed before any socket exists: a malformed address must not reach the network (the
    // classic address parser turns some malformed texts into the broadcast address).
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    if (ip == nullptr || inet_pton(AF_INET, ip, &address.sin_addr) != 1) {
        KXLog("connectShureSound: \"%s\" is not an IPv4 address\n", ip != nullptr ? ip : "(null)");
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return false;
    }
    if (!connectWithin(fd, address, kConnectTimeoutMs)) {
        ::close(fd);  // a failed attempt leaves no socket behind and the old link as it was
        return false;
    }
    timeval timeout{};
    timeout.tv_sec = kReceiveTimeoutMs / 1000;
    timeout.tv_usec = (kReceiveTimeoutMs % 1000) * 1000;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        ::close(fd);
        return false;
    }
    std::lock_guard<std::mutex> lock(_mutex);
    closeLocked();
    _socket = fd;
    return true;
}

int KXShureArrayClient::receive(bool close, const std::map<int, int>& presetMap) {
    return receive(close, presetMap, KXCurrentController().get());
}

int KXShureArrayClient::receive(bool close, const std::map<int, int>& presetMap, KXIUSBControl* camera) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (close) {
        _gateOn.fill(0);
        closeLocked();
        return _selectedPosition;
    }

    // One byte more than the largest read, so the block is always terminated when printed.
    char buffer[kReadSize + 1] = {};
    ssize_t received = -1;
    if (_socket >= 0) {
        do {
            received = ::recv(_socket, buffer, kReadSize, 0);
        } while (received < 0 && errno == EINTR);
    }
    if (received == 0) {
        KXLog("ret 0 \n");
        return 0;
    }
    // A timeout or an error leaves the buffer zero-filled, which matches no report below.
    KXLog("%s\n", buffer);

    const char digit = buffer[6];
    if (buffer[31] == 'G' && digit >= '1' && digit <= '8') {
        const int channel = digit - '0';
        if (buffer[34] == 'N') {
            _gateOn[channel] = 1;
            KXLog("(%d) ON\n", channel);
        } else if (buffer[34] == 'F') {
            _gateOn[channel] = 0;
            KXLog("(%d) OFF\n", channel);
        }
    }

    int open = 0;
    int openChannel = 0;
    for (int channel = 1; channel <= 8; ++channel) {
        if (_gateOn[channel] != 0) {
            ++open;
            openChannel = channel;
        }
    }
    if (open == 1 && openChannel != _selectedPosition) {
        _selectedPosition = static_cast<uint8_t>(openChannel);
        const auto entry = presetMap.find(openChannel);
        const int preset = entry != presetMap.end() ? entry->second : 0;
        if (camera != nullptr) {
            camera->callPreset(preset);
        }
        KXLog("set = %d\n", openChannel);
        std::this_thread::sleep_for(std::chrono::milliseconds(kRecallPauseMs));
    }
    return _selectedPosition;
}

int KXShureArrayClient::selectedPosition() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _selectedPosition;
}

bool KXShureArrayClient::gateOn(int channel) const {
    std::lock_guard<std::mutex> lock(_mutex);
    return channel >= 1 && channel <= 8 && _gateOn[static_cast<size_t>(channel)] != 0;
}

bool KXShureArrayClient::connected() const {
    std::lock_guard<std::mutex> lock(_mutex);
    return _socket >= 0;
}
