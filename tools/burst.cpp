#include "burst.h"

#include <array>
#include <charconv>
#include <cmath>
#include <istream>
#include <ostream>
#include <string_view>

#include "cli.h"

void Burst::append(double uValue, double vValue, double wValue, double tempValue)
{
    u.push_back(uValue);
    v.push_back(vValue);
    w.push_back(wValue);
    temp.push_back(tempValue);
}

namespace {

constexpr std::array<const char*, 4> kColumns{"u", "v", "w", "T"};

std::string_view trim(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// Spreadsheets write "+1.5"; from_chars takes no plus sign.
std::string_view stripPlus(std::string_view field)
{
    if (field.size() > 1 && field[0] == '+' && field[1] != '-') {
        field.remove_prefix(1);
    }
    return field;
}

std::optional<double> parseField(std::string_view field) { return parseDouble(stripPlus(field)); }

// "'1e400' in column u is out of range", "an empty field in column T is not a number".
std::string whyNotAField(std::string_view field, const char* column)
{
    if (field.empty()) {
        return std::string("an empty field in column ") + column + " is not a number";
    }
    return quoted(field) + " in column " + column +
           (isOutOfRange(stripPlus(field)) ? " is out of range" : " is not a number");
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (;;) {
        const auto comma = line.find(',');
        fields.push_back(trim(line.substr(0, comma)));
        if (comma == std::string_view::npos) {
            return fields;
        }
        line.remove_prefix(comma + 1);
    }
}

}  // namespace

std::optional<CsvError> readBurstCsv(std::istream& in, Burst& burst)
{
    std::string text;
    std::size_t lineNumber = 0;
    bool firstContentLine = true;
    while (std::getline(in, text)) {
        ++lineNumber;
        const std::string_view line = trim(text);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const std::vector<std::string_view> fields = splitFields(line);
        const bool header = firstContentLine && !parseField(fields.front());
        firstContentLine = false;
        if (header) {
            continue;
        }
        if (fields.size() != kColumns.size()) {
            return CsvError{lineNumber, "expected 4 values (u, v, w, T), found " +
                                            std::to_string(fields.size())};
        }
        std::array<double, 4> values{};
        for (std::size_t i = 0; i < fields.size(); ++i) {
            const std::optional<double> value = parseField(fields[i]);
            if (!value) {
                return CsvError{lineNumber, whyNotAField(fields[i], kColumns[i])};
            }
            values[i] = *value;
        }
        burst.append(values[0], values[1], values[2], values[3]);
    }
    if (in.bad()) {
        return CsvError{lineNumber + 1, "read error"};
    }
    return std::nullopt;
}

namespace {

std::string formatSample(double value, int decimals)
{
    const double step = std::pow(10.0, -decimals);
    if (value != 0.0 && std::isfinite(value) && std::fabs(value) <= step * 0.5) {
        value = std::copysign(step, value);
    }
    char buffer[512];  // room for the largest double in fixed notation
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) {
        return "nan";
    }
    return std::string(buffer, result.ptr);
}

}  // namespace

void writeBurstCsv(std::ostream& out, const Burst& burst, int decimals)
{
    out << "u,v,w,T\n";
    for (std::size_t i = 0; i < burst.size(); ++i) {
        out << formatSample(burst.u[i], decimals) << ',' << formatSample(burst.v[i], decimals)
            << ',' << formatSample(burst.w[i], decimals) << ','
            << formatSample(burst.temp[i], decimals) << '\n';
    }
}
