#include "RecordArchive.h"

#include <sqlite3.h>

#include <cmath>
#include <vector>

#include "Records.h"

namespace saltmark::cli {

namespace {

// Large enough that a batch of messages costs one journal sync, small enough that a long
// import shows its progress in the archive.
constexpr int kMessagesPerTransaction = 1000;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

std::string Quoted(std::string_view identifier) { return "\"" + std::string(identifier) + "\""; }

std::string LastError(sqlite3* db) { return sqlite3_errmsg(db); }

bool Execute(sqlite3* db, const std::string& sql, std::string& reason)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        reason = message != nullptr ? message : LastError(db);
        sqlite3_free(message);
        return false;
    }
    return true;
}

Statement Prepare(sqlite3* db, const std::string& sql, std::string& reason)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr) !=
        SQLITE_OK) {
        reason = LastError(db);
        return nullptr;
    }
    return Statement(statement);
}

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

// A float32 as SQLite keeps it: widened exactly, or NULL for a NaN, which SQLite cannot hold.
void BindReal(sqlite3_stmt* statement, int column, float value)
{
    if (std::isnan(value)) {
        sqlite3_bind_null(statement, column);
    } else {
        sqlite3_bind_double(statement, column, static_cast<double>(value));
    }
}

bool Step(sqlite3* db, sqlite3_stmt* statement, std::string& reason)
{
    const int status = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (status != SQLITE_DONE) {
        reason = LastError(db);
        return false;
    }
    return true;
}

}  // namespace

std::string ArchiveName(std::string_view name)
{
    std::string out(name);
    for (char& c : out) {
        if (c == ' ') {
            c = '_';
        }
    }
    return out;
}

struct RecordArchive::Statements {
    Statement insertMessage;
    std::vector<Statement> insertRecord;                // by type code
    std::vector<std::vector<Statement>> insertElement;  // by type code, then field index
};

std::unique_ptr<RecordArchive> RecordArchive::Open(const std::filesystem::path& path,
                                                   std::string& reason)
{
    sqlite3* raw = nullptr;
    const int status = sqlite3_open_v2(path.string().c_str(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    struct Closer {
        void operator()(sqlite3* db) const { sqlite3_close(db); }
    };
    std::unique_ptr<sqlite3, Closer> db(raw);
    if (status != SQLITE_OK) {
        reason = db ? LastError(db.get()) : "out of memory";
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), 5000);

    std::string schema =
        "CREATE TABLE IF NOT EXISTS messages ("
        " id INTEGER PRIMARY KEY,"
        " file_name TEXT NOT NULL,"
        " size INTEGER NOT NULL,"
        " bytes BLOB NOT NULL UNIQUE,"
        " packet_type INTEGER,"
        " outcome TEXT NOT NULL CHECK (outcome IN ('complete', 'stopped')),"
        " stop_reason TEXT,"
        " stop_offset INTEGER,"
        " imported_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')));\n";
    auto statements = std::make_unique<Statements>();
    std::vector<std::string> recordInserts;
    std::vector<std::vector<std::string>> elementInserts;
    for (const RecordDescription& type : RecordDescriptions()) {
        const std::string table = ArchiveName(type.typeName);
        std::string columns = "message_id, record, port, byte_offset, size";
        std::string values = "?, ?, ?, ?, ?";
        schema += "CREATE TABLE IF NOT EXISTS " + Quoted(table) +
                  " (message_id INTEGER NOT NULL REFERENCES messages(id),"
                  " record INTEGER NOT NULL, port INTEGER NOT NULL,"
                  " byte_offset INTEGER NOT NULL, size INTEGER NOT NULL";
        elementInserts.emplace_back();
        for (const FieldDescription& field : type.fields) {
            if (IsArray(field.kind)) {
                const std::string child = Quoted(table + "_" + ArchiveName(field.name));
                elementInserts.back().push_back("INSERT INTO " + child +
                                                " (message_id, record, element, value)"
                                                " VALUES (?, ?, ?, ?)");
                continue;
            }
            elementInserts.back().emplace_back();
            columns += ", " + Quoted(ArchiveName(field.name));
            values += ", ?";
            schema += ", " + Quoted(ArchiveName(field.name)) + " " + ColumnType(field.kind);
        }
        schema += ", PRIMARY KEY (message_id, record)) WITHOUT ROWID;\n";
        for (const FieldDescription& field : type.fields) {
            if (IsArray(field.kind)) {
                schema += "CREATE TABLE IF NOT EXISTS " +
                          Quoted(table + "_" + ArchiveName(field.name)) +
                          " (message_id INTEGER NOT NULL REFERENCES messages(id),"
                          " record INTEGER NOT NULL, element INTEGER NOT NULL, value " +
                          ColumnType(field.kind) +
                          ", PRIMARY KEY (message_id, record, element)) WITHOUT ROWID;\n";
            }
        }
        recordInserts.push_back("INSERT INTO " + Quoted(table) + " (" + columns + ") VALUES (" +
                                values + ")");
    }
    if (!Execute(db.get(), schema, reason) || !Execute(db.get(), "BEGIN", reason)) {
        return nullptr;
    }
    statements->insertMessage =
        Prepare(db.get(),
                "INSERT INTO messages (file_name, size, bytes, packet_type, outcome, stop_reason,"
                " stop_offset) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (bytes) DO NOTHING",
                reason);
    if (!statements->insertMessage) {
        return nullptr;
    }
    for (std::size_t code = 0; code < recordInserts.size(); ++code) {
        statements->insertRecord.push_back(Prepare(db.get(), recordInserts[code], reason));
        if (!statements->insertRecord.back()) {
            return nullptr;
        }
        statements->insertElement.emplace_back();
        for (const std::string& sql : elementInserts[code]) {
            statements->insertElement.back().push_back(
                sql.empty() ? nullptr : Prepare(db.get(), sql, reason));
            if (!sql.empty() && !statements->insertElement.back().back()) {
                return nullptr;
            }
        }
    }
    return std::unique_ptr<RecordArchive>(new RecordArchive(db.release(), std::move(statements)));
}

RecordArchive::RecordArchive(sqlite3* db, std::unique_ptr<Statements> statements)
    : m_pDb(db), m_statements(std::move(statements))
{
}

RecordArchive::~RecordArchive()
{
    // Whatever was not committed is rolled back when the connection closes.
    m_statements.reset();
    sqlite3_close(m_pDb);
}

RecordArchive::Added RecordArchive::Add(std::string_view fileName,
                                        std::span<const std::uint8_t> message, std::string& reason)
{
    const auto n = static_cast<std::int32_t>(message.size());
    const DecodedMessage decoded = DecodeMessage(message.data(), n);
    if (!Execute(m_pDb, "SAVEPOINT message", reason)) {
        return Added::Failed;
    }
    auto fail = [&] {
        std::string ignored;
        Execute(m_pDb, "ROLLBACK TO message; RELEASE message", ignored);
        return Added::Failed;
    };

    sqlite3_stmt* insert = m_statements->insertMessage.get();
    sqlite3_bind_text(insert, 1, fileName.data(), static_cast<int>(fileName.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(insert, 2, n);
    // An empty message is still a message: a null pointer would bind NULL, not zero bytes.
    if (message.empty()) {
        sqlite3_bind_zeroblob(insert, 3, 0);
    } else {
        sqlite3_bind_blob(insert, 3, message.data(), static_cast<int>(message.size()),
                          SQLITE_STATIC);
    }
    if (decoded.packetType) {
        sqlite3_bind_int(insert, 4, *decoded.packetType);
    }
    sqlite3_bind_text(insert, 5, decoded.Complete() ? "complete" : "stopped", -1, SQLITE_STATIC);
    if (!decoded.Complete()) {
        const std::string line = decoded.StopReasonLine();
        sqlite3_bind_text(insert, 6, line.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 7, static_cast<sqlite3_int64>(decoded.stopOffset));
    }
    if (!Step(m_pDb, insert, reason)) {
        return fail();
    }
    if (sqlite3_changes(m_pDb) == 0) {
        Execute(m_pDb, "RELEASE message", reason);
        return Added::AlreadyThere;
    }
    const sqlite3_int64 id = sqlite3_last_insert_rowid(m_pDb);

    for (std::size_t index = 0; index < decoded.records.size(); ++index) {
        const DecodedRecord& record = decoded.records[index];
        sqlite3_stmt* row = m_statements->insertRecord[record.Code()].get();
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
                case FieldKind::Text: {
                    const std::string text = field.TextUtf8();
                    sqlite3_bind_text(row, column++, text.c_str(), -1, SQLITE_TRANSIENT);
                    break;
                }
                case FieldKind::Float32Array:
                case FieldKind::Int32Array: {
                    sqlite3_stmt* element = m_statements->insertElement[record.Code()][f].get();
                    for (int i = 0; i < field.Count(); ++i) {
                        sqlite3_bind_int64(element, 1, id);
                        sqlite3_bind_int64(element, 2, recordIndex);
                        sqlite3_bind_int(element, 3, i);
                        if (field.Kind() == FieldKind::Float32Array) {
                            BindReal(element, 4, field.RealAt(i));
                        } else {
                            sqlite3_bind_int(element, 4, field.IntegerAt(i));
                        }
                        if (!Step(m_pDb, element, reason)) {
                            return fail();
                        }
                    }
                    break;
                }
            }
        }
        if (!Step(m_pDb, row, reason)) {
            return fail();
        }
    }
    if (!Execute(m_pDb, "RELEASE message", reason)) {
        return fail();
    }
    if (++m_nPending >= kMessagesPerTransaction) {
        if (!Commit(reason)) {
            return Added::Failed;
        }
    }
    return Added::New;
}

bool RecordArchive::Commit(std::string& reason)
{
    m_nPending = 0;
    return Execute(m_pDb, "COMMIT; BEGIN", reason);
}

}  // namespace saltmark::cli
