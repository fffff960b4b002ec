#include "DataOutputs.h"

#include <chrono>
#include <cstdio>

#include "MessageFile.h"
#include "MessageInput.h"
#include "MessageJson.h"
#include "RecordTable.h"
#ifdef SALTMARK_HAVE_QC
#include "InvocationFlags.h"
#endif

namespace saltmark::cli {

namespace {

namespace fs = std::filesystem;

void Complain(const std::string& line)
{
    std::fprintf(stderr, "saltmark-convert: %s\n", line.c_str());
}

// Large enough that a batch costs one sync of the log, small enough that a long import shows
// its progress to the archive's readers.
constexpr std::size_t kMessagesPerBatch = 1000;

// Another importer or the server may hold the archive a while; an import waits its turn.
constexpr std::chrono::minutes kImportBusyTimeout{10};

std::optional<std::int64_t> ModificationTime(const fs::path& path)
{
    std::error_code error;
    const auto written = fs::last_write_time(path, error);
    if (error) {
        return std::nullopt;
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::file_clock::to_sys(written).time_since_epoch())
        .count();
}

bool WriteStandardOutput(const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        Complain("cannot write to standard output");
        return false;
    }
    return true;
}

}  // namespace

std::string MessageName(const fs::path& path)
{
    return path == kStandardInput ? std::string(kStandardInput) : path.filename().string();
}

std::optional<archive::Delivery> ReadDelivery(const fs::path& path, bool fileTime)
{
    std::string reason;
    auto bytes = ReadMessageInput(path, reason);
    if (!bytes) {
        Complain(path.string() + ": " + reason);
        return std::nullopt;
    }
    const bool file = path != kStandardInput;
    return archive::DeliveryFromFile(MessageName(path), std::move(*bytes),
                                     fileTime && file ? ModificationTime(path) : std::nullopt);
}

std::optional<InputMessage> ReadInput(const fs::path& path)
{
    auto delivery = ReadDelivery(path);
    if (!delivery) {
        return std::nullopt;
    }
    Message message(delivery->payload);
    return InputMessage{std::move(*delivery), std::move(message)};
}

namespace {

std::string JsonText(const InputMessage& input)
{
    const archive::Delivery& delivery = input.delivery;
    return input.message.JsonText(delivery.fileName, delivery.header ? &*delivery.header : nullptr,
                                  delivery.location ? &*delivery.location : nullptr);
}

// Every message readable, in their order; `allRead` false when one was not.
std::vector<InputMessage> ReadAll(std::span<const fs::path> paths, bool& allRead)
{
    std::vector<InputMessage> inputs;
    for (const fs::path& path : paths) {
        if (auto input = ReadInput(path)) {
            inputs.push_back(std::move(*input));
        } else {
            allRead = false;
        }
    }
    return inputs;
}

#ifdef SALTMARK_HAVE_QC
// A value's flags as a JSON object: {"aggregate": 1, "gross_range_test": 1, ...}.
nlohmann::ordered_json FlagsJson(const std::vector<std::string>& tests,
                                 const std::vector<std::uint8_t>& flags)
{
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < tests.size(); ++i) {
        object[tests[i]] = flags[i];
    }
    return object;
}

// The message's document with "<Field>_qc" beside each flagged field, "position_qc" on each
// record whose fix was tested and "iridium_position_qc" on the gateway's position.
std::string FlaggedJsonText(const InputMessage& input, std::size_t index,
                            const InvocationFlags& flags)
{
    using Json = nlohmann::ordered_json;
    const archive::Delivery& delivery = input.delivery;
    Json document = MessageJson(input.message.Decoded(), delivery.fileName);
    if (delivery.header) {
        document["directip"] =
            DirectIpJson(*delivery.header, delivery.location ? &*delivery.location : nullptr);
    }
    const DecodedMessage& decoded = input.message.Decoded();
    for (std::size_t r = 0; r < decoded.records.size(); ++r) {
        const DecodedRecord& record = decoded.records[r];
        const auto recordIndex = static_cast<std::int32_t>(r);
        Json& recordJson = document["records"][r];
        Json fields = Json::object();
        for (auto& [name, value] : recordJson["fields"].items()) {
            fields[name] = std::move(value);
            const RecordField* field = record.Find(name);
            const std::optional<std::string> stream =
                field ? StreamOf(record, *field) : std::nullopt;
            if (stream) {
                if (const auto* found = flags.Find(index, recordIndex, *stream)) {
                    fields[name + "_qc"] = FlagsJson(flags.Tests(*stream), *found);
                }
            }
        }
        recordJson["fields"] = std::move(fields);
        if (const auto* found = flags.Find(index, recordIndex, qc::kPositionStream)) {
            recordJson["position_qc"] =
                FlagsJson(flags.Tests(qc::kPositionStream), *found);
        }
    }
    if (const auto* found = flags.Find(index, -1, qc::kIridiumPositionStream)) {
        document["iridium_position_qc"] = FlagsJson(flags.Tests(qc::kIridiumPositionStream), *found);
    }
    return DumpJsonLine(document);
}

std::optional<InvocationFlags> FlagsOf(const qc::Config& config,
                                       std::span<const InputMessage> inputs)
{
    std::string reason;
    auto flags = InvocationFlags::Compute(config, inputs, reason);
    if (!flags) {
        Complain("quality control: " + reason);
    }
    return flags;
}
#endif

}  // namespace

int WriteJsonLines(std::span<const fs::path> messages, const qc::Config* config)
{
    bool allDone = true;
    if (config == nullptr) {
        // One message at a time: a long run holds no more than one in memory.
        for (const fs::path& path : messages) {
            const auto input = ReadInput(path);
            if (!input) {
                allDone = false;
                continue;
            }
            if (!WriteStandardOutput(JsonText(*input))) {
                return 1;
            }
        }
        return allDone ? 0 : 1;
    }
#ifdef SALTMARK_HAVE_QC
    // The flags need every message of a buoy before the first is written.
    const std::vector<InputMessage> inputs = ReadAll(messages, allDone);
    const std::optional<InvocationFlags> flags = FlagsOf(*config, inputs);
    if (!flags) {
        return 1;
    }
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        if (!WriteStandardOutput(FlaggedJsonText(inputs[i], i, *flags))) {
            return 1;
        }
    }
#endif
    return allDone ? 0 : 1;
}

bool WriteJsonFile(const fs::path& path, const InputMessage& message)
{
    const std::string json = JsonText(message);
    std::string reason;
    if (!WriteWholeFile(path, {reinterpret_cast<const std::uint8_t*>(json.data()), json.size()},
                        reason)) {
        Complain(path.string() + ": cannot be written: " + reason);
        return false;
    }
    return true;
}

int WriteCsv(const RecordDescription& type, std::span<const fs::path> messages,
             const qc::Config* config)
{
    bool allDone = true;
    const std::vector<InputMessage> inputs = ReadAll(messages, allDone);
    RecordTable table(type);
#ifdef SALTMARK_HAVE_QC
    std::optional<InvocationFlags> flags;
    if (config != nullptr) {
        flags = FlagsOf(*config, inputs);
        if (!flags) {
            return 1;
        }
        table.SetFlags(&*flags);
    }
#else
    (void)config;
#endif
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        table.Add(inputs[i].delivery.fileName, inputs[i].message.Decoded(), i);
    }
    return WriteStandardOutput(table.Csv()) && allDone ? 0 : 1;
}

int ImportIntoArchive(const fs::path& archivePath, std::span<const fs::path> messages,
                      bool fileTimes, const std::function<void(archive::Archive&)>& prepare)
{
    std::string reason;
    const std::unique_ptr<archive::Archive> store =
        archive::Archive::Open(archivePath, {.busyTimeout = kImportBusyTimeout}, reason);
    if (!store) {
        Complain(archivePath.string() + ": cannot be opened as an archive: " + reason);
        return 1;
    }
    if (prepare) {
        prepare(*store);
    }
    std::size_t added = 0;
    std::size_t known = 0;
    std::size_t lost = 0;
    std::vector<const fs::path*> batch;  // by position in the batch, for naming
    auto commit = [&] {
        const archive::BatchOutcome outcome = store->Commit();
        added += outcome.added;
        known += outcome.alreadyThere;
        lost += outcome.notArchived.size();
        for (const archive::NotArchived& missing : outcome.notArchived) {
            Complain(batch[missing.index]->string() + ": not archived: " + missing.reason);
        }
        batch.clear();
    };
    for (const fs::path& path : messages) {
        const auto message = ReadDelivery(path, fileTimes);
        if (!message) {
            ++lost;
            continue;
        }
        batch.push_back(&path);
        store->Add(*message, reason);  // Commit's outcome names it if it fails
        if (batch.size() >= kMessagesPerBatch) {
            commit();
        }
    }
    commit();
    std::fprintf(stderr,
                 "saltmark-convert: %zu new messages archived, %zu already there, %zu not "
                 "archived\n",
                 added, known, lost);
    return lost == 0 ? 0 : 1;
}

}  // namespace saltmark::cli
