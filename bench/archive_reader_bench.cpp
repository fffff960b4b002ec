// The archive reader at fleet scale: each query the dashboard makes, timed over an archive of
// BUOYS buoys reporting every 30 minutes for DAYS days (100 and 365 by default: 1.75 million
// messages). A missing archive is generated first, straight into the tables as the writer
// lays them out (decoding 1.75 million messages is the import's benchmark, not this one):
// every message with a PB200 and a battery record, every second one a Y81000's scalars.
//
//   saltmark_archive_reader_bench ARCHIVE [BUOYS DAYS]
//
// Prints the median of five runs of each query in milliseconds.

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "Archive.h"
#include "Reader.h"

namespace {

using saltmark::archive::Reader;

constexpr std::int64_t kStart = 1735689600;  // 2025-01-01T00:00:00Z
constexpr std::int64_t kInterval = 1800;

std::string Imei(int buoy) { return std::to_string(300234010000000LL + buoy); }

bool Exec(sqlite3* db, const char* sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::fprintf(stderr, "%s: %s\n", sql, message);
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool Generate(const std::filesystem::path& path, int buoys, int days)
{
    {
        std::string reason;
        if (!saltmark::archive::Archive::Open(path, {}, reason)) {
            std::fprintf(stderr, "%s\n", reason.c_str());
            return false;
        }
    }
    sqlite3* db = nullptr;
    sqlite3_open(path.string().c_str(), &db);
    sqlite3_stmt* message = nullptr;
    sqlite3_stmt* pb200 = nullptr;
    sqlite3_stmt* battery = nullptr;
    sqlite3_stmt* y81000 = nullptr;
    sqlite3_prepare_v2(
        db,
        "INSERT INTO messages (file_name, size, bytes, packet_type, outcome, imei, momsn, mtmsn,"
        " cdr_reference, session_status, session_time, iridium_latitude, iridium_longitude,"
        " iridium_cep_km, source, raw, received_at, time, time_source) VALUES (?1 || '_' || ?2"
        " || '.sbd', ?3, zeroblob(?3), 55, 'complete', ?1, ?2, 0, ?4, 0, ?5, ?6, ?7, 3,"
        " 'directip', zeroblob(?3 + 63), ?5, ?5, 'session')",
        -1, &message, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO PB200 (message_id, record, port, byte_offset, size, WDMean,"
                       " WSMean, Lat, Lon, Year, Month, Day, Seconds, ATMean, BPMean, measured_at)"
                       " VALUES (?1, 0, 2, 1, 72, 180, ?2, ?3, ?4, 2025, 1, 1, 0, 12.5, 1013, ?5)",
                       -1, &pb200, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO Miscellaneous_values (message_id, record, port, byte_offset,"
                       " size, Battery_voltage) VALUES (?1, 1, 0, 77, 4, ?2)",
                       -1, &battery, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO Y81000 (message_id, record, port, byte_offset, size, Ustar,"
                       " Epsilon, Quality) VALUES (?1, 2, 3, 85, 960, 0.3, ?2, 1)",
                       -1, &y81000, nullptr);
    Exec(db, "BEGIN");
    std::int64_t cdr = 0;
    const std::int64_t steps = std::int64_t{days} * 86400 / kInterval;
    for (std::int64_t step = 0; step < steps; ++step) {
        const std::string time = saltmark::IsoUtc(kStart + step * kInterval);
        for (int buoy = 0; buoy < buoys; ++buoy) {
            const bool spectrum = (step + buoy) % 2 == 0;
            const std::string imei = Imei(buoy);
            const double lat = 60.0 + buoy * 0.1 - step * 1e-4;
            const double lon = -20.0 + buoy * 0.3 + step * 2e-4;
            sqlite3_bind_text(message, 1, imei.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(message, 2, step % 65536);
            sqlite3_bind_int64(message, 3, spectrum ? 1049 : 85);
            sqlite3_bind_int64(message, 4, ++cdr);
            sqlite3_bind_text(message, 5, time.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_double(message, 6, lat + 0.01);
            sqlite3_bind_double(message, 7, lon + 0.01);
            sqlite3_step(message);
            sqlite3_reset(message);
            const sqlite3_int64 id = sqlite3_last_insert_rowid(db);
            sqlite3_bind_int64(pb200, 1, id);
            sqlite3_bind_double(pb200, 2, 5.0 + (step % 17));
            sqlite3_bind_double(pb200, 3, lat);
            sqlite3_bind_double(pb200, 4, lon);
            sqlite3_bind_text(pb200, 5, time.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(pb200);
            sqlite3_reset(pb200);
            sqlite3_bind_int64(battery, 1, id);
            sqlite3_bind_double(battery, 2, 12.0 + (step % 7) * 0.1);
            sqlite3_step(battery);
            sqlite3_reset(battery);
            if (spectrum) {
                sqlite3_bind_int64(y81000, 1, id);
                sqlite3_bind_double(y81000, 2, 1e-5 * (1 + step % 11));
                sqlite3_step(y81000);
                sqlite3_reset(y81000);
            }
        }
    }
    const bool done = Exec(db, "COMMIT");
    for (sqlite3_stmt* statement : {message, pb200, battery, y81000}) {
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return done;
}

double MedianMs(const std::function<void()>& run)
{
    std::vector<double> ms;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: %s ARCHIVE [BUOYS DAYS]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path path = argv[1];
    if (!std::filesystem::exists(path)) {
        const int buoys = argc == 4 ? std::stoi(argv[2]) : 100;
        const int days = argc == 4 ? std::stoi(argv[3]) : 365;
        const auto start = std::chrono::steady_clock::now();
        if (!Generate(path, buoys, days)) {
            return 1;
        }
        std::printf(
            "generated %d buoys x %d days in %.1f s\n", buoys, days,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::string reason;
    const auto reader = Reader::Open(path, reason);
    if (!reader) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    }
    const std::string buoy = Imei(0);
    const double yearStart = static_cast<double>(kStart);
    std::size_t rows = 0;
    const struct {
        const char* name;
        std::function<void()> run;
    } queries[] = {
        {"Buoys", [&] { rows = reader->Buoys(reason)->size(); }},
        {"Messages, first page",
         [&] { rows = reader->Messages({.limit = 50}, reason)->messages.size(); }},
        {"Messages, one buoy's first page",
         [&] { rows = reader->Messages({.buoy = buoy, .limit = 50}, reason)->messages.size(); }},
        {"Messages, the mail-folder buoy's first page (none)",
         [&] { rows = reader->Messages({.buoy = "files", .limit = 50}, reason)->messages.size(); }},
        {"Messages, one buoy, one day",
         [&] {
             rows = reader
                        ->Messages({.buoy = buoy,
                                    .range = {yearStart + 100 * 86400, yearStart + 101 * 86400},
                                    .limit = 100},
                                   reason)
                        ->messages.size();
         }},
        {"Series, one buoy's year of battery voltage",
         [&] {
             rows = reader->Series({"Miscellaneous values", "Battery voltage", {buoy}}, reason)
                        ->times.size();
         }},
        {"Series, one buoy's year of PB200 WSMean",
         [&] {
             rows = reader->Series({"PB200", "WSMean", {buoy}}, reason)->times.size();
         }},
        {"Series, every buoy's month of Y81000 Epsilon",
         [&] {
             rows = reader
                        ->Series({"Y81000", "Epsilon", {}, {yearStart, yearStart + 30 * 86400}},
                                 reason)
                        ->times.size();
         }},
        {"Track, one buoy's year",
         [&] { rows = reader->Track({.buoy = buoy}, reason)->times.size(); }},
        {"Series and track, the mail-folder buoy (none)",
         [&] {
             rows = reader->Series({"PB200", "WSMean", {"files"}}, reason)->times.size() +
                    reader->Track({.buoy = "files"}, reason)->times.size();
         }},
        {"Message, one", [&] { rows = reader->Message(12345, reason)->payload.size(); }},
    };
    for (const auto& query : queries) {
        const double ms = MedianMs(query.run);
        std::printf("%-48s %9.1f ms  %zu rows\n", query.name, ms, rows);
    }
    return 0;
}
