#include "ArchiveQc.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <sstream>

#include "IncrementalRun.h"
#include "Records.h"
#include "Sqlite.h"

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

qc::BuoySeries ToSeries(const BuoyRows& rows)
{
    qc::BuoySeries series;
    for (const StreamRows& stream : rows.streams) {
        series.streams.emplace(stream.stream, qc::ScalarSeries{stream.times, stream.values});
    }
    series.position = ToSeries(rows.position);
    series.iridiumPosition = ToSeries(rows.iridiumPosition);
    return series;
}

// A stream's keys and times among a buoy's rows; nothing for a stream not read.
struct StreamPlaces {
    const std::vector<ValueKey>* keys;
    const std::vector<std::int64_t>* times;
};
std::optional<StreamPlaces> PlacesOf(const BuoyRows& rows, const std::string& stream)
{
    if (stream == qc::kPositionStream) {
        return StreamPlaces{&rows.position.keys, &rows.position.times};
    }
    if (stream == qc::kIridiumPositionStream) {
        return StreamPlaces{&rows.iridiumPosition.keys, &rows.iridiumPosition.times};
    }
    for (const StreamRows& one : rows.streams) {
        if (one.stream == stream) {
            return StreamPlaces{&one.keys, &one.times};
        }
    }
    return std::nullopt;
}

// The runner's flags (in the rows' order) by the rows' keys, the aggregate as one more test.
BuoyFlags ToBuoyFlags(const qc::Config& config, const std::string& buoy, const BuoyRows& rows,
                      const std::vector<qc::StreamFlags>& results,
                      std::optional<std::int64_t> from = std::nullopt,
                      std::optional<std::int64_t> to = std::nullopt)
{
    BuoyFlags flags;
    flags.buoy = buoy;
    flags.configHash = config.hash;
    flags.configFile = config.fileName;
    flags.from = from;
    flags.to = to;
    for (const qc::StreamFlags& result : results) {
        const std::optional<StreamPlaces> places = PlacesOf(rows, result.stream);
        if (!places) {
            continue;  // not read: ConfiguredStreams names every one the runner flags
        }
        const std::vector<ValueKey>* keys = places->keys;
        const std::vector<std::int64_t>* times = places->times;
        StreamFlagRows& out = flags.streams.emplace_back();
        out.stream = result.stream;
        std::vector<const qc::TestFlags*> tests;
        for (const qc::TestFlags& test : result.tests) {
            tests.push_back(&test);
        }
        const qc::TestFlags aggregate{"aggregate", result.aggregate};
        tests.push_back(&aggregate);
        if (!from && !to) {
            out.keys = *keys;
            for (const qc::TestFlags* test : tests) {
                out.tests.push_back({test->test, test->flags});
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
        for (const qc::TestFlags* test : tests) {
            TestFlagRows& one = out.tests.emplace_back();
            one.test = test->test;
            for (const std::size_t i : kept) {
                one.flags.push_back(test->flags[i]);
            }
        }
    }
    return flags;
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A scalar field as the archive stores it (a float32 as its shortest decimal, NaN as NULL).
double Stored(const RecordField& field)
{
    if (field.Kind() != FieldKind::Float32) {
        return static_cast<double>(field.Integer());
    }
    return sqlite::StoredFloat32(field.Real());
}

// Whether the archive's time text for `time` reads back as a time: years 0 to 9999.
bool Representable(std::int64_t time) { return time >= -62167219200 && time <= 253402300799; }

// One buoy's rows among the messages the open transaction added, as Archive::ReadBuoy reads
// the rows after a message: a table's rows by message and record, the streams' tables first,
// then the position records', then the gateway's estimates. Nothing when a stream names no
// record field.
std::optional<BuoyRows> RowsOfNewMessages(const std::vector<NewMessage>& messages,
                                          const std::string& buoy,
                                          const std::vector<std::string>& streams)
{
    struct Read {
        const RecordDescription* type = nullptr;
        std::vector<std::pair<std::string, std::size_t>> fields;  // field, stream index
        bool position = false;
    };
    std::vector<Read> reads;
    const auto readOf = [&](std::string_view typeName) -> Read* {
        for (Read& read : reads) {
            if (read.type->typeName == typeName) {
                return &read;
            }
        }
        for (const RecordDescription& type : RecordDescriptions()) {
            if (type.typeName == typeName) {
                return &reads.emplace_back(Read{&type, {}, false});
            }
        }
        return nullptr;
    };
    BuoyRows rows;
    for (const std::string& name : streams) {
        const std::size_t dot = name.find('.');
        Read* read = dot == std::string::npos ? nullptr : readOf(name.substr(0, dot));
        if (read == nullptr) {
            return std::nullopt;
        }
        read->fields.emplace_back(name.substr(dot + 1), rows.streams.size());
        rows.streams.push_back({name, {}, {}, {}});
    }
    for (const std::string_view type : {"PB200", "IMU", "Ellipse"}) {
        Read* read = readOf(type);
        if (read == nullptr) {
            return std::nullopt;
        }
        read->position = true;
    }
    for (const Read& read : reads) {
        for (const NewMessage& message : messages) {
            if (message.buoy != buoy) {
                continue;
            }
            const std::vector<DecodedRecord>& records = message.decoded->records;
            for (std::size_t r = 0; r < records.size(); ++r) {
                const DecodedRecord& record = records[r];
                if (record.description != read.type) {
                    continue;
                }
                // A PB200 states its own moment when its date is valid.
                std::optional<std::int64_t> time;
                if (record.TypeName() == "PB200") {
                    time = RecordTime(record);
                }
                if (!time) {
                    time = message.time;
                }
                if (time && !Representable(*time)) {
                    time.reset();
                }
                if (!time) {
                    continue;  // no place in a series
                }
                const ValueKey key{message.id, static_cast<std::int32_t>(r)};
                for (const auto& [field, stream] : read.fields) {
                    const RecordField* value = record.Find(field);
                    StreamRows& into = rows.streams[stream];
                    into.keys.push_back(key);
                    into.times.push_back(*time);
                    into.values.push_back(value ? ReadingOf(Stored(*value)) : kNaN);
                }
                if (read.position) {
                    const RecordField* lat = record.Find("Lat");
                    const RecordField* lon = record.Find("Lon");
                    PositionRows& into = rows.position;
                    into.keys.push_back(key);
                    into.times.push_back(*time);
                    into.latitudes.push_back(lat ? CoordinateOf(Stored(*lat)) : kNaN);
                    into.longitudes.push_back(lon ? CoordinateOf(Stored(*lon)) : kNaN);
                }
            }
        }
    }
    for (const NewMessage& message : messages) {
        // SQLite keeps a NaN coordinate as NULL, and a message with neither has no estimate.
        if (message.buoy != buoy || !message.time || !Representable(*message.time) ||
            !message.location ||
            (std::isnan(message.location->latitude) && std::isnan(message.location->longitude))) {
            continue;
        }
        PositionRows& into = rows.iridiumPosition;
        into.keys.push_back({message.id, -1});
        into.times.push_back(*message.time);
        into.latitudes.push_back(CoordinateOf(message.location->latitude));
        into.longitudes.push_back(CoordinateOf(message.location->longitude));
    }
    return rows;
}

}  // namespace

BuoyFlags FlagRows(const qc::Config& config, const std::string& buoy, const BuoyRows& rows,
                   std::optional<std::int64_t> from, std::optional<std::int64_t> to)
{
    return ToBuoyFlags(config, buoy, rows, qc::RunConfig(config, ToSeries(rows)), from, to);
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

namespace {

// What the writer's quality control keeps of the buoys it flagged last: their rows, the flags
// the archive holds for them and a run that recomputes only the flags new values can change
// (qc::IncrementalRun), so that the next transaction reads nothing back and writes only the
// flags that changed. The archive alone changes a buoy's rows, so what is kept holds while no
// other connection commits and no transaction of this one is rolled back; else it is read
// again.
class IncrementalFlags {
public:
    explicit IncrementalFlags(qc::Config config)
        : m_config(std::move(config)), m_streams(ConfiguredStreams(m_config))
    {
    }

    bool Flag(Archive& archive, const std::vector<std::string>& buoys, std::string& reason)
    {
        const std::optional<std::int64_t> version = archive.DataVersion(reason);
        const std::optional<std::int64_t> last = archive.LastMessageId(reason);
        if (!version || !last) {
            return false;
        }
        if (version != m_dataVersion || archive.RolledBack() != m_rolledBack) {
            m_buoys.clear();
        }
        m_dataVersion = version;
        m_rolledBack = archive.RolledBack();
        for (const std::string& buoy : buoys) {
            bool flagged = false;
            try {
                flagged = FlagOne(archive, buoy, *last, reason);
            } catch (...) {
                m_buoys.erase(buoy);  // half updated
                throw;
            }
            if (!flagged) {
                m_buoys.erase(buoy);
                reason = "quality control of " + buoy + ": " + reason;
                return false;
            }
        }
        return true;
    }

private:
    struct Kept {
        BuoyRows rows;
        std::unique_ptr<qc::IncrementalRun> run;  // over `rows`, in their order
        std::int64_t through = 0;                 // the last message id read
        BuoyFlags flags;                          // as the archive holds them
        std::uint64_t used = 0;
    };

    // What is kept is bounded by values, not buoys: a buoy missing from it is read and
    // flagged whole, and its flags all written again, so a fleet whose buoys take turns must
    // fit. Two million values (a series' key, time and value, and their flags) are some
    // 100 MB: a hundred buoys' month at ten fields, or ten buoys' year.
    static constexpr std::size_t kKeptValues = 2'000'000;

    static std::size_t Values(const BuoyRows& rows)
    {
        std::size_t values = rows.position.keys.size() + rows.iridiumPosition.keys.size();
        for (const StreamRows& stream : rows.streams) {
            values += stream.keys.size();
        }
        return values;
    }

    // Leaves out the least recently used buoys until what is kept fits beside `more` values.
    void MakeRoom(std::size_t more)
    {
        std::size_t kept = more;
        for (const auto& [buoy, each] : m_buoys) {
            kept += Values(each.rows);
        }
        while (!m_buoys.empty() && kept > kKeptValues) {
            const auto oldest = std::min_element(
                m_buoys.begin(), m_buoys.end(),
                [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
            kept -= Values(oldest->second.rows);
            m_buoys.erase(oldest);
        }
    }

    bool FlagOne(Archive& archive, const std::string& buoy, std::int64_t last,
                 std::string& reason)
    {
        const auto found = m_buoys.find(buoy);
        if (found == m_buoys.end()) {
            std::optional<BuoyRows> rows = archive.ReadBuoy(buoy, m_streams, reason);
            if (!rows) {
                return false;
            }
            auto run = std::make_unique<qc::IncrementalRun>(m_config);
            run->Add(ToSeries(*rows));
            BuoyFlags flags = ToBuoyFlags(m_config, buoy, *rows, run->Flags());
            if (!archive.WriteFlags(flags, reason)) {
                return false;
            }
            MakeRoom(Values(*rows));
            m_buoys.emplace(buoy, Kept{std::move(*rows), std::move(run), last, std::move(flags),
                                       ++m_clock});
            return true;
        }
        Kept& kept = found->second;
        // The transaction's own messages are all that is new (what is kept holds, so no other
        // writer added any); read back only when they cannot be told from the records.
        const std::vector<NewMessage>& fresh = archive.NewMessages();
        std::optional<BuoyRows> added;
        if (std::all_of(fresh.begin(), fresh.end(),
                        [&](const NewMessage& m) { return m.id > kept.through; })) {
            added = RowsOfNewMessages(fresh, buoy, m_streams);
        }
        if (!added) {
            added = archive.ReadBuoy(buoy, m_streams, reason, kept.through);
        }
        if (!added) {
            return false;
        }
        Append(kept.rows, *added);
        kept.run->Add(ToSeries(*added));
        if (!WriteRecomputed(archive, kept, reason)) {
            return false;
        }
        kept.through = last;
        kept.used = ++m_clock;
        return true;
    }

    // Writes the flags the run computed again where they changed, and keeps them: the values
    // whose flags were not computed again kept theirs, so only these are compared.
    static bool WriteRecomputed(Archive& archive, Kept& kept, std::string& reason)
    {
        BuoyFlags now;
        now.buoy = kept.flags.buoy;
        now.configHash = kept.flags.configHash;
        now.configFile = kept.flags.configFile;
        BuoyFlags before = now;
        const std::vector<qc::StreamFlags>& results = kept.run->Flags();
        for (StreamFlagRows& held : kept.flags.streams) {
            const auto result =
                std::find_if(results.begin(), results.end(),
                             [&](const qc::StreamFlags& r) { return r.stream == held.stream; });
            const std::optional<StreamPlaces> places = PlacesOf(kept.rows, held.stream);
            if (result == results.end() || !places) {
                reason = held.stream + ": flags kept for a stream not run";
                return false;
            }
            const std::vector<ValueKey>* keys = places->keys;
            const std::vector<std::size_t>& again =
                kept.run->Recomputed()[static_cast<std::size_t>(result - results.begin())];
            const std::size_t known = held.keys.size();  // the new values' indices follow
            StreamFlagRows& changed = now.streams.emplace_back();
            StreamFlagRows& was = before.streams.emplace_back();
            changed.stream = was.stream = held.stream;
            for (const std::size_t i : again) {
                changed.keys.push_back((*keys)[i]);
                if (i < known) {
                    was.keys.push_back((*keys)[i]);
                }
            }
            held.keys.insert(held.keys.end(), keys->begin() + static_cast<std::ptrdiff_t>(known),
                             keys->end());
            for (TestFlagRows& test : held.tests) {
                const qc::Flags* flags = &result->aggregate;
                if (test.test != "aggregate") {
                    const auto found = std::find_if(
                        result->tests.begin(), result->tests.end(),
                        [&](const qc::TestFlags& t) { return t.test == test.test; });
                    if (found == result->tests.end()) {
                        reason = held.stream + " " + test.test + ": flags kept for a test not run";
                        return false;
                    }
                    flags = &found->flags;
                }
                TestFlagRows& to = changed.tests.emplace_back();
                TestFlagRows& from = was.tests.emplace_back();
                to.test = from.test = test.test;
                test.flags.resize(keys->size());
                for (const std::size_t i : again) {
                    if (i < known) {
                        from.flags.push_back(test.flags[i]);
                    }
                    to.flags.push_back((*flags)[i]);
                    test.flags[i] = (*flags)[i];
                }
            }
        }
        return archive.WriteFlagChanges(now, before, reason);
    }

    static void Append(PositionRows& into, const PositionRows& rows)
    {
        into.keys.insert(into.keys.end(), rows.keys.begin(), rows.keys.end());
        into.times.insert(into.times.end(), rows.times.begin(), rows.times.end());
        into.latitudes.insert(into.latitudes.end(), rows.latitudes.begin(), rows.latitudes.end());
        into.longitudes.insert(into.longitudes.end(), rows.longitudes.begin(),
                               rows.longitudes.end());
    }

    static void Append(BuoyRows& into, const BuoyRows& rows)
    {
        for (std::size_t s = 0; s < into.streams.size(); ++s) {
            StreamRows& stream = into.streams[s];
            const StreamRows& more = rows.streams[s];
            stream.keys.insert(stream.keys.end(), more.keys.begin(), more.keys.end());
            stream.times.insert(stream.times.end(), more.times.begin(), more.times.end());
            stream.values.insert(stream.values.end(), more.values.begin(), more.values.end());
        }
        Append(into.position, rows.position);
        Append(into.iridiumPosition, rows.iridiumPosition);
    }

    qc::Config m_config;
    std::vector<std::string> m_streams;
    std::map<std::string, Kept> m_buoys;
    std::optional<std::int64_t> m_dataVersion;
    std::uint64_t m_rolledBack = 0;
    std::uint64_t m_clock = 0;
};

}  // namespace

void FlagOnCommit(Archive& archive, qc::Config config)
{
    archive.SetBeforeCommit(
        [flags = std::make_shared<IncrementalFlags>(std::move(config))](
            Archive& self, const std::vector<std::string>& buoys, std::string& reason) {
            try {
                return flags->Flag(self, buoys, reason);
            } catch (const std::exception& error) {
                reason = std::string("quality control: ") + error.what();
                return false;
            }
        });
}

}  // namespace saltmark::archive
