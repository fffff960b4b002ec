#include "DashboardArchive.h"

#include <sqlite3.h>

#include <cmath>
#include <map>
#include <string_view>

#include "Archive.h"
#include "ConvertMessage.h"
#include "MessageJson.h"
#include "Records.h"

namespace saltmark::server {

namespace {

// The versions whose tables and columns this reader knows: 3 differs from 2 in a key only, and
// a reader never upgrades.
constexpr int kOldestArchiveVersion = 2;
constexpr int kArchiveVersion = 3;
// The logger writes 9999 where it has no reading; a chart shows a gap there.
constexpr double kMissingMarker = 9999.0;
constexpr std::size_t kPooledConnections = 4;
constexpr int kLargestPage = 1000;

std::string Quoted(std::string_view identifier) { return "\"" + std::string(identifier) + "\""; }

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql)
    {
        if (sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &m_pStmt, nullptr) !=
            SQLITE_OK) {
            throw std::runtime_error(sqlite3_errmsg(db));
        }
    }
    ~Statement() { sqlite3_finalize(m_pStmt); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Named parameters (":buoy") left unbound stay NULL.
    Statement& Bind(const char* name, const std::string& text)
    {
        if (const int i = sqlite3_bind_parameter_index(m_pStmt, name); i > 0) {
            sqlite3_bind_text(m_pStmt, i, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        }
        return *this;
    }
    Statement& Bind(const char* name, std::int64_t value)
    {
        if (const int i = sqlite3_bind_parameter_index(m_pStmt, name); i > 0) {
            sqlite3_bind_int64(m_pStmt, i, value);
        }
        return *this;
    }
    // Ready to run again with new parameters (all unbound, NULL).
    void Reset()
    {
        sqlite3_reset(m_pStmt);
        sqlite3_clear_bindings(m_pStmt);
    }
    bool Step()
    {
        const int rc = sqlite3_step(m_pStmt);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(m_pStmt)));
        }
        return rc == SQLITE_ROW;
    }
    bool Null(int column) const { return sqlite3_column_type(m_pStmt, column) == SQLITE_NULL; }
    std::int64_t Int(int column) const { return sqlite3_column_int64(m_pStmt, column); }
    double Real(int column) const { return sqlite3_column_double(m_pStmt, column); }
    std::string Text(int column) const
    {
        const auto* text = sqlite3_column_text(m_pStmt, column);
        return text ? std::string(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(sqlite3_column_bytes(m_pStmt, column)))
                    : std::string();
    }
    std::vector<std::uint8_t> Blob(int column) const
    {
        const auto* first = static_cast<const std::uint8_t*>(sqlite3_column_blob(m_pStmt, column));
        return first
                   ? std::vector<std::uint8_t>(first, first + sqlite3_column_bytes(m_pStmt, column))
                   : std::vector<std::uint8_t>();
    }
    // A column as JSON: null, a number or text.
    nlohmann::ordered_json Json(int column) const
    {
        switch (sqlite3_column_type(m_pStmt, column)) {
            case SQLITE_INTEGER:
                return Int(column);
            case SQLITE_FLOAT:
                return std::isfinite(Real(column)) ? nlohmann::ordered_json(Real(column))
                                                   : nlohmann::ordered_json();
            case SQLITE_TEXT:
                return Text(column);
            default:
                return nullptr;
        }
    }
    const char* Name(int column) const { return sqlite3_column_name(m_pStmt, column); }
    int Columns() const { return sqlite3_column_count(m_pStmt); }

private:
    sqlite3_stmt* m_pStmt = nullptr;
};

// The filter every query shares: one buoy (or all when :buoy is NULL) and a time range over
// `timeColumn`. A bound `to` compares only as many characters as it has, so a bare date
// includes its whole day.
std::string Where(const std::string& timeColumn, const char* imeiColumn = "m.imei")
{
    const std::string imei = imeiColumn;
    return " WHERE (:buoy IS NULL OR (:buoy = 'files' AND " + imei + " IS NULL) OR " + imei +
           " = :buoy) AND (:from IS NULL OR " + timeColumn +
           " >= :from) AND (:to IS NULL OR substr(" + timeColumn + ", 1, length(:to)) <= :to)";
}

void BindFilter(Statement& statement, const std::string& buoy, const TimeRange& range)
{
    if (!buoy.empty()) {
        statement.Bind(":buoy", buoy);
    }
    if (!range.from.empty()) {
        statement.Bind(":from", range.from);
    }
    if (!range.to.empty()) {
        statement.Bind(":to", range.to);
    }
}

// Every position the archive knows, one row each: buoy, time, latitude, longitude, source,
// CEP radius (Iridium only), message id. Positions outside the globe (the 9999 marker) are
// left out.
std::string PositionsSql()
{
    std::string sql = "WITH p(buoy, imei, t, lat, lon, src, cep, id) AS (";
    const char* recordTypes[][2] = {
        {"PB200", "COALESCE(r.measured_at, m.time)"}, {"IMU", "m.time"}, {"Ellipse", "m.time"}};
    for (const auto& [type, time] : recordTypes) {
        sql += std::string("SELECT COALESCE(m.imei, 'files'), m.imei, ") + time +
               ", r.Lat, r.Lon, '" + type + "', NULL, m.id FROM messages m JOIN " + type +
               " r ON r.message_id = m.id UNION ALL ";
    }
    sql +=
        "SELECT COALESCE(m.imei, 'files'), m.imei, m.time, m.iridium_latitude, "
        "m.iridium_longitude, 'Iridium', m.iridium_cep_km, m.id FROM messages m "
        "WHERE m.iridium_latitude IS NOT NULL) ";
    return sql;
}

// The ids of :buoy's messages, read from the archive's delivery indexes alone (a DirectIP
// delivery is keyed with its session time, a mail attachment without); the buoy "files" has
// no index of its own and costs a scan.
constexpr const char* kBuoyMessageIds =
    "SELECT id FROM messages WHERE :buoy <> 'files' AND imei = :buoy AND session_time IS NOT "
    "NULL UNION ALL SELECT id FROM messages WHERE :buoy <> 'files' AND imei = :buoy AND "
    "session_time IS NULL UNION ALL SELECT id FROM messages WHERE :buoy = 'files' AND imei IS "
    "NULL";

constexpr std::int64_t kTrackMessages = 10000;

constexpr const char* kOnGlobe =
    " AND t IS NOT NULL AND lat BETWEEN -90 AND 90 AND lon BETWEEN -180 AND 180";

}  // namespace

namespace {

// A buoy's newest value of a kind (by the messages' time): looked for first among its newest
// messages, which walks the time index backwards and stops early, and only when none of them
// has one among every record of the type, which costs as many rows as the type has, not as
// the archive has messages. Without a table, the columns are the message's own.
class LatestQuery {
public:
    LatestQuery(sqlite3* db, const std::string& columns, const std::string& table,
                const std::string& condition)
        : m_recent(db,
                   "WITH m AS (SELECT id, time, imei, iridium_latitude, iridium_longitude, "
                   "iridium_cep_km FROM messages WHERE +imei IS :imei ORDER BY time "
                   "DESC, id DESC LIMIT " +
                       std::to_string(kRecentMessages) + ") SELECT " + columns + " FROM m" +
                       Joined(table, "m") + " WHERE " + condition +
                       " ORDER BY m.time DESC, m.id DESC LIMIT 1"),
          m_all(db, "SELECT " + columns +
                        (table.empty() ? " FROM messages m"
                                       : " FROM " + table +
                                             " r CROSS JOIN messages m ON m.id = "
                                             "r.message_id") +
                        " WHERE m.imei IS :imei AND " + condition +
                        " ORDER BY m.time DESC, m.id DESC LIMIT 1")
    {
    }
    // The row found, or nothing; valid until the next Find.
    const Statement* Find(const std::optional<std::string>& imei)
    {
        for (Statement* statement : {&m_recent, &m_all}) {
            statement->Reset();
            if (imei) {
                statement->Bind(":imei", *imei);
            }
            if (statement->Step()) {
                return statement;
            }
        }
        return nullptr;
    }

private:
    static constexpr int kRecentMessages = 500;
    static std::string Joined(const std::string& table, const char* messages)
    {
        return table.empty() ? std::string()
                             : " CROSS JOIN " + table + " r ON r.message_id = " + messages + ".id";
    }
    Statement m_recent;
    Statement m_all;
};

}  // namespace

struct DashboardArchive::Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close(db); }
};

class DashboardArchive::Lease {
public:
    explicit Lease(const DashboardArchive& archive) : m_archive(archive)
    {
        {
            std::lock_guard lock(archive.m_poolMutex);
            if (!archive.m_pool.empty()) {
                m_connection = std::move(archive.m_pool.back());
                archive.m_pool.pop_back();
                return;
            }
        }
        m_connection = std::make_unique<Connection>();
        if (sqlite3_open_v2(archive.m_path.c_str(), &m_connection->db,
                            SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
            throw std::runtime_error(m_connection->db ? sqlite3_errmsg(m_connection->db)
                                                      : "cannot open the archive");
        }
        // Only for the moment the writer checkpoints; WAL readers otherwise never wait.
        sqlite3_busy_timeout(m_connection->db, 2000);
    }
    ~Lease()
    {
        std::lock_guard lock(m_archive.m_poolMutex);
        if (m_archive.m_pool.size() < kPooledConnections) {
            m_archive.m_pool.push_back(std::move(m_connection));
        }
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    sqlite3* db() const { return m_connection->db; }

private:
    const DashboardArchive& m_archive;
    std::unique_ptr<Connection> m_connection;
};

DashboardArchive::DashboardArchive(std::filesystem::path path) : m_path(std::move(path)) {}
DashboardArchive::~DashboardArchive() = default;

std::unique_ptr<DashboardArchive> DashboardArchive::Open(const std::filesystem::path& path,
                                                         std::string& reason)
{
    std::unique_ptr<DashboardArchive> archive(new DashboardArchive(path));
    try {
        Lease lease(*archive);
        Statement version(lease.db(), "PRAGMA user_version");
        version.Step();
        if (version.Int(0) < kOldestArchiveVersion || version.Int(0) > kArchiveVersion) {
            reason = path.string() + ": not an archive of version " +
                     std::to_string(kArchiveVersion) + " (found " + std::to_string(version.Int(0)) +
                     ")";
            return nullptr;
        }
    } catch (const std::exception& e) {
        reason = path.string() + ": " + e.what();
        return nullptr;
    }
    return archive;
}

nlohmann::ordered_json DashboardArchive::Buoys() const
{
    Lease lease(*this);
    nlohmann::ordered_json buoys = nlohmann::ordered_json::array();
    // Counted in the delivery indexes, which hold the IMEI: a scan of the messages themselves
    // would read every message's bytes.
    std::map<std::optional<std::string>, std::int64_t> counts;
    Statement total(lease.db(), "SELECT COUNT(*) FROM messages");
    total.Step();
    counts[std::nullopt] = total.Int(0);
    Statement byImei(lease.db(),
                     "SELECT imei, COUNT(*) FROM messages WHERE session_time IS NOT NULL GROUP BY "
                     "imei UNION ALL SELECT imei, COUNT(*) FROM messages WHERE imei IS NOT NULL "
                     "AND session_time IS NULL GROUP BY imei");
    while (byImei.Step()) {
        if (!byImei.Null(0)) {
            counts[byImei.Text(0)] += byImei.Int(1);
            counts[std::nullopt] -= byImei.Int(1);
        }
    }
    for (const auto& [imei, count] : counts) {
        if (imei || count > 0) {
            buoys.push_back({{"buoy", imei.value_or(std::string(kFilesBuoy))},
                             {"imei", imei ? nlohmann::ordered_json(*imei) : nullptr},
                             {"messages", count}});
        }
    }
    // The map orders "no IMEI" first; the page lists it last.
    if (!buoys.empty() && buoys.front()["imei"].is_null()) {
        std::rotate(buoys.begin(), buoys.begin() + 1, buoys.end());
    }
    Statement last(lease.db(),
                   "SELECT time, id, file_name, unixepoch('now') - unixepoch(time) FROM messages "
                   "WHERE +imei IS :imei ORDER BY time DESC, id DESC LIMIT 1");
    LatestQuery battery(lease.db(), "m.time, r.Battery_voltage", "Miscellaneous_values",
                        "r.Battery_voltage IS NOT NULL AND r.Battery_voltage <> 9999");
    LatestQuery image(lease.db(), "m.id", "Camera", "r.size > 0");
    std::vector<std::unique_ptr<LatestQuery>> positions;
    for (const char* type : {"PB200", "IMU", "Ellipse"}) {
        const std::string time =
            std::string(type) == "PB200" ? "COALESCE(r.measured_at, m.time)" : "m.time";
        positions.push_back(std::make_unique<LatestQuery>(
            lease.db(), time + ", r.Lat, r.Lon, '" + type + "', NULL", type,
            "r.Lat BETWEEN -90 AND 90 AND r.Lon BETWEEN -180 AND 180"));
    }
    positions.push_back(std::make_unique<LatestQuery>(
        lease.db(), "m.time, m.iridium_latitude, m.iridium_longitude, 'Iridium', m.iridium_cep_km",
        "", "m.iridium_latitude IS NOT NULL"));
    for (auto& buoy : buoys) {
        const std::optional<std::string> imei = buoy["imei"].is_string()
                                                    ? std::optional(buoy["imei"].get<std::string>())
                                                    : std::nullopt;
        last.Reset();
        if (imei) {
            last.Bind(":imei", *imei);
        }
        if (last.Step()) {
            buoy["last_time"] = last.Json(0);
            buoy["last_id"] = last.Json(1);
            buoy["last_file_name"] = last.Json(2);
            buoy["age_s"] = last.Json(3);
        }
        buoy["battery_voltage"] = nullptr;
        buoy["battery_time"] = nullptr;
        if (const Statement* found = battery.Find(imei)) {
            buoy["battery_time"] = found->Json(0);
            buoy["battery_voltage"] = found->Json(1);
        }
        // The newest of the sources; the records' own positions before the gateway's
        // estimate of the same moment.
        buoy["position"] = nullptr;
        for (auto& source : positions) {
            const Statement* found = source->Find(imei);
            if (found && (buoy["position"].is_null() || !buoy["position"]["time"].is_string() ||
                          found->Text(0) > buoy["position"]["time"].get<std::string>())) {
                buoy["position"] = {{"time", found->Json(0)},
                                    {"lat", found->Json(1)},
                                    {"lon", found->Json(2)},
                                    {"source", found->Json(3)},
                                    {"cep_km", found->Json(4)}};
            }
        }
        const Statement* found = image.Find(imei);
        buoy["image_id"] = found ? found->Json(0) : nlohmann::ordered_json();
    }
    return buoys;
}

nlohmann::ordered_json DashboardArchive::Messages(const MessageQuery& query) const
{
    Lease lease(*this);
    const int limit = std::clamp(query.limit, 1, kLargestPage);
    Statement list(lease.db(),
                   "SELECT id, file_name, size, packet_type, outcome, stop_reason, imei, momsn, "
                   "time, time_source, source, received_at FROM messages m" +
                       Where("m.time") +
                       " AND (:before IS NULL OR id < :before) AND id > :after "
                       "ORDER BY id DESC LIMIT :limit");
    BindFilter(list, query.buoy, query.range);
    if (query.before > 0) {
        list.Bind(":before", query.before);
    }
    list.Bind(":after", query.after).Bind(":limit", std::int64_t{limit} + 1);
    nlohmann::ordered_json messages = nlohmann::ordered_json::array();
    nlohmann::ordered_json next;
    while (list.Step()) {
        if (static_cast<int>(messages.size()) == limit) {
            next = messages.back()["id"];
            break;
        }
        nlohmann::ordered_json row;
        for (int c = 0; c < list.Columns(); ++c) {
            row[list.Name(c)] = list.Json(c);
        }
        messages.push_back(std::move(row));
    }
    return {{"messages", std::move(messages)}, {"next", next}};
}

std::optional<MessageOutputs> DashboardArchive::Message(std::int64_t id) const
{
    Lease lease(*this);
    Statement row(lease.db(),
                  "SELECT bytes, file_name, imei, momsn, mtmsn, cdr_reference, session_status, "
                  "session_time, iridium_latitude, iridium_longitude, iridium_cep_km, source, "
                  "received_at, time, time_source, imported_at, id FROM messages WHERE id = :id");
    row.Bind(":id", id);
    if (!row.Step()) {
        return std::nullopt;
    }
    MessageOutputs out;
    out.sbd = row.Blob(0);
    const std::string fileName = row.Text(1);
    out.baseName = fileName.ends_with(".sbd") ? fileName.substr(0, fileName.size() - 4) : fileName;
    const auto* bytes = out.sbd.data();
    const auto n = static_cast<std::int32_t>(out.sbd.size());
    CapturedImage image;
    out.report = ToUtf8(ConvertMessage(bytes, n, image));
    out.image = std::move(image.bytes);
    out.json = MessageJson(DecodeMessage(bytes, n), fileName);
    nlohmann::ordered_json envelope;
    for (int c = 2; c < row.Columns(); ++c) {
        envelope[row.Name(c)] = row.Json(c);
    }
    out.json["archive"] = std::move(envelope);
    return out;
}

namespace {

// The record type and scalar field a query names, exactly as the report names them.
const FieldDescription* FindScalarField(const std::string& type, const std::string& field,
                                        const RecordDescription*& description)
{
    for (const RecordDescription& candidate : RecordDescriptions()) {
        if (candidate.typeName != type) {
            continue;
        }
        for (const FieldDescription& f : candidate.fields) {
            if (f.name == field && !IsArray(f.kind) && f.kind != FieldKind::Text) {
                description = &candidate;
                return &f;
            }
        }
    }
    return nullptr;
}

}  // namespace

std::optional<Series> DashboardArchive::FieldSeries(const SeriesQuery& query,
                                                    std::string& error) const
{
    const RecordDescription* description = nullptr;
    const FieldDescription* field = FindScalarField(query.type, query.field, description);
    if (!field) {
        error = "no scalar field of that name in that record type";
        return std::nullopt;
    }
    // A PB200 record states its own moment; the other records are placed at the message's,
    // read from the time index (the messages' rows, long with their bytes, stay unread).
    const bool ownTime = description->typeName == "PB200";
    const std::string time = ownTime ? "r.measured_at" : "m.time";
    const std::string table = Quoted(archive::ArchiveName(description->typeName));
    Lease lease(*this);
    // Sorted here rather than by SQLite: comparing integers beats comparing time text.
    Statement rows(
        lease.db(),
        "SELECT unixepoch(" + time + "), r." + Quoted(archive::ArchiveName(field->name)) +
            (ownTime ? " FROM " + table + " r"
                     : " FROM messages m CROSS JOIN " + table + " r ON r.message_id = m.id") +
            " WHERE " + time + " IS NOT NULL AND (:from IS NULL OR " + time +
            " >= :from) AND (:to IS NULL OR substr(" + time +
            ", 1, length(:to)) <= :to) AND (:buoy IS NULL OR r.message_id IN (" + kBuoyMessageIds +
            "))");
    BindFilter(rows, query.buoy, query.range);
    std::vector<std::pair<std::int64_t, std::optional<double>>> points;
    while (rows.Step()) {
        const double value = rows.Real(1);
        points.emplace_back(rows.Int(0),
                            rows.Null(1) || !std::isfinite(value) || value == kMissingMarker
                                ? std::nullopt
                                : std::optional<double>(value));
    }
    std::stable_sort(points.begin(), points.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    Series series;
    series.times.reserve(points.size());
    series.values.reserve(points.size());
    for (const auto& [t, value] : points) {
        series.times.push_back(t);
        series.values.push_back(value);
    }
    return series;
}

nlohmann::ordered_json DashboardArchive::Fields() const
{
    nlohmann::ordered_json types = nlohmann::ordered_json::array();
    for (const RecordDescription& description : RecordDescriptions()) {
        nlohmann::ordered_json fields = nlohmann::ordered_json::array();
        for (const FieldDescription& f : description.fields) {
            if (!IsArray(f.kind) && f.kind != FieldKind::Text) {
                fields.push_back(f.name);
            }
        }
        if (!fields.empty()) {
            types.push_back({{"type", description.typeName}, {"fields", std::move(fields)}});
        }
    }
    return types;
}

std::string DashboardArchive::Track(const std::string& buoy, const TimeRange& range) const
{
    Lease lease(*this);
    // A map shows a deployment's drift as well from 10,000 messages as from all of them, and
    // the answer stays small: beyond that, every step-th message's positions.
    Statement total(lease.db(), "SELECT COUNT(*) FROM messages");
    total.Step();
    const std::int64_t step =
        std::max<std::int64_t>(1, (total.Int(0) + kTrackMessages - 1) / kTrackMessages);
    Statement rows(lease.db(),
                   PositionsSql() + "SELECT unixepoch(t), lat, lon, src, cep, id, buoy FROM p" +
                       Where("t", "imei") + kOnGlobe + " AND id % :step = 0 ORDER BY t, id");
    BindFilter(rows, buoy, range);
    rows.Bind(":step", step);
    // Column by column and written as text as the rows come: a deployment's track is
    // hundreds of thousands of positions, too many to hold as JSON values first.
    constexpr const char* kNames[] = {"t", "lat", "lon", "source", "cep_km", "id", "buoy"};
    std::string columns[std::size(kNames)];
    for (bool first = true; rows.Step(); first = false) {
        for (std::size_t c = 0; c < std::size(kNames); ++c) {
            columns[c] += first ? "" : ",";
            columns[c] += rows.Json(static_cast<int>(c))
                              .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        }
    }
    std::string json = "{\"every\":" + std::to_string(step);
    for (std::size_t c = 0; c < std::size(kNames); ++c) {
        json += ",\"" + std::string(kNames[c]) + "\":[" + columns[c] + "]";
    }
    return json + "}";
}

bool IsTimeText(const std::string& text)
{
    if (text.empty() || text.size() > 32) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '-' || c == ':' || c == 'T' || c == '.' || c == 'Z')) {
            return false;
        }
    }
    return true;
}

}  // namespace saltmark::server
