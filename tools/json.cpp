#include "json.h"

#include <charconv>
#include <cstdint>

namespace {

// Nesting deeper than any file of ours is refused rather than recursed into.
constexpr int kMaxDepth = 64;

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text_(text) {}

    std::optional<JsonValue> document(std::string& error)
    {
        std::optional<JsonValue> value = parseValue(0);
        skipSpace();
        if (value && pos_ != text_.size()) {
            fail("unexpected text after the value");
        }
        if (!error_.empty()) {
            error = "JSON error at byte " + std::to_string(errorPos_) + ": " + error_;
            return std::nullopt;
        }
        return value;
    }

private:
    std::optional<JsonValue> parseValue(int depth)
    {
        skipSpace();
        if (depth > kMaxDepth) {
            return fail("nesting too deep");
        }
        if (pos_ >= text_.size()) {
            return fail("unexpected end of text");
        }
        const char c = text_[pos_];
        if (c == '{') {
            return parseObject(depth);
        }
        if (c == '[') {
            return parseArray(depth);
        }
        if (c == '"') {
            std::optional<std::string> s = parseString();
            if (!s) {
                return std::nullopt;
            }
            return JsonValue{std::move(*s)};
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            return parseNumber();
        }
        if (consumeWord("null")) {
            return JsonValue{nullptr};
        }
        if (consumeWord("true")) {
            return JsonValue{true};
        }
        if (consumeWord("false")) {
            return JsonValue{false};
        }
        return fail("unexpected character");
    }

    std::optional<JsonValue> parseObject(int depth)
    {
        ++pos_;
        JsonObject members;
        skipSpace();
        if (consume('}')) {
            return JsonValue{std::move(members)};
        }
        do {
            skipSpace();
            if (pos_ >= text_.size() || text_[pos_] != '"') {
                return fail("expected a member name");
            }
            std::optional<std::string> key = parseString();
            if (!key) {
                return std::nullopt;
            }
            skipSpace();
            if (!consume(':')) {
                return fail("expected ':'");
            }
            std::optional<JsonValue> value = parseValue(depth + 1);
            if (!value) {
                return std::nullopt;
            }
            members.emplace_back(std::move(*key), std::move(*value));
            skipSpace();
        } while (consume(','));
        if (!consume('}')) {
            return fail("expected ',' or '}'");
        }
        return JsonValue{std::move(members)};
    }

    std::optional<JsonValue> parseArray(int depth)
    {
        ++pos_;
        JsonArray elements;
        skipSpace();
        if (consume(']')) {
            return JsonValue{std::move(elements)};
        }
        do {
            std::optional<JsonValue> value = parseValue(depth + 1);
            if (!value) {
                return std::nullopt;
            }
            elements.push_back(std::move(*value));
            skipSpace();
        } while (consume(','));
        if (!consume(']')) {
            return fail("expected ',' or ']'");
        }
        return JsonValue{std::move(elements)};
    }

    std::optional<JsonValue> parseNumber()
    {
        // The JSON grammar, checked by hand: from_chars alone would also take "inf", "1." or
        // "01".
        const std::size_t start = pos_;
        consume('-');
        bool wellFormed = consume('0') ? !startsWithDigit() : consumeDigits();
        if (wellFormed && consume('.')) {
            wellFormed = consumeDigits();
        }
        if (wellFormed && (consume('e') || consume('E'))) {
            if (!consume('+')) {
                consume('-');
            }
            wellFormed = consumeDigits();
        }
        double value = 0.0;
        const char* first = text_.data() + start;
        const char* last = text_.data() + pos_;
        const auto [end, ec] = std::from_chars(first, last, value);
        if (!wellFormed || ec != std::errc() || end != last) {
            pos_ = start;
            return fail(wellFormed ? "number out of range" : "malformed number");
        }
        return JsonValue{value};
    }

    std::optional<std::string> parseString()
    {
        ++pos_;
        std::string out;
        while (pos_ < text_.size()) {
            const char c = text_[pos_++];
            if (c == '"') {
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                fail("control character in string");
                return std::nullopt;
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= text_.size()) {
                break;
            }
            const char e = text_[pos_++];
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
                case 'u':
                    if (!parseUnicodeEscape(out)) {
                        return std::nullopt;
                    }
                    break;
                default:
                    fail("unknown escape");
                    return std::nullopt;
            }
        }
        fail("unterminated string");
        return std::nullopt;
    }

    bool parseUnicodeEscape(std::string& out)
    {
        std::optional<std::uint32_t> code = hex4();
        if (!code) {
            return false;
        }
        if (*code >= 0xD800 && *code < 0xDC00) {
            if (!consume('\\') || !consume('u')) {
                fail("lone surrogate");
                return false;
            }
            const std::optional<std::uint32_t> low = hex4();
            if (!low || *low < 0xDC00 || *low >= 0xE000) {
                fail("lone surrogate");
                return false;
            }
            *code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
        }
        appendUtf8(out, *code);
        return true;
    }

    std::optional<std::uint32_t> hex4()
    {
        if (text_.size() - pos_ < 4) {
            fail("short \\u escape");
            return std::nullopt;
        }
        std::uint32_t code = 0;
        const char* first = text_.data() + pos_;
        const auto [end, ec] = std::from_chars(first, first + 4, code, 16);
        if (ec != std::errc() || end != first + 4) {
            fail("malformed \\u escape");
            return std::nullopt;
        }
        pos_ += 4;
        return code;
    }

    static void appendUtf8(std::string& out, std::uint32_t code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool startsWithDigit() const
    {
        return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9';
    }

    bool consumeDigits()
    {
        const std::size_t start = pos_;
        while (startsWithDigit()) {
            ++pos_;
        }
        return pos_ > start;
    }

    bool consumeWord(std::string_view word)
    {
        if (text_.substr(pos_, word.size()) != word) {
            return false;
        }
        pos_ += word.size();
        return true;
    }

    bool consume(char c)
    {
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    void skipSpace()
    {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r')) {
            ++pos_;
        }
    }

    std::nullopt_t fail(const char* message)
    {
        if (error_.empty()) {
            error_ = message;
            errorPos_ = pos_;
        }
        return std::nullopt;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::string error_;
    std::size_t errorPos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::member(std::string_view key) const
{
    const JsonObject* members = object();
    if (members == nullptr) {
        return nullptr;
    }
    for (const auto& [name, value] : *members) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

std::optional<JsonValue> parseJson(std::string_view text, std::string& error)
{
    return JsonReader(text).document(error);
}

std::string jsonQuote(std::string_view s)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (const char c : s) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}
