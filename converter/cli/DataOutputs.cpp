#include "DataOutputs.h"

#include <cstdio>

#include "MessageFile.h"
#include "MessageInput.h"
#include "MessageJson.h"
#include "RecordArchive.h"
#include "RecordTable.h"

namespace saltmark::cli {

namespace {

namespace fs = std::filesystem;

void Complain(const std::string& line)
{
    std::fprintf(stderr, "saltmark-convert: %s\n", line.c_str());
}

std::optional<std::vector<std::uint8_t>> Read(const fs::path& path)
{
    std::string reason;
    auto bytes = ReadMessageInput(path, reason);
    if (!bytes) {
        Complain(path.string() + ": " + reason);
    }
    return bytes;
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

int WriteJsonLines(std::span<const fs::path> messages)
{
    bool allDone = true;
    for (const fs::path& path : messages) {
        const auto message = Read(path);
        if (!message) {
            allDone = false;
            continue;
        }
        if (!WriteStandardOutput(
                MessageJsonText(message->data(), Count(*message), MessageName(path)))) {
            return 1;
        }
    }
    return allDone ? 0 : 1;
}

bool WriteJsonFile(const fs::path& path, const fs::path& messagePath,
                   std::span<const std::uint8_t> message)
{
    const std::string json =
        MessageJsonText(message.data(), Count(message), MessageName(messagePath));
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
        const auto message = Read(path);
        if (!message) {
            allDone = false;
            continue;
        }
        table.Add(MessageName(path), DecodeMessage(message->data(), Count(*message)));
    }
    return WriteStandardOutput(table.Csv()) && allDone ? 0 : 1;
}

int ImportIntoArchive(const fs::path& archivePath, std::span<const fs::path> messages)
{
    std::string reason;
    std::unique_ptr<RecordArchive> archive = RecordArchive::Open(archivePath, reason);
    if (!archive) {
        Complain(archivePath.string() + ": cannot be opened as an archive: " + reason);
        return 1;
    }
    bool allDone = true;
    std::size_t added = 0;
    std::size_t known = 0;
    for (const fs::path& path : messages) {
        const auto message = Read(path);
        if (!message) {
            allDone = false;
            continue;
        }
        switch (archive->Add(MessageName(path), *message, reason)) {
            case RecordArchive::Added::New:
                ++added;
                break;
            case RecordArchive::Added::AlreadyThere:
                ++known;
                break;
            case RecordArchive::Added::Failed:
                Complain(path.string() + ": not archived: " + reason);
                allDone = false;
                break;
        }
    }
    if (!archive->Commit(reason)) {
        Complain(archivePath.string() + ": cannot be written: " + reason);
        return 1;
    }
    std::fprintf(stderr, "saltmark-convert: %zu new messages archived, %zu already there\n", added,
                 known);
    return allDone ? 0 : 1;
}

}  // namespace saltmark::cli
