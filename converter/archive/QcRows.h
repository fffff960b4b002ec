#pragma once
// One buoy's values as the quality control reads them from the archive, each with the row it
// came from, and the flags it writes back (qc_message_flags, see QcTables.cpp). The writer
// reads them inside its transaction (to flag new messages before they commit), the Reader
// from a committed archive (to recompute after a configuration changes).

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace saltmark::archive {

// A buoy is its IMEI; the messages without one (files not named as Iridium's mail names them)
// are this buoy.
inline constexpr std::string_view kFilesBuoy = "files";

// The logger writes 9999 where it has no reading.
inline constexpr double kLoggerMarker = 9999.0;

// A stored scalar as the quality control and the charts take it: the logger's marker and any
// value not finite are missing (NaN). Both readers of a buoy's rows (the writer's, from its
// transaction's records; the Reader's, from the tables) go through these.
inline double ReadingOf(double stored)
{
    return std::isfinite(stored) && stored != kLoggerMarker ? stored
                                                           : std::numeric_limits<double>::quiet_NaN();
}

// A stored coordinate: only the marker is missing; an impossible one stays for the location
// test to fail.
inline double CoordinateOf(double stored)
{
    return stored == kLoggerMarker ? std::numeric_limits<double>::quiet_NaN() : stored;
}

// Where a value is: its message and the record's index in it; -1 for the message's own
// columns (the gateway's position estimate).
struct ValueKey {
    std::int64_t messageId = 0;
    std::int32_t record = 0;
    friend bool operator==(const ValueKey&, const ValueKey&) = default;
};

// A record's scalar field over time, in the archive's order (by message, then record). A
// value is NaN where the archive holds none or the logger wrote its 9999 marker; values of
// messages without a time are left out. Times are whole seconds since 1970.
struct StreamRows {
    std::string stream;  // "PB200.WSMean", as asked
    std::vector<ValueKey> keys;
    std::vector<std::int64_t> times;
    std::vector<double> values;
};

// Positions as recorded, impossible ones included (the location test flags them); the 9999
// marker and NULL are NaN.
struct PositionRows {
    std::vector<ValueKey> keys;
    std::vector<std::int64_t> times;
    std::vector<double> latitudes;
    std::vector<double> longitudes;
};

struct BuoyRows {
    std::vector<StreamRows> streams;  // in the order asked
    PositionRows position;            // PB200, IMU and Ellipse records' own fixes
    PositionRows iridiumPosition;     // the gateway's estimates (record -1)
};

struct TestFlagRows {
    std::string test;  // "spike_test", or "aggregate"
    std::vector<std::uint8_t> flags;
};

// The flags of one stream, one per key.
struct StreamFlagRows {
    std::string stream;  // "PB200.WSMean", "position", "iridium_position"
    std::vector<ValueKey> keys;
    std::vector<TestFlagRows> tests;
};

struct BuoyFlags {
    std::string buoy{};  // an IMEI, or kFilesBuoy
    std::string configHash{};
    std::string configFile{};
    // Seconds since 1970, inclusive, by the message's time: the flags of these messages are
    // replaced; nothing on both sides: every flag of the buoy.
    std::optional<std::int64_t> from{};
    std::optional<std::int64_t> to{};
    std::vector<StreamFlagRows> streams{};
};

}  // namespace saltmark::archive
