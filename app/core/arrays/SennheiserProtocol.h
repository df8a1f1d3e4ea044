#pragma once

#include <QByteArray>

#include <string_view>
#include <vector>

#include "JsonDocumentFramer.h"

// One answer of a Sennheiser ceiling array, in arrival order.
struct SennheiserEvent {
    enum Kind { Azimuth, PeakLevel };
    Kind kind = Azimuth;
    int value = 0;  // degrees for Azimuth, dB for PeakLevel

    bool operator==(const SennheiserEvent&) const = default;
};

// The Sennheiser JSON protocol on TCP port 45: JSON documents, each on one line or spread
// over several, separated by any line end ("\r\n", "\n" or "\r": devices and integrations
// differ). Uses Qt Core for JSON only.
class SennheiserProtocol {
public:
    static constexpr int kPort = 45;

    std::vector<SennheiserEvent> feed(std::string_view chunk);
    void reset() { _framer.clear(); }
    const JsonDocumentFramer& framer() const { return _framer; }

    // Parses the whole documents of a text. Beam azimuth and input peak answers become
    // events; anything else (beam elevation, other members, broken JSON) is ignored.
    static std::vector<SennheiserEvent> parse(std::string_view text);

    // One poll: three requests in one write, each an indented JSON document ended by "\r\n".
    static QByteArray pollRequest();

private:
    static std::vector<SennheiserEvent> parseDocuments(const std::vector<std::string>& documents);

    JsonDocumentFramer _framer;
};
