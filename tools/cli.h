#pragma once
// What the three command-line tools share: argument walking, number parsing, file reading
// and the exit codes users expect (0 done, 1 bad input, 2 wrong usage).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int kExitInputError = 1;
inline constexpr int kExitUsageError = 2;

// Walks argv. Options take their value as "--name VALUE" or "--name=VALUE".
class CommandLine {
public:
    CommandLine(int argc, char** argv) : argc_(argc), argv_(argv) {}

    bool next() { return ++index_ < argc_; }
    std::string_view arg() const { return argv_[index_]; }
    bool isHelp() const { return arg() == "--help" || arg() == "-h"; }

    // True when the current argument is the option called name. Its value goes to value;
    // when the value is missing, error() says so.
    bool option(std::string_view name, std::string_view& value);

    const std::string& error() const { return error_; }

private:
    int argc_;
    char** argv_;
    int index_ = 0;
    std::string error_;
};

// The whole text as a number; nothing when it is not one or has anything left over.
std::optional<double> parseDouble(std::string_view text);
std::optional<std::uint64_t> parseUnsigned(std::string_view text);

// Stores an option's value in target; the reason when it is missing or not a number.
std::optional<std::string> takeNumber(const CommandLine& args, std::string_view value,
                                      double& target);
std::optional<std::string> takeNumber(const CommandLine& args, std::string_view value,
                                      std::uint64_t& target);

// The file's bytes ("-" reads standard input); nothing, with a reason in error, on failure.
std::optional<std::string> readFile(const std::string& path, std::string& error);

// Writes "<program>: <message>" and the pointer to --help on standard error; returns 2.
int usageError(std::string_view program, std::string_view message);
// Writes "<program>: <message>" on standard error; returns 1.
int inputError(std::string_view program, std::string_view message);
