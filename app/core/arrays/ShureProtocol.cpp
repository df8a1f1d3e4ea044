#include "ShureProtocol.h"

#include "WireNumber.h"

namespace {

constexpr std::string_view kAutoCoverage = "AUTO_COVERAGE";
constexpr std::string_view kGate = "AUTOMIX_GATE_OUT_EXT_SIG";
constexpr std::string_view kAreaGate = "AUTOMIX_GATE_OUT_CA";
constexpr std::string_view kPeakLevel = "AUDIO_IN_PEAK_LVL";

// Arrays differ in the letter case of their state words.
bool isOn(std::string_view word) {
    return word.size() == 2 && (word[0] == 'O' || word[0] == 'o') && (word[1] == 'N' || word[1] == 'n');
}

// Tokens of a reply piece, cut at single spaces; a missing token reads as empty text.
class Tokens {
public:
    explicit Tokens(std::string_view piece) {
        std::size_t start = 0;
        while (start <= piece.size()) {
            std::size_t space = piece.find(' ', start);
            if (space == std::string_view::npos)
                space = piece.size();
            if (space > start)
                _tokens.push_back(piece.substr(start, space - start));
            start = space + 1;
        }
    }
    std::string_view at(std::size_t index) const {
        return index < _tokens.size() ? _tokens[index] : std::string_view{};
    }

private:
    std::vector<std::string_view> _tokens;
};

}  // namespace

std::vector<ShureEvent> ShureProtocol::feed(std::string_view chunk) {
    const std::string complete = _framer.take(chunk);
    if (complete.empty())
        return {};
    return parse(complete);
}

std::vector<ShureEvent> ShureProtocol::parse(std::string_view text) {
    std::vector<ShureEvent> events;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t cut = text.find_first_of("<>", start);
        if (cut == std::string_view::npos)
            cut = text.size();
        const std::string_view piece = text.substr(start, cut - start);
        start = cut + 1;
        if (piece.empty())
            continue;

        // The first keyword found decides what the piece is.
        if (piece.find(kAutoCoverage) != std::string_view::npos) {
            const Tokens tokens(piece);
            ShureEvent event;
            event.kind = ShureEvent::AutoCoverage;
            event.on = isOn(tokens.at(2));
            events.push_back(event);
        } else if (piece.find(kGate) != std::string_view::npos ||
                   piece.find(kAreaGate) != std::string_view::npos) {
            const Tokens tokens(piece);
            const int channel = wireInt(tokens.at(1));
            if (channel < 1 || channel > kMaxChannel)
                continue;
            ShureEvent event;
            event.kind =
                piece.find(kGate) != std::string_view::npos ? ShureEvent::Gate : ShureEvent::AreaGate;
            event.channel = channel;
            event.on = isOn(tokens.at(3));
            events.push_back(event);
        } else if (piece.find(kPeakLevel) != std::string_view::npos) {
            const Tokens tokens(piece);
            ShureEvent event;
            event.kind = ShureEvent::PeakLevel;
            event.channel = wireInt(tokens.at(1));
            event.level = wireInt(tokens.at(3));
            events.push_back(event);
        }
    }
    return events;
}

std::vector<std::string> ShureProtocol::pollRequests(bool autoCoverage) {
    return {"< GET AUTO_COVERAGE >",
            autoCoverage ? "< GET 0 AUTOMIX_GATE_OUT_CA >" : "< GET 0 AUTOMIX_GATE_OUT_EXT_SIG >",
            "< GET 0 AUDIO_IN_PEAK_LVL >"};
}
