#pragma once
// saltmark-convert's data outputs: the decoded records as JSON, as a CSV table of one record
// type, or into a SQLite archive. Each returns the program's exit status (0 when every
// message was read and written, 1 otherwise) and names every problem on standard error.

#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "Records.h"

namespace saltmark::cli {

// The name a message goes by in the data: its file name, or "-" for standard input.
std::string MessageName(const std::filesystem::path& path);

// One JSON document per message on standard output, one line each (JSON Lines).
int WriteJsonLines(std::span<const std::filesystem::path> messages);

// The JSON document of one message's bytes into `path`; false when it cannot be written.
bool WriteJsonFile(const std::filesystem::path& path, const std::filesystem::path& messagePath,
                   std::span<const std::uint8_t> message);

// Every record of `type` in the messages as one CSV table on standard output.
int WriteCsv(const RecordDescription& type, std::span<const std::filesystem::path> messages);

// Imports the messages into the SQLite archive at `archive` (created if needed) and says on
// standard error how many were new.
int ImportIntoArchive(const std::filesystem::path& archive,
                      std::span<const std::filesystem::path> messages);

}  // namespace saltmark::cli
