#include "KXJsonLine.h"

#include <cmath>

namespace kxjson {

int nestingDepth(std::string_view text, int limit) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit) {
                    return deepest;
                }
            }
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

std::optional<Json> parse(std::string_view text, std::size_t maxBytes) {
    if (text.size() > maxBytes || nestingDepth(text) > kMaxDepth) {
        return std::nullopt;
    }
    Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

std::string dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> stringMember(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (value == nullptr || !value->is_string()) {
        return std::nullopt;
    }
    return value->get_ref<const std::string&>();
}

std::string text(const Json& object, std::string_view key) {
    return stringMember(object, key).value_or(std::string());
}

bool flag(const Json& object, std::string_view key, bool fallback) {
    const Json* value = member(object, key);
    return value != nullptr && value->is_boolean() ? value->get<bool>() : fallback;
}

std::optional<int64_t> integerMember(const Json& object, std::string_view key) {
    const Json* value = member(object, key);
    if (value == nullptr) {
        return std::nullopt;
    }
    if (value->is_number_integer() && !value->is_number_unsigned()) {
        return value->get<int64_t>();
    }
    if (value->is_number_unsigned()) {
        const uint64_t n = value->get<uint64_t>();
        return n <= static_cast<uint64_t>(INT64_MAX) ? std::optional<int64_t>(static_cast<int64_t>(n))
                                                     : std::nullopt;
    }
    if (value->is_number_float()) {
        // Within +-9.2e18 the conversion is exact for any whole double.
        const double d = value->get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && d >= -9.2e18 && d <= 9.2e18) {
            return static_cast<int64_t>(d);
        }
    }
    return std::nullopt;
}

const Json& arrayMember(const Json& object, std::string_view key) {
    static const Json kEmptyArray = Json::array();
    const Json* value = member(object, key);
    return value != nullptr && value->is_array() ? *value : kEmptyArray;
}

}  // namespace kxjson
