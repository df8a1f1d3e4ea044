#include "YamahaProtocol.h"

#include <algorithm>
#include <climits>

#include "WireNumber.h"

namespace {

constexpr std::string_view kRunModeNormal = "OK devstatus runmode \"normal\"";
constexpr std::string_view kNotifyMarker = "NOTIFY mtr RM:BeamDirection raw";

std::string_view trimLeadingSpaces(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    return first == std::string_view::npos ? std::string_view{} : text.substr(first);
}

// A beam notification starts with the marker, followed by its fields or nothing.
bool isBeamNotification(std::string_view line) {
    const std::string_view text = trimLeadingSpaces(line);
    if (text.substr(0, kNotifyMarker.size()) != kNotifyMarker)
        return false;
    return text.size() == kNotifyMarker.size() || text[kNotifyMarker.size()] == ' ';
}

}  // namespace

std::vector<YamahaEvent> YamahaProtocol::feed(std::string_view chunk) {
    const std::string complete = _framer.take(chunk);
    if (complete.empty())
        return {};
    return parse(complete);
}

std::vector<YamahaEvent> YamahaProtocol::parse(std::string_view text) {
    std::vector<YamahaEvent> events;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        if (const std::optional<YamahaEvent> event = parseLine(text.substr(start, end - start)))
            events.push_back(*event);
        start = end + 1;
    }
    return events;
}

std::optional<YamahaEvent> YamahaProtocol::parseLine(std::string_view line) {
    if (line.find(kRunModeNormal) != std::string_view::npos)
        return YamahaEvent{YamahaEvent::RunModeNormal};
    if (isBeamNotification(line))
        return parseBeamDirection(line);
    return std::nullopt;
}

YamahaEvent YamahaProtocol::parseBeamDirection(std::string_view line) {
    std::string_view rest = trimLeadingSpaces(line);
    if (rest.substr(0, kNotifyMarker.size()) == kNotifyMarker)
        rest.remove_prefix(kNotifyMarker.size());

    // Only the first three tokens matter; stop cutting once they are found.
    std::string_view tokens[3];
    std::size_t found = 0;
    std::size_t position = 0;
    while (position <= rest.size() && found < 3) {
        std::size_t space = rest.find(' ', position);
        if (space == std::string_view::npos)
            space = rest.size();
        if (space > position)
            tokens[found++] = rest.substr(position, space - position);
        position = space + 1;
    }

    YamahaEvent event;
    event.kind = YamahaEvent::BeamDirection;
    // The fields are two hex digits on the wire; a longer corrupt field is clamped so the
    // arithmetic cannot overflow (such an angle lies outside every zone).
    const long long phi = static_cast<long long>(wireInt(tokens[0], 16)) * 2 - 180;
    event.phi = static_cast<int>(std::clamp<long long>(phi, INT_MIN, INT_MAX));
    event.theta = wireInt(tokens[1], 16) * 0.5;
    event.voice = wireInt(tokens[2], 10);
    return event;
}
