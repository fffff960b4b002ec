#include "CheckedYaml.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "CivilTime.h"

namespace saltmark::yaml {

Reader::Reader(std::string fileName, Raise raise) : m_fileName(std::move(fileName)), m_raise(raise)
{
}

YAML::Node Reader::Load(std::string_view text) const
{
    try {
        return YAML::Load(std::string(text));
    } catch (const YAML::Exception& error) {
        FailAt(Line(error.mark), "not YAML: " + error.msg);
    }
}

void Reader::FailAt(int line, const std::string& reason) const
{
    m_raise(m_fileName, line, reason);
    std::abort();  // a Raise that returns is a programming error
}

void Reader::Fail(const YAML::Node& node, const std::string& reason) const
{
    FailAt(Line(node.Mark()), reason);
}

std::vector<std::pair<std::string, YAML::Node>> Reader::Entries(
    const YAML::Node& node, const std::string& where,
    std::initializer_list<std::string_view> known) const
{
    if (!node.IsMap()) {
        Fail(node, where + ": expected a mapping");
    }
    std::vector<std::pair<std::string, YAML::Node>> entries;
    std::set<std::string> seen;
    for (const auto& entry : node) {
        if (!entry.first.IsScalar()) {
            Fail(entry.first, where + ": a key must be a name");
        }
        const std::string key = entry.first.Scalar();
        if (!seen.insert(key).second) {
            Fail(entry.first, where + ": " + key + " given twice");
        }
        if (known.size() != 0 && std::find(known.begin(), known.end(), key) == known.end()) {
            std::string names;
            for (std::string_view name : known) {
                names += (names.empty() ? "" : ", ") + std::string(name);
            }
            Fail(entry.first, where + ": unknown key " + key + " (expected " + names + ")");
        }
        entries.emplace_back(key, entry.second);
        m_keyLines.emplace_back(entry.second, Line(entry.first.Mark()));
    }
    return entries;
}

std::string Reader::Text(const YAML::Node& node, const std::string& what) const
{
    if (!node.IsScalar()) {
        Fail(node, what + ": expected text");
    }
    return node.Scalar();
}

double Reader::Number(const YAML::Node& node, const std::string& what) const
{
    if (!node.IsScalar()) {
        Fail(node, what + ": expected a number");
    }
    double value = 0;
    if (node.Scalar().empty() || !YAML::convert<double>::decode(node, value)) {
        Fail(node, what + ": expected a number, not \"" + node.Scalar() + "\"");
    }
    if (!std::isfinite(value)) {
        Fail(node, what + ": expected a finite number, not \"" + node.Scalar() + "\"");
    }
    return value;
}

double Reader::Number(const YAML::Node& node, const std::string& what, double low,
                      double high) const
{
    const double value = Number(node, what);
    if (value < low || value > high) {
        char range[64];
        std::snprintf(range, sizeof range, "%g to %g", low, high);
        Fail(node, what + ": " + node.Scalar() + " is outside " + range);
    }
    return value;
}

double Reader::Instant(const YAML::Node& node, const std::string& what) const
{
    const std::string text = Text(node, what);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
    double second = 0;
    char rest[32] = {};
    const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%*1[T ]%2d:%2d:%lf%31s", &year,
                                   &month, &day, &hour, &minute, &second, rest);
    const bool dateOnly = fields == 3 && text.size() == 10;
    if (!dateOnly && fields < 6) {
        Fail(node, what + ": expected a time such as 2026-05-01T12:00:00Z, not \"" + text + "\"");
    }
    int offsetMinutes = 0;
    const std::string zone = rest;
    if (!zone.empty() && zone != "Z") {
        int zh = 0, zm = 0;
        char sign = 0;
        if (std::sscanf(zone.c_str(), "%c%2d:%2d", &sign, &zh, &zm) != 3 ||
            (sign != '+' && sign != '-') || zh > 14 || zm > 59) {
            Fail(node, what + ": unreadable time zone \"" + zone + "\"");
        }
        offsetMinutes = (sign == '-' ? -1 : 1) * (zh * 60 + zm);
    }
    // Second 60 is a leap second's.
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second < 0 || second >= 61) {
        Fail(node, what + ": no such time \"" + text + "\"");
    }
    return static_cast<double>(DaysFromCivil(year, month, day)) * 86400 + hour * 3600 +
           minute * 60 + second - offsetMinutes * 60.0;
}

int Reader::KeyLine(const YAML::Node& value) const
{
    for (auto it = m_keyLines.rbegin(); it != m_keyLines.rend(); ++it) {
        if (it->first.is(value)) {
            return it->second;
        }
    }
    return Line(value.Mark());
}

}  // namespace saltmark::yaml
