#pragma once
// Burst files as the shore tools read them: the project's CSV (u, v, w, T a row, as burst-gen
// writes it) and the TOA5 files of field loggers (four header lines, quoted timestamps, "NAN"
// for a missing value). eddyrate-run, eddyrate-batch and the Python module all read through
// here, so that a file means the same to each of them.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "burst.h"

namespace orcan::bursts {

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar (by 400-year eras, so no
// platform's time functions or time zone take part).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day);

// The wind and temperature columns of a TOA5 file, in the order u, v, w, T.
inline const std::vector<std::string> kDefaultToa5Columns{"Ux", "Uy", "Uz", "Ts"};

struct BurstReadOptions {
    std::vector<std::string> columns = kDefaultToa5Columns;  // TOA5 only
};

struct BurstFile {
    Burst burst;
    std::string format;                // "csv" or "toa5"
    std::optional<double> statedRate;  // Hz: burst-gen's header line, or the TOA5 timestamps
    std::optional<double> startTime;   // seconds since 1970-01-01 UTC of the first TOA5 sample
    std::size_t missingValues = 0;     // TOA5 "NAN" values, stored as the dropout marker 0.0
};

// Reads the text of a burst file (either form; a UTF-8 byte-order mark is passed over).
// Nothing on success; the first problem, with its line, otherwise.
std::optional<CsvError> parseBurstText(std::string_view text, const BurstReadOptions& options,
                                       BurstFile& file);

// Reads a burst file ("-" is standard input). Nothing on success; "<path>:<line>: <why>" or
// "<path>: <why>" otherwise. A file without a sample is an error: there is nothing to compute.
std::optional<std::string> readBurstFile(const std::string& path, const BurstReadOptions& options,
                                         BurstFile& file);

// The rate to compute with: the one asked for, else the one the file states, else fallback.
// A rate asked for that differs from the stated one is refused with both in the message.
struct RateChoice {
    double rate = 0.0;
    std::optional<std::string> error;
};
RateChoice chooseRate(const BurstFile& file, std::optional<double> asked, double fallback);

// "Ux,Uy,Uz,Ts" as four column names; the reason when it is not four non-empty names.
std::optional<std::string> parseColumnList(std::string_view text, std::vector<std::string>& names);

// Samples holding an exact zero in any series: the library screens them as dropouts.
std::size_t countDropouts(const Burst& burst);

}  // namespace orcan::bursts
