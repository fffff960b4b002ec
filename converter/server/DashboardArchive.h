#pragma once
// What the web dashboard reads from the archive: buoys, messages, one message decoded again,
// a field over time, the positions. Read-only: the archive is opened with
// SQLITE_OPEN_READONLY and this side never writes, so in WAL mode it never waits for the
// writer (the DirectIP side or an importer) and sees each message once it is committed.
//
// Times are the archive's UTC ISO 8601 text; ranges compare that text, so `from` and `to`
// are given the same way ("2025-12-07", "2025-12-07T09:33:20Z").

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace saltmark::server {

// A buoy is its IMEI; messages without one (files not named by Iridium's mail) are the
// buoy "files".
inline constexpr std::string_view kFilesBuoy = "files";

struct TimeRange {
    std::string from;  // inclusive; empty: open
    std::string to;    // inclusive; a bare date includes that whole day
};

struct MessageQuery {
    std::string buoy;  // empty: every buoy
    TimeRange range;
    std::int64_t before = 0;  // paging cursor: only ids below it (0: from the newest)
    std::int64_t after = 0;   // only ids above it: what arrived since the page last looked
    int limit = 50;
};

// One scalar field over time: seconds since 1970 and the value, nothing for a gap (the
// logger's 9999 marker, a non-finite value, which SQLite holds as NULL or infinity).
struct Series {
    std::vector<std::int64_t> times;  // seconds since 1970
    std::vector<std::optional<double>> values;
};

struct SeriesQuery {
    std::string type;   // record type as the report names it: "PB200", "Miscellaneous values"
    std::string field;  // scalar field as the report names it: "WSMean", "Battery voltage"
    std::string buoy;
    TimeRange range;
};

// A message decoded again from its archived bytes, with the converter's own functions.
struct MessageOutputs {
    nlohmann::ordered_json json;  // the converter's --json document with the archive's envelope
    std::string report;           // UTF-8, CR LF, byte for byte the converter's .txt
    std::optional<std::vector<std::uint8_t>> image;
    std::vector<std::uint8_t> sbd;  // the payload as the converter reads it
    std::string baseName;           // the file name without ".sbd", for downloads
};

class DashboardArchive {
public:
    // Nothing with `reason` set when the file is no version 2 archive.
    static std::unique_ptr<DashboardArchive> Open(const std::filesystem::path& path,
                                                  std::string& reason);
    ~DashboardArchive();
    DashboardArchive(const DashboardArchive&) = delete;
    DashboardArchive& operator=(const DashboardArchive&) = delete;

    // Per buoy: last message time, count, last battery voltage, position and image message.
    nlohmann::ordered_json Buoys() const;
    // Newest first, with "next" the cursor for the following page (null on the last).
    nlohmann::ordered_json Messages(const MessageQuery& query) const;
    std::optional<MessageOutputs> Message(std::int64_t id) const;
    // Nothing with `error` set when the type or field is none the archive holds as a column.
    std::optional<Series> FieldSeries(const SeriesQuery& query, std::string& error) const;
    // Record types and their scalar fields, for the page's pickers.
    nlohmann::ordered_json Fields() const;
    // Positions from PB200, IMU and Ellipse records and the Iridium estimate, oldest first,
    // as the JSON text of parallel arrays t, lat, lon, source, cep_km, id, buoy; from a large
    // archive those of every "every"-th message only.
    std::string Track(const std::string& buoy, const TimeRange& range) const;

    struct Connection;

private:
    explicit DashboardArchive(std::filesystem::path path);
    // Readers share a few connections; each request borrows one for its queries.
    class Lease;
    std::filesystem::path m_path;
    mutable std::mutex m_poolMutex;
    mutable std::vector<std::unique_ptr<Connection>> m_pool;
};

// True when `text` looks like the archive's time text or a prefix of it (digits, '-', ':',
// 'T', '.', 'Z'), so it can be compared with the archive's times.
bool IsTimeText(const std::string& text);

}  // namespace saltmark::server
