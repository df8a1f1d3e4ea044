// VISCA over IP on bytes: what a controller sends, what the camera is told, what comes back.
#include <gtest/gtest.h>

#include "ViscaSession.h"

namespace {

using Action = ViscaAction;
using Dir = ViscaAction::Direction;
using Bytes = ViscaBytes;

// The camera behind the session, recording every action; its fault settings: away
// (not connected), refusing, or answering later (Pending).
struct RecordingCamera : ViscaCamera {
    bool isConnected = true;
    Result result = Result::Done;
    std::optional<int> focus = 1;
    std::optional<int> preset;
    std::vector<Action> actions;

    bool connected() const override { return isConnected; }
    Result send(const ViscaAction& action, int) override {
        actions.push_back(action);
        return result;
    }
    std::optional<int> focusMode() const override { return focus; }
    std::optional<int> lastPreset() const override { return preset; }
};

Bytes datagram(uint16_t type, uint32_t sequence, const Bytes& payload) {
    return ViscaWire::buildDatagram(type, sequence, payload);
}
Bytes reply(uint32_t sequence, const Bytes& payload) {
    return datagram(ViscaDatagram::Reply, sequence, payload);
}
const Bytes kAck1{0x90, 0x41, 0xFF}, kDone1{0x90, 0x51, 0xFF}, kSyntax{0x90, 0x60, 0x02, 0xFF};

class ViscaUdp : public ::testing::Test {
protected:
    RecordingCamera camera;
    ViscaSession session{camera, ViscaSession::Transport::Udp};
    uint32_t next = 0;

    std::vector<Bytes> command(const Bytes& message) {
        return session.receive(datagram(ViscaDatagram::Command, next++, message));
    }
    // The single inquiry reply's VISCA bytes.
    Bytes inquire(const Bytes& message) {
        const std::vector<Bytes> out = session.receive(datagram(ViscaDatagram::Inquiry, next++, message));
        EXPECT_EQ(out.size(), 1u);
        return out.empty() ? Bytes{} : ViscaWire::parseDatagram(out[0]).datagram.payload;
    }
};

TEST_F(ViscaUdp, EveryCommandReachesTheCameraAsItsAction) {
    const std::vector<std::pair<Bytes, Action>> cases = {
        {{0x81, 0x01, 0x06, 0x01, 0x18, 0x14, 0x03, 0x01, 0xFF}, Action::panTilt(Dir::Up)},
        {{0x81, 0x01, 0x06, 0x01, 0x01, 0x01, 0x03, 0x02, 0xFF}, Action::panTilt(Dir::Down)},
        {{0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x01, 0x03, 0xFF}, Action::panTilt(Dir::Left)},
        {{0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x02, 0x03, 0xFF}, Action::panTilt(Dir::Right)},
        {{0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x01, 0x01, 0xFF}, Action::panTilt(Dir::UpLeft)},
        {{0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x02, 0x01, 0xFF}, Action::panTilt(Dir::UpRight)},
        {{0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x01, 0x02, 0xFF}, Action::panTilt(Dir::DownLeft)},
        {{0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x02, 0x02, 0xFF}, Action::panTilt(Dir::DownRight)},
        {{0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x03, 0x03, 0xFF}, Action::panTilt(Dir::Stop)},
        {{0x81, 0x01, 0x06, 0x01, 0x00, 0x00, 0x03, 0x03, 0xFF}, Action::panTilt(Dir::Stop)},
        {{0x81, 0x01, 0x06, 0x04, 0xFF}, Action::panTilt(Dir::Home)},
        {{0x81, 0x01, 0x06, 0x05, 0xFF}, Action::panTilt(Dir::Home)},
        {{0x81, 0x01, 0x04, 0x07, 0x02, 0xFF}, Action::make(Action::Kind::ZoomIn)},
        {{0x81, 0x01, 0x04, 0x07, 0x27, 0xFF}, Action::make(Action::Kind::ZoomIn)},
        {{0x81, 0x01, 0x04, 0x07, 0x30, 0xFF}, Action::make(Action::Kind::ZoomOut)},
        {{0x81, 0x01, 0x04, 0x07, 0x00, 0xFF}, Action::make(Action::Kind::ZoomStop)},
        {{0x81, 0x01, 0x04, 0x08, 0x22, 0xFF}, Action::make(Action::Kind::FocusFar)},
        {{0x81, 0x01, 0x04, 0x08, 0x03, 0xFF}, Action::make(Action::Kind::FocusNear)},
        {{0x81, 0x01, 0x04, 0x08, 0x00, 0xFF}, Action::make(Action::Kind::FocusStop)},
        {{0x81, 0x01, 0x04, 0x38, 0x02, 0xFF}, Action::make(Action::Kind::FocusMode, 1)},
        {{0x81, 0x01, 0x04, 0x38, 0x03, 0xFF}, Action::make(Action::Kind::FocusMode, 0)},
        {{0x81, 0x01, 0x04, 0x3F, 0x00, 0x09, 0xFF}, Action::make(Action::Kind::ResetPreset, 9)},
        {{0x81, 0x01, 0x04, 0x3F, 0x01, 0x00, 0xFF}, Action::make(Action::Kind::SavePreset, 0)},
        {{0x81, 0x01, 0x04, 0x3F, 0x02, 0x04, 0xFF}, Action::make(Action::Kind::CallPreset, 4)},
    };
    for (const auto& [message, action] : cases) {
        camera.actions.clear();
        const uint32_t sequence = next;
        EXPECT_EQ(command(message), (std::vector<Bytes>{reply(sequence, kAck1), reply(sequence, kDone1)}));
        EXPECT_EQ(camera.actions, std::vector<Action>{action}) << int(message[3]) << " " << int(message[4]);
    }
}

TEST_F(ViscaUdp, MalformedCommandsAreSyntaxErrorsAndMoveNothing) {
    const std::vector<Bytes> cases = {
        {0x81, 0x01, 0x06, 0x01, 0x19, 0x05, 0x03, 0x01, 0xFF},  // pan speed over 0x18
        {0x81, 0x01, 0x06, 0x01, 0x05, 0x15, 0x03, 0x01, 0xFF},  // tilt speed over 0x14
        {0x81, 0x01, 0x06, 0x01, 0x00, 0x00, 0x03, 0x01, 0xFF},  // zero speed on a move
        {0x81, 0x01, 0x06, 0x01, 0x05, 0x05, 0x04, 0x01, 0xFF},  // no such direction
        {0x81, 0x01, 0x04, 0x07, 0x28, 0xFF},                    // zoom speed over 7
        {0x81, 0x01, 0x04, 0x38, 0x10, 0xFF},                    // focus mode toggle
        {0x81, 0x01, 0x04, 0x3F, 0x03, 0x01, 0xFF},              // no memory function 3
        {0x81, 0x01, 0x06, 0x01, 0xFF, 0x05, 0x03, 0x01, 0xFF},  // terminator inside
        {0x81, 0x01, 0x04, 0x07, 0x02},                          // no terminator
        {0x01, 0x04, 0x07, 0x02, 0xFF},                          // no address byte
        {0x88, 0x30, 0x01, 0xFF},                                // broadcast address set
        {0x81, 0x01, 0x04, 0x61, 0x02, 0xFF},                    // a command this camera lacks
    };
    for (const Bytes& message : cases) {
        const uint32_t sequence = next;
        EXPECT_EQ(command(message), std::vector<Bytes>{reply(sequence, kSyntax)});
    }
    EXPECT_TRUE(camera.actions.empty());
}

TEST_F(ViscaUdp, ACommandTheCameraCannotCarryOutIsNotExecutable) {
    const Bytes notExecutable{0x90, 0x61, 0x41, 0xFF};
    EXPECT_EQ(command({0x81, 0x01, 0x04, 0x3F, 0x02, 0x0A, 0xFF}),
              (std::vector<Bytes>{reply(0, kAck1), reply(0, notExecutable)}));
    EXPECT_TRUE(camera.actions.empty());
    camera.result = ViscaCamera::Result::Refused;
    EXPECT_EQ(command({0x81, 0x01, 0x06, 0x04, 0xFF}).back(), reply(1, notExecutable));
    camera.isConnected = false;
    camera.actions.clear();
    EXPECT_EQ(command({0x81, 0x01, 0x06, 0x04, 0xFF}).back(), reply(2, notExecutable));
    EXPECT_TRUE(camera.actions.empty());
    EXPECT_EQ(inquire({0x81, 0x09, 0x04, 0x38, 0xFF}), (Bytes{0x90, 0x60, 0x41, 0xFF}));
}

TEST_F(ViscaUdp, InquiriesAnswerFromWhatIsKnown) {
    EXPECT_EQ(inquire({0x81, 0x09, 0x04, 0x00, 0xFF}), (Bytes{0x90, 0x50, 0x02, 0xFF}));
    EXPECT_EQ(inquire({0x81, 0x09, 0x00, 0x02, 0xFF}),
              (Bytes{0x90, 0x50, 0x00, 0x00, 0x56, 0x52, 0x01, 0x00, 0x02, 0xFF}));
    EXPECT_EQ(inquire({0x81, 0x09, 0x04, 0x38, 0xFF}), (Bytes{0x90, 0x50, 0x02, 0xFF}));
    camera.focus = 0;
    EXPECT_EQ(inquire({0x81, 0x09, 0x04, 0x38, 0xFF}), (Bytes{0x90, 0x50, 0x03, 0xFF}));
    EXPECT_EQ(inquire({0x81, 0x09, 0x04, 0x3F, 0xFF}), (Bytes{0x90, 0x60, 0x41, 0xFF}));
    camera.preset = 7;
    EXPECT_EQ(inquire({0x81, 0x09, 0x04, 0x3F, 0xFF}), (Bytes{0x90, 0x50, 0x07, 0xFF}));
    for (const Bytes& position : {Bytes{0x81, 0x09, 0x06, 0x12, 0xFF}, Bytes{0x81, 0x09, 0x04, 0x47, 0xFF},
                                  Bytes{0x81, 0x09, 0x04, 0x48, 0xFF}})
        EXPECT_EQ(inquire(position), (Bytes{0x90, 0x60, 0x41, 0xFF}));
    EXPECT_EQ(inquire({0x81, 0x09, 0x04, 0x4B, 0xFF}), kSyntax);
    EXPECT_TRUE(camera.actions.empty());
}

TEST_F(ViscaUdp, SocketsFillCancelAndClear) {
    camera.result = ViscaCamera::Result::Pending;
    const Bytes home{0x81, 0x01, 0x06, 0x04, 0xFF};
    EXPECT_EQ(command(home), std::vector<Bytes>{reply(0, kAck1)});
    EXPECT_EQ(command(home), std::vector<Bytes>{reply(1, {0x90, 0x42, 0xFF})});
    EXPECT_EQ(command(home), std::vector<Bytes>{reply(2, {0x90, 0x60, 0x03, 0xFF})});
    EXPECT_EQ(camera.actions.size(), 2u);
    // The completion carries the number of the datagram that brought the command.
    EXPECT_EQ(session.complete(1, true), std::vector<Bytes>{reply(0, kDone1)});
    EXPECT_EQ(session.complete(1, true), std::vector<Bytes>{});
    EXPECT_EQ(command({0x81, 0x22, 0xFF}), std::vector<Bytes>{reply(3, {0x90, 0x62, 0x04, 0xFF})});
    EXPECT_EQ(command({0x81, 0x22, 0xFF}), std::vector<Bytes>{reply(4, {0x90, 0x62, 0x05, 0xFF})});
    EXPECT_TRUE(session.complete(2, true).empty());  // canceled meanwhile
    command(home);
    EXPECT_EQ(command({0x81, 0x01, 0x00, 0x01, 0xFF}), std::vector<Bytes>{reply(6, {0x90, 0x50, 0xFF})});
    EXPECT_FALSE(session.socketBusy(1));
    EXPECT_EQ(command({0x88, 0x01, 0x00, 0x01, 0xFF}),
              std::vector<Bytes>{reply(7, {0x88, 0x01, 0x00, 0x01, 0xFF})});
    EXPECT_TRUE(command({0x82, 0x01, 0x06, 0x04, 0xFF}).empty());  // camera 2 is not us
}

TEST_F(ViscaUdp, SequenceNumbersRetriesAndReset) {
    const Bytes save{0x81, 0x01, 0x04, 0x3F, 0x01, 0x03, 0xFF};
    const Bytes first = datagram(ViscaDatagram::Command, 41, save);
    const std::vector<Bytes> answered = session.receive(first);
    // The controller lost the replies and sends the same datagram again.
    EXPECT_EQ(session.receive(first), answered);
    EXPECT_EQ(camera.actions.size(), 1u);
    // The same number with other bytes comes from a controller that never counts.
    session.receive(datagram(ViscaDatagram::Command, 41, {0x81, 0x01, 0x06, 0x04, 0xFF}));
    EXPECT_EQ(camera.actions.size(), 2u);
    const Bytes sequenceError = datagram(ViscaDatagram::ControlReply, 50, {0x0F, 0x01});
    EXPECT_EQ(session.receive(datagram(ViscaDatagram::Command, 50, save)), std::vector<Bytes>{sequenceError});
    EXPECT_EQ(camera.actions.size(), 2u);
    EXPECT_EQ(session.receive(datagram(ViscaDatagram::ControlCommand, 9, {0x01})),
              std::vector<Bytes>{datagram(ViscaDatagram::ControlReply, 9, {0x01})});
    EXPECT_EQ(session.receive(datagram(ViscaDatagram::Command, 0, save)).size(), 2u);
    EXPECT_EQ(camera.actions.size(), 3u);
    // A pending command's completion reaches a retry of its datagram too.
    camera.result = ViscaCamera::Result::Pending;
    const Bytes pending = datagram(ViscaDatagram::Command, 1, {0x81, 0x01, 0x06, 0x04, 0xFF});
    session.receive(pending);
    session.complete(1, true);
    EXPECT_EQ(session.receive(pending), (std::vector<Bytes>{reply(1, kAck1), reply(1, kDone1)}));
    // The first number is taken as it comes, and the count wraps.
    ViscaSession fresh(camera, ViscaSession::Transport::Udp);
    camera.result = ViscaCamera::Result::Done;
    EXPECT_EQ(fresh.receive(datagram(ViscaDatagram::Command, 0xFFFFFFFF, save)).size(), 2u);
    EXPECT_EQ(fresh.receive(datagram(ViscaDatagram::Command, 0, save)).size(), 2u);
}

TEST_F(ViscaUdp, BrokenDatagramsAreDroppedAndWrongTypesAnswered) {
    const Bytes good = datagram(ViscaDatagram::Command, 0, {0x81, 0x01, 0x06, 0x04, 0xFF});
    for (std::size_t size = 0; size < good.size(); ++size)
        EXPECT_TRUE(session.receive(Bytes(good.begin(), good.begin() + long(size))).empty()) << size;
    Bytes padded = good;
    padded.push_back(0x00);
    Bytes claimsMore = good;
    claimsMore[3] = 0x10;
    EXPECT_TRUE(session.receive(padded).empty());
    EXPECT_TRUE(session.receive(claimsMore).empty());
    EXPECT_TRUE(session.receive(datagram(ViscaDatagram::Command, 0, {})).empty());
    Bytes tooLong = datagram(ViscaDatagram::Command, 0, Bytes(16, 0x01));
    tooLong.push_back(0xFF);
    tooLong[3] = 17;
    EXPECT_EQ(ViscaWire::parseDatagram(tooLong).error, ViscaParsedDatagram::PayloadTooLong);
    EXPECT_TRUE(session.receive(tooLong).empty());
    EXPECT_TRUE(camera.actions.empty());

    const Bytes typeError = datagram(ViscaDatagram::ControlReply, 3, {0x0F, 0x02});
    EXPECT_EQ(session.receive(datagram(ViscaDatagram::Reply, 3, kAck1)), std::vector<Bytes>{typeError});
    EXPECT_EQ(session.receive(datagram(0x0300, 3, kAck1)), std::vector<Bytes>{typeError});
    EXPECT_EQ(session.receive(datagram(ViscaDatagram::ControlCommand, 3, {0x02})),
              std::vector<Bytes>{typeError});
    EXPECT_TRUE(session.receive(datagram(ViscaDatagram::ControlCommand, 3, {0x0F, 0x01})).empty());
    EXPECT_EQ(session.receive(datagram(ViscaDatagram::DeviceSetting, 3, {0x88, 0x30, 0x01, 0xFF})),
              std::vector<Bytes>{reply(3, kSyntax)});
    EXPECT_TRUE(camera.actions.empty());
}

TEST(ViscaTcp, StreamSplitAnywhereAndOverlongMessagesResync) {
    RecordingCamera camera;
    const Bytes stream{0x81, 0x01, 0x06, 0x04, 0xFF, 0x81, 0x09, 0x04, 0x00, 0xFF};
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        ViscaSession session(camera, ViscaSession::Transport::Tcp);
        std::vector<Bytes> out = session.receive(Bytes(stream.begin(), stream.begin() + long(cut)));
        const std::vector<Bytes> rest = session.receive(Bytes(stream.begin() + long(cut), stream.end()));
        out.insert(out.end(), rest.begin(), rest.end());
        EXPECT_EQ(out, (std::vector<Bytes>{kAck1, kDone1, {0x90, 0x50, 0x02, 0xFF}})) << cut;
    }
    ViscaSession session(camera, ViscaSession::Transport::Tcp);
    camera.actions.clear();
    // Forty bytes without a terminator: one syntax error, bounded buffering, and the bytes up
    // to the next terminator are dropped rather than read as a message.
    Bytes garbage{0x01, 0x06, 0x04, 0xFF, 0x81, 0x01, 0x06, 0x04, 0xFF};
    garbage.insert(garbage.begin(), 40, 0x81);
    EXPECT_EQ(session.receive(Bytes(garbage.begin(), garbage.begin() + 40)), std::vector<Bytes>{kSyntax});
    EXPECT_LE(session.framer().pendingSize(), ViscaStreamFramer::kMaxMessage);
    EXPECT_EQ(session.receive(Bytes(garbage.begin() + 40, garbage.end())),
              (std::vector<Bytes>{kAck1, kDone1}));
    EXPECT_EQ(camera.actions.size(), 1u);
    EXPECT_EQ(session.receive(Bytes{0xFF}), std::vector<Bytes>{kSyntax});
    // Camera 2 answers as A0 and leaves camera 1's messages alone.
    ViscaSession second(camera, ViscaSession::Transport::Tcp, 2);
    EXPECT_EQ(second.receive(Bytes{0x82, 0x01, 0x06, 0x04, 0xFF, 0x81, 0x01, 0x06, 0x04, 0xFF}),
              (std::vector<Bytes>{{0xA0, 0x41, 0xFF}, {0xA0, 0x51, 0xFF}}));
    EXPECT_EQ(second.receive(Bytes{0x82, 0x01, 0x04, 0x07, 0x09, 0xFF}),
              (std::vector<Bytes>{{0xA0, 0x60, 0x02, 0xFF}}));
    // Exactly sixteen bytes with the terminator last is still a message.
    ViscaStreamFramer framer;
    Bytes sixteen(15, 0x01);
    sixteen.push_back(0xFF);
    EXPECT_EQ(framer.feed(sixteen), (std::vector<ViscaStreamFramer::Frame>{{false, sixteen}}));
}

}  // namespace
