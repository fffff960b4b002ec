#pragma once
// The archive read back as typed values: the buoys with their latest values, the messages
// page by page, one message with its envelope and payload, one field over time, the track,
// and array fields. Every front end that shows the archive (the dashboard, Python) reads it
// through here, so none of them knows the tables.
//
// A Reader opens the file read-only (SQLITE_OPEN_READONLY) and never writes: in WAL mode it
// never waits for the writer and sees each message once it is committed; its busy timeout
// covers only the instant a writer resets the log. It reads archives of version 2 to 5.
// One Reader is used by one thread at a time; open one per thread.
//
// Times are seconds since 1970-01-01T00:00:00Z as double, the archive's time of a message
// (see Archive.h); a PB200 record's values and position take the record's own time when its
// date is valid. The envelope keeps the archive's own texts.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QcRows.h"

namespace saltmark::archive {


// Inclusive bounds in seconds since 1970; an open side when nothing. A range with either
// bound leaves out the messages without a time.
struct TimeRange {
    std::optional<double> from{};
    std::optional<double> to{};
    bool Open() const { return !from && !to; }
};

struct TimedValue {
    std::optional<double> time;
    double value = 0;
    std::int64_t messageId = 0;
};

enum class PositionSource { Pb200, Imu, Ellipse, Iridium };
constexpr std::string_view PositionSourceName(PositionSource source)
{
    constexpr std::string_view kNames[] = {"PB200", "IMU", "Ellipse", "Iridium"};
    return kNames[static_cast<int>(source)];
}

struct Position {
    std::optional<double> time;
    double latitude = 0;
    double longitude = 0;
    PositionSource source = PositionSource::Iridium;
    std::optional<std::int64_t> cepKm;  // the gateway's estimate only
    std::int64_t messageId = 0;
};

struct BuoySummary {
    std::string buoy;                 // the IMEI, or kFilesBuoy
    std::optional<std::string> imei;  // none for kFilesBuoy
    std::int64_t messages = 0;
    // The newest message by time (one without a time only when none has one).
    std::int64_t lastId = 0;
    std::optional<double> lastTime;
    std::string lastFileName;
    std::optional<TimedValue> battery;  // the newest battery voltage that is a reading
    // The newest message's position: in one message, a record's own (PB200, IMU, Ellipse, in
    // that order) before the gateway's estimate.
    std::optional<Position> position;
    std::optional<std::int64_t> imageId;  // the newest message with an image
};

// One row of the messages table; times as the archive writes them (UTC ISO 8601 text).
struct MessageEnvelope {
    std::int64_t id = 0;
    std::string fileName;
    std::int64_t size = 0;
    std::optional<std::int64_t> packetType;
    std::string outcome;  // "complete" or "stopped"
    std::optional<std::string> stopReason;
    std::optional<std::int64_t> stopOffset;
    std::string importedAt;
    std::optional<std::string> imei;
    std::optional<std::int64_t> momsn, mtmsn, cdrReference, sessionStatus;
    std::optional<std::string> sessionTime;
    std::optional<double> iridiumLatitude, iridiumLongitude;
    std::optional<std::int64_t> iridiumCepKm;
    std::string source;  // "directip" or "file"
    std::optional<std::string> receivedAt;
    std::optional<std::string> time;        // the message's best known time
    std::optional<std::string> timeSource;  // "session", "record", "file"
};

struct MessageQuery {
    std::optional<std::string> buoy{};  // an IMEI or kFilesBuoy; nothing: every buoy
    TimeRange range{};
    // The cursor: the messages listed after this one (the last of the previous page).
    std::optional<std::int64_t> before{};
    // Only messages delivered after this one (ids grow with delivery): what arrived since.
    std::optional<std::int64_t> after{};
    int limit = 50;  // 1 to kLargestPage
};

struct MessagePage {
    // Newest time first, equal times newest delivery first; the messages without a time
    // after every message with one, newest delivery first.
    std::vector<MessageEnvelope> messages;
    std::optional<std::int64_t> next;  // the cursor for the following page; none on the last
};

struct StoredMessage {
    MessageEnvelope envelope;
    std::vector<std::uint8_t> payload;  // the SBD message the decoder reads
    std::vector<std::uint8_t> raw;      // the whole DirectIP message; empty for a bare payload
};

struct SeriesQuery {
    std::string record{};              // the record type as the report or the archive names it
    std::string field{};               // a numeric scalar field of it, named either way
    std::vector<std::string> buoys{};  // IMEIs or kFilesBuoy; empty: every buoy
    TimeRange range{};
    bool testFlags = false;  // each test's flags as well as the aggregate
};

// A quality-control flag (1 GOOD, 2 UNKNOWN, 3 SUSPECT, 4 FAIL, 9 MISSING) as read back; 0
// where the archive holds none for that value (never flagged, or an archive before flags).
using StoredFlag = std::uint8_t;

// One field over time as parallel arrays, in time order (equal times by delivery order, then
// record order). A value is NaN where the logger wrote its 9999 marker or a non-finite
// value. Records of messages without a time are left out.
struct SeriesValues {
    std::vector<double> times;
    std::vector<double> values;
    std::vector<std::int32_t> messageIds;
    std::vector<std::int32_t> records;  // each value's record: its index in the message
    std::vector<std::int32_t> buoys;    // each point's buoy, an index into buoyNames
    std::vector<std::string> buoyNames;
    std::vector<StoredFlag> flags;  // each point's aggregate flag
    // With testFlags: one per test any point has a flag of, by name, a flag per point.
    std::vector<TestFlagRows> tests;
};

// One quality-control test's flags of one stream of one buoy ("PB200.WSMean", spaces spelt
// either way; "aggregate" the test that sums them up), by the value's key, in key order.
struct StreamFlags {
    std::vector<ValueKey> keys;
    std::vector<std::uint8_t> flags;
};

struct TrackQuery {
    std::optional<std::string> buoy{};  // nothing: every buoy
    TimeRange range{};
    // Only the positions of every `every`-th message (by id), for a map of a long record.
    std::int64_t every = 1;
};

// Every position on the globe (the 9999 marker and other impossible ones left out) of the
// PB200, IMU and Ellipse records and the gateway's estimate, as parallel arrays in time order
// (equal times by delivery, then a record's own before the gateway's).
struct TrackPositions {
    std::vector<double> times;
    std::vector<double> latitudes;
    std::vector<double> longitudes;
    std::vector<PositionSource> sources;
    std::vector<double> cepKm;  // NaN but for the gateway's estimate
    std::vector<std::int32_t> records;  // the fix's record in its message; -1 for the gateway's
    std::vector<std::int32_t> messageIds;
    std::vector<std::int32_t> buoys;    // an index into buoyNames
    std::vector<std::string> buoyNames;
    // The aggregate flag of the position tests: "position" for a record's own fix,
    // "iridium_position" for the gateway's estimate.
    std::vector<StoredFlag> flags;
};

// One stored flag of a value in a message.
struct ValueFlag {
    std::int32_t record = 0;  // the record's index in its message; -1 for the gateway's position
    std::string stream;       // as the configuration names it: "PB200.WSMean", "position"
    std::string test;         // "aggregate" or a test's name
    StoredFlag flag = 0;
};

struct ArrayQuery {
    std::string record{};  // as for SeriesQuery
    std::string field{};   // an array field of it
    // These messages in this order; when empty, the messages of `buoy` (nothing: every buoy)
    // in `range`, in time order (equal times by delivery), those without a time last.
    std::vector<std::int64_t> messageIds{};
    std::optional<std::string> buoy{};
    TimeRange range{};
};

// One array of one record: every record of the type in a message, wherever it stands.
struct ArrayRecord {
    std::int64_t messageId = 0;
    std::int32_t record = 0;  // the record's index in its message
    std::optional<double> time;
    std::vector<double> values;  // NaN where the archive holds none
};

// Every record of one type with each numeric scalar field, as parallel arrays in key order
// (message, then record); values as in SeriesValues, times NaN for a message without one.
struct RecordRows {
    std::vector<std::string> fields;  // the columns' archive names, in storage order
    std::vector<std::int64_t> messageIds;
    std::vector<std::int32_t> records;
    std::vector<double> times;
    std::vector<std::vector<double>> values;  // one vector per field
};

// Every message's id and time (NaN for none), by id: a time axis without the envelopes.
struct MessageTimes {
    std::vector<std::int64_t> ids;
    std::vector<double> times;
};

// Quality-control flags, one row per value, stream and test, in key order.
struct StoredFlags {
    std::vector<std::string> streams;  // "PB200.WSMean", "position", as configured
    std::vector<std::string> tests;    // "aggregate", "spike_test", ...
    std::vector<ValueKey> keys;
    std::vector<std::int32_t> streamIndexes;  // an index into streams
    std::vector<std::int32_t> testIndexes;    // an index into tests
    std::vector<std::uint8_t> flags;
};

// The newest message of a buoy that holds a record of one type.
struct LastRecord {
    std::string record;  // the type as the report names it
    double time = 0;
    std::int64_t messageId = 0;
};

class Reader {
public:
    static constexpr int kLargestPage = 1000;

    // Nothing with `reason` set when the file cannot be opened or is no archive this reads.
    static std::unique_ptr<Reader> Open(const std::filesystem::path& path, std::string& reason);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int Version() const;

    // Every call below returns nothing with `reason` set when SQLite fails or a record or
    // field name is unknown.
    // Every message in the archive (a count of its rows, from the smallest index).
    std::optional<std::int64_t> MessageCount(std::string& reason) const;
    // The buoys by IMEI, kFilesBuoy last.
    std::optional<std::vector<BuoySummary>> Buoys(std::string& reason) const;
    std::optional<MessagePage> Messages(const MessageQuery& query, std::string& reason) const;
    // Nothing with `reason` empty when there is no such message.
    std::optional<StoredMessage> Message(std::int64_t id, std::string& reason) const;
    // Every flag of one message's values, by record and stream, each stream's aggregate first
    // and its tests by name; empty for a message never flagged.
    std::optional<std::vector<ValueFlag>> MessageFlags(std::int64_t id, std::string& reason) const;
    std::optional<SeriesValues> Series(const SeriesQuery& query, std::string& reason) const;
    std::optional<TrackPositions> Track(const TrackQuery& query, std::string& reason) const;
    std::optional<std::vector<ArrayRecord>> Array(const ArrayQuery& query,
                                                  std::string& reason) const;
    // Empty for an archive before the flags' tables, or a stream nobody flagged.
    std::optional<StreamFlags> Flags(const std::string& buoy, const std::string& stream,
                                     const std::string& test, std::string& reason) const;
    // Of one buoy (an IMEI or kFilesBuoy) or, with nothing, of every buoy.
    std::optional<MessageTimes> Times(const std::optional<std::string>& buoy,
                                               std::string& reason) const;
    std::optional<RecordRows> Records(const std::string& record, std::string& reason) const;
    // Of one buoy, each record type it ever sent with the newest time it came (messages
    // without a time left out), in the record descriptions' order.
    std::optional<std::vector<LastRecord>> LastRecords(const std::string& buoy,
                                                       std::string& reason) const;
    // Of a stream as the quality control names it ("PB200.WSMean", "position"; empty: every
    // stream), of one buoy's messages or every buoy's; none in an archive without flags.
    std::optional<StoredFlags> FlagsOfStreams(const std::string& stream,
                                              const std::optional<std::string>& buoy,
                                              std::string& reason) const;
    // One buoy's streams ("PB200.WSMean", named either way) and positions as the quality
    // control reads them (see QcRows.h).
    std::optional<BuoyRows> ReadBuoy(const std::string& buoy,
                                     const std::vector<std::string>& streams,
                                     std::string& reason) const;

    struct Impl;

private:
    explicit Reader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace saltmark::archive
