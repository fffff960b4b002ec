#include "ExportOptions.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "Archive.h"
#include "Erddap.h"
#include "Export.h"
#include "NetcdfFile.h"
#include "whole_file.h"
#ifdef SALTMARK_EXPORT_BUFR
#include "BufrExport.h"
#endif

namespace saltmark::exporting {

namespace {

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

void Complain(const std::string& line)
{
    std::fprintf(stderr, "saltmark-export: %s\n", line.c_str());
}

std::optional<deployment::Deployment> LoadDeployment(const std::string& path)
{
    if (path.empty()) {
        return deployment::Deployment{};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Complain(path + ": cannot be read");
        return std::nullopt;
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    try {
        return deployment::ParseDeployment(text, path);
    } catch (const deployment::DeploymentError& error) {
        Complain(error.what());
        return std::nullopt;
    }
}

// The user's range narrowed to the buoy's deployment window, so that each file holds one
// deployment.
archive::TimeRange RangeOf(const ExportOptions& options, const deployment::Buoy* buoy)
{
    archive::TimeRange range{options.from, options.to};
    if (buoy && buoy->start) {
        range.from = range.from ? std::max(*range.from, *buoy->start) : *buoy->start;
    }
    if (buoy && buoy->end) {
        range.to = range.to ? std::min(*range.to, *buoy->end) : *buoy->end;
    }
    return range;
}

}  // namespace

void AddExportOptions(CLI::App& app, ExportOptions& o)
{
    app.add_option("--archive", o.archive, "the SQLite archive")->required();
    app.add_option("--deployment", o.deployment,
                   "the deployment file (YAML): the metadata, which buoy is which, each one's "
                   "deployment window");
    app.add_option("--netcdf", o.netcdfDir,
                   "write one CF trajectory file per buoy and deployment into this folder");
    app.add_option("--fleet", o.fleetFile,
                   "write every buoy into this one file (a contiguous ragged array)");
    app.add_option("--erddap", o.erddapDir,
                   "write the ERDDAP dataset (datasets.xml) over the --netcdf folder into this "
                   "folder");
    app.add_option("--erddap-file-dir", o.erddapFileDir,
                   "the --netcdf folder as the ERDDAP server sees it (default: its absolute "
                   "path here)");
    app.add_option("--bufr", o.bufrDir,
                   "write a WMO BUFR drifting-buoy report per message of each buoy with a WMO "
                   "platform code into this folder (needs --deployment)");
    app.add_option("--buoy", o.buoy, "only this buoy (IMEI); default: every buoy");
    app.add_option("--from", o.fromText,
                   "only observations from this time (2026-05-01, 2026-05-01T12:00:00Z or "
                   "seconds since 1970)");
    app.add_option("--to", o.toText, "only observations up to this time, inclusive");
}

std::optional<std::string> CheckExportOptions(ExportOptions& o)
{
    for (const auto& [text, into] :
         {std::pair{&o.fromText, &o.from}, std::pair{&o.toText, &o.to}}) {
        if (text->empty()) {
            continue;
        }
        const std::optional<std::int64_t> seconds = archive::ParseUtcTime(*text);
        if (!seconds) {
            return "not a time: " + *text + " (2026-05-01T00:00:00Z, or seconds since 1970)";
        }
        *into = static_cast<double>(*seconds);
    }
    if (o.netcdfDir.empty() && o.fleetFile.empty() && o.bufrDir.empty()) {
        return "nothing to write: give --netcdf DIR, --fleet FILE, --bufr DIR or several";
    }
    if (!o.bufrDir.empty() && o.deployment.empty()) {
        return "--bufr reports the buoys the deployment file gives a WMO code: give --deployment";
    }
#ifndef SALTMARK_EXPORT_BUFR
    if (!o.bufrDir.empty()) {
        return "--bufr: this saltmark-export was built without ecCodes (Debian libeccodes-dev)";
    }
#endif
    if (!o.erddapDir.empty() && o.netcdfDir.empty()) {
        return "--erddap describes the --netcdf folder: give both";
    }
    return std::nullopt;
}

namespace {

// The BUFR reports, with what became of every message and buoy said on stdout.
bool WriteBufr([[maybe_unused]] const ExportOptions& o,
               [[maybe_unused]] const archive::Reader& reader,
               [[maybe_unused]] const deployment::Deployment& deployment)
{
#ifdef SALTMARK_EXPORT_BUFR
    std::error_code error;
    std::filesystem::create_directories(o.bufrDir, error);
    if (error) {
        Complain(o.bufrDir + ": " + error.message());
        return false;
    }
    bufr::BufrSelection selection;
    if (!o.buoy.empty()) {
        selection.buoy = o.buoy;
    }
    selection.range = {o.from, o.to};
    std::string reason;
    const auto counts = bufr::WriteBufrFiles(reader, deployment, o.bufrDir, selection, reason);
    if (!counts) {
        Complain(reason);
        return false;
    }
    std::printf("%s: %zu report%s written, %zu unchanged, %zu message%s with nothing to report\n",
                o.bufrDir.c_str(), counts->files, counts->files == 1 ? "" : "s",
                counts->unchanged, counts->empty, counts->empty == 1 ? "" : "s");
    for (const bufr::SkippedBuoy& skipped : counts->skipped) {
        std::printf("%s: no BUFR reports: %s\n", skipped.imei.c_str(), skipped.reason.c_str());
    }
    return true;
#else
    return false;  // refused by CheckExportOptions
#endif
}

}  // namespace

int RunExport(const ExportOptions& o)
{
    const auto deployment = LoadDeployment(o.deployment);
    if (!deployment) {
        return kUsage;
    }
    std::string reason;
    const auto reader = archive::Reader::Open(o.archive, reason);
    if (!reader) {
        Complain(o.archive + ": " + reason);
        return kFailure;
    }
    std::vector<std::string> imeis;
    if (!o.buoy.empty()) {
        imeis.push_back(o.buoy);
    } else {
        const auto buoys = reader->Buoys(reason);
        if (!buoys) {
            Complain(o.archive + ": " + reason);
            return kFailure;
        }
        for (const archive::BuoySummary& summary : *buoys) {
            if (summary.imei) {  // the messages without an IMEI belong to no buoy
                imeis.push_back(*summary.imei);
            }
        }
    }
    const Provenance provenance{
        o.archive, o.deployment,
        static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count())};

    if (!o.bufrDir.empty() && !WriteBufr(o, *reader, *deployment)) {
        return kFailure;
    }
    if (o.netcdfDir.empty() && o.fleetFile.empty()) {
        return kSuccess;
    }
    std::vector<Trajectory> trajectories;
    try {
        if (!o.netcdfDir.empty()) {
            std::filesystem::create_directories(o.netcdfDir);
        }
        for (const std::string& imei : imeis) {
            const deployment::Buoy* buoy = deployment->FindBuoy(imei);
            auto trajectory = ReadTrajectory(*reader, imei, RangeOf(o, buoy), reason);
            if (!trajectory) {
                Complain(o.archive + ": " + imei + ": " + reason);
                return kFailure;
            }
            if (trajectory->times.empty()) {
                Complain(imei + ": no position in the range asked, no file written");
                continue;
            }
            if (!o.netcdfDir.empty()) {
                const auto path = std::filesystem::path(o.netcdfDir) /
                                  (TrajectoryFileName(*trajectory, buoy) + ".nc");
                WriteTrajectoryFile(*trajectory, *deployment, buoy, provenance, path);
                std::printf("%s: %zu observations", path.string().c_str(),
                            trajectory->times.size());
                if (trajectory->sharedTimesMoved > 0) {
                    std::printf(" (%zu later deliver%s sharing a time placed 1 ms apart)",
                                trajectory->sharedTimesMoved,
                                trajectory->sharedTimesMoved == 1 ? "y" : "ies");
                }
                if (trajectory->withoutOwnFix > 0) {
                    std::printf(" (%zu message%s with only the gateway's position left out)",
                                trajectory->withoutOwnFix,
                                trajectory->withoutOwnFix == 1 ? "" : "s");
                }
                std::printf("\n");
            }
            trajectories.push_back(std::move(*trajectory));
        }
        if (!o.fleetFile.empty()) {
            WriteFleetFile(trajectories, *deployment, provenance, o.fleetFile);
            std::printf("%s: %zu buoys\n", o.fleetFile.c_str(), trajectories.size());
        }
    } catch (const NetcdfError& error) {
        Complain(error.what());
        return kFailure;
    } catch (const std::filesystem::filesystem_error& error) {
        Complain(error.what());
        return kFailure;
    }

    if (!o.erddapDir.empty()) {
        ErddapDataset dataset;
        const deployment::Metadata& m = deployment->metadata;
        dataset.datasetId = DatasetId(!m.project.empty() ? m.project : m.title);
        dataset.fileDir = o.erddapFileDir.empty()
                              ? std::filesystem::absolute(o.netcdfDir).lexically_normal().string()
                              : o.erddapFileDir;
        if (!dataset.fileDir.empty() && dataset.fileDir.back() != '/') {
            dataset.fileDir += '/';
        }
        std::set<const VariableAttributes*> present;
        std::set<std::string> flagged;
        for (const Trajectory& t : trajectories) {
            dataset.positionFlagged = dataset.positionFlagged || !t.positionFlags.empty();
            for (const FieldColumn& column : t.fields) {
                present.insert(column.attributes);
                if (!column.aggregateFlags.empty()) {
                    flagged.insert(column.attributes->name);
                }
            }
        }
        for (const VariableAttributes& a : ExportedFields()) {
            if (present.contains(&a)) {
                dataset.fields.push_back(&a);
            }
        }
        dataset.flagged.assign(flagged.begin(), flagged.end());
        std::error_code error;
        std::filesystem::create_directories(o.erddapDir, error);
        const auto path = std::filesystem::path(o.erddapDir) / "datasets.xml";
        if (!orcan::writeWholeFile(path, DatasetsXml(dataset, *deployment), reason)) {
            Complain(path.string() + ": " + reason);
            return kFailure;
        }
        std::printf("%s: dataset %s\n", path.string().c_str(), dataset.datasetId.c_str());
    }
    return kSuccess;
}

}  // namespace saltmark::exporting
