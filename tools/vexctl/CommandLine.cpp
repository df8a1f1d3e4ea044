#include "CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

bool contains(const std::vector<std::string>& list, const std::string& item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

bool VexctlParse(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                 const std::vector<std::string>& valued, VexctlCommandLine& out, std::string& error) {
    out = VexctlCommandLine{};
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        // A lone "-" is a positional (nothing here reads standard input, but it is no option).
        const bool looksLikeOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!looksLikeOption) {
            if (out.subcommand.empty()) {
                out.subcommand = arg;
            } else {
                out.positionals.push_back(arg);
            }
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            out.help = true;
            continue;
        }
        if (arg == "--json") {
            out.json = true;
            continue;
        }
        std::string name = arg;
        std::optional<std::string> value;
        const size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        }
        if (contains(flags, name)) {
            if (value) {
                error = "option " + name + " takes no value";
                return false;
            }
            out.options[name] = "";
            continue;
        }
        if (contains(valued, name)) {
            if (!value) {
                if (i + 1 >= args.size()) {
                    error = "option " + name + " needs a value";
                    return false;
                }
                value = args[++i];
            }
            out.options[name] = *value;
            continue;
        }
        // A negative number where a positional is expected is not an option ("preset call -1"
        // must say that -1 is out of range, not that it is an unknown option).
        int64_t number = 0;
        if (VexctlParseInt(arg, INT32_MIN, INT32_MAX, number) && !out.subcommand.empty()) {
            out.positionals.push_back(arg);
            continue;
        }
        error = "unknown option " + name;
        return false;
    }
    return true;
}

bool VexctlParseInt(const std::string& text, int64_t min, int64_t max, int64_t& out) {
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && text[0] == '-') {
        negative = true;
        i = 1;
    }
    // At most 18 digits, so that the sum below cannot overflow.
    if (text.size() == i || text.size() - i > 18) {
        return false;
    }
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (negative) {
        value = -value;
    }
    if (value < min || value > max) {
        return false;
    }
    out = value;
    return true;
}

bool VexctlParsePresetMap(const std::string& text, std::map<int, int>& out, std::string& error) {
    out.clear();
    if (text.empty()) {
        error = "the preset map is empty (expected CHANNEL=PRESET,...)";
        return false;
    }
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        const std::string entry = text.substr(start, comma - start);
        const size_t equals = entry.find('=');
        int64_t channel = 0;
        int64_t preset = 0;
        if (equals == std::string::npos || !VexctlParseInt(entry.substr(0, equals), 1, 8, channel) ||
            !VexctlParseInt(entry.substr(equals + 1), 0, 9, preset)) {
            error =
                "bad preset map entry \"" + entry + "\" (expected CHANNEL=PRESET, channel 1-8, preset 0-9)";
            return false;
        }
        if (out.count(static_cast<int>(channel)) != 0) {
            error = "channel " + std::to_string(channel) + " appears twice in the preset map";
            return false;
        }
        out[static_cast<int>(channel)] = static_cast<int>(preset);
        start = comma + 1;
    }
    return true;
}

bool VexctlIsIpv4(const std::string& text) {
    int parts = 0;
    size_t start = 0;
    while (true) {
        const size_t dot = text.find('.', start);
        const std::string part =
            text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        int64_t value = 0;
        if (part.empty() || part.size() > 3 || !VexctlParseInt(part, 0, 255, value) || part[0] == '-') {
            return false;
        }
        ++parts;
        if (dot == std::string::npos) {
            break;
        }
        start = dot + 1;
    }
    return parts == 4;
}

std::string VexctlJsonString(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

bool VexctlSplitCamera(const std::vector<std::string>& positionals, size_t needed, VexctlCameraName& out,
                       std::string& error) {
    out = VexctlCameraName{};
    if (positionals.size() == needed) {
        out.rest = positionals;
        return true;
    }
    if (positionals.size() == needed + 1) {
        out.location = positionals.front();
        out.rest.assign(positionals.begin() + 1, positionals.end());
        return true;
    }
    error = positionals.size() < needed ? "missing arguments" : "too many arguments";
    return false;
}
