#include "ArchiveQc.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace saltmark::archive {

qc::Config LoadQcConfig(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    if (!file || !(text << file.rdbuf())) {
        // An empty file reads as nothing too, and the parser tells why that is no configuration.
        if (!file.is_open()) {
            throw qc::ConfigError(path.string(), 0, "cannot be read");
        }
    }
    return qc::ParseConfig(text.str(), path.string());
}

std::vector<std::string> ConfiguredStreams(const qc::Config& config)
{
    std::vector<std::string> streams;
    for (const qc::Context& context : config.contexts) {
        for (const qc::StreamTests& stream : context.streams) {
            if (stream.stream != qc::kPositionStream &&
                stream.stream != qc::kIridiumPositionStream &&
                std::find(streams.begin(), streams.end(), stream.stream) == streams.end()) {
                streams.push_back(stream.stream);
            }
        }
    }
    return streams;
}

namespace {

qc::PositionSeries ToSeries(const PositionRows& rows)
{
    return {rows.times, rows.latitudes, rows.longitudes};
}

}  // namespace

BuoyFlags FlagRows(const qc::Config& config, const std::string& buoy, const BuoyRows& rows,
                   std::optional<std::int64_t> from, std::optional<std::int64_t> to)
{
    qc::BuoySeries series;
    for (const StreamRows& stream : rows.streams) {
        series.streams.emplace(stream.stream, qc::ScalarSeries{stream.times, stream.values});
    }
    series.position = ToSeries(rows.position);
    series.iridiumPosition = ToSeries(rows.iridiumPosition);

    BuoyFlags flags;
    flags.buoy = buoy;
    flags.configHash = config.hash;
    flags.configFile = config.fileName;
    flags.from = from;
    flags.to = to;
    for (qc::StreamFlags& result : qc::RunConfig(config, series)) {
        const std::vector<ValueKey>* keys = nullptr;
        const std::vector<std::int64_t>* times = nullptr;
        if (result.stream == qc::kPositionStream) {
            keys = &rows.position.keys;
            times = &rows.position.times;
        } else if (result.stream == qc::kIridiumPositionStream) {
            keys = &rows.iridiumPosition.keys;
            times = &rows.iridiumPosition.times;
        } else {
            const auto found =
                std::find_if(rows.streams.begin(), rows.streams.end(),
                             [&](const StreamRows& s) { return s.stream == result.stream; });
            if (found == rows.streams.end()) {
                continue;  // not read: ConfiguredStreams names every one the runner flags
            }
            keys = &found->keys;
            times = &found->times;
        }
        StreamFlagRows& out = flags.streams.emplace_back();
        out.stream = result.stream;
        result.tests.push_back({"aggregate", std::move(result.aggregate)});
        if (!from && !to) {
            out.keys = *keys;
            for (qc::TestFlags& test : result.tests) {
                out.tests.push_back({test.test, std::move(test.flags)});
            }
            continue;
        }
        std::vector<std::size_t> kept;
        for (std::size_t i = 0; i < keys->size(); ++i) {
            if ((!from || (*times)[i] >= *from) && (!to || (*times)[i] <= *to)) {
                kept.push_back(i);
                out.keys.push_back((*keys)[i]);
            }
        }
        for (const qc::TestFlags& test : result.tests) {
            TestFlagRows& one = out.tests.emplace_back();
            one.test = test.test;
            for (const std::size_t i : kept) {
                one.flags.push_back(test.flags[i]);
            }
        }
    }
    return flags;
}

bool FlagBuoys(Archive& archive, const qc::Config& config, const std::vector<std::string>& buoys,
               std::string& reason)
{
    const std::vector<std::string> streams = ConfiguredStreams(config);
    for (const std::string& buoy : buoys) {
        const std::optional<BuoyRows> rows = archive.ReadBuoy(buoy, streams, reason);
        if (!rows || !archive.WriteFlags(FlagRows(config, buoy, *rows), reason)) {
            reason = "quality control of " + buoy + ": " + reason;
            return false;
        }
    }
    return true;
}

void FlagOnCommit(Archive& archive, qc::Config config)
{
    archive.SetBeforeCommit(
        [config = std::move(config)](Archive& self, const std::vector<std::string>& buoys,
                                     std::string& reason) {
            try {
                return FlagBuoys(self, config, buoys, reason);
            } catch (const std::exception& error) {
                reason = std::string("quality control: ") + error.what();
                return false;
            }
        });
}

}  // namespace saltmark::archive
