#pragma once
// What the command-line tools share: the CLI11 parse, number parsing, file reading and
// writing, and the exit codes users expect (0 done, 1 bad input, 2 wrong usage). Every read or
// write failure ends as one line naming the file and the system's reason, never as an
// exception.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <string_view>
#include <vector>

namespace CLI {
class App;
}

#include "text.h"
#include "whole_file.h"

inline constexpr int kExitInputError = 1;
inline constexpr int kExitUsageError = 2;

// Parses the command line with `app`, whose options the tool declares (values taken as text),
// the tools' way: --help (or -h) and --version are answered first, with `usage` and the
// version; an option the tool does not know is "unknown option '--x'", any other argument
// no option takes "unexpected argument 'x'", an option without its value "option --x needs a
// value". Returns the exit status when the program is done already.
std::optional<int> parseCommandLine(CLI::App& app, std::string_view program, std::string_view usage,
                                    int argc, char** argv);

// Stores a number given as an option's text in target; the reason when it is not one.
std::optional<std::string> takeNumber(std::string_view value, double& target);
std::optional<std::string> takeNumber(std::string_view value, std::uint64_t& target);

// Number parsing, quoting and file reading come from the burst files' library, which reads
// the same numbers and files.
using orcan::bursts::isOutOfRange;
using orcan::bursts::parseDouble;
using orcan::bursts::parseUnsigned;
using orcan::bursts::quoted;
using orcan::bursts::readFile;
using orcan::bursts::whyNotADouble;
using orcan::bursts::whyNotAnUnsigned;

// A file being written through C stdio, so that a failure keeps the system's reason, and whole
// or not at all: the target changes only when close() succeeds. An empty path or "-" is
// standard output, which stays a stream.
class OutputFile {
public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // Starts the file beside its target; false with "<path>: <reason>" in error.
    bool open(const std::string& path, std::string& error);
    std::ostream& stream() { return stream_; }
    // Flushes and puts the file in place; false with "<path>: <reason>" when anything written
    // was lost, the earlier file then unchanged.
    bool close(std::string& error);

private:
    class Buffer : public std::streambuf {
    public:
        explicit Buffer(std::FILE* file);
        bool flushAll();
        int failure() const { return errno_; }

    protected:
        int_type overflow(int_type c) override;
        int sync() override { return flushAll() ? 0 : -1; }

    private:
        bool drain();

        std::FILE* file_;
        std::vector<char> space_;
        int errno_ = 0;
    };

    std::string shownName_;
    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    orcan::WholeFile whole_;
    std::unique_ptr<Buffer> buffer_;
    std::ostream stream_{nullptr};
};

// Writes "<program>: <message>" and the pointer to --help on standard error; returns 2.
int usageError(std::string_view program, std::string_view message);
// Writes "<program>: <message>" on standard error; returns 1.
int inputError(std::string_view program, std::string_view message);
// Writes "<program> (Orcan) <version>" on standard output; returns 0.
int printVersion(std::string_view program);

// Runs a tool's main; anything thrown becomes one line on standard error and exit status 1.
int runTool(std::string_view program, int (*toolMain)(int, char**), int argc, char** argv);
