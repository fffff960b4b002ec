// saltmark-convert: the message converter for shells and batch jobs. The same report as the
// window, written to standard output or, for many messages at once, to a folder.

#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ConvertMessage.h"
#include "DataOutputs.h"
#include "MessageFile.h"
#include "MessageInput.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

namespace fs = std::filesystem;
using saltmark::CapturedImage;

constexpr const char* kProgram = "saltmark-convert";

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

constexpr const char* kHelp =
    "Usage: saltmark-convert [--image FILE] MESSAGE.sbd\n"
    "       saltmark-convert --out-dir DIR [--json] MESSAGE.sbd...\n"
    "       saltmark-convert --json MESSAGE.sbd...\n"
    "       saltmark-convert --csv TYPE MESSAGE.sbd...\n"
    "       saltmark-convert --db ARCHIVE.sqlite MESSAGE.sbd...\n"
    "\n"
    "Converts Iridium SBD messages from an Orcan buoy into plain-text reports.\n"
    "\n"
    "With one message, the report goes to standard output as UTF-8 with its own CR LF line\n"
    "endings. With --out-dir, every message MESSAGE.sbd gives DIR/MESSAGE.txt and, when it\n"
    "carries a camera image, DIR/MESSAGE.jpg; unreadable messages are reported and skipped.\n"
    "A MESSAGE of '-' is read from standard input.\n"
    "\n"
    "The decoded records as data:\n"
    "  --json         one JSON document per message, one per line on standard output; with\n"
    "                 --out-dir, DIR/MESSAGE.json beside each report\n"
    "  --csv TYPE     one CSV row per record of TYPE (PB200, Y81000, ... or its type code)\n"
    "                 in all the messages, on standard output\n"
    "  --db ARCHIVE   import the messages and their records into the SQLite archive ARCHIVE\n"
    "                 (created if needed); a message already there is not added again\n"
    "\n"
    "Options:\n"
    "  --image FILE   also write the camera image of the message to FILE (created or\n"
    "                 replaced); without an image in the message FILE is not created\n"
    "  --out-dir DIR  batch mode: write the reports and images into DIR (created if needed)\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "Exit status: 0 when every message was read (what the decode found is part of the\n"
    "report), 1 when a message could not be read or an output not written, 2 for wrong usage.\n"
    "Files over 1 MiB are not SBD messages and are refused.\n";

struct Options {
    std::optional<fs::path> image;
    std::optional<fs::path> outDir;
    bool json = false;
    std::optional<fs::path> csvType;
    std::optional<fs::path> archive;
    std::vector<fs::path> messages;
};

void Complain(const std::string& line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); }

int UsageError(const std::string& problem)
{
    Complain(problem);
    std::fprintf(stderr, "Try '%s --help' for more information.\n", kProgram);
    return kUsage;
}

// --json, --csv and --db choose what is made of the messages; only --json goes with --out-dir.
std::optional<int> CheckDataOptions(const Options& options)
{
    const int outputs = int{options.json || options.outDir.has_value()} +
                        int{options.csvType.has_value()} + int{options.archive.has_value()};
    if (outputs > 1 || (options.image && outputs > 0 && !options.outDir)) {
        return UsageError(
            "--csv, --db and --json/--out-dir each make their own output; "
            "give one of them");
    }
    if (options.csvType && saltmark::FindRecordDescription(options.csvType->string()) == nullptr) {
        return UsageError("--csv: no record type '" + options.csvType->string() + "'");
    }
    return std::nullopt;
}

// Parses the arguments into `options`; gives an exit status when the program is done already
// (help, version, wrong usage).
std::optional<int> ParseArguments(int argc, char** argv, Options& options)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded || arg.size() < 2 || !arg.starts_with("-")) {
            options.messages.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kSuccess;
        }
        if (arg == "--version") {
            std::printf("%s (Saltmark) %s\n", kProgram, SALTMARK_VERSION);
            return kSuccess;
        }
        if (arg == "--json") {
            options.json = true;
            continue;
        }
        // --image FILE, --image=FILE, and the same for --out-dir, --csv and --db.
        const std::string_view name = arg.substr(0, arg.find('='));
        std::optional<fs::path>* target = name == "--image"     ? &options.image
                                          : name == "--out-dir" ? &options.outDir
                                          : name == "--csv"     ? &options.csvType
                                          : name == "--db"      ? &options.archive
                                                                : nullptr;
        if (target == nullptr) {
            return UsageError("unknown option '" + std::string(arg) + "'");
        }
        if (target->has_value()) {
            return UsageError(std::string(name) + " given twice");
        }
        if (name.size() < arg.size()) {
            *target = fs::path(arg.substr(name.size() + 1));
        } else if (i + 1 < argc) {
            *target = fs::path(argv[++i]);
        } else {
            return UsageError(std::string(name) + " needs a value");
        }
        if ((*target)->empty()) {
            return UsageError(std::string(name) + " needs a non-empty value");
        }
    }
    if (options.messages.empty()) {
        return UsageError("no message file given");
    }
    if (const std::optional<int> done = CheckDataOptions(options)) {
        return done;
    }
    if (options.outDir && options.image) {
        return UsageError("--image works on one message; --out-dir names images itself");
    }
    if (!options.outDir && !options.json && !options.csvType && !options.archive &&
        options.messages.size() > 1) {
        return UsageError("one message at a time, or use --out-dir DIR for many");
    }
    return std::nullopt;
}

std::optional<std::vector<std::uint8_t>> Read(const fs::path& message)
{
    std::string reason;
    auto bytes = saltmark::cli::ReadMessageInput(message, reason);
    if (!bytes) {
        Complain(message.string() + ": " + reason);
    }
    return bytes;
}

bool Write(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    std::string reason;
    if (!saltmark::cli::WriteWholeFile(path, bytes, reason)) {
        Complain(path.string() + ": cannot be written: " + reason);
        return false;
    }
    return true;
}

std::string Convert(const std::vector<std::uint8_t>& message, CapturedImage& image)
{
    // Files over 1 MiB were refused, so the count fits the decoder's signed 32-bit count.
    return saltmark::ToUtf8(
        saltmark::ConvertMessage(message.data(), static_cast<std::int32_t>(message.size()), image));
}

std::span<const std::uint8_t> AsBytes(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

int ConvertOne(const fs::path& messagePath, const std::optional<fs::path>& imagePath)
{
    const auto message = Read(messagePath);
    if (!message) {
        return kFailure;
    }
    CapturedImage image;
    const std::string report = Convert(*message, image);
    std::fwrite(report.data(), 1, report.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Complain("cannot write the report to standard output");
        return kFailure;
    }
    if (!imagePath) {
        return kSuccess;
    }
    if (!image.held()) {
        Complain(messagePath.string() + ": no camera image in this message; " +
                 imagePath->string() + " not written");
        return kSuccess;
    }
    return Write(*imagePath, *image.bytes) ? kSuccess : kFailure;
}

int ConvertAll(const fs::path& outDir, const std::vector<fs::path>& messages, bool json)
{
    std::error_code error;
    fs::create_directories(outDir, error);
    if (error) {
        Complain(outDir.string() + ": cannot be created: " + error.message());
        return kFailure;
    }
    bool allDone = true;
    // Messages of the same name from different folders would overwrite each other's report.
    std::map<fs::path, fs::path> written;
    for (const fs::path& messagePath : messages) {
        const fs::path stem = messagePath.stem();
        const auto [earlier, isNew] = written.emplace(stem, messagePath);
        if (!isNew) {
            Complain(messagePath.string() + ": skipped, its report name is taken by " +
                     earlier->second.string());
            allDone = false;
            continue;
        }
        const auto message = Read(messagePath);
        if (!message) {
            allDone = false;
            continue;
        }
        CapturedImage image;
        const std::string report = Convert(*message, image);
        const fs::path base = outDir / stem;
        allDone = Write(fs::path(base).concat(".txt"), AsBytes(report)) && allDone;
        if (json) {
            allDone = saltmark::cli::WriteJsonFile(fs::path(base).concat(".json"), messagePath,
                                                   *message) &&
                      allDone;
        }
        if (image.held()) {
            allDone = Write(fs::path(base).concat(".jpg"), *image.bytes) && allDone;
        }
    }
    return allDone ? kSuccess : kFailure;
}

}  // namespace

int main(int argc, char** argv)
{
#ifdef _WIN32
    // The report carries its own CR LF; the console must not add another CR.
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    Options options;
    if (const std::optional<int> done = ParseArguments(argc, argv, options)) {
        return *done;
    }
    if (options.outDir) {
        return ConvertAll(*options.outDir, options.messages, options.json);
    }
    if (options.csvType) {
        return saltmark::cli::WriteCsv(*saltmark::FindRecordDescription(options.csvType->string()),
                                       options.messages);
    }
    if (options.archive) {
        return saltmark::cli::ImportIntoArchive(*options.archive, options.messages);
    }
    if (options.json) {
        return saltmark::cli::WriteJsonLines(options.messages);
    }
    return ConvertOne(options.messages.front(), options.image);
}
