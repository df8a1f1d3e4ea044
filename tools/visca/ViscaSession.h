#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ViscaCamera.h"
#include "ViscaCommand.h"
#include "ViscaStreamFramer.h"
#include "ViscaWire.h"

// One controller talking to one camera: bytes in, the bytes to send back out, and the camera's
// actions in between. No sockets: the server owns those and hands each read to receive().
//
// Replies follow the VISCA conventions: a command is acknowledged (z0 4y FF) in a free
// socket y and then completed (z0 5y FF) or refused (z0 6y 41 FF); a command that arrives
// while both sockets hold unfinished commands gets "command buffer full". Inquiries answer
// z0 50 ... FF at once.
//
// Over UDP every reply carries the sequence number of the datagram it answers. The controller
// resends a datagram whose replies it lost, so a datagram with the last sequence number and the
// same payload is answered again with the replies already sent and not executed a second time:
// a preset stored twice or a move started again after its stop would be wrong. The same number
// with another payload is a new message (some controllers never count).
//
// Threading: none of its own. One thread (the server's) calls receive() and complete(); the
// camera interface is called on that thread.
class ViscaSession {
public:
    enum class Transport { Udp, Tcp };
    static constexpr int kSockets = 2;

    // `address`: the camera address 1..7 the session answers to (another value means 1).
    ViscaSession(ViscaCamera& camera, Transport transport, int address = 1);

    // UDP: `data` is one datagram; TCP: one read of the stream, split anywhere. Returns what to
    // send back: one datagram per element (UDP), or one message per element (TCP).
    std::vector<ViscaBytes> receive(const uint8_t* data, std::size_t size);
    std::vector<ViscaBytes> receive(const ViscaBytes& bytes) { return receive(bytes.data(), bytes.size()); }

    // The camera finished the command it answered Pending to in `socket`: the completion, or
    // "not executable" when `executed` is false. Nothing when the socket holds no command (it
    // was canceled or cleared meanwhile).
    std::vector<ViscaBytes> complete(int socket, bool executed);

    bool socketBusy(int socket) const;
    int address() const { return _address; }
    const ViscaStreamFramer& framer() const { return _framer; }

private:
    struct Socket {
        bool busy = false;
        uint32_t sequence = 0;  // UDP: the datagram that brought the command
    };

    std::vector<ViscaBytes> receiveDatagram(const uint8_t* data, std::size_t size);
    std::vector<ViscaBytes> receiveStream(const uint8_t* data, std::size_t size);
    // The VISCA replies to one message, unwrapped.
    std::vector<ViscaBytes> handle(const ViscaBytes& message, uint32_t sequence);
    std::vector<ViscaBytes> handleCommand(const ViscaRequest& request, uint32_t sequence);
    ViscaBytes answerInquiry(ViscaInquiry inquiry) const;
    void clearSockets();
    std::vector<ViscaBytes> wrap(const std::vector<ViscaBytes>& replies, uint32_t sequence) const;

    ViscaCamera& _camera;
    const Transport _transport;
    const int _address;
    Socket _sockets[kSockets];
    ViscaStreamFramer _framer;  // TCP only

    // UDP sequence numbers. Until the first datagram or after a RESET any number is taken
    // (a controller may have counted before we started); afterwards the next one is expected.
    bool _anySequence = true;
    uint32_t _expectedSequence = 0;
    bool _haveLast = false;
    uint32_t _lastSequence = 0;
    ViscaBytes _lastPayload;
    std::vector<ViscaBytes> _lastReplies;  // the datagrams sent for the last sequence number
};
