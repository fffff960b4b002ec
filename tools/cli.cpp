#include "cli.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

bool CommandLine::option(std::string_view name, std::string_view& value)
{
    const std::string_view current = arg();
    if (current == name) {
        if (index_ + 1 >= argc_) {
            error_ = "option " + std::string(name) + " needs a value";
            value = {};
            return true;
        }
        value = argv_[++index_];
        return true;
    }
    if (current.size() > name.size() && current.substr(0, name.size()) == name &&
        current[name.size()] == '=') {
        value = current.substr(name.size() + 1);
        return true;
    }
    return false;
}

namespace {

// The whole text as one number, or nothing.
template <typename Number>
std::optional<Number> parseWhole(std::string_view text)
{
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::optional<double> parseDouble(std::string_view text) { return parseWhole<double>(text); }

std::optional<std::uint64_t> parseUnsigned(std::string_view text)
{
    return parseWhole<std::uint64_t>(text);
}

namespace {

template <typename Number, typename Parse>
std::optional<std::string> take(const CommandLine& args, std::string_view value, Number& target,
                                Parse parse)
{
    if (!args.error().empty()) {
        return args.error();
    }
    const auto number = parse(value);
    if (!number) {
        return "'" + std::string(value) + "' is not a number";
    }
    target = *number;
    return std::nullopt;
}

}  // namespace

std::optional<std::string> takeNumber(const CommandLine& args, std::string_view value,
                                      double& target)
{
    return take(args, value, target, parseDouble);
}

std::optional<std::string> takeNumber(const CommandLine& args, std::string_view value,
                                      std::uint64_t& target)
{
    return take(args, value, target, parseUnsigned);
}

std::optional<std::string> readFile(const std::string& path, std::string& error)
{
    if (path == "-") {
        std::ostringstream contents;
        contents << std::cin.rdbuf();
        return contents.str();
    }
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        error = path + ": is a directory";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    std::string contents{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) {
        error = path + ": read error";
        return std::nullopt;
    }
    return contents;
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
