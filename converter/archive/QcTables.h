#pragma once
// The quality-control flags' tables (Archive.h), read and written on one connection, by the
// writer inside its transaction and by the Reader. Internal to the archive library.

#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "Archive.h"
#include "QcRows.h"

namespace saltmark::archive {

extern const std::string kQcTables;

// The buoy a delivery belongs to: its IMEI, or kFilesBuoy.
std::string BuoyOfDelivery(const Delivery& delivery);

std::optional<BuoyRows> ReadBuoyRows(sqlite3* db, const std::string& buoy,
                                     const std::vector<std::string>& streams,
                                     std::string& reason);

// In the transaction the caller holds.
bool WriteBuoyFlags(sqlite3* db, const BuoyFlags& flags, std::string& reason);

}  // namespace saltmark::archive
