// saltmark-convert: the message converter for shells and batch jobs. The same report as the
// window, written to standard output or, for many messages at once, to a folder.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <iterator>
#include <map>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "ConvertMessage.h"
#include "DataOutputs.h"
#include "MessageFile.h"
#include "MessageInput.h"
#ifdef SALTMARK_HAVE_QC
#include "ArchiveQc.h"
#else
namespace saltmark::qc {
struct Config {};
}
#endif

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
    "       saltmark-convert --json [--qc CONFIG] MESSAGE.sbd...\n"
    "       saltmark-convert --csv TYPE [--qc CONFIG] MESSAGE.sbd...\n"
    "       saltmark-convert --db ARCHIVE.sqlite [--file-time mtime] [--qc CONFIG] MESSAGE.sbd...\n"
    "\n"
    "Converts Iridium SBD messages from an Orcan buoy into plain-text reports.\n"
    "\n"
    "With one message, the report goes to standard output as UTF-8 with its own CR LF line\n"
    "endings. With --out-dir, every message MESSAGE.sbd gives DIR/MESSAGE.txt and, when it\n"
    "carries a camera image, DIR/MESSAGE.jpg; unreadable messages are reported and skipped.\n"
    "A MESSAGE of '-' is read from standard input. A file in DirectIP framing (as the\n"
    "Iridium gateway pushes a message) is read as the message it carries.\n"
    "\n"
    "The decoded records as data:\n"
    "  --json         one JSON document per message, one per line on standard output; with\n"
    "                 --out-dir, DIR/MESSAGE.json beside each report\n"
    "  --csv TYPE     one CSV row per record of TYPE (PB200, Y81000, ... or its type code)\n"
    "                 in all the messages, on standard output\n"
    "  --db ARCHIVE   import the messages and their records into the SQLite archive ARCHIVE\n"
    "                 (created if needed); a delivery already there is not added again\n"
    "  --file-time mtime\n"
    "                 with --db: a message that states no time of its own is dated by its\n"
    "                 file's modification time\n"
    "  --qc CONFIG    flag the values by the quality-control configuration CONFIG (QARTOD\n"
    "                 tests, YAML): with --db each buoy the import adds to, over its whole\n"
    "                 series, in the transaction that adds its messages; with --csv and\n"
    "                 --json each buoy's messages of this run in time order, the flags\n"
    "                 beside each value (FIELD_qc_aggregate, FIELD_qc_TEST, position_qc_...)\n"
    "\n"
    "Options:\n"
    "  --image FILE   also write the camera image of the message to FILE (created or\n"
    "                 replaced); without an image in the message FILE is not created\n"
    "  --out-dir DIR  batch mode: write the reports and images into DIR (created if needed);\n"
    "                 an image left there by an earlier run of a message that now carries\n"
    "                 none is removed\n"
    "  --help         show this help and exit\n"
    "  --version      show the version and exit\n"
    "\n"
    "No output ever replaces a message of the same run: such a run is refused before\n"
    "anything is written.\n"
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
    std::optional<fs::path> fileTime;
    std::optional<fs::path> qc;
    std::vector<fs::path> messages;
};

void Complain(const std::string& line) { std::fprintf(stderr, "%s: %s\n", kProgram, line.c_str()); }

// An argument as shown in a message: quoted, and cut so that a runaway one cannot flood the
// terminal.
std::string Quoted(std::string_view text)
{
    constexpr std::size_t kLongest = 40;
    if (text.size() <= kLongest) {
        return "'" + std::string(text) + "'";
    }
    std::size_t keep = kLongest - 3;
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) {
        --keep;  // never cut a UTF-8 character in two
    }
    return "'" + std::string(text.substr(0, keep)) + "...'";
}

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
        // The names as the archive's tables spell them, which need no quotes in a shell.
        std::string names;
        for (const saltmark::RecordDescription& description : saltmark::RecordDescriptions()) {
            std::string name(description.typeName);
            std::replace(name.begin(), name.end(), ' ', '_');
            names += (names.empty() ? "" : ", ") + name;
        }
        return UsageError("--csv: no record type " + Quoted(options.csvType->string()) +
                          "; the types are " + names + " (or their codes 0 to " +
                          std::to_string(saltmark::RecordDescriptions().size() - 1) + ")");
    }
    return std::nullopt;
}

// Parses the arguments into `options`; gives an exit status when the program is done already
// (help, version, wrong usage).
std::optional<int> ParseArguments(int argc, char** argv, Options& options)
{
    // --help and --version answer whatever else is given, up to a "--" after which every
    // argument is a message.
    for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kSuccess;
        }
        if (arg == "--version") {
            std::printf("%s (Saltmark) %s\n", kProgram, ORCAN_VERSION);
            return kSuccess;
        }
    }
    CLI::App app;
    app.set_help_flag();
    app.allow_extras();
    app.add_flag("--json", options.json);
    // Each value option is taken as often as it is given, so that twice is told as such.
    const std::pair<const char*, std::optional<fs::path>*> valueOptions[] = {
        {"--image", &options.image},     {"--out-dir", &options.outDir},
        {"--csv", &options.csvType},     {"--db", &options.archive},
        {"--file-time", &options.fileTime}, {"--qc", &options.qc},
    };
    std::vector<std::string> values[std::size(valueOptions)];
    for (std::size_t i = 0; i < std::size(valueOptions); ++i) {
        app.add_option(valueOptions[i].first, values[i])->allow_extra_args(false);
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch& error) {
        const std::string what = error.what();
        return UsageError(what.substr(0, what.find(':')) + " needs a value");
    } catch (const CLI::ConversionError&) {
        return UsageError("--json takes no value");
    } catch (const CLI::ParseError& error) {
        return UsageError(error.what());
    }
    // The messages are what no option took, in their order.
    bool optionsEnded = false;
    for (const std::string& extra : app.remaining()) {
        if (!optionsEnded && extra == "--") {
            optionsEnded = true;
            continue;
        }
        // A lone "-" is standard input; anything else that starts with one is an option.
        if (!optionsEnded && extra.size() > 1 && extra.front() == '-') {
            return UsageError("unknown option " + Quoted(extra));
        }
        options.messages.emplace_back(extra);
    }
    for (std::size_t i = 0; i < std::size(valueOptions); ++i) {
        const std::string name = valueOptions[i].first;
        if (values[i].size() > 1) {
            return UsageError(name + " given twice");
        }
        if (values[i].size() == 1 && values[i].front().empty()) {
            return UsageError(name + " needs a non-empty value");
        }
        if (values[i].size() == 1) {
            *valueOptions[i].second = fs::path(values[i].front());
        }
    }
    if (options.messages.empty()) {
        return UsageError("no message file given");
    }
    if (options.fileTime && (*options.fileTime != "mtime" || !options.archive)) {
        return UsageError("--file-time takes 'mtime' and goes with --db");
    }
    if (options.qc && !options.archive && !options.csvType && !(options.json && !options.outDir)) {
        return UsageError("--qc goes with --db, --csv or --json");
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

bool Write(const fs::path& path, std::span<const std::uint8_t> bytes)
{
    std::string reason;
    if (!saltmark::cli::WriteWholeFile(path, bytes, reason)) {
        Complain(path.string() + ": cannot be written: " + reason);
        return false;
    }
    return true;
}

std::span<const std::uint8_t> AsBytes(const std::string& text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// True when no output is one of the messages, however either path is spelled or linked;
// otherwise names every such pair on standard error. Runs before anything is written, so that
// a refused run leaves every file as it was.
bool OutputsSpareMessages(const std::vector<fs::path>& outputs,
                          const std::vector<fs::path>& messages)
{
    saltmark::cli::CFileIdentities inputs;
    for (const fs::path& message : messages) {
        inputs.Add(message);
    }
    bool spared = true;
    for (const fs::path& output : outputs) {
        if (const std::optional<fs::path> message = inputs.Find(output)) {
            Complain(output.string() + " would replace the message " + message->string() +
                     "; nothing written");
            spared = false;
        }
    }
    return spared;
}

int ConvertOne(const fs::path& messagePath, const std::optional<fs::path>& imagePath)
{
    if (imagePath && !OutputsSpareMessages({*imagePath}, {messagePath})) {
        return kFailure;
    }
    const auto input = saltmark::cli::ReadInput(messagePath);
    if (!input) {
        return kFailure;
    }
    const std::string report = saltmark::ToUtf8(input->message.Report());
    errno = 0;
    std::fwrite(report.data(), 1, report.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Complain(std::string("standard output: cannot be written: ") +
                 std::strerror(errno != 0 ? errno : EIO));
        return kFailure;
    }
    if (!imagePath) {
        return kSuccess;
    }
    const CapturedImage image = input->message.Image();
    if (!image.held()) {
        Complain(messagePath.string() + ": no camera image in this message; " +
                 imagePath->string() + " not written");
        return kSuccess;
    }
    return Write(*imagePath, *image.bytes) ? kSuccess : kFailure;
}

// In batch mode the folder holds, for each message, its report and only if it carries one its
// image: an image of the same name from an earlier run would pass for this message's.
bool RemoveLeftoverImage(const fs::path& imagePath, const fs::path& messagePath)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(imagePath, error);
    if (!fs::exists(status)) {
        return true;
    }
    if (fs::is_directory(status) || !fs::remove(imagePath, error)) {
        Complain(imagePath.string() +
                 ": cannot be removed: " + (error ? error.message() : "is a directory") + "; " +
                 messagePath.string() + " carries no camera image");
        return false;
    }
    Complain(imagePath.string() + ": removed, an image of an earlier run; " + messagePath.string() +
             " carries no camera image");
    return true;
}

// The name of a message's outputs: its file name without the extension; standard input's
// are named "stdin".
fs::path OutputStem(const fs::path& messagePath)
{
    return messagePath == "-" ? fs::path("stdin") : messagePath.stem();
}

fs::path OutputPath(const fs::path& outDir, const fs::path& messagePath, const char* extension)
{
    return (outDir / OutputStem(messagePath)).concat(extension);
}

int ConvertAll(const fs::path& outDir, const std::vector<fs::path>& messages, bool json)
{
    std::vector<fs::path> outputs;
    std::set<fs::path> stems;  // a message whose name is taken is skipped, it writes nothing
    for (const fs::path& messagePath : messages) {
        if (stems.insert(OutputStem(messagePath)).second) {
            outputs.push_back(OutputPath(outDir, messagePath, ".txt"));
            outputs.push_back(OutputPath(outDir, messagePath, ".jpg"));
            if (json) {
                outputs.push_back(OutputPath(outDir, messagePath, ".json"));
            }
        }
    }
    if (!OutputsSpareMessages(outputs, messages)) {
        return kFailure;
    }
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
        const auto [earlier, isNew] = written.emplace(OutputStem(messagePath), messagePath);
        if (!isNew) {
            Complain(messagePath.string() + ": skipped, its report name is taken by " +
                     earlier->second.string());
            allDone = false;
            continue;
        }
        const auto input = saltmark::cli::ReadInput(messagePath);
        if (!input) {
            allDone = false;
            continue;
        }
        // Report, image and JSON all come from the one decode of the message.
        const std::string report = saltmark::ToUtf8(input->message.Report());
        const CapturedImage image = input->message.Image();
        allDone = Write(OutputPath(outDir, messagePath, ".txt"), AsBytes(report)) && allDone;
        if (json) {
            allDone =
                saltmark::cli::WriteJsonFile(OutputPath(outDir, messagePath, ".json"), *input) &&
                allDone;
        }
        const fs::path imagePath = OutputPath(outDir, messagePath, ".jpg");
        allDone = (image.held() ? Write(imagePath, *image.bytes)
                                : RemoveLeftoverImage(imagePath, messagePath)) &&
                  allDone;
    }
    return allDone ? kSuccess : kFailure;
}

int Run(int argc, char** argv)
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
    if (options.archive && !OutputsSpareMessages({*options.archive}, options.messages)) {
        return kFailure;
    }
    // The whole configuration is checked before any message is read or the archive touched.
    std::optional<saltmark::qc::Config> config;
    if (options.qc) {
#ifdef SALTMARK_HAVE_QC
        try {
            config = saltmark::archive::LoadQcConfig(*options.qc);
        } catch (const saltmark::qc::ConfigError& error) {
            Complain(error.what());
            return kUsage;
        }
#else
        return UsageError("--qc: this build has no quality control (yaml-cpp, GeographicLib)");
#endif
    }
    const saltmark::qc::Config* qcConfig = config ? &*config : nullptr;
    if (options.csvType) {
        return saltmark::cli::WriteCsv(*saltmark::FindRecordDescription(options.csvType->string()),
                                       options.messages, qcConfig);
    }
    if (options.archive) {
        std::function<void(saltmark::archive::Archive&)> prepare;
#ifdef SALTMARK_HAVE_QC
        if (config) {
            prepare = [qcConfig](saltmark::archive::Archive& archive) {
                saltmark::archive::FlagOnCommit(archive, *qcConfig);
            };
        }
#endif
        return saltmark::cli::ImportIntoArchive(*options.archive, options.messages,
                                                options.fileTime.has_value(), prepare);
    }
    if (options.json) {
        return saltmark::cli::WriteJsonLines(options.messages, qcConfig);
    }
    return ConvertOne(options.messages.front(), options.image);
}

}  // namespace

int main(int argc, char** argv)
{
    // Every failure the program foresees is a line naming the file; this is the net under them.
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        Complain("out of memory");
    } catch (const std::exception& failure) {
        Complain(failure.what());
    }
    return kFailure;
}
