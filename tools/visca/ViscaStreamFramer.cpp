#include "ViscaStreamFramer.h"

std::vector<ViscaStreamFramer::Frame> ViscaStreamFramer::feed(const uint8_t* data, std::size_t size) {
    std::vector<Frame> frames;
    for (std::size_t i = 0; data != nullptr && i < size; ++i) {
        const uint8_t byte = data[i];
        if (_skipToTerminator) {
            // The rest of an overlong message: its terminator ends the damage.
            if (byte == ViscaWire::kTerminator)
                _skipToTerminator = false;
            continue;
        }
        _pending.push_back(byte);
        if (byte == ViscaWire::kTerminator) {
            frames.push_back(Frame{false, std::move(_pending)});
            _pending.clear();
        } else if (_pending.size() >= kMaxMessage) {
            // Sixteen bytes and still no terminator: no VISCA message is this long.
            frames.push_back(Frame{true, {}});
            _pending.clear();
            _skipToTerminator = true;
        }
    }
    return frames;
}

void ViscaStreamFramer::clear() {
    _pending.clear();
    _skipToTerminator = false;
}
