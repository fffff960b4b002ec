#include "Reader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>

#include "Archive.h"
#include "QcTables.h"
#include "Records.h"
#include "Sqlite.h"

namespace saltmark::archive {

namespace {

using namespace sqlite;

constexpr int kOldestReadable = 2;
constexpr int kNewestReadable = 7;
// Only for the instant a writer resets the log; a WAL reader otherwise never waits.
constexpr int kBusyTimeoutMs = 1000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A buoy's latest values are looked for among the archive's newest messages first, about a
// day's worth a buoy at 30-minute reporting.
constexpr std::size_t kRecentMessages = 48;
// One buoy's page is first looked for among this many pages of every buoy's newest messages.
constexpr int kBuoysAmongNewest = 100;
// A record table this small is read whole, newest first, for every buoy that lacks its kind.
constexpr std::int64_t kSmallTable = 100000;

// The archive's times are "YYYY-MM-DDTHH:MM:SSZ", which compare as text in time order; an
// open bound compares below or above every one of them.
constexpr const char* kBeforeEveryTime = "";
constexpr const char* kAfterEveryTime = "~";
constexpr double kLatestTime = 253402300799.0;  // 9999-12-31T23:59:59Z

std::string FromText(const std::optional<double>& from)
{
    return from ? IsoUtc(static_cast<std::int64_t>(std::ceil(std::clamp(*from, 0.0, kLatestTime))))
                : kBeforeEveryTime;
}

std::string ToText(const std::optional<double>& to)
{
    if (to && *to < 0) {
        return "0";  // below every time
    }
    return to ? IsoUtc(static_cast<std::int64_t>(std::floor(std::min(*to, kLatestTime))))
              : kAfterEveryTime;
}

// The IMEI a buoy name selects; nothing for the mail-folder buoy (the messages without one).
std::optional<std::string> ImeiOf(const std::string& buoy)
{
    return buoy == kFilesBuoy ? std::nullopt : std::optional(buoy);
}

std::string BuoyOf(const std::optional<std::string>& imei)
{
    return imei.value_or(std::string(kFilesBuoy));
}

// A record type's table and one field's column, found by the names the report or the archive
// gives them.
struct FieldColumn {
    const RecordDescription* type = nullptr;
    const FieldDescription* field = nullptr;
    std::string table;
    std::string column;
};

std::optional<FieldColumn> FindField(const std::string& record, const std::string& field,
                                     bool array, std::string& reason)
{
    for (const RecordDescription& type : RecordDescriptions()) {
        if (type.typeName != record && ArchiveName(type.typeName) != record) {
            continue;
        }
        for (const FieldDescription& f : type.fields) {
            if ((f.name == field || ArchiveName(f.name) == field) && IsArray(f.kind) == array &&
                f.kind != FieldKind::Text) {
                const std::string table = ArchiveName(type.typeName);
                return FieldColumn{&type, &f, array ? table + "_" + ArchiveName(f.name) : table,
                                   ArchiveName(f.name)};
            }
        }
        reason = "no " + std::string(array ? "array" : "numeric scalar") + " field \"" + field +
                 "\" in record type " + std::string(type.typeName);
        return std::nullopt;
    }
    reason = "no record type \"" + record + "\"";
    return std::nullopt;
}

FieldColumn Column(std::string_view record, std::string_view field)
{
    std::string ignored;
    return *FindField(std::string(record), std::string(field), false, ignored);
}

// `sql` with each {name} replaced: table and column names from the record descriptions and
// fixed expressions of this file, never a caller's text.
std::string Sql(std::string sql,
                std::initializer_list<std::pair<std::string_view, std::string>> names)
{
    for (const auto& [name, value] : names) {
        const std::string key = "{" + std::string(name) + "}";
        for (std::size_t at = sql.find(key); at != std::string::npos;
             at = sql.find(key, at + value.size())) {
            sql.replace(at, key.size(), value);
        }
    }
    return sql;
}

// A record's time: a PB200 states its own moment when its date is valid; other records are
// placed at their message's.
std::string TimeOf(const RecordDescription& type)
{
    return type.typeName == "PB200" ? "COALESCE(r.measured_at, m.time)" : "m.time";
}

// The records that carry a position of their own.
constexpr std::pair<PositionSource, std::string_view> kPositionRecords[] = {
    {PositionSource::Pb200, "PB200"},
    {PositionSource::Imu, "IMU"},
    {PositionSource::Ellipse, "Ellipse"},
};

// The ids of one buoy's messages (?1 its IMEI, NULL for the mail-folder buoy), read from the
// delivery indexes alone: a DirectIP delivery is keyed with its session time, a mail
// attachment without, so the messages' rows, long with their bytes, stay unread. Materialized,
// so that the query around it cannot turn them into a scan of every message by id.
constexpr const char* kBuoyIds =
    "WITH ids(id) AS MATERIALIZED ("
    "SELECT id FROM messages WHERE ?1 IS NOT NULL AND imei = ?1 AND session_time IS NOT NULL"
    " UNION ALL SELECT id FROM messages WHERE ?1 IS NOT NULL AND imei = ?1"
    " AND session_time IS NULL"
    " UNION ALL SELECT id FROM messages WHERE ?1 IS NULL AND imei IS NULL) ";

// A record table r joined to its messages m: of every buoy by message, so that the time
// index serves a range; of one buoy by its ids (kBuoyIds), the record first, so that a
// message without such a record is never read.
constexpr const char* kRecordsOfEveryBuoy =
    "messages m CROSS JOIN {table} r ON r.message_id = m.id";
constexpr const char* kRecordsOfOneBuoy =
    "ids CROSS JOIN {table} r ON r.message_id = ids.id"
    " CROSS JOIN messages m ON m.id = r.message_id";

constexpr const char* kEnvelopeColumns =
    "m.id, m.file_name, m.size, m.packet_type, m.outcome, m.stop_reason, m.stop_offset,"
    " m.imported_at, m.imei, m.momsn, m.mtmsn, m.cdr_reference, m.session_status,"
    " m.session_time, m.iridium_latitude, m.iridium_longitude, m.iridium_cep_km, m.source,"
    " m.received_at, m.time, m.time_source";

MessageEnvelope Envelope(const Statement& row)
{
    MessageEnvelope e;
    e.id = row.Integer(0);
    e.fileName = row.Text(1);
    e.size = row.Integer(2);
    e.packetType = row.OptionalInteger(3);
    e.outcome = row.Text(4);
    e.stopReason = row.OptionalText(5);
    e.stopOffset = row.OptionalInteger(6);
    e.importedAt = row.Text(7);
    e.imei = row.OptionalText(8);
    e.momsn = row.OptionalInteger(9);
    e.mtmsn = row.OptionalInteger(10);
    e.cdrReference = row.OptionalInteger(11);
    e.sessionStatus = row.OptionalInteger(12);
    e.sessionTime = row.OptionalText(13);
    e.iridiumLatitude = row.OptionalReal(14);
    e.iridiumLongitude = row.OptionalReal(15);
    e.iridiumCepKm = row.OptionalInteger(16);
    e.source = row.Text(17);
    e.receivedAt = row.OptionalText(18);
    e.time = row.OptionalText(19);
    e.timeSource = row.OptionalText(20);
    return e;
}

// A value as a chart shows it: NaN for the logger's marker, a non-finite value and NULL
// (SQLite's NaN).
double Reading(const Statement& row, int column)
{
    if (row.Null(column)) {
        return kNaN;
    }
    return ReadingOf(row.Real(column));
}

// Runs `statement` to its end, handing each row to `take`; false with `reason` on an error.
template <typename Take>
bool EachRow(Statement& statement, std::string& reason, Take take)
{
    while (statement.Next()) {
        take(statement);
    }
    return !statement.Failed(reason);
}

// The buoys' names met while reading rows of several buoys, each given its index once.
class BuoyNames {
public:
    std::int32_t Index(const std::string& buoy)
    {
        const auto [at, added] =
            m_index.try_emplace(buoy, static_cast<std::int32_t>(m_names.size()));
        if (added) {
            m_names.push_back(buoy);
        }
        return at->second;
    }
    std::vector<std::string> Names() && { return std::move(m_names); }

private:
    std::map<std::string, std::int32_t> m_index;
    std::vector<std::string> m_names;
};

// The order of a permutation of rows sorted by `less`, applied to each parallel array.
template <typename T>
void Permute(std::vector<T>& values, const std::vector<std::size_t>& order)
{
    std::vector<T> sorted;
    sorted.reserve(values.size());
    for (std::size_t i : order) {
        sorted.push_back(std::move(values[i]));
    }
    values = std::move(sorted);
}

template <typename Less>
std::vector<std::size_t> Order(std::size_t n, Less less)
{
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), less);
    return order;
}

// What a buoy's summary still lacks.
enum Wanted : unsigned {
    kWantsBattery = 1,
    kWantsImage = 2,
    kWantsPosition = 4,
    kWantsAll = 7,
};

// The columns of a message that a buoy's summary reads.
constexpr const char* kSummaryColumns =
    "m.id, unixepoch(m.time), m.file_name, m.imei, m.iridium_latitude, m.iridium_longitude,"
    " m.iridium_cep_km";

// A message's time and id, which order messages newest last.
using Newest = std::pair<std::optional<double>, std::int64_t>;

// For each of the `wanting` buoys (indexes into `imeis`), its newest message with a record
// of `table` that meets `condition` (with no table, a message that meets it). A small table
// is read once for them all, newest first; a large one through each buoy's own messages,
// which costs as many rows as the buoy has.
std::optional<std::map<std::size_t, Newest>> NewestWith(
    sqlite3* db, const std::string& table, const std::string& condition,
    const std::vector<std::optional<std::string>>& imeis, const std::vector<std::size_t>& wanting,
    std::string& reason)
{
    std::map<std::size_t, Newest> found;
    if (wanting.empty()) {
        return found;
    }
    if (!table.empty()) {
        const auto rows =
            QueryInteger(db,
                         Sql("SELECT count(*) FROM (SELECT 1 FROM {table} LIMIT {n})",
                             {{"table", Quoted(table)}, {"n", std::to_string(kSmallTable + 1)}}),
                         reason);
        if (!rows) {
            return std::nullopt;
        }
        if (*rows <= kSmallTable) {
            Statement all = Prepare(db,
                                    Sql("SELECT m.id, unixepoch(m.time), m.imei FROM {table} r"
                                        " CROSS JOIN messages m ON m.id = r.message_id"
                                        " WHERE {condition} ORDER BY m.time DESC, m.id DESC",
                                        {{"table", Quoted(table)}, {"condition", condition}}),
                                    reason);
            if (!all) {
                return std::nullopt;
            }
            std::map<std::optional<std::string>, std::size_t> wanted;
            for (const std::size_t i : wanting) {
                wanted[imeis[i]] = i;
            }
            while (found.size() < wanting.size() && all.Next()) {
                const auto at = wanted.find(all.OptionalText(2));
                if (at != wanted.end()) {
                    found.try_emplace(at->second, all.OptionalReal(1), all.Integer(0));
                }
            }
            return all.Failed(reason) ? std::nullopt : std::optional(found);
        }
    }
    Statement one = Prepare(
        db,
        kBuoyIds + Sql("SELECT m.id, unixepoch(m.time) FROM {records} WHERE {condition}"
                       " ORDER BY m.time DESC, m.id DESC LIMIT 1",
                       {{"records", table.empty() ? "ids CROSS JOIN messages m ON m.id = ids.id"
                                                  : kRecordsOfOneBuoy},
                        {"table", Quoted(table)},
                        {"condition", condition}}),
        reason);
    if (!one) {
        return std::nullopt;
    }
    for (const std::size_t i : wanting) {
        one.Rewind();
        one.Bind(1, imeis[i]);
        if (one.Next()) {
            found.emplace(i, Newest{one.OptionalReal(1), one.Integer(0)});
        } else if (one.Failed(reason)) {
            return std::nullopt;
        }
    }
    return found;
}

// The archive's first version with quality-control flags.
constexpr int kFirstWithFlags = 4;

// The flags as rows (f.message_id, record, stream, test, flag) to name in a query: since
// version 7 taken apart from each message's row, where the names are written once per
// layout; before, a table of one row per value and test.
struct FlagRows {
    std::string table;
    std::string record;
    std::string stream;
    std::string test;
    std::string flag;
};

FlagRows FlagRowsOf(int version)
{
    if (version < 7) {
        return {"qc_flags f", "f.record", "f.stream", "f.test", "f.flag"};
    }
    return {"qc_message_flags f CROSS JOIN json_each(f.flags) fe"
            " CROSS JOIN qc_layouts fl ON fl.id = json_extract(fe.value, '$[0]')"
            " CROSS JOIN json_each(fl.tests) ft",
            "json_extract(fe.value, '$[1]')", "fl.stream", "ft.value",
            "CAST(substr(json_extract(fe.value, '$[2]'), ft.key + 1, 1) AS INTEGER)"};
}

// A value's aggregate flag as a column of a query over a record r of a message m: `record`
// the record's index, `stream` its stream as the quality control names it ("Miscellaneous
// values.Battery voltage", "position"). One lookup in the flags' key; NULL when none.
std::string AggregateOf(int version, const std::string& record, const std::string& stream)
{
    const FlagRows f = FlagRowsOf(version);
    return "(SELECT " + f.flag + " FROM " + f.table + " WHERE f.message_id = m.id AND " +
           f.record + " = " + record + " AND " + f.stream + " = " + stream + " AND " + f.test +
           " = 'aggregate')";
}

// Since version 7, values' aggregate flags from their messages' rows of flags, taken apart
// here: SQL's JSON functions would take a message's row apart again for each of its values.
class AggregateFlags {
public:
    explicit AggregateFlags(sqlite3* db) : m_db(db) {}

    // The flag of the value at (message, record) of `stream`; 0 where none.
    std::optional<StoredFlag> Of(std::int64_t message, std::int32_t record,
                                 const std::string& stream, std::string& reason)
    {
        if (!m_row) {
            Statement layouts = Prepare(m_db,
                                        "SELECT l.id, l.stream, t.key FROM qc_layouts l,"
                                        " json_each(l.tests) t WHERE t.value = 'aggregate'",
                                        reason);
            m_row = Prepare(m_db, "SELECT flags FROM qc_message_flags WHERE message_id = ?1",
                            reason);
            if (!layouts || !m_row) {
                return std::nullopt;
            }
            while (layouts.Next()) {
                m_aggregate.emplace(layouts.Integer(0),
                                    std::pair{layouts.Text(1), layouts.Integer(2)});
            }
            if (layouts.Failed(reason)) {
                return std::nullopt;
            }
        }
        if (message != m_message) {
            m_entries.clear();
            m_row.Rewind();
            m_row.Bind(1, message);
            while (m_row.Next()) {
                auto entries = ParseFlagEntries(m_row.Text(0));
                if (!entries) {
                    reason = "the flags of message " + std::to_string(message) + " do not read";
                    return std::nullopt;
                }
                m_entries.insert(m_entries.end(), entries->begin(), entries->end());
            }
            if (m_row.Failed(reason)) {
                return std::nullopt;
            }
            m_message = message;
        }
        for (const FlagEntry& entry : m_entries) {
            const auto found = m_aggregate.find(entry.layout);
            if (entry.record == record && found != m_aggregate.end() &&
                found->second.first == stream &&
                found->second.second < static_cast<std::int64_t>(entry.digits.size())) {
                return static_cast<StoredFlag>(
                    entry.digits[static_cast<std::size_t>(found->second.second)] - '0');
            }
        }
        return StoredFlag{0};
    }

private:
    sqlite3* m_db;
    Statement m_row;
    std::map<std::int64_t, std::pair<std::string, std::int64_t>> m_aggregate;  // stream, digit
    std::int64_t m_message = -1;
    std::vector<FlagEntry> m_entries;
};

// The tests' flags of values of one stream, each found by its message and record: one column
// per test any value has a flag of, by name, 0 where a value has none.
bool ReadTestFlags(sqlite3* db, int version, const std::vector<std::int32_t>& messageIds,
                   const std::vector<std::int32_t>& records, const std::string& stream,
                   std::vector<TestFlagRows>& tests, std::string& reason)
{
    const FlagRows f = FlagRowsOf(version);
    Statement lookup = Prepare(db,
                               "SELECT " + f.test + ", " + f.flag + " FROM " + f.table +
                                   " WHERE f.message_id = ?1 AND " + f.record + " = ?2 AND " +
                                   f.stream + " = ?3 AND " + f.test + " <> 'aggregate'",
                               reason);
    if (!lookup) {
        return false;
    }
    std::map<std::string, std::vector<StoredFlag>> byTest;
    for (std::size_t i = 0; i < messageIds.size(); ++i) {
        lookup.Rewind();
        lookup.Bind(1, std::int64_t{messageIds[i]});
        lookup.Bind(2, std::int64_t{records[i]});
        lookup.Bind(3, std::string_view(stream));
        while (lookup.Next()) {
            auto& column = byTest[lookup.Text(0)];
            column.resize(messageIds.size(), 0);
            column[i] = static_cast<StoredFlag>(lookup.Integer(1));
        }
        if (lookup.Failed(reason)) {
            return false;
        }
    }
    for (auto& [test, flags] : byTest) {
        tests.push_back({test, std::move(flags)});
    }
    return true;
}

}  // namespace

struct Reader::Impl {
    Connection db;
    int version = 0;
};

std::unique_ptr<Reader> Reader::Open(const std::filesystem::path& path, std::string& reason)
{
    Connection db = sqlite::Open(path.string(), SQLITE_OPEN_READONLY, reason);
    if (!db) {
        return nullptr;
    }
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    const auto applicationId = QueryInteger(db.get(), "PRAGMA application_id", reason);
    const auto version =
        applicationId ? QueryInteger(db.get(), "PRAGMA user_version", reason) : std::nullopt;
    if (!version) {
        return nullptr;
    }
    if (*applicationId != kApplicationId || *version < kOldestReadable ||
        *version > kNewestReadable) {
        reason = "not an archive of version " + std::to_string(kOldestReadable) + " to " +
                 std::to_string(kNewestReadable) + " (application_id " +
                 std::to_string(*applicationId) + ", user_version " + std::to_string(*version) +
                 ")";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->db = std::move(db);
    impl->version = static_cast<int>(*version);
    return std::unique_ptr<Reader>(new Reader(std::move(impl)));
}

Reader::Reader(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Reader::~Reader() = default;

int Reader::Version() const { return m_impl->version; }

std::optional<std::int64_t> Reader::MessageCount(std::string& reason) const
{
    return QueryInteger(m_impl->db.get(), "SELECT count(*) FROM messages", reason);
}

std::optional<std::vector<BuoySummary>> Reader::Buoys(std::string& reason) const
{
    sqlite3* db = m_impl->db.get();
    // Counted in the delivery indexes, which hold the IMEI, and the messages without one in
    // theirs: a scan of the messages themselves would read every message's bytes.
    Statement byImei = Prepare(db,
                               "SELECT imei, count(*) FROM messages WHERE session_time IS NOT NULL"
                               " GROUP BY imei UNION ALL SELECT imei, count(*) FROM messages"
                               " WHERE imei IS NOT NULL AND session_time IS NULL GROUP BY imei",
                               reason);
    const auto withoutImei =
        QueryInteger(db, "SELECT count(*) FROM messages WHERE imei IS NULL", reason);
    if (!byImei || !withoutImei) {
        return std::nullopt;
    }
    std::map<std::string, std::int64_t> counts;
    if (!EachRow(byImei, reason,
                 [&](const Statement& row) { counts[row.Text(0)] += row.Integer(1); })) {
        return std::nullopt;
    }
    std::vector<BuoySummary> buoys;
    std::map<std::optional<std::string>, std::size_t> indexOf;
    for (const auto& [imei, count] : counts) {
        indexOf[imei] = buoys.size();
        BuoySummary& buoy = buoys.emplace_back();
        buoy.buoy = imei;
        buoy.imei = imei;
        buoy.messages = count;
    }
    if (*withoutImei > 0) {
        indexOf[std::nullopt] = buoys.size();
        BuoySummary& files = buoys.emplace_back();
        files.buoy = kFilesBuoy;
        files.messages = *withoutImei;
    }

    // Each kind of latest value: the records that give it, and the statement that reads it
    // from one message's records by the message's id.
    const FieldColumn battery = Column("Miscellaneous values", "Battery voltage");
    const FieldColumn image = Column("Camera", "Image size");
    const std::string voltage = "r." + Quoted(battery.column);
    struct Kind {
        Wanted wanted;
        PositionSource source;  // for a position
        std::string table;      // empty: the message's own columns (the gateway's estimate)
        std::string condition;
        Statement inMessage;
    };
    std::vector<Kind> kinds;
    constexpr const char* kInMessage =
        "SELECT {columns} FROM {table} r WHERE r.message_id = ?1"
        " AND {condition} ORDER BY r.record DESC LIMIT 1";
    const auto addKind = [&](Wanted wanted, PositionSource source, const std::string& table,
                             const std::string& columns, const std::string& condition) {
        kinds.push_back({wanted, source, table, condition,
                         Prepare(db,
                                 Sql(kInMessage, {{"columns", columns},
                                                  {"table", Quoted(table)},
                                                  {"condition", condition}}),
                                 reason)});
        return static_cast<bool>(kinds.back().inMessage);
    };
    bool prepared =
        addKind(kWantsBattery, {}, battery.table, voltage,
                Sql("{v} IS NOT NULL AND {v} <> 9999 AND abs({v}) < 1e300", {{"v", voltage}})) &&
        addKind(kWantsImage, {}, image.table, "1", "r." + Quoted(image.column) + " > 0");
    constexpr const char* kOnGlobe = "{lat} BETWEEN -90 AND 90 AND {lon} BETWEEN -180 AND 180";
    for (const auto& [source, type] : kPositionRecords) {
        const FieldColumn lat = Column(type, "Lat");
        const std::string latitude = "r." + Quoted(lat.column);
        const std::string longitude = "r." + Quoted(Column(type, "Lon").column);
        const std::string ownTime = source == PositionSource::Pb200 ? "r.measured_at" : "NULL";
        prepared = prepared && addKind(kWantsPosition, source, lat.table,
                                       "unixepoch(" + ownTime + "), " + latitude + ", " + longitude,
                                       Sql(kOnGlobe, {{"lat", latitude}, {"lon", longitude}}));
    }
    Statement newestMessages = Prepare(db,
                                       Sql("SELECT {columns} FROM messages m"
                                           " ORDER BY m.time DESC, m.id DESC LIMIT ?1",
                                           {{"columns", kSummaryColumns}}),
                                       reason);
    Statement messageById = Prepare(
        db, Sql("SELECT {columns} FROM messages m WHERE m.id = ?1", {{"columns", kSummaryColumns}}),
        reason);
    if (!prepared || !newestMessages || !messageById) {
        return std::nullopt;
    }

    // What a message (a row of kSummaryColumns) gives its buoy of what it still lacks among
    // `wanted`; its first message seen is its last.
    std::vector<unsigned> lacking(buoys.size(), kWantsAll);
    std::vector<bool> seen(buoys.size(), false);
    std::size_t complete = 0;
    const auto visit = [&](Statement& row, unsigned wanted) {
        const auto at = indexOf.find(row.OptionalText(3));
        if (at == indexOf.end()) {
            return true;
        }
        const std::size_t i = at->second;
        BuoySummary& buoy = buoys[i];
        const std::int64_t id = row.Integer(0);
        const std::optional<double> time = row.OptionalReal(1);
        if (!seen[i]) {
            seen[i] = true;
            buoy.lastId = id;
            buoy.lastTime = time;
            buoy.lastFileName = row.Text(2);
        }
        const unsigned before = lacking[i];
        // Kinds in order: in one message, a record's own position before the gateway's.
        for (Kind& kind : kinds) {
            if ((lacking[i] & wanted & kind.wanted) == 0) {
                continue;
            }
            Statement& in = kind.inMessage;
            in.Rewind();
            in.Bind(1, id);
            if (!in.Next()) {
                if (in.Failed(reason)) {
                    return false;
                }
                continue;
            }
            if (kind.wanted == kWantsBattery) {
                buoy.battery = TimedValue{time, in.Real(0), id};
            } else if (kind.wanted == kWantsImage) {
                buoy.imageId = id;
            } else {
                buoy.position = Position{in.Null(0) ? time : in.OptionalReal(0),
                                         in.Real(1),
                                         in.Real(2),
                                         kind.source,
                                         std::nullopt,
                                         id};
            }
            lacking[i] &= ~unsigned{kind.wanted};
        }
        const std::optional<double> lat = row.OptionalReal(4);
        const std::optional<double> lon = row.OptionalReal(5);
        if ((lacking[i] & wanted & kWantsPosition) && lat && lon && std::abs(*lat) <= 90 &&
            std::abs(*lon) <= 180) {
            buoy.position =
                Position{time, *lat, *lon, PositionSource::Iridium, row.OptionalInteger(6), id};
            lacking[i] &= ~unsigned{kWantsPosition};
        }
        complete += before != 0 && lacking[i] == 0 ? 1 : 0;
        return true;
    };

    // The archive's newest messages first: a buoy that reports has its latest values among
    // its own few newest, and the walk stops once every buoy has them all.
    newestMessages.Bind(1, static_cast<std::int64_t>(kRecentMessages * buoys.size()));
    while (complete < buoys.size() && newestMessages.Next()) {
        if (!visit(newestMessages, kWantsAll)) {
            return std::nullopt;
        }
    }
    if (newestMessages.Failed(reason)) {
        return std::nullopt;
    }

    // The rest: for each kind still lacking, each such buoy's newest message that has it.
    const auto byId = [&](std::int64_t id, unsigned wanted) {
        messageById.Rewind();
        messageById.Bind(1, id);
        if (!messageById.Next()) {
            messageById.Failed(reason);
            return false;
        }
        return visit(messageById, wanted);
    };
    std::vector<std::size_t> lackingBuoys;
    for (std::size_t i = 0; i < buoys.size(); ++i) {
        if (!seen[i] || lacking[i] != 0) {
            lackingBuoys.push_back(i);
        }
    }
    if (lackingBuoys.empty()) {
        return buoys;
    }
    std::vector<std::optional<std::string>> imeis;
    std::vector<std::size_t> unseen;
    for (std::size_t i = 0; i < buoys.size(); ++i) {
        imeis.push_back(buoys[i].imei);
        if (!seen[i]) {
            unseen.push_back(i);  // a buoy that has not reported lately
        }
    }
    const auto last = NewestWith(db, "", "1", imeis, unseen, reason);
    if (!last) {
        return std::nullopt;
    }
    for (const auto& [i, newest] : *last) {
        if (!byId(newest.second, 0)) {
            return std::nullopt;
        }
    }
    // The newest message with a position from any source, whichever source it is.
    std::map<std::size_t, Newest> newestPosition;
    for (const Kind& kind : kinds) {
        std::vector<std::size_t> wanting;
        for (const std::size_t i : lackingBuoys) {
            if (lacking[i] & kind.wanted) {
                wanting.push_back(i);
            }
        }
        const auto found = NewestWith(db, kind.table, kind.condition, imeis, wanting, reason);
        if (!found) {
            return std::nullopt;
        }
        for (const auto& [i, candidate] : *found) {
            if (kind.wanted != kWantsPosition) {
                if (!byId(candidate.second, kind.wanted)) {
                    return std::nullopt;
                }
            } else if (!newestPosition.contains(i) || candidate > newestPosition[i]) {
                newestPosition[i] = candidate;
            }
        }
    }
    std::vector<std::size_t> wantingPosition;
    for (const std::size_t i : lackingBuoys) {
        if (lacking[i] & kWantsPosition) {
            wantingPosition.push_back(i);
        }
    }
    const auto iridium = NewestWith(
        db, "", Sql(kOnGlobe, {{"lat", "m.iridium_latitude"}, {"lon", "m.iridium_longitude"}}),
        imeis, wantingPosition, reason);
    if (!iridium) {
        return std::nullopt;
    }
    for (const auto& [i, candidate] : *iridium) {
        if (!newestPosition.contains(i) || candidate > newestPosition[i]) {
            newestPosition[i] = candidate;
        }
    }
    for (const auto& [i, candidate] : newestPosition) {
        if (!byId(candidate.second, kWantsPosition)) {
            return std::nullopt;
        }
    }
    return buoys;
}

std::optional<MessagePage> Reader::Messages(const MessageQuery& query, std::string& reason) const
{
    sqlite3* db = m_impl->db.get();
    const int limit = std::clamp(query.limit, 1, kLargestPage);
    // Newest time first, then the messages without a time: the time index in reverse, which
    // holds NULL below every time, so a page is a walk that stops after limit + 1 rows. One
    // buoy's page is looked for among the newest messages of all (the index alone) first; a
    // buoy seldom among them is read through its own ids and sorted, which costs as many rows
    // as it has, where the walk could cross the whole archive.
    constexpr const char* kPageOf =
        " WHERE m.time BETWEEN ?2 AND ?3 AND (m.time, m.id) < (?4, ?5) AND m.id > ?6"
        " ORDER BY m.time DESC, m.id DESC LIMIT ?7";
    Statement timed = Prepare(db,
                              Sql(std::string("SELECT {columns} FROM messages m") + kPageOf,
                                  {{"columns", kEnvelopeColumns}}),
                              reason);
    Statement timedAmongNewest =
        Prepare(db,
                Sql(std::string("SELECT {columns} FROM (SELECT m.id FROM messages m") + kPageOf +
                        " * ?8) w CROSS JOIN messages m ON m.id = w.id WHERE m.imei IS ?1"
                        " ORDER BY m.time DESC, m.id DESC LIMIT ?7",
                    {{"columns", kEnvelopeColumns}}),
                reason);
    Statement timedOfBuoy =
        Prepare(db,
                kBuoyIds + Sql(std::string("SELECT {columns} FROM ids CROSS JOIN messages m"
                                           " ON m.id = ids.id") +
                                   kPageOf,
                               {{"columns", kEnvelopeColumns}}),
                reason);
    Statement untimed = Prepare(db,
                                Sql("SELECT {columns} FROM messages m"
                                    " WHERE m.time IS NULL AND m.id < ?1 AND m.id > ?2"
                                    " AND (?3 OR m.imei IS ?4) ORDER BY m.id DESC LIMIT ?5",
                                    {{"columns", kEnvelopeColumns}}),
                                reason);
    Statement cursorTime = Prepare(db, "SELECT time FROM messages WHERE id = ?1", reason);
    if (!timed || !timedAmongNewest || !timedOfBuoy || !untimed || !cursorTime) {
        return std::nullopt;
    }
    // Where the previous page ended: after a message with a time, among the timed ones.
    std::optional<std::string> afterTime = kAfterEveryTime;
    std::int64_t afterId = std::numeric_limits<std::int64_t>::max();
    if (query.before) {
        cursorTime.Bind(1, *query.before);
        if (!cursorTime.Next()) {
            if (cursorTime.Failed(reason)) {
                return std::nullopt;
            }
            return MessagePage{};  // no such message: nothing follows it
        }
        afterTime = cursorTime.OptionalText(0);
        afterId = *query.before;
    }
    const std::optional<std::string> imei =
        query.buoy ? ImeiOf(*query.buoy) : std::optional<std::string>();
    const std::int64_t allBuoys = query.buoy ? 0 : 1;
    const std::int64_t arrivedAfter = query.after.value_or(0);
    const std::int64_t wanted = std::int64_t{limit} + 1;

    MessagePage page;
    auto take = [&](const Statement& row) { page.messages.push_back(Envelope(row)); };
    const auto run = [&](Statement& statement) {
        statement.Bind(1, imei);
        statement.Bind(2, std::string_view(FromText(query.range.from)));
        statement.Bind(3, std::string_view(ToText(query.range.to)));
        statement.Bind(4, std::string_view(*afterTime));
        statement.Bind(5, afterId);
        statement.Bind(6, arrivedAfter);
        statement.Bind(7, wanted);
        statement.Bind(8, std::int64_t{kBuoysAmongNewest});
        page.messages.clear();
        return EachRow(statement, reason, take);
    };
    if (afterTime) {
        if (!query.buoy) {
            if (!run(timed)) {
                return std::nullopt;
            }
        } else if (!run(timedAmongNewest) ||
                   (std::ssize(page.messages) < wanted && !run(timedOfBuoy))) {
            return std::nullopt;
        }
        afterId = std::numeric_limits<std::int64_t>::max();
    }
    if (query.range.Open() && std::ssize(page.messages) < wanted) {
        untimed.Bind(1, afterId);
        untimed.Bind(2, arrivedAfter);
        untimed.Bind(3, allBuoys);
        untimed.Bind(4, imei);
        untimed.Bind(5, wanted - std::ssize(page.messages));
        if (!EachRow(untimed, reason, take)) {
            return std::nullopt;
        }
    }
    if (std::ssize(page.messages) > limit) {
        page.messages.resize(static_cast<std::size_t>(limit));
        page.next = page.messages.back().id;
    }
    return page;
}

std::optional<StoredMessage> Reader::Message(std::int64_t id, std::string& reason) const
{
    Statement row = Prepare(m_impl->db.get(),
                            Sql("SELECT {columns}, m.bytes, m.raw FROM messages m WHERE m.id = ?1",
                                {{"columns", kEnvelopeColumns}}),
                            reason);
    if (!row) {
        return std::nullopt;
    }
    row.Bind(1, id);
    if (!row.Next()) {
        row.Failed(reason);
        return std::nullopt;
    }
    return StoredMessage{Envelope(row), row.Blob(21), row.Blob(22)};
}

std::optional<std::vector<ValueFlag>> Reader::MessageFlags(std::int64_t id,
                                                           std::string& reason) const
{
    std::vector<ValueFlag> flags;
    if (m_impl->version < kFirstWithFlags) {
        return flags;
    }
    const FlagRows f = FlagRowsOf(m_impl->version);
    Statement rows = Prepare(m_impl->db.get(),
                             "SELECT " + f.record + ", " + f.stream + ", " + f.test + ", " +
                                 f.flag + " FROM " + f.table + " WHERE f.message_id = ?1 ORDER BY 1, 2, " +
                                 f.test + " <> 'aggregate', " + f.test,
                             reason);
    if (!rows) {
        return std::nullopt;
    }
    rows.Bind(1, id);
    if (!EachRow(rows, reason, [&](const Statement& row) {
            flags.push_back({static_cast<std::int32_t>(row.Integer(0)), row.Text(1), row.Text(2),
                             static_cast<StoredFlag>(row.Integer(3))});
        })) {
        return std::nullopt;
    }
    return flags;
}

std::optional<SeriesValues> Reader::Series(const SeriesQuery& query, std::string& reason) const
{
    const auto column = FindField(query.record, query.field, false, reason);
    if (!column) {
        return std::nullopt;
    }
    const std::string time = TimeOf(*column->type);
    // Named as the quality control stores it.
    const std::string stream =
        std::string(column->type->typeName) + "." + std::string(column->field->name);
    const bool flagged = m_impl->version >= kFirstWithFlags;
    const std::string select =
        std::string("SELECT m.id, r.record, unixepoch({time}), r.{column}, m.imei, ") +
        (flagged && m_impl->version < 7 ? AggregateOf(m_impl->version, "r.record", "?4")
                                                       : "0") +
        " FROM {records} WHERE {time} BETWEEN ?2 AND ?3";
    const auto names = [&](const char* records) {
        return Sql(select, {{"records", records},
                            {"time", time},
                            {"column", Quoted(column->column)},
                            {"table", Quoted(column->table)}});
    };
    Statement rows = query.buoys.empty()
                         ? Prepare(m_impl->db.get(), names(kRecordsOfEveryBuoy), reason)
                         : Prepare(m_impl->db.get(), kBuoyIds + names(kRecordsOfOneBuoy), reason);
    if (!rows) {
        return std::nullopt;
    }
    SeriesValues series;
    BuoyNames buoyNames;
    // Each query names its buoys in the order asked, whether or not they have a value.
    std::vector<std::string> asked;  // each buoy once
    for (const std::string& buoy : query.buoys) {
        if (buoyNames.Index(buoy) == static_cast<std::int32_t>(asked.size())) {
            asked.push_back(buoy);
        }
    }
    const auto run = [&](const std::optional<std::string>& buoy) {
        rows.Rewind();
        if (buoy) {
            rows.Bind(1, ImeiOf(*buoy));
        }
        rows.Bind(2, std::string_view(FromText(query.range.from)));
        rows.Bind(3, std::string_view(ToText(query.range.to)));
        if (flagged && m_impl->version < 7) {
            rows.Bind(4, std::string_view(stream));
        }
        const std::int32_t fixed = buoy ? buoyNames.Index(*buoy) : 0;
        return EachRow(rows, reason, [&](const Statement& row) {
            series.messageIds.push_back(static_cast<std::int32_t>(row.Integer(0)));
            series.records.push_back(static_cast<std::int32_t>(row.Integer(1)));
            series.times.push_back(row.Real(2));
            series.values.push_back(Reading(row, 3));
            series.buoys.push_back(buoy ? fixed : buoyNames.Index(BuoyOf(row.OptionalText(4))));
            series.flags.push_back(static_cast<StoredFlag>(row.Integer(5)));
        });
    };
    if (query.buoys.empty()) {
        if (!run(std::nullopt)) {
            return std::nullopt;
        }
    }
    for (const std::string& buoy : asked) {
        if (!run(buoy)) {
            return std::nullopt;
        }
    }
    const auto order = Order(series.times.size(), [&](std::size_t a, std::size_t b) {
        return std::tie(series.times[a], series.messageIds[a], series.records[a]) <
               std::tie(series.times[b], series.messageIds[b], series.records[b]);
    });
    Permute(series.times, order);
    Permute(series.values, order);
    Permute(series.messageIds, order);
    Permute(series.records, order);
    Permute(series.buoys, order);
    Permute(series.flags, order);
    series.buoyNames = std::move(buoyNames).Names();
    if (flagged && m_impl->version >= 7) {
        AggregateFlags aggregate(m_impl->db.get());
        for (std::size_t i = 0; i < series.flags.size(); ++i) {
            const auto flag =
                aggregate.Of(series.messageIds[i], series.records[i], stream, reason);
            if (!flag) {
                return std::nullopt;
            }
            series.flags[i] = *flag;
        }
    }
    if (flagged && query.testFlags &&
        !ReadTestFlags(m_impl->db.get(), m_impl->version, series.messageIds, series.records, stream, series.tests,
                       reason)) {
        return std::nullopt;
    }
    return series;
}

std::optional<TrackPositions> Reader::Track(const TrackQuery& query, std::string& reason) const
{
    const char* messages = query.buoy ? "ids CROSS JOIN messages m ON m.id = ids.id" : "messages m";
    const std::string prefix = query.buoy ? kBuoyIds : "";
    constexpr const char* kWhere =
        " WHERE {time} BETWEEN ?2 AND ?3 AND m.id % ?4 = 0"
        " AND {lat} BETWEEN -90 AND 90 AND {lon} BETWEEN -180 AND 180";
    // The aggregate of the position tests, of a record's own fix or the gateway's estimate.
    const auto flag = [&](const char* record, const char* stream) {
        return m_impl->version >= kFirstWithFlags && m_impl->version < 7
                   ? AggregateOf(m_impl->version, record, stream)
                   : std::string("0");
    };
    std::vector<std::pair<PositionSource, std::string>> queries;
    for (const auto& [source, type] : kPositionRecords) {
        const FieldColumn lat = Column(type, "Lat");
        const FieldColumn lon = Column(type, "Lon");
        queries.emplace_back(
            source, prefix + Sql(std::string("SELECT m.id, unixepoch({time}), {lat}, {lon}, NULL,"
                                             " m.imei, {flag}, r.record FROM {records}") +
                                     kWhere,
                                 {{"records", query.buoy ? kRecordsOfOneBuoy : kRecordsOfEveryBuoy},
                                  {"time", TimeOf(*lat.type)},
                                  {"lat", "r." + Quoted(lat.column)},
                                  {"lon", "r." + Quoted(lon.column)},
                                  {"flag", flag("r.record", "'position'")},
                                  {"table", Quoted(lat.table)}}));
    }
    queries.emplace_back(PositionSource::Iridium,
                         prefix + Sql(std::string("SELECT m.id, unixepoch({time}), {lat}, {lon},"
                                                  " m.iridium_cep_km, m.imei, {flag}, -1 FROM {messages}") +
                                          kWhere,
                                      {{"time", "m.time"},
                                       {"lat", "m.iridium_latitude"},
                                       {"lon", "m.iridium_longitude"},
                                       {"flag", flag("-1", "'iridium_position'")},
                                       {"messages", messages}}));
    TrackPositions track;
    BuoyNames buoyNames;
    for (const auto& [rowsSource, sql] : queries) {
        // A copy: a lambda cannot capture a structured binding in every compiler we build with.
        const auto source = rowsSource;
        Statement rows = Prepare(m_impl->db.get(), sql, reason);
        if (!rows) {
            return std::nullopt;
        }
        if (query.buoy) {
            rows.Bind(1, ImeiOf(*query.buoy));
        }
        rows.Bind(2, std::string_view(FromText(query.range.from)));
        rows.Bind(3, std::string_view(ToText(query.range.to)));
        rows.Bind(4, std::max<std::int64_t>(1, query.every));
        if (!EachRow(rows, reason, [&](const Statement& row) {
                track.messageIds.push_back(static_cast<std::int32_t>(row.Integer(0)));
                track.times.push_back(row.Real(1));
                track.latitudes.push_back(row.Real(2));
                track.longitudes.push_back(row.Real(3));
                track.cepKm.push_back(row.Null(4) ? kNaN : row.Real(4));
                track.records.push_back(static_cast<std::int32_t>(row.Integer(7)));
                track.sources.push_back(source);
                track.buoys.push_back(buoyNames.Index(BuoyOf(row.OptionalText(5))));
                track.flags.push_back(static_cast<StoredFlag>(row.Integer(6)));
            })) {
            return std::nullopt;
        }
    }
    // Equal times by delivery, then the records' own positions before the gateway's estimate.
    const auto order = Order(track.times.size(), [&](std::size_t a, std::size_t b) {
        return std::tie(track.times[a], track.messageIds[a], track.sources[a]) <
               std::tie(track.times[b], track.messageIds[b], track.sources[b]);
    });
    Permute(track.times, order);
    Permute(track.latitudes, order);
    Permute(track.longitudes, order);
    Permute(track.sources, order);
    Permute(track.cepKm, order);
    Permute(track.records, order);
    Permute(track.messageIds, order);
    Permute(track.buoys, order);
    Permute(track.flags, order);
    track.buoyNames = std::move(buoyNames).Names();
    if (m_impl->version >= 7) {
        AggregateFlags aggregate(m_impl->db.get());
        const std::string position = "position";
        const std::string iridium = "iridium_position";
        for (std::size_t i = 0; i < track.flags.size(); ++i) {
            const auto flag =
                aggregate.Of(track.messageIds[i], track.records[i],
                             track.sources[i] == PositionSource::Iridium ? iridium : position,
                             reason);
            if (!flag) {
                return std::nullopt;
            }
            track.flags[i] = *flag;
        }
    }
    return track;
}

std::optional<std::vector<ArrayRecord>> Reader::Array(const ArrayQuery& query,
                                                      std::string& reason) const
{
    const auto column = FindField(query.record, query.field, true, reason);
    if (!column) {
        return std::nullopt;
    }
    // Since version 5 an array is one row, its elements in a blob; before, one row per
    // element, which come in key order: message, record, element.
    const bool blobs = m_impl->version >= 5;
    const bool integers = column->field->kind == FieldKind::Int32Array;
    const std::string columns =
        std::string("SELECT r.message_id, r.record, unixepoch(m.time), r.") +
        (blobs ? ArrayColumn(integers) : "value");
    const std::string element = blobs ? "" : ", r.element";
    const std::string child = Quoted(column->table);
    Statement rows;
    if (!query.messageIds.empty()) {
        rows = Prepare(m_impl->db.get(),
                       Sql(columns + " FROM {child} r CROSS JOIN messages m ON m.id = r.message_id"
                                     " WHERE r.message_id = ?1 ORDER BY r.record{element}",
                           {{"child", child}, {"element", element}}),
                       reason);
    } else {
        rows = Prepare(m_impl->db.get(),
                       (query.buoy ? kBuoyIds : "") +
                           Sql(columns + " FROM {records} WHERE ?4 OR m.time BETWEEN ?2 AND ?3"
                                         " ORDER BY m.time IS NULL, m.time, m.id, r.record"
                                         "{element}",
                               {{"records", query.buoy ? kRecordsOfOneBuoy : kRecordsOfEveryBuoy},
                                {"table", child},
                                {"element", element}}),
                       reason);
    }
    if (!rows) {
        return std::nullopt;
    }
    std::vector<ArrayRecord> records;
    const auto take = [&](const Statement& row) {
        const std::int64_t id = row.Integer(0);
        const auto record = static_cast<std::int32_t>(row.Integer(1));
        if (blobs) {
            // The blob first, then its size, as SQLite asks.
            const void* data = sqlite3_column_blob(row.get(), 3);
            const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(row.get(), 3));
            records.push_back(
                {id, record, row.OptionalReal(2), ArrayElements(data, bytes, integers)});
            return;
        }
        if (records.empty() || records.back().messageId != id || records.back().record != record) {
            records.push_back({id, record, row.OptionalReal(2), {}});
        }
        records.back().values.push_back(row.Null(3) ? kNaN : row.Real(3));
    };
    if (query.messageIds.empty()) {
        if (query.buoy) {
            rows.Bind(1, ImeiOf(*query.buoy));
        }
        rows.Bind(2, std::string_view(FromText(query.range.from)));
        rows.Bind(3, std::string_view(ToText(query.range.to)));
        rows.Bind(4, std::int64_t{query.range.Open() ? 1 : 0});
        if (!EachRow(rows, reason, take)) {
            return std::nullopt;
        }
    }
    for (const std::int64_t id : query.messageIds) {
        rows.Rewind();
        rows.Bind(1, id);
        if (!EachRow(rows, reason, take)) {
            return std::nullopt;
        }
    }
    return records;
}

std::optional<BuoyRows> ReadBuoyRows(sqlite3* db, const std::string& buoy,
                                     const std::vector<std::string>& streams, std::string& reason,
                                     std::int64_t afterMessage, sqlite::StatementCache* cache)
{
    // The buoy's messages with their times and the gateway's positions, from an index alone
    // (messages_by_buoy_fix since version 7): a message's row holds its bytes.
    // The messages after one are found by id, without the buoy's whole history.
    const std::string ids =
        std::string("WITH ids(id, t, lat, lon) AS MATERIALIZED (SELECT id, unixepoch(time),"
                    " iridium_latitude, iridium_longitude FROM messages WHERE ") +
        (afterMessage > 0 ? "id > ?2 AND imei IS ?1) " : "imei IS ?1) ");
    // A value without a time has no place in a series; a value stays as recorded but for the
    // logger's marker and NULL, which are missing.
    const auto raw = [](const Statement& row, int column) {
        return row.Null(column) ? kNaN : CoordinateOf(row.Real(column));
    };
    const auto each = [&](const std::string& sql, auto take) {
        Statement prepared;
        Statement* statement = cache ? cache->Get(db, ids + sql, reason)
                                     : &(prepared = Prepare(db, ids + sql, reason));
        if (statement == nullptr || !*statement) {
            return false;
        }
        Statement& rows = *statement;
        rows.Bind(1, ImeiOf(buoy));
        if (afterMessage > 0) {
            rows.Bind(2, afterMessage);
        }
        return EachRow(rows, reason, take);
    };
    // One query per record table: the streams of one type and its position come together.
    struct TableRead {
        const RecordDescription* type = nullptr;
        std::string table;
        std::vector<std::pair<std::string, std::size_t>> columns;  // column, stream index
        std::string lat, lon;  // a position's columns, when the table has one
    };
    std::vector<TableRead> tables;
    const auto tableOf = [&](const FieldColumn& column) -> TableRead& {
        for (TableRead& read : tables) {
            if (read.table == column.table) {
                return read;
            }
        }
        tables.push_back({column.type, column.table, {}, {}, {}});
        return tables.back();
    };
    BuoyRows result;
    for (const std::string& name : streams) {
        const std::size_t dot = name.find('.');
        const auto column =
            FindField(name.substr(0, dot), dot == std::string::npos ? "" : name.substr(dot + 1),
                      false, reason);
        if (!column) {
            return std::nullopt;
        }
        tableOf(*column).columns.emplace_back(column->column, result.streams.size());
        result.streams.push_back({name, {}, {}, {}});
    }
    for (const auto& [source, type] : kPositionRecords) {
        const FieldColumn lat = Column(type, "Lat");
        TableRead& read = tableOf(lat);
        read.lat = lat.column;
        read.lon = Column(type, "Lon").column;
    }
    for (const TableRead& read : tables) {
        // A record type no buoy sent (most fleets have no IMU) costs no lookup per message.
        Statement prepared;
        Statement* any = cache ? cache->Get(db, "SELECT 1 FROM " + Quoted(read.table) + " LIMIT 1",
                                            reason)
                               : &(prepared = Prepare(db, "SELECT 1 FROM " + Quoted(read.table) +
                                                              " LIMIT 1",
                                                      reason));
        if (any == nullptr || !*any) {
            return std::nullopt;
        }
        const bool empty = !any->Next();
        if (any->Failed(reason)) {
            return std::nullopt;
        }
        any->Rewind();
        if (empty) {
            continue;
        }
        // The message's time is read once per message, in ids; a PB200 states its own.
        const std::string time = TimeOf(*read.type) == "m.time"
                                     ? "ids.t"
                                     : "CASE WHEN r.measured_at IS NULL THEN ids.t"
                                       " ELSE unixepoch(r.measured_at) END";
        std::string columns;
        for (const auto& [column, stream] : read.columns) {
            columns += ", r." + Quoted(column);
        }
        if (!read.lat.empty()) {
            columns += ", r." + Quoted(read.lat) + ", r." + Quoted(read.lon);
        }
        const std::string sql =
            Sql("SELECT ids.id, r.record, {time} AS value_time{columns} FROM ids"
                " CROSS JOIN {table} r ON r.message_id = ids.id WHERE value_time IS NOT NULL",
                {{"time", time},
                 {"columns", columns},
                 {"table", Quoted(read.table)}});
        if (!each(sql, [&](const Statement& row) {
                const ValueKey key{row.Integer(0), static_cast<std::int32_t>(row.Integer(1))};
                const std::int64_t time = row.Integer(2);
                int at = 3;
                for (const auto& [column, stream] : read.columns) {
                    StreamRows& into = result.streams[stream];
                    into.keys.push_back(key);
                    into.times.push_back(time);
                    into.values.push_back(Reading(row, at++));
                }
                if (!read.lat.empty()) {
                    PositionRows& into = result.position;
                    into.keys.push_back(key);
                    into.times.push_back(time);
                    into.latitudes.push_back(raw(row, at));
                    into.longitudes.push_back(raw(row, at + 1));
                }
            })) {
            return std::nullopt;
        }
    }
    const auto take = [&](PositionRows& into) {
        return [&into, &raw](const Statement& row) {
            into.keys.push_back({row.Integer(0), static_cast<std::int32_t>(row.Integer(1))});
            into.times.push_back(row.Integer(2));
            into.latitudes.push_back(raw(row, 3));
            into.longitudes.push_back(raw(row, 4));
        };
    };
    if (!each("SELECT id, -1, t, lat, lon FROM ids"
              " WHERE t IS NOT NULL AND (lat IS NOT NULL OR lon IS NOT NULL)",
              take(result.iridiumPosition))) {
        return std::nullopt;
    }
    return result;
}

std::optional<StreamFlags> Reader::Flags(const std::string& buoy, const std::string& stream,
                                         const std::string& test, std::string& reason) const
{
    StreamFlags result;
    if (m_impl->version < 4) {
        return result;
    }
    // The configuration names a record's stream as it likes ("Miscellaneous_values" or with
    // a space, any case), and the flags keep its spelling.
    const FlagRows f = FlagRowsOf(m_impl->version);
    Statement rows = Prepare(m_impl->db.get(),
                             std::string(kBuoyIds) + "SELECT f.message_id, " + f.record + ", " +
                                 f.flag + " FROM ids CROSS JOIN " + f.table +
                                 " WHERE f.message_id = ids.id AND " + f.test + " = ?3 AND lower(" +
                                 "replace(" + f.stream + ", '_', ' ')) = lower(replace(?2, '_', ' '))"
                                 " ORDER BY f.message_id, 2",
                             reason);
    if (!rows) {
        return std::nullopt;
    }
    rows.Bind(1, ImeiOf(buoy));
    rows.Bind(2, std::string_view(stream));
    rows.Bind(3, std::string_view(test));
    if (!EachRow(rows, reason, [&](const Statement& row) {
            result.keys.push_back({row.Integer(0), static_cast<std::int32_t>(row.Integer(1))});
            result.flags.push_back(static_cast<std::uint8_t>(row.Integer(2)));
        })) {
        return std::nullopt;
    }
    return result;
}

std::optional<BuoyRows> Reader::ReadBuoy(const std::string& buoy,
                                         const std::vector<std::string>& streams,
                                         std::string& reason) const
{
    return ReadBuoyRows(m_impl->db.get(), buoy, streams, reason);
}

namespace {

// Whether the archive has `table` (a record type added after the archive was made, or the
// flags' table before version 4, has none).
std::optional<bool> HasTable(sqlite3* db, const std::string& table, std::string& reason)
{
    Statement rows =
        Prepare(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1", reason);
    if (!rows) {
        return std::nullopt;
    }
    rows.Bind(1, std::string_view(table));
    const bool found = rows.Next();
    return rows.Failed(reason) ? std::nullopt : std::optional(found);
}

}  // namespace

std::optional<MessageTimes> Reader::Times(const std::optional<std::string>& buoy,
                                          std::string& reason) const
{
    Statement rows = Prepare(m_impl->db.get(),
                             buoy ? std::string(kBuoyIds) +
                                        "SELECT m.id, unixepoch(m.time) FROM ids"
                                        " CROSS JOIN messages m ON m.id = ids.id ORDER BY m.id"
                                  : "SELECT id, unixepoch(time) FROM messages ORDER BY id",
                             reason);
    if (!rows) {
        return std::nullopt;
    }
    if (buoy) {
        rows.Bind(1, ImeiOf(*buoy));
    }
    MessageTimes times;
    if (!EachRow(rows, reason, [&](const Statement& row) {
            times.ids.push_back(row.Integer(0));
            times.times.push_back(row.Null(1) ? kNaN : row.Real(1));
        })) {
        return std::nullopt;
    }
    return times;
}

std::optional<std::vector<LastRecord>> Reader::LastRecords(const std::string& buoy,
                                                           std::string& reason) const
{
    sqlite3* db = m_impl->db.get();
    std::vector<LastRecord> last;
    for (const RecordDescription& type : RecordDescriptions()) {
        const std::string table = ArchiveName(type.typeName);
        const auto exists = HasTable(db, table, reason);
        if (!exists) {
            return std::nullopt;
        }
        if (!*exists) {
            continue;
        }
        Statement newest = Prepare(
            db,
            std::string(kBuoyIds) +
                Sql("SELECT m.id, unixepoch(m.time) FROM {records} WHERE m.time IS NOT NULL"
                    " ORDER BY m.time DESC, m.id DESC LIMIT 1",
                    {{"records", Sql(kRecordsOfOneBuoy, {{"table", Quoted(table)}})}}),
            reason);
        if (!newest) {
            return std::nullopt;
        }
        newest.Bind(1, ImeiOf(buoy));
        if (!EachRow(newest, reason, [&](const Statement& row) {
                last.push_back({std::string(type.typeName), row.Real(1), row.Integer(0)});
            })) {
            return std::nullopt;
        }
    }
    return last;
}

std::optional<RecordRows> Reader::Records(const std::string& record, std::string& reason) const
{
    const RecordDescription* type = nullptr;
    for (const RecordDescription& each : RecordDescriptions()) {
        if (each.typeName == record || ArchiveName(each.typeName) == record) {
            type = &each;
        }
    }
    if (type == nullptr) {
        reason = "no record type \"" + record + "\"";
        return std::nullopt;
    }
    RecordRows rows;
    std::string columns;
    for (const FieldDescription& field : type->fields) {
        if (!IsArray(field.kind) && field.kind != FieldKind::Text) {
            rows.fields.push_back(ArchiveName(field.name));
            columns += ", r." + Quoted(rows.fields.back());
        }
    }
    rows.values.resize(rows.fields.size());
    const std::string table = ArchiveName(type->typeName);
    const auto exists = HasTable(m_impl->db.get(), table, reason);
    if (!exists || !*exists) {
        return exists ? std::optional(std::move(rows)) : std::nullopt;
    }
    Statement select =
        Prepare(m_impl->db.get(),
                Sql("SELECT m.id, r.record, unixepoch({time}){columns} FROM {records}"
                    " ORDER BY r.message_id, r.record",
                    {{"records", "{table} r CROSS JOIN messages m ON m.id = r.message_id"},
                     {"time", TimeOf(*type)},
                     {"columns", columns},
                     {"table", Quoted(table)}}),
                reason);
    if (!select || !EachRow(select, reason, [&](const Statement& row) {
            rows.messageIds.push_back(row.Integer(0));
            rows.records.push_back(static_cast<std::int32_t>(row.Integer(1)));
            rows.times.push_back(row.Null(2) ? kNaN : row.Real(2));
            for (std::size_t i = 0; i < rows.fields.size(); ++i) {
                rows.values[i].push_back(Reading(row, static_cast<int>(i) + 3));
            }
        })) {
        return std::nullopt;
    }
    return rows;
}

std::optional<StoredFlags> Reader::FlagsOfStreams(const std::string& stream,
                                         const std::optional<std::string>& buoy,
                                         std::string& reason) const
{
    StoredFlags rows;
    if (m_impl->version < kFirstWithFlags) {
        return rows;
    }
    // One buoy's through its messages' ids, which lead the flags' key; the stream as the
    // configuration named it, its names spelt either way.
    const FlagRows f = FlagRowsOf(m_impl->version);
    const std::string select = "SELECT f.message_id, " + f.record + ", " + f.stream + ", " +
                               f.test + ", " + f.flag + " FROM {flags} WHERE (?2 = '' OR replace(" +
                               f.stream + ", ' ', '_') = replace(?2, ' ', '_')){ids}" +
                               " ORDER BY f.message_id, 2, 3, 4";
    Statement statement = Prepare(
        m_impl->db.get(),
        buoy ? kBuoyIds + Sql(select, {{"flags", "ids CROSS JOIN " + f.table},
                                       {"ids", " AND f.message_id = ids.id"}})
             : Sql(select, {{"flags", f.table}, {"ids", ""}}),
        reason);
    if (!statement) {
        return std::nullopt;
    }
    if (buoy) {
        statement.Bind(1, ImeiOf(*buoy));
    }
    statement.Bind(2, std::string_view(stream));
    std::map<std::string, std::int32_t> streams, tests;
    const auto index = [](std::map<std::string, std::int32_t>& indexes,
                          std::vector<std::string>& names, std::string name) {
        const auto [at, added] =
            indexes.try_emplace(std::move(name), static_cast<std::int32_t>(names.size()));
        if (added) {
            names.push_back(at->first);
        }
        return at->second;
    };
    if (!EachRow(statement, reason, [&](const Statement& row) {
            rows.keys.push_back({row.Integer(0), static_cast<std::int32_t>(row.Integer(1))});
            rows.streamIndexes.push_back(index(streams, rows.streams, row.Text(2)));
            rows.testIndexes.push_back(index(tests, rows.tests, row.Text(3)));
            rows.flags.push_back(static_cast<std::uint8_t>(row.Integer(4)));
        })) {
        return std::nullopt;
    }
    return rows;
}

}  // namespace saltmark::archive
