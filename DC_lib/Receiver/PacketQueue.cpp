#include "PacketQueue.h"

#include <cstring>

PacketQueue::PacketQueue(int capacity) : _ring(capacity) {
    for (int i = 0; i < _ring.capacity(); ++i) {
        // A zeroed packet record is blank; unref gives it libavcodec's defaults.
        AVPacket* packet = &_ring.slotAt(i).packet;
        std::memset(packet, 0, sizeof(AVPacket));
        av_packet_unref(packet);
    }
}

PacketQueue::~PacketQueue() {
    for (int i = 0; i < _ring.capacity(); ++i) {
        av_packet_unref(&_ring.slotAt(i).packet);  // releases a still-filled slot
    }
}

bool PacketQueue::put(AVPacket* packet) {
    if (packet == nullptr) {
        return false;
    }
    return _ring.put(1, [packet](Slot& slot) { av_packet_move_ref(&slot.packet, packet); });
}

bool PacketQueue::get(AVPacket* destination, int timeoutMs) {
    if (destination == nullptr) {
        return false;
    }
    return _ring.get(timeoutMs, [destination](Slot& slot) {
        // A destination that still holds a packet would leak its reference under the move.
        av_packet_unref(destination);
        av_packet_move_ref(destination, &slot.packet);
    });
}

void PacketQueue::flush() {
    _ring.flush([](Slot& slot) { av_packet_unref(&slot.packet); });
}
