#include "QcTables.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <unordered_map>

#include "Records.h"
#include "Sqlite.h"

namespace saltmark::archive {

using namespace sqlite;

// A message's flags are one row per configuration that produced them (nearly always one),
// and the stream's and tests' names are written once, in qc_layouts: a fleet's year is a
// row per message rather than one per value and test, which is what keeps recomputing it
// and looking a message's flags up cheap. `flags` is JSON, so that the view qc_flags (one
// row per value and test, as the archive held them up to version 6) is plain SQL:
//   [[layout, record, "digits"], ...]
// with one decimal digit per test of the layout, in the order of its `tests` array.
const std::string kQcConfigsTable =
    "CREATE TABLE qc_configs (id INTEGER PRIMARY KEY, hash TEXT NOT NULL,"
    " file_name TEXT NOT NULL,"
    " first_used_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),"
    " UNIQUE (hash, file_name));\n";

const std::string kQcFlagTables =
    "CREATE TABLE qc_layouts (id INTEGER PRIMARY KEY, stream TEXT NOT NULL,"
    " tests TEXT NOT NULL, UNIQUE (stream, tests));\n"
    "CREATE TABLE qc_message_flags (message_id INTEGER NOT NULL REFERENCES messages(id),"
    " config_id INTEGER NOT NULL REFERENCES qc_configs(id), flags TEXT NOT NULL,"
    " PRIMARY KEY (message_id, config_id)) WITHOUT ROWID;\n"
    "CREATE VIEW qc_flags (message_id, record, stream, test, flag, config_id) AS SELECT"
    " f.message_id, json_extract(e.value, '$[1]'), l.stream, t.value,"
    " CAST(substr(json_extract(e.value, '$[2]'), t.key + 1, 1) AS INTEGER), f.config_id"
    " FROM qc_message_flags f CROSS JOIN json_each(f.flags) e"
    " CROSS JOIN qc_layouts l ON l.id = json_extract(e.value, '$[0]')"
    " CROSS JOIN json_each(l.tests) t;\n"
    // A buoy's messages with their times and the gateway's estimates, which the quality
    // control reads for every buoy: from this index alone, not from the messages' rows,
    // whose bytes make a fleet's year gigabytes.
    "CREATE INDEX IF NOT EXISTS messages_by_buoy_fix ON messages"
    " (imei, time, iridium_latitude, iridium_longitude);\n";

const std::string kQcTables = kQcConfigsTable + kQcFlagTables;

// The buoy's messages from the delivery indexes, as the Reader finds them (?1 the IMEI, NULL
// for the messages without one).
constexpr const char* kBuoyIdsSql =
    "WITH ids(id) AS MATERIALIZED ("
    "SELECT id FROM messages WHERE ?1 IS NOT NULL AND imei = ?1 AND session_time IS NOT NULL"
    " UNION ALL SELECT id FROM messages WHERE ?1 IS NOT NULL AND imei = ?1"
    " AND session_time IS NULL"
    " UNION ALL SELECT id FROM messages WHERE ?1 IS NULL AND imei IS NULL) ";

std::string BuoyOfDelivery(const Delivery& delivery)
{
    if (delivery.header) {
        return delivery.header->imei;
    }
    if (delivery.attachment) {
        return delivery.attachment->imei;
    }
    return std::string(kFilesBuoy);
}

namespace {

// The archive's layouts, read once per call (a handful of rows) and added to in the caller's
// transaction.
class Layouts {
public:
    Layouts(sqlite3* db, StatementCache& cache) : m_db(db), m_cache(cache) {}

    std::optional<std::int64_t> Id(std::string_view stream, const std::vector<std::string>& tests,
                                   std::string& reason)
    {
        if (!Load(reason)) {
            return std::nullopt;
        }
        std::string names = "[";
        for (const std::string& test : tests) {
            names += (names.size() > 1 ? ",\"" : "\"");
            for (const char c : test) {
                if (c == '"' || c == '\\') {
                    names += '\\';
                }
                names += c;
            }
            names += '"';
        }
        names += ']';
        std::string key = std::string(stream) + '\n' + names;
        if (const auto found = m_ids.find(key); found != m_ids.end()) {
            return found->second;
        }
        // Returning the row's id whether it is new or (written another way round) there.
        Statement* add = m_cache.Get(m_db,
                                     "INSERT INTO qc_layouts (stream, tests) VALUES (?1, ?2)"
                                     " ON CONFLICT DO UPDATE SET stream = excluded.stream"
                                     " RETURNING id",
                                     reason);
        if (add == nullptr) {
            return std::nullopt;
        }
        add->Bind(1, stream);
        add->Bind(2, std::string_view(names));
        if (!add->Next()) {
            if (!add->Failed(reason)) {
                reason = "no layout added";
            }
            return std::nullopt;
        }
        const std::int64_t id = add->Integer(0);
        while (add->Next()) {
        }
        if (add->Failed(reason)) {
            return std::nullopt;
        }
        add->Rewind();
        m_ids.emplace(std::move(key), id);
        m_names.emplace(id, std::pair{std::string(stream), tests});
        return id;
    }

    // A layout's stream and tests, as stored.
    const std::pair<std::string, std::vector<std::string>>* Names(std::int64_t id,
                                                                  std::string& reason)
    {
        if (!Load(reason)) {
            return nullptr;
        }
        if (const auto found = m_names.find(id); found != m_names.end()) {
            return &found->second;
        }
        reason = "flags of an unknown layout " + std::to_string(id);
        return nullptr;
    }

private:
    bool Load(std::string& reason)
    {
        if (m_loaded) {
            return true;
        }
        Statement* rows = m_cache.Get(m_db,
                                      "SELECT l.id, l.stream, l.tests, t.value FROM qc_layouts l,"
                                      " json_each(l.tests) t ORDER BY l.id, t.key",
                                      reason);
        if (rows == nullptr) {
            return false;
        }
        while (rows->Next()) {
            auto& names = m_names[rows->Integer(0)];
            if (names.second.empty()) {
                names.first = rows->Text(1);
                m_ids.emplace(names.first + '\n' + rows->Text(2), rows->Integer(0));
            }
            names.second.push_back(rows->Text(3));
        }
        if (rows->Failed(reason)) {
            return false;
        }
        rows->Rewind();  // no statement left reading: the upgrade drops a table after
        m_loaded = true;
        return true;
    }

    sqlite3* m_db;
    StatementCache& m_cache;
    bool m_loaded = false;
    std::unordered_map<std::string, std::int64_t> m_ids;
    std::unordered_map<std::int64_t, std::pair<std::string, std::vector<std::string>>> m_names;
};

char Digit(std::uint8_t flag, std::string& reason)
{
    if (flag == 1 || flag == 2 || flag == 3 || flag == 4 || flag == 9) {
        return static_cast<char>('0' + flag);
    }
    reason = "not a flag: " + std::to_string(flag);
    return 0;
}

// One value's flags in a message's row: its layout, its record and a digit per test.
void AppendEntry(std::string& row, std::int64_t layout, std::int32_t record,
                 std::string_view digits)
{
    row += row.empty() ? "[[" : ",[";
    row += std::to_string(layout);
    row += ',';
    row += std::to_string(record);
    row += ",\"";
    row += digits;
    row += "\"]";
}

}  // namespace

std::optional<std::vector<FlagEntry>> ParseFlagEntries(std::string_view row)
{
    std::vector<FlagEntry> entries;
    std::size_t at = 0;
    const auto take = [&](char c) {
        if (at < row.size() && row[at] == c) {
            ++at;
            return true;
        }
        return false;
    };
    const auto number = [&](std::int64_t& into) {
        const bool negative = take('-');
        const std::size_t first = at;
        into = 0;
        while (at < row.size() && row[at] >= '0' && row[at] <= '9') {
            into = into * 10 + (row[at++] - '0');
        }
        into = negative ? -into : into;
        return at > first;
    };
    if (!take('[')) {
        return std::nullopt;
    }
    while (!take(']')) {
        std::int64_t layout = 0;
        std::int64_t record = 0;
        if (!(entries.empty() || take(',')) || !take('[') || !number(layout) || !take(',') ||
            !number(record) || !take(',') || !take('"')) {
            return std::nullopt;
        }
        const std::size_t end = row.find('"', at);
        if (end == std::string_view::npos) {
            return std::nullopt;
        }
        entries.push_back({layout, static_cast<std::int32_t>(record),
                           std::string(row.substr(at, end - at))});
        at = end + 1;
        if (!take(']')) {
            return std::nullopt;
        }
    }
    return at == row.size() ? std::optional(std::move(entries)) : std::nullopt;
}

namespace {

// One flag of a message, by name, as a change or as read back.
struct Cell {
    std::int64_t config = 0;
    std::int32_t record = 0;
    std::string stream;
    std::string test;
    std::uint8_t flag = 0;
};

// Rewrites a message's rows so that they hold `cells`: one row per configuration, a value's
// tests together in the order they come.
bool WriteMessage(sqlite3* db, Layouts& layouts, std::int64_t message,
                  const std::vector<Cell>& cells, StatementCache& cache, std::string& reason,
                  bool hadRows = true)
{
    Statement* remove =
        cache.Get(db, "DELETE FROM qc_message_flags WHERE message_id = ?1", reason);
    Statement* insert = cache.Get(
        db, "INSERT INTO qc_message_flags (message_id, config_id, flags) VALUES (?1, ?2, ?3)",
        reason);
    if (remove == nullptr || insert == nullptr) {
        return false;
    }
    remove->Bind(1, message);
    if (hadRows && !Step(db, remove->get(), reason)) {
        return false;
    }
    std::vector<bool> done(cells.size(), false);
    for (std::size_t first = 0; first < cells.size(); ++first) {
        if (done[first]) {
            continue;
        }
        const std::int64_t config = cells[first].config;
        std::string row;
        for (std::size_t i = first; i < cells.size(); ++i) {
            if (done[i] || cells[i].config != config) {
                continue;
            }
            std::vector<std::string> tests;
            std::string digits;
            for (std::size_t j = i; j < cells.size(); ++j) {
                if (!done[j] && cells[j].config == config && cells[j].record == cells[i].record &&
                    cells[j].stream == cells[i].stream) {
                    done[j] = true;
                    tests.push_back(cells[j].test);
                    digits += Digit(cells[j].flag, reason);
                    if (digits.back() == 0) {
                        return false;
                    }
                }
            }
            const auto layout = layouts.Id(cells[i].stream, tests, reason);
            if (!layout) {
                return false;
            }
            AppendEntry(row, *layout, cells[i].record, digits);
        }
        row += ']';
        insert->Bind(1, message);
        insert->Bind(2, config);
        insert->Bind(3, std::string_view(row));
        if (!Step(db, insert->get(), reason)) {
            return false;
        }
    }
    return true;
}

// Sets the flags of `changes` (message by message) over what each message holds.
bool PatchMessages(sqlite3* db, Layouts& layouts,
                   std::map<std::int64_t, std::vector<Cell>>& changes, StatementCache& cache,
                   std::string& reason)
{
    Statement* read =
        cache.Get(db, "SELECT config_id, flags FROM qc_message_flags WHERE message_id = ?1",
                  reason);
    if (read == nullptr) {
        return false;
    }
    for (auto& [message, changed] : changes) {
        std::vector<Cell> cells;
        bool hadRows = false;
        read->Rewind();
        read->Bind(1, message);
        while (read->Next()) {
            hadRows = true;
            const auto entries = ParseFlagEntries(read->Text(1));
            if (!entries) {
                reason = "the flags of message " + std::to_string(message) + " do not read";
                return false;
            }
            for (const FlagEntry& entry : *entries) {
                const auto* names = layouts.Names(entry.layout, reason);
                if (names == nullptr) {
                    return false;
                }
                for (std::size_t t = 0; t < names->second.size() && t < entry.digits.size();
                     ++t) {
                    cells.push_back({read->Integer(0), entry.record, names->first,
                                     names->second[t],
                                     static_cast<std::uint8_t>(entry.digits[t] - '0')});
                }
            }
        }
        if (read->Failed(reason)) {
            return false;
        }
        for (Cell& change : changed) {
            const auto same = std::find_if(cells.begin(), cells.end(), [&](const Cell& c) {
                return c.record == change.record && c.stream == change.stream &&
                       c.test == change.test;
            });
            if (same != cells.end()) {
                *same = std::move(change);
            } else {
                cells.push_back(std::move(change));
            }
        }
        if (!WriteMessage(db, layouts, message, cells, cache, reason, hadRows)) {
            return false;
        }
    }
    return true;
}

// Each stream's layout, found once.
std::optional<std::vector<std::int64_t>> StreamLayouts(Layouts& layouts, const BuoyFlags& flags,
                                                       std::string& reason)
{
    std::vector<std::int64_t> ids;
    for (const StreamFlagRows& stream : flags.streams) {
        std::vector<std::string> tests;
        for (const TestFlagRows& test : stream.tests) {
            if (test.flags.size() != stream.keys.size()) {
                reason = stream.stream + " " + test.test + ": flags and values differ in number";
                return std::nullopt;
            }
            tests.push_back(test.test);
        }
        const auto id = layouts.Id(stream.stream, tests, reason);
        if (!id) {
            return std::nullopt;
        }
        ids.push_back(*id);
    }
    return ids;
}

// A buoy's flags are recomputed whole, yet most of them stay as they were: a message's row
// is written only when it changed, and the rows of messages no longer flagged are deleted.
bool ReplaceChanged(sqlite3* db, const BuoyFlags& flags, std::int64_t configId,
                    StatementCache& cache, std::string& reason)
{
    Layouts layouts(db, cache);
    const auto layoutIds = StreamLayouts(layouts, flags, reason);
    if (!layoutIds) {
        return false;
    }
    // Every value's place, in the message's order: by record, then by stream as given.
    struct Place {
        std::int64_t message;
        std::int32_t record;
        std::uint32_t stream;
        std::uint32_t index;
    };
    std::vector<Place> places;
    for (std::size_t s = 0; s < flags.streams.size(); ++s) {
        const std::vector<ValueKey>& keys = flags.streams[s].keys;
        for (std::size_t i = 0; i < keys.size(); ++i) {
            places.push_back({keys[i].messageId, keys[i].record, static_cast<std::uint32_t>(s),
                              static_cast<std::uint32_t>(i)});
        }
    }
    std::sort(places.begin(), places.end(), [](const Place& a, const Place& b) {
        return std::tie(a.message, a.record, a.stream, a.index) <
               std::tie(b.message, b.record, b.stream, b.index);
    });

    Statement* existing = cache.Get(
        db,
        std::string(kBuoyIdsSql) +
            "SELECT f.message_id, f.config_id, f.flags FROM ids"
            " CROSS JOIN qc_message_flags f ON f.message_id = ids.id ORDER BY f.message_id",
        reason);
    Statement* remove =
        cache.Get(db, "DELETE FROM qc_message_flags WHERE message_id = ?1", reason);
    Statement* insert = cache.Get(
        db, "INSERT INTO qc_message_flags (message_id, config_id, flags) VALUES (?1, ?2, ?3)",
        reason);
    if (existing == nullptr || remove == nullptr || insert == nullptr) {
        return false;
    }
    struct Stored {
        std::int64_t message;
        std::int64_t config;
        std::string flags;
    };
    std::vector<Stored> stored;
    if (flags.buoy != kFilesBuoy) {
        existing->Bind(1, std::string_view(flags.buoy));
    }
    while (existing->Next()) {
        stored.push_back({existing->Integer(0), existing->Integer(1), existing->Text(2)});
    }
    if (existing->Failed(reason)) {
        return false;
    }

    std::size_t next = 0;  // the first stored row not yet matched
    const auto drop = [&](std::int64_t message) {
        remove->Bind(1, message);
        return Step(db, remove->get(), reason);
    };
    std::string row;
    std::string digits;
    for (std::size_t first = 0; first < places.size();) {
        const std::int64_t message = places[first].message;
        row.clear();
        std::size_t at = first;
        for (; at < places.size() && places[at].message == message; ++at) {
            const Place& place = places[at];
            const StreamFlagRows& stream = flags.streams[place.stream];
            digits.clear();
            for (const TestFlagRows& test : stream.tests) {
                digits += Digit(test.flags[place.index], reason);
                if (digits.back() == 0) {
                    return false;
                }
            }
            AppendEntry(row, (*layoutIds)[place.stream], place.record, digits);
        }
        row += ']';
        first = at;
        for (; next < stored.size() && stored[next].message < message; ++next) {
            if (!drop(stored[next].message)) {
                return false;
            }
        }
        std::size_t rows = 0;
        bool same = false;
        for (; next < stored.size() && stored[next].message == message; ++next, ++rows) {
            same = stored[next].config == configId && stored[next].flags == row;
        }
        if (rows == 1 && same) {
            continue;
        }
        if ((rows > 0 && !drop(message))) {
            return false;
        }
        insert->Bind(1, message);
        insert->Bind(2, configId);
        insert->Bind(3, std::string_view(row));
        if (!Step(db, insert->get(), reason)) {
            return false;
        }
    }
    for (; next < stored.size(); ++next) {
        if (!drop(stored[next].message)) {
            return false;
        }
    }
    return true;
}

constexpr const char* kAddConfig =
    "INSERT INTO qc_configs (hash, file_name) VALUES (?1, ?2) ON CONFLICT DO NOTHING";
constexpr const char* kFindConfig = "SELECT id FROM qc_configs WHERE hash = ?1 AND file_name = ?2";

// The configuration's row, added when it is new.
std::optional<std::int64_t> ConfigId(sqlite3* db, const BuoyFlags& flags, StatementCache& cache,
                                     std::string& reason)
{
    Statement* found = cache.Get(db, kAddConfig, reason);
    Statement* foundId = cache.Get(db, kFindConfig, reason);
    if (found == nullptr || foundId == nullptr) {
        return std::nullopt;
    }
    Statement& config = *found;
    Statement& configId = *foundId;
    config.Bind(1, std::string_view(flags.configHash));
    config.Bind(2, std::string_view(flags.configFile));
    if (!Step(db, config.get(), reason)) {
        return std::nullopt;
    }
    configId.Bind(1, std::string_view(flags.configHash));
    configId.Bind(2, std::string_view(flags.configFile));
    if (!configId.Next()) {
        if (!configId.Failed(reason)) {
            reason = "the configuration's row is gone";
        }
        return std::nullopt;
    }
    const std::int64_t id = configId.Integer(0);
    configId.Rewind();
    return id;
}

}  // namespace

bool WriteBuoyFlagChanges(sqlite3* db, const BuoyFlags& now, const BuoyFlags& before,
                          std::string& reason, StatementCache& cache)
{
    const bool comparable =
        now.streams.size() == before.streams.size() &&
        std::equal(now.streams.begin(), now.streams.end(), before.streams.begin(),
                   [](const StreamFlagRows& a, const StreamFlagRows& b) {
                       return a.stream == b.stream && a.tests.size() == b.tests.size() &&
                              a.keys.size() >= b.keys.size() &&
                              std::equal(b.keys.begin(), b.keys.end(), a.keys.begin()) &&
                              std::equal(a.tests.begin(), a.tests.end(), b.tests.begin(),
                                         [](const TestFlagRows& x, const TestFlagRows& y) {
                                             return x.test == y.test;
                                         });
                   });
    if (!comparable || now.configHash != before.configHash ||
        now.configFile != before.configFile || now.from || now.to || before.from || before.to) {
        return WriteBuoyFlags(db, now, reason, &cache);  // compared with what the archive holds
    }
    const std::optional<std::int64_t> configId = ConfigId(db, now, cache, reason);
    if (!configId) {
        return false;
    }
    std::map<std::int64_t, std::vector<Cell>> changes;
    for (std::size_t s = 0; s < now.streams.size(); ++s) {
        const StreamFlagRows& stream = now.streams[s];
        for (std::size_t t = 0; t < stream.tests.size(); ++t) {
            const TestFlagRows& test = stream.tests[t];
            const std::vector<std::uint8_t>& old = before.streams[s].tests[t].flags;
            if (test.flags.size() != stream.keys.size()) {
                reason = stream.stream + " " + test.test + ": flags and values differ in number";
                return false;
            }
            for (std::size_t i = 0; i < stream.keys.size(); ++i) {
                if (i < old.size() && old[i] == test.flags[i]) {
                    continue;
                }
                changes[stream.keys[i].messageId].push_back(
                    {*configId, stream.keys[i].record, stream.stream, test.test, test.flags[i]});
            }
        }
    }
    Layouts layouts(db, cache);
    return PatchMessages(db, layouts, changes, cache, reason);
}

bool WriteBuoyFlags(sqlite3* db, const BuoyFlags& flags, std::string& reason,
                    StatementCache* shared)
{
    StatementCache own;
    StatementCache& cache = shared ? *shared : own;
    const std::optional<std::int64_t> configId = ConfigId(db, flags, cache, reason);
    if (!configId) {
        return false;
    }
    if (!flags.from && !flags.to) {
        return ReplaceChanged(db, flags, *configId, cache, reason);
    }
    Statement* clear = cache.Get(
        db,
        std::string(kBuoyIdsSql) +
            "DELETE FROM qc_message_flags WHERE message_id IN (SELECT ids.id FROM ids"
            " CROSS JOIN messages m ON m.id = ids.id WHERE m.time BETWEEN ?2 AND ?3)",
        reason);
    if (clear == nullptr) {
        return false;
    }
    if (flags.buoy != kFilesBuoy) {
        clear->Bind(1, std::string_view(flags.buoy));
    }
    clear->Bind(2, std::string_view(flags.from ? IsoUtc(*flags.from) : std::string()));
    clear->Bind(3, std::string_view(flags.to ? IsoUtc(*flags.to) : std::string("~")));
    if (!Step(db, clear->get(), reason)) {
        return false;
    }
    std::map<std::int64_t, std::vector<Cell>> changes;
    for (const StreamFlagRows& stream : flags.streams) {
        for (const TestFlagRows& test : stream.tests) {
            if (test.flags.size() != stream.keys.size()) {
                reason = stream.stream + " " + test.test + ": flags and values differ in number";
                return false;
            }
            for (std::size_t i = 0; i < stream.keys.size(); ++i) {
                changes[stream.keys[i].messageId].push_back(
                    {*configId, stream.keys[i].record, stream.stream, test.test, test.flags[i]});
            }
        }
    }
    Layouts layouts(db, cache);
    return PatchMessages(db, layouts, changes, cache, reason);
}

bool UpgradeFlagsToVersion7(sqlite3* db, std::string& reason)
{
    // The (imei, time) index of version 6 is the new index's first half: one is enough for
    // every message written to keep up.
    if (!Execute(db,
                 "ALTER TABLE qc_flags RENAME TO qc_flags_by_test;\n" + kQcFlagTables +
                     "DROP INDEX IF EXISTS messages_by_buoy_time;\n",
                 reason)) {
        return false;
    }
    // In the old key's order, so a message's flags come together and each is read once.
    Statement rows = Prepare(db,
                             "SELECT message_id, record, stream, test, flag, config_id"
                             " FROM qc_flags_by_test ORDER BY message_id, record, stream, test",
                             reason);
    if (!rows) {
        return false;
    }
    StatementCache cache;
    Layouts layouts(db, cache);
    std::vector<Cell> cells;
    std::optional<std::int64_t> message;
    while (rows.Next()) {
        if (message && *message != rows.Integer(0)) {
            if (!WriteMessage(db, layouts, *message, cells, cache, reason)) {
                return false;
            }
            cells.clear();
        }
        message = rows.Integer(0);
        cells.push_back({rows.Integer(5), static_cast<std::int32_t>(rows.Integer(1)), rows.Text(2),
                         rows.Text(3), static_cast<std::uint8_t>(rows.Integer(4))});
    }
    if (rows.Failed(reason) ||
        (message && !WriteMessage(db, layouts, *message, cells, cache, reason))) {
        return false;
    }
    rows.reset();
    cache.Clear();
    return Execute(db, "DROP TABLE qc_flags_by_test", reason);
}

}  // namespace saltmark::archive
