// Yamaha command lines: any bytes, split anywhere, give bounded events and a bounded fragment.
#include "FuzzChunks.h"
#include "arrays/YamahaProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    YamahaProtocol yamaha;
    for (std::string_view chunk : fuzzChunks(data, size)) {
        for (const YamahaEvent& event : yamaha.feed(chunk)) {
            if (event.kind == YamahaEvent::BeamDirection)
                FUZZ_CHECK(event.theta >= -1.1e9);
        }
        FUZZ_CHECK(yamaha.framer().pendingSize() <= ReplyFramer::kMaxPending);
    }
    const std::string_view whole(reinterpret_cast<const char*>(data), size);
    YamahaProtocol::parse(whole);
    YamahaProtocol::parseBeamDirection(whole);
    return 0;
}
