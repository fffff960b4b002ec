#pragma once
// The archive's messages of the buoys that have a WMO platform code, each as one BUFR report
// (BufrReport.h) in a file of its own, ready for a data centre to put on the GTS.
//
// What goes in: the message's time (the weather station's own, else the archive's time of
// the message), its position (the PB200's fix, else the gateway's estimate with its radius),
// air pressure, air temperature and wind (PB200, else V536), the sea-surface temperature
// (the ACS), the battery voltage, and the heights of the sensors from the deployment file.
// A value is missing where the logger wrote its marker or where the aggregate
// quality-control flag says FAIL or MISSING; SUSPECT values go in (a position so flagged is
// marked dubious). Only messages inside the buoy's deployment window are reported.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Deployment.h"
#include "Reader.h"

namespace saltmark::bufr {

struct BufrSelection {
    std::optional<std::string> buoy{};  // an IMEI; nothing: every buoy of the deployment
    archive::TimeRange range{};
};

struct SkippedBuoy {
    std::string imei;
    std::string reason;  // "no WMO platform code", ...
};

struct BufrCounts {
    std::size_t files = 0;      // reports written
    std::size_t unchanged = 0;  // reports already in the folder as they are, left alone
    // Messages with a time but neither a position nor any value to report.
    std::size_t empty = 0;
    std::vector<SkippedBuoy> skipped;  // buoys asked for or deployed but not reported
};

// The seven-digit marine platform identifier the template carries, from the deployment file's
// code: a seven-digit code as it is, a five-digit one (A1 bw nnn) as A1 bw 00nnn, WMO's
// documented equivalence; nothing for a five-digit code of the Antarctic area (A1 = 7), where
// that equivalence has exceptions, or for anything else.
std::optional<std::string> SevenDigitCode(const std::string& code);

// Writes "<WMO code>_<yyyymmddThhmm>Z_<message id>.bufr" into `dir` (which must exist),
// each file whole or not at all; nothing with `reason` set at the first failure. A file that
// already holds its report is not touched: exporting again after new messages arrived writes
// only theirs, and whatever forwards the folder by modification time sends nothing twice.
std::optional<BufrCounts> WriteBufrFiles(const archive::Reader& reader,
                                         const deployment::Deployment& deployment,
                                         const std::filesystem::path& dir,
                                         const BufrSelection& selection, std::string& reason);

}  // namespace saltmark::bufr
