// VISCA over IP: datagrams and a TCP stream of arbitrary bytes through the session. Every
// reply is well framed, every action the camera is told is one it can carry out, and the
// stream framer never keeps more than one message's worth of bytes.
#include "FuzzChunks.h"
#include "ViscaSession.h"

namespace {

// A camera whose answers the input chooses: done, refused or pending, connected or away.
struct FuzzCamera : ViscaCamera {
    unsigned seed = 0;
    unsigned next() { return seed = seed * 1103515245u + 12345u; }

    bool connected() const override { return (seed >> 20) % 8 != 0; }
    Result send(const ViscaAction& action, int socket) override {
        FUZZ_CHECK(socket >= 1 && socket <= ViscaSession::kSockets);
        switch (action.kind) {
            case ViscaAction::Kind::CallPreset:
            case ViscaAction::Kind::SavePreset:
            case ViscaAction::Kind::ResetPreset:
                FUZZ_CHECK(action.value >= 0 && action.value <= ViscaCommand::kMaxPreset);
                break;
            case ViscaAction::Kind::PanTilt:
                FUZZ_CHECK(action.value >= 0 && action.value <= int(ViscaAction::Direction::DownRight));
                break;
            case ViscaAction::Kind::FocusMode:
                FUZZ_CHECK(action.value == 0 || action.value == 1);
                break;
            default:
                break;
        }
        return static_cast<Result>((next() >> 16) % 3);
    }
    std::optional<int> focusMode() const override { return int(seed & 1); }
    std::optional<int> lastPreset() const override {
        return (seed & 2) ? std::optional<int>(int(seed >> 24) % 12) : std::nullopt;
    }
};

void checkReplies(const std::vector<ViscaBytes>& replies, bool udp) {
    for (const ViscaBytes& reply : replies) {
        if (udp) {
            const ViscaParsedDatagram parsed = ViscaWire::parseDatagram(reply);
            FUZZ_CHECK(parsed.error == ViscaParsedDatagram::None);
            FUZZ_CHECK(parsed.datagram.type == ViscaDatagram::Reply ||
                       parsed.datagram.type == ViscaDatagram::ControlReply);
        } else {
            FUZZ_CHECK(!reply.empty() && reply.size() <= ViscaWire::kMaxPayload);
            FUZZ_CHECK(reply.back() == ViscaWire::kTerminator);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ViscaWire::parseDatagram(data, size);
    ViscaCommand::parse(data, size, 1);

    FuzzCamera camera;
    camera.seed = size > 0 ? data[0] : 0;
    ViscaSession udp(camera, ViscaSession::Transport::Udp);
    ViscaSession tcp(camera, ViscaSession::Transport::Tcp);
    for (std::string_view chunk : fuzzChunks(data, size)) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(chunk.data());
        checkReplies(udp.receive(bytes, chunk.size()), true);
        checkReplies(tcp.receive(bytes, chunk.size()), false);
        FUZZ_CHECK(tcp.framer().pendingSize() < ViscaStreamFramer::kMaxMessage);
        // Now and then a pending command finishes, in either socket.
        const unsigned pick = camera.next() >> 16;
        if (pick % 4 == 0) {
            const int socket = 1 + int(pick / 4 % 2);
            checkReplies(udp.complete(socket, pick & 8), true);
            checkReplies(tcp.complete(socket, pick & 8), false);
        }
    }
    return 0;
}
