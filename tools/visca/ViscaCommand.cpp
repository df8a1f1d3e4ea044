#include "ViscaCommand.h"

namespace ViscaCommand {
namespace {

using Kind = ViscaAction::Kind;
using Direction = ViscaAction::Direction;
using Type = ViscaRequest::Type;

ViscaRequest request(Type type) {
    ViscaRequest parsed;
    parsed.type = type;
    return parsed;
}

ViscaRequest command(Kind kind, int value = 0) {
    ViscaRequest parsed = request(Type::Command);
    parsed.action = ViscaAction::make(kind, value);
    return parsed;
}

ViscaRequest inquiry(ViscaInquiry which) {
    ViscaRequest parsed = request(Type::Inquiry);
    parsed.inquiry = which;
    return parsed;
}

// The two direction bytes 0Y 0Z of the pan-tilt drive: Y 1 left, 2 right, 3 no pan;
// Z 1 up, 2 down, 3 no tilt.
bool direction(uint8_t pan, uint8_t tilt, Direction* out) {
    static const Direction table[3][3] = {
        {Direction::UpLeft, Direction::DownLeft, Direction::Left},
        {Direction::UpRight, Direction::DownRight, Direction::Right},
        {Direction::Up, Direction::Down, Direction::Stop},
    };
    if (pan < 1 || pan > 3 || tilt < 1 || tilt > 3)
        return false;
    *out = table[pan - 1][tilt - 1];
    return true;
}

// `m` is the message without its address byte and terminator, `n` its length.
ViscaRequest parseCommand(const uint8_t* m, std::size_t n) {
    // Pan-tilt drive: 01 06 01 VV WW 0Y 0Z.
    if (n == 7 && m[1] == 0x06 && m[2] == 0x01) {
        Direction where;
        if (!direction(m[5], m[6], &where))
            return request(Type::SyntaxError);
        // The camera has one speed: any valid speed byte moves it at that speed, and the
        // speed bytes are checked only so that a corrupt message is not taken for a move.
        // A stop moves nothing, and some controllers send it with zero speeds: a stop that
        // came back as a syntax error would leave the camera moving.
        const bool zeroSpeeds = m[3] == 0 && m[4] == 0;
        const bool validSpeeds = m[3] >= 1 && m[3] <= kMaxPanSpeed && m[4] >= 1 && m[4] <= kMaxTiltSpeed;
        if (!validSpeeds && !(where == Direction::Stop && zeroSpeeds))
            return request(Type::SyntaxError);
        return command(Kind::PanTilt, int(where));
    }
    // Home and reset. The camera has no calibration run: a reset brings it home as well.
    if (n == 3 && m[1] == 0x06 && (m[2] == 0x04 || m[2] == 0x05))
        return command(Kind::PanTilt, int(Direction::Home));
    if (n == 4 && m[1] == 0x04 && (m[2] == 0x07 || m[2] == 0x08)) {
        const bool zoom = m[2] == 0x07;
        const uint8_t p = m[3];
        // Standard 00/02/03 and variable 2p/3p (p 0..7: the speed, which the camera ignores).
        if (p == 0x00)
            return command(zoom ? Kind::ZoomStop : Kind::FocusStop);
        if (p == 0x02 || (p >= 0x20 && p <= 0x27))
            return command(zoom ? Kind::ZoomIn : Kind::FocusFar);
        if (p == 0x03 || (p >= 0x30 && p <= 0x37))
            return command(zoom ? Kind::ZoomOut : Kind::FocusNear);
        return request(Type::SyntaxError);
    }
    if (n == 4 && m[1] == 0x04 && m[2] == 0x38) {
        if (m[3] == 0x02)
            return command(Kind::FocusMode, 1);
        if (m[3] == 0x03)
            return command(Kind::FocusMode, 0);
        return request(Type::SyntaxError);
    }
    // Memory: 01 04 3F 0q pp, q 0 reset, 1 set, 2 recall.
    if (n == 5 && m[1] == 0x04 && m[2] == 0x3F && m[3] <= 0x02) {
        static const Kind kinds[3] = {Kind::ResetPreset, Kind::SavePreset, Kind::CallPreset};
        if (m[4] > kMaxPreset) {
            ViscaRequest refused = request(Type::RefusedCommand);
            refused.action = ViscaAction::make(kinds[m[3]], m[4]);
            return refused;
        }
        return command(kinds[m[3]], m[4]);
    }
    return request(Type::SyntaxError);
}

ViscaRequest parseInquiry(const uint8_t* m, std::size_t n) {
    if (n == 3 && m[1] == 0x04 && m[2] == 0x00)
        return inquiry(ViscaInquiry::Power);
    if (n == 3 && m[1] == 0x00 && m[2] == 0x02)
        return inquiry(ViscaInquiry::Version);
    if (n == 3 && m[1] == 0x04 && m[2] == 0x38)
        return inquiry(ViscaInquiry::FocusMode);
    if (n == 3 && m[1] == 0x04 && m[2] == 0x3F)
        return inquiry(ViscaInquiry::LastPreset);
    // Pan-tilt position (06 12), zoom position (04 47), focus position (04 48).
    if (n == 3 && ((m[1] == 0x06 && m[2] == 0x12) || (m[1] == 0x04 && (m[2] == 0x47 || m[2] == 0x48))))
        return inquiry(ViscaInquiry::Position);
    return request(Type::SyntaxError);
}

}  // namespace

ViscaRequest parse(const uint8_t* data, std::size_t size, int address) {
    // Every message is an address byte 8x, at least one byte, and the terminator, which
    // appears nowhere else.
    if (data == nullptr || size < 3 || size > ViscaWire::kMaxPayload ||
        data[size - 1] != ViscaWire::kTerminator)
        return request(Type::SyntaxError);
    for (std::size_t i = 0; i + 1 < size; ++i) {
        if (data[i] == ViscaWire::kTerminator)
            return request(Type::SyntaxError);
    }
    const uint8_t header = data[0];
    if ((header & 0xF0) != 0x80)
        return request(Type::SyntaxError);
    const int target = header & 0x0F;
    const uint8_t* m = data + 1;
    const std::size_t n = size - 2;
    if (target == 8) {
        // A broadcast: IF_Clear is the only one this camera takes.
        if (n == 3 && m[0] == 0x01 && m[1] == 0x00 && m[2] == 0x01)
            return request(Type::InterfaceClearBroadcast);
        return request(Type::SyntaxError);
    }
    if (target < 1 || target > 7)
        return request(Type::SyntaxError);
    if (target != address)
        return request(Type::OtherAddress);
    if (n == 3 && m[0] == 0x01 && m[1] == 0x00 && m[2] == 0x01)
        return request(Type::InterfaceClear);
    if (n == 1 && (m[0] & 0xF0) == 0x20) {
        ViscaRequest cancel = request(Type::Cancel);
        cancel.socket = m[0] & 0x0F;
        return cancel;
    }
    if (n >= 3 && m[0] == 0x01)
        return parseCommand(m, n);
    if (n >= 3 && m[0] == 0x09)
        return parseInquiry(m, n);
    return request(Type::SyntaxError);
}

}  // namespace ViscaCommand
