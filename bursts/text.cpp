#include "text.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace orcan::bursts {

namespace {

template <typename Number>
struct Parsed {
    std::optional<Number> value;
    bool outOfRange = false;  // the whole text is a number, but too large for Number
};

template <typename Number>
Parsed<Number> parseWhole(std::string_view text)
{
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool whole = !text.empty() && end == text.data() + text.size();
    if (!whole || ec != std::errc()) {
        return {std::nullopt, whole && ec == std::errc::result_out_of_range};
    }
    return {value, false};
}

}  // namespace

std::optional<double> parseDouble(std::string_view text) { return parseWhole<double>(text).value; }

std::optional<std::uint64_t> parseUnsigned(std::string_view text)
{
    return parseWhole<std::uint64_t>(text).value;
}

bool isOutOfRange(std::string_view text) { return parseWhole<double>(text).outOfRange; }

std::string quoted(std::string_view text)
{
    constexpr std::size_t kLongest = 40;
    constexpr std::string_view kCut = "...";
    if (text.size() <= kLongest) {
        return "'" + std::string(text) + "'";
    }
    std::size_t keep = kLongest - kCut.size();
    // Never cut a UTF-8 character in two.
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) {
        --keep;
    }
    return "'" + std::string(text.substr(0, keep)) + std::string(kCut) + "'";
}

std::string whyNotADouble(std::string_view text)
{
    if (text.empty()) {
        return "an empty value is not a number";
    }
    return quoted(text) + (isOutOfRange(text) ? " is out of range" : " is not a number");
}

std::string whyNotAnUnsigned(std::string_view text)
{
    if (parseWhole<std::uint64_t>(text).outOfRange) {
        return quoted(text) + " is out of range";
    }
    if (const std::optional<double> number = parseDouble(text)) {
        return quoted(text) + (*number < 0.0 ? " must be zero or more" : " is not a whole number");
    }
    return whyNotADouble(text);
}

namespace {

std::string systemReason(int error) { return std::strerror(error != 0 ? error : EIO); }

}  // namespace

std::optional<std::string> readFile(const std::string& path, std::string& error)
{
    const bool standardInput = path == "-";
    const std::string shown = standardInput ? "standard input" : path;
    std::error_code ignored;
    if (!standardInput && std::filesystem::is_directory(path, ignored)) {
        error = path + ": is a directory";
        return std::nullopt;
    }
    errno = 0;
    std::FILE* file = standardInput ? stdin : std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = path + ": " + systemReason(errno);
        return std::nullopt;
    }
    std::string contents;
    char chunk[1 << 16];
    int failure = 0;
    for (;;) {
        errno = 0;
        const std::size_t got = std::fread(chunk, 1, sizeof chunk, file);
        contents.append(chunk, got);
        if (got < sizeof chunk) {
            if (std::ferror(file)) {
                failure = errno != 0 ? errno : EIO;
            }
            break;
        }
    }
    if (!standardInput) {
        std::fclose(file);
    }
    if (failure != 0) {
        error = shown + ": " + systemReason(failure);
        return std::nullopt;
    }
    return contents;
}

}  // namespace orcan::bursts
