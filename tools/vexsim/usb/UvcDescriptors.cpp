#include "UvcDescriptors.h"

#include <algorithm>

namespace uvcsim {

const uint8_t kCommandUnitGuid[16] = {0x59, 0x70, 0x2D, 0xB0, 0x06, 0xB9, 0x11, 0x41,
                                      0x93, 0x10, 0x4D, 0x2C, 0xB8, 0x86, 0x76, 0x3E};

namespace {

// Video format GUIDs: the four-character code in the first four bytes of the standard base.
const uint8_t kYuy2Guid[16] = {'Y',  'U',  'Y',  '2',  0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
const uint8_t kH264Guid[16] = {'H',  '2',  '6',  '4',  0x00, 0x00, 0x10, 0x00,
                               0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

constexpr uint8_t kCsInterface = 0x24;
constexpr uint8_t kVideoClass = 0x0E;

// Little-endian writers.
void put8(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
}
void put16(Bytes& b, uint32_t v) {
    put8(b, v);
    put8(b, v >> 8);
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v);
    put16(b, v >> 16);
}
void putGuid(Bytes& b, const uint8_t guid[16]) {
    b.insert(b.end(), guid, guid + 16);
}
void set16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// The bytes per second of a frame size at its fastest and slowest interval.
uint32_t bitRate(FormatKind kind, const FrameDesc& frame, uint32_t interval) {
    const uint64_t bits = static_cast<uint64_t>(maxFrameBytes(kind, frame.width, frame.height)) * 8;
    const uint64_t rate = interval == 0 ? bits : bits * 10000000ull / interval;
    return static_cast<uint32_t>(std::min<uint64_t>(rate, 0xFFFFFFFFull));
}

void appendFrame(Bytes& b, FormatKind kind, const FrameDesc& frame, uint8_t index) {
    const size_t start = b.size();
    const uint8_t subtype = kind == FormatKind::Uncompressed ? 0x05 : kind == FormatKind::Mjpeg ? 0x07 : 0x11;
    const size_t count = std::min<size_t>(frame.intervals.size(), 255);
    const uint32_t fastest = frame.intervals.empty() ? 0 : frame.intervals.front();
    const uint32_t slowest = frame.intervals.empty() ? 0 : frame.intervals.back();
    put8(b, 26 + 4 * count);
    put8(b, kCsInterface);
    put8(b, subtype);
    put8(b, index);
    put8(b, 0);  // bmCapabilities: no still image, fixed rate
    put16(b, frame.width);
    put16(b, frame.height);
    put32(b, bitRate(kind, frame, slowest));
    put32(b, bitRate(kind, frame, fastest));
    if (kind != FormatKind::FrameBased) {
        put32(b, maxFrameBytes(kind, frame.width, frame.height));  // dwMaxVideoFrameBufferSize
        put32(b, frame.defaultInterval);
        put8(b, count);  // bFrameIntervalType: discrete intervals
    } else {
        put32(b, frame.defaultInterval);
        put8(b, count);
        put32(b, 0);  // dwBytesPerLine: 0 for a compressed stream
    }
    for (size_t i = 0; i < count; ++i) {
        put32(b, frame.intervals[i]);
    }
    b[start] = static_cast<uint8_t>(b.size() - start);
}

void appendFormat(Bytes& b, const FormatDesc& format, uint8_t index) {
    const size_t frames = std::min<size_t>(format.frames.size(), 255);
    switch (format.kind) {
        case FormatKind::Uncompressed:
            put8(b, 27);
            put8(b, kCsInterface);
            put8(b, 0x04);  // VS_FORMAT_UNCOMPRESSED
            put8(b, index);
            put8(b, frames);
            putGuid(b, kYuy2Guid);
            put8(b, 16);  // bBitsPerPixel
            put8(b, 1);   // bDefaultFrameIndex
            put8(b, 0);   // bAspectRatioX
            put8(b, 0);   // bAspectRatioY
            put8(b, 0);   // bmInterlaceFlags
            put8(b, 0);   // bCopyProtect
            break;
        case FormatKind::Mjpeg:
            put8(b, 11);
            put8(b, kCsInterface);
            put8(b, 0x06);  // VS_FORMAT_MJPEG
            put8(b, index);
            put8(b, frames);
            put8(b, 1);  // bmFlags: fixed-size samples
            put8(b, 1);  // bDefaultFrameIndex
            put8(b, 0);
            put8(b, 0);
            put8(b, 0);
            put8(b, 0);
            break;
        case FormatKind::FrameBased:
            put8(b, 28);
            put8(b, kCsInterface);
            put8(b, 0x10);  // VS_FORMAT_FRAME_BASED
            put8(b, index);
            put8(b, frames);
            putGuid(b, kH264Guid);
            put8(b, 16);  // bBitsPerPixel
            put8(b, 1);   // bDefaultFrameIndex
            put8(b, 0);
            put8(b, 0);
            put8(b, 0);
            put8(b, 0);
            put8(b, 1);  // bVariableSize
            break;
    }
    for (size_t f = 0; f < frames; ++f) {
        appendFrame(b, format.kind, format.frames[f], static_cast<uint8_t>(f + 1));
    }
    // Colour matching: BT.709 primaries and transfer, SMPTE 170M matrix (the defaults).
    put8(b, 6);
    put8(b, kCsInterface);
    put8(b, 0x0D);
    put8(b, 1);
    put8(b, 1);
    put8(b, 4);
}

Bytes videoControlClassDescriptors(const DeviceDesc& desc) {
    Bytes b;
    // Header: UVC 1.1, one streaming interface in the collection.
    put8(b, 13);
    put8(b, kCsInterface);
    put8(b, 0x01);  // VC_HEADER
    put16(b, kUvcVersion);
    put16(b, 0);  // wTotalLength, filled in below
    put32(b, kClockFrequencyHz);
    put8(b, 1);
    put8(b, kVideoStreamingInterface);
    // Camera terminal: zoom (absolute).
    put8(b, 18);
    put8(b, kCsInterface);
    put8(b, 0x02);  // VC_INPUT_TERMINAL
    put8(b, kCameraTerminalId);
    put16(b, 0x0201);  // ITT_CAMERA
    put8(b, 0);
    put8(b, 0);
    put16(b, 0);  // wObjectiveFocalLengthMin
    put16(b, 0);  // wObjectiveFocalLengthMax
    put16(b, 0);  // wOcularFocalLength
    put8(b, 3);   // bControlSize
    put8(b, 0x00);
    put8(b, 0x02);  // D9: zoom (absolute)
    put8(b, 0x00);
    // Processing unit: brightness and contrast.
    put8(b, 12);
    put8(b, kCsInterface);
    put8(b, 0x05);  // VC_PROCESSING_UNIT
    put8(b, kProcessingUnitId);
    put8(b, kCameraTerminalId);
    put16(b, 0);  // wMaxMultiplier
    put8(b, 2);   // bControlSize
    put8(b, 0x03);
    put8(b, 0x00);
    put8(b, 0);  // iProcessing
    put8(b, 0);  // bmVideoStandards
    // The family's extension unit: one control, the command channel at selector 5.
    if (desc.extensionUnit) {
        put8(b, 26);
        put8(b, kCsInterface);
        put8(b, 0x06);  // VC_EXTENSION_UNIT
        put8(b, kExtensionUnitId);
        putGuid(b, kCommandUnitGuid);
        put8(b, 1);  // bNumControls
        put8(b, 1);  // bNrInPins
        put8(b, kProcessingUnitId);
        put8(b, 1);                             // bControlSize
        put8(b, 1u << (kCommandSelector - 1));  // bmControls
        put8(b, 0);                             // iExtension
    }
    // Output terminal: the USB stream.
    put8(b, 9);
    put8(b, kCsInterface);
    put8(b, 0x03);  // VC_OUTPUT_TERMINAL
    put8(b, kOutputTerminalId);
    put16(b, 0x0101);  // TT_STREAMING
    put8(b, 0);
    put8(b, desc.extensionUnit ? kExtensionUnitId : kProcessingUnitId);
    put8(b, 0);
    set16(b, 5, static_cast<uint32_t>(b.size()));
    return b;
}

Bytes videoStreamingClassDescriptors(const DeviceDesc& desc) {
    Bytes b;
    const size_t formats = std::min<size_t>(desc.formats.size(), 255);
    put8(b, 13 + formats);
    put8(b, kCsInterface);
    put8(b, 0x01);  // VS_INPUT_HEADER
    put8(b, formats);
    put16(b, 0);  // wTotalLength, filled in below
    put8(b, kStreamingEndpoint);
    put8(b, 0);  // bmInfo: no dynamic format change
    put8(b, kOutputTerminalId);
    put8(b, 0);  // bStillCaptureMethod
    put8(b, 0);  // bTriggerSupport
    put8(b, 0);  // bTriggerUsage
    put8(b, 1);  // bControlSize
    for (size_t f = 0; f < formats; ++f) {
        put8(b, 0);
    }
    for (size_t f = 0; f < formats; ++f) {
        appendFormat(b, desc.formats[f], static_cast<uint8_t>(f + 1));
    }
    set16(b, 4, static_cast<uint32_t>(b.size()));
    return b;
}

void appendInterface(Bytes& b, uint8_t number, uint8_t endpoints, uint8_t subclass) {
    put8(b, 9);
    put8(b, 0x04);
    put8(b, number);
    put8(b, 0);  // bAlternateSetting
    put8(b, endpoints);
    put8(b, kVideoClass);
    put8(b, subclass);
    put8(b, 0);  // bInterfaceProtocol
    put8(b, 0);  // iInterface
}

}  // namespace

uint32_t maxFrameBytes(FormatKind kind, uint16_t width, uint16_t height) {
    const uint32_t packed = static_cast<uint32_t>(width) * height * 2;
    // A compressed picture of these small sizes stays far below its uncompressed size; the
    // floor leaves room for the key frames of tiny pictures.
    return kind == FormatKind::Uncompressed ? packed : std::max<uint32_t>(packed, 65536);
}

const char* subtypeName(FormatKind kind) {
    switch (kind) {
        case FormatKind::Uncompressed:
            return "YUY2";
        case FormatKind::Mjpeg:
            return "MJPG";
        case FormatKind::FrameBased:
            return "H264";
    }
    return "";
}

Bytes deviceDescriptor(const DeviceDesc& desc) {
    Bytes b;
    put8(b, 18);
    put8(b, 0x01);
    put16(b, 0x0200);  // bcdUSB
    put8(b, 0xEF);     // miscellaneous device class: the function is described by its IAD
    put8(b, 0x02);
    put8(b, 0x01);
    put8(b, kEp0MaxPacket);
    put16(b, desc.vendorId);
    put16(b, desc.productId);
    put16(b, desc.bcdDevice);
    put8(b, kManufacturerString);
    put8(b, kProductString);
    put8(b, desc.serial.empty() ? 0 : kSerialString);
    put8(b, 1);  // bNumConfigurations
    return b;
}

Bytes deviceQualifierDescriptor() {
    Bytes b;
    put8(b, 10);
    put8(b, 0x06);
    put16(b, 0x0200);
    put8(b, 0xEF);
    put8(b, 0x02);
    put8(b, 0x01);
    put8(b, kEp0MaxPacket);
    put8(b, 1);
    put8(b, 0);
    return b;
}

Bytes configurationDescriptor(const DeviceDesc& desc) {
    Bytes b;
    put8(b, 9);
    put8(b, 0x02);
    put16(b, 0);  // wTotalLength, filled in below
    put8(b, 2);   // bNumInterfaces
    put8(b, 1);   // bConfigurationValue
    put8(b, 0);   // iConfiguration
    put8(b, 0x80);
    put8(b, 250);  // 500 mA
    // Interface association: the video function spans both interfaces.
    put8(b, 8);
    put8(b, 0x0B);
    put8(b, kVideoControlInterface);
    put8(b, 2);
    put8(b, kVideoClass);
    put8(b, 0x03);  // SC_VIDEO_INTERFACE_COLLECTION
    put8(b, 0);
    put8(b, kProductString);
    appendInterface(b, kVideoControlInterface, 0, 0x01);
    const Bytes vc = videoControlClassDescriptors(desc);
    b.insert(b.end(), vc.begin(), vc.end());
    appendInterface(b, kVideoStreamingInterface, 1, 0x02);
    const Bytes vs = videoStreamingClassDescriptors(desc);
    b.insert(b.end(), vs.begin(), vs.end());
    put8(b, 7);
    put8(b, 0x05);
    put8(b, kStreamingEndpoint);
    put8(b, 0x02);  // bulk
    put16(b, kBulkMaxPacket);
    put8(b, 0);
    set16(b, 2, static_cast<uint32_t>(b.size()));
    return b;
}

Bytes stringDescriptor(const DeviceDesc& desc, uint8_t index) {
    Bytes b;
    if (index == 0) {
        put8(b, 4);
        put8(b, 0x03);
        put16(b, 0x0409);
        return b;
    }
    const std::string* text = index == kManufacturerString ? &desc.manufacturer
                              : index == kProductString    ? &desc.product
                              : index == kSerialString     ? &desc.serial
                                                           : nullptr;
    if (text == nullptr || (index == kSerialString && text->empty())) {
        return b;
    }
    const size_t chars = std::min<size_t>(text->size(), 126);  // bLength is one byte
    put8(b, 2 + 2 * chars);
    put8(b, 0x03);
    for (size_t i = 0; i < chars; ++i) {
        const unsigned char c = static_cast<unsigned char>((*text)[i]);
        put16(b, c < 0x80 ? c : '?');
    }
    return b;
}

}  // namespace uvcsim
