#include "cli.h"

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <new>
#include <system_error>

namespace {

std::string systemReason(int error) { return std::strerror(error != 0 ? error : EIO); }

}  // namespace

template <typename Number>
std::optional<std::string> takeWhole(std::string_view value, Number& target,
                                     std::optional<Number> (*parse)(std::string_view),
                                     std::string (*whyNot)(std::string_view))
{
    const std::optional<Number> number = parse(value);
    if (!number) {
        return whyNot(value);
    }
    target = *number;
    return std::nullopt;
}

std::optional<std::string> takeNumber(std::string_view value, double& target)
{
    return takeWhole(value, target, parseDouble, whyNotADouble);
}

std::optional<std::string> takeNumber(std::string_view value, std::uint64_t& target)
{
    return takeWhole(value, target, parseUnsigned, whyNotAnUnsigned);
}

std::optional<int> parseCommandLine(CLI::App& app, std::string_view program, std::string_view usage,
                                    int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        if (arg == "--version") {
            return printVersion(program);
        }
    }
    app.set_help_flag();
    app.allow_extras();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& e) {
        const std::string what = e.what();
        return usageError(program, "option " + what.substr(0, what.find(':')) + " needs a value");
    } catch (const CLI::ParseError& e) {
        return usageError(program, e.what());
    }
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty()) {
        const std::string_view extra = extras.front();
        const bool option = extra.size() > 1 && extra.front() == '-';
        return usageError(program,
                          (option ? "unknown option " : "unexpected argument ") + ::quoted(extra));
    }
    return std::nullopt;
}

OutputFile::Buffer::Buffer(std::FILE* file) : file_(file), space_(1 << 16)
{
    setp(space_.data(), space_.data() + space_.size());
}

bool OutputFile::Buffer::drain()
{
    const auto pending = static_cast<std::size_t>(pptr() - pbase());
    if (errno_ != 0) {
        return false;
    }
    errno = 0;
    if (pending > 0 && std::fwrite(pbase(), 1, pending, file_) != pending) {
        errno_ = errno != 0 ? errno : EIO;
        return false;
    }
    setp(space_.data(), space_.data() + space_.size());
    return true;
}

OutputFile::Buffer::int_type OutputFile::Buffer::overflow(int_type c)
{
    if (!drain()) {
        return traits_type::eof();
    }
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

bool OutputFile::Buffer::flushAll()
{
    if (!drain()) {
        return false;
    }
    errno = 0;
    if (std::fflush(file_) != 0) {
        errno_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

// A file not closed is dropped by whole_, the earlier one left in place.
OutputFile::~OutputFile() = default;

bool OutputFile::open(const std::string& path, std::string& error)
{
    if (path.empty() || path == "-") {
        shownName_ = "standard output";
        file_ = stdout;
    } else {
        shownName_ = path;
        std::string reason;
        if (!whole_.open(path, reason)) {
            error = path + ": " + reason;
            return false;
        }
        file_ = whole_.stream();
        ownsFile_ = true;
    }
    buffer_ = std::make_unique<Buffer>(file_);
    stream_.rdbuf(buffer_.get());
    stream_.clear();
    return true;
}

bool OutputFile::close(std::string& error)
{
    int failure = 0;
    if (buffer_ != nullptr && !buffer_->flushAll()) {
        failure = buffer_->failure();
    }
    if (failure == 0 && !stream_) {
        failure = EIO;
    }
    if (failure != 0) {
        whole_.discard();
        file_ = nullptr;
        error = shownName_ + ": " + systemReason(failure);
        return false;
    }
    if (ownsFile_ && file_ != nullptr) {
        file_ = nullptr;
        std::string reason;
        if (!whole_.commit(reason)) {
            error = shownName_ + ": " + reason;
            return false;
        }
    }
    return true;
}

int usageError(std::string_view program, std::string_view message)
{
    std::cerr << program << ": " << message << "\nTry '" << program << " --help'.\n";
    return kExitUsageError;
}

int inputError(std::string_view program, std::string_view message)
{
    std::cerr << program << ": " << message << '\n';
    return kExitInputError;
}

int printVersion(std::string_view program)
{
    std::cout << program << " (Orcan) " << ORCAN_VERSION << '\n';
    return 0;
}

int runTool(std::string_view program, int (*toolMain)(int, char**), int argc, char** argv)
{
    try {
        return toolMain(argc, argv);
    } catch (const std::bad_alloc&) {
        return inputError(program, "out of memory");
    } catch (const std::exception& failure) {
        return inputError(program, failure.what());
    } catch (...) {
        return inputError(program, "stopped by an unexpected failure");
    }
}
