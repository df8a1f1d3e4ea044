#pragma once

// How one video frame travels over the bulk endpoint: as payload transfers of at most the
// negotiated dwMaxPayloadTransferSize bytes, each a 2-byte payload header followed by the
// next piece of the frame. The header's frame-id bit is the same in every payload of a frame
// and toggles from one frame to the next; the end-of-frame bit marks the frame's last payload.
// A payload shorter than the transfer size ends the host's transfer by itself, unless its
// length is a whole number of bulk packets: then a zero-length packet must follow it.
//
// Threading: none (plain values).

#include <cstddef>
#include <cstdint>
#include <vector>

namespace uvcsim {

constexpr uint8_t kHeaderFid = 0x01;
constexpr uint8_t kHeaderEof = 0x02;
constexpr uint8_t kHeaderError = 0x40;
constexpr uint8_t kHeaderEoh = 0x80;
constexpr size_t kPayloadHeaderLength = 2;

struct Payload {
    std::vector<uint8_t> bytes;  // header + data
    bool zeroLengthPacket = false;
};

// The payloads of one frame (an empty frame is one payload with just the header and EOF).
// `maxPayload` is at least the header plus one byte.
std::vector<Payload> splitFrame(const uint8_t* data, size_t size, bool fid, size_t maxPayload,
                                size_t maxPacket);

}  // namespace uvcsim
