#include "AlertTables.h"

#include "Sqlite.h"

namespace saltmark::archive {

// Times are whole seconds since 1970, as the delivery worker compares them with its clock.
const std::string kAlertTables =
    "CREATE TABLE alerts (id INTEGER PRIMARY KEY, rule TEXT NOT NULL, buoy TEXT NOT NULL,"
    " detail TEXT, opened_at INTEGER NOT NULL, opened_message INTEGER REFERENCES messages(id),"
    " resolved_at INTEGER, resolved_message INTEGER REFERENCES messages(id));\n"
    // At most one open alert per buoy and rule, whatever two writers do.
    "CREATE UNIQUE INDEX alerts_open ON alerts (buoy, rule) WHERE resolved_at IS NULL;\n"
    "CREATE TABLE alert_outbox (id INTEGER PRIMARY KEY,"
    " alert INTEGER NOT NULL REFERENCES alerts(id),"
    " event TEXT NOT NULL CHECK (event IN ('opened', 'resolved')), channel TEXT NOT NULL,"
    " document TEXT NOT NULL, created_at INTEGER NOT NULL, attempts INTEGER NOT NULL DEFAULT 0,"
    " next_attempt_at INTEGER, delivered_at INTEGER, last_error TEXT);\n"
    "CREATE INDEX alert_outbox_pending ON alert_outbox (next_attempt_at)"
    " WHERE delivered_at IS NULL;\n"
    // The rules read a buoy's newest rows on every delivery: found through this and the
    // (imei, time, ...) index the quality control's tables bring, a long deployment costs no
    // more to judge than a short one. On messages, which an archive from before may already
    // have indexed so.
    "CREATE INDEX IF NOT EXISTS messages_by_buoy_arrival ON messages (imei, received_at);\n";

bool AddAlertTables(sqlite3* db, const std::string& stamp, std::string& reason)
{
    return sqlite::Execute(db, kAlertTables + stamp, reason);
}

}  // namespace saltmark::archive
