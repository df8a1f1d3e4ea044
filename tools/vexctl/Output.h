#pragma once

// What a vexctl command prints: one record, given once, printed as one line of JSON with
// --json or as text otherwise. A command names its fields in order and says how they read
// as text; it never writes the two forms side by side, so they cannot drift apart.
//
// Threading: the main thread only.

#include <string>
#include <vector>

// The members of one JSON object, in the order given. Numbers keep the precision asked for
// (a frame rate with three decimals, seconds with two), as the text shows them.
class VexctlFields {
public:
    VexctlFields& text(const char* name, const std::string& value);
    VexctlFields& number(const char* name, long long value);
    VexctlFields& fixed(const char* name, double value, int decimals);
    VexctlFields& boolean(const char* name, bool value);
    // A JSON text of the caller's (null, an array, another object).
    VexctlFields& raw(const char* name, const std::string& json);
    // A string, or null when `value` is empty.
    VexctlFields& textOrNull(const char* name, const std::string& value);
    // Every member of `more`, after these.
    VexctlFields& append(const VexctlFields& more);

    std::string json() const;

private:
    VexctlFields& add(const char* name, const std::string& json);

    std::string _members;  // "\"a\":1,\"b\":2"
};

// Objects as one JSON array.
std::string VexctlJsonArray(const std::vector<VexctlFields>& items);

// printf into a string.
std::string VexctlFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prints `json` with --json, else `text` (either followed by a line end), and flushes: a
// command that goes on (following an array) shows each result as it happens.
void VexctlPrint(bool json, const std::string& jsonText, const std::string& text);
