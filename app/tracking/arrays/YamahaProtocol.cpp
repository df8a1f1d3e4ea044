#include "YamahaProtocol.h"

#include <algorithm>
#include <climits>
#include <vector>

#include "WireNumber.h"

namespace {

constexpr std::string_view kRunModeNormal = "OK devstatus runmode \"normal\"";
constexpr std::string_view kNotifyPrefix = "NOTIFY mtr RM:BeamDirection raw ";
constexpr std::string_view kNotifyMarker = "NOTIFY mtr RM:BeamDirection raw";

}  // namespace

std::optional<YamahaEvent> YamahaProtocol::feed(std::string_view chunk) {
    const std::string complete = _framer.take(chunk);
    if (complete.empty())
        return std::nullopt;
    return parse(complete);
}

std::optional<YamahaEvent> YamahaProtocol::parse(std::string_view text) {
    if (text.find(kRunModeNormal) != std::string_view::npos) {
        return YamahaEvent{YamahaEvent::RunModeNormal};
    }
    if (text.find(kNotifyMarker) != std::string_view::npos)
        return parseBeamDirection(text);
    return std::nullopt;
}

YamahaEvent YamahaProtocol::parseBeamDirection(std::string_view text) {
    std::string rest;
    rest.reserve(text.size());
    std::size_t start = 0;
    while (true) {
        const std::size_t found = text.find(kNotifyPrefix, start);
        if (found == std::string_view::npos)
            break;
        rest.append(text.substr(start, found - start));
        start = found + kNotifyPrefix.size();
    }
    rest.append(text.substr(start));

    // Only the first three tokens matter; stop cutting once they are found.
    std::vector<std::string_view> tokens;
    const std::string_view remainder(rest);
    std::size_t position = 0;
    while (position <= remainder.size() && tokens.size() < 3) {
        std::size_t space = remainder.find(' ', position);
        if (space == std::string_view::npos)
            space = remainder.size();
        if (space > position)
            tokens.push_back(remainder.substr(position, space - position));
        position = space + 1;
    }
    auto token = [&tokens](std::size_t index) {
        return index < tokens.size() ? tokens[index] : std::string_view{};
    };

    YamahaEvent event;
    event.kind = YamahaEvent::BeamDirection;
    // The fields are two hex digits on the wire; a longer corrupt field is clamped so the
    // arithmetic cannot overflow (such an angle lies outside every zone).
    const long long phi = static_cast<long long>(wireInt(token(0), 16)) * 2 - 180;
    event.phi = static_cast<int>(std::clamp<long long>(phi, INT_MIN, INT_MAX));
    event.theta = wireInt(token(1), 16) * 0.5;
    event.voice = wireInt(token(2), 10);
    return event;
}
