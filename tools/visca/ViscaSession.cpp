#include "ViscaSession.h"

using Type = ViscaRequest::Type;

namespace {
const ViscaBytes kResetPayload{0x01};
const ViscaBytes kSequenceError{0x0F, 0x01};
const ViscaBytes kMessageTypeError{0x0F, 0x02};
}  // namespace

ViscaSession::ViscaSession(ViscaCamera& camera, Transport transport, int address)
    : _camera(camera), _transport(transport), _address(address >= 1 && address <= 7 ? address : 1) {}

std::vector<ViscaBytes> ViscaSession::receive(const uint8_t* data, std::size_t size) {
    return _transport == Transport::Udp ? receiveDatagram(data, size) : receiveStream(data, size);
}

std::vector<ViscaBytes> ViscaSession::receiveStream(const uint8_t* data, std::size_t size) {
    std::vector<ViscaBytes> out;
    for (const ViscaStreamFramer::Frame& frame : _framer.feed(data, size)) {
        std::vector<ViscaBytes> replies = frame.overlong
                                              ? std::vector<ViscaBytes>{ViscaWire::syntaxError(_address)}
                                              : handle(frame.message, 0);
        out.insert(out.end(), replies.begin(), replies.end());
    }
    return out;
}

std::vector<ViscaBytes> ViscaSession::receiveDatagram(const uint8_t* data, std::size_t size) {
    const ViscaParsedDatagram parsed = ViscaWire::parseDatagram(data, size);
    // A datagram we cannot read has no sequence number we could trust; answering it would
    // also turn us into a reflector for whatever lands on the port.
    if (parsed.error != ViscaParsedDatagram::None)
        return {};
    const ViscaDatagram& in = parsed.datagram;

    if (in.type == ViscaDatagram::ControlCommand) {
        if (in.payload == kResetPayload) {
            _anySequence = false;
            _expectedSequence = 0;
            _haveLast = false;
            _lastReplies.clear();
            return {ViscaWire::buildDatagram(ViscaDatagram::ControlReply, in.sequence, kResetPayload)};
        }
        // The controller's own error report (0F yy) needs no answer.
        if (in.payload.size() == 2 && in.payload[0] == 0x0F)
            return {};
        return {ViscaWire::buildDatagram(ViscaDatagram::ControlReply, in.sequence, kMessageTypeError)};
    }
    // Commands and inquiries are told apart by their bytes, not by the payload type: some
    // controllers send inquiries as commands, and the bytes say unambiguously which is which.
    const bool visca = in.type == ViscaDatagram::Command || in.type == ViscaDatagram::Inquiry;
    if (!visca && in.type != ViscaDatagram::DeviceSetting)
        return {ViscaWire::buildDatagram(ViscaDatagram::ControlReply, in.sequence, kMessageTypeError)};

    if (_haveLast && in.sequence == _lastSequence && in.payload == _lastPayload)
        return _lastReplies;
    if (!_anySequence && in.sequence != _expectedSequence && in.sequence != _lastSequence)
        return {ViscaWire::buildDatagram(ViscaDatagram::ControlReply, in.sequence, kSequenceError)};

    // Device settings (addresses, network settings) are not the controller's to change here.
    const std::vector<ViscaBytes> replies = visca ? wrap(handle(in.payload, in.sequence), in.sequence)
                                                  : wrap({ViscaWire::syntaxError(_address)}, in.sequence);
    _anySequence = false;
    _expectedSequence = in.sequence + 1;  // wraps to 0 after 0xFFFFFFFF, as the controller's does
    _haveLast = true;
    _lastSequence = in.sequence;
    _lastPayload = in.payload;
    _lastReplies = replies;
    return replies;
}

std::vector<ViscaBytes> ViscaSession::handle(const ViscaBytes& message, uint32_t sequence) {
    const ViscaRequest request = ViscaCommand::parse(message, _address);
    switch (request.type) {
        case Type::SyntaxError:
            return {ViscaWire::syntaxError(_address)};
        case Type::OtherAddress:
            return {};
        case Type::InterfaceClear:
            clearSockets();
            return {ViscaWire::completion(_address, 0)};
        case Type::InterfaceClearBroadcast:
            // A broadcast goes round the chain and comes back as it was sent; this camera is the
            // whole chain.
            clearSockets();
            return {message};
        case Type::Cancel:
            if (socketBusy(request.socket)) {
                _sockets[request.socket - 1].busy = false;
                return {ViscaWire::canceled(_address, request.socket)};
            }
            return {ViscaWire::noSocket(_address, request.socket)};
        case Type::Inquiry:
            return {answerInquiry(request.inquiry)};
        case Type::Command:
        case Type::RefusedCommand:
            return handleCommand(request, sequence);
    }
    return {ViscaWire::syntaxError(_address)};
}

std::vector<ViscaBytes> ViscaSession::handleCommand(const ViscaRequest& request, uint32_t sequence) {
    int socket = 0;
    for (int i = 0; i < kSockets && socket == 0; ++i) {
        if (!_sockets[i].busy)
            socket = i + 1;
    }
    if (socket == 0)
        return {ViscaWire::bufferFull(_address)};

    std::vector<ViscaBytes> replies{ViscaWire::ack(_address, socket)};
    if (request.type == Type::RefusedCommand || !_camera.connected()) {
        replies.push_back(ViscaWire::notExecutable(_address, socket));
        return replies;
    }
    switch (_camera.send(request.action, socket)) {
        case ViscaCamera::Result::Done:
            replies.push_back(ViscaWire::completion(_address, socket));
            break;
        case ViscaCamera::Result::Refused:
            replies.push_back(ViscaWire::notExecutable(_address, socket));
            break;
        case ViscaCamera::Result::Pending:
            _sockets[socket - 1] = Socket{true, sequence};
            break;
    }
    return replies;
}

ViscaBytes ViscaSession::answerInquiry(ViscaInquiry inquiry) const {
    switch (inquiry) {
        case ViscaInquiry::Power:
            // The VISCA side is up whenever it answers; a camera that is away shows in the
            // commands' replies, not as standby.
            return ViscaWire::inquiryCompletion(_address, {0x02});
        case ViscaInquiry::Version: {
            using namespace ViscaCommand;
            return ViscaWire::inquiryCompletion(
                _address, {uint8_t(kVendorId >> 8), uint8_t(kVendorId), uint8_t(kModelId >> 8),
                           uint8_t(kModelId), uint8_t(kRomVersion >> 8), uint8_t(kRomVersion), kSockets});
        }
        case ViscaInquiry::FocusMode:
            if (_camera.connected()) {
                if (const std::optional<int> mode = _camera.focusMode())
                    return ViscaWire::inquiryCompletion(_address, {uint8_t(*mode == 1 ? 0x02 : 0x03)});
            }
            break;
        case ViscaInquiry::LastPreset:
            if (_camera.connected()) {
                const std::optional<int> preset = _camera.lastPreset();
                if (preset && *preset >= 0 && *preset <= ViscaCommand::kMaxPreset)
                    return ViscaWire::inquiryCompletion(_address, {uint8_t(*preset)});
            }
            break;
        case ViscaInquiry::Position:
            break;
    }
    return ViscaWire::notExecutable(_address, 0);
}

std::vector<ViscaBytes> ViscaSession::complete(int socket, bool executed) {
    if (!socketBusy(socket))
        return {};
    Socket& held = _sockets[socket - 1];
    held.busy = false;
    const ViscaBytes reply =
        executed ? ViscaWire::completion(_address, socket) : ViscaWire::notExecutable(_address, socket);
    if (_transport == Transport::Tcp)
        return {reply};
    std::vector<ViscaBytes> out = wrap({reply}, held.sequence);
    // A retry of that datagram must hear the completion too.
    if (_haveLast && held.sequence == _lastSequence)
        _lastReplies.insert(_lastReplies.end(), out.begin(), out.end());
    return out;
}

bool ViscaSession::socketBusy(int socket) const {
    return socket >= 1 && socket <= kSockets && _sockets[socket - 1].busy;
}

void ViscaSession::clearSockets() {
    for (Socket& socket : _sockets) socket.busy = false;
}

std::vector<ViscaBytes> ViscaSession::wrap(const std::vector<ViscaBytes>& replies, uint32_t sequence) const {
    if (_transport == Transport::Tcp)
        return replies;
    std::vector<ViscaBytes> out;
    out.reserve(replies.size());
    for (const ViscaBytes& reply : replies)
        out.push_back(ViscaWire::buildDatagram(ViscaDatagram::Reply, sequence, reply));
    return out;
}
