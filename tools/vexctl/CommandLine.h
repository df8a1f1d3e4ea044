#pragma once

// The command line of vexctl, read into plain records before any camera is touched: a
// mistake on the command line is reported without opening a device, and every rule here
// is tested without one.
//
//   vexctl [--json] [--index N] SUBCOMMAND [CAMERA] ARGUMENTS... [OPTIONS]
//
// Options may stand anywhere after the program name. A subcommand that acts on a camera
// takes the camera's location identity as its first positional argument when it is given
// one positional argument more than it needs; otherwise the camera is the one --index
// names, or the only one attached.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct VexctlCommandLine {
    std::string subcommand;                      // empty: none given
    std::vector<std::string> positionals;        // after the subcommand
    std::map<std::string, std::string> options;  // "--for" -> "500"; flags map to ""
    bool json = false;
    bool help = false;
};

// Reads argv (without the program name). `flags` are options without a value ("--json"),
// `valued` options that take one ("--for 500" or "--for=500"). false with `error` set on an
// unknown option or an option missing its value.
bool VexctlParse(const std::vector<std::string>& args, const std::vector<std::string>& flags,
                 const std::vector<std::string>& valued, VexctlCommandLine& out, std::string& error);

// A whole decimal number within [min, max]; no sign other than a leading '-', no spaces, no
// trailing characters. false on anything else.
bool VexctlParseInt(const std::string& text, int64_t min, int64_t max, int64_t& out);

// A preset map "1=3,2=5": channels 1 to 8, presets 0 to 9, each channel once. false with
// `error` naming the faulty entry.
bool VexctlParsePresetMap(const std::string& text, std::map<int, int>& out, std::string& error);

// A dotted IPv4 address ("192.168.1.20"), as the array client takes it.
bool VexctlIsIpv4(const std::string& text);

// Text as a JSON string literal (quotes included; control characters escaped; invalid
// UTF-8 bytes passed through unchanged).
std::string VexctlJsonString(const std::string& text);

// How a subcommand names its camera, split off its positional arguments.
struct VexctlCameraName {
    std::optional<std::string> location;  // the location identity given
    std::vector<std::string> rest;        // the subcommand's own arguments
};

// Splits `positionals` of a subcommand that takes `needed` arguments of its own: one more
// names the camera. false with `error` when the count is neither.
bool VexctlSplitCamera(const std::vector<std::string>& positionals, size_t needed, VexctlCameraName& out,
                       std::string& error);
