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
// The schema (tables and columns, the keys that make two deliveries the same, the rules of a
// message's time, the version and application id, what opening an older or a foreign file
// does) is described once, in docs/converter.md ("The archive"); change it there with the code.
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

struct sqlite3;

namespace saltmark {
struct DecodedMessage;
struct DecodedRecord;
}

namespace saltmark::archive {

// "SltM": marks a SQLite file as this archive.
inline constexpr std::int32_t kApplicationId = 0x536C744D;
inline constexpr int kSchemaVersion = 7;

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
// A record's own moment from those fields (a PB200's), when it has them and they are valid.
std::optional<std::int64_t> RecordTime(const DecodedRecord& record);

// A time as the programs' --from and --to take it and the archive stores it: "2025-06-01",
// "2025-06-01T12:00:00Z" (UTC, a fraction of a second allowed and dropped), or seconds since
// 1970; nothing for anything else.
std::optional<std::int64_t> ParseUtcTime(const std::string& text);

struct Options {
    // How long a writer waits for another before giving up: minutes, so that importers and
    // the server take turns instead of failing.
    std::chrono::milliseconds busyTimeout = std::chrono::minutes(5);
    // SQLite's page cache in KiB; 0 keeps SQLite's default (2 MiB). A recomputation of every
    // flag writes all over a large table and wants the table's inner pages kept.
    std::int64_t cacheKiB = 0;
};

enum class Added { New, AlreadyThere, Failed };

// A message the open transaction added, as the writer decoded it: what the quality control's
// hook would otherwise read back from the archive.
struct NewMessage {
    std::int64_t id = 0;
    std::string buoy;                  // an IMEI, or kFilesBuoy
    std::optional<std::int64_t> time;  // seconds since 1970, as the messages' time column has it
    std::optional<DirectIpLocation> location;
    std::shared_ptr<const DecodedMessage> decoded;
};

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
    // Another hook after those set before (the alerts after the flags they read).
    void AddBeforeCommit(BeforeCommit hook);

    // One buoy's streams as the quality control reads them, seeing the open batch's rows;
    // with `afterMessage`, only those of its messages with a greater id (LastMessageId).
    std::optional<BuoyRows> ReadBuoy(const std::string& buoy,
                                     const std::vector<std::string>& streams,
                                     std::string& reason, std::int64_t afterMessage = 0);
    // The greatest message id, seeing the open batch; 0 in an empty archive.
    std::optional<std::int64_t> LastMessageId(std::string& reason);
    // What lets the quality control keep a buoy's rows and flags between transactions: a
    // value that changes when another connection commits (SQLite's data_version) and the
    // number of transactions this one rolled back; while both stay, what it read and wrote
    // is what the archive holds.
    std::optional<std::int64_t> DataVersion(std::string& reason);
    std::uint64_t RolledBack() const;
    // The messages the open transaction added so far, in the order they went in, while a
    // hook is set (for the hook: what it would otherwise read back).
    const std::vector<NewMessage>& NewMessages() const;
    // Replaces the flags of `flags.buoy` (all of them, or those of its messages whose time is
    // in `flags.range`) with `flags.streams`, in the open transaction, or in a batch it opens
    // that Commit commits.
    bool WriteFlags(const BuoyFlags& flags, std::string& reason);
    // Opens a batch (taking the write lock) when none is open, so that what is read next is
    // what the batch's flags are written over: no other writer commits until Commit.
    bool Begin(std::string& reason);
    // Writes those flags of `now` that differ from `before` (the flags written last for the
    // buoy by this configuration, whose keys begin `now`'s), in the open transaction.
    bool WriteFlagChanges(const BuoyFlags& now, const BuoyFlags& before, std::string& reason);

    // The connection, for the archive library's own extensions (ArchiveAlerts.h), on the
    // thread that uses this archive.
    sqlite3* Handle() const;

    struct Impl;

private:
    explicit Archive(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// The name a record type's table or a field's column has in the archive.
std::string ArchiveName(std::string_view name);

}  // namespace saltmark::archive
