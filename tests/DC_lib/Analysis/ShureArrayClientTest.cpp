// The library's own Shure array client against an array inside the test: a TCP server on
// port 2202 of a loopback address of its own (127.x.y.z, so that test programs running side
// by side never share one), sending gate reports one block at a time. Recalls are observed
// on the recording extension unit of a bound camera.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Analysis/KXShureArrayClient.h"
#include "BoundCamera.h"
#include "LogCapture.h"

namespace {

using Names = std::vector<std::string>;

std::string gate(int channel, bool on) {
    return "< REP " + std::to_string(channel) + " AUTOMIX_GATE_OUT_EXT_SIG " + (on ? "ON" : "OFF") + " >";
}

// A Shure array that listens on 127.a.b.c:2202 and sends what the test tells it to.
class InTestArray {
public:
    InTestArray() {
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
            where.sin_port = htons(KXShureArrayClient::kPort);
            ::inet_pton(AF_INET, address.c_str(), &where.sin_addr);
            if (::bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0 && ::listen(fd, 4) == 0) {
                _listenFd = fd;
                _address = address;
            } else {
                ::close(fd);
            }
        }
    }
    ~InTestArray() {
        closeClient();
        if (_listenFd >= 0) {
            ::close(_listenFd);
        }
    }
    InTestArray(const InTestArray&) = delete;
    InTestArray& operator=(const InTestArray&) = delete;

    bool ok() const { return _listenFd >= 0; }
    const std::string& address() const { return _address; }

    // Accepts the next client (the previous one, if any, is kept open until closeClient).
    bool accept(int timeoutMs = 5000) {
        pollfd waiting{_listenFd, POLLIN, 0};
        if (::poll(&waiting, 1, timeoutMs) != 1) {
            return false;
        }
        const int fd = ::accept4(_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        _previousFd = _clientFd;
        _clientFd = fd;
        return true;
    }
    bool send(const std::string& block) {
        return ::send(_clientFd, block.data(), block.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(block.size());
    }
    void closeClient() {
        for (int* fd : {&_clientFd, &_previousFd}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }
    // Whether the client before the current one has closed its end.
    bool previousClientClosed(int timeoutMs = 5000) {
        pollfd waiting{_previousFd, POLLIN, 0};
        char byte;
        return ::poll(&waiting, 1, timeoutMs) == 1 && ::recv(_previousFd, &byte, 1, 0) == 0;
    }

private:
    int _listenFd = -1;
    int _clientFd = -1;
    int _previousFd = -1;
    std::string _address;
};

class ShureArrayClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_array.ok()); }

    // The array sends one block; the client reads it once.
    int deliver(const std::string& block) {
        EXPECT_TRUE(_array.send(block));
        return _client.receive(false, _map);
    }

    InTestArray _array;
    BoundCamera _camera;
    KXShureArrayClient _client;
    std::map<int, int> _map{{1, 11}, {3, 13}};
};

}  // namespace

TEST_F(ShureArrayClientTest, GateReportsRecallThePresetOfTheSingleOpenChannel) {
    ASSERT_TRUE(_client.connect(_array.address().c_str()));
    ASSERT_TRUE(_array.accept());
    LogCapture log;

    EXPECT_EQ(deliver(gate(3, true)), 3);
    EXPECT_EQ(_camera.take(), Names{"preset 13"});
    EXPECT_TRUE(log.contains("(3) ON"));
    EXPECT_TRUE(log.contains("set = 3"));
    // Two gates open: nothing is recalled, the selection stays.
    EXPECT_EQ(deliver(gate(1, true)), 3);
    EXPECT_TRUE(_camera.take().empty());
    // One of them closes: the other one is recalled.
    EXPECT_EQ(deliver(gate(3, false)), 1);
    EXPECT_EQ(_camera.take(), Names{"preset 11"});
    EXPECT_TRUE(log.contains("(3) OFF"));
    // The same channel again and again: recalled once.
    EXPECT_EQ(deliver(gate(1, true)), 1);
    EXPECT_EQ(deliver(gate(1, true)), 1);
    EXPECT_TRUE(_camera.take().empty());

    // Another report at the start of a block changes no gate.
    EXPECT_EQ(deliver("< REP 3 AUDIO_GAIN_HI_RES 1100 >"), 1);
    EXPECT_EQ(deliver("< REP 3 AUTOMIX_GATE_OUT_EXT_SIX ON >"), 1);  // not the keyword
    EXPECT_FALSE(_client.gateOn(3));
    // Channels 0 and 9 do not exist.
    EXPECT_EQ(deliver(gate(9, true)), 1);
    EXPECT_EQ(deliver(gate(0, true)), 1);
    EXPECT_TRUE(_camera.take().empty());
    // Only the report at the start of a block counts.
    EXPECT_EQ(deliver(gate(5, true) + gate(1, false)), 1);
    EXPECT_TRUE(_client.gateOn(1));
    EXPECT_TRUE(_client.gateOn(5));
    // A channel missing from the map recalls preset 0.
    EXPECT_EQ(deliver(gate(1, false)), 5);
    EXPECT_EQ(_camera.take(), Names{"preset 0"});

    // Closing turns the gates off and keeps the selection: after a reconnect the same
    // channel is not recalled again, another one is.
    EXPECT_EQ(_client.receive(true, _map), 5);
    EXPECT_FALSE(_client.connected());
    EXPECT_FALSE(_client.gateOn(5));
    ASSERT_TRUE(_client.connect(_array.address().c_str()));
    ASSERT_TRUE(_array.accept());
    EXPECT_EQ(deliver(gate(5, true)), 5);
    EXPECT_TRUE(_camera.take().empty());
    EXPECT_EQ(deliver(gate(5, false)), 5);
    EXPECT_EQ(deliver(gate(3, true)), 3);
    EXPECT_EQ(_camera.take(), Names{"preset 13"});
}

TEST_F(ShureArrayClientTest, PeerCloseAnswersZeroAndATimeoutAnswersTheSelection) {
    ASSERT_TRUE(_client.connect(_array.address().c_str()));
    ASSERT_TRUE(_array.accept());
    EXPECT_EQ(deliver(gate(1, true)), 1);
    // Nothing arrives within the receive timeout: the selection is answered unchanged.
    EXPECT_EQ(_client.receive(false, _map), 1);
    EXPECT_TRUE(_client.gateOn(1));
    LogCapture log;
    _array.closeClient();
    EXPECT_EQ(_client.receive(false, _map), 0);
    EXPECT_TRUE(log.contains("ret 0"));
    EXPECT_TRUE(_client.connected());  // until the caller closes
    EXPECT_EQ(_client.receive(true, _map), 1);
    // Reading without a link answers at once with the selection.
    EXPECT_EQ(_client.receive(false, _map), 1);
}

TEST_F(ShureArrayClientTest, ConnectAnswersFalseForAddressesThatDoNotParseOrDoNotAnswer) {
    for (const char* bad : {"", "1.2.3", "256.1.1.1", "127.0.0.1 ", "localhost", "0x7f.0.0.1", "1.2.3.4.5"}) {
        EXPECT_FALSE(_client.connect(bad)) << bad;
    }
    EXPECT_FALSE(_client.connect(nullptr));
    EXPECT_FALSE(_client.connected());
    // Nobody listens there: refused.
    EXPECT_FALSE(_client.connect("127.0.0.253"));
    EXPECT_FALSE(_client.connected());

    // A second connect makes the new connection the link and closes the old one.
    ASSERT_TRUE(_client.connect(_array.address().c_str()));
    ASSERT_TRUE(_array.accept());
    ASSERT_TRUE(_client.connect(_array.address().c_str()));
    ASSERT_TRUE(_array.accept());
    EXPECT_TRUE(_array.previousClientClosed());
    EXPECT_EQ(deliver(gate(3, true)), 3);
}

// A block as long as the read, with no terminator of its own, is printed within its buffer.
TEST_F(ShureArrayClientTest, FullBlockIsPrintedWithinItsBuffer) {
    ASSERT_TRUE(_client.connect(_array.address().c_str()));
    ASSERT_TRUE(_array.accept());
    LogCapture log;
    EXPECT_EQ(deliver(std::string(300, 'x')), 0);
    EXPECT_TRUE(log.contains(std::string(256, 'x')));
    EXPECT_FALSE(log.contains(std::string(257, 'x')));
    EXPECT_EQ(_client.receive(false, _map), 0);  // the other 44 bytes
    EXPECT_TRUE(log.contains(std::string(44, 'x')));
}

// Through the exported receiver, as a host program does it: the recall is the same camera
// command as callPreset.
TEST_F(ShureArrayClientTest, HostProgramFollowsTheArrayThroughTheReceiver) {
    DC_Recv& recv = _camera.recv();
    recv.callPreset(9);
    const std::vector<RecordingExtensionUnit::Call> direct = _camera.unit().calls();
    _camera.unit().clear();

    const int before = recv.recvShureSoundArrayData(true);  // no link yet: the selection
    const int channel = before % 8 + 1;
    ASSERT_TRUE(recv.connectShureSound(_array.address().c_str()));
    ASSERT_TRUE(_array.accept());
    recv.setSoundArrayPresetMap({{channel, 9}});
    ASSERT_TRUE(_array.send(gate(channel, true)));
    EXPECT_EQ(recv.recvShureSoundArrayData(false), channel);
    const std::vector<RecordingExtensionUnit::Call> recalled = _camera.unit().calls();
    ASSERT_EQ(recalled.size(), 1u);
    ASSERT_EQ(direct.size(), 1u);
    EXPECT_EQ(recalled[0].data, direct[0].data);
    EXPECT_EQ(recalled[0].query, direct[0].query);
    EXPECT_EQ(recv.recvShureSoundArrayData(true), channel);
    EXPECT_FALSE(recv.connectShureSound("not an address"));
}
