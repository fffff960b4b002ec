#pragma once
// The quality-control flags' tables (Archive.h), read and written on one connection, by the
// writer inside its transaction and by the Reader. Internal to the archive library.

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Archive.h"
#include "QcRows.h"
#include "Sqlite.h"

namespace saltmark::archive {

// Every table of the flags, and those that replaced version 6's one row per flag.
extern const std::string kQcTables;
extern const std::string kQcFlagTables;

// The buoy a delivery belongs to: its IMEI, or kFilesBuoy.
std::string BuoyOfDelivery(const Delivery& delivery);

// With `afterMessage`, only the rows of the buoy's messages whose id is greater.
// With `cache`, its statements are kept there for the next call.
std::optional<BuoyRows> ReadBuoyRows(sqlite3* db, const std::string& buoy,
                                     const std::vector<std::string>& streams, std::string& reason,
                                     std::int64_t afterMessage = 0,
                                     sqlite::StatementCache* cache = nullptr);

// A value's flags in a message's row of qc_message_flags: its layout (qc_layouts), its
// record, a digit per test of the layout.
struct FlagEntry {
    std::int64_t layout = 0;
    std::int32_t record = 0;
    std::string digits;
};

// The entries of a row of qc_message_flags; nothing when it reads otherwise.
std::optional<std::vector<FlagEntry>> ParseFlagEntries(std::string_view row);

// In the transaction the caller holds. With `cache`, its statements are kept there.
bool WriteBuoyFlags(sqlite3* db, const BuoyFlags& flags, std::string& reason,
                    sqlite::StatementCache* cache = nullptr);

// Writes the flags of `now` that differ from `before`, the buoy's flags as the archive holds
// them, computed by the same configuration over the same streams and tests, whose keys begin
// `now`'s (the buoy's rows since then come after them); otherwise as WriteBuoyFlags.
bool WriteBuoyFlagChanges(sqlite3* db, const BuoyFlags& now, const BuoyFlags& before,
                          std::string& reason, sqlite::StatementCache& cache);

// Version 6 kept a row per value and test (qc_flags); each message's flags become its rows
// of qc_message_flags, every flag and its configuration kept, and qc_flags a view of them.
bool UpgradeFlagsToVersion7(sqlite3* db, std::string& reason);

}  // namespace saltmark::archive
