// Yamaha command lines: any bytes, split anywhere, give at most one bounded event per read.
#include "FuzzChunks.h"
#include "arrays/YamahaProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    YamahaProtocol yamaha;
    for (std::string_view chunk : fuzzChunks(data, size)) {
        if (const std::optional<YamahaEvent> event = yamaha.feed(chunk)) {
            if (event->kind == YamahaEvent::BeamDirection)
                FUZZ_CHECK(event->theta >= -1.1e9);
        }
        FUZZ_CHECK(yamaha.framer().pendingSize() <= ReplyFramer::kMaxPending);
    }
    YamahaProtocol::parseBeamDirection(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}
