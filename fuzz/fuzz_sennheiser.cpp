// Sennheiser JSON documents: any bytes, split anywhere, never crash the reader or grow the
// document being collected past the bound.
#include "FuzzChunks.h"
#include "arrays/SennheiserProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    SennheiserProtocol tcc2;
    for (std::string_view chunk : fuzzChunks(data, size)) {
        tcc2.feed(chunk);
        FUZZ_CHECK(tcc2.framer().pendingSize() <= JsonDocumentFramer::kMaxDocument);
    }
    return 0;
}
