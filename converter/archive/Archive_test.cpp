// The archive library: which deliveries are the same, the time each message gets, the
// upgrade of a version 1 archive, the files it refuses to touch, and float32 values as SQL
// shows them.

#include "Archive.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <bit>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "Reader.h"
#include "Records.h"
#include "testing/MessageComposer.h"

namespace saltmark::archive {
namespace {

namespace fs = std::filesystem;
using saltmark::testing::Message;
using saltmark::testing::MessageComposer;

constexpr const char* kImei = "300234010000001";

std::vector<std::uint8_t> ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A PB200 record with the given date fields and wind speed.
std::vector<std::uint8_t> Pb200(std::int32_t year, std::int32_t month, std::int32_t day,
                                std::int32_t seconds, float windSpeed = 7.5f)
{
    MessageComposer record;
    record.Header(2, 1, 76).F32(180.0f).F32(5.0f).F32(windSpeed).F32(0.5f).F32(59.9f).F32(10.7f);
    record.I32(year).I32(month).I32(day).I32(seconds);
    for (int i = 0; i < 6; ++i) {
        record.F32(1.0f);
    }
    record.Raw({0, 0, 0, 0, 0, 0, 0, 0});
    return record.Bytes();
}

std::vector<std::uint8_t> Battery(float volts)
{
    return MessageComposer().Header(6, 1, 8).F32(volts).Bytes();
}

Delivery Pushed(std::uint16_t momsn, std::uint32_t sessionTime, std::vector<std::uint8_t> payload,
                std::uint32_t cdr = 0)
{
    DirectIpMessage message;
    message.header.imei = kImei;
    message.header.cdrReference = cdr;
    message.header.momsn = momsn;
    message.header.sessionTime = sessionTime;
    message.payload = std::move(payload);
    message.location = DirectIpLocation{-33.5, 151.25, 4};
    return DeliveryFromDirectIp(message, ComposeDirectIp(message));
}

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "saltmark-archive-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_path = m_dir / "archive.sqlite";
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::unique_ptr<Archive> OpenArchive(const fs::path& path)
    {
        std::string reason;
        auto archive = Archive::Open(path, {}, reason);
        EXPECT_TRUE(archive) << reason;
        return archive;
    }

    // Rows of a query as text, NULL as "NULL", through a connection of its own.
    std::vector<std::vector<std::string>> Query(const std::string& sql, const fs::path& path = {})
    {
        sqlite3* db = nullptr;
        std::vector<std::vector<std::string>> rows;
        const std::string file = (path.empty() ? m_path : path).string();
        EXPECT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
            << sql << ": " << sqlite3_errmsg(db);
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            rows.emplace_back();
            for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                const auto* text = sqlite3_column_text(statement, c);
                rows.back().push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return rows;
    }

    fs::path m_dir;
    fs::path m_path;
};

TEST(AttachmentName, IsFifteenDigitsUnderscoreAndADecimalMomsn)
{
    const struct {
        const char* name;
        bool matches;
        std::int64_t momsn;
    } cases[] = {
        {"300234010000001_17.sbd", true, 17},
        {"300234010000001_0.sbd", true, 0},
        {"300234010000001_065535.sbd", true, 65535},
        {"30023401000000_17.sbd", false, 0},    // 14 digits
        {"3002340100000012_17.sbd", false, 0},  // 16 digits
        {"300234010000001_.sbd", false, 0},
        {"300234010000001_1x.sbd", false, 0},
        {"300234010000001-17.sbd", false, 0},
        {"300234010000001_17.SBD", false, 0},
        {"300234010000001_17.sbd.txt", false, 0},
        {"300234010000001_1234567890.sbd", false, 0},
    };
    for (const auto& c : cases) {
        const auto name = ParseAttachmentName(c.name);
        EXPECT_EQ(name.has_value(), c.matches) << c.name;
        if (name) {
            EXPECT_EQ(name->imei, kImei);
            EXPECT_EQ(name->momsn, c.momsn) << c.name;
        }
    }
}

TEST(RecordTime, TakesValidUtcDatesOnly)
{
    const struct {
        std::int64_t year, month, day, seconds;
        std::optional<std::int64_t> expected;  // from Python's calendar.timegm
    } cases[] = {
        {1970, 1, 1, 0, 0},
        {2025, 12, 7, 34400, 1765100000},
        {2024, 2, 29, 0, 1709164800},
        {2024, 6, 11, 86399, 1718150399},
        {2023, 2, 29, 0, std::nullopt},
        {2000, 2, 30, 0, std::nullopt},
        {2100, 2, 29, 0, std::nullopt},
        {-1, -1, -1, -1, std::nullopt},  // the logger's fill values
        {2024, -1, 11, 100, std::nullopt},
        {2024, 6, 11, -1, std::nullopt},
        {2024, 6, 11, 86400, std::nullopt},
        {2024, 13, 1, 0, std::nullopt},
        {0, 1, 1, 0, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RecordTime(c.year, c.month, c.day, c.seconds), c.expected)
            << c.year << "-" << c.month << "-" << c.day << " " << c.seconds;
    }
    // The same calendar for the options' and the archive's own time text.
    EXPECT_EQ(ParseUtcTime("2025-12-07T09:33:20Z"), 1765100000);
    EXPECT_EQ(ParseUtcTime("2025-12-07T09:33:20.999Z"), 1765100000);
    EXPECT_EQ(ParseUtcTime("2024-02-29"), 1709164800);
    EXPECT_EQ(ParseUtcTime("1765100000"), 1765100000);
    for (const char* text : {"2023-02-29", "2025-12-07T09:33:20", "2025-12-07T09:33:20.Z",
                             "2025-12-07T09:33:20+01:00", "June"}) {
        EXPECT_EQ(ParseUtcTime(text), std::nullopt) << text;
    }
}

TEST(DeliveryFromFile, UnwrapsDirectIpFramingAndKeepsAnythingElseAsThePayload)
{
    const Delivery pushed = Pushed(42, 1765100000, Message({Battery(12.5f)}));
    const Delivery framed = DeliveryFromFile("framed.sbd", pushed.raw);
    EXPECT_EQ(framed.source, Delivery::Source::File);
    EXPECT_EQ(framed.payload, pushed.payload);
    EXPECT_EQ(framed.raw, pushed.raw);
    ASSERT_TRUE(framed.header && framed.location);
    EXPECT_EQ(framed.header->momsn, 42);

    std::vector<std::uint8_t> cut = pushed.raw;
    cut.pop_back();
    const Delivery bare = DeliveryFromFile("cut.sbd", cut);
    EXPECT_EQ(bare.payload, cut);
    EXPECT_TRUE(bare.raw.empty());
    EXPECT_FALSE(bare.header);
}

TEST_F(ArchiveTest, KeysDeliveriesNotContent)
{
    const auto payload = Message({Battery(12.5f)});
    auto archive = OpenArchive(m_path);
    ASSERT_TRUE(archive);
    const struct {
        const char* what;
        Delivery delivery;
        Added expected;
    } cases[] = {
        {"pushed", Pushed(1, 1000, payload), Added::New},
        {"same bytes, next MOMSN", Pushed(2, 1000, payload), Added::New},
        {"same bytes, same MOMSN, later session", Pushed(1, 2000, payload), Added::New},
        {"pushed again", Pushed(1, 1000, payload), Added::AlreadyThere},
        {"the same gateway record", Pushed(3, 3000, payload, 77), Added::New},
        {"its CDR reference again", Pushed(4, 4000, payload, 77), Added::AlreadyThere},
        {"saved to a file in framing", DeliveryFromFile("x.sbd", Pushed(2, 1000, payload).raw),
         Added::AlreadyThere},
        {"mail attachment", DeliveryFromFile("300234010000001_1.sbd", payload), Added::New},
        {"same attachment again", DeliveryFromFile("300234010000001_1.sbd", payload),
         Added::AlreadyThere},
        {"next attachment, same bytes", DeliveryFromFile("300234010000001_5.sbd", payload),
         Added::New},
        {"the MOMSN wrapped: same name, other bytes",
         DeliveryFromFile("300234010000001_1.sbd", Message({Battery(11.0f)})), Added::New},
        {"a file", DeliveryFromFile("a.sbd", payload), Added::New},
        {"a copy by another name", DeliveryFromFile("b.sbd", payload), Added::New},
        {"the file again", DeliveryFromFile("a.sbd", payload), Added::AlreadyThere},
        {"same name, other bytes", DeliveryFromFile("a.sbd", Message({Battery(1.0f)})), Added::New},
    };
    for (const auto& c : cases) {
        std::string reason;
        EXPECT_EQ(archive->Store(c.delivery, reason), c.expected) << c.what << ": " << reason;
    }
    EXPECT_EQ(Query("SELECT count(*) FROM messages")[0][0], "10");
    EXPECT_EQ(Query("SELECT count(*) FROM Miscellaneous_values")[0][0], "10");
    EXPECT_EQ(Query("SELECT imei, momsn, session_time, iridium_latitude, iridium_longitude,"
                    " iridium_cep_km, source, file_name, length(raw) > size FROM messages"
                    " WHERE id = 1"),
              (std::vector<std::vector<std::string>>{{kImei, "1", "1970-01-01T00:16:40Z", "-33.5",
                                                      "151.25", "4", "directip",
                                                      "300234010000001_1.sbd", "1"}}));
}

TEST_F(ArchiveTest, BatchCountsAddUpAndAStoredMessageIsVisibleAtOnce)
{
    auto archive = OpenArchive(m_path);
    ASSERT_TRUE(archive);
    std::string reason;
    EXPECT_EQ(archive->Add(DeliveryFromFile("a.sbd", Message({Battery(1.0f)})), reason),
              Added::New);
    EXPECT_EQ(archive->Add(DeliveryFromFile("b.sbd", Message({Battery(2.0f)})), reason),
              Added::New);
    EXPECT_EQ(archive->Add(DeliveryFromFile("a.sbd", Message({Battery(1.0f)})), reason),
              Added::AlreadyThere);
    EXPECT_EQ(Query("SELECT count(*) FROM messages")[0][0], "0") << "a batch shows once committed";
    const BatchOutcome outcome = archive->Commit();
    EXPECT_EQ(outcome.added, 2u);
    EXPECT_EQ(outcome.alreadyThere, 1u);
    EXPECT_TRUE(outcome.notArchived.empty());

    EXPECT_EQ(archive->Store(Pushed(9, 1000, {}), reason), Added::New) << reason;
    EXPECT_EQ(Query("SELECT count(*), sum(outcome = 'stopped') FROM messages")[0],
              (std::vector<std::string>{"3", "1"}))
        << "an empty payload is kept, its outcome says why";
}

TEST_F(ArchiveTest, TimeIsTheSessionElseThePb200ElseTheFileTime)
{
    constexpr std::int64_t kFileTime = 1700000000;  // 2023-11-14T22:13:20Z
    const auto dated = Message({Battery(1.0f), Pb200(2024, 6, 11, 43200)});
    const auto undated = Message({Pb200(-1, -1, -1, -1), Battery(1.0f)});
    const auto laterDated = Message({Pb200(-1, -1, -1, -1), Pb200(2024, 2, 29, 61)});
    const struct {
        const char* what;
        Delivery delivery;
        const char* time;
        const char* source;
    } cases[] = {
        {"pushed", Pushed(1, 1765100000, dated), "2025-12-07T09:33:20Z", "session"},
        {"record", DeliveryFromFile("a.sbd", dated, kFileTime), "2024-06-11T12:00:00Z", "record"},
        {"fill values", DeliveryFromFile("b.sbd", undated, kFileTime), "2023-11-14T22:13:20Z",
         "file"},
        {"second PB200", DeliveryFromFile("c.sbd", laterDated), "2024-02-29T00:01:01Z", "record"},
        {"nothing", DeliveryFromFile("d.sbd", undated), "NULL", "NULL"},
    };
    auto archive = OpenArchive(m_path);
    ASSERT_TRUE(archive);
    for (const auto& c : cases) {
        std::string reason;
        ASSERT_EQ(archive->Store(c.delivery, reason), Added::New) << reason;
        EXPECT_EQ(Query("SELECT time, time_source FROM messages WHERE id = (SELECT max(id) FROM "
                        "messages)")[0],
                  (std::vector<std::string>{c.time, c.source}))
            << c.what;
    }
    EXPECT_EQ(Query("SELECT count(*), count(measured_at) FROM PB200")[0],
              (std::vector<std::string>{"6", "3"}));
}

TEST_F(ArchiveTest, Float32ValuesAreTheirShortestDecimals)
{
    const float values[] = {0.1f,          7.3f,        -0.0f,           1e-45f,
                            3.4028235e38f, 16777216.0f, -1.17549435e-38f};
    auto archive = OpenArchive(m_path);
    ASSERT_TRUE(archive);
    for (const float value : values) {
        std::string reason;
        ASSERT_EQ(
            archive->Store(DeliveryFromFile(std::to_string(std::bit_cast<std::uint32_t>(value)),
                                            Message({Battery(value)})),
                           reason),
            Added::New);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_path.string().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                                 "SELECT Battery_voltage FROM Miscellaneous_values"
                                 " ORDER BY message_id",
                                 -1, &statement, nullptr),
              SQLITE_OK);
    for (const float value : values) {
        ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
        const double stored = sqlite3_column_double(statement, 0);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(stored),
                  std::bit_cast<std::uint64_t>(ShortestFloat32AsDouble(value)))
            << ShortestFloat32(value);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(stored)),
                  std::bit_cast<std::uint32_t>(value))
            << ShortestFloat32(value);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    EXPECT_EQ(Query("SELECT count(*) FROM Miscellaneous_values WHERE Battery_voltage = 0.1")[0][0],
              "1");
}

// Made by the converter of the layout before envelopes from the two example messages and an
// empty file, then vacuumed to small pages. Its arrays, one row per element, become one row
// per array holding every value.
TEST_F(ArchiveTest, UpgradesAVersion1ArchiveKeepingEveryRow)
{
    fs::copy_file(fs::path(ARCHIVE_TESTDATA) / "v1-archive.sqlite", m_path);
    const std::string rows =
        "SELECT id, file_name, size, hex(bytes), packet_type, outcome,"
        " stop_reason, stop_offset, imported_at FROM messages ORDER BY id";
    const auto before = Query(rows);
    // Each array value as "message record bits", the layout before through SQL, after through
    // the Reader; a float32 by its own bits (the version 1 layout widened it exactly, the
    // reader gives the double of its shortest decimal).
    const auto text = [](std::int64_t message, std::int64_t record, double value, bool narrow) {
        return std::to_string(message) + " " + std::to_string(record) + " " +
               std::to_string(narrow ? std::bit_cast<std::uint32_t>(static_cast<float>(value))
                                     : std::bit_cast<std::uint64_t>(value));
    };
    const auto valuesBefore = [&](const char* table, bool narrow) {
        std::vector<std::string> values;
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(m_path.string().c_str(), &db), SQLITE_OK);
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db,
                                     ("SELECT message_id, record, value FROM " +
                                      std::string(table) + " ORDER BY message_id, record, element")
                                         .c_str(),
                                     -1, &statement, nullptr),
                  SQLITE_OK);
        while (sqlite3_step(statement) == SQLITE_ROW) {
            values.push_back(text(sqlite3_column_int64(statement, 0),
                                  sqlite3_column_int64(statement, 1),
                                  sqlite3_column_double(statement, 2), narrow));
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return values;
    };
    const auto valuesAfter = [&](const char* type, const char* field, bool narrow) {
        std::string reason;
        const auto reader = Reader::Open(m_path, reason);
        const auto records = reader ? reader->Array({type, field}, reason) : std::nullopt;
        EXPECT_TRUE(records) << reason;
        std::vector<std::string> values;
        for (const ArrayRecord& record : records.value_or(std::vector<ArrayRecord>{})) {
            for (const double value : record.values) {
                values.push_back(text(record.messageId, record.record, value, narrow));
            }
        }
        return values;
    };
    const auto floatsBefore = valuesBefore("IMU_E", true);
    const auto countsBefore = valuesBefore("IMU_ihAz", false);
    ASSERT_EQ(before.size(), 3u);
    ASSERT_FALSE(floatsBefore.empty());
    ASSERT_FALSE(countsBefore.empty());
    {
        auto archive = OpenArchive(m_path);
        ASSERT_TRUE(archive);
        std::string reason;
        // The same file again is no new delivery; under another name it is.
        EXPECT_EQ(archive->Store(DeliveryFromFile("empty.sbd", {}), reason), Added::AlreadyThere);
        EXPECT_EQ(archive->Store(DeliveryFromFile("again.sbd", {}), reason), Added::New);
    }
    EXPECT_EQ(Query(rows + " LIMIT 3"), before);
    EXPECT_EQ(valuesAfter("IMU", "E", true), floatsBefore);
    EXPECT_EQ(valuesAfter("IMU", "ihAz", false), countsBefore);
    EXPECT_EQ(Query("SELECT count(*) FROM IMU_E")[0][0], "1");
    EXPECT_EQ(Query("PRAGMA user_version")[0][0], std::to_string(kSchemaVersion));
    EXPECT_EQ(Query("SELECT count(*) FROM qc_flags")[0][0], "0");
    EXPECT_EQ(Query("PRAGMA application_id")[0][0], std::to_string(kApplicationId));
    EXPECT_EQ(Query("SELECT time, time_source, source, imei FROM messages WHERE id = 1")[0],
              (std::vector<std::string>{"2024-06-11T12:00:00Z", "record", "file", "NULL"}));
    EXPECT_EQ(Query("SELECT measured_at FROM PB200")[0][0], "2024-06-11T12:00:00Z");
    EXPECT_EQ(Query("PRAGMA integrity_check")[0][0], "ok");
}

// Version 2 keyed an attachment by its name alone, so a wrapped MOMSN was taken for a repeat.
TEST_F(ArchiveTest, UpgradesAVersion2ArchiveSoAWrappedMomsnIsANewMessage)
{
    const std::string name = "300234010000001_7.sbd";
    {
        auto archive = OpenArchive(m_path);
        std::string reason;
        ASSERT_EQ(archive->Store(DeliveryFromFile(name, Message({Battery(1.0f)})), reason),
                  Added::New);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_path.string().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "DROP INDEX messages_by_attachment;"
                           "CREATE UNIQUE INDEX messages_by_attachment ON messages (imei, momsn)"
                           " WHERE imei IS NOT NULL AND session_time IS NULL;"
                           "DROP VIEW qc_flags; DROP TABLE qc_message_flags;"
                           "DROP TABLE qc_layouts; DROP TABLE qc_configs;"
                           "DROP TABLE alert_outbox; DROP TABLE alerts;"
                           "PRAGMA user_version = 2",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    auto archive = OpenArchive(m_path);
    ASSERT_TRUE(archive);
    std::string reason;
    EXPECT_EQ(archive->Store(DeliveryFromFile(name, Message({Battery(1.0f)})), reason),
              Added::AlreadyThere);
    EXPECT_EQ(archive->Store(DeliveryFromFile(name, Message({Battery(2.0f)})), reason), Added::New)
        << reason;
    EXPECT_EQ(Query("PRAGMA user_version")[0][0], std::to_string(kSchemaVersion));
    EXPECT_EQ(Query("SELECT count(*) FROM messages")[0][0], "2");
}

// Version 3 had no flags, version 4 no alerts: the upgrade adds their tables and keeps every
// row.
TEST_F(ArchiveTest, UpgradesAVersion3ArchiveWithTheFlagsTablesKeepingEveryRow)
{
    {
        auto archive = OpenArchive(m_path);
        std::string reason;
        ASSERT_EQ(archive->Store(Pushed(5, 1765000000, Message({Battery(12.5f)})), reason),
                  Added::New);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(m_path.string().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "DROP VIEW qc_flags; DROP TABLE qc_message_flags;"
                           " DROP TABLE qc_layouts; DROP TABLE qc_configs;"
                           " DROP TABLE alert_outbox; DROP TABLE alerts; PRAGMA user_version = 3",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const auto before = Query("SELECT * FROM messages");
    const auto records = Query("SELECT * FROM Miscellaneous_values");
    {
        auto archive = OpenArchive(m_path);
        ASSERT_TRUE(archive);
        std::string reason;
        BuoyFlags flags{.buoy = kImei, .configHash = "sha256:00", .configFile = "qc.yaml"};
        flags.streams.push_back({"Miscellaneous values.Battery voltage", {{1, 0}},
                                 {{"gross_range_test", {4}}, {"aggregate", {4}}}});
        EXPECT_TRUE(archive->WriteFlags(flags, reason)) << reason;
        archive->Commit();
    }
    EXPECT_EQ(Query("PRAGMA user_version")[0][0], std::to_string(kSchemaVersion));
    EXPECT_EQ(Query("SELECT * FROM messages"), before);
    EXPECT_EQ(Query("SELECT * FROM Miscellaneous_values"), records);
    EXPECT_EQ(Query("SELECT f.test, f.flag, c.file_name FROM qc_flags f JOIN qc_configs c"
                    " ON c.id = f.config_id ORDER BY f.test"),
              (std::vector<std::vector<std::string>>{{"aggregate", "4", "qc.yaml"},
                                                     {"gross_range_test", "4", "qc.yaml"}}));
}

// Versions 4 to 6 kept a row per flag; version 4 had no alerts. Every flag comes through,
// each with its configuration, whatever the order of a value's tests.
TEST_F(ArchiveTest, UpgradesVersion4And6ArchivesKeepingEveryFlagAndRow)
{
    for (const int version : {4, 6}) {
        fs::remove(m_path);
        {
            auto archive = OpenArchive(m_path);
            std::string reason;
            ASSERT_EQ(archive->Store(Pushed(5, 1765000000, Message({Battery(12.5f)})), reason),
                      Added::New);
            ASSERT_EQ(archive->Store(Pushed(6, 1765000600, Message({Battery(12.4f)})), reason),
                      Added::New);
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(m_path.string().c_str(), &db), SQLITE_OK);
        const std::string older =
            "DROP VIEW qc_flags; DROP TABLE qc_message_flags; DROP TABLE qc_layouts;"
            "CREATE TABLE qc_flags (message_id INTEGER NOT NULL REFERENCES messages(id),"
            " record INTEGER NOT NULL, stream TEXT NOT NULL, test TEXT NOT NULL,"
            " flag INTEGER NOT NULL CHECK (flag IN (1, 2, 3, 4, 9)),"
            " config_id INTEGER NOT NULL REFERENCES qc_configs(id),"
            " PRIMARY KEY (message_id, record, stream, test)) WITHOUT ROWID;"
            "INSERT INTO qc_configs (id, hash, file_name) VALUES (1, 'h1', 'a.yaml'),"
            " (2, 'h2', 'b.yaml');"
            "INSERT INTO qc_flags VALUES"
            " (1, 0, 'Miscellaneous values.Battery voltage', 'spike_test', 2, 1),"
            " (1, 0, 'Miscellaneous values.Battery voltage', 'aggregate', 2, 1),"
            " (1, 0, 'Miscellaneous values.Battery voltage', 'gross_range_test', 1, 2),"
            " (1, -1, 'iridium_position', 'location_test', 9, 1),"
            " (2, 0, 'Miscellaneous values.Battery voltage', 'aggregate', 4, 2),"
            " (2, 0, 'Miscellaneous values.Battery voltage', 'gross_range_test', 4, 2),"
            " (2, 0, 'Miscellaneous_values.Battery_voltage', 'gross_range_test', 3, 2);" +
            std::string(version == 4 ? "DROP TABLE alert_outbox; DROP TABLE alerts;" : "") +
            "PRAGMA user_version = " + std::to_string(version);
        ASSERT_EQ(sqlite3_exec(db, older.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
        const auto before = Query("SELECT * FROM messages");
        const std::string flags = "SELECT * FROM qc_flags ORDER BY message_id, record, stream, test";
        const auto flagsBefore = Query(flags);
        ASSERT_TRUE(OpenArchive(m_path)) << version;
        EXPECT_EQ(Query("PRAGMA user_version")[0][0], std::to_string(kSchemaVersion));
        EXPECT_EQ(Query("SELECT * FROM messages"), before);
        EXPECT_EQ(Query(flags), flagsBefore) << version;
        EXPECT_EQ(Query("SELECT count(*) FROM qc_message_flags")[0][0], "3") << version;
        EXPECT_EQ(Query("SELECT count(*) FROM alerts, alert_outbox")[0][0], "0");
        EXPECT_EQ(Query("PRAGMA integrity_check")[0][0], "ok");
    }
}

TEST_F(ArchiveTest, RefusesWhatIsNoArchiveOfItsVersionAndLeavesItUntouched)
{
    const fs::path fixture = fs::path(ARCHIVE_TESTDATA) / "v1-archive.sqlite";
    auto sql = [](const fs::path& path, const std::string& statements) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.string().c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statements.c_str(), nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    const struct {
        const char* what;
        std::function<void(const fs::path&)> make;
        const char* reason;
    } cases[] = {
        {"newer version",
         [&](const fs::path& p) {
             {
                 OpenArchive(p);
             }
             sql(p, "PRAGMA user_version = 99");
         },
         "archive version 99 is newer"},
        {"another application's file",
         [&](const fs::path& p) { sql(p, "PRAGMA application_id = 42; CREATE TABLE notes (x)"); },
         "another application (application_id 42)"},
        {"no application id, no messages",
         [&](const fs::path& p) { sql(p, "CREATE TABLE accounts (x)"); },
         "without a messages table"},
        {"not SQLite",
         [](const fs::path& p) {
             std::ofstream(p) << "id,name\n1,buoy\n" << std::string(600, 'x');
         },
         "not a database"},
        {"a version 1 archive missing a table",
         [&](const fs::path& p) {
             fs::copy_file(fixture, p);
             sql(p, "DROP TABLE IMU_ihAz");
         },
         "no table IMU_ihAz"},
        {"a version 5 archive missing a table",
         [&](const fs::path& p) {
             {
                 OpenArchive(p);
             }
             sql(p, "DROP TABLE Camera");
         },
         "no table Camera"},
        {"a version 5 archive without its alerts",
         [&](const fs::path& p) {
             {
                 OpenArchive(p);
             }
             sql(p, "DROP TABLE alert_outbox");
         },
         "no table alert_outbox"},
        {"an archive without its flags",
         [&](const fs::path& p) {
             {
                 OpenArchive(p);
             }
             sql(p, "DROP TABLE qc_message_flags");
         },
         "no table qc_message_flags"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const fs::path path = m_dir / ("case" + std::to_string(n++) + ".sqlite");
        c.make(path);
        const auto before = ReadBytes(path);
        std::string reason;
        EXPECT_FALSE(Archive::Open(path, {}, reason)) << c.what;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
        EXPECT_EQ(ReadBytes(path), before) << c.what;
        EXPECT_FALSE(fs::exists(path.string() + "-wal")) << c.what;
    }
}

}  // namespace
}  // namespace saltmark::archive
