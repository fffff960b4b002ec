// The archive read back: each query's filters, cursors and time ranges over one small archive
// written by the writer, the messages without a time, the mail-folder buoy, and the archives
// the reader opens or refuses.

#include "Reader.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "Archive.h"
#include "testing/MessageComposer.h"

namespace saltmark::archive {
namespace {

namespace fs = std::filesystem;
using saltmark::testing::Message;
using saltmark::testing::MessageComposer;

constexpr const char* kBuoyA = "300234010000001";
constexpr const char* kBuoyB = "300234010000002";
constexpr double kT0 = 1765100000;  // 2025-12-07T09:33:20Z
constexpr std::int64_t kSecondOfDay = 34400;

std::vector<std::uint8_t> Pb200(std::int32_t secondsOfDay, float lat, float lon, float windSpeed)
{
    MessageComposer record;
    record.Header(2, 1, 76).F32(180.0f).F32(5.0f).F32(windSpeed).F32(0.5f).F32(lat).F32(lon);
    record.I32(secondsOfDay < 0 ? -1 : 2025).I32(secondsOfDay < 0 ? -1 : 12);
    record.I32(secondsOfDay < 0 ? -1 : 7).I32(secondsOfDay);
    for (int i = 0; i < 8; ++i) {
        record.F32(1.0f);
    }
    return record.Bytes();
}

std::vector<std::uint8_t> Battery(float volts)
{
    return MessageComposer().Header(6, 1, 8).F32(volts).Bytes();
}

std::vector<std::uint8_t> Imu(float lat, float lon)
{
    MessageComposer record;
    record.Header(3, 1, 1796).F32s(std::vector<float>(255, 0.0f)).F32(lat).F32(lon);
    record.F32s(std::vector<float>(192, 0.0f));
    return record.Bytes();
}

// Its spectrum is `first` + i / 4 in band i: exact in float32 and double alike.
std::vector<std::uint8_t> Y81000(float first)
{
    MessageComposer record;
    record.Header(11, 3, 960).F32s(std::vector<float>(8, 1.0f)).F32s(std::vector<float>(116, 0.5f));
    for (int i = 0; i < 116; ++i) {
        record.F32(first + static_cast<float>(i) / 4);
    }
    return record.Bytes();
}

std::vector<std::uint8_t> Camera(std::vector<std::uint8_t> image)
{
    MessageComposer record;
    record.Header(7, 2, static_cast<std::uint16_t>(image.size())).Raw(image);
    return record.Bytes();
}

Delivery Pushed(std::uint16_t momsn, double sessionTime, std::vector<std::uint8_t> payload)
{
    DirectIpMessage message;
    message.header.imei = kBuoyA;
    message.header.momsn = momsn;
    message.header.sessionTime = static_cast<std::uint32_t>(sessionTime);
    message.payload = std::move(payload);
    message.location = DirectIpLocation{-33.5, 151.25, 4};
    return DeliveryFromDirectIp(message, ComposeDirectIp(message));
}

// The archive every test reads, by id:
//   1 buoy A, pushed at T0: PB200 dated 30 s earlier, battery 12.5
//   2 buoy A, pushed at T0+1800: battery 9999 (no reading), undated PB200 off the globe,
//     Y81000 as its third record
//   3 buoy A, pushed at T0+3600: camera image, two Y81000 records
//   4 buoy B, mail attachment dated by its PB200 at T0+1800 (the time of 2): battery 11, IMU
//   5 files buoy, no time: battery 12
//   6 files buoy, file time T0-3600: battery 12.25
//   7 files buoy, no time: battery 12.75
// with flags of buoy A: battery SUSPECT in 1 and FAIL in 2 (by a spike test), message 1's
// PB200 position FAIL, message 2's gateway position SUSPECT.
class ReaderTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "saltmark-reader-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        s_dir = pattern;
        std::string reason;
        auto archive = Archive::Open(Path(), {}, reason);
        ASSERT_TRUE(archive) << reason;
        const Delivery deliveries[] = {
            Pushed(1, kT0, Message({Pb200(kSecondOfDay - 30, 59.9f, 10.7f, 7.5f), Battery(12.5f)})),
            Pushed(2, kT0 + 1800,
                   Message({Battery(9999.0f), Pb200(-1, 9999.0f, 9999.0f, 8.0f), Y81000(1.0f)})),
            Pushed(3, kT0 + 3600, Message({Camera({1, 2, 3}), Y81000(2.0f), Y81000(3.0f)})),
            DeliveryFromFile(std::string(kBuoyB) + "_7.sbd",
                             Message({Pb200(kSecondOfDay + 1800, 60.5f, 5.25f, 9.0f),
                                      Battery(11.0f), Imu(61.0f, 6.5f)})),
            DeliveryFromFile("a.sbd", Message({Battery(12.0f)})),
            DeliveryFromFile("b.sbd", Message({Battery(12.25f)}),
                             static_cast<std::int64_t>(kT0 - 3600)),
            DeliveryFromFile("c.sbd", Message({Battery(12.75f)})),
        };
        for (const Delivery& delivery : deliveries) {
            ASSERT_EQ(archive->Store(delivery, reason), Added::New) << reason;
        }
        // Streams named as the quality control stores them, by the report's names.
        const BuoyFlags flags{
            kBuoyA,
            "hash",
            "qc.yaml",
            {},
            {},
            {{"Miscellaneous values.Battery voltage",
              {{1, 1}, {2, 0}},
              {{"aggregate", {3, 4}}, {"spike_test", {3, 2}}}},
             {"position", {{1, 0}}, {{"aggregate", {4}}}},
             {"iridium_position", {{2, -1}}, {{"aggregate", {3}}}}}};
        ASSERT_TRUE(archive->WriteFlags(flags, reason)) << reason;
        ASSERT_FALSE(archive->Commit().flagsNotWritten);
    }
    static void TearDownTestSuite() { fs::remove_all(s_dir); }
    static fs::path Path() { return s_dir / "archive.sqlite"; }

    void SetUp() override
    {
        std::string reason;
        m_reader = Reader::Open(Path(), reason);
        ASSERT_TRUE(m_reader) << reason;
    }

    std::vector<std::int64_t> Ids(const MessageQuery& query)
    {
        std::string reason;
        const auto page = m_reader->Messages(query, reason);
        EXPECT_TRUE(page) << reason;
        std::vector<std::int64_t> ids;
        for (const MessageEnvelope& message : page ? page->messages : decltype(page->messages){}) {
            ids.push_back(message.id);
        }
        return ids;
    }

    static inline fs::path s_dir;
    std::unique_ptr<Reader> m_reader;
};

TEST_F(ReaderTest, BuoysHaveTheirLatestValuesAndTheMailFolderBuoyComesLast)
{
    std::string reason;
    const auto buoys = m_reader->Buoys(reason);
    ASSERT_TRUE(buoys) << reason;
    ASSERT_EQ(buoys->size(), 3u);
    EXPECT_EQ(m_reader->MessageCount(reason), 7);
    const BuoySummary& a = (*buoys)[0];
    const BuoySummary& b = (*buoys)[1];
    const BuoySummary& files = (*buoys)[2];
    EXPECT_EQ(a.buoy, kBuoyA);
    EXPECT_EQ(a.messages, 3);
    EXPECT_EQ(a.lastId, 3);
    EXPECT_EQ(a.lastTime, kT0 + 3600);
    ASSERT_TRUE(a.battery) << "the 9999 of message 2 is no reading";
    EXPECT_EQ(a.battery->value, 12.5);
    EXPECT_EQ(a.battery->messageId, 1);
    ASSERT_TRUE(a.position);
    EXPECT_EQ(a.position->source, PositionSource::Iridium);
    EXPECT_EQ(a.position->messageId, 3);
    EXPECT_EQ(a.position->cepKm, 4);
    EXPECT_EQ(a.imageId, 3);

    EXPECT_EQ(b.buoy, kBuoyB);
    EXPECT_EQ(b.messages, 1);
    EXPECT_EQ(b.lastTime, kT0 + 1800);
    ASSERT_TRUE(b.position);
    EXPECT_EQ(b.position->source, PositionSource::Pb200) << "a record before the IMU at a tie";
    EXPECT_FLOAT_EQ(static_cast<float>(b.position->latitude), 60.5f);
    EXPECT_FALSE(b.imageId);

    EXPECT_EQ(files.buoy, kFilesBuoy);
    EXPECT_FALSE(files.imei);
    EXPECT_EQ(files.messages, 3);
    EXPECT_EQ(files.lastId, 6) << "a message with a time before those without";
    EXPECT_EQ(files.battery->value, 12.25);
    EXPECT_FALSE(files.position);
}

// Beyond the archive's newest messages (a day's worth a buoy): a buoy whose battery, image
// and position are older than that, and one that has not reported since.
TEST(ReaderBuoys, FindLatestValuesBeyondTheNewestMessages)
{
    const std::string quiet = "300234010000003_1.sbd";
    const std::string busy = "300234010000004_";
    std::string pattern = (fs::temp_directory_path() / "saltmark-reader-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path path = fs::path(pattern) / "archive.sqlite";
    std::string reason;
    {
        auto archive = Archive::Open(path, {}, reason);
        ASSERT_TRUE(archive) << reason;
        archive->Add(DeliveryFromFile(quiet, Message({Pb200(1000, 1.0f, 2.0f, 5.0f), Battery(10)})),
                     reason);
        archive->Add(DeliveryFromFile(busy + "1.sbd", Message({Pb200(2000, 3.0f, 4.0f, 5.0f),
                                                               Battery(11), Camera({9})})),
                     reason);
        for (int n = 2; n <= 200; ++n) {
            archive->Add(DeliveryFromFile(busy + std::to_string(n) + ".sbd",
                                          Message({Pb200(2000 + n, 9999, 9999, 5), Battery(9999)})),
                         reason);
        }
        ASSERT_EQ(archive->Commit().added, 201u);
    }
    const auto buoys = Reader::Open(path, reason)->Buoys(reason);
    fs::remove_all(pattern);
    ASSERT_TRUE(buoys) << reason;
    ASSERT_EQ(buoys->size(), 2u);
    const BuoySummary& old = (*buoys)[0];
    EXPECT_EQ(old.lastId, 1);
    EXPECT_EQ(old.battery->value, 10);
    EXPECT_EQ(old.position->latitude, 1);
    const BuoySummary& recent = (*buoys)[1];
    EXPECT_EQ(recent.messages, 200);
    EXPECT_EQ(recent.lastId, 201);
    EXPECT_EQ(recent.battery->messageId, 2);
    EXPECT_EQ(recent.imageId, 2);
    EXPECT_EQ(recent.position->latitude, 3);
    EXPECT_EQ(recent.position->source, PositionSource::Pb200);
}

TEST_F(ReaderTest, MessagesAreListedByTimeThenDeliveryWithTheUndatedLast)
{
    EXPECT_EQ(Ids({}), (std::vector<std::int64_t>{3, 4, 2, 1, 6, 7, 5}));

    // Page by page through the same order, across the step to the undated messages.
    std::vector<std::int64_t> paged;
    std::optional<std::int64_t> cursor;
    for (int pages = 0; pages < 10; ++pages) {
        std::string reason;
        const auto page = m_reader->Messages({.before = cursor, .limit = 2}, reason);
        ASSERT_TRUE(page) << reason;
        for (const MessageEnvelope& message : page->messages) {
            paged.push_back(message.id);
        }
        EXPECT_EQ(page->messages.size(), page->next ? 2u : 1u);
        if (!(cursor = page->next)) {
            break;
        }
    }
    EXPECT_EQ(paged, (std::vector<std::int64_t>{3, 4, 2, 1, 6, 7, 5}));

    const auto expect = [&](const char* what, const MessageQuery& query,
                            const std::vector<std::int64_t>& ids) {
        EXPECT_EQ(Ids(query), ids) << what;
    };
    expect("one buoy", {.buoy = kBuoyA}, {3, 2, 1});
    expect("the mail-folder buoy", {.buoy = std::string(kFilesBuoy)}, {6, 7, 5});
    expect("a buoy without messages", {.buoy = "300234010000009"}, {});
    expect("a range, inclusive; no undated message", {.range = {kT0, kT0 + 1800}}, {4, 2, 1});
    expect("up to a time", {.range = {std::nullopt, kT0}}, {1, 6});
    expect("from a time", {.range = {kT0 + 1, std::nullopt}}, {3, 4, 2});
    expect("arrived since 4", {.after = 4}, {6, 7, 5});
    expect("after an undated cursor", {.before = 7}, {5});
    expect("a buoy's second page", {.buoy = kBuoyA, .before = 3, .limit = 1}, {2});
}

TEST_F(ReaderTest, MessageHasItsEnvelopeAndItsBytes)
{
    std::string reason;
    const auto pushed = m_reader->Message(3, reason);
    ASSERT_TRUE(pushed) << reason;
    const MessageEnvelope& e = pushed->envelope;
    EXPECT_EQ(e.imei, kBuoyA);
    EXPECT_EQ(e.momsn, 3);
    EXPECT_EQ(e.sessionTime, "2025-12-07T10:33:20Z");
    EXPECT_EQ(e.time, e.sessionTime);
    EXPECT_EQ(e.timeSource, "session");
    EXPECT_EQ(e.source, "directip");
    EXPECT_EQ(e.iridiumLatitude, -33.5);
    EXPECT_EQ(e.outcome, "complete");
    EXPECT_EQ(pushed->payload, Message({Camera({1, 2, 3}), Y81000(2.0f), Y81000(3.0f)}));
    EXPECT_EQ(pushed->payload.size(), static_cast<std::size_t>(e.size));
    EXPECT_GT(pushed->raw.size(), pushed->payload.size());

    const auto file = m_reader->Message(5, reason);
    ASSERT_TRUE(file) << reason;
    EXPECT_EQ(file->envelope.fileName, "a.sbd");
    EXPECT_FALSE(file->envelope.imei || file->envelope.time || file->envelope.timeSource);
    EXPECT_TRUE(file->raw.empty());

    reason.clear();
    EXPECT_FALSE(m_reader->Message(99, reason));
    EXPECT_EQ(reason, "") << "no such message is no error";
}

TEST_F(ReaderTest, SeriesIsOneFieldInTimeOrderWithGapsAndEachPointsBuoy)
{
    std::string reason;
    // Either name works; the undated messages 5 and 7 have no place on a time axis.
    const auto all = m_reader->Series({"Miscellaneous_values", "Battery voltage"}, reason);
    ASSERT_TRUE(all) << reason;
    EXPECT_EQ(all->times, (std::vector<double>{kT0 - 3600, kT0, kT0 + 1800, kT0 + 1800}));
    EXPECT_EQ(all->messageIds, (std::vector<std::int32_t>{6, 1, 2, 4}));
    ASSERT_EQ(all->values.size(), 4u);
    EXPECT_EQ(all->values[1], 12.5);
    EXPECT_TRUE(std::isnan(all->values[2])) << "the logger's 9999";
    std::vector<std::string> buoys;
    for (std::int32_t index : all->buoys) {
        buoys.push_back(all->buoyNames.at(static_cast<std::size_t>(index)));
    }
    EXPECT_EQ(buoys, (std::vector<std::string>{"files", kBuoyA, kBuoyA, kBuoyB}));

    const auto two = m_reader->Series({"Miscellaneous values",
                                       "Battery_voltage",
                                       {kBuoyB, "files", kBuoyB},
                                       {kT0 - 3600, kT0 + 1800}},
                                      reason);
    ASSERT_TRUE(two) << reason;
    EXPECT_EQ(two->messageIds, (std::vector<std::int32_t>{6, 4}));
    EXPECT_EQ(two->buoys, (std::vector<std::int32_t>{1, 0}));
    EXPECT_EQ(two->buoyNames, (std::vector<std::string>{kBuoyB, "files"}));

    // A PB200 is at its own time when its date is valid, else at its message's.
    const auto wind = m_reader->Series({"PB200", "WSMean", {kBuoyA}}, reason);
    ASSERT_TRUE(wind) << reason;
    EXPECT_EQ(wind->times, (std::vector<double>{kT0 - 30, kT0 + 1800}));
    EXPECT_EQ(wind->values, (std::vector<double>{7.5, 8.0}));

    const struct {
        const char* record;
        const char* field;
        const char* reason;
    } refused[] = {
        {"Nothing", "WSMean", "no record type \"Nothing\""},
        {"PB200", "Nothing", "no numeric scalar field \"Nothing\" in record type PB200"},
        {"Y81000", "Tke", "no numeric scalar field \"Tke\""},
        {"V536", "Address", "no numeric scalar field \"Address\""},
    };
    for (const auto& c : refused) {
        reason.clear();
        EXPECT_FALSE(m_reader->Series({c.record, c.field}, reason)) << c.field;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

TEST_F(ReaderTest, TrackHasEveryPositionOnTheGlobeWithItsSource)
{
    std::string reason;
    const auto a = m_reader->Track({.buoy = kBuoyA}, reason);
    ASSERT_TRUE(a) << reason;
    EXPECT_EQ(a->times, (std::vector<double>{kT0 - 30, kT0, kT0 + 1800, kT0 + 3600}))
        << "message 2's PB200 at 9999 is no position";
    EXPECT_EQ(a->sources,
              (std::vector<PositionSource>{PositionSource::Pb200, PositionSource::Iridium,
                                           PositionSource::Iridium, PositionSource::Iridium}));
    EXPECT_TRUE(std::isnan(a->cepKm[0]));
    EXPECT_EQ(a->cepKm[1], 4);
    EXPECT_EQ(a->longitudes[1], 151.25);

    const auto b = m_reader->Track({.buoy = kBuoyB}, reason);
    ASSERT_TRUE(b) << reason;
    EXPECT_EQ(b->sources,
              (std::vector<PositionSource>{PositionSource::Pb200, PositionSource::Imu}));
    EXPECT_FLOAT_EQ(static_cast<float>(b->latitudes[1]), 61.0f);

    const auto later = m_reader->Track({.range = {kT0, kT0 + 1800}}, reason);
    ASSERT_TRUE(later) << reason;
    EXPECT_EQ(later->messageIds, (std::vector<std::int32_t>{1, 2, 4, 4}));
    EXPECT_EQ(later->buoyNames.size(), 2u);

    const auto files = m_reader->Track({.buoy = std::string(kFilesBuoy)}, reason);
    ASSERT_TRUE(files) << reason;
    EXPECT_TRUE(files->times.empty());
}

TEST_F(ReaderTest, LastRecordsSayWhenEachTypeLastCameWithoutTheUndated)
{
    const auto newest = [&](const std::string& buoy) {
        std::string reason;
        const auto last = m_reader->LastRecords(buoy, reason);
        EXPECT_TRUE(last) << reason;
        std::map<std::string, std::pair<double, std::int64_t>> byType;
        for (const LastRecord& r : last ? *last : std::vector<LastRecord>{}) {
            byType[r.record] = {r.time, r.messageId};
        }
        return byType;
    };
    // Message 2's PB200 has no valid date of its own: it counts at its message's time.
    EXPECT_EQ(newest(kBuoyA), (std::map<std::string, std::pair<double, std::int64_t>>{
                                  {"PB200", {kT0 + 1800, 2}},
                                  {"Miscellaneous values", {kT0 + 1800, 2}},
                                  {"Y81000", {kT0 + 3600, 3}},
                                  {"Camera", {kT0 + 3600, 3}}}));
    EXPECT_EQ(newest(std::string(kFilesBuoy)),
              (std::map<std::string, std::pair<double, std::int64_t>>{
                  {"Miscellaneous values", {kT0 - 3600, 6}}}));
}

TEST_F(ReaderTest, FlagsComeWithTheValuesTheyFlag)
{
    std::string reason;
    const auto all = m_reader->Series({"Miscellaneous values", "Battery voltage"}, reason);
    ASSERT_TRUE(all) << reason;
    EXPECT_EQ(all->flags, (std::vector<StoredFlag>{0, 3, 4, 0})) << "messages 6, 1, 2, 4";
    EXPECT_TRUE(all->tests.empty()) << "the tests' flags only when asked";

    SeriesQuery withTests{"Miscellaneous_values", "Battery_voltage", {kBuoyA}};
    withTests.testFlags = true;
    const auto a = m_reader->Series(withTests, reason);
    ASSERT_TRUE(a) << reason;
    ASSERT_EQ(a->tests.size(), 1u);
    EXPECT_EQ(a->tests[0].test, "spike_test");
    EXPECT_EQ(a->tests[0].flags, (std::vector<std::uint8_t>{3, 2}));

    // A record's own position by its record, the gateway's by its message.
    const auto track = m_reader->Track({.buoy = kBuoyA}, reason);
    ASSERT_TRUE(track) << reason;
    EXPECT_EQ(track->flags, (std::vector<StoredFlag>{4, 0, 3, 0}));

    const auto one = m_reader->MessageFlags(1, reason);
    ASSERT_TRUE(one) << reason;
    ASSERT_EQ(one->size(), 3u);
    EXPECT_EQ((*one)[0].stream, "position");
    EXPECT_EQ((*one)[1].test, "aggregate") << "each stream's aggregate before its tests";
    EXPECT_EQ((*one)[2].record, 1);
    EXPECT_EQ((*one)[2].test, "spike_test");
    EXPECT_EQ((*one)[2].flag, 3);
    const auto none = m_reader->MessageFlags(3, reason);
    ASSERT_TRUE(none) << reason;
    EXPECT_TRUE(none->empty());
}

TEST_F(ReaderTest, ArrayHasEveryRecordWhereverItStandsInItsMessage)
{
    std::string reason;
    const auto all = m_reader->Array({"Y81000", "Tke"}, reason);
    ASSERT_TRUE(all) << reason;
    ASSERT_EQ(all->size(), 3u);
    const struct {
        std::int64_t id;
        std::int32_t record;
        float first;
    } expected[] = {{2, 2, 1.0f}, {3, 1, 2.0f}, {3, 2, 3.0f}};
    for (std::size_t i = 0; i < 3; ++i) {
        const ArrayRecord& r = (*all)[i];
        EXPECT_EQ(r.messageId, expected[i].id);
        EXPECT_EQ(r.record, expected[i].record);
        ASSERT_EQ(r.values.size(), 116u);
        EXPECT_EQ(r.values[0], expected[i].first);
        EXPECT_EQ(r.values[115], expected[i].first + 115.0 / 4);
    }
    EXPECT_EQ((*all)[0].time, kT0 + 1800);

    const auto chosen = m_reader->Array({"Y81000", "Tke", {3, 2}}, reason);
    ASSERT_TRUE(chosen) << reason;
    ASSERT_EQ(chosen->size(), 3u);
    EXPECT_EQ((*chosen)[0].messageId, 3) << "in the order asked";
    EXPECT_EQ(m_reader->Array({"Y81000", "Tke", {}, kBuoyB}, reason)->size(), 0u);
    EXPECT_EQ(m_reader->Array({"Y81000", "Freq", {}, {}, {kT0 + 3600, kT0 + 3600}}, reason)->size(),
              2u);
    EXPECT_FALSE(m_reader->Array({"Y81000", "Epsilon"}, reason));
    EXPECT_NE(reason.find("no array field"), std::string::npos) << reason;
}

TEST_F(ReaderTest, RecordsAndFlagsCarryEachValuesKey)
{
    std::string reason;
    const auto battery = m_reader->Records("Miscellaneous values", reason);
    ASSERT_TRUE(battery) << reason;
    EXPECT_EQ(battery->messageIds, (std::vector<std::int64_t>{1, 2, 4, 5, 6, 7}));
    EXPECT_EQ(battery->records, (std::vector<std::int32_t>{1, 0, 1, 0, 0, 0}));
    EXPECT_EQ(battery->times[0], kT0);
    EXPECT_TRUE(std::isnan(battery->times[3])) << "an undated message stays, without a time";
    const auto spectra = m_reader->Records("Y81000", reason);
    ASSERT_TRUE(spectra) << reason;
    EXPECT_EQ(spectra->records, (std::vector<std::int32_t>{2, 1, 2}));
    EXPECT_FALSE(m_reader->Records("Nothing", reason));
    const auto files = m_reader->Times(std::string(kFilesBuoy), reason);
    ASSERT_TRUE(files) << reason;
    EXPECT_EQ(files->ids, (std::vector<std::int64_t>{5, 6, 7}));
    EXPECT_EQ(files->times[1], kT0 - 3600);
    EXPECT_TRUE(std::isnan(files->times[0]));
    EXPECT_EQ(m_reader->Times({}, reason)->ids.size(), 7u);
    // The series and the track say which record each value came from, to find its flags.
    EXPECT_EQ(m_reader->Series({"Y81000", "Epsilon"}, reason)->records,
              (std::vector<std::int32_t>{2, 1, 2}));
    EXPECT_EQ(m_reader->Track({.buoy = kBuoyB}, reason)->records,
              (std::vector<std::int32_t>{0, 2}));

    EXPECT_TRUE(m_reader->FlagsOfStreams("PB200.WSMean", {}, reason)->keys.empty()) << reason;
    const fs::path flagged = s_dir / "flagged.sqlite";
    fs::copy_file(Path(), flagged, fs::copy_options::overwrite_existing);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(flagged.string().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(
        sqlite3_exec(db,
                     // The fixture's own flags make way for these.
                     "DELETE FROM qc_message_flags; DELETE FROM qc_layouts;"
                     " DELETE FROM qc_configs;"
                     "INSERT INTO qc_configs (id, hash, file_name) VALUES (1, 'h', 'qc.yaml');"
                     "INSERT INTO qc_layouts VALUES"
                     " (1, 'Miscellaneous_values.Battery_voltage', '[\"aggregate\"]'),"
                     " (2, 'Miscellaneous_values.Battery_voltage',"
                     "  '[\"spike_test\",\"aggregate\"]'),"
                     " (3, 'PB200.WSMean', '[\"aggregate\"]');"
                     "INSERT INTO qc_message_flags VALUES (4, 1, '[[1,1,\"3\"]]'),"
                     " (1, 1, '[[3,0,\"4\"],[2,1,\"21\"]]')",
                     nullptr, nullptr, nullptr),
        SQLITE_OK);
    sqlite3_close(db);
    const auto reader = Reader::Open(flagged, reason);
    ASSERT_TRUE(reader) << reason;
    const auto flags = reader->FlagsOfStreams("Miscellaneous values.Battery voltage", {}, reason);
    ASSERT_TRUE(flags) << reason;
    EXPECT_EQ(flags->tests, (std::vector<std::string>{"aggregate", "spike_test"}));
    EXPECT_EQ(flags->keys, (std::vector<ValueKey>{{1, 1}, {1, 1}, {4, 1}}));
    EXPECT_EQ(flags->testIndexes, (std::vector<std::int32_t>{0, 1, 0}));
    EXPECT_EQ(flags->flags, (std::vector<std::uint8_t>{1, 2, 3}));
    // Every stream of one buoy: message 4 is the other buoy's.
    const auto a = reader->FlagsOfStreams("", kBuoyA, reason);
    ASSERT_TRUE(a) << reason;
    EXPECT_EQ(a->keys, (std::vector<ValueKey>{{1, 0}, {1, 1}, {1, 1}}));
    EXPECT_EQ(a->streams,
              (std::vector<std::string>{"PB200.WSMean", "Miscellaneous_values.Battery_voltage"}));
    EXPECT_EQ(a->streamIndexes, (std::vector<std::int32_t>{0, 1, 1}));
}

TEST_F(ReaderTest, ReadsVersion2To7ArchivesWithoutWritingAndRefusesTheRest)
{
    auto sql = [](const fs::path& path, const char* statements) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.string().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statements, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    auto bytes = [](const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::vector<char>(std::istreambuf_iterator<char>(in), {});
    };
    const struct {
        const char* statements;
        int version;  // 0: refused
    } cases[] = {
        {"PRAGMA user_version = 2", 2},    {"PRAGMA user_version = 3", 3},
        {"PRAGMA user_version = 4", 4},    {"PRAGMA user_version = 5", 5},
        {"PRAGMA user_version = 6", 6},    {"PRAGMA user_version = 7", 7},
        {"PRAGMA user_version = 8", 0},
        {"PRAGMA user_version = 1", 0},
        {"PRAGMA application_id = 42", 0},
    };
    m_reader.reset();
    for (const auto& c : cases) {
        const fs::path copy = s_dir / "copy.sqlite";
        fs::copy_file(Path(), copy, fs::copy_options::overwrite_existing);
        sql(copy, c.statements);
        const auto before = bytes(copy);
        std::string reason;
        {
            const auto reader = Reader::Open(copy, reason);
            ASSERT_EQ(reader != nullptr, c.version != 0) << c.statements << ": " << reason;
            if (reader) {
                EXPECT_EQ(reader->Version(), c.version);
                EXPECT_EQ(reader->Buoys(reason)->size(), 3u) << reason;
            } else {
                EXPECT_NE(reason.find("not an archive of version 2 to 7"), std::string::npos)
                    << reason;
            }
        }
        EXPECT_EQ(bytes(copy), before) << c.statements;
    }
    std::string reason;
    EXPECT_FALSE(Reader::Open(s_dir / "absent.sqlite", reason));
    EXPECT_FALSE(fs::exists(s_dir / "absent.sqlite"));
}

}  // namespace
}  // namespace saltmark::archive
