#include "DataOutputs.h"

#include <chrono>
#include <cstdio>

#include "MessageFile.h"
#include "MessageInput.h"
#include "MessageJson.h"
#include "RecordTable.h"

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

// Files over 1 MiB are refused when read, so the count fits the decoder's signed count.
std::int32_t Count(std::span<const std::uint8_t> message)
{
    return static_cast<std::int32_t>(message.size());
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

std::string JsonText(const archive::Delivery& message)
{
    return MessageJsonText(message.payload.data(), Count(message.payload), message.fileName,
                           message.header ? &*message.header : nullptr,
                           message.location ? &*message.location : nullptr);
}

int WriteJsonLines(std::span<const fs::path> messages)
{
    bool allDone = true;
    for (const fs::path& path : messages) {
        const auto message = ReadDelivery(path);
        if (!message) {
            allDone = false;
            continue;
        }
        if (!WriteStandardOutput(JsonText(*message))) {
            return 1;
        }
    }
    return allDone ? 0 : 1;
}

bool WriteJsonFile(const fs::path& path, const archive::Delivery& message)
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

int WriteCsv(const RecordDescription& type, std::span<const fs::path> messages)
{
    bool allDone = true;
    RecordTable table(type);
    for (const fs::path& path : messages) {
        const auto message = ReadDelivery(path);
        if (!message) {
            allDone = false;
            continue;
        }
        table.Add(MessageName(path),
                  DecodeMessage(message->payload.data(), Count(message->payload)));
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
