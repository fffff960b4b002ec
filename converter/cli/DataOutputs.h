#pragma once
// saltmark-convert's data outputs: the decoded records as JSON, as a CSV table of one record
// type, or into a SQLite archive. Each returns the program's exit status (0 when every
// message was read and written, 1 otherwise) and names every problem on standard error.

#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Archive.h"
#include "Message.h"
#include "Records.h"

namespace saltmark::qc {
struct Config;
}

namespace saltmark::cli {

// The name a message goes by in the data: its file name, or "-" for standard input.
std::string MessageName(const std::filesystem::path& path);

// A message file as a delivery: the payload the decoder reads (a file in DirectIP framing is
// unwrapped) with its envelope and what its name says; nothing when it cannot be read, named
// on standard error. With `fileTime` its modification time is kept as a stand-in time.
std::optional<archive::Delivery> ReadDelivery(const std::filesystem::path& path,
                                              bool fileTime = false);

// A message of the run: its delivery (envelope, names, the payload as the archive takes it)
// and that payload decoded, once, for every output made of it.
struct InputMessage {
    archive::Delivery delivery;
    Message message;
};
std::optional<InputMessage> ReadInput(const std::filesystem::path& path);

// One JSON document per message on standard output, one line each (JSON Lines). With a
// quality-control configuration every flagged value carries its flags beside it.
int WriteJsonLines(std::span<const std::filesystem::path> messages,
                   const qc::Config* config = nullptr);

// The JSON document of one message into `path`; false when it cannot be written.
bool WriteJsonFile(const std::filesystem::path& path, const InputMessage& message);

// Every record of `type` in the messages as one CSV table on standard output, with each
// flagged value's flags in the columns after it when a configuration is given.
int WriteCsv(const RecordDescription& type, std::span<const std::filesystem::path> messages,
             const qc::Config* config = nullptr);

// Imports the messages into the SQLite archive at `archive` (created or upgraded if needed),
// in batches, names every message not archived on standard error and says how many were
// new, already there and not archived. With `fileTimes`, a message with no time of its own
// takes its file's modification time. `prepare`, when given, sees the archive once it is open
// (the quality control sets its hook there).
int ImportIntoArchive(const std::filesystem::path& archive,
                      std::span<const std::filesystem::path> messages, bool fileTimes,
                      const std::function<void(archive::Archive&)>& prepare = {});

}  // namespace saltmark::cli
