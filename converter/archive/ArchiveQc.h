#pragma once
// Quality control over the archive: a configuration file read and checked whole, one buoy's
// series read from the archive, flagged by the configuration and written back. The writer
// flags each buoy its transaction adds messages to before it commits (FlagOnCommit), so no
// message is committed without its flags; saltmark-qc recomputes after a change.
//
// The flags of a value depend on its neighbours (the spike and rate tests), a window of
// earlier values and the median step of the whole series (the flat-line test), so a late
// message or a new neighbour changes flags around it; the flags after any arrival order are
// those of a run over the sorted series. FlagOnCommit keeps the series and flags of the buoys
// it flagged last in memory and recomputes only the flags its new values can change; a
// transaction takes its new rows from the messages it added (Archive::NewMessages) and writes
// only the flags that changed.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Archive.h"
#include "QcConfig.h"
#include "QcRows.h"

namespace saltmark::archive {

// Reads and checks the configuration; throws qc::ConfigError ("qc.yaml:12: reason"), also
// when the file cannot be read.
qc::Config LoadQcConfig(const std::filesystem::path& path);

// The record fields the configuration tests, "PB200.WSMean", each once.
std::vector<std::string> ConfiguredStreams(const qc::Config& config);

// The configuration run over one buoy's whole rows: its flags per stream and test (and
// "aggregate"), each by the row it flags; with `from` or `to`, only those of the values in
// that range (seconds since 1970, inclusive), which replace the flags of the messages there.
BuoyFlags FlagRows(const qc::Config& config, const std::string& buoy, const BuoyRows& rows,
                   std::optional<std::int64_t> from = std::nullopt,
                   std::optional<std::int64_t> to = std::nullopt);

// Reads, flags and writes `buoys` whole in the archive's open transaction.
bool FlagBuoys(Archive& archive, const qc::Config& config, const std::vector<std::string>& buoys,
               std::string& reason);

// Every transaction of `archive` that adds messages flags their buoys before it commits.
void FlagOnCommit(Archive& archive, qc::Config config);

}  // namespace saltmark::archive
