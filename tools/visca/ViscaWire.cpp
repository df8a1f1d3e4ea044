#include "ViscaWire.h"

namespace ViscaWire {

ViscaParsedDatagram parseDatagram(const uint8_t* data, std::size_t size) {
    ViscaParsedDatagram parsed;
    if (data == nullptr || size < kHeaderSize) {
        parsed.error = ViscaParsedDatagram::TooShort;
        return parsed;
    }
    const std::size_t length = (std::size_t(data[2]) << 8) | data[3];
    // The length field is a claim; the datagram's size is the fact. A controller that pads,
    // truncates or concatenates is answered with nothing rather than guessed at.
    if (length != size - kHeaderSize) {
        parsed.error = ViscaParsedDatagram::LengthMismatch;
        return parsed;
    }
    if (length == 0) {
        parsed.error = ViscaParsedDatagram::EmptyPayload;
        return parsed;
    }
    if (length > kMaxPayload) {
        parsed.error = ViscaParsedDatagram::PayloadTooLong;
        return parsed;
    }
    parsed.datagram.type = uint16_t((data[0] << 8) | data[1]);
    parsed.datagram.sequence =
        (uint32_t(data[4]) << 24) | (uint32_t(data[5]) << 16) | (uint32_t(data[6]) << 8) | uint32_t(data[7]);
    parsed.datagram.payload.assign(data + kHeaderSize, data + size);
    return parsed;
}

ViscaBytes buildDatagram(uint16_t type, uint32_t sequence, const ViscaBytes& payload) {
    const std::size_t length = payload.size() < kMaxPayload ? payload.size() : kMaxPayload;
    ViscaBytes bytes;
    bytes.reserve(kHeaderSize + length);
    bytes.push_back(uint8_t(type >> 8));
    bytes.push_back(uint8_t(type));
    bytes.push_back(uint8_t(length >> 8));
    bytes.push_back(uint8_t(length));
    bytes.push_back(uint8_t(sequence >> 24));
    bytes.push_back(uint8_t(sequence >> 16));
    bytes.push_back(uint8_t(sequence >> 8));
    bytes.push_back(uint8_t(sequence));
    bytes.insert(bytes.end(), payload.begin(), payload.begin() + long(length));
    return bytes;
}

ViscaBytes buildDatagram(const ViscaDatagram& datagram) {
    return buildDatagram(datagram.type, datagram.sequence, datagram.payload);
}

uint8_t replyHeader(int address) {
    return uint8_t(((address + 8) & 0x0F) << 4);
}

ViscaBytes ack(int address, int socket) {
    return {replyHeader(address), uint8_t(0x40 | (socket & 0x0F)), kTerminator};
}

ViscaBytes completion(int address, int socket) {
    return {replyHeader(address), uint8_t(0x50 | (socket & 0x0F)), kTerminator};
}

ViscaBytes inquiryCompletion(int address, const ViscaBytes& data) {
    ViscaBytes bytes{replyHeader(address), 0x50};
    bytes.insert(bytes.end(), data.begin(), data.end());
    bytes.push_back(kTerminator);
    return bytes;
}

static ViscaBytes error(int address, int socket, uint8_t code) {
    return {replyHeader(address), uint8_t(0x60 | (socket & 0x0F)), code, kTerminator};
}

ViscaBytes syntaxError(int address) {
    return error(address, 0, 0x02);
}

ViscaBytes bufferFull(int address) {
    return error(address, 0, 0x03);
}

ViscaBytes canceled(int address, int socket) {
    return error(address, socket, 0x04);
}

ViscaBytes noSocket(int address, int socket) {
    return error(address, socket, 0x05);
}

ViscaBytes notExecutable(int address, int socket) {
    return error(address, socket, 0x41);
}

}  // namespace ViscaWire
