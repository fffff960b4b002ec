#pragma once
// Numbers, quoted text and whole files as the burst readers and the tools take them: a number
// is the whole text or nothing, a bad value is shown quoted and cut short, and a file that
// cannot be read gives one line with the system's reason.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orcan::bursts {

// The whole text as a number; nothing when it is not one or has anything left over.
std::optional<double> parseDouble(std::string_view text);
std::optional<std::uint64_t> parseUnsigned(std::string_view text);

// True when the whole text is a number too large (or too small) for a double.
bool isOutOfRange(std::string_view text);

// Why parseDouble (or, for whole numbers, parseUnsigned) refused the text, quoted:
// "'1e400' is out of range", "'-5' must be zero or more", "'abc' is not a number".
std::string whyNotADouble(std::string_view text);
std::string whyNotAnUnsigned(std::string_view text);

// The text in single quotes, cut to at most 40 characters so that a runaway field cannot
// flood the terminal.
std::string quoted(std::string_view text);

// The file's bytes ("-" reads standard input); nothing, with "<path>: <reason>" in error.
std::optional<std::string> readFile(const std::string& path, std::string& error);

}  // namespace orcan::bursts
