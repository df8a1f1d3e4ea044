#include "UvcFunction.h"

#include <algorithm>
#include <cstdlib>

namespace uvcsim {

namespace {

// Standard requests.
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;

constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0;
constexpr uint8_t kRecipientInterface = 1;
constexpr uint8_t kRecipientEndpoint = 2;

// Controls.
constexpr uint8_t kRequestErrorCodeControl = 0x02;  // VideoControl interface
constexpr uint8_t kProbeControl = 0x01;             // VideoStreaming interface
constexpr uint8_t kCommitControl = 0x02;
constexpr uint8_t kZoomAbsoluteControl = 0x0B;  // camera terminal
constexpr uint8_t kBrightnessControl = 0x02;    // processing unit
constexpr uint8_t kContrastControl = 0x03;

constexpr uint8_t kInfoGetSet = 0x03;

uint32_t le32(const Bytes& b, size_t at) {
    if (b.size() < at + 4) {
        return 0;
    }
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

uint16_t le16(const Bytes& b, size_t at) {
    return b.size() < at + 2 ? 0 : static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

void put(Bytes& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

}  // namespace

SetupPacket SetupPacket::fromBytes(const uint8_t b[8]) {
    SetupPacket s;
    s.requestType = b[0];
    s.request = b[1];
    s.value = static_cast<uint16_t>(b[2] | (b[3] << 8));
    s.index = static_cast<uint16_t>(b[4] | (b[5] << 8));
    s.length = static_cast<uint16_t>(b[6] | (b[7] << 8));
    return s;
}

UvcFunction::UvcFunction(DeviceDesc desc) : _desc(std::move(desc)) {
    _controls = {
        {kCameraTerminalId, kZoomAbsoluteControl, 2, 100, 1200, 1, 100, 100},
        {kProcessingUnitId, kBrightnessControl, 2, -64, 64, 1, 0, 0},
        {kProcessingUnitId, kContrastControl, 2, 0, 100, 1, 50, 50},
    };
    _probe = defaults();
}

StreamParams UvcFunction::complete(StreamParams p) const {
    const FormatDesc& format = _desc.formats[p.formatIndex - 1];
    const FrameDesc& frame = format.frames[p.frameIndex - 1];
    p.kind = format.kind;
    p.width = frame.width;
    p.height = frame.height;
    return p;
}

StreamParams UvcFunction::defaults() const {
    StreamParams p;
    if (_desc.formats.empty() || _desc.formats.front().frames.empty()) {
        return p;
    }
    p.formatIndex = 1;
    p.frameIndex = 1;
    p.interval = _desc.formats.front().frames.front().defaultInterval;
    return complete(p);
}

StreamParams UvcFunction::negotiate(const Bytes& probe) const {
    StreamParams p = defaults();
    if (_desc.formats.empty()) {
        return p;
    }
    p.hint = le16(probe, 0);
    const uint8_t formatIndex = probe.size() > 2 ? probe[2] : 0;
    const uint8_t frameIndex = probe.size() > 3 ? probe[3] : 0;
    const uint32_t interval = le32(probe, 4);
    if (formatIndex >= 1 && formatIndex <= _desc.formats.size() &&
        !_desc.formats[formatIndex - 1].frames.empty()) {
        p.formatIndex = formatIndex;
    }
    const FormatDesc& format = _desc.formats[p.formatIndex - 1];
    p.frameIndex = frameIndex >= 1 && frameIndex <= format.frames.size() ? frameIndex : 1;
    const FrameDesc& frame = format.frames[p.frameIndex - 1];
    p.interval = frame.defaultInterval;
    if (interval != 0 && !frame.intervals.empty()) {
        p.interval =
            *std::min_element(frame.intervals.begin(), frame.intervals.end(), [&](uint32_t a, uint32_t b) {
                return std::llabs(static_cast<int64_t>(a) - interval) <
                       std::llabs(static_cast<int64_t>(b) - interval);
            });
    }
    return complete(p);
}

Bytes UvcFunction::encodeProbe(const StreamParams& p) const {
    Bytes b;
    put(b, p.hint, 2);
    put(b, p.formatIndex, 1);
    put(b, p.frameIndex, 1);
    put(b, p.interval, 4);
    put(b, 0, 2);  // wKeyFrameRate
    put(b, 0, 2);  // wPFrameRate
    put(b, 0, 2);  // wCompQuality
    put(b, 0, 2);  // wCompWindowSize
    put(b, 0, 2);  // wDelay
    put(b, p.maxFrameSize(), 4);
    put(b, kMaxPayloadTransfer, 4);
    put(b, kClockFrequencyHz, 4);
    put(b, 0x03, 1);  // bmFramingInfo: FID toggles, EOF marks the end of each frame
    put(b, 1, 1);     // bPreferedVersion
    put(b, 1, 1);     // bMinVersion
    put(b, 1, 1);     // bMaxVersion
    return b;
}

Ep0Plan UvcFunction::stall(uint8_t error) {
    _requestError = error;
    return Ep0Plan{Ep0Kind::Stall, {}, false};
}

Ep0Plan UvcFunction::send(const SetupPacket& setup, Bytes data) {
    if (data.size() > setup.length) {
        data.resize(setup.length);
    }
    return Ep0Plan{Ep0Kind::Send, std::move(data), false};
}

UvcFunction::Control* UvcFunction::control(uint8_t entity, uint8_t selector) {
    for (Control& c : _controls) {
        if (c.entity == entity && c.selector == selector) {
            return &c;
        }
    }
    return nullptr;
}

Ep0Plan UvcFunction::plan(const SetupPacket& setup) {
    switch (setup.requestType & kTypeMask) {
        case kTypeStandard:
            return standardRequest(setup);
        case kTypeClass:
            return classRequest(setup);
        default:
            return Ep0Plan{Ep0Kind::Stall, {}, false};  // vendor requests: none
    }
}

Ep0Plan UvcFunction::standardRequest(const SetupPacket& setup) {
    const uint8_t recipient = setup.requestType & kRecipientMask;
    const Ep0Plan refuse{Ep0Kind::Stall, {}, false};
    switch (setup.request) {
        case kGetStatus:
            return setup.in() ? send(setup, Bytes{0, 0}) : refuse;
        case kGetDescriptor: {
            if (!setup.in() || recipient != kRecipientDevice) {
                return refuse;
            }
            const uint8_t type = static_cast<uint8_t>(setup.value >> 8);
            const uint8_t index = static_cast<uint8_t>(setup.value);
            Bytes d;
            if (type == 0x01) {
                d = deviceDescriptor(_desc);
            } else if (type == 0x02 && index == 0) {
                d = configurationDescriptor(_desc);
            } else if (type == 0x03) {
                d = stringDescriptor(_desc, index);
            } else if (type == 0x06) {
                d = deviceQualifierDescriptor();
            }
            return d.empty() ? refuse : send(setup, std::move(d));
        }
        case kGetConfiguration:
            return setup.in() ? send(setup, Bytes{_configuration}) : refuse;
        case kSetConfiguration:
            // A new configuration (or none) ends whatever streamed in the old one.
            return !setup.in() && setup.value <= 1 ? Ep0Plan{Ep0Kind::Receive, {}, true} : refuse;
        case kGetInterface:
            return setup.in() && recipient == kRecipientInterface && setup.index <= kVideoStreamingInterface
                       ? send(setup, Bytes{0})
                       : refuse;
        case kSetInterface:
            // One alternate setting on each interface (the stream is bulk).
            if (setup.in() || recipient != kRecipientInterface || setup.value != 0 ||
                setup.index > kVideoStreamingInterface) {
                return refuse;
            }
            return Ep0Plan{Ep0Kind::Receive, {}, setup.index == kVideoStreamingInterface};
        case kClearFeature:
            // A host ends a bulk stream by clearing the halt of its endpoint.
            if (!setup.in() && recipient == kRecipientEndpoint && setup.value == 0 &&
                (setup.index & 0xFF) == kStreamingEndpoint) {
                return Ep0Plan{Ep0Kind::Receive, {}, true};
            }
            return refuse;
        default:
            return refuse;
    }
}

Ep0Plan UvcFunction::classRequest(const SetupPacket& setup) {
    if ((setup.requestType & kRecipientMask) != kRecipientInterface || _configuration == 0) {
        return stall(kErrorWrongState);
    }
    // A SET must come as host-to-device with a data stage, a GET the other way round.
    const bool isSet = setup.request == kSetCur;
    if (isSet == setup.in() || (!isSet && (setup.request < kGetCur || setup.request > kGetDef))) {
        return stall(kErrorInvalidRequest);
    }
    const uint8_t interface = static_cast<uint8_t>(setup.index);
    const uint8_t entity = static_cast<uint8_t>(setup.index >> 8);
    const uint8_t selector = static_cast<uint8_t>(setup.value >> 8);
    if (interface == kVideoControlInterface) {
        return videoControl(setup, entity, selector);
    }
    if (interface == kVideoStreamingInterface && entity == 0) {
        return videoStreaming(setup, selector);
    }
    return stall(kErrorInvalidUnit);
}

Ep0Plan UvcFunction::videoControl(const SetupPacket& setup, uint8_t entity, uint8_t selector) {
    if (entity == 0) {
        // The interface's own controls: only the request-error code.
        if (selector != kRequestErrorCodeControl) {
            return stall(kErrorInvalidControl);
        }
        if (setup.request == kGetCur) {
            return send(setup, Bytes{_requestError});  // reading it leaves it as it is
        }
        if (setup.request == kGetInfo) {
            _requestError = kErrorNone;
            return send(setup, Bytes{0x01});
        }
        return stall(kErrorInvalidRequest);
    }
    if (entity == kExtensionUnitId && _desc.extensionUnit) {
        if (selector != kCommandSelector) {
            return stall(kErrorInvalidControl);
        }
        switch (setup.request) {
            case kSetCur:
            case kGetCur:
                if (setup.length != kCommandLength) {
                    return stall(kErrorInvalidRequest);
                }
                return Ep0Plan{
                    setup.request == kSetCur ? Ep0Kind::CommandSet : Ep0Kind::CommandGet, {}, false};
            case kGetInfo:
                _requestError = kErrorNone;
                return send(setup, Bytes{kInfoGetSet});
            case kGetLen:
                _requestError = kErrorNone;
                return send(setup, Bytes{kCommandLength & 0xFF, kCommandLength >> 8});
            case kGetMin:
            case kGetDef:
                _requestError = kErrorNone;
                return send(setup, Bytes{0, 0, 0, 0});
            case kGetMax:
                _requestError = kErrorNone;
                return send(setup, Bytes{0xFF, 0xFF, 0xFF, 0xFF});
            case kGetRes:
                _requestError = kErrorNone;
                return send(setup, Bytes{1, 0, 1, 0});
            default:
                return stall(kErrorInvalidRequest);
        }
    }
    if (entity != kCameraTerminalId && entity != kProcessingUnitId) {
        return stall(kErrorInvalidUnit);  // the output terminal has no controls either
    }
    Control* c = control(entity, selector);
    if (c == nullptr) {
        return stall(kErrorInvalidControl);
    }
    Bytes value;
    switch (setup.request) {
        case kSetCur:
            if (setup.length != c->size) {
                return stall(kErrorInvalidRequest);
            }
            return Ep0Plan{Ep0Kind::Receive, {}, false};
        case kGetInfo:
            _requestError = kErrorNone;
            return send(setup, Bytes{kInfoGetSet});
        case kGetLen:
            _requestError = kErrorNone;
            return send(setup, Bytes{c->size, 0});
        case kGetCur:
            put(value, static_cast<uint32_t>(c->cur), c->size);
            break;
        case kGetMin:
            put(value, static_cast<uint32_t>(c->min), c->size);
            break;
        case kGetMax:
            put(value, static_cast<uint32_t>(c->max), c->size);
            break;
        case kGetRes:
            put(value, static_cast<uint32_t>(c->res), c->size);
            break;
        case kGetDef:
            put(value, static_cast<uint32_t>(c->def), c->size);
            break;
        default:
            return stall(kErrorInvalidRequest);
    }
    _requestError = kErrorNone;
    return send(setup, std::move(value));
}

Ep0Plan UvcFunction::videoStreaming(const SetupPacket& setup, uint8_t selector) {
    if (selector != kProbeControl && selector != kCommitControl) {
        return stall(kErrorInvalidControl);
    }
    const bool commit = selector == kCommitControl;
    switch (setup.request) {
        case kSetCur:
            // UVC 1.0 hosts send 26 bytes, 1.1 hosts 34.
            if (setup.length != 26 && setup.length != kProbeLength) {
                return stall(kErrorInvalidRequest);
            }
            return Ep0Plan{Ep0Kind::Receive, {}, commit};
        case kGetCur:
            _requestError = kErrorNone;
            return send(setup, encodeProbe(commit ? _commit.value_or(_probe) : _probe));
        case kGetInfo:
            _requestError = kErrorNone;
            return send(setup, Bytes{kInfoGetSet});
        case kGetLen:
            _requestError = kErrorNone;
            return send(setup, Bytes{kProbeLength & 0xFF, kProbeLength >> 8});
        case kGetMin:
        case kGetMax:
        case kGetDef:
            if (commit) {
                return stall(kErrorInvalidRequest);
            }
            _requestError = kErrorNone;
            return send(setup, encodeProbe(defaults()));
        default:
            return stall(kErrorInvalidRequest);
    }
}

Ep0Event UvcFunction::received(const SetupPacket& setup, const Bytes& data) {
    Ep0Event event;
    if ((setup.requestType & kTypeMask) == kTypeStandard) {
        if (setup.request == kSetConfiguration) {
            _configuration = static_cast<uint8_t>(setup.value);
            if (_configuration == 0) {
                _commit.reset();
            }
            event.kind = _configuration != 0 ? Ep0Event::Kind::Configured : Ep0Event::Kind::Unconfigured;
        } else if (setup.request == kSetInterface || setup.request == kClearFeature) {
            event.kind = Ep0Event::Kind::StreamStopped;
        }
        return event;
    }
    const uint8_t interface = static_cast<uint8_t>(setup.index);
    const uint8_t entity = static_cast<uint8_t>(setup.index >> 8);
    const uint8_t selector = static_cast<uint8_t>(setup.value >> 8);
    _requestError = kErrorNone;
    if (interface == kVideoStreamingInterface) {
        const StreamParams params = negotiate(data);
        if (selector == kCommitControl) {
            _commit = params;
            _probe = params;
            event.kind = Ep0Event::Kind::Committed;
            event.params = params;
        } else {
            _probe = params;
        }
        return event;
    }
    if (Control* c = control(entity, selector)) {
        uint32_t raw = 0;
        for (size_t i = 0; i < c->size && i < data.size(); ++i) {
            raw |= static_cast<uint32_t>(data[i]) << (8 * i);
        }
        int32_t v = static_cast<int32_t>(raw);
        if (c->size == 2) {
            v = c->min < 0 ? static_cast<int16_t>(raw) : static_cast<uint16_t>(raw);
        }
        c->cur = std::clamp(v, c->min, c->max);
    }
    return event;
}

void UvcFunction::commandFinished(bool stalled, uint8_t errorCode) {
    _requestError = stalled ? errorCode : static_cast<uint8_t>(kErrorNone);
}

}  // namespace uvcsim
