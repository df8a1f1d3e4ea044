#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

using ViscaBytes = std::vector<uint8_t>;

// One VISCA-over-IP datagram: the 8-byte header (payload type, payload length, sequence
// number, all big-endian) and the payload it carries. The layout follows the "VISCA over IP"
// section of Sony's public "SRG-300H Technical Manual" (the payload types, the 1..16 byte
// payload, the RESET and ERROR control messages).
struct ViscaDatagram {
    enum Type : uint16_t {
        Command = 0x0100,
        Inquiry = 0x0110,
        Reply = 0x0111,
        DeviceSetting = 0x0120,
        ControlCommand = 0x0200,
        ControlReply = 0x0201,
    };
    uint16_t type = Command;
    uint32_t sequence = 0;
    ViscaBytes payload;

    bool operator==(const ViscaDatagram& other) const {
        return type == other.type && sequence == other.sequence && payload == other.payload;
    }
};

// The result of reading one datagram: either a datagram or the reason it is not one.
struct ViscaParsedDatagram {
    enum Error { None, TooShort, LengthMismatch, EmptyPayload, PayloadTooLong };
    Error error = None;
    ViscaDatagram datagram;  // valid only when error == None
};

namespace ViscaWire {
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMaxPayload = 16;
constexpr uint8_t kTerminator = 0xFF;

// Reads one datagram. The length field is only ever compared with the datagram's real size,
// never used to index: a datagram whose length field disagrees with what arrived is an error.
ViscaParsedDatagram parseDatagram(const uint8_t* data, std::size_t size);
inline ViscaParsedDatagram parseDatagram(const ViscaBytes& bytes) {
    return parseDatagram(bytes.data(), bytes.size());
}
// Writes a datagram; a payload over kMaxPayload is cut to it (our replies never are longer).
ViscaBytes buildDatagram(const ViscaDatagram& datagram);
ViscaBytes buildDatagram(uint16_t type, uint32_t sequence, const ViscaBytes& payload);

// The camera's reply messages. `address` is the camera address 1..7; the first byte of every
// reply is (address + 8) << 4, 0x90 for camera 1.
uint8_t replyHeader(int address);
ViscaBytes ack(int address, int socket);                            // z0 4y FF
ViscaBytes completion(int address, int socket);                     // z0 5y FF
ViscaBytes inquiryCompletion(int address, const ViscaBytes& data);  // z0 50 data FF
ViscaBytes syntaxError(int address);                                // z0 60 02 FF
ViscaBytes bufferFull(int address);                                 // z0 60 03 FF
ViscaBytes canceled(int address, int socket);                       // z0 6y 04 FF
ViscaBytes noSocket(int address, int socket);                       // z0 6y 05 FF
ViscaBytes notExecutable(int address, int socket);                  // z0 6y 41 FF (socket 0 for inquiries)
}  // namespace ViscaWire
