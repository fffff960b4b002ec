#pragma once
// The archive of a buoy's messages: every delivery kept with its Iridium envelope, its decoded
// records and the best known time, in one SQLite file that saltmark-server and
// saltmark-convert --db write and any SQLite reader queries.
//
// A delivery is one arrival of a message: a DirectIP push from the gateway, or a file (a mail
// attachment, a message copied by hand). Two deliveries of the same bytes are two rows;
// the same delivery arriving again adds nothing. The caller decides when a message becomes
// visible: Store() commits one delivery before it returns (the server, before it confirms);
// Add() and Commit() import a batch in one transaction (the converter).
//
// Schema, version 4 (PRAGMA user_version = 4, PRAGMA application_id = kApplicationId, WAL):
//   messages
//     id             INTEGER PRIMARY KEY
//     file_name      the file's name; for a DirectIP delivery "<IMEI>_<MOMSN>.sbd", the name
//                    Iridium's mail gives the same message
//     size, bytes    the payload (the SBD message itself) and its length
//     packet_type, outcome ('complete' or 'stopped'), stop_reason, stop_offset
//                    what the decode of the payload found; a payload that does not decode is
//                    kept all the same, and its outcome says why
//     imported_at    when the row was written, UTC, "2025-12-07T09:33:20.123Z"
//     imei, momsn, mtmsn, cdr_reference, session_status, session_time
//                    the DirectIP MO header (session_time as "2025-12-07T09:33:20Z"); a file
//                    named "<IMEI>_<MOMSN>.sbd" gives imei and momsn only
//     iridium_latitude, iridium_longitude, iridium_cep_km
//                    the gateway's position estimate, decimal degrees, south and west negative
//     source         'directip' (pushed by the gateway) or 'file'
//     raw            the whole DirectIP message as received or read; NULL for a bare payload
//     received_at    when the delivery reached this side, UTC
//     time, time_source
//                    the best known time of the message, UTC ISO 8601, by the first rule that
//                    gives one:
//                      'session'  the DirectIP session time
//                      'record'   the first PB200 record whose Year, Month, Day and Seconds
//                                 of the day form a valid date (the logger writes -1 for an
//                                 unknown one, which does not)
//                      'file'     the file's modification time, only when the caller asks
//                                 for it (a mail attachment has no time of its own)
//                    else both NULL.
//     Rows of a version 1 archive have the envelope columns NULL, source 'file', and the time
//     their PB200 records state; their float32 values stay as that version stored them.
//   The same delivery, by unique indexes on messages:
//     with a DirectIP header (pushed, or a file in DirectIP framing): imei, momsn and
//       session_time; or imei and a non-zero cdr_reference
//     a file named "<IMEI>_<MOMSN>.sbd" (15 digits, '_', decimal MOMSN): imei, momsn and
//       bytes, since the 16-bit MOMSN wraps (version 2 had imei and momsn only)
//     any other file: file_name and bytes
//   One table per record type, named as the type with spaces as underscores (PB200, IMU,
//   Miscellaneous_values, ...): message_id, record (its index in the message), port,
//   byte_offset, size, then one column per scalar field (spaces as underscores: Image_size);
//   PB200 also has measured_at, its own Year/Month/Day/Seconds as UTC ISO text (NULL when they
//   form no valid date). One child table per array field, <Type>_<Field> (Y81000_Freq,
//   IMU_ihAz, ...): message_id, record, element, value. Record tables are keyed by
//   (message_id, record).
//   A float32 value is stored as the double nearest the shortest decimal that reads back as
//   the same float32, so SQL shows what CSV and JSON show and narrowing gives the same bits;
//   its columns have no declared type, which keeps -0.0; SQLite has no NaN, so a NaN is NULL.
//   Quality-control flags (QARTOD: 1 good, 2 not evaluated, 3 suspect, 4 fail, 9 missing):
//   qc_configs
//     id             INTEGER PRIMARY KEY
//     hash           the configuration's hash ("sha256:..." of its parsed form: comments and
//                    layout do not change it)
//     file_name      the configuration file as the program that flagged was given it
//     first_used_at  when flags of it were first written, UTC; (hash, file_name) is unique
//   qc_flags         keyed by (message_id, record, stream, test)
//     message_id     the message the value came in
//     record         the record's index in its message; -1 for the gateway's position
//                    estimate, which belongs to the envelope
//     stream         "PB200.WSMean" (the record type and field as the record descriptions
//                    name them), "position" (a record's own fix), "iridium_position"
//     test           "gross_range_test", "spike_test", ..., and "aggregate": the most severe
//                    flag of the value's tests (missing < not evaluated < good < suspect < fail)
//     flag           1, 2, 3, 4 or 9
//     config_id      the qc_configs row of the configuration that produced the flag
//   A buoy's flags are recomputed over its whole series whenever messages of it arrive, so
//   a late message or a new neighbour updates the flags around it.
//
// Opening: a new file gets the schema; a version 1 archive (the layout before envelopes, no
// user_version) and a version 2 or 3 one are upgraded in place in one transaction keeping every
// row; a newer version, a SQLite file of another application (another application_id, or none
// and no messages table), and an archive missing one of its tables are refused untouched.
//
// Concurrency: WAL, so readers never wait for a writer's transaction and see a message once
// committed (a reader still sets a busy timeout of a second or so, for the instant a writer
// resets the log); a writer waits up to Options::busyTimeout for another (importers, the
// server) and only then fails. synchronous=FULL: a committed delivery survives a crash or
// power loss. Each commit costs a sync of the log (a few milliseconds on a disk), so a server
// with many deliveries in flight may gather them into one batch (Add each, then Commit) and
// confirm every delivery the outcome does not name: it is as durable as after Store. An
// Archive object is used by one thread at a time; open one per thread, or serialise the calls.

#include <chrono>
#include <functional>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "DirectIp.h"
#include "QcRows.h"

namespace saltmark::archive {

// "SltM": marks a SQLite file as this archive.
inline constexpr std::int32_t kApplicationId = 0x536C744D;
inline constexpr int kSchemaVersion = 4;

// The IMEI and MOMSN a mail attachment's name "<IMEI>_<MOMSN>.sbd" carries.
struct AttachmentName {
    std::string imei;
    std::int64_t momsn = 0;
};
std::optional<AttachmentName> ParseAttachmentName(std::string_view fileName);

struct Delivery {
    enum class Source { DirectIp, File };
    Source source = Source::File;
    std::string fileName;
    std::vector<std::uint8_t> payload;     // the SBD message the decoder reads
    std::optional<DirectIpHeader> header;  // pushed, or a file in DirectIP framing
    std::optional<DirectIpLocation> location;
    std::optional<AttachmentName> attachment;  // a file named as Iridium's mail names it
    std::vector<std::uint8_t> raw;             // the DirectIP message; empty for a bare payload
    std::optional<std::int64_t> fileTime;      // seconds since 1970, used only when set
    std::int64_t receivedAt = 0;               // seconds since 1970; the factories say now
};

// A message the gateway pushed.
Delivery DeliveryFromDirectIp(const DirectIpMessage& message, std::vector<std::uint8_t> raw);
// A file: in DirectIP framing when its bytes parse as one whole MO message, else a bare
// payload; `fileTime` only when the file's modification time is to stand in for a time.
Delivery DeliveryFromFile(std::string fileName, std::vector<std::uint8_t> bytes,
                          std::optional<std::int64_t> fileTime = std::nullopt);

// The PB200 date as seconds since 1970 when Year, Month, Day and Seconds of the day form a
// valid UTC moment; nothing for the logger's -1 fill values or any other impossible date.
std::optional<std::int64_t> RecordTime(std::int64_t year, std::int64_t month, std::int64_t day,
                                       std::int64_t seconds);

struct Options {
    // How long a writer waits for another before giving up: minutes, so that importers and
    // the server take turns instead of failing.
    std::chrono::milliseconds busyTimeout = std::chrono::minutes(5);
    // SQLite's page cache in KiB; 0 keeps SQLite's default (2 MiB). A recomputation of every
    // flag writes all over a large table and wants the table's inner pages kept.
    std::int64_t cacheKiB = 0;
};

enum class Added { New, AlreadyThere, Failed };

// A delivery of a batch that is not in the archive, and why.
struct NotArchived {
    std::size_t index = 0;  // its position among the deliveries given since the last Commit
    std::string fileName;
    std::string reason;
};

// What became of the deliveries given since the last Commit; the three add up to them.
struct BatchOutcome {
    std::size_t added = 0;
    std::size_t alreadyThere = 0;
    std::vector<NotArchived> notArchived;
    // Flags written with WriteFlags outside the hook that did not commit, and why.
    std::optional<std::string> flagsNotWritten;
};

class Archive {
public:
    // Opens, creates or upgrades the archive at `path` (":memory:" for one in memory);
    // nothing with `reason` set to one line when it cannot or must not.
    static std::unique_ptr<Archive> Open(const std::filesystem::path& path, const Options& options,
                                         std::string& reason);
    ~Archive();  // rolls back a batch not committed
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    // Adds a delivery to the open batch. New means it will be added when the batch commits;
    // AlreadyThere may mean a row of this same batch, no more durable than the batch itself;
    // Failed sets `reason`. Commit's outcome has the final word on every delivery.
    Added Add(const Delivery& delivery, std::string& reason);

    // Commits the batch. When the commit (or a statement in the batch) fails, the batch is
    // tried again delivery by delivery, copies of one message included, so only deliveries
    // that cannot be stored are lost, and each of them is named in the outcome.
    BatchOutcome Commit();

    // One delivery, committed durably before it returns (commits an open batch first).
    Added Store(const Delivery& delivery, std::string& reason);

    // Quality control. Run inside each transaction that adds messages, just before it
    // commits, with the buoys (IMEI or kFilesBuoy) whose new messages it holds; it reads
    // with ReadBuoy and writes with WriteFlags, and a false return (with the reason) fails
    // the transaction, so that no message is committed without its flags.
    using BeforeCommit = std::function<bool(Archive& archive,
                                            const std::vector<std::string>& buoys,
                                            std::string& reason)>;
    void SetBeforeCommit(BeforeCommit hook);

    // One buoy's streams as the quality control reads them, seeing the open batch's rows.
    std::optional<BuoyRows> ReadBuoy(const std::string& buoy,
                                     const std::vector<std::string>& streams,
                                     std::string& reason);
    // Replaces the flags of `flags.buoy` (all of them, or those of its messages whose time is
    // in `flags.range`) with `flags.streams`, in the open transaction, or in a batch it opens
    // that Commit commits.
    bool WriteFlags(const BuoyFlags& flags, std::string& reason);

    struct Impl;

private:
    explicit Archive(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// The name a record type's table or a field's column has in the archive.
std::string ArchiveName(std::string_view name);

}  // namespace saltmark::archive
