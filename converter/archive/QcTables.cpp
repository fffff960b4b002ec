#include "QcTables.h"

#include <algorithm>
#include <unordered_map>

#include "Records.h"
#include "Sqlite.h"

namespace saltmark::archive {

using namespace sqlite;

// Keyed by the value and the test, without a rowid: a buoy's flags are replaced message by
// message, and the key is what every reader looks them up by.
const std::string kQcTables =
    "CREATE TABLE qc_configs (id INTEGER PRIMARY KEY, hash TEXT NOT NULL,"
    " file_name TEXT NOT NULL,"
    " first_used_at TEXT NOT NULL DEFAULT (strftime('%Y-%m-%dT%H:%M:%fZ', 'now')),"
    " UNIQUE (hash, file_name));\n"
    "CREATE TABLE qc_flags (message_id INTEGER NOT NULL REFERENCES messages(id),"
    " record INTEGER NOT NULL, stream TEXT NOT NULL, test TEXT NOT NULL,"
    " flag INTEGER NOT NULL CHECK (flag IN (1, 2, 3, 4, 9)),"
    " config_id INTEGER NOT NULL REFERENCES qc_configs(id),"
    " PRIMARY KEY (message_id, record, stream, test)) WITHOUT ROWID;\n";

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

// A buoy's flags are recomputed whole each time messages of it arrive, yet most of them stay
// as they were: only the flags that changed are written and only those no longer given are
// deleted, so a delivery costs its own flags and its neighbours', not the buoy's history.
bool ReplaceChanged(sqlite3* db, const BuoyFlags& flags, std::int64_t configId,
                    Statement& insert, std::string& reason)
{
    Statement existing = Prepare(
        db,
        std::string(kBuoyIdsSql) +
            "SELECT f.message_id, f.record, f.stream, f.test, f.flag, f.config_id FROM ids"
            " CROSS JOIN qc_flags f ON f.message_id = ids.id",
        reason);
    Statement remove = Prepare(db,
                               "DELETE FROM qc_flags WHERE message_id = ?1 AND record = ?2"
                               " AND stream = ?3 AND test = ?4",
                               reason);
    if (!existing || !remove) {
        return false;
    }
    // Keyed by message, record and the stream and test's index among the names met, so that
    // a buoy's year of flags is looked up without building a string per flag.
    std::vector<std::pair<std::string, std::string>> names;
    const auto nameIndex = [&](std::string_view stream, std::string_view test) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (names[i].first == stream && names[i].second == test) {
                return static_cast<std::int64_t>(i);
            }
        }
        names.emplace_back(stream, test);
        return static_cast<std::int64_t>(names.size() - 1);
    };
    struct Key {
        std::int64_t message;
        std::int64_t record;
        std::int64_t name;
        bool operator==(const Key&) const = default;
    };
    struct Hash {
        std::size_t operator()(const Key& k) const
        {
            return std::hash<std::int64_t>()(k.message * 1000003 + k.record * 131 + k.name);
        }
    };
    struct Stored {
        std::int64_t flag;
        std::int64_t config;
        bool given = false;
    };
    std::unordered_map<Key, Stored, Hash> stored;
    if (flags.buoy != kFilesBuoy) {
        existing.Bind(1, std::string_view(flags.buoy));
    }
    while (existing.Next()) {
        const Key key{existing.Integer(0), existing.Integer(1),
                      nameIndex(existing.Text(2), existing.Text(3))};
        stored.emplace(key, Stored{existing.Integer(4), existing.Integer(5)});
    }
    if (existing.Failed(reason)) {
        return false;
    }
    for (const StreamFlagRows& stream : flags.streams) {
        for (const TestFlagRows& test : stream.tests) {
            if (test.flags.size() != stream.keys.size()) {
                reason = stream.stream + " " + test.test + ": flags and values differ in number";
                return false;
            }
            const std::int64_t name = nameIndex(stream.stream, test.test);
            for (std::size_t i = 0; i < stream.keys.size(); ++i) {
                const ValueKey& key = stream.keys[i];
                const auto found = stored.find(Key{key.messageId, key.record, name});
                if (found != stored.end()) {
                    found->second.given = true;
                    if (found->second.flag == test.flags[i] && found->second.config == configId) {
                        continue;
                    }
                }
                insert.Bind(1, key.messageId);
                insert.Bind(2, std::int64_t{key.record});
                insert.Bind(3, std::string_view(stream.stream));
                insert.Bind(4, std::string_view(test.test));
                insert.Bind(5, std::int64_t{test.flags[i]});
                insert.Bind(6, configId);
                if (!Step(db, insert.get(), reason)) {
                    return false;
                }
            }
        }
    }
    for (const auto& [key, row] : stored) {
        if (row.given) {
            continue;
        }
        remove.Bind(1, key.message);
        remove.Bind(2, key.record);
        remove.Bind(3, std::string_view(names[key.name].first));
        remove.Bind(4, std::string_view(names[key.name].second));
        if (!Step(db, remove.get(), reason)) {
            return false;
        }
    }
    return true;
}

constexpr const char* kAddConfig =
    "INSERT INTO qc_configs (hash, file_name) VALUES (?1, ?2) ON CONFLICT DO NOTHING";
constexpr const char* kFindConfig = "SELECT id FROM qc_configs WHERE hash = ?1 AND file_name = ?2";

// The configuration's row, added when it is new.
std::optional<std::int64_t> ConfigId(sqlite3* db, const BuoyFlags& flags, std::string& reason,
                                     StatementCache* cache = nullptr)
{
    Statement preparedConfig;
    Statement preparedId;
    Statement* found = cache ? cache->Get(db, kAddConfig, reason)
                             : &(preparedConfig = Prepare(db, kAddConfig, reason));
    Statement* foundId = cache ? cache->Get(db, kFindConfig, reason)
                               : &(preparedId = Prepare(db, kFindConfig, reason));
    if (found == nullptr || foundId == nullptr || !*found || !*foundId) {
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

constexpr const char* kInsertFlag =
    "INSERT OR REPLACE INTO qc_flags (message_id, record, stream, test, flag, config_id)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6)";

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
        return WriteBuoyFlags(db, now, reason);  // compared with what the archive holds
    }
    const std::optional<std::int64_t> configId = ConfigId(db, now, reason, &cache);
    Statement* prepared = cache.Get(db, kInsertFlag, reason);
    if (!configId || prepared == nullptr) {
        return false;
    }
    Statement& insert = *prepared;
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
                insert.Bind(1, stream.keys[i].messageId);
                insert.Bind(2, std::int64_t{stream.keys[i].record});
                insert.Bind(3, std::string_view(stream.stream));
                insert.Bind(4, std::string_view(test.test));
                insert.Bind(5, std::int64_t{test.flags[i]});
                insert.Bind(6, *configId);
                if (!Step(db, insert.get(), reason)) {
                    return false;
                }
            }
        }
    }
    return true;
}

bool WriteBuoyFlags(sqlite3* db, const BuoyFlags& flags, std::string& reason)
{
    Statement clear = Prepare(
        db,
        std::string(kBuoyIdsSql) +
            "DELETE FROM qc_flags WHERE message_id IN (SELECT ids.id FROM ids"
            " CROSS JOIN messages m ON m.id = ids.id WHERE ?2 OR m.time BETWEEN ?3 AND ?4)",
        reason);
    Statement insert = Prepare(db, kInsertFlag, reason);
    const std::optional<std::int64_t> configId = ConfigId(db, flags, reason);
    if (!clear || !insert || !configId) {
        return false;
    }
    const std::int64_t id = *configId;

    const bool whole = !flags.from && !flags.to;
    if (whole) {
        return ReplaceChanged(db, flags, id, insert, reason);
    }
    if (flags.buoy != kFilesBuoy) {
        clear.Bind(1, std::string_view(flags.buoy));
    }
    clear.Bind(2, std::int64_t{whole ? 1 : 0});
    clear.Bind(3, std::string_view(flags.from ? IsoUtc(*flags.from) : std::string()));
    clear.Bind(4, std::string_view(flags.to ? IsoUtc(*flags.to) : std::string("~")));
    if (!Step(db, clear.get(), reason)) {
        return false;
    }
    for (const StreamFlagRows& stream : flags.streams) {
        for (const TestFlagRows& test : stream.tests) {
            if (test.flags.size() != stream.keys.size()) {
                reason = stream.stream + " " + test.test + ": flags and values differ in number";
                return false;
            }
            for (std::size_t i = 0; i < stream.keys.size(); ++i) {
                insert.Bind(1, stream.keys[i].messageId);
                insert.Bind(2, std::int64_t{stream.keys[i].record});
                insert.Bind(3, std::string_view(stream.stream));
                insert.Bind(4, std::string_view(test.test));
                insert.Bind(5, std::int64_t{test.flags[i]});
                insert.Bind(6, id);
                if (!Step(db, insert.get(), reason)) {
                    return false;
                }
            }
        }
    }
    return true;
}

}  // namespace saltmark::archive
