// saltmark-qc: recomputes the quality-control flags of an archive after its configuration
// changed. Thin on purpose: the series come through the archive's Reader, the flags from the
// configuration's runner, and go back through the archive's writer in one transaction.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ArchiveQc.h"
#include "Reader.h"

namespace {

namespace archive = saltmark::archive;

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

void Complain(const std::string& line) { std::fprintf(stderr, "saltmark-qc: %s\n", line.c_str()); }

int Run(int argc, char** argv)
{
    CLI::App app{"saltmark-qc: recomputes the quality-control (QARTOD) flags of an archive's "
                 "values with a configuration in the reference's YAML format"};
    std::string archivePath;
    std::string configPath;
    std::optional<std::string> buoy;
    std::optional<std::string> fromText;
    std::optional<std::string> toText;
    app.add_option("--archive", archivePath, "the SQLite archive")->required();
    app.add_option("--config", configPath, "the QC configuration (YAML)")->required();
    app.add_option("--buoy", buoy, "only this buoy (IMEI, or 'files'); default: every buoy");
    app.add_option("--from", fromText,
                   "only the flags of messages from this time (2025-06-01T00:00:00Z, UTC)");
    app.add_option("--to", toText, "only those up to this time, inclusive");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kSuccess : kUsage;
    }
    std::optional<std::int64_t> from;
    std::optional<std::int64_t> to;
    for (const auto& [text, into] : {std::pair{&fromText, &from}, std::pair{&toText, &to}}) {
        if (*text && !(*into = archive::ParseUtcTime(**text))) {
            Complain("not a time: " + **text + " (2025-06-01T00:00:00Z, or seconds since 1970)");
            return kUsage;
        }
    }

    // The whole configuration is checked before the archive is touched.
    saltmark::qc::Config config;
    try {
        config = archive::LoadQcConfig(configPath);
    } catch (const saltmark::qc::ConfigError& error) {
        Complain(error.what());
        return kUsage;
    }

    std::string reason;
    // The writer first: it upgrades an older archive, which the Reader then reads.
    // Every buoy is read and its flags written in one transaction: a cache of 1 GiB keeps the
    // pages of the record tables and of the flags, which all of a fleet's buoys share.
    const std::unique_ptr<archive::Archive> store = archive::Archive::Open(
        archivePath, {.busyTimeout = std::chrono::minutes(5), .cacheKiB = 1 << 20}, reason);
    if (!store) {
        Complain(archivePath + ": cannot be opened as an archive: " + reason);
        return kFailure;
    }
    // The write lock first: every buoy is read and flagged under it, so that no message
    // arrives between a buoy's read and its flags.
    if (!store->Begin(reason)) {
        Complain(archivePath + ": " + reason);
        return kFailure;
    }
    const std::unique_ptr<archive::Reader> reader = archive::Reader::Open(archivePath, reason);
    if (!reader) {
        Complain(archivePath + ": " + reason);
        return kFailure;
    }
    std::vector<std::string> buoys;
    if (buoy) {
        buoys.push_back(*buoy);
    } else {
        const auto all = reader->Buoys(reason);
        if (!all) {
            Complain(archivePath + ": " + reason);
            return kFailure;
        }
        for (const archive::BuoySummary& one : *all) {
            buoys.push_back(one.buoy);
        }
    }
    const std::vector<std::string> streams = archive::ConfiguredStreams(config);
    std::size_t values = 0;
    for (const std::string& name : buoys) {
        // Through the writer's connection, whose cache keeps the record tables' pages: a
        // fleet's buoys share them, and each buoy would otherwise read them all again.
        const auto rows = store->ReadBuoy(name, streams, reason);
        if (!rows) {
            Complain(archivePath + ": " + name + ": " + reason);
            return kFailure;
        }
        const archive::BuoyFlags flags = archive::FlagRows(config, name, *rows, from, to);
        for (const archive::StreamFlagRows& stream : flags.streams) {
            values += stream.keys.size();
        }
        if (!store->WriteFlags(flags, reason)) {
            Complain(archivePath + ": " + name + ": flags not written: " + reason);
            return kFailure;  // the batch rolls back with the archive
        }
    }
    const archive::BatchOutcome outcome = store->Commit();
    if (outcome.flagsNotWritten) {
        Complain(archivePath + ": flags not written: " + *outcome.flagsNotWritten);
        return kFailure;
    }
    std::fprintf(stderr, "saltmark-qc: %zu buoys, %zu values flagged by %s (%s)\n", buoys.size(),
                 values, configPath.c_str(), config.hash.c_str());
    return kSuccess;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const std::exception& failure) {
        Complain(failure.what());
    }
    return kFailure;
}
