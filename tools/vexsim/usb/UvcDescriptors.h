#pragma once

// The USB descriptors of the emulated camera: a high-speed device of the camera family with
// one configuration holding a UVC 1.1 video function (an interface association over a
// VideoControl and a VideoStreaming interface). The VideoControl interface chains a camera
// terminal, a processing unit and the family's extension unit (the command channel, selector
// 5, 4 bytes) into the output terminal; the VideoStreaming interface offers its formats
// (uncompressed YUY2, MJPEG, frame-based H.264) over one bulk IN endpoint.
//
// Pure functions over plain data: the bytes are what the host reads with GET_DESCRIPTOR.
//
// Threading: none (plain values).

#include <cstdint>
#include <string>
#include <vector>

namespace uvcsim {

using Bytes = std::vector<uint8_t>;

// The entities of the VideoControl interface (their bUnitID / bTerminalID).
constexpr uint8_t kCameraTerminalId = 1;
constexpr uint8_t kProcessingUnitId = 2;
constexpr uint8_t kExtensionUnitId = 3;
constexpr uint8_t kOutputTerminalId = 4;

constexpr uint8_t kVideoControlInterface = 0;
constexpr uint8_t kVideoStreamingInterface = 1;
constexpr uint8_t kStreamingEndpoint = 0x81;  // bulk IN, endpoint 1 (the UDC's "ep1in-bulk")
constexpr uint16_t kBulkMaxPacket = 512;      // high speed
constexpr uint8_t kEp0MaxPacket = 64;
constexpr uint16_t kUvcVersion = 0x0110;
constexpr uint32_t kClockFrequencyHz = 48000000;

// The command channel of the family's extension unit.
extern const uint8_t kCommandUnitGuid[16];  // {B02D7059-B906-4111-9310-4D2CB886763E}
constexpr uint8_t kCommandSelector = 5;
constexpr uint16_t kCommandLength = 4;

enum class FormatKind { Uncompressed, Mjpeg, FrameBased };

struct FrameDesc {
    uint16_t width = 0;
    uint16_t height = 0;
    std::vector<uint32_t> intervals;  // 100 ns units, shortest (fastest) first, at least one
    uint32_t defaultInterval = 0;     // one of `intervals`
};

struct FormatDesc {
    FormatKind kind = FormatKind::Mjpeg;
    std::vector<FrameDesc> frames;  // at least one
};

struct DeviceDesc {
    uint16_t vendorId = 0x1d4d;
    uint16_t productId = 0x6009;
    uint16_t bcdDevice = 0x0100;
    std::string manufacturer = "Quillon";
    std::string product = "ZM-150 Camera";
    std::string serial;
    bool extensionUnit = true;        // false: a camera without the command channel
    std::vector<FormatDesc> formats;  // bFormatIndex = position + 1
};

// String descriptor indexes.
constexpr uint8_t kManufacturerString = 1;
constexpr uint8_t kProductString = 2;
constexpr uint8_t kSerialString = 3;

Bytes deviceDescriptor(const DeviceDesc& desc);
Bytes deviceQualifierDescriptor();
// The whole configuration: configuration, association, interfaces, class-specific
// descriptors and the endpoint, wTotalLength filled in.
Bytes configurationDescriptor(const DeviceDesc& desc);
// Index 0: the language list (US English); 1-3: manufacturer, product, serial number (UTF-16LE
// of the ASCII text; a text longer than a descriptor can hold is cut). Empty for any other
// index, or for the serial number when the desc has none.
Bytes stringDescriptor(const DeviceDesc& desc, uint8_t index);

// The largest frame of a format and size, in bytes: what the probe control reports as
// dwMaxVideoFrameSize and the uncompressed/MJPEG frame descriptors as their buffer size. An
// uncompressed frame is exactly this size.
uint32_t maxFrameBytes(FormatKind kind, uint16_t width, uint16_t height);

// The four-character subtype the host's V4L2 listing shows for a format ("YUY2", "MJPG", "H264").
const char* subtypeName(FormatKind kind);

}  // namespace uvcsim
