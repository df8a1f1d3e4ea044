// The emulated USB camera on bytes: its descriptors as the host (and our own Linux backend)
// parse them, its control requests one by one, and how a frame travels in payloads.

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "Platform/linux/KXUvcDescriptors.h"
#include "SimScenario.h"
#include "UsbWorld.h"
#include "UvcDescriptors.h"
#include "UvcFrameSource.h"
#include "UvcFunction.h"
#include "UvcPayload.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace uvcsim;

namespace {

DeviceDesc rigDevice() {
    std::string error;
    const auto s = SimScenario::fromFile(VEX_SOURCE_DIR "/tools/vexsim/scenarios/rig.json", error);
    EXPECT_TRUE(s) << error;
    return s ? UsbWorld::deviceDesc(s->cameras.at(0)) : DeviceDesc{};
}

uint16_t le16(const Bytes& b, size_t at) {
    return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8));
}
uint32_t le32(const Bytes& b, size_t at) {
    return le16(b, at) | (static_cast<uint32_t>(le16(b, at + 2)) << 16);
}

// The descriptors of a configuration, one by one, each checked to lie inside it.
std::vector<Bytes> split(const Bytes& config) {
    std::vector<Bytes> out;
    for (size_t at = 0; at < config.size();) {
        const size_t length = config[at];
        EXPECT_GE(length, 2u);
        EXPECT_LE(at + length, config.size());
        if (length < 2 || at + length > config.size())
            break;
        out.emplace_back(config.begin() + static_cast<ptrdiff_t>(at),
                         config.begin() + static_cast<ptrdiff_t>(at + length));
        at += length;
    }
    return out;
}

SetupPacket setup(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    return SetupPacket{type, request, value, index, length};
}
// Class requests on an interface: entity in the high byte of wIndex, selector in wValue's.
SetupPacket get(uint8_t request, uint8_t entity, uint8_t interface, uint8_t selector, uint16_t length) {
    return setup(0xA1, request, static_cast<uint16_t>(selector << 8),
                 static_cast<uint16_t>(entity << 8 | interface), length);
}
SetupPacket set(uint8_t entity, uint8_t interface, uint8_t selector, uint16_t length) {
    return setup(0x21, kSetCur, static_cast<uint16_t>(selector << 8),
                 static_cast<uint16_t>(entity << 8 | interface), length);
}

UvcFunction configured(DeviceDesc desc = rigDevice()) {
    UvcFunction f(std::move(desc));
    const SetupPacket s = setup(0x00, 0x09, 1, 0, 0);
    EXPECT_EQ(f.plan(s).kind, Ep0Kind::Receive);
    EXPECT_EQ(f.received(s, {}).kind, Ep0Event::Kind::Configured);
    return f;
}

uint8_t errorCode(UvcFunction& f) {
    const Ep0Plan p = f.plan(get(kGetCur, 0, kVideoControlInterface, 0x02, 1));
    EXPECT_EQ(p.kind, Ep0Kind::Send);
    return p.data.empty() ? 0xEE : p.data[0];
}

Bytes probe(uint8_t format, uint8_t frame, uint32_t interval) {
    Bytes b(kProbeLength, 0);
    b[2] = format;
    b[3] = frame;
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(interval >> (8 * i));
    return b;
}

}  // namespace

TEST(UsbCameraDescriptors, TheConfigurationHoldsTogetherAndOurBackendFindsTheCommandUnit) {
    const DeviceDesc desc = rigDevice();
    const Bytes config = configurationDescriptor(desc);
    EXPECT_EQ(le16(config, 2), config.size());
    const std::vector<Bytes> all = split(config);
    size_t vcTotal = 0, vcDeclared = 0, vsTotal = 0, vsDeclared = 0;
    int interface = -1;
    std::vector<std::pair<uint8_t, uint8_t>> formats;  // subtype, frames declared
    std::vector<std::vector<uint32_t>> intervals;
    for (const Bytes& d : all) {
        if (d[1] == 0x04)
            interface = d[2];
        if (d[1] != 0x24)
            continue;
        (interface == 0 ? vcTotal : vsTotal) += d.size();
        if (interface == 0 && d[2] == 0x01)
            vcDeclared = le16(d, 5);
        if (interface == 1 && d[2] == 0x01)
            vsDeclared = le16(d, 4);
        if (interface == 1 && (d[2] == 0x04 || d[2] == 0x06 || d[2] == 0x10))
            formats.emplace_back(d[2], d[4]);
        if (interface == 1 && (d[2] == 0x05 || d[2] == 0x07 || d[2] == 0x11)) {
            const size_t first = 26, count = d[d[2] == 0x11 ? 21 : 25];
            ASSERT_EQ(d.size(), first + 4 * count);
            std::vector<uint32_t> list;
            for (size_t i = 0; i < count; ++i) list.push_back(le32(d, first + 4 * i));
            intervals.push_back(list);
        }
    }
    EXPECT_EQ(vcTotal, vcDeclared);
    EXPECT_EQ(vsTotal, vsDeclared);
    // The scenario's capabilities, grouped by kind in their order: YUY2, MJPEG (two sizes), H.264.
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[0], std::make_pair(uint8_t{0x04}, uint8_t{1}));
    EXPECT_EQ(formats[1], std::make_pair(uint8_t{0x06}, uint8_t{2}));
    EXPECT_EQ(formats[2], std::make_pair(uint8_t{0x10}, uint8_t{1}));
    ASSERT_EQ(intervals.size(), 4u);
    EXPECT_EQ(intervals[1], (std::vector<uint32_t>{666666, 2000000}));  // 15 and 5 frames a second

    // The sysfs "descriptors" file is the device descriptor followed by the configuration.
    Bytes blob = deviceDescriptor(desc);
    blob.insert(blob.end(), config.begin(), config.end());
    EXPECT_EQ(kxuvc::findExtensionUnit(blob.data(), blob.size(), kxuvc::kCommandUnitGuid, 0),
              kExtensionUnitId);
    DeviceDesc without = desc;
    without.extensionUnit = false;
    const Bytes bare = configurationDescriptor(without);
    EXPECT_EQ(kxuvc::findExtensionUnit(bare.data(), bare.size(), kxuvc::kCommandUnitGuid, -1), -1);
    split(bare);
}

TEST(UsbCameraDescriptors, IdsAndStringsNameTheCamera) {
    DeviceDesc desc = rigDevice();
    const Bytes d = deviceDescriptor(desc);
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(le16(d, 8), 0x1d4d);
    EXPECT_EQ(le16(d, 10), 0x6009);
    EXPECT_EQ(d[16], kSerialString);
    const Bytes product = stringDescriptor(desc, kProductString);
    ASSERT_EQ(product.size(), 2 + 2 * desc.product.size());
    EXPECT_EQ(product[2], 'Z');
    EXPECT_EQ(product[3], 0);
    EXPECT_EQ(stringDescriptor(desc, 0), (Bytes{4, 3, 0x09, 0x04}));
    EXPECT_TRUE(stringDescriptor(desc, 9).empty());
    desc.serial.clear();
    EXPECT_EQ(deviceDescriptor(desc)[16], 0);
    EXPECT_TRUE(stringDescriptor(desc, kSerialString).empty());
    desc.product = std::string(300, 'x');  // a descriptor's length is one byte
    EXPECT_EQ(stringDescriptor(desc, kProductString).size(), 254u);
}

TEST(UsbCameraRequests, StandardRequestsEnumerateTheDevice) {
    UvcFunction f(rigDevice());
    // Class requests wait for a configuration.
    EXPECT_EQ(f.plan(get(kGetInfo, kExtensionUnitId, 0, 5, 1)).kind, Ep0Kind::Stall);
    const Ep0Plan head = f.plan(setup(0x80, 0x06, 0x0200, 0, 9));
    ASSERT_EQ(head.kind, Ep0Kind::Send);
    EXPECT_EQ(head.data.size(), 9u);  // the host asks for the header first
    EXPECT_EQ(f.plan(setup(0x80, 0x06, 0x0200, 0, 4096)).data, configurationDescriptor(f.desc()));
    EXPECT_EQ(f.plan(setup(0x80, 0x06, 0x0100, 0, 64)).data.size(), 18u);
    EXPECT_EQ(f.plan(setup(0x80, 0x06, 0x0700, 0, 64)).kind, Ep0Kind::Stall);  // no other speed
    EXPECT_EQ(f.plan(setup(0x80, 0x06, 0x0309, 0, 64)).kind, Ep0Kind::Stall);
    EXPECT_EQ(f.plan(setup(0x00, 0x09, 2, 0, 0)).kind, Ep0Kind::Stall);
    const SetupPacket configure = setup(0x00, 0x09, 1, 0, 0);
    EXPECT_TRUE(f.plan(configure).endsStream);
    EXPECT_EQ(f.received(configure, {}).kind, Ep0Event::Kind::Configured);
    EXPECT_EQ(f.plan(setup(0x80, 0x08, 0, 0, 1)).data, Bytes{1});
    const SetupPacket altSetting = setup(0x01, 0x0B, 0, kVideoStreamingInterface, 0);
    EXPECT_TRUE(f.plan(altSetting).endsStream);
    EXPECT_EQ(f.received(altSetting, {}).kind, Ep0Event::Kind::StreamStopped);
    EXPECT_EQ(f.plan(setup(0x01, 0x0B, 1, kVideoStreamingInterface, 0)).kind, Ep0Kind::Stall);
    EXPECT_EQ(f.plan(setup(0x02, 0x01, 0, kStreamingEndpoint, 0)).kind, Ep0Kind::Receive);  // clear halt
    EXPECT_EQ(f.plan(setup(0xC0, 0x01, 0, 0, 4)).kind, Ep0Kind::Stall);                     // vendor
}

TEST(UsbCameraRequests, TheCommandUnitAnswersWhatTheDriverAsksAndHandsOnItsCommands) {
    UvcFunction f = configured();
    EXPECT_EQ(f.plan(get(kGetInfo, kExtensionUnitId, 0, 5, 1)).data, Bytes{0x03});
    EXPECT_EQ(f.plan(get(kGetLen, kExtensionUnitId, 0, 5, 2)).data, (Bytes{4, 0}));
    EXPECT_EQ(f.plan(get(kGetMax, kExtensionUnitId, 0, 5, 4)).data.size(), 4u);
    EXPECT_EQ(f.plan(get(kGetCur, kExtensionUnitId, 0, 5, 4)).kind, Ep0Kind::CommandGet);
    EXPECT_EQ(f.plan(set(kExtensionUnitId, 0, 5, 4)).kind, Ep0Kind::CommandSet);
    f.commandFinished(true, kErrorNotReady);
    EXPECT_EQ(errorCode(f), kErrorNotReady);
    f.commandFinished(false, kErrorNone);
    EXPECT_EQ(errorCode(f), kErrorNone);
    // A wrong length or selector is refused before any data moves, and the error code says why.
    EXPECT_EQ(f.plan(set(kExtensionUnitId, 0, 5, 2)).kind, Ep0Kind::Stall);
    EXPECT_EQ(errorCode(f), kErrorInvalidRequest);
    EXPECT_EQ(f.plan(get(kGetCur, kExtensionUnitId, 0, 1, 4)).kind, Ep0Kind::Stall);
    EXPECT_EQ(errorCode(f), kErrorInvalidControl);
    EXPECT_EQ(errorCode(f), kErrorInvalidControl);  // reading the code leaves it
    EXPECT_EQ(f.plan(get(kGetCur, kOutputTerminalId, 0, 1, 1)).kind, Ep0Kind::Stall);
    EXPECT_EQ(errorCode(f), kErrorInvalidUnit);
    EXPECT_EQ(f.plan(get(kGetCur, 9, 0, 1, 1)).kind, Ep0Kind::Stall);
    EXPECT_EQ(f.plan(get(kGetCur, 0, 0, 0x01, 1)).kind, Ep0Kind::Stall);  // no power mode control
    EXPECT_EQ(errorCode(f), kErrorInvalidControl);
    EXPECT_EQ(f.plan(get(kGetInfo, kExtensionUnitId, 0, 5, 1)).kind, Ep0Kind::Send);
    EXPECT_EQ(errorCode(f), kErrorNone);

    DeviceDesc bare = rigDevice();
    bare.extensionUnit = false;
    UvcFunction g = configured(bare);
    EXPECT_EQ(g.plan(set(kExtensionUnitId, 0, 5, 4)).kind, Ep0Kind::Stall);
    EXPECT_EQ(errorCode(g), kErrorInvalidUnit);
}

TEST(UsbCameraRequests, StandardControlsKeepTheirValuesWithinRange) {
    UvcFunction f = configured();
    EXPECT_EQ(f.plan(get(kGetMin, kProcessingUnitId, 0, 0x02, 2)).data, (Bytes{0xC0, 0xFF}));  // -64
    EXPECT_EQ(f.plan(get(kGetDef, kProcessingUnitId, 0, 0x03, 2)).data, (Bytes{50, 0}));
    EXPECT_EQ(f.plan(get(kGetInfo, kCameraTerminalId, 0, 0x0B, 1)).data, Bytes{0x03});
    const SetupPacket brightness = set(kProcessingUnitId, 0, 0x02, 2);
    ASSERT_EQ(f.plan(brightness).kind, Ep0Kind::Receive);
    f.received(brightness, Bytes{0xF6, 0xFF});  // -10
    EXPECT_EQ(f.plan(get(kGetCur, kProcessingUnitId, 0, 0x02, 2)).data, (Bytes{0xF6, 0xFF}));
    f.received(brightness, Bytes{0x00, 0x10});  // far beyond the maximum: clamped
    EXPECT_EQ(f.plan(get(kGetCur, kProcessingUnitId, 0, 0x02, 2)).data, (Bytes{64, 0}));
    f.received(brightness, Bytes{0x05});  // a short data stage takes what came
    EXPECT_EQ(f.plan(get(kGetCur, kProcessingUnitId, 0, 0x02, 2)).data, (Bytes{5, 0}));
    EXPECT_EQ(f.plan(set(kProcessingUnitId, 0, 0x02, 4)).kind, Ep0Kind::Stall);
    EXPECT_EQ(f.plan(get(kGetCur, kProcessingUnitId, 0, 0x0A, 2)).kind, Ep0Kind::Stall);  // not offered
}

TEST(UsbCameraRequests, ProbeNegotiatesOfferedValuesAndCommitStartsTheStream) {
    UvcFunction f = configured();
    const Ep0Plan def = f.plan(get(kGetDef, 0, kVideoStreamingInterface, 0x01, kProbeLength));
    ASSERT_EQ(def.data.size(), kProbeLength);
    EXPECT_EQ(def.data[2], 1);                      // the first format (YUY2) ...
    EXPECT_EQ(le32(def.data, 4), 1000000u);         // ... at its 10 frames a second
    EXPECT_EQ(le32(def.data, 18), 160u * 120 * 2);  // dwMaxVideoFrameSize: exactly a frame
    EXPECT_EQ(le32(def.data, 22), kMaxPayloadTransfer);
    EXPECT_EQ(f.plan(get(kGetLen, 0, kVideoStreamingInterface, 0x01, 2)).data, (Bytes{kProbeLength, 0}));

    const SetupPacket probeSet = set(0, kVideoStreamingInterface, 0x01, kProbeLength);
    EXPECT_FALSE(f.plan(probeSet).endsStream);
    f.received(probeSet, probe(2, 1, 700000));  // MJPEG 320x180 at about 14.3 frames a second
    Bytes cur = f.plan(get(kGetCur, 0, kVideoStreamingInterface, 0x01, kProbeLength)).data;
    EXPECT_EQ(cur[2], 2);
    EXPECT_EQ(cur[3], 1);
    EXPECT_EQ(le32(cur, 4), 666666u);      // the nearest offered
    f.received(probeSet, probe(9, 7, 0));  // no such format: the first one, its default
    cur = f.plan(get(kGetCur, 0, kVideoStreamingInterface, 0x01, kProbeLength)).data;
    EXPECT_EQ(cur[2], 1);
    EXPECT_EQ(le32(cur, 4), 1000000u);
    f.received(probeSet, Bytes{0xFF, 0xFF});  // too short to name a format: the first one
    EXPECT_EQ(f.probe().formatIndex, 1);
    EXPECT_EQ(f.plan(set(0, kVideoStreamingInterface, 0x01, 40)).kind, Ep0Kind::Stall);

    const SetupPacket commit = set(0, kVideoStreamingInterface, 0x02, kProbeLength);
    const Ep0Plan c = f.plan(commit);
    ASSERT_EQ(c.kind, Ep0Kind::Receive);
    EXPECT_TRUE(c.endsStream);  // whatever streamed before is withdrawn before the commit ends
    const Ep0Event e = f.received(commit, probe(3, 1, 0));
    ASSERT_EQ(e.kind, Ep0Event::Kind::Committed);
    EXPECT_EQ(e.params.kind, FormatKind::FrameBased);
    EXPECT_EQ(e.params.width, 320);
    EXPECT_EQ(e.params.interval, 666666u);
    EXPECT_EQ(f.plan(get(kGetCur, 0, kVideoStreamingInterface, 0x02, kProbeLength)).data[2], 3);
    EXPECT_EQ(f.plan(get(kGetMin, 0, kVideoStreamingInterface, 0x02, kProbeLength)).kind, Ep0Kind::Stall);
    EXPECT_EQ(f.received(setup(0x00, 0x09, 0, 0, 0), {}).kind, Ep0Event::Kind::Unconfigured);
    EXPECT_FALSE(f.committed());
}

TEST(UsbCameraRequests, GarbageSetupPacketsAreAnsweredWithoutHarm) {
    UvcFunction f = configured();
    std::mt19937 random(25);
    for (int i = 0; i < 20000; ++i) {
        uint8_t raw[8];
        for (uint8_t& b : raw) b = static_cast<uint8_t>(random());
        const SetupPacket s = SetupPacket::fromBytes(raw);
        const Ep0Plan p = f.plan(s);
        if (p.kind == Ep0Kind::Send) {
            EXPECT_LE(p.data.size(), s.length);
        } else if (p.kind == Ep0Kind::Receive) {
            Bytes data(std::min<size_t>(s.length, 64));
            for (uint8_t& b : data) b = static_cast<uint8_t>(random());
            f.received(s, data);
        }
        if (f.configuration() == 0)
            f.received(setup(0x00, 0x09, 1, 0, 0), {});
    }
    EXPECT_GE(f.probe().formatIndex, 1);
    EXPECT_LE(f.probe().formatIndex, f.desc().formats.size());
}

namespace {

// What the host's driver makes of payloads: the data of each up to the one that ends the frame.
struct Reassembled {
    std::vector<Bytes> frames;
    std::vector<bool> fids;
};
Reassembled reassemble(const std::vector<Payload>& payloads) {
    Reassembled r;
    Bytes current;
    for (const Payload& p : payloads) {
        EXPECT_GE(p.bytes.size(), kPayloadHeaderLength);
        EXPECT_EQ(p.bytes[0], kPayloadHeaderLength);
        EXPECT_TRUE(p.bytes[1] & kHeaderEoh);
        current.insert(current.end(), p.bytes.begin() + kPayloadHeaderLength, p.bytes.end());
        if (p.bytes[1] & kHeaderEof) {
            r.frames.push_back(current);
            r.fids.push_back(p.bytes[1] & kHeaderFid);
            current.clear();
        }
    }
    EXPECT_TRUE(current.empty());
    return r;
}

}  // namespace

TEST(UsbCameraPayloads, FramesOfAnySizeComeBackWholeWithOneFrameIdAndOneEnd) {
    const size_t room = kMaxPayloadTransfer - kPayloadHeaderLength;
    for (size_t size : std::vector<size_t>{0, 1, 510, room - 1, room, room + 1, 2 * room, 38400, 115200}) {
        Bytes frame(size);
        for (size_t i = 0; i < size; ++i) frame[i] = static_cast<uint8_t>(i * 7 + size);
        for (bool fid : {false, true}) {
            const std::vector<Payload> payloads =
                splitFrame(frame.data(), frame.size(), fid, kMaxPayloadTransfer, 512);
            EXPECT_EQ(payloads.size(), std::max<size_t>(1, (size + room - 1) / room)) << size;
            for (const Payload& p : payloads) {
                EXPECT_LE(p.bytes.size(), kMaxPayloadTransfer);
                EXPECT_EQ((p.bytes[1] & kHeaderFid) != 0, fid);
                // Only a short payload of whole packets needs a zero-length packet to end it.
                EXPECT_EQ(p.zeroLengthPacket,
                          p.bytes.size() < kMaxPayloadTransfer && p.bytes.size() % 512 == 0);
            }
            const Reassembled r = reassemble(payloads);
            ASSERT_EQ(r.frames.size(), 1u) << size;
            EXPECT_EQ(r.frames[0], frame);
        }
    }
    const Bytes exact(510);  // header + 510 = one whole packet
    EXPECT_TRUE(
        splitFrame(exact.data(), exact.size(), false, kMaxPayloadTransfer, 512).front().zeroLengthPacket);
}

TEST(UsbCameraFrames, EachFormatGivesWhatItsDescriptorPromises) {
    auto picture = std::make_shared<SimPicture>(4);
    SimView view;
    Bytes out;
    UvcFrameSource raw(picture, FormatKind::Uncompressed, 160, 120, 10);
    ASSERT_TRUE(raw.ok()) << raw.error();
    ASSERT_TRUE(raw.next(view, 0, true, out));
    EXPECT_EQ(out.size(), maxFrameBytes(FormatKind::Uncompressed, 160, 120));

    UvcFrameSource mjpeg(picture, FormatKind::Mjpeg, 320, 180, 15);
    ASSERT_TRUE(mjpeg.ok()) << mjpeg.error();
    ASSERT_TRUE(mjpeg.next(view, 0, true, out));
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out[0], 0xFF);
    EXPECT_EQ(out[1], 0xD8);  // a JPEG picture
    EXPECT_LT(out.size(), maxFrameBytes(FormatKind::Mjpeg, 320, 180));

    UvcFrameSource h264(picture, FormatKind::FrameBased, 320, 180, 15);
    ASSERT_TRUE(h264.ok()) << h264.error();
    ASSERT_TRUE(h264.next(view, 0, true, out));
    // A stream starts with its parameter sets: a start code and a sequence parameter set.
    ASSERT_GE(out.size(), 5u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 4), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(out[4] & 0x1F, 7);
    ASSERT_TRUE(h264.next(view, 1, false, out));
    EXPECT_NE(out[4] & 0x1F, 7);

    UvcFrameSource odd(picture, FormatKind::Mjpeg, 8, 8, 15);
    EXPECT_FALSE(odd.ok());
}

TEST(UsbCameraFrames, Yuy2PacksTwoPixelsIntoFourBytesSharingTheChromaOfTwoRows) {
    const uint8_t y[2 * 4] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint8_t u[2] = {10, 11};
    const uint8_t v[2] = {20, 21};
    uint8_t out[2 * 4 * 2];
    packYuy2(y, 4, u, 2, v, 2, 4, 2, out);
    const Bytes expected = {1, 10, 2, 20, 3, 11, 4, 21, 5, 10, 6, 20, 7, 11, 8, 21};
    EXPECT_EQ(Bytes(out, out + sizeof out), expected);
}

TEST(UsbCameraScenario, RatesBusesAndSerialsAreReadAndChecked) {
    std::string error;
    auto parse = [&](const std::string& text) { return SimScenario::fromJson(*kxjson::parse(text), error); };
    auto s = parse(
        R"({"cameras":[{"usb_bus":11,"capabilities":[{"subtype":"YUY2","fps":15,"rates":[5,15,15]}]}]})");
    ASSERT_TRUE(s) << error;
    EXPECT_EQ(s->cameras[0].usbBus, 11);
    EXPECT_EQ(s->cameras[0].serial, "VX100001");
    EXPECT_EQ(s->cameras[0].capabilities[0].rates, (std::vector<int>{15, 5}));
    const DeviceDesc desc = UsbWorld::deviceDesc(s->cameras[0]);
    ASSERT_EQ(desc.formats.size(), 1u);
    EXPECT_EQ(desc.formats[0].kind, FormatKind::Uncompressed);
    EXPECT_EQ(desc.formats[0].frames[0].intervals, (std::vector<uint32_t>{666666, 2000000}));
    EXPECT_EQ(desc.formats[0].frames[0].defaultInterval, 666666u);
    EXPECT_FALSE(parse(R"({"cameras":[{"capabilities":[{"fps":30,"rates":[15]}]}]})"));
    EXPECT_NE(error.find("rates"), std::string::npos);
    EXPECT_FALSE(parse(R"({"cameras":[{"capabilities":[{"rates":[0]}]}]})"));
    EXPECT_FALSE(parse(R"({"cameras":[{"usb_bus":12}]})"));
    EXPECT_FALSE(parse(R"({"cameras":[{"capabilities":[{"subtype":"NV12"}]}]})"));
}
