// The simulated backend's reader: bytes as they come off the simulator's socket, split at any
// points, go through the line reader and every line is read as each kind of answer and as a
// watch event. Nothing crashes or throws, the reader hands out the same lines however the
// bytes arrive and never holds more than its bound plus one receive, and every record read
// keeps its values in their ranges.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzChunks.h"
#include "KXJsonLine.h"
#include "KXLineReader.h"
#include "sim/KXSimProtocol.h"

namespace {

// Small enough for a fuzz input to pass it: the bound is what is being tested.
constexpr std::size_t kSmallBound = 96;

// The lines a reader with `bound` must hand out for `text`, whatever the pieces: each line
// in order up to the first one longer than the bound (which breaks the reader); `broken`
// tells whether that happened, also for an unfinished line already past the bound.
std::vector<std::string> expectedLines(std::string_view text, std::size_t bound, bool& broken) {
    std::vector<std::string> lines;
    broken = false;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            broken = text.size() - start > bound;
            return lines;
        }
        if (end - start > bound) {
            broken = true;
            return lines;
        }
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.emplace_back(line);
        start = end + 1;
    }
}

void checkCapture(const KXCaptureDevice& d) {
    for (const KXVideoCapability& c : d.videoCapabilities) {
        FUZZ_CHECK(c.width >= 0 && c.width <= KXSimProtocol::kMaxCapabilityValue);
        FUZZ_CHECK(c.height >= 0 && c.height <= KXSimProtocol::kMaxCapabilityValue);
        FUZZ_CHECK(c.minIntervalHns >= 0 && c.maxIntervalHns >= 0);
    }
    for (const KXAudioCapability& c : d.audioCapabilities) {
        FUZZ_CHECK(c.sampleRate >= 0 && c.sampleRate <= KXSimProtocol::kMaxCapabilityValue);
        FUZZ_CHECK(c.channels >= 0 && c.channels <= KXSimProtocol::kMaxCapabilityValue);
        FUZZ_CHECK(c.bitsPerSample >= 0 && c.bitsPerSample <= KXSimProtocol::kMaxCapabilityValue);
    }
}

// Reads one line every way the backend may read it.
void readLine(const std::string& line) {
    if (const auto answer = KXSimProtocol::okAnswer(line, "fuzz")) {
        FUZZ_CHECK(answer->is_object() && kxjson::flag(*answer, "ok"));
        std::vector<KXUsbDevice> usb;
        KXSimProtocol::usbDevices(*answer, usb);
        for (KXDeviceClass deviceClass : {KXDeviceClass::Video, KXDeviceClass::Audio}) {
            std::vector<KXCaptureDevice> devices;
            KXSimProtocol::captureDevices(*answer, deviceClass, devices);
            for (const KXCaptureDevice& d : devices) {
                checkCapture(d);
            }
        }
        uint8_t data[4] = {0xA5, 0xA5, 0xA5, 0xA5};
        if (!KXSimProtocol::xuData(*answer, data)) {
            FUZZ_CHECK(data[0] == 0xA5 && data[1] == 0xA5 && data[2] == 0xA5 && data[3] == 0xA5);
        }
    }
    if (const auto event = KXSimProtocol::event(line)) {
        FUZZ_CHECK(event->kind == KXHotplugEvent::Kind::Arrival ||
                   event->kind == KXHotplugEvent::Kind::Removal);
    }
    // What is read can be written again as one line that reads back the same.
    if (const auto value = kxjson::parse(line)) {
        const std::string written = kxjson::dump(*value);
        FUZZ_CHECK(written.find('\n') == std::string::npos);
        const auto again = kxjson::parse(written);
        FUZZ_CHECK(again && *again == *value);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    KXLineReader watch(KXSimProtocol::kMaxEventBytes);
    KXLineReader small(kSmallBound);
    std::vector<std::string> watchLines;
    std::vector<std::string> smallLines;
    std::string line;
    for (std::string_view chunk : fuzzChunks(data, size)) {
        watch.feed(chunk);
        small.feed(chunk);
        FUZZ_CHECK(small.pendingBytes() <= kSmallBound + chunk.size());
        while (watch.next(line) == KXLineReader::Result::Line) {
            readLine(line);
            watchLines.push_back(line);
        }
        while (small.next(line) == KXLineReader::Result::Line) {
            FUZZ_CHECK(line.size() <= kSmallBound);
            smallLines.push_back(line);
        }
        FUZZ_CHECK(small.pendingBytes() <= kSmallBound);
    }
    bool broken = false;
    FUZZ_CHECK(watchLines == expectedLines(text, KXSimProtocol::kMaxEventBytes, broken));
    FUZZ_CHECK(watch.broken() == broken);
    FUZZ_CHECK(smallLines == expectedLines(text, kSmallBound, broken));
    FUZZ_CHECK(small.broken() == broken);
    if (broken) {
        FUZZ_CHECK(small.pendingBytes() == 0);
    }
    return 0;
}
