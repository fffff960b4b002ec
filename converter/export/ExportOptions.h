#pragma once
// saltmark-export's command line in one place: the options, their checks and the run. Each
// output (NetCDF, the fleet file, ERDDAP, BUFR) has its option in AddExportOptions and its
// step in RunExport.

#include <CLI/CLI.hpp>
#include <optional>
#include <string>

namespace saltmark::exporting {

struct ExportOptions {
    std::string archive;
    std::string deployment;     // empty: no deployment file, the IMEIs only
    std::string netcdfDir;      // one trajectory file per buoy
    std::string fleetFile;      // every buoy in one file
    std::string erddapDir;      // datasets.xml
    std::string erddapFileDir;  // the exported folder as the ERDDAP server sees it
    std::string bufrDir;        // one BUFR report per message of the buoys with a WMO code
    std::string buoy;           // one IMEI; empty: every buoy
    std::string fromText, toText;
    std::optional<double> from, to;  // seconds since 1970, from fromText and toText
};

void AddExportOptions(CLI::App& app, ExportOptions& options);

// After parsing: the times read and the combinations checked; the reason when they are wrong.
std::optional<std::string> CheckExportOptions(ExportOptions& options);

// Writes what the options ask; complains on stderr and returns the exit status.
int RunExport(const ExportOptions& options);

}  // namespace saltmark::exporting
