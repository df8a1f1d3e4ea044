#include "UvcPayload.h"

#include <algorithm>

namespace uvcsim {

std::vector<Payload> splitFrame(const uint8_t* data, size_t size, bool fid, size_t maxPayload,
                                size_t maxPacket) {
    std::vector<Payload> payloads;
    const size_t room = std::max<size_t>(maxPayload, kPayloadHeaderLength + 1) - kPayloadHeaderLength;
    size_t offset = 0;
    do {
        const size_t piece = std::min(room, size - offset);
        const bool last = offset + piece == size;
        Payload p;
        p.bytes.reserve(kPayloadHeaderLength + piece);
        p.bytes.push_back(static_cast<uint8_t>(kPayloadHeaderLength));
        p.bytes.push_back(
            static_cast<uint8_t>(kHeaderEoh | (fid ? kHeaderFid : 0) | (last ? kHeaderEof : 0)));
        p.bytes.insert(p.bytes.end(), data + offset, data + offset + piece);
        p.zeroLengthPacket = maxPacket > 0 && p.bytes.size() < maxPayload && p.bytes.size() % maxPacket == 0;
        payloads.push_back(std::move(p));
        offset += piece;
    } while (offset < size);
    return payloads;
}

}  // namespace uvcsim
