#include "Sqlite.h"

#include <bit>
#include <cmath>
#include <limits>

#include "Records.h"

namespace saltmark::archive::sqlite {

Connection Open(const std::string& path, int flags, std::string& reason)
{
    sqlite3* raw = nullptr;
    const int status = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Connection db(raw);
    if (status != SQLITE_OK) {
        reason = db ? sqlite3_errmsg(db.get()) : "out of memory";
        return nullptr;
    }
    sqlite3_extended_result_codes(db.get(), 1);
    return db;
}

bool Statement::Next()
{
    const int status = sqlite3_step(get());
    if (status == SQLITE_ROW) {
        return true;
    }
    m_status = status;
    if (status != SQLITE_DONE) {
        m_reason = sqlite3_errmsg(sqlite3_db_handle(get()));
    }
    sqlite3_reset(get());
    return false;
}

bool Statement::Failed(std::string& reason) const
{
    if (m_status == SQLITE_OK || m_status == SQLITE_DONE) {
        return false;
    }
    reason = m_reason;
    return true;
}

void Statement::Rewind()
{
    sqlite3_reset(get());
    sqlite3_clear_bindings(get());
    m_status = SQLITE_OK;
}

std::optional<std::int64_t> Statement::OptionalInteger(int column) const
{
    return Null(column) ? std::nullopt : std::optional(Integer(column));
}

std::optional<double> Statement::OptionalReal(int column) const
{
    return Null(column) ? std::nullopt : std::optional(Real(column));
}

std::string Statement::Text(int column) const
{
    const auto* text = sqlite3_column_text(get(), column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(get(), column)))
                : std::string();
}

std::optional<std::string> Statement::OptionalText(int column) const
{
    return Null(column) ? std::nullopt : std::optional(Text(column));
}

std::vector<std::uint8_t> Statement::Blob(int column) const
{
    const auto* first = static_cast<const std::uint8_t*>(sqlite3_column_blob(get(), column));
    return first ? std::vector<std::uint8_t>(first, first + sqlite3_column_bytes(get(), column))
                 : std::vector<std::uint8_t>();
}

std::string Quoted(std::string_view identifier) { return "\"" + std::string(identifier) + "\""; }

bool Execute(sqlite3* db, const std::string& sql, std::string& reason)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        reason = message != nullptr ? message : sqlite3_errmsg(db);
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
        reason = sqlite3_errmsg(db);
        return Statement();
    }
    return Statement(statement);
}

bool Step(sqlite3* db, sqlite3_stmt* statement, std::string& reason)
{
    const int status = sqlite3_step(statement);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (status != SQLITE_DONE) {
        reason = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

std::optional<std::int64_t> QueryInteger(sqlite3* db, const std::string& sql, std::string& reason)
{
    Statement statement = Prepare(db, sql, reason);
    if (!statement) {
        return std::nullopt;
    }
    if (sqlite3_step(statement.get()) != SQLITE_ROW) {
        reason = sqlite3_errmsg(db);
        return std::nullopt;
    }
    return sqlite3_column_int64(statement.get(), 0);
}

void BindText(sqlite3_stmt* statement, int column, const std::string& text)
{
    sqlite3_bind_text(statement, column, text.data(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

void BindBlob(sqlite3_stmt* statement, int column, std::span<const std::uint8_t> bytes)
{
    // An empty message is still a message: a null pointer would bind NULL, not zero bytes.
    if (bytes.empty()) {
        sqlite3_bind_zeroblob(statement, column, 0);
    } else {
        sqlite3_bind_blob(statement, column, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_STATIC);
    }
}

Statement* StatementCache::Get(sqlite3* db, const std::string& sql, std::string& reason)
{
    auto found = m_statements.find(sql);
    if (found == m_statements.end()) {
        Statement statement = Prepare(db, sql, reason);
        if (!statement) {
            return nullptr;
        }
        found = m_statements.emplace(sql, std::move(statement)).first;
    }
    found->second.Rewind();
    return &found->second;
}

void AppendArrayElement(std::vector<std::uint8_t>& blob, std::uint32_t bits)
{
    for (int shift = 0; shift < 32; shift += 8) {
        blob.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
}

double StoredFloat32(float value)
{
    if (std::isnan(value)) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    return std::isinf(value) || value == 0.0f ? static_cast<double>(value)
                                              : ShortestFloat32AsDouble(value);
}

std::vector<double> ArrayElements(const void* blob, std::size_t bytes, bool integers)
{
    const auto* at = static_cast<const std::uint8_t*>(blob);
    std::vector<double> values(bytes / 4);
    for (std::size_t i = 0; i < values.size(); ++i, at += 4) {
        const std::uint32_t bits = std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 |
                                   std::uint32_t{at[2]} << 16 | std::uint32_t{at[3]} << 24;
        if (integers) {
            values[i] = static_cast<double>(static_cast<std::int32_t>(bits));
            continue;
        }
        values[i] = StoredFloat32(std::bit_cast<float>(bits));
    }
    return values;
}

}  // namespace saltmark::archive::sqlite
