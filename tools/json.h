#pragma once
// A small JSON reader for the tools' own files: the composer reads what eddyrate-run wrote.
// Numbers are parsed exactly (the shortest round-trip text gives back the same double).

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

struct JsonValue {
    std::variant<std::nullptr_t, bool, double, std::string, JsonArray, JsonObject> value;

    bool isNull() const { return std::holds_alternative<std::nullptr_t>(value); }
    const double* number() const { return std::get_if<double>(&value); }
    const std::string* string() const { return std::get_if<std::string>(&value); }
    const JsonArray* array() const { return std::get_if<JsonArray>(&value); }
    const JsonObject* object() const { return std::get_if<JsonObject>(&value); }
    // The member called key of an object; null when absent or when this is not an object.
    const JsonValue* member(std::string_view key) const;
};

// Parses one JSON text (surrounding white space allowed). On failure returns nothing and
// sets error to a message naming the byte offset.
std::optional<JsonValue> parseJson(std::string_view text, std::string& error);

// Writes s as a JSON string literal, quotes included.
std::string jsonQuote(std::string_view s);
