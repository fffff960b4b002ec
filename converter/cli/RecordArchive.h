#pragma once
// A SQLite archive of decoded messages.
//
// Tables:
//   messages(id, file_name, size, bytes, packet_type, outcome, stop_reason, stop_offset,
//            imported_at)
//     bytes is the message itself (UNIQUE: importing the same message again adds nothing),
//     so the archive can be decoded again later; outcome is 'complete' or 'stopped', with the
//     reason line and the byte offset where the decode stopped; imported_at is UTC, ISO 8601.
//   one table per record type, named as the type with spaces as underscores (PB200, IMU,
//   Miscellaneous_values, ...): message_id, record (its index in the message), port,
//   byte_offset, size, then one column per scalar field (spaces as underscores: Image_size).
//   one child table per array field, <Type>_<Field> (Y81000_Freq, IMU_ihAz, ...):
//   message_id, record, element, value.
// Every record table is keyed by (message_id, record), so lookups by message use that index.
// float32 values are stored as reals (widened exactly) in columns without a declared type, so
// that SQLite keeps -0.0 (a REAL column would store it as the integer 0); SQLite has no NaN,
// so a NaN is NULL.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct sqlite3;

namespace saltmark::cli {

class RecordArchive {
public:
    // Opens or creates the archive; nothing with `reason` set when it cannot.
    static std::unique_ptr<RecordArchive> Open(const std::filesystem::path& path,
                                               std::string& reason);
    ~RecordArchive();
    RecordArchive(const RecordArchive&) = delete;
    RecordArchive& operator=(const RecordArchive&) = delete;

    enum class Added { New, AlreadyThere, Failed };

    // Decodes the message and stores it with its records. Messages are committed in batches;
    // a failure rolls its own message back and sets `reason`.
    Added Add(std::string_view fileName, std::span<const std::uint8_t> message,
              std::string& reason);

    // Commits what was added; false with `reason` set when it cannot.
    bool Commit(std::string& reason);

private:
    struct Statements;
    RecordArchive(sqlite3* db, std::unique_ptr<Statements> statements);

    sqlite3* m_pDb;
    std::unique_ptr<Statements> m_statements;
    int m_nPending = 0;
};

// The name a record type's table or field column has in the archive.
std::string ArchiveName(std::string_view name);

}  // namespace saltmark::cli
