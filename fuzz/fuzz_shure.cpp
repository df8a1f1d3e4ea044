// Shure replies: events stay within their bounds and the kept fragment never grows past its
// limit, for any bytes split at any points.
#include "FuzzChunks.h"
#include "arrays/ShureProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    ShureProtocol shure;
    for (std::string_view chunk : fuzzChunks(data, size)) {
        for (const ShureEvent& event : shure.feed(chunk)) {
            if (event.kind == ShureEvent::Gate || event.kind == ShureEvent::AreaGate) {
                FUZZ_CHECK(event.channel >= 1 && event.channel <= ShureProtocol::kMaxChannel);
            }
        }
        FUZZ_CHECK(shure.framer().pendingSize() <= ReplyFramer::kMaxPending);
    }
    ShureProtocol::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
