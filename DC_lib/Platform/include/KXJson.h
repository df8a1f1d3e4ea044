#pragma once

// A small JSON value with a bounded parser and a serialiser: enough for the simulator's
// line protocol. The parser treats its input as hostile: nesting depth and text size are
// bounded, every index is checked, and any defect yields "no value" rather than a throw.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class KXJson {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };
    using Array = std::vector<KXJson>;
    using Object = std::map<std::string, KXJson>;

    KXJson() = default;
    KXJson(std::nullptr_t) {}
    KXJson(bool b) : _type(Type::Bool), _bool(b) {}
    KXJson(int v) : _type(Type::Number), _number(v) {}
    KXJson(int64_t v) : _type(Type::Number), _number(static_cast<double>(v)) {}
    KXJson(double v) : _type(Type::Number), _number(v) {}
    KXJson(const char* s) : _type(Type::String), _string(s) {}
    KXJson(std::string s) : _type(Type::String), _string(std::move(s)) {}
    KXJson(Array a) : _type(Type::Array), _array(std::make_shared<Array>(std::move(a))) {}
    KXJson(Object o) : _type(Type::Object), _object(std::make_shared<Object>(std::move(o))) {}

    Type type() const { return _type; }
    bool isNull() const { return _type == Type::Null; }
    bool isBool() const { return _type == Type::Bool; }
    bool isNumber() const { return _type == Type::Number; }
    bool isString() const { return _type == Type::String; }
    bool isArray() const { return _type == Type::Array; }
    bool isObject() const { return _type == Type::Object; }

    bool asBool(bool fallback = false) const { return isBool() ? _bool : fallback; }
    double asNumber(double fallback = 0) const { return isNumber() ? _number : fallback; }
    // The number as an integer when it is one within int64 range; else fallback.
    int64_t asInt(int64_t fallback = 0) const;
    const std::string& asString() const;  // empty unless a string
    const Array& asArray() const;         // empty unless an array
    const Object& asObject() const;       // empty unless an object

    // Member of an object (a Null value when absent or not an object).
    const KXJson& operator[](const std::string& key) const;
    bool has(const std::string& key) const;
    // Optional string member: present only when it is a string.
    std::optional<std::string> stringMember(const std::string& key) const;

    // Mutable construction helpers.
    KXJson& set(const std::string& key, KXJson value);  // makes this an object if needed
    KXJson& push(KXJson value);                         // makes this an array if needed

    std::string dump() const;  // compact, one line, UTF-8 passed through, controls escaped

    // Parses exactly one value (surrounding whitespace allowed); nullopt on any defect.
    static std::optional<KXJson> parse(std::string_view text);

    static constexpr int kMaxDepth = 64;
    static constexpr size_t kMaxTextBytes = 8u << 20;

private:
    void dumpTo(std::string& out) const;

    Type _type = Type::Null;
    bool _bool = false;
    double _number = 0;
    std::string _string;
    std::shared_ptr<Array> _array;  // shared between copies; set/push copy before writing
    std::shared_ptr<Object> _object;
};
