#pragma once

// JSON texts of the simulator's line protocol, read and written with nlohmann::json.
//
// Text from the other side is hostile. parse() refuses a text that is too long or nested too
// deeply before the parser sees it, and reports any defect as "no value" (the parser runs
// with exceptions off). Values are read only through the accessors below, which check each
// member's type first: nlohmann's typed access throws on a wrong type, and a const
// operator[] on a missing key is undefined. dump() never throws either, even for a text
// that is not valid UTF-8 (such bytes are replaced).
//
// Threading: stateless; any thread.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace kxjson {

using Json = nlohmann::json;

// Arrays and objects nested deeper than this are refused.
constexpr int kMaxDepth = 64;
// Longer texts are refused.
constexpr std::size_t kMaxTextBytes = 8u << 20;

// The deepest nesting of arrays and objects in a text, counting only brackets outside
// strings; the count stops once it passes `limit`. A text that is not JSON still gets a
// number at least as deep as anything a parser reads of it before the first defect.
int nestingDepth(std::string_view text, int limit = kMaxDepth);

// Exactly one value (surrounding whitespace allowed); nullopt on any defect.
std::optional<Json> parse(std::string_view text, std::size_t maxBytes = kMaxTextBytes);

// Compact, one line, no line end.
std::string dump(const Json& value);

// The member `key` of an object; nullptr when absent or `object` is no object.
const Json* member(const Json& object, std::string_view key);
// The member when it is a string.
std::optional<std::string> stringMember(const Json& object, std::string_view key);
// The member when it is a string, else the empty string.
std::string text(const Json& object, std::string_view key);
// The member when it is a boolean, else `fallback`.
bool flag(const Json& object, std::string_view key, bool fallback = false);
// The member when it is a whole number within int64 ("5", "5.0" and "5e2" count; "5.5",
// 1e300 and non-numbers do not).
std::optional<int64_t> integerMember(const Json& object, std::string_view key);
// The member when it is an array, else an empty array.
const Json& arrayMember(const Json& object, std::string_view key);

}  // namespace kxjson
