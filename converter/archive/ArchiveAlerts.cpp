#include "ArchiveAlerts.h"

#include <algorithm>
#include <cmath>

#include "Records.h"
#include "Sqlite.h"

namespace saltmark::archive {

using namespace sqlite;

namespace {

constexpr const char* kBatteryRecord = "Miscellaneous values";
constexpr const char* kBatteryField = "Battery voltage";


// Messages' times are ISO 8601 text in UTC; the rules count in seconds.
std::string Seconds(const std::string& column)
{
    return "CAST(strftime('%s', " + column + ") AS INTEGER)";
}

bool AddEvent(sqlite3* db, const AlertEvent& event, const std::vector<std::string>& channels,
              const EventDocument& document, std::string& reason)
{
    Statement insert = Prepare(db,
                               "INSERT INTO alert_outbox (alert, event, channel, document,"
                               " created_at, next_attempt_at) VALUES (?, ?, ?, ?, ?, ?)",
                               reason);
    if (!insert) {
        return false;
    }
    const std::string text = document(event);
    for (const std::string& channel : channels) {
        insert.Bind(1, event.alert);
        insert.Bind(2, std::string_view(event.event));
        insert.Bind(3, std::string_view(channel));
        insert.Bind(4, std::string_view(text));
        insert.Bind(5, event.at);
        insert.Bind(6, event.at);
        if (!Step(db, insert.get(), reason)) {
            return false;
        }
    }
    return true;
}

std::optional<std::int64_t> Message(std::int64_t id)
{
    return id > 0 ? std::optional<std::int64_t>(id) : std::nullopt;
}

}  // namespace

bool InTransaction(Archive& archive, const std::function<bool(std::string&)>& work,
                   std::string& reason)
{
    sqlite3* db = archive.Handle();
    if (!Execute(db, "BEGIN IMMEDIATE", reason)) {
        return false;
    }
    if (work(reason) && Execute(db, "COMMIT", reason)) {
        return true;
    }
    std::string ignored;
    Execute(db, "ROLLBACK", ignored);
    return false;
}

std::optional<std::vector<std::string>> HeardBuoys(Archive& archive, std::string& reason)
{
    Statement list = Prepare(archive.Handle(),
                             "SELECT DISTINCT imei FROM messages WHERE imei IS NOT NULL", reason);
    if (!list) {
        return std::nullopt;
    }
    std::vector<std::string> buoys;
    while (list.Next()) {
        buoys.push_back(list.Text(0));
    }
    if (list.Failed(reason)) {
        return std::nullopt;
    }
    return buoys;
}

std::optional<std::int64_t> NewestMessageTime(Archive& archive, std::string& reason)
{
    Statement query = Prepare(archive.Handle(), "SELECT " + Seconds("max(time)") + " FROM messages",
                              reason);
    if (!query) {
        return std::nullopt;
    }
    std::int64_t newest = 0;
    while (query.Next()) {
        newest = query.OptionalInteger(0).value_or(0);
    }
    if (query.Failed(reason)) {
        return std::nullopt;
    }
    return newest;
}

std::optional<alerts::BuoyFacts> ReadAlertFacts(Archive& archive, const std::string& imei,
                                                const alerts::Rules& rules, std::int64_t now,
                                                std::string& reason)
{
    sqlite3* db = archive.Handle();
    alerts::BuoyFacts facts;
    facts.now = now;
    const auto one = [&](const std::string& sql, const auto& row) {
        Statement query = Prepare(db, sql, reason);
        if (!query) {
            return false;
        }
        query.Bind(1, std::string_view(imei));
        while (query.Next()) {
            row(query);
        }
        return !query.Failed(reason);
    };
    if (!one("SELECT " + Seconds("max(received_at)") + " FROM messages WHERE imei = ?1",
             [&](const Statement& q) { facts.lastReceivedAt = q.OptionalInteger(0); }) ||
        !one("SELECT id, " + Seconds("time") +
                 " FROM messages WHERE imei = ?1 AND time IS NOT NULL"
                 " ORDER BY time DESC, id DESC LIMIT 1",
             [&](const Statement& q) {
                 facts.lastMessage = alerts::Sample{q.Integer(1), 0, q.Integer(0)};
             })) {
        return std::nullopt;
    }
    for (const auto& [record, hours] : rules.recordAbsentHours) {
        const std::string type = record;
        if (!one("SELECT " + Seconds("m.time") + " FROM messages m JOIN " +
                     Quoted(ArchiveName(type)) +
                     " r ON r.message_id = m.id WHERE m.imei = ?1 AND m.time IS NOT NULL"
                     " ORDER BY m.time DESC LIMIT 1",
                 [&](const Statement& q) { facts.lastRecord[type] = q.Integer(0); })) {
            return std::nullopt;
        }
    }
    for (const std::string& stream : rules.qcFail) {
        Statement query = Prepare(db,
                                  // The buoy's messages newest first through the (imei,
                                  // time) index, each probed for its flag by the flags' key:
                                  // joined the other way round, every flag of the stream
                                  // was read and sorted on each delivery.
                                  // The stream's aggregate is read from the message's
                                  // row of flags, through the layouts naming that stream.
                                  "SELECT CAST(substr(json_extract(e.value, '$[2]'), t.key + 1,"
                                  " 1) AS INTEGER), m.id, " +
                                      Seconds("m.time") +
                                      " FROM messages m CROSS JOIN qc_message_flags f"
                                      " ON f.message_id = m.id CROSS JOIN json_each(f.flags) e"
                                      " CROSS JOIN qc_layouts l"
                                      " ON l.id = json_extract(e.value, '$[0]')"
                                      " CROSS JOIN json_each(l.tests) t"
                                      " WHERE m.imei = ?1 AND m.time IS NOT NULL"
                                      " AND l.stream = ?2 AND t.value = 'aggregate'"
                                      " ORDER BY m.time DESC, m.id DESC LIMIT 1",
                                  reason);
        if (!query) {
            return std::nullopt;
        }
        query.Bind(1, std::string_view(imei));
        query.Bind(2, std::string_view(stream));
        while (query.Next()) {
            facts.lastQcAggregate[stream] = alerts::Sample{
                query.Integer(2), static_cast<double>(query.Integer(0)), query.Integer(1)};
        }
        if (query.Failed(reason)) {
            return std::nullopt;
        }
    }
    // The last day's battery values and the newest fix, in SQL: a buoy's whole series read
    // for every delivery would make a long deployment's deliveries ever slower.
    if (rules.batteryBelow || rules.batteryFallingPerDay) {
        const std::string volts = Quoted(ArchiveName(kBatteryField));
        const std::string join = " FROM messages m JOIN " + Quoted(ArchiveName(kBatteryRecord)) +
                                 " r ON r.message_id = m.id WHERE m.imei = ?1 AND r." + volts +
                                 " IS NOT NULL AND r." + volts + " <> 9999";
        if (!one("SELECT m.id, unixepoch(m.time), r." + volts + join +
                     " AND m.time >= (SELECT strftime('%Y-%m-%dT%H:%M:%SZ', m.time, '-1 day')" +
                     join + " AND m.time IS NOT NULL ORDER BY m.time DESC LIMIT 1)"
                     " ORDER BY m.time, m.id",
                 [&](const Statement& q) {
                     facts.battery.push_back({q.Integer(1), q.Real(2), q.Integer(0)});
                 })) {
            return std::nullopt;
        }
    }
    if (rules.geofence || rules.maxDistanceKm) {
        // A record's own fix before the gateway's estimate, as the dashboard's latest position.
        const auto newest = [&](const std::string& from, const std::string& lat,
                                const std::string& lon) {
            return one("SELECT m.id, unixepoch(m.time), " + lat + ", " + lon + " FROM " + from +
                           " WHERE m.imei = ?1 AND m.time IS NOT NULL AND " + lat +
                           " IS NOT NULL AND " + lon + " IS NOT NULL AND abs(" + lat +
                           ") <= 90 AND abs(" + lon + ") <= 360 ORDER BY m.time DESC, m.id DESC"
                           " LIMIT 1",
                       [&](const Statement& q) {
                           if (!facts.lastFix || q.Integer(1) > facts.lastFix->time) {
                               facts.lastFix = alerts::Fix{q.Integer(1), {q.Real(2), q.Real(3)},
                                                           q.Integer(0)};
                           }
                       });
        };
        for (const char* type : {"PB200", "IMU", "Ellipse"}) {
            const std::string table = Quoted(ArchiveName(type));
            if (!newest("messages m JOIN " + table + " r ON r.message_id = m.id", "r.Lat",
                        "r.Lon")) {
                return std::nullopt;
            }
        }
        if (!facts.lastFix &&
            !newest("messages m", "m.iridium_latitude", "m.iridium_longitude")) {
            return std::nullopt;
        }
    }
    return facts;
}

std::optional<std::vector<alerts::OpenAlert>> ReadOpenAlerts(Archive& archive,
                                                             const std::string& imei,
                                                             std::string& reason)
{
    Statement query = Prepare(archive.Handle(),
                              "SELECT id, rule FROM alerts WHERE buoy = ? AND resolved_at IS NULL",
                              reason);
    if (!query) {
        return std::nullopt;
    }
    query.Bind(1, std::string_view(imei));
    std::vector<alerts::OpenAlert> open;
    while (query.Next()) {
        open.push_back({query.Integer(0), query.Text(1)});
    }
    if (query.Failed(reason)) {
        return std::nullopt;
    }
    return open;
}

bool ApplyAlertPlan(Archive& archive, const std::string& imei, const alerts::Plan& plan,
                    std::int64_t now, const std::vector<std::string>& channels,
                    const EventDocument& document, std::string& reason)
{
    sqlite3* db = archive.Handle();
    Statement open = Prepare(db,
                             "INSERT INTO alerts (rule, buoy, detail, opened_at, opened_message)"
                             " VALUES (?, ?, ?, ?, ?)",
                             reason);
    Statement resolve = Prepare(db,
                                "UPDATE alerts SET resolved_at = ?, resolved_message = ?"
                                " WHERE id = ? AND resolved_at IS NULL",
                                reason);
    if (!open || !resolve) {
        return false;
    }
    for (const alerts::Finding& finding : plan.open) {
        open.Bind(1, std::string_view(finding.rule));
        open.Bind(2, std::string_view(imei));
        open.Bind(3, std::string_view(finding.detail));
        open.Bind(4, now);
        open.Bind(5, Message(finding.message));
        if (!Step(db, open.get(), reason)) {
            return false;
        }
        const AlertEvent event{sqlite3_last_insert_rowid(db), "opened", finding.rule, imei,
                               finding.detail, now, finding.message};
        if (!AddEvent(db, event, channels, document, reason)) {
            return false;
        }
    }
    for (const auto& [id, finding] : plan.resolve) {
        resolve.Bind(1, now);
        resolve.Bind(2, Message(finding.message));
        resolve.Bind(3, id);
        if (!Step(db, resolve.get(), reason)) {
            return false;
        }
        const AlertEvent event{id, "resolved", finding.rule, imei, finding.detail, now,
                               finding.message};
        if (sqlite3_changes(db) == 1 && !AddEvent(db, event, channels, document, reason)) {
            return false;
        }
    }
    return true;
}

std::optional<std::vector<OutboxItem>> DueOutbox(Archive& archive, std::int64_t now, int limit,
                                                 std::string& reason)
{
    Statement due = Prepare(archive.Handle(),
                            "SELECT id, event, channel, document, attempts FROM alert_outbox"
                            " WHERE delivered_at IS NULL AND next_attempt_at <= ?"
                            " ORDER BY next_attempt_at, id LIMIT ?",
                            reason);
    if (!due) {
        return std::nullopt;
    }
    due.Bind(1, now);
    due.Bind(2, static_cast<std::int64_t>(limit));
    std::vector<OutboxItem> items;
    while (due.Next()) {
        items.push_back({due.Integer(0), due.Text(1), due.Text(2), due.Text(3), due.Integer(4)});
    }
    if (due.Failed(reason)) {
        return std::nullopt;
    }
    return items;
}

bool RecordAttempt(Archive& archive, std::int64_t id, std::int64_t now,
                   const std::optional<std::string>& error, std::int64_t nextAttemptAt,
                   std::string& reason)
{
    sqlite3* db = archive.Handle();
    Statement update = Prepare(db,
                               "UPDATE alert_outbox SET attempts = attempts + 1,"
                               " delivered_at = ?, last_error = ?, next_attempt_at = ?"
                               " WHERE id = ?",
                               reason);
    if (!update) {
        return false;
    }
    update.Bind(1, error ? std::nullopt : std::optional<std::int64_t>(now));
    update.Bind(2, error);
    update.Bind(3, error ? std::optional<std::int64_t>(nextAttemptAt) : std::nullopt);
    update.Bind(4, id);
    return Step(db, update.get(), reason);
}

std::optional<std::vector<AlertRow>> ReadAlerts(const std::filesystem::path& path,
                                                const AlertQuery& query, std::string& reason)
{
    Connection db = Open(path.string(), SQLITE_OPEN_READONLY, reason);
    if (!db) {
        return std::nullopt;
    }
    sqlite3_busy_timeout(db.get(), 2000);
    const auto has = QueryInteger(
        db.get(), "SELECT count(*) FROM sqlite_master WHERE name = 'alert_outbox'", reason);
    if (!has) {
        return std::nullopt;
    }
    std::vector<AlertRow> rows;
    if (*has == 0) {
        return rows;
    }
    if (!Execute(db.get(), "BEGIN", reason)) {
        return std::nullopt;
    }
    Statement alerts = Prepare(
        db.get(),
        "SELECT id, rule, buoy, detail, opened_at, opened_message, resolved_at, resolved_message"
        " FROM alerts WHERE (?1 = '' OR buoy = ?1)"
        " AND (?2 = '' OR rule = ?2 OR rule LIKE ?2 || ':%')"
        " AND (?3 IS NULL OR (resolved_at IS NULL) = ?3) ORDER BY id DESC LIMIT ?4",
        reason);
    Statement outbox = Prepare(db.get(),
                               "SELECT id, event, channel, created_at, attempts, next_attempt_at,"
                               " delivered_at, last_error FROM alert_outbox WHERE alert = ?"
                               " ORDER BY id",
                               reason);
    if (!alerts || !outbox) {
        return std::nullopt;
    }
    alerts.Bind(1, std::string_view(query.buoy));
    alerts.Bind(2, std::string_view(query.rule));
    alerts.Bind(3, query.open ? std::optional<std::int64_t>(*query.open) : std::nullopt);
    alerts.Bind(4, static_cast<std::int64_t>(query.limit));
    while (alerts.Next()) {
        AlertRow& row = rows.emplace_back();
        row.id = alerts.Integer(0);
        row.rule = alerts.Text(1);
        row.buoy = alerts.Text(2);
        row.detail = alerts.OptionalText(3).value_or("");
        row.openedAt = alerts.Integer(4);
        row.openedMessage = alerts.OptionalInteger(5);
        row.resolvedAt = alerts.OptionalInteger(6);
        row.resolvedMessage = alerts.OptionalInteger(7);
    }
    if (alerts.Failed(reason)) {
        return std::nullopt;
    }
    for (AlertRow& row : rows) {
        outbox.Bind(1, row.id);
        while (outbox.Next()) {
            row.outbox.push_back({outbox.Integer(0), outbox.Text(1), outbox.Text(2),
                                  outbox.Integer(3), outbox.Integer(4),
                                  outbox.OptionalInteger(5), outbox.OptionalInteger(6),
                                  outbox.OptionalText(7)});
        }
        if (outbox.Failed(reason)) {
            return std::nullopt;
        }
    }
    return rows;
}

}  // namespace saltmark::archive
