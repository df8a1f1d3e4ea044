#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ViscaWire.h"

// Plain VISCA over a byte stream (TCP): messages end at 0xFF and are at most 16 bytes. The
// framer keeps at most one unfinished message. A message that reaches 16 bytes without its
// terminator is reported once as overlong and the bytes up to the next 0xFF are dropped, so
// the tail of a broken message is never read as a message of its own and a peer that never
// sends 0xFF cannot make us buffer more than 16 bytes.
class ViscaStreamFramer {
public:
    static constexpr std::size_t kMaxMessage = ViscaWire::kMaxPayload;

    struct Frame {
        bool overlong = false;  // true: no message, the peer's framing was broken
        ViscaBytes message;     // with its 0xFF terminator

        bool operator==(const Frame& other) const {
            return overlong == other.overlong && message == other.message;
        }
    };

    std::vector<Frame> feed(const uint8_t* data, std::size_t size);
    std::vector<Frame> feed(const ViscaBytes& bytes) { return feed(bytes.data(), bytes.size()); }
    void clear();
    std::size_t pendingSize() const { return _pending.size(); }

private:
    ViscaBytes _pending;
    bool _skipToTerminator = false;
};
