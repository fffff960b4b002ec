#pragma once
// The archive's one way to SQLite, for the writer and the reader alike: a connection and a
// prepared statement that release themselves, and one error model, the library's own: a call
// that can fail returns false (or nothing) and sets `reason` to SQLite's message; nothing
// throws. Internal to the archive library: its public headers do not include it.

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace saltmark::archive::sqlite {

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, Closer>;

// Opens `path` with `flags` (SQLITE_OPEN_READONLY, SQLITE_OPEN_READWRITE | ...); nothing with
// `reason` set when SQLite cannot.
Connection Open(const std::string& path, int flags, std::string& reason);

// A prepared statement. Parameters and columns are numbered as SQLite numbers them:
// parameters from 1, columns from 0.
class Statement {
public:
    Statement() = default;
    Statement(std::nullptr_t) {}
    explicit Statement(sqlite3_stmt* statement) : m_statement(statement) {}

    sqlite3_stmt* get() const { return m_statement.get(); }
    explicit operator bool() const { return m_statement != nullptr; }
    void reset() { m_statement.reset(); }

    void Bind(int parameter, std::int64_t value) { sqlite3_bind_int64(get(), parameter, value); }
    void Bind(int parameter, double value) { sqlite3_bind_double(get(), parameter, value); }
    // Copied: the text may go before the statement runs.
    void Bind(int parameter, std::string_view text)
    {
        sqlite3_bind_text(get(), parameter, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    // NULL when there is nothing.
    template <typename T>
    void Bind(int parameter, const std::optional<T>& value)
    {
        if (value) {
            Bind(parameter, *value);
        } else {
            sqlite3_bind_null(get(), parameter);
        }
    }

    // The next row: true with one, false at the end or on an error, which `Failed` then
    // tells with its reason. The statement resets itself at the end so that it can run again.
    bool Next();
    bool Failed(std::string& reason) const;
    // Ready to run again with new parameters (all NULL).
    void Rewind();

    bool Null(int column) const { return sqlite3_column_type(get(), column) == SQLITE_NULL; }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(get(), column); }
    double Real(int column) const { return sqlite3_column_double(get(), column); }
    std::optional<std::int64_t> OptionalInteger(int column) const;
    std::optional<double> OptionalReal(int column) const;
    std::string Text(int column) const;
    std::optional<std::string> OptionalText(int column) const;
    std::vector<std::uint8_t> Blob(int column) const;

private:
    struct Finalizer {
        void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
    };
    std::unique_ptr<sqlite3_stmt, Finalizer> m_statement;
    int m_status = SQLITE_OK;
    std::string m_reason;
};

// Prepared statements kept by their SQL, for a caller that runs the same few for every
// transaction: preparing them again each time cost more than running them.
class StatementCache {
public:
    // The statement for `sql`, rewound; nullptr with `reason` set when it cannot be prepared.
    Statement* Get(sqlite3* db, const std::string& sql, std::string& reason);
    void Clear() { m_statements.clear(); }

private:
    std::map<std::string, Statement, std::less<>> m_statements;
};

// A table's or column's name quoted for SQL. Names come from the record descriptions, never
// from a caller.
std::string Quoted(std::string_view identifier);

// Runs `sql` (one or more statements without parameters).
bool Execute(sqlite3* db, const std::string& sql, std::string& reason);

// Prepares one statement to be used many times; an empty one with `reason` set when it fails.
Statement Prepare(sqlite3* db, const std::string& sql, std::string& reason);

// Runs a statement that returns no rows and makes it ready for the next parameters.
bool Step(sqlite3* db, sqlite3_stmt* statement, std::string& reason);

// The first column of a one-row query, or nothing with `reason` set.
std::optional<std::int64_t> QueryInteger(sqlite3* db, const std::string& sql, std::string& reason);

void BindText(sqlite3_stmt* statement, int column, const std::string& text);
// An empty blob binds zero bytes, not NULL.
void BindBlob(sqlite3_stmt* statement, int column, std::span<const std::uint8_t> bytes);

// An array field as the archive keeps it, one blob per array in the column ArrayColumn names:
// each element in 4 bytes, little-endian, a float32's bits or an int32, as in the message
// itself. One row per element cost some 23 bytes a value, most of a fleet's archive; these
// keep the very bits in 4.
inline const char* ArrayColumn(bool integers) { return integers ? "int32_le" : "float32_le"; }
void AppendArrayElement(std::vector<std::uint8_t>& blob, std::uint32_t bits);
// A float32 as a value column holds it: the double of its shortest decimal, which narrows back
// to the same bits (zero and infinities as they are); NaN stays NaN, which binds as NULL.
double StoredFloat32(float value);

// The elements of such a blob as the reader gives them: a float32 as the double of its
// shortest decimal (what a value column holds), an int32 exactly.
std::vector<double> ArrayElements(const void* blob, std::size_t bytes, bool integers);

}  // namespace saltmark::archive::sqlite
