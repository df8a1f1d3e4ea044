// Nureva text messages: any text parses to a report with bounded numbers, or to nothing.
#include <QString>

#include <cstddef>
#include <cstdint>

#include "FuzzChunks.h"
#include "arrays/NurevaProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const QString message =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    if (const std::optional<NurevaReport> report = NurevaProtocol::parse(message)) {
        FUZZ_CHECK(report->azimuth >= -1000000000 && report->azimuth <= 1000000000);
        const int level = report->powerLevelInt();
        FUZZ_CHECK(level >= -1000000000 && level <= 1000000000);
    }
    return 0;
}
