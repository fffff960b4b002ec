#include "burst_files.h"

#include <eddyrate.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "text.h"

namespace orcan::bursts {

std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBurstGenLine = "# burst-gen ";
constexpr std::array<const char*, 4> kCsvColumns{"u", "v", "w", "T"};

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && isBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
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
std::string whyNotAField(std::string_view field, std::string_view column)
{
    if (field.empty()) {
        return "an empty field in column " + std::string(column) + " is not a number";
    }
    return quoted(field) + " in column " + std::string(column) +
           (isOutOfRange(stripPlus(field)) ? " is out of range" : " is not a number");
}

std::string formatShortest(double value)
{
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

// Walks the text a line at a time, counting lines from 1.
class Lines {
public:
    explicit Lines(std::string_view text) : rest_(text) {}

    bool next(std::string_view& line)
    {
        if (rest_.empty()) {
            return false;
        }
        const auto* newline =
            static_cast<const char*>(std::memchr(rest_.data(), '\n', rest_.size()));
        const std::size_t length =
            newline == nullptr ? rest_.size() : static_cast<std::size_t>(newline - rest_.data());
        line = rest_.substr(0, length);
        rest_.remove_prefix(newline == nullptr ? length : length + 1);
        ++number_;
        return true;
    }
    std::size_t number() const { return number_; }

private:
    std::string_view rest_;
    std::size_t number_ = 0;
};

// Powers of ten that a double holds exactly.
constexpr std::array<double, 23> kExactPowersOfTen{1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A decimal such as a logger writes it ("-12.3456", "1.5e-3"), when its digits and exponent
// let one exact multiplication or division give the correctly rounded double: both operands
// are exact, and IEEE-754 rounds the one operation correctly, so the value is the one
// from_chars gives. Nothing (and the caller asks from_chars) for anything else.
const char* parseSimpleDecimal(const char* p, const char* end, double& value)
{
    constexpr int kMostDigits = 15;  // below 2^53: the digits are an exact double
    const bool negative = p != end && *p == '-';
    if (negative) {
        ++p;
    }
    std::uint64_t digits = 0;
    int count = 0;
    int scale = 0;
    bool any = false;
    for (; p != end && *p >= '0' && *p <= '9'; ++p, any = true) {
        if (digits == 0 && *p == '0') {
            continue;  // leading zeros count for nothing
        }
        digits = digits * 10 + static_cast<unsigned>(*p - '0');
        ++count;
    }
    if (p != end && *p == '.') {
        for (++p; p != end && *p >= '0' && *p <= '9'; ++p, any = true) {
            if (digits == 0 && *p == '0') {
                --scale;
                continue;
            }
            digits = digits * 10 + static_cast<unsigned>(*p - '0');
            ++count;
            --scale;
        }
    }
    if (!any || count > kMostDigits) {
        return nullptr;
    }
    if (p != end && (*p == 'e' || *p == 'E')) {
        ++p;
        const bool negativeExponent = p != end && *p == '-';
        if (p != end && (*p == '-' || *p == '+')) {
            ++p;
        }
        int exponent = 0;
        bool exponentDigits = false;
        for (; p != end && *p >= '0' && *p <= '9' && exponent < 1000; ++p) {
            exponent = exponent * 10 + (*p - '0');
            exponentDigits = true;
        }
        if (!exponentDigits) {
            return nullptr;
        }
        scale += negativeExponent ? -exponent : exponent;
    }
    if (scale < -22 || scale > 22) {
        return nullptr;
    }
    const auto mantissa = static_cast<double>(digits);
    const double magnitude =
        scale < 0 ? mantissa / kExactPowersOfTen[-scale] : mantissa * kExactPowersOfTen[scale];
    value = negative ? -magnitude : magnitude;
    return p;
}

// The fast path for a data line: four numbers between commas, blanks around them. False for
// anything else; the slow path then finds the words for what is wrong.
bool parseFourNumbers(std::string_view line, std::array<double, 4>& values)
{
    const char* p = line.data();
    const char* const end = p + line.size();
    for (std::size_t i = 0; i < values.size(); ++i) {
        while (p != end && isBlank(*p)) {
            ++p;
        }
        if (p != end && *p == '+' && p + 1 != end && p[1] != '-') {
            ++p;
        }
        if (const char* simpleEnd = parseSimpleDecimal(p, end, values[i])) {
            p = simpleEnd;
        } else {
            const auto [next, ec] = std::from_chars(p, end, values[i]);
            if (ec != std::errc() || next == p) {
                return false;
            }
            p = next;
        }
        while (p != end && isBlank(*p)) {
            ++p;
        }
        if (i + 1 < values.size()) {
            if (p == end || *p != ',') {
                return false;
            }
            ++p;
        }
    }
    return p == end;
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

// Why a line the fast path refused is not a data line.
std::string whyNotADataLine(std::string_view line)
{
    const std::vector<std::string_view> fields = splitFields(line);
    if (fields.size() != kCsvColumns.size()) {
        return "expected 4 values (u, v, w, T), found " + std::to_string(fields.size());
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (!parseField(fields[i])) {
            return whyNotAField(fields[i], kCsvColumns[i]);
        }
    }
    return "not a line of four numbers";
}

// burst-gen writes the command that made the file as its first line; its --fs is the rate.
std::optional<double> burstGenRate(std::string_view comment)
{
    if (!comment.starts_with(kBurstGenLine)) {
        return std::nullopt;
    }
    constexpr std::string_view kRateOption = " --fs ";
    const auto at = comment.find(kRateOption);
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view value = comment.substr(at + kRateOption.size());
    value = value.substr(0, value.find(' '));
    const std::optional<double> rate = parseDouble(value);
    if (rate && std::isfinite(*rate) && *rate > 0.0) {
        return rate;
    }
    return std::nullopt;
}

std::size_t countLines(std::string_view text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

void reserve(Burst& burst, std::size_t samples)
{
    burst.u.reserve(samples);
    burst.v.reserve(samples);
    burst.w.reserve(samples);
    burst.temp.reserve(samples);
}

std::optional<CsvError> parseCsv(std::string_view text, BurstFile& file)
{
    file.format = "csv";
    reserve(file.burst, countLines(text));
    Lines lines(text);
    std::string_view raw;
    bool firstContentLine = true;
    std::array<double, 4> values{};
    while (lines.next(raw)) {
        if (parseFourNumbers(raw, values)) {
            firstContentLine = false;
            file.burst.append(values[0], values[1], values[2], values[3]);
            continue;
        }
        const std::string_view line = trim(raw);
        if (line.empty()) {
            continue;
        }
        if (line.front() == '#') {
            if (firstContentLine && !file.statedRate) {
                file.statedRate = burstGenRate(line);
            }
            continue;
        }
        const bool header = firstContentLine && !parseField(trim(line.substr(0, line.find(','))));
        firstContentLine = false;
        if (!header) {
            return CsvError{lines.number(), whyNotADataLine(line)};
        }
    }
    return std::nullopt;
}

// --- TOA5 -------------------------------------------------------------------------------

constexpr std::size_t kToa5HeaderLines = 4;
constexpr std::string_view kToa5Start = "\"TOA5\"";
constexpr std::string_view kTimestampColumn = "TIMESTAMP";

// Fields of a TOA5 line: comma-separated, text in double quotes (the loggers never put a comma
// inside one, but a quoted field is read to its closing quote all the same).
void splitToa5(std::string_view line, std::vector<std::string_view>& fields)
{
    fields.clear();
    line = trim(line);
    std::size_t at = 0;
    for (;;) {
        std::string_view field;
        std::size_t next = 0;
        if (at < line.size() && line[at] == '"') {
            const auto close = line.find('"', at + 1);
            if (close == std::string_view::npos) {
                field = line.substr(at + 1);
                next = line.size();
            } else {
                field = line.substr(at + 1, close - at - 1);
                next = close + 1;
            }
            next = std::min(line.find(',', next), line.size());
        } else {
            next = std::min(line.find(',', at), line.size());
            field = trim(line.substr(at, next - at));
        }
        fields.push_back(field);
        if (next >= line.size()) {
            return;
        }
        at = next + 1;
    }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return (x | 0x20) == (y | 0x20);
           });
}

template <typename Integer>
bool takeDigits(std::string_view& text, std::size_t count, Integer& value)
{
    if (text.size() < count) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + count, value);
    if (ec != std::errc() || end != text.data() + count) {
        return false;
    }
    text.remove_prefix(count);
    return true;
}

bool takeChar(std::string_view& text, char c)
{
    if (text.empty() || text.front() != c) {
        return false;
    }
    text.remove_prefix(1);
    return true;
}

// "2026-06-01 12:00:00.1" in microseconds since 1970-01-01 (the logger's clock, taken as UTC).
std::optional<std::int64_t> parseTimestamp(std::string_view text)
{
    int year = 0;
    unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!takeDigits(text, 4, year) || !takeChar(text, '-') || !takeDigits(text, 2, month) ||
        !takeChar(text, '-') || !takeDigits(text, 2, day) ||
        !(takeChar(text, ' ') || takeChar(text, 'T')) || !takeDigits(text, 2, hour) ||
        !takeChar(text, ':') || !takeDigits(text, 2, minute) || !takeChar(text, ':') ||
        !takeDigits(text, 2, second)) {
        return std::nullopt;
    }
    std::int64_t micro = 0;
    if (takeChar(text, '.')) {
        std::int64_t scale = 100000;
        if (text.empty()) {
            return std::nullopt;
        }
        while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
            micro += (text.front() - '0') * scale;
            scale /= 10;
            text.remove_prefix(1);
        }
    }
    if (!text.empty() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || second > 60) {
        return std::nullopt;
    }
    const std::int64_t seconds =
        daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    return seconds * 1000000 + micro;
}

// The logging interval is the median step between timestamps: a gap in the record or a
// repeated line leaves it alone.
std::optional<double> rateFromTimestamps(const std::vector<std::int64_t>& times)
{
    std::vector<std::int64_t> steps;
    steps.reserve(times.size());
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (times[i] > times[i - 1]) {
            steps.push_back(times[i] - times[i - 1]);
        }
    }
    if (steps.empty()) {
        return std::nullopt;
    }
    const auto middle = steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2);
    std::nth_element(steps.begin(), middle, steps.end());
    return 1e6 / static_cast<double>(*middle);
}

std::optional<CsvError> parseToa5(std::string_view text, const BurstReadOptions& options,
                                  BurstFile& file)
{
    file.format = "toa5";
    reserve(file.burst, countLines(text));
    Lines lines(text);
    std::string_view line;
    std::vector<std::string_view> fields;
    std::vector<std::string_view> names;
    std::vector<std::string> nameStore;
    for (std::size_t header = 0; header < kToa5HeaderLines; ++header) {
        if (!lines.next(line)) {
            return CsvError{lines.number() + 1, "the TOA5 header ends early (it has four lines)"};
        }
        if (header == 1) {
            splitToa5(line, fields);
            nameStore.assign(fields.begin(), fields.end());
        }
    }
    std::array<std::size_t, 4> column{};
    for (std::size_t i = 0; i < column.size(); ++i) {
        const std::string& wanted = options.columns.at(i);
        const auto found = std::find(nameStore.begin(), nameStore.end(), wanted);
        if (found == nameStore.end()) {
            std::string known;
            for (const std::string& name : nameStore) {
                known += (known.empty() ? "" : ",") + name;
            }
            return CsvError{2, "no column " + quoted(std::string_view(wanted)) + " (the file has " +
                                   known + ")"};
        }
        column[i] = static_cast<std::size_t>(found - nameStore.begin());
    }
    const auto timestamp = std::find(nameStore.begin(), nameStore.end(), kTimestampColumn);
    const bool timed = timestamp != nameStore.end();
    const auto timeColumn = static_cast<std::size_t>(timestamp - nameStore.begin());
    std::vector<std::int64_t> times;

    while (lines.next(line)) {
        if (trim(line).empty()) {
            continue;
        }
        splitToa5(line, fields);
        if (fields.size() != nameStore.size()) {
            return CsvError{lines.number(), "expected " + std::to_string(nameStore.size()) +
                                                " fields, found " + std::to_string(fields.size())};
        }
        std::array<double, 4> values{};
        for (std::size_t i = 0; i < column.size(); ++i) {
            const std::string_view field = trim(fields[column[i]]);
            if (equalsIgnoringCase(field, "NAN")) {
                // The logger's missing value: the library's dropout marker screens the sample.
                values[i] = 0.0;
                ++file.missingValues;
                continue;
            }
            const std::optional<double> value = parseField(field);
            if (!value) {
                return CsvError{lines.number(), whyNotAField(field, options.columns[i])};
            }
            values[i] = *value;
        }
        if (timed) {
            const std::optional<std::int64_t> moment = parseTimestamp(fields[timeColumn]);
            if (!moment) {
                return CsvError{lines.number(), quoted(fields[timeColumn]) + " is not a timestamp"};
            }
            times.push_back(*moment);
        }
        file.burst.append(values[0], values[1], values[2], values[3]);
    }
    if (!times.empty()) {
        file.startTime = static_cast<double>(times.front()) / 1e6;
        file.statedRate = rateFromTimestamps(times);
    }
    return std::nullopt;
}

std::string systemReason(int error) { return std::strerror(error != 0 ? error : EIO); }

// The whole file in one read into storage kept per thread: a batch reads thousands of
// bursts of one size, and fresh storage for each would cost the system as much as the
// parse (every page of it faulted in and cleared). The storage keeps the largest file read.
std::optional<std::string_view> readWhole(const std::string& path, std::string& error)
{
    thread_local std::string storage;
    std::error_code ignored;
    const auto size = std::filesystem::is_regular_file(path, ignored) && path != "-"
                          ? std::filesystem::file_size(path, ignored)
                          : std::uintmax_t{0};
    struct Closer {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    std::unique_ptr<std::FILE, Closer> file;
    if (size > 0 && !ignored) {
        errno = 0;
        file.reset(std::fopen(path.c_str(), "rb"));
        if (!file) {
            error = path + ": " + systemReason(errno);
            return std::nullopt;
        }
        if (storage.size() < size) {
            storage.resize(size);
        }
        errno = 0;
        const std::size_t got = std::fread(storage.data(), 1, size, file.get());
        if (std::ferror(file.get())) {
            error = path + ": " + systemReason(errno);
            return std::nullopt;
        }
        if (got == size && std::fgetc(file.get()) == EOF) {
            return std::string_view(storage.data(), size);
        }
        // the file changed size while read: read it as it is now
    }
    // Standard input, a pipe, an empty or changing file, or the reason it is none of these.
    std::optional<std::string> text = readFile(path, error);
    if (!text) {
        return std::nullopt;
    }
    storage = std::move(*text);
    return std::string_view(storage);
}

}  // namespace

std::optional<CsvError> parseBurstText(std::string_view text, const BurstReadOptions& options,
                                       BurstFile& file)
{
    if (text.starts_with(kByteOrderMark)) {
        text.remove_prefix(kByteOrderMark.size());
    }
    if (options.columns.size() != 4) {
        return CsvError{0, "four columns are needed: u, v, w and T"};
    }
    return text.starts_with(kToa5Start) ? parseToa5(text, options, file) : parseCsv(text, file);
}

std::optional<std::string> readBurstFile(const std::string& path, const BurstReadOptions& options,
                                         BurstFile& file)
{
    std::string error;
    const std::optional<std::string_view> contents = readWhole(path, error);
    if (!contents) {
        return error;
    }
    const std::string shown = path == "-" ? "standard input" : path;
    if (const std::optional<CsvError> bad = parseBurstText(*contents, options, file)) {
        return shown + ":" + std::to_string(bad->line) + ": " + bad->message;
    }
    if (file.burst.size() == 0) {
        return shown + ": no samples, nothing to compute";
    }
    return std::nullopt;
}

RateChoice chooseRate(const BurstFile& file, std::optional<double> asked, double fallback)
{
    if (!asked) {
        return {file.statedRate.value_or(fallback), std::nullopt};
    }
    // The timestamps carry the interval to the microsecond; a rate within a millionth of the
    // stated one is the same rate.
    if (file.statedRate && !(std::fabs(*asked - *file.statedRate) <= 1e-6 * *file.statedRate)) {
        const char* source = file.format == "toa5" ? "its timestamps" : "its burst-gen line";
        return {*asked, "the file states " + formatShortest(*file.statedRate) + " Hz (" + source +
                            "), not the " + formatShortest(*asked) + " Hz asked for"};
    }
    return {*asked, std::nullopt};
}

std::optional<std::string> parseColumnList(std::string_view text, std::vector<std::string>& names)
{
    std::vector<std::string> parsed;
    for (const std::string_view name : splitFields(text)) {
        if (name.empty()) {
            return "an empty column name in " + quoted(text);
        }
        parsed.emplace_back(name);
    }
    if (parsed.size() != 4) {
        return "four columns are needed (u, v, w, T), not " + std::to_string(parsed.size());
    }
    names = std::move(parsed);
    return std::nullopt;
}

std::size_t countDropouts(const Burst& burst)
{
    std::size_t count = 0;
    for (std::size_t i = 0; i < burst.size(); ++i) {
        if (EDDYRATE_IS_DROPOUT(burst.u[i], burst.v[i], burst.w[i], burst.temp[i])) {
            ++count;
        }
    }
    return count;
}

}  // namespace orcan::bursts
