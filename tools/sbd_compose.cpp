// sbd-compose: plays the buoy's logger at the end of a burst. It narrows eddyRate's outputs
// to single precision, packs them into a Y81000 record and writes an SBD message with it and
// any other records it is given, in the order given. It also takes a message made elsewhere,
// to wrap it as the gateway pushes it.

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <iostream>
#include <iterator>
#include <vector>

#include "cli.h"
#include "directip.h"
#include "message.h"

namespace {

constexpr std::string_view kProgram = "sbd-compose";
constexpr std::uint64_t kDefaultPort = 1;

constexpr std::string_view kUsage = R"(Usage: sbd-compose -o MESSAGE.sbd [--port N] RECORD...
       sbd-compose -o MESSAGE.sbd --message FILE --directip ENVELOPE

Writes one SBD message (packet type 55) holding the records below, in the order given.

Records:
  --y81000 FILE   Y81000 record (type 11, 964 bytes) from the JSON that
                  'eddyrate-run --json' prints; every output narrowed to single
                  precision. '-' reads standard input.
  --camera FILE   camera record (type 7) carrying the file's bytes (at most 65535)
  --record FILE   ready-made records, appended verbatim (not a whole message:
                  a .sbd file is refused; give it with --message)
Options:
  --message FILE  an existing SBD message, taken as it is instead of records
  --port N        COM port number written into the records that follow (default 1)
  --directip IMEI,MOMSN,TIME[,LAT,LON,CEP]
                  wrap the message as the Iridium gateway pushes it (DirectIP MO):
                  TIME in seconds since 1970 or as 2025-12-07T09:33:20Z, the
                  optional position in decimal degrees with its CEP radius in km
  -o FILE         the message file to write
  --help          show this text
  --version       show the version

Exit status: 0 when the message was written, 1 when an input cannot be used or the
message cannot be written, 2 for wrong usage.
)";

std::optional<Bytes> y81000FromJson(const std::string& path, std::uint8_t port, std::string& error)
{
    const std::optional<std::string> json = readFile(path, error);
    if (!json) {
        return std::nullopt;
    }
    const std::optional<EddyRateOutputs> outputs = outputsFromJson(*json, error);
    if (!outputs) {
        error = path + ": " + error;
        return std::nullopt;
    }
    return y81000Record(*outputs, port);
}

std::optional<Bytes> cameraFromFile(const std::string& path, std::uint8_t port, std::string& error)
{
    const std::optional<std::string> image = readFile(path, error);
    if (!image) {
        return std::nullopt;
    }
    std::optional<Bytes> record = cameraRecord(Bytes(image->begin(), image->end()), port);
    if (!record) {
        error = path + ": an image of more than 65535 bytes does not fit a camera record";
    }
    return record;
}

// A whole message appended as records would put a second packet type in the middle of the
// message, and the converter would read a record that is not there.
bool namesAMessage(std::string_view path)
{
    if (path.size() < 4) {
        return false;
    }
    std::string suffix(path.substr(path.size() - 4));
    std::transform(suffix.begin(), suffix.end(), suffix.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return suffix == ".sbd";
}

std::optional<Bytes> messageFromFile(const std::string& path, std::string& error)
{
    const std::optional<std::string> raw = readFile(path, error);
    if (!raw) {
        return std::nullopt;
    }
    if (raw->empty() || static_cast<std::uint8_t>(raw->front()) != kPacketType) {
        error = path + ": not an SBD message (it does not open with packet type 55)";
        return std::nullopt;
    }
    return Bytes(raw->begin(), raw->end());
}

std::optional<Bytes> verbatimFromFile(const std::string& path, std::uint8_t /*port*/,
                                      std::string& error)
{
    const std::optional<std::string> raw = readFile(path, error);
    if (!raw) {
        return std::nullopt;
    }
    return Bytes(raw->begin(), raw->end());
}

struct RecordOption {
    std::string_view name;
    std::optional<Bytes> (*make)(const std::string& path, std::uint8_t port, std::string& error);
};

constexpr RecordOption kRecordOptions[] = {
    {"--y81000", y81000FromJson},
    {"--camera", cameraFromFile},
    {"--record", verbatimFromFile},
};

int run(int argc, char** argv)
{
    CLI::App app;
    const auto last = CLI::MultiOptionPolicy::TakeLast;
    std::string outputPath;
    std::string envelope;
    std::string messagePath;
    app.add_option("-o", outputPath)->multi_option_policy(last);
    app.add_option("--message", messagePath)->multi_option_policy(last);
    app.add_option("--directip", envelope)->multi_option_policy(last);
    // --port and the records are taken in the order given: a port applies to the records
    // after it.
    std::vector<std::string> ports;
    CLI::Option* portOption = app.add_option("--port", ports)->allow_extra_args(false);
    std::vector<std::vector<std::string>> paths(std::size(kRecordOptions));
    std::vector<const CLI::Option*> recordOptions;
    for (std::size_t i = 0; i < std::size(kRecordOptions); ++i) {
        recordOptions.push_back(
            app.add_option(std::string(kRecordOptions[i].name), paths[i])->allow_extra_args(false));
    }
    if (const std::optional<int> done = parseCommandLine(app, kProgram, kUsage, argc, argv)) {
        return *done;
    }

    std::uint64_t port = kDefaultPort;
    std::size_t portsTaken = 0;
    std::vector<std::size_t> pathsTaken(std::size(kRecordOptions), 0);
    std::vector<Bytes> records;
    for (const CLI::Option* given : app.parse_order()) {
        if (given == portOption) {
            if (const std::optional<std::string> bad = takeNumber(ports[portsTaken++], port)) {
                return usageError(kProgram, *bad);
            }
            if (port > 255) {
                return usageError(kProgram, "a port number is 0 to 255");
            }
            continue;
        }
        const auto record = std::find(recordOptions.begin(), recordOptions.end(), given);
        if (record == recordOptions.end()) {
            continue;
        }
        const auto kind = static_cast<std::size_t>(record - recordOptions.begin());
        const std::string& path = paths[kind][pathsTaken[kind]++];
        if (kRecordOptions[kind].make == verbatimFromFile && namesAMessage(path)) {
            return usageError(kProgram, orcan::bursts::quoted(path) +
                                            " is a whole message, not records: give it with "
                                            "--message");
        }
        std::string error;
        std::optional<Bytes> made =
            kRecordOptions[kind].make(path, static_cast<std::uint8_t>(port), error);
        if (!made) {
            return inputError(kProgram, error);
        }
        records.push_back(std::move(*made));
    }
    if (outputPath.empty()) {
        return usageError(kProgram, "no message file given (-o)");
    }
    if (!messagePath.empty() && !records.empty()) {
        return usageError(kProgram, "--message takes a whole message; records cannot be added");
    }
    if (messagePath.empty() && records.empty()) {
        return usageError(kProgram, "no records given");
    }

    Bytes message;
    if (messagePath.empty()) {
        message = composeMessage(records);
    } else {
        std::string error;
        std::optional<Bytes> read = messageFromFile(messagePath, error);
        if (!read) {
            return inputError(kProgram, error);
        }
        message = std::move(*read);
    }
    if (!envelope.empty()) {
        std::string error;
        std::optional<Bytes> framed = directIpMessage(envelope, message, error);
        if (!framed) {
            return usageError(kProgram, error);
        }
        message = std::move(*framed);
    }
    OutputFile out;
    std::string error;
    if (!out.open(outputPath, error)) {
        return inputError(kProgram, error);
    }
    out.stream().write(reinterpret_cast<const char*>(message.data()),
                       static_cast<std::streamsize>(message.size()));
    return out.close(error) ? 0 : inputError(kProgram, error);
}

}  // namespace

int main(int argc, char** argv) { return runTool(kProgram, run, argc, argv); }
