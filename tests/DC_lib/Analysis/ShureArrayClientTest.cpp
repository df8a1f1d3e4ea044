// The library's own Shure array client against an array inside the test (FakeShureArray),
// sending gate reports one block at a time. Recalls are observed on the recording extension
// unit of a bound camera.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Analysis/KXShureArrayClient.h"
#include "BoundCamera.h"
#include "FakeShureArray.h"
#include "LogCapture.h"

namespace {

using Names = std::vector<std::string>;

static_assert(FakeShureArray::kPort == KXShureArrayClient::kPort,
              "the array listens where the client connects");

constexpr auto gate = &FakeShureArray::gate;

class ShureArrayClientTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(_array.ok()); }

    // The array sends one block; the client reads it once.
    int deliver(const std::string& block) {
        EXPECT_TRUE(_array.send(block));
        return _client.receive(false, _map);
    }

    FakeShureArray _array;
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
