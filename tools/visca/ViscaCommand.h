#pragma once

#include <cstddef>
#include <cstdint>

#include "ViscaCamera.h"
#include "ViscaWire.h"

// The inquiries the camera answers. Position stands for the pan-tilt, zoom and focus position
// inquiries: the camera's position cannot be read, so they are answered "not executable".
enum class ViscaInquiry { Power, Version, FocusMode, LastPreset, Position };

// One VISCA message read: what the controller asks for. The byte layouts are those of Sony's
// public command lists ("SRG-X400 Command List", the VISCA command list of the
// "SRG-300H Technical Manual"); the session decides the replies.
struct ViscaRequest {
    enum class Type {
        Command,                  // `action`
        RefusedCommand,           // well formed, but asks for what the camera cannot do (a preset over 9)
        Inquiry,                  // `inquiry`
        InterfaceClear,           // IF_Clear to this camera
        InterfaceClearBroadcast,  // IF_Clear to every camera (88 01 00 01 FF)
        Cancel,                   // `socket`: the socket whose command to cancel
        SyntaxError,
        OtherAddress,  // well framed, for another camera address: neither acted on nor answered
    };
    Type type = Type::SyntaxError;
    ViscaAction action;
    ViscaInquiry inquiry = ViscaInquiry::Power;
    int socket = 0;
};

namespace ViscaCommand {
// The valid presets: the camera stores ten.
constexpr int kMaxPreset = 9;
// Speed bytes of the pan-tilt drive: pan 0x01..0x18, tilt 0x01..0x14.
constexpr int kMaxPanSpeed = 0x18;
constexpr int kMaxTiltSpeed = 0x14;
// What the camera says to the version inquiry: no registered vendor (0x0000), our own model
// number 0x5652 ("VR") and the protocol's revision 0x0100 (1.0), socket count 2.
constexpr uint16_t kVendorId = 0x0000;
constexpr uint16_t kModelId = 0x5652;
constexpr uint16_t kRomVersion = 0x0100;
constexpr uint8_t kSockets = 2;

// Decodes one message (with its 0xFF terminator) sent to the camera at `address` (1..7).
ViscaRequest parse(const uint8_t* data, std::size_t size, int address);
inline ViscaRequest parse(const ViscaBytes& message, int address) {
    return parse(message.data(), message.size(), address);
}
}  // namespace ViscaCommand
