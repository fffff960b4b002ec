#pragma once
// The alerts' tables (docs/converter.md): an alert opens once and resolves once, and each of
// its events waits in the outbox, one row per channel, until it is delivered. Written in the
// transaction of the messages that opened or resolved it, so that a restart neither repeats
// nor forgets one. Internal to the archive library.

#include <sqlite3.h>

#include <string>

namespace saltmark::archive {

extern const std::string kAlertTables;

// The upgrade from version 4: the two tables, then `stamp`; every row stays.
bool AddAlertTables(sqlite3* db, const std::string& stamp, std::string& reason);

}  // namespace saltmark::archive
