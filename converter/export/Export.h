#pragma once
// The buoys' records as CF discrete-sampling-geometry files a data centre accepts: one
// trajectory file per buoy and deployment, or the whole fleet in one contiguous ragged array,
// with the deployment file's metadata and the quality-control flags. Reads the archive
// through its Reader only.
//
// One observation per message that has a fix of its own (PB200, IMU, Ellipse, in that
// order), at the time of that fix; the gateway's estimate is too coarse for a trajectory. Times are
// made strictly increasing by keeping the first delivery of messages that share a time (a
// resent message, most often) and leaving out the later ones; each file says how many.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Deployment.h"
#include "Reader.h"
#include "VariableAttributes.h"

namespace saltmark::exporting {

// One field over a buoy's observations: `attributes.length` values per observation for an
// array (NaN where there is none), and the aggregate QC flag of each observation when the
// stream was flagged.
struct FieldColumn {
    const VariableAttributes* attributes = nullptr;
    std::vector<double> values;
    std::vector<std::int8_t> aggregateFlags;  // empty when nobody flagged the stream
};

struct Trajectory {
    std::string imei;
    std::vector<double> times;  // seconds since 1970, strictly increasing
    std::vector<double> latitudes, longitudes;
    std::vector<std::int64_t> messageIds;
    std::vector<std::int8_t> positionSources;   // archive::PositionSource
    std::vector<std::int32_t> positionRecords;  // the fix's record in its message
    std::vector<std::int8_t> positionFlags;     // aggregate QC flags; empty when none
    std::size_t sharedTimesMoved = 0;  // deliveries placed 1 ms after one sharing their time
    std::size_t withoutOwnFix = 0;    // messages with only the gateway's estimate, left out
    std::vector<FieldColumn> fields;  // the fields the buoy has values of, in table order
};

// One buoy's observations in `range`; nothing with `reason` when the archive fails.
std::optional<Trajectory> ReadTrajectory(const archive::Reader& reader, const std::string& imei,
                                         const archive::TimeRange& range, std::string& reason);

// What every file says about where it came from.
struct Provenance {
    std::string archivePath;
    std::string deploymentPath;
    double created = 0;  // seconds since 1970
};

// The trajectory file of one buoy; `buoy` is the deployment file's entry, when it has one.
// Throws NetcdfError when the file cannot be written.
void WriteTrajectoryFile(const Trajectory& trajectory, const deployment::Deployment& deployment,
                         const deployment::Buoy* buoy, const Provenance& provenance,
                         const std::filesystem::path& path);

// Every buoy in one file, one row (trajectory) per buoy.
void WriteFleetFile(const std::vector<Trajectory>& trajectories,
                    const deployment::Deployment& deployment, const Provenance& provenance,
                    const std::filesystem::path& path);

// "300434060000010_20260501.nc": the buoy's platform id (else its IMEI) and the day its
// deployment (else its first observation) starts.
std::string TrajectoryFileName(const Trajectory& trajectory, const deployment::Buoy* buoy);

}  // namespace saltmark::exporting
