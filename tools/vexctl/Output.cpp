#include "Output.h"

#include <cstdarg>
#include <cstdio>

#include "CommandLine.h"

VexctlFields& VexctlFields::add(const char* name, const std::string& json) {
    if (!_members.empty()) {
        _members += ',';
    }
    _members += VexctlJsonString(name) + ':' + json;
    return *this;
}

VexctlFields& VexctlFields::text(const char* name, const std::string& value) {
    return add(name, VexctlJsonString(value));
}

VexctlFields& VexctlFields::number(const char* name, long long value) {
    return add(name, std::to_string(value));
}

VexctlFields& VexctlFields::fixed(const char* name, double value, int decimals) {
    return add(name, VexctlFormat("%.*f", decimals, value));
}

VexctlFields& VexctlFields::boolean(const char* name, bool value) {
    return add(name, value ? "true" : "false");
}

VexctlFields& VexctlFields::raw(const char* name, const std::string& json) {
    return add(name, json);
}

VexctlFields& VexctlFields::textOrNull(const char* name, const std::string& value) {
    return add(name, value.empty() ? "null" : VexctlJsonString(value));
}

VexctlFields& VexctlFields::append(const VexctlFields& more) {
    if (!more._members.empty()) {
        _members += (_members.empty() ? "" : ",") + more._members;
    }
    return *this;
}

std::string VexctlFields::json() const {
    return "{" + _members + "}";
}

std::string VexctlJsonArray(const std::vector<VexctlFields>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i ? "," : "") + items[i].json();
    }
    return out + "]";
}

std::string VexctlFormat(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string out(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(out.data(), out.size() + 1, format, again);
    }
    va_end(again);
    return out;
}

void VexctlPrint(bool json, const std::string& jsonText, const std::string& text) {
    const std::string& out = json ? jsonText : text;
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
