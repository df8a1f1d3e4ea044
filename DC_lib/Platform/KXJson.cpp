#include "KXJson.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

const std::string kEmptyString;
const KXJson::Array kEmptyArray;
const KXJson::Object kEmptyObject;
const KXJson kNullValue;

class Parser {
public:
    explicit Parser(std::string_view text) : _text(text) {}

    std::optional<KXJson> run() {
        KXJson value;
        if (!parseValue(value, 0)) {
            return std::nullopt;
        }
        skipSpace();
        if (_pos != _text.size()) {
            return std::nullopt;
        }
        return value;
    }

private:
    void skipSpace() {
        while (_pos < _text.size() &&
               (_text[_pos] == ' ' || _text[_pos] == '\t' || _text[_pos] == '\n' || _text[_pos] == '\r')) {
            ++_pos;
        }
    }

    bool consume(std::string_view word) {
        if (_text.substr(_pos, word.size()) != word) {
            return false;
        }
        _pos += word.size();
        return true;
    }

    bool parseValue(KXJson& out, int depth) {
        if (depth > KXJson::kMaxDepth) {
            return false;
        }
        skipSpace();
        if (_pos >= _text.size()) {
            return false;
        }
        char c = _text[_pos];
        switch (c) {
            case 'n':
                out = KXJson();
                return consume("null");
            case 't':
                out = KXJson(true);
                return consume("true");
            case 'f':
                out = KXJson(false);
                return consume("false");
            case '"': {
                std::string s;
                if (!parseString(s)) {
                    return false;
                }
                out = KXJson(std::move(s));
                return true;
            }
            case '[':
                return parseArray(out, depth);
            case '{':
                return parseObject(out, depth);
            default:
                return parseNumber(out);
        }
    }

    bool parseArray(KXJson& out, int depth) {
        ++_pos;  // '['
        KXJson::Array items;
        skipSpace();
        if (_pos < _text.size() && _text[_pos] == ']') {
            ++_pos;
            out = KXJson(std::move(items));
            return true;
        }
        for (;;) {
            KXJson item;
            if (!parseValue(item, depth + 1)) {
                return false;
            }
            items.push_back(std::move(item));
            skipSpace();
            if (_pos >= _text.size()) {
                return false;
            }
            if (_text[_pos] == ',') {
                ++_pos;
                continue;
            }
            if (_text[_pos] == ']') {
                ++_pos;
                out = KXJson(std::move(items));
                return true;
            }
            return false;
        }
    }

    bool parseObject(KXJson& out, int depth) {
        ++_pos;  // '{'
        KXJson::Object members;
        skipSpace();
        if (_pos < _text.size() && _text[_pos] == '}') {
            ++_pos;
            out = KXJson(std::move(members));
            return true;
        }
        for (;;) {
            skipSpace();
            if (_pos >= _text.size() || _text[_pos] != '"') {
                return false;
            }
            std::string key;
            if (!parseString(key)) {
                return false;
            }
            skipSpace();
            if (_pos >= _text.size() || _text[_pos] != ':') {
                return false;
            }
            ++_pos;
            KXJson value;
            if (!parseValue(value, depth + 1)) {
                return false;
            }
            members[std::move(key)] = std::move(value);  // a repeated key: the last wins
            skipSpace();
            if (_pos >= _text.size()) {
                return false;
            }
            if (_text[_pos] == ',') {
                ++_pos;
                continue;
            }
            if (_text[_pos] == '}') {
                ++_pos;
                out = KXJson(std::move(members));
                return true;
            }
            return false;
        }
    }

    static void appendUtf8(std::string& s, uint32_t cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool parseHex4(uint32_t& out) {
        if (_text.size() - _pos < 4) {
            return false;
        }
        out = 0;
        for (int i = 0; i < 4; ++i) {
            char h = _text[_pos++];
            out <<= 4;
            if (h >= '0' && h <= '9') {
                out |= static_cast<uint32_t>(h - '0');
            } else if (h >= 'a' && h <= 'f') {
                out |= static_cast<uint32_t>(h - 'a' + 10);
            } else if (h >= 'A' && h <= 'F') {
                out |= static_cast<uint32_t>(h - 'A' + 10);
            } else {
                return false;
            }
        }
        return true;
    }

    bool parseString(std::string& out) {
        ++_pos;  // opening quote
        while (_pos < _text.size()) {
            char c = _text[_pos++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return false;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (_pos >= _text.size()) {
                return false;
            }
            char e = _text[_pos++];
            switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    uint32_t cp = 0;
                    if (!parseHex4(cp)) {
                        return false;
                    }
                    if (cp >= 0xD800 && cp < 0xDC00) {
                        uint32_t low = 0;
                        if (!consume("\\u") || !parseHex4(low) || low < 0xDC00 || low > 0xDFFF) {
                            return false;
                        }
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                        return false;
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default:
                    return false;
            }
        }
        return false;
    }

    bool parseNumber(KXJson& out) {
        size_t start = _pos;
        if (_pos < _text.size() && _text[_pos] == '-') {
            ++_pos;
        }
        size_t digits = 0;
        while (_pos < _text.size() && _text[_pos] >= '0' && _text[_pos] <= '9') {
            ++_pos;
            ++digits;
        }
        if (digits == 0) {
            return false;
        }
        if (_pos < _text.size() && _text[_pos] == '.') {
            ++_pos;
            size_t frac = 0;
            while (_pos < _text.size() && _text[_pos] >= '0' && _text[_pos] <= '9') {
                ++_pos;
                ++frac;
            }
            if (frac == 0) {
                return false;
            }
        }
        if (_pos < _text.size() && (_text[_pos] == 'e' || _text[_pos] == 'E')) {
            ++_pos;
            if (_pos < _text.size() && (_text[_pos] == '+' || _text[_pos] == '-')) {
                ++_pos;
            }
            size_t exp = 0;
            while (_pos < _text.size() && _text[_pos] >= '0' && _text[_pos] <= '9') {
                ++_pos;
                ++exp;
            }
            if (exp == 0) {
                return false;
            }
        }
        std::string literal(_text.substr(start, _pos - start));
        double v = std::strtod(literal.c_str(), nullptr);
        if (!std::isfinite(v)) {
            return false;
        }
        out = KXJson(v);
        return true;
    }

    std::string_view _text;
    size_t _pos = 0;
};

}  // namespace

int64_t KXJson::asInt(int64_t fallback) const {
    if (!isNumber() || !std::isfinite(_number) || std::floor(_number) != _number || _number < -9.2e18 ||
        _number > 9.2e18) {
        return fallback;
    }
    return static_cast<int64_t>(_number);
}

const std::string& KXJson::asString() const {
    return isString() ? _string : kEmptyString;
}
const KXJson::Array& KXJson::asArray() const {
    return isArray() ? *_array : kEmptyArray;
}
const KXJson::Object& KXJson::asObject() const {
    return isObject() ? *_object : kEmptyObject;
}

const KXJson& KXJson::operator[](const std::string& key) const {
    if (!isObject()) {
        return kNullValue;
    }
    auto it = _object->find(key);
    return it == _object->end() ? kNullValue : it->second;
}

bool KXJson::has(const std::string& key) const {
    return isObject() && _object->count(key) != 0;
}

std::optional<std::string> KXJson::stringMember(const std::string& key) const {
    const KXJson& v = (*this)[key];
    if (!v.isString()) {
        return std::nullopt;
    }
    return v.asString();
}

KXJson& KXJson::set(const std::string& key, KXJson value) {
    if (!isObject()) {
        *this = KXJson(Object{});
    } else if (_object.use_count() > 1) {
        _object = std::make_shared<Object>(*_object);  // copies never see this change
    }
    (*_object)[key] = std::move(value);
    return *this;
}

KXJson& KXJson::push(KXJson value) {
    if (!isArray()) {
        *this = KXJson(Array{});
    } else if (_array.use_count() > 1) {
        _array = std::make_shared<Array>(*_array);
    }
    _array->push_back(std::move(value));
    return *this;
}

std::string KXJson::dump() const {
    std::string out;
    dumpTo(out);
    return out;
}

void KXJson::dumpTo(std::string& out) const {
    switch (_type) {
        case Type::Null:
            out += "null";
            return;
        case Type::Bool:
            out += _bool ? "true" : "false";
            return;
        case Type::Number: {
            char buffer[40];
            if (std::floor(_number) == _number && std::fabs(_number) < 9e15) {
                std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(_number));
            } else {
                std::snprintf(buffer, sizeof buffer, "%.17g", _number);
            }
            out += buffer;
            return;
        }
        case Type::String:
            out += '"';
            for (char c : _string) {
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
                        if (static_cast<unsigned char>(c) < 0x20) {
                            char esc[8];
                            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned char>(c));
                            out += esc;
                        } else {
                            out += c;
                        }
                }
            }
            out += '"';
            return;
        case Type::Array: {
            out += '[';
            bool first = true;
            for (const KXJson& v : *_array) {
                if (!first) {
                    out += ',';
                }
                first = false;
                v.dumpTo(out);
            }
            out += ']';
            return;
        }
        case Type::Object: {
            out += '{';
            bool first = true;
            for (const auto& [k, v] : *_object) {
                if (!first) {
                    out += ',';
                }
                first = false;
                KXJson(k).dumpTo(out);
                out += ':';
                v.dumpTo(out);
            }
            out += '}';
            return;
        }
    }
}

std::optional<KXJson> KXJson::parse(std::string_view text) {
    if (text.size() > kMaxTextBytes) {
        return std::nullopt;
    }
    return Parser(text).run();
}
