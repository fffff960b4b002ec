#pragma once
// Reading a configuration file written by hand (the quality-control configuration, the
// deployment file) so that every mistake is refused with its line before any of it is used:
// keys known and given once, numbers finite and in range, times that exist. Each file's reader
// raises its own error type, given as a function, so callers keep catching what they know.

#include <yaml-cpp/yaml.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace saltmark::yaml {

class Reader {
public:
    // Throws the file's error type; never returns.
    using Raise = void (*)(const std::string& fileName, int line, const std::string& reason);

    Reader(std::string fileName, Raise raise);

    // The document, or a failure at the line of the syntax error ("not YAML: ...").
    YAML::Node Load(std::string_view text) const;

    [[noreturn]] void Fail(const YAML::Node& node, const std::string& reason) const;
    [[noreturn]] void FailAt(int line, const std::string& reason) const;

    // The map's entries (name, value) in document order, after refusing a key that is not a
    // name, one given twice, and, when `known` names any, one it does not name.
    std::vector<std::pair<std::string, YAML::Node>> Entries(
        const YAML::Node& node, const std::string& where,
        std::initializer_list<std::string_view> known = {}) const;

    std::string Text(const YAML::Node& node, const std::string& what) const;
    double Number(const YAML::Node& node, const std::string& what) const;  // finite
    double Number(const YAML::Node& node, const std::string& what, double low,
                  double high) const;

    // ISO 8601: a date ("2026-05-01"), or a date and time with "T" or a space between,
    // optional fraction of a second and zone ("Z", "+hh:mm"); seconds since 1970 in UTC.
    // A date that does not exist (2026-02-30) is refused, not rolled over.
    double Instant(const YAML::Node& node, const std::string& what) const;

    // The line of the key that holds `value` (read through Entries), for errors about a
    // whole entry; else the value's own line.
    int KeyLine(const YAML::Node& value) const;

    static int Line(const YAML::Mark& mark) { return mark.is_null() ? 0 : mark.line + 1; }
    const std::string& FileName() const { return m_fileName; }

private:
    std::string m_fileName;
    Raise m_raise;
    mutable std::vector<std::pair<YAML::Node, int>> m_keyLines;
};

}  // namespace saltmark::yaml
