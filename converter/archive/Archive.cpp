#include "Archive.h"

#include <sqlite3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <chrono>
#include <set>
#include <thread>
#include <utility>

#include "AlertTables.h"
#include "QcTables.h"
#include "Records.h"
#include "Sqlite.h"

namespace saltmark::archive {

namespace {

constexpr std::string_view kPb200 = "PB200";

using namespace sqlite;

// A float32 column has no declared type: a REAL column keeps an integral value as an integer
// and so turns -0.0 into 0; without a type the value is stored exactly as it is bound.
std::string ColumnType(FieldKind kind)
{
    switch (kind) {
        case FieldKind::Float32:
        case FieldKind::Float32Array:
            return "";
        case FieldKind::Text:
            return "TEXT";
        default:
            return "INTEGER";
    }
}

// A float32 as SQL should show it: the double of its shortest decimal, which narrows back to
// the same bits; NULL for a NaN, which SQLite cannot hold.
void BindReal(sqlite3_stmt* statement, int column, float value)
{
    if (std::isnan(value)) {
        sqlite3_bind_null(statement, column);
    } else {
        sqlite3_bind_double(statement, column, StoredFloat32(value));
    }
}

constexpr const char* kMessagesColumns =
    " (id INTEGER PRIMARY KEY,"
    " file_name TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " bytes BLOB NOT NULL,"
    " packet_type INTEGER,"
    " outcome TEXT NOT NULL CHECK (outcome IN ('complete', 'stopped')),"
    " stop_reason TEXT,"
    " stop_offset INTEGER,"
    " imported_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),"
    " imei TEXT, momsn INTEGER, mtmsn INTEGER, cdr_reference INTEGER, session_status INTEGER,"
    " session_time TEXT,"
    " iridium_latitude REAL, iridium_longitude REAL, iridium_cep_km INTEGER,"
    " source TEXT NOT NULL DEFAULT 'file' CHECK (source IN ('directip', 'file')),"
    " raw BLOB,"
    " received_at TEXT,"
    " time TEXT,"
    " time_source TEXT CHECK (time_source IN ('session', 'record', 'file')));\n";

// A mail attachment is named by IMEI and MOMSN alone, and the 16-bit MOMSN wraps after
// 65,536 messages: other bytes under a name already archived are another message (or a file
// that changed after it was imported), never a repeat. Version 2 keyed it by the name alone.
// The writer looks the bytes up among the name's rows (kFindAttachment) under its write lock:
// a unique index holding the bytes themselves was half of a fleet's archive.
constexpr const char* kAttachmentIndex =
    "CREATE INDEX messages_by_attachment ON messages (imei, momsn)"
    " WHERE imei IS NOT NULL AND session_time IS NULL;\n";
constexpr const char* kFindAttachment =
    "SELECT 1 FROM messages WHERE imei = ?1 AND momsn = ?2 AND session_time IS NULL"
    " AND bytes = ?3";

// The keys of a delivery (see the header); a version 1 row, keyed by its bytes alone there,
// is unique by name and bytes too.
const std::string kMessagesIndexes =
    std::string("CREATE UNIQUE INDEX messages_by_session ON messages (imei, momsn, session_time)"
                " WHERE session_time IS NOT NULL;\n"
                "CREATE UNIQUE INDEX messages_by_cdr ON messages (imei, cdr_reference)"
                " WHERE cdr_reference <> 0;\n") +
    kAttachmentIndex +
    "CREATE UNIQUE INDEX messages_by_file ON messages (file_name, bytes) WHERE imei IS NULL;\n"
    "CREATE INDEX messages_by_time ON messages (time);\n";

constexpr const char* kInsertMessage =
    "INSERT INTO messages (file_name, size, bytes, packet_type, outcome, stop_reason,"
    " stop_offset, imei, momsn, mtmsn, cdr_reference, session_status, session_time,"
    " iridium_latitude, iridium_longitude, iridium_cep_km, source, raw, received_at, time,"
    " time_source) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
    " ON CONFLICT DO NOTHING";

// An array field's table: one row per array, its elements in one blob (AppendArrayElement)
// whose column names their kind, so that any SQLite reader can unpack it.
std::string CreateArrayTable(const std::string& table, bool integers)
{
    return "CREATE TABLE " + Quoted(table) +
           " (message_id INTEGER NOT NULL REFERENCES messages(id), record INTEGER NOT NULL, " +
           ArrayColumn(integers) + " BLOB NOT NULL, PRIMARY KEY (message_id, record))"
           " WITHOUT ROWID;\n";
}

// The record tables of every type, the SQL that creates them and the inserts that fill them.
struct RecordSchema {
    std::vector<std::string> tables;
    std::vector<std::pair<std::string, bool>> arrays;  // an array field's table, int32 or not
    std::string create;
    std::vector<std::string> recordInserts;              // by type code
    std::vector<std::vector<std::string>> arrayInserts;  // by type code, then field index
};

RecordSchema MakeRecordSchema()
{
    RecordSchema schema;
    for (const RecordDescription& type : RecordDescriptions()) {
        const std::string table = ArchiveName(type.typeName);
        const bool pb200 = type.typeName == kPb200;
        std::string columns = "message_id, record, port, byte_offset, size";
        std::string values = "?, ?, ?, ?, ?";
        schema.tables.push_back(table);
        schema.create += "CREATE TABLE " + Quoted(table) +
                         " (message_id INTEGER NOT NULL REFERENCES messages(id),"
                         " record INTEGER NOT NULL, port INTEGER NOT NULL,"
                         " byte_offset INTEGER NOT NULL, size INTEGER NOT NULL";
        schema.arrayInserts.emplace_back();
        std::string children;
        for (const FieldDescription& field : type.fields) {
            if (IsArray(field.kind)) {
                const std::string child = table + "_" + ArchiveName(field.name);
                schema.tables.push_back(child);
                const bool integers = field.kind == FieldKind::Int32Array;
                schema.arrays.emplace_back(child, integers);
                schema.arrayInserts.back().push_back("INSERT INTO " + Quoted(child) +
                                                     " (message_id, record, " +
                                                     ArrayColumn(integers) + ") VALUES (?, ?, ?)");
                children += CreateArrayTable(child, integers);
                continue;
            }
            schema.arrayInserts.back().emplace_back();
            columns += ", " + Quoted(ArchiveName(field.name));
            values += ", ?";
            schema.create += ", " + Quoted(ArchiveName(field.name)) + " " + ColumnType(field.kind);
        }
        if (pb200) {
            columns += ", measured_at";
            values += ", ?";
            schema.create += ", measured_at TEXT";
        }
        schema.create += ", PRIMARY KEY (message_id, record)) WITHOUT ROWID;\n" + children;
        schema.recordInserts.push_back("INSERT INTO " + Quoted(table) + " (" + columns +
                                       ") VALUES (" + values + ")");
    }
    return schema;
}

enum class Layout { Empty, Version1, Version2, Version3, Version4, Version5, Version6, Current };

// What the file at hand is, read without writing a byte; nothing with `reason` set when it
// is no archive of a version this program can open.
std::optional<Layout> Classify(sqlite3* db, const RecordSchema& schema, std::string& reason)
{
    const auto applicationId = QueryInteger(db, "PRAGMA application_id", reason);
    const auto version =
        applicationId ? QueryInteger(db, "PRAGMA user_version", reason) : std::nullopt;
    if (!version) {
        return std::nullopt;
    }
    std::set<std::string> tables;
    {
        Statement list = Prepare(db, "SELECT name FROM sqlite_master WHERE type = 'table'", reason);
        if (!list) {
            return std::nullopt;
        }
        while (sqlite3_step(list.get()) == SQLITE_ROW) {
            tables.insert(reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0)));
        }
    }
    if (*applicationId != 0 && *applicationId != kApplicationId) {
        reason = "a SQLite file of another application (application_id " +
                 std::to_string(*applicationId) + "), not an archive; left untouched";
        return std::nullopt;
    }
    if (*applicationId == 0 && *version != 0) {
        reason = "a SQLite file of another application (user_version " + std::to_string(*version) +
                 "), not an archive; left untouched";
        return std::nullopt;
    }
    if (*version > kSchemaVersion) {
        reason = "archive version " + std::to_string(*version) +
                 " is newer than this program knows (" + std::to_string(kSchemaVersion) +
                 "); left untouched";
        return std::nullopt;
    }
    if (*applicationId == 0 && tables.empty()) {
        return Layout::Empty;
    }
    if (*applicationId == 0 && tables.count("messages") == 0) {
        reason = "a SQLite file without a messages table, not an archive; left untouched";
        return std::nullopt;
    }
    if (*applicationId == kApplicationId && (*version < 2 || *version > kSchemaVersion)) {
        reason = "archive version " + std::to_string(*version) + " is unknown; left untouched";
        return std::nullopt;
    }
    for (const std::string& table : schema.tables) {
        if (tables.count(table) == 0) {
            reason = "the archive has no table " + table + "; left untouched";
            return std::nullopt;
        }
    }
    // The tables a version added, each there or the file is left alone.
    const auto hasTables = [&](std::initializer_list<const char*> names) {
        for (const char* table : names) {
            if (tables.count(table) == 0) {
                reason = "the archive has no table " + std::string(table) + "; left untouched";
                return false;
            }
        }
        return true;
    };
    if (*applicationId == 0) {
        return Layout::Version1;
    }
    if (*version == 2) {
        return Layout::Version2;
    }
    if (*version == 3) {
        return Layout::Version3;
    }
    if (*version < 7 && !hasTables({"qc_configs", "qc_flags"})) {
        return std::nullopt;
    }
    if (*version == 4) {
        return Layout::Version4;
    }
    if (*version == 5) {
        return Layout::Version5;
    }
    if (!hasTables({"alerts", "alert_outbox"})) {
        return std::nullopt;
    }
    if (*version == 6) {
        return Layout::Version6;
    }
    if (!hasTables({"qc_configs", "qc_layouts", "qc_message_flags"})) {
        return std::nullopt;
    }
    return Layout::Current;
}

std::string Stamp()
{
    return "PRAGMA application_id = " + std::to_string(kApplicationId) +
           "; PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";\n";
}

// The best known time of a PB200 record, as text.
std::optional<std::string> MeasuredAt(const DecodedRecord& record)
{
    const auto time = RecordTime(record);
    return time ? std::optional<std::string>(IsoUtc(*time)) : std::nullopt;
}

// Version 1 keyed messages by their bytes alone with a constraint no ALTER can drop, so the
// table is rebuilt under the new layout; record tables refer to it by name and stay. The
// PB200 rows and their messages get the times their records state.
bool Migrate(sqlite3* db, std::string& reason)
{
    const std::string rebuild =
        std::string("CREATE TABLE messages_v2") + kMessagesColumns +
        "INSERT INTO messages_v2 (id, file_name, size, bytes, packet_type, outcome, stop_reason,"
        " stop_offset, imported_at)"
        " SELECT id, file_name, size, bytes, packet_type, outcome, stop_reason, stop_offset,"
        " imported_at FROM messages ORDER BY id;\n"
        "DROP TABLE messages;\n"
        "ALTER TABLE messages_v2 RENAME TO messages;\n"
        "ALTER TABLE PB200 ADD COLUMN measured_at TEXT;\n" +
        kMessagesIndexes + kQcTables + kAlertTables;
    if (!Execute(db, rebuild, reason)) {
        return false;
    }
    Statement dates = Prepare(db,
                              "SELECT message_id, record, Year, Month, Day, Seconds FROM PB200"
                              " ORDER BY message_id, record",
                              reason);
    Statement setMeasured =
        Prepare(db, "UPDATE PB200 SET measured_at = ? WHERE message_id = ? AND record = ?", reason);
    Statement setTime = Prepare(db,
                                "UPDATE messages SET time = ?, time_source = 'record'"
                                " WHERE id = ? AND time IS NULL",
                                reason);
    if (!dates || !setMeasured || !setTime) {
        return false;
    }
    while (sqlite3_step(dates.get()) == SQLITE_ROW) {
        auto column = [&](int i) { return sqlite3_column_int64(dates.get(), i); };
        const auto time = RecordTime(column(2), column(3), column(4), column(5));
        if (!time) {
            continue;
        }
        const std::string text = IsoUtc(*time);
        BindText(setMeasured.get(), 1, text);
        sqlite3_bind_int64(setMeasured.get(), 2, column(0));
        sqlite3_bind_int64(setMeasured.get(), 3, column(1));
        BindText(setTime.get(), 1, text);
        sqlite3_bind_int64(setTime.get(), 2, column(0));
        if (!Step(db, setMeasured.get(), reason) || !Step(db, setTime.get(), reason)) {
            return false;
        }
    }
    return Execute(db, Stamp(), reason);
}

// Version 4 and before kept an array one row per element; each array becomes one row of its
// elements, every value kept with its bits (a stored value is the float32's shortest decimal,
// which narrows back to the float32; NULL was a NaN). The attachment key's unique index held
// the message's bytes; the writer now looks them up instead.
bool UpgradeToVersion5(sqlite3* db, const RecordSchema& schema, std::string& reason)
{
    if (!Execute(db, std::string("DROP INDEX IF EXISTS messages_by_attachment;\n") +
                         kAttachmentIndex,
                 reason)) {
        return false;
    }
    for (const auto& [table, integers] : schema.arrays) {
        // A table already of one row per array is left as it is.
        const auto perElement = QueryInteger(
            db, "SELECT count(*) FROM pragma_table_info('" + table + "') WHERE name = 'element'",
            reason);
        if (!perElement) {
            return false;
        }
        if (*perElement == 0) {
            continue;
        }
        const std::string elements = Quoted(table + "_elements");
        if (!Execute(db, "ALTER TABLE " + Quoted(table) + " RENAME TO " + elements + ";\n" +
                             CreateArrayTable(table, integers),
                     reason)) {
            return false;
        }
        Statement rows = Prepare(db,
                                 "SELECT message_id, record, element, value FROM " + elements +
                                     " ORDER BY message_id, record, element",
                                 reason);
        Statement insert = Prepare(
            db,
            "INSERT INTO " + Quoted(table) + " (message_id, record, " + ArrayColumn(integers) +
                ") VALUES (?, ?, ?)",
            reason);
        if (!rows || !insert) {
            return false;
        }
        std::vector<std::uint8_t> blob;
        std::optional<std::pair<std::int64_t, std::int64_t>> current;
        const auto flush = [&] {
            if (!current) {
                return true;
            }
            insert.Bind(1, current->first);
            insert.Bind(2, current->second);
            BindBlob(insert.get(), 3, blob);
            blob.clear();
            return Step(db, insert.get(), reason);
        };
        const std::uint32_t nanBits = std::bit_cast<std::uint32_t>(
            std::numeric_limits<float>::quiet_NaN());
        while (rows.Next()) {
            const std::pair<std::int64_t, std::int64_t> key{rows.Integer(0), rows.Integer(1)};
            if (current != key) {
                if (!flush()) {
                    return false;
                }
                current = key;
            }
            // Elements are numbered from 0 without gaps; a gap would read as missing values.
            while (blob.size() / 4 < static_cast<std::size_t>(rows.Integer(2))) {
                AppendArrayElement(blob, integers ? 0 : nanBits);
            }
            const std::uint32_t bits =
                integers ? static_cast<std::uint32_t>(static_cast<std::int32_t>(rows.Integer(3)))
                : rows.Null(3)
                    ? nanBits
                    : std::bit_cast<std::uint32_t>(static_cast<float>(rows.Real(3)));
            AppendArrayElement(blob, bits);
        }
        if (rows.Failed(reason) || !flush() ||
            !Execute(db, "DROP TABLE " + elements, reason)) {
            return false;
        }
    }
    return true;
}

}  // namespace

struct Archive::Impl {
    Connection db;
    Statement insertMessage;
    Statement findAttachment;
    std::vector<Statement> insertRecord;                // by type code
    std::vector<std::vector<Statement>> insertArray;  // by type code, then field index
    std::vector<std::uint8_t> arrayBlob;              // reused for each array

    // The open batch: every delivery the transaction answered for, with its position and
    // what the transaction said of it. A delivery found already there may have matched a row
    // of this same transaction (the gateway sending one message on two connections), so it is
    // no more durable than the new ones until the commit succeeds, and is tried again with
    // them when it fails.
    struct Staged {
        std::size_t index = 0;
        Delivery delivery;
        Added added = Added::New;
    };
    bool inBatch = false;
    std::vector<Staged> staged;
    BeforeCommit beforeCommit;
    Archive* self = nullptr;
    bool flagsInBatch = false;  // WriteFlags opened or joined the batch
    bool beforeCommitRunning = false;
    std::uint64_t rolledBack = 0;  // transactions given up after they wrote
    StatementCache qcStatements;   // the quality control's, run for every transaction

    // Runs the hook over the buoys of `deliveries` (those New); true without a hook.
    template <typename Range, typename Get>
    bool RunBeforeCommit(const Range& deliveries, Get get, std::string& reason)
    {
        if (!beforeCommit) {
            return true;
        }
        std::vector<std::string> buoys;
        for (const auto& one : deliveries) {
            std::string buoy = BuoyOfDelivery(get(one));
            if (std::find(buoys.begin(), buoys.end(), buoy) == buoys.end()) {
                buoys.push_back(std::move(buoy));
            }
        }
        if (buoys.empty()) {
            return true;
        }
        beforeCommitRunning = true;
        const bool done = beforeCommit(*self, buoys, reason);
        beforeCommitRunning = false;
        return done;
    }
    std::size_t given = 0;
    BatchOutcome outcome;
    std::vector<NewMessage> newMessages;  // of the open transaction

    // Every transaction of the writer begins here, so that the messages it adds start afresh.
    bool BeginImmediate(std::string& reason)
    {
        newMessages.clear();
        return Execute(db.get(), "BEGIN IMMEDIATE", reason);
    }

    Added Insert(const Delivery& delivery, std::string& reason);
    Added InsertRecords(const DecodedMessage& decoded, sqlite3_int64 id, std::string& reason);
    Added StoreOne(const Delivery& delivery, std::string& reason);
    void Flush();
    void RetryOneByOne();
    void Name(std::size_t index, const Delivery& delivery, std::string reason)
    {
        outcome.notArchived.push_back({index, delivery.fileName, std::move(reason)});
    }
};

std::unique_ptr<Archive> Archive::Open(const std::filesystem::path& path, const Options& options,
                                       std::string& reason)
{
    const std::string name = path.string();
    sqlite3* raw = nullptr;
    const int status =
        sqlite3_open_v2(name.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    Connection db(raw);
    if (status != SQLITE_OK) {
        reason = db ? sqlite3_errmsg(db.get()) : "out of memory";
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), static_cast<int>(std::min<std::int64_t>(
                                       options.busyTimeout.count(), 0x7FFFFFFF)));
    sqlite3_extended_result_codes(db.get(), 1);

    const RecordSchema schema = MakeRecordSchema();
    // Look before touching: switching the journal mode writes to the file.
    if (!Classify(db.get(), schema, reason)) {
        return nullptr;
    }
    const bool inMemory = name == ":memory:" || name.empty();
    {
        Statement wal = Prepare(db.get(), "PRAGMA journal_mode = WAL", reason);
        // Two importers creating one archive both switch it to WAL; the switch needs the file
        // alone and SQLite may answer busy at once rather than wait, so it is tried again
        // within the busy timeout.
        const auto giveUp = std::chrono::steady_clock::now() + options.busyTimeout;
        int step = wal ? sqlite3_step(wal.get()) : SQLITE_ERROR;
        while ((step & 0xFF) == SQLITE_BUSY && std::chrono::steady_clock::now() < giveUp) {
            sqlite3_reset(wal.get());
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            step = sqlite3_step(wal.get());
        }
        if (!wal || step != SQLITE_ROW) {
            reason = "cannot switch to write-ahead logging: " +
                     std::string(reason.empty() ? sqlite3_errmsg(db.get()) : reason);
            return nullptr;
        }
        const std::string mode = reinterpret_cast<const char*>(sqlite3_column_text(wal.get(), 0));
        if (mode != "wal" && !(inMemory && mode == "memory")) {
            reason = "cannot switch to write-ahead logging (journal mode stays " + mode + ")";
            return nullptr;
        }
    }
    if (options.cacheKiB > 0 &&
        !Execute(db.get(), "PRAGMA cache_size = -" + std::to_string(options.cacheKiB), reason)) {
        return nullptr;
    }
    if (!Execute(db.get(), "PRAGMA synchronous = FULL", reason) ||
        !Execute(db.get(), "BEGIN IMMEDIATE", reason)) {
        return nullptr;
    }
    // Again under the write lock: another importer may have created or upgraded it meanwhile.
    const std::optional<Layout> layout = Classify(db.get(), schema, reason);
    // Version 6 keeps a row per flag; version 4 also lacks the alerts' tables; version 3 also
    // the flags' tables; version 2 also the attachment key by bytes.
    const bool ready = layout && (*layout == Layout::Current ||
                                  (*layout == Layout::Version2 &&
                                   Execute(db.get(),
                                           std::string("DROP INDEX messages_by_attachment;\n") +
                                               kAttachmentIndex + kQcTables + kAlertTables +
                                               Stamp(),
                                           reason)) ||
                                  (*layout == Layout::Version3 &&
                                   Execute(db.get(), kQcTables + kAlertTables + Stamp(), reason)) ||
                                  ((*layout == Layout::Version4 ||
                                    *layout == Layout::Version5) &&
                                   AddAlertTables(db.get(), "", reason) &&
                                   UpgradeFlagsToVersion7(db.get(), reason) &&
                                   Execute(db.get(), Stamp(), reason)) ||
                                  (*layout == Layout::Version6 &&
                                   UpgradeFlagsToVersion7(db.get(), reason) &&
                                   Execute(db.get(), Stamp(), reason)) ||
                                  (*layout == Layout::Empty &&
                                   Execute(db.get(),
                                           std::string("CREATE TABLE messages") + kMessagesColumns +
                                               kMessagesIndexes + schema.create + kQcTables +
                                               kAlertTables + Stamp(),
                                           reason)) ||
                                  (*layout == Layout::Version1 && Migrate(db.get(), reason))) &&
                       (*layout == Layout::Current || *layout == Layout::Empty ||
                        *layout == Layout::Version5 || *layout == Layout::Version6 ||
                        UpgradeToVersion5(db.get(), schema, reason));
    if (!ready || !Execute(db.get(), "COMMIT", reason)) {
        std::string ignored;
        Execute(db.get(), "ROLLBACK", ignored);
        return nullptr;
    }

    auto impl = std::make_unique<Impl>();
    impl->insertMessage = Prepare(db.get(), kInsertMessage, reason);
    impl->findAttachment = Prepare(db.get(), kFindAttachment, reason);
    if (!impl->insertMessage || !impl->findAttachment) {
        return nullptr;
    }
    for (std::size_t code = 0; code < schema.recordInserts.size(); ++code) {
        impl->insertRecord.push_back(Prepare(db.get(), schema.recordInserts[code], reason));
        if (!impl->insertRecord.back()) {
            return nullptr;
        }
        impl->insertArray.emplace_back();
        for (const std::string& sql : schema.arrayInserts[code]) {
            impl->insertArray.back().push_back(sql.empty() ? nullptr
                                                           : Prepare(db.get(), sql, reason));
            if (!sql.empty() && !impl->insertArray.back().back()) {
                return nullptr;
            }
        }
    }
    impl->db = std::move(db);
    return std::unique_ptr<Archive>(new Archive(std::move(impl)));
}

Archive::Archive(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

Archive::~Archive()
{
    if (m_impl->inBatch) {
        std::string ignored;
        Execute(m_impl->db.get(), "ROLLBACK", ignored);
    }
    // Statements go before the connection they belong to.
    m_impl->insertArray.clear();
    m_impl->insertRecord.clear();
    m_impl->insertMessage.reset();
    m_impl->findAttachment.reset();
    m_impl->qcStatements.Clear();
}

Added Archive::Impl::Insert(const Delivery& delivery, std::string& reason)
{
    sqlite3* connection = db.get();
    const std::span<const std::uint8_t> payload = delivery.payload;
    // Payloads come from a file read whole up to 1 MiB or a DirectIP element: the count fits.
    const auto n = static_cast<std::int32_t>(payload.size());
    // With a hook, decoded from a copy of its bytes, which the decoded message borrows, so
    // that the hook can be handed it (NewMessages) after the delivery is gone.
    struct Owned {
        std::vector<std::uint8_t> bytes;
        DecodedMessage decoded;
    };
    auto owned = std::make_shared<Owned>();
    if (beforeCommit) {
        owned->bytes.assign(payload.begin(), payload.end());
    }
    owned->decoded =
        DecodeMessage(beforeCommit ? owned->bytes.data() : payload.data(), n);
    std::shared_ptr<const DecodedMessage> decoded(owned, &owned->decoded);

    std::optional<std::int64_t> seconds;
    const char* timeSource = nullptr;
    if (delivery.header) {
        seconds = delivery.header->sessionTime;
        timeSource = "session";
    }
    for (std::size_t i = 0; !seconds && i < decoded->records.size(); ++i) {
        if (decoded->records[i].TypeName() == kPb200) {
            seconds = RecordTime(decoded->records[i]);
            timeSource = "record";
        }
    }
    if (!seconds && delivery.fileTime && delivery.source == Delivery::Source::File) {
        seconds = *delivery.fileTime;
        timeSource = "file";
    }
    const std::optional<std::string> time =
        seconds ? std::optional<std::string>(IsoUtc(*seconds)) : std::nullopt;

    sqlite3_stmt* insert = insertMessage.get();
    BindText(insert, 1, delivery.fileName);
    sqlite3_bind_int64(insert, 2, n);
    BindBlob(insert, 3, payload);
    if (decoded->packetType) {
        sqlite3_bind_int(insert, 4, *decoded->packetType);
    }
    sqlite3_bind_text(insert, 5, decoded->Complete() ? "complete" : "stopped", -1, SQLITE_STATIC);
    if (!decoded->Complete()) {
        BindText(insert, 6, decoded->StopReasonLine());
        sqlite3_bind_int64(insert, 7, static_cast<sqlite3_int64>(decoded->stopOffset));
    }
    if (delivery.header) {
        const DirectIpHeader& header = *delivery.header;
        BindText(insert, 8, header.imei);
        sqlite3_bind_int64(insert, 9, header.momsn);
        sqlite3_bind_int64(insert, 10, header.mtmsn);
        sqlite3_bind_int64(insert, 11, header.cdrReference);
        sqlite3_bind_int64(insert, 12, header.sessionStatus);
        BindText(insert, 13, IsoUtc(header.sessionTime));
    } else if (delivery.attachment) {
        BindText(insert, 8, delivery.attachment->imei);
        sqlite3_bind_int64(insert, 9, delivery.attachment->momsn);
    }
    if (delivery.location) {
        sqlite3_bind_double(insert, 14, delivery.location->latitude);
        sqlite3_bind_double(insert, 15, delivery.location->longitude);
        sqlite3_bind_int64(insert, 16, delivery.location->cepKm);
    }
    sqlite3_bind_text(insert, 17,
                      delivery.source == Delivery::Source::DirectIp ? "directip" : "file", -1,
                      SQLITE_STATIC);
    if (!delivery.raw.empty()) {
        BindBlob(insert, 18, delivery.raw);
    }
    BindText(insert, 19, IsoUtc(delivery.receivedAt));
    if (time) {
        BindText(insert, 20, *time);
        sqlite3_bind_text(insert, 21, timeSource, -1, SQLITE_STATIC);
    }

    if (!delivery.header && delivery.attachment) {
        Statement& find = findAttachment;
        find.Bind(1, std::string_view(delivery.attachment->imei));
        find.Bind(2, delivery.attachment->momsn);
        BindBlob(find.get(), 3, payload);
        const bool there = find.Next();
        const bool failed = !there && find.Failed(reason);
        find.Rewind();
        if (failed) {
            sqlite3_clear_bindings(insert);
            return Added::Failed;
        }
        if (there) {
            sqlite3_clear_bindings(insert);
            return Added::AlreadyThere;
        }
    }
    if (!Execute(connection, "SAVEPOINT message", reason)) {
        sqlite3_clear_bindings(insert);
        return Added::Failed;
    }
    if (!Step(connection, insert, reason)) {
        std::string ignored;
        Execute(connection, "ROLLBACK TO message; RELEASE message", ignored);
        return Added::Failed;
    }
    if (sqlite3_changes(connection) == 0) {
        return Execute(connection, "RELEASE message", reason) ? Added::AlreadyThere : Added::Failed;
    }
    const sqlite3_int64 id = sqlite3_last_insert_rowid(connection);
    const Added added = InsertRecords(*decoded, id, reason);
    if (added == Added::Failed || !Execute(connection, "RELEASE message", reason)) {
        std::string ignored;
        Execute(connection, "ROLLBACK TO message; RELEASE message", ignored);
        return Added::Failed;
    }
    if (beforeCommit) {
        newMessages.push_back(
            {id, BuoyOfDelivery(delivery), seconds, delivery.location, std::move(decoded)});
    }
    return Added::New;
}

Added Archive::Impl::InsertRecords(const DecodedMessage& decoded, sqlite3_int64 id,
                                   std::string& reason)
{
    sqlite3* connection = db.get();
    for (std::size_t index = 0; index < decoded.records.size(); ++index) {
        const DecodedRecord& record = decoded.records[index];
        sqlite3_stmt* row = insertRecord[record.Code()].get();
        const auto recordIndex = static_cast<sqlite3_int64>(index);
        sqlite3_bind_int64(row, 1, id);
        sqlite3_bind_int64(row, 2, recordIndex);
        sqlite3_bind_int(row, 3, record.port);
        sqlite3_bind_int64(row, 4, static_cast<sqlite3_int64>(record.offset));
        sqlite3_bind_int(row, 5, record.size);
        int column = 6;
        for (std::size_t f = 0; f < record.fields.size(); ++f) {
            const RecordField& field = record.fields[f];
            switch (field.Kind()) {
                case FieldKind::Float32:
                    BindReal(row, column++, field.Real());
                    break;
                case FieldKind::UInt16:
                case FieldKind::Int32:
                    sqlite3_bind_int64(row, column++, field.Integer());
                    break;
                case FieldKind::Text:
                    BindText(row, column++, field.TextUtf8());
                    break;
                case FieldKind::Float32Array:
                case FieldKind::Int32Array: {
                    // An array without elements has no row, as it had none element by element.
                    if (field.Count() == 0) {
                        break;
                    }
                    sqlite3_stmt* array = insertArray[record.Code()][f].get();
                    arrayBlob.clear();
                    for (int i = 0; i < field.Count(); ++i) {
                        AppendArrayElement(
                            arrayBlob, field.Kind() == FieldKind::Float32Array
                                           ? std::bit_cast<std::uint32_t>(field.RealAt(i))
                                           : static_cast<std::uint32_t>(field.IntegerAt(i)));
                    }
                    sqlite3_bind_int64(array, 1, id);
                    sqlite3_bind_int64(array, 2, recordIndex);
                    BindBlob(array, 3, arrayBlob);
                    if (!Step(connection, array, reason)) {
                        sqlite3_reset(row);
                        sqlite3_clear_bindings(row);
                        return Added::Failed;
                    }
                    break;
                }
            }
        }
        if (record.TypeName() == kPb200) {
            if (const auto measured = MeasuredAt(record)) {
                BindText(row, column, *measured);
            }
        }
        if (!Step(connection, row, reason)) {
            return Added::Failed;
        }
    }
    return Added::New;
}

Added Archive::Add(const Delivery& delivery, std::string& reason)
{
    Impl& impl = *m_impl;
    const std::size_t index = impl.given++;
    if (!impl.inBatch) {
        if (!impl.BeginImmediate(reason)) {
            impl.Name(index, delivery, reason);
            return Added::Failed;
        }
        impl.inBatch = true;
    }
    const Added added = impl.Insert(delivery, reason);
    switch (added) {
        case Added::New:
        case Added::AlreadyThere:
            impl.staged.push_back({index, delivery, added});
            break;
        case Added::Failed:
            if (sqlite3_get_autocommit(impl.db.get()) != 0) {
                // SQLite gave the whole transaction up (a full disk can do that): the batch
                // so far is gone with it, so every delivery of it is tried again alone.
                ++impl.rolledBack;
                impl.inBatch = false;
                impl.staged.push_back({index, delivery, Added::New});
                impl.RetryOneByOne();
                const auto& named = impl.outcome.notArchived;
                const auto self =
                    std::find_if(named.begin(), named.end(),
                                 [&](const NotArchived& n) { return n.index == index; });
                if (self == named.end()) {
                    return Added::New;
                }
                reason = self->reason;
            } else {
                impl.Name(index, delivery, reason);
            }
            break;
    }
    return added;
}

Added Archive::Impl::StoreOne(const Delivery& delivery, std::string& reason)
{
    sqlite3* connection = db.get();
    if (!BeginImmediate(reason)) {
        return Added::Failed;
    }
    const Added added = Insert(delivery, reason);
    const std::vector<const Delivery*> stored = {&delivery};
    if (added != Added::Failed &&
        (added == Added::AlreadyThere ||
         RunBeforeCommit(stored, [](const Delivery* d) -> const Delivery& { return *d; },
                         reason)) &&
        Execute(connection, "COMMIT", reason)) {
        return added;
    }
    ++rolledBack;
    if (sqlite3_get_autocommit(connection) == 0) {
        std::string ignored;
        Execute(connection, "ROLLBACK", ignored);
    }
    return Added::Failed;
}

void Archive::Impl::RetryOneByOne()
{
    for (const Staged& one : staged) {
        std::string reason;
        switch (StoreOne(one.delivery, reason)) {
            case Added::New:
                ++outcome.added;
                break;
            case Added::AlreadyThere:
                ++outcome.alreadyThere;
                break;
            case Added::Failed:
                Name(one.index, one.delivery, reason);
                break;
        }
    }
    staged.clear();
}

void Archive::Impl::Flush()
{
    if (!inBatch) {
        return;
    }
    inBatch = false;
    std::string reason;
    std::vector<const Delivery*> added;
    for (const Staged& s : staged) {
        if (s.added == Added::New) {
            added.push_back(&s.delivery);
        }
    }
    if (RunBeforeCommit(added, [](const Delivery* d) -> const Delivery& { return *d; }, reason) &&
        Execute(db.get(), "COMMIT", reason)) {
        flagsInBatch = false;
        for (const Staged& s : staged) {
            ++(s.added == Added::New ? outcome.added : outcome.alreadyThere);
        }
        staged.clear();
        return;
    }
    ++rolledBack;
    if (sqlite3_get_autocommit(db.get()) == 0) {
        std::string ignored;
        Execute(db.get(), "ROLLBACK", ignored);
    }
    if (flagsInBatch) {
        flagsInBatch = false;
        outcome.flagsNotWritten = reason;
    }
    RetryOneByOne();
}

BatchOutcome Archive::Commit()
{
    Impl& impl = *m_impl;
    impl.Flush();
    BatchOutcome done = std::move(impl.outcome);
    impl.outcome = {};
    impl.given = 0;
    std::sort(done.notArchived.begin(), done.notArchived.end(),
              [](const NotArchived& a, const NotArchived& b) { return a.index < b.index; });
    return done;
}

Added Archive::Store(const Delivery& delivery, std::string& reason)
{
    m_impl->Flush();
    return m_impl->StoreOne(delivery, reason);
}

void Archive::SetBeforeCommit(BeforeCommit hook)
{
    m_impl->beforeCommit = std::move(hook);
    m_impl->self = this;
}

void Archive::AddBeforeCommit(BeforeCommit hook)
{
    if (m_impl->beforeCommit) {
        hook = [first = std::move(m_impl->beforeCommit), then = std::move(hook)](
                   Archive& archive, const std::vector<std::string>& buoys, std::string& reason) {
            return first(archive, buoys, reason) && then(archive, buoys, reason);
        };
    }
    SetBeforeCommit(std::move(hook));
}

sqlite3* Archive::Handle() const
{
    return m_impl->db.get();
}

std::optional<BuoyRows> Archive::ReadBuoy(const std::string& buoy,
                                          const std::vector<std::string>& streams,
                                          std::string& reason, std::int64_t afterMessage)
{
    // A buoy's new rows are read for every transaction: the statements are kept.
    return ReadBuoyRows(m_impl->db.get(), buoy, streams, reason, afterMessage,
                        afterMessage > 0 ? &m_impl->qcStatements : nullptr);
}

std::optional<std::int64_t> Archive::LastMessageId(std::string& reason)
{
    Statement* last = m_impl->qcStatements.Get(m_impl->db.get(),
                                               "SELECT coalesce(max(id), 0) FROM messages", reason);
    if (last == nullptr || !last->Next()) {
        if (last != nullptr && !last->Failed(reason)) {
            reason = "no maximum";
        }
        return std::nullopt;
    }
    const std::int64_t value = last->Integer(0);
    last->Rewind();  // no statement left open between transactions
    return value;
}

std::optional<std::int64_t> Archive::DataVersion(std::string& reason)
{
    Statement* version = m_impl->qcStatements.Get(m_impl->db.get(), "PRAGMA data_version", reason);
    if (version == nullptr || !version->Next()) {
        if (version != nullptr && !version->Failed(reason)) {
            reason = "no data version";
        }
        return std::nullopt;
    }
    const std::int64_t value = version->Integer(0);
    version->Rewind();  // no statement left open between transactions
    return value;
}

std::uint64_t Archive::RolledBack() const { return m_impl->rolledBack; }

const std::vector<NewMessage>& Archive::NewMessages() const { return m_impl->newMessages; }

bool Archive::Begin(std::string& reason)
{
    Impl& impl = *m_impl;
    if (sqlite3_get_autocommit(impl.db.get()) != 0) {
        if (!impl.BeginImmediate(reason)) {
            return false;
        }
        impl.inBatch = true;
    }
    return true;
}

bool Archive::WriteFlagChanges(const BuoyFlags& now, const BuoyFlags& before, std::string& reason)
{
    Impl& impl = *m_impl;
    if (!Begin(reason)) {
        return false;
    }
    if (!impl.beforeCommitRunning) {
        impl.flagsInBatch = true;
    }
    return WriteBuoyFlagChanges(impl.db.get(), now, before, reason, impl.qcStatements);
}

bool Archive::WriteFlags(const BuoyFlags& flags, std::string& reason)
{
    Impl& impl = *m_impl;
    if (!Begin(reason)) {
        return false;
    }
    if (!impl.beforeCommitRunning) {
        impl.flagsInBatch = true;
    }
    return WriteBuoyFlags(impl.db.get(), flags, reason, &impl.qcStatements);
}

}  // namespace saltmark::archive
