#pragma once

// The control endpoint of the emulated camera as plain logic: given a SETUP packet it says
// what the device does (send this data, take the data stage, or stall), keeps what the
// host configured and negotiated (configuration, probe and commit, the standard controls'
// values, the request-error code) and reports the events the device's threads act on
// (configured, a stream committed, the stream stopped).
//
// The extension unit's command channel (SET_CUR / GET_CUR of selector 5) is only recognised
// here: the device hands those to the simulator's camera model with its journal and faults,
// and tells this object how each ended (commandFinished).
//
// One rule of the emulated bus shapes the plan: the data stage of a host-to-device request
// is also its end (the bus completes the status stage with it), so whatever makes such a
// request fail must be decided from its SETUP packet, before the data is read. A value out of
// range that only shows in the data is clamped instead of stalled.
//
// Threading: none of its own; the device's control-endpoint thread alone uses it (the
// streaming thread gets the committed parameters as a copy through the event).

#include <cstdint>
#include <optional>
#include <vector>

#include "UvcDescriptors.h"

namespace uvcsim {

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;

    static SetupPacket fromBytes(const uint8_t bytes[8]);
    bool in() const { return (requestType & 0x80) != 0; }
};

// UVC request codes.
enum : uint8_t {
    kSetCur = 0x01,
    kGetCur = 0x81,
    kGetMin = 0x82,
    kGetMax = 0x83,
    kGetRes = 0x84,
    kGetLen = 0x85,
    kGetInfo = 0x86,
    kGetDef = 0x87,
};

// The request-error codes the VideoControl interface reports after a stall.
enum : uint8_t {
    kErrorNone = 0x00,
    kErrorNotReady = 0x01,
    kErrorWrongState = 0x02,
    kErrorOutOfRange = 0x04,
    kErrorInvalidUnit = 0x05,
    kErrorInvalidControl = 0x06,
    kErrorInvalidRequest = 0x07,
};

// The probe and commit control: 34 bytes for UVC 1.1.
constexpr uint16_t kProbeLength = 34;
// Each payload transfer: a 2-byte header and up to this much more (32 high-speed bulk packets,
// what one transfer of the host's holds).
constexpr uint32_t kMaxPayloadTransfer = 16384;

// Negotiated streaming parameters (indexes from 1, as on the wire).
struct StreamParams {
    uint8_t formatIndex = 1;
    uint8_t frameIndex = 1;
    uint32_t interval = 0;  // 100 ns
    uint16_t hint = 0;
    FormatKind kind = FormatKind::Mjpeg;
    uint16_t width = 0;
    uint16_t height = 0;

    uint32_t maxFrameSize() const { return maxFrameBytes(kind, width, height); }
    bool operator==(const StreamParams&) const = default;
};

enum class Ep0Kind {
    Send,        // IN: send `data` (at most wLength bytes)
    Receive,     // OUT: take the data stage (wLength bytes, maybe none), then call received()
    Stall,       // refuse; the request-error code says why
    CommandGet,  // the command channel's GET_CUR (4 bytes): the device answers it
    CommandSet,  // the command channel's SET_CUR: the device takes the 4 bytes and acts
};

struct Ep0Plan {
    Ep0Kind kind = Ep0Kind::Stall;
    Bytes data;
    // A commit is coming: whatever the stream has in flight belongs to the old stream and must
    // be withdrawn before the host, done with the commit, starts reading again.
    bool endsStream = false;
};

struct Ep0Event {
    enum class Kind { None, Configured, Unconfigured, StreamStopped, Committed } kind = Kind::None;
    StreamParams params;  // Committed
};

class UvcFunction {
public:
    explicit UvcFunction(DeviceDesc desc);

    const DeviceDesc& desc() const { return _desc; }

    Ep0Plan plan(const SetupPacket& setup);
    // The data stage of a request planned as Receive (its bytes, possibly fewer than wLength).
    Ep0Event received(const SetupPacket& setup, const Bytes& data);
    // How a command-channel request ended: stalled with `errorCode`, or answered.
    void commandFinished(bool stalled, uint8_t errorCode);

    uint8_t configuration() const { return _configuration; }
    uint8_t requestError() const { return _requestError; }
    const StreamParams& probe() const { return _probe; }
    const std::optional<StreamParams>& committed() const { return _commit; }

    // The parameters a probe (or commit) asks for, made valid: a format or frame that does not
    // exist is replaced by the first format / its default frame, an interval by the nearest
    // one the frame offers (its default for 0). Garbage of any length is accepted.
    StreamParams negotiate(const Bytes& probe) const;
    // The 34 bytes of the probe control for `params`.
    Bytes encodeProbe(const StreamParams& params) const;
    StreamParams defaults() const;

private:
    struct Control {
        uint8_t entity;
        uint8_t selector;
        uint8_t size;
        int32_t min, max, res, def, cur;
    };

    Ep0Plan standardRequest(const SetupPacket& setup);
    Ep0Plan classRequest(const SetupPacket& setup);
    Ep0Plan videoControl(const SetupPacket& setup, uint8_t entity, uint8_t selector);
    Ep0Plan videoStreaming(const SetupPacket& setup, uint8_t selector);
    Ep0Plan stall(uint8_t error);
    Ep0Plan send(const SetupPacket& setup, Bytes data);
    Control* control(uint8_t entity, uint8_t selector);
    StreamParams complete(StreamParams params) const;

    DeviceDesc _desc;
    uint8_t _configuration = 0;
    uint8_t _requestError = kErrorNone;
    StreamParams _probe;
    std::optional<StreamParams> _commit;
    std::vector<Control> _controls;
};

}  // namespace uvcsim
