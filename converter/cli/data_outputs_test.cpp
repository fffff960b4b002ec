// saltmark-convert's data outputs through the built program: every field of every record type
// comes back bit for bit from JSON, CSV and the SQLite archive; the archive takes a message
// once; the README's queries run.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <algorithm>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DirectIp.h"
#include "testing/EveryRecord.h"
#include "testing/MessageComposer.h"

namespace saltmark::testing {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// What a rendering gives back for one element: a number, or nothing with a name or text.
struct Cell {
    std::optional<double> number;
    std::string text;
};

using Reader = std::function<Cell(std::size_t record, const ComposedField& field, int element)>;

enum class NanForm { NamedNull, Named, Null };

// Every composed value against what the rendering read back.
void ExpectEveryValue(const EveryRecordMessage& message, const Reader& read, NanForm nanForm,
                      const char* rendering)
{
    for (std::size_t r = 0; r < message.Records().size(); ++r) {
        const ComposedRecord& record = message.Records()[r];
        for (const ComposedField& field : record.fields) {
            const std::size_t count =
                field.stored == Stored::F32 ? field.bits.size() : field.integers.size();
            for (std::size_t i = 0; i < count; ++i) {
                const std::string where = std::string(rendering) + " " + record.type + " " +
                                          field.name + "[" + std::to_string(i) + "]";
                const Cell cell = read(r, field, static_cast<int>(i));
                if (field.stored == Stored::Text) {
                    EXPECT_EQ(cell.text, std::string(1, static_cast<char>(field.integers[i])))
                        << where;
                    continue;
                }
                if (field.stored != Stored::F32) {
                    ASSERT_TRUE(cell.number) << where;
                    EXPECT_EQ(*cell.number, static_cast<double>(field.integers[i])) << where;
                    continue;
                }
                const float expected = std::bit_cast<float>(field.bits[i]);
                const bool inf = std::isinf(expected);
                if (std::isnan(expected) || (inf && nanForm != NanForm::Null)) {
                    const std::string name = std::isnan(expected)
                                                 ? (std::signbit(expected) ? "-nan" : "nan")
                                                 : (expected < 0 ? "-inf" : "inf");
                    EXPECT_FALSE(cell.number) << where;
                    EXPECT_EQ(cell.text, nanForm == NanForm::Null ? "" : name) << where;
                    continue;
                }
                ASSERT_TRUE(cell.number) << where;
                EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(*cell.number)),
                          field.bits[i])
                    << where << ": " << *cell.number;
            }
        }
    }
}

std::string SqlName(std::string name)
{
    for (char& c : name) {
        c = c == ' ' ? '_' : c;
    }
    return "\"" + name + "\"";
}

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

Db OpenDb(const fs::path& path)
{
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    return Db(db);
}

// Every row of a query as text cells (NULL as "NULL").
std::vector<std::vector<std::string>> Query(sqlite3* db, const std::string& sql)
{
    sqlite3_stmt* statement = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK)
        << sql << ": " << sqlite3_errmsg(db);
    std::vector<std::vector<std::string>> rows;
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        std::vector<std::string> row;
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            const auto* text = sqlite3_column_text(statement, c);
            row.push_back(text != nullptr ? reinterpret_cast<const char*>(text) : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
}

class DataOutputs : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "saltmark-data-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override { fs::remove_all(m_dir); }

    fs::path Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const
    {
        std::ofstream out(m_dir / name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        return m_dir / name;
    }

    // Runs the program; gives its standard output, or fails the test on a non-zero status.
    std::string Run(const std::string& args, const std::string& input = "/dev/null") const
    {
        const fs::path out = m_dir / "stdout";
        const std::string command = std::string(SALTMARK_CONVERT) + " " + args + " <" + input +
                                    " >" + out.string() + " 2>" + (m_dir / "stderr").string();
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command << "\n"
                                                                   << ReadText(m_dir / "stderr");
        return ReadText(out);
    }

    fs::path m_dir;
};

TEST_F(DataOutputs, EveryFieldOfEveryRecordTypeComesBackBitForBit)
{
    const EveryRecordMessage message(true);
    const fs::path sbd = Write("every.sbd", message.Bytes());
    const auto& records = message.Records();

    // JSON, the message read from standard input.
    const nlohmann::json doc = nlohmann::json::parse(Run("--json -", sbd.string()));
    ASSERT_EQ(doc["records"].size(), records.size());
    EXPECT_EQ(doc["outcome"]["complete"], true);
    EXPECT_EQ(doc["file"], "-");
    for (std::size_t r = 0; r < records.size(); ++r) {
        EXPECT_EQ(doc["records"][r]["type"], records[r].type);
        EXPECT_EQ(doc["records"][r]["port"], records[r].port);
        EXPECT_EQ(doc["records"][r]["offset"], message.Offsets()[r]);
    }
    ExpectEveryValue(
        message,
        [&](std::size_t r, const ComposedField& field, int i) {
            const nlohmann::json& fields = doc["records"][r]["fields"];
            const nlohmann::json& value = field.array ? fields[field.name][i] : fields[field.name];
            const std::string companion = field.name + "_nonfinite";
            Cell cell;
            if (value.is_number()) {
                cell.number = value.get<double>();
            } else if (value.is_string()) {
                cell.text = value.get<std::string>();
            } else if (fields.contains(companion)) {
                const nlohmann::json& name = field.array ? fields[companion][i] : fields[companion];
                cell.text = name.get<std::string>();
            }
            return cell;
        },
        NanForm::NamedNull, "JSON");

    // CSV, one table per record type.
    std::map<std::string, std::map<std::string, std::string>> csvRows;  // type -> column -> cell
    for (const ComposedRecord& record : records) {
        std::istringstream csv(Run("--csv '" + record.type + "' " + sbd.string()));
        std::string header;
        std::string row;
        std::getline(csv, header);
        std::getline(csv, row);
        std::istringstream names(header);
        std::istringstream cells(row);
        std::string name;
        std::string cell;
        while (std::getline(names, name, ',') && std::getline(cells, cell, ',')) {
            csvRows[record.type][name] = cell;
        }
        EXPECT_EQ(csvRows[record.type]["file"], "every.sbd");
        EXPECT_EQ(csvRows[record.type]["port"], std::to_string(record.port));
    }
    ExpectEveryValue(
        message,
        [&](std::size_t r, const ComposedField& field, int i) {
            const std::string column =
                field.array ? field.name + "[" + std::to_string(i) + "]" : field.name;
            const std::string text = csvRows[records[r].type][column];
            Cell cell;
            char* end = nullptr;
            const double number = std::strtod(text.c_str(), &end);
            if (field.stored != Stored::Text && !text.empty() && *end == '\0' &&
                text.find_first_of("ni") == std::string::npos) {
                cell.number = number;
            } else {
                cell.text = text;
            }
            return cell;
        },
        NanForm::Named, "CSV");

    // SQLite: scalars in the type's table, arrays in their child tables (one blob of 4-byte
    // little-endian elements per array).
    const fs::path archive = m_dir / "archive.sqlite";
    Run("--db " + archive.string() + " " + sbd.string());
    const Db db = OpenDb(archive);
    ExpectEveryValue(
        message,
        [&](std::size_t r, const ComposedField& field, int i) {
            const std::string table = SqlName(records[r].type);
            const std::string where = " WHERE record = " + std::to_string(r);
            const std::string sql =
                field.array ? std::string("SELECT substr(") +
                                  (field.stored == Stored::F32 ? "float32_le" : "int32_le") +
                                  ", " + std::to_string(4 * i + 1) + ", 4) FROM " +
                                  SqlName(records[r].type + "_" + field.name) + where
                            : "SELECT " + SqlName(field.name) + " FROM " + table + where;
            sqlite3_stmt* statement = nullptr;
            Cell cell;
            if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &statement, nullptr) != SQLITE_OK ||
                sqlite3_step(statement) != SQLITE_ROW) {
                ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db.get());
            } else if (field.array) {
                const auto* bytes =
                    static_cast<const std::uint8_t*>(sqlite3_column_blob(statement, 0));
                std::uint32_t bits = 0;
                for (int b = 0; b < 4 && b < sqlite3_column_bytes(statement, 0); ++b) {
                    bits |= std::uint32_t{bytes[b]} << (8 * b);
                }
                const auto value = std::bit_cast<float>(bits);
                if (field.stored != Stored::F32) {
                    cell.number = static_cast<std::int32_t>(bits);
                } else if (!std::isnan(value)) {
                    cell.number = value;
                }
            } else if (sqlite3_column_type(statement, 0) == SQLITE_TEXT) {
                cell.text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
            } else if (sqlite3_column_type(statement, 0) != SQLITE_NULL) {
                cell.number = sqlite3_column_double(statement, 0);
            }
            sqlite3_finalize(statement);
            return cell;
        },
        NanForm::Null, "SQLite");
}

TEST_F(DataOutputs, ArchiveKeepsEachDeliveryOnceAndCopiesAsDeliveriesOfTheirOwn)
{
    const EveryRecordMessage message(false);
    const fs::path first = Write("first.sbd", message.Bytes());
    const fs::path copy = Write("copy.sbd", message.Bytes());
    const fs::path archive = m_dir / "archive.sqlite";
    Run("--db " + archive.string() + " " + first.string());
    Run("--db " + archive.string() + " " + first.string() + " " + copy.string());
    EXPECT_EQ(ReadText(m_dir / "stderr"),
              "saltmark-convert: 1 new messages archived, 1 already there, 0 not archived\n");
    const Db db = OpenDb(archive);
    const std::string size = std::to_string(message.Bytes().size());
    EXPECT_EQ(Query(db.get(),
                    "SELECT file_name, size, packet_type, outcome, length(bytes), source, raw"
                    " FROM messages ORDER BY id"),
              (std::vector<std::vector<std::string>>{
                  {"first.sbd", size, "55", "complete", size, "file", "NULL"},
                  {"copy.sbd", size, "55", "complete", size, "file", "NULL"}}));
    EXPECT_EQ(Query(db.get(), "SELECT count(*), sum(length(float32_le)) FROM Y81000_Tke")[0],
              (std::vector<std::string>{"2", "928"}));
    EXPECT_EQ(Query(db.get(), "SELECT count(*) FROM PB200")[0][0], "2");
}

// A message in DirectIP framing reads as its payload everywhere; the envelope goes into the
// JSON and the archive.
TEST_F(DataOutputs, FramedFileIsReadAsItsPayloadWithItsEnvelope)
{
    DirectIpMessage envelope;
    envelope.header = {7, "300234010000001", 0, 42, 3, 1765100000};
    envelope.payload = Message({MessageComposer().Header(6, 1, 8).F32(12.5f).Bytes()});
    envelope.location = DirectIpLocation{-33.5, 151.25, 4};
    const fs::path bare = Write("bare.sbd", envelope.payload);
    const fs::path framed = Write("framed.sbd", ComposeDirectIp(envelope));

    EXPECT_EQ(Run(framed.string()), Run(bare.string()));
    const nlohmann::json doc = nlohmann::json::parse(Run("--json " + framed.string()));
    EXPECT_EQ(doc["size"], envelope.payload.size());
    EXPECT_EQ(doc["directip"],
              nlohmann::json::parse(R"({"imei": "300234010000001", "momsn": 42, "mtmsn": 3,
                  "cdrReference": 7, "sessionStatus": 0, "sessionTime": "2025-12-07T09:33:20Z",
                  "location": {"latitude": -33.5, "longitude": 151.25, "cepKm": 4}})"));
    EXPECT_FALSE(nlohmann::json::parse(Run("--json " + bare.string())).contains("directip"));

    const fs::path archive = m_dir / "archive.sqlite";
    Run("--db " + archive.string() + " " + framed.string());
    const Db db = OpenDb(archive);
    EXPECT_EQ(Query(db.get(),
                    "SELECT imei, momsn, size, length(raw), time, time_source, source,"
                    " iridium_latitude FROM messages"),
              (std::vector<std::vector<std::string>>{
                  {"300234010000001", "42", std::to_string(envelope.payload.size()),
                   std::to_string(fs::file_size(framed)), "2025-12-07T09:33:20Z", "session", "file",
                   "-33.5"}}));
}

TEST_F(DataOutputs, FileTimeDatesAMessageWithoutATimeOfItsOwn)
{
    const fs::path file =
        Write("m.sbd", Message({MessageComposer().Header(6, 1, 8).F32(1).Bytes()}));
    fs::last_write_time(file, std::chrono::file_clock::from_sys(
                                  std::chrono::sys_seconds(std::chrono::seconds(1700000000))));
    const fs::path plain = m_dir / "plain.sqlite";
    const fs::path dated = m_dir / "dated.sqlite";
    Run("--db " + plain.string() + " " + file.string());
    Run("--db " + dated.string() + " --file-time mtime " + file.string());
    EXPECT_EQ(Query(OpenDb(plain).get(), "SELECT time, time_source FROM messages")[0],
              (std::vector<std::string>{"NULL", "NULL"}));
    EXPECT_EQ(Query(OpenDb(dated).get(), "SELECT time, time_source FROM messages")[0],
              (std::vector<std::string>{"2023-11-14T22:13:20Z", "file"}));
}

// Many messages under distinct names, a little different each, as a deployment's inbox.
std::vector<fs::path> WriteInbox(const fs::path& dir, const std::string& prefix, int count,
                                 const std::vector<std::uint8_t>& message)
{
    fs::create_directories(dir);
    std::vector<fs::path> paths;
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint8_t> bytes = message;
        bytes.push_back(static_cast<std::uint8_t>(i));  // a trailing byte the walk leaves alone
        paths.push_back(dir / (prefix + std::to_string(i) + ".sbd"));
        std::ofstream(paths.back(), std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    return paths;
}

std::string Joined(const std::vector<fs::path>& paths)
{
    std::string text;
    for (const fs::path& path : paths) {
        text += " " + path.string();
    }
    return text;
}

// A file system that fills up mid-import: every message is then either in the archive or
// named on standard error, the counts add up, and the archive is sound.
TEST_F(DataOutputs, FullDiskLosesNoMessageUnnamed)
{
    const fs::path disk = m_dir / "disk";
    fs::create_directories(disk);
    if (std::system(
            ("mount -t tmpfs -o size=1m tmpfs " + disk.string() + " 2>/dev/null").c_str()) != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root)";
    }
    struct Unmount {
        fs::path disk;
        ~Unmount() { std::system(("umount " + disk.string()).c_str()); }
    } unmount{disk};

    constexpr int kMessages = 3000;
    const auto station =
        Message({MessageComposer().Header(6, 1, 8).F32(12.5f).Bytes(),
                 MessageComposer().Header(4, 2, 16).F32s({{4.1f, 9.5f, 35.2f}}).Bytes(),
                 MessageComposer().Header(12, 3, 8).F32(250.0f).Bytes()});
    const auto inbox = WriteInbox(m_dir / "inbox", "m", kMessages, station);
    const fs::path archive = disk / "archive.sqlite";
    const std::string command = std::string(SALTMARK_CONVERT) + " --db " + archive.string() +
                                Joined(inbox) + " 2>" + (m_dir / "stderr").string();
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);

    std::set<std::string> named;
    std::size_t added = 0, known = 0, lost = 0;
    std::istringstream lines(ReadText(m_dir / "stderr"));
    for (std::string line; std::getline(lines, line);) {
        const std::size_t at = line.find(": not archived: ");
        if (at != std::string::npos) {
            named.insert(fs::path(line.substr(18, at - 18)).filename().string());
        } else {
            EXPECT_EQ(std::sscanf(line.c_str(),
                                  "saltmark-convert: %zu new messages archived, %zu already "
                                  "there, %zu not archived",
                                  &added, &known, &lost),
                      3)
                << line;
        }
    }
    EXPECT_EQ(added + known + lost, std::size_t{kMessages});
    EXPECT_EQ(named.size(), lost);
    EXPECT_GT(lost, 0u) << "the disk never filled";
    EXPECT_GT(added, 0u);

    const Db db = OpenDb(archive);
    EXPECT_EQ(Query(db.get(), "PRAGMA integrity_check")[0][0], "ok");
    std::set<std::string> archived;
    for (const auto& row : Query(db.get(), "SELECT file_name FROM messages")) {
        archived.insert(row[0]);
    }
    EXPECT_EQ(archived.size(), added);
    for (const fs::path& path : inbox) {
        const std::string name = path.filename().string();
        EXPECT_NE(archived.count(name) + named.count(name), 0u) << name << " unaccounted for";
        EXPECT_FALSE(archived.count(name) && named.count(name)) << name << " named but archived";
    }
}

TEST_F(DataOutputs, TwoImportersIntoOneArchiveBothFinish)
{
    const auto message = Message({MessageComposer().Header(6, 1, 8).F32(1).Bytes()});
    const auto first = WriteInbox(m_dir / "a", "a", 1500, message);
    const auto second = WriteInbox(m_dir / "b", "b", 1500, message);
    const fs::path archive = m_dir / "archive.sqlite";
    auto importer = [&](const std::vector<fs::path>& inbox, const char* name) {
        return std::string(SALTMARK_CONVERT) + " --db " + archive.string() + Joined(inbox) + " 2>" +
               (m_dir / name).string() + "; echo $? >" + (m_dir / name).string() + ".status";
    };
    const std::string both =
        "(" + importer(first, "one") + ") & (" + importer(second, "two") + ") & wait";
    ASSERT_EQ(std::system(both.c_str()), 0);
    EXPECT_EQ(ReadText(m_dir / "one.status"), "0\n") << ReadText(m_dir / "one");
    EXPECT_EQ(ReadText(m_dir / "two.status"), "0\n") << ReadText(m_dir / "two");
    const Db db = OpenDb(archive);
    EXPECT_EQ(Query(db.get(), "SELECT count(*) FROM messages")[0][0], "3000");
}

// The README's example queries, each in its own ```sql block, on an archive of a whole
// message and one that stops.
TEST_F(DataOutputs, ReadmeQueriesRunOnAnArchive)
{
    const std::string readme = ReadText(README);
    std::vector<std::string> queries;
    for (std::size_t at = readme.find("```sql\n"); at != std::string::npos;
         at = readme.find("```sql\n", at + 1)) {
        const std::size_t start = at + 7;
        queries.push_back(readme.substr(start, readme.find("```", start) - start));
    }
    ASSERT_EQ(queries.size(), 5u) << "the week's wind, Hs, the track, the images, the stopped";

    // Two mail attachments of the buoy: one whose PB200 is dated yesterday, one whose PB200
    // has the logger's fill values and whose file is dated within the deployment.
    const EveryRecordMessage message(false);
    const std::size_t pb200 = message.Offsets()[2];
    auto dated = [&](std::int32_t year, std::int32_t month, std::int32_t day, std::int32_t second) {
        std::vector<std::uint8_t> bytes = message.Bytes();
        const std::int32_t fields[] = {year, month, day, second};
        for (int f = 0; f < 4; ++f) {
            for (int b = 0; b < 4; ++b) {
                bytes[pb200 + 28 + 4 * f + b] =
                    static_cast<std::uint8_t>(static_cast<std::uint32_t>(fields[f]) >> (8 * b));
            }
        }
        return bytes;
    };
    using namespace std::chrono;
    const auto yesterday = floor<days>(system_clock::now()) - days(1);
    const year_month_day ymd(yesterday);
    const fs::path recent =
        Write("300234010000001_1.sbd",
              dated(static_cast<int>(ymd.year()), static_cast<int>(unsigned(ymd.month())),
                    static_cast<int>(unsigned(ymd.day())), 3600));
    const fs::path deployed = Write("300234010000001_2.sbd", dated(-1, -1, -1, -1));
    fs::last_write_time(
        deployed,
        file_clock::from_sys(sys_seconds(sys_days(year_month_day(2025y / 9 / 1)) + hours(6))));
    std::vector<std::uint8_t> broken = message.Bytes();
    broken.resize(broken.size() - 1);
    const fs::path archive = m_dir / "archive.sqlite";
    Run("--db " + archive.string() + " --file-time mtime " + recent.string() + " " +
        deployed.string() + " " + Write("broken.sbd", broken).string() + " " +
        Write("empty.sbd", {}).string());
    const Db db = OpenDb(archive);
    const auto wind = Query(db.get(), queries[0]);
    ASSERT_EQ(wind.size(), 1u) << queries[0];
    EXPECT_EQ(wind[0][0],
              IsoUtc(duration_cast<seconds>(yesterday.time_since_epoch()).count() + 3600));
    const auto hs = Query(db.get(), queries[1]);
    ASSERT_EQ(hs.size(), 2u) << queries[1];
    EXPECT_EQ(hs[0][0], "2025-09-01T06:00:00Z");
    EXPECT_EQ(Query(db.get(), queries[2]).size(), 6u) << queries[2];
    EXPECT_EQ(Query(db.get(), queries[3]).size(), 3u) << queries[3];
    const auto stopped = Query(db.get(), queries[4]);
    ASSERT_EQ(stopped.size(), 2u) << queries[4];
    EXPECT_EQ(stopped[0],
              (std::vector<std::string>{"broken.sbd", "Record runs past the end of the message",
                                        std::to_string(message.Offsets().back())}));
    EXPECT_EQ(stopped[1], (std::vector<std::string>{
                              "empty.sbd", "Not enough data to contain packet type", "0"}));
}

#ifdef SALTMARK_CONVERT_HAS_QC
// A battery series with a spike, a reading out of range and a missing value, as framed files
// of one buoy half an hour apart: --csv and --json with --qc give each value the flags of its
// buoy's series in time order, whatever the order of the files on the command line.
TEST_F(DataOutputs, QcFlagsEachValueByItsBuoysSeriesInTimeOrder)
{
    const float kNan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> volts = {12.50f, 12.51f, 12.52f, 12.53f, 14.5f, 12.55f,
                                      12.56f, 20.0f,  12.58f, kNan,   12.60f, 12.61f};
    constexpr std::size_t kSpike = 4, kOutOfRange = 7, kMissing = 9, kPlain = 1;
    std::vector<fs::path> files;
    for (std::size_t i = 0; i < volts.size(); ++i) {
        DirectIpMessage envelope;
        envelope.header = {static_cast<std::uint32_t>(i), "300234010000001", 0,
                           static_cast<std::uint16_t>(i), 0,
                           static_cast<std::uint32_t>(1765100000 + 1800 * i)};
        envelope.payload = Message({MessageComposer().Header(6, 1, 8).F32(volts[i]).Bytes()});
        files.push_back(Write("b" + std::to_string(i) + ".sbd", ComposeDirectIp(envelope)));
    }
    const fs::path config = m_dir / "qc.yaml";
    std::ofstream(config) << "streams:\n"
                             "  Miscellaneous_values.Battery_voltage:\n"
                             "    qartod:\n"
                             "      gross_range_test: {fail_span: [10, 16], suspect_span: [11, 15]}\n"
                             "      spike_test: {suspect_threshold: 0.5, fail_threshold: 1.5}\n";

    // Per file: aggregate, gross range, spike, from the CSV and from the JSON.
    using Flags = std::map<std::string, std::vector<std::string>>;
    const auto flagsOf = [&](const std::vector<fs::path>& order) {
        Flags csvFlags;
        std::istringstream csv(Run("--csv 6 --qc " + config.string() + Joined(order)));
        std::string line;
        std::getline(csv, line);
        EXPECT_EQ(line,
                  "file,record,port,Battery voltage,Battery voltage_qc_aggregate,"
                  "Battery voltage_qc_gross_range_test,Battery voltage_qc_spike_test");
        while (std::getline(csv, line)) {
            std::vector<std::string> cells;
            std::istringstream row(line);
            for (std::string cell; std::getline(row, cell, ',');) {
                cells.push_back(cell);
            }
            csvFlags[cells[0]] = {cells.begin() + 4, cells.end()};
        }
        Flags jsonFlags;
        std::istringstream json(Run("--json --qc " + config.string() + Joined(order)));
        while (std::getline(json, line)) {
            const nlohmann::json doc = nlohmann::json::parse(line);
            const nlohmann::json& qc = doc["records"][0]["fields"]["Battery voltage_qc"];
            std::vector<std::string>& flags = jsonFlags[doc["file"]];
            for (const char* test : {"aggregate", "gross_range_test", "spike_test"}) {
                flags.push_back(std::to_string(qc[test].get<int>()));
            }
        }
        EXPECT_EQ(csvFlags, jsonFlags);
        return csvFlags;
    };
    const Flags inOrder = flagsOf(files);
    ASSERT_EQ(inOrder.size(), volts.size());
    const auto flags = [&](std::size_t i) { return inOrder.at("b" + std::to_string(i) + ".sbd"); };
    EXPECT_EQ(flags(kSpike), (std::vector<std::string>{"4", "1", "4"}));
    EXPECT_EQ(flags(kOutOfRange), (std::vector<std::string>{"4", "4", "4"}));
    EXPECT_EQ(flags(kMissing), (std::vector<std::string>{"9", "9", "9"}));
    EXPECT_EQ(flags(kPlain), (std::vector<std::string>{"1", "1", "1"}));
    EXPECT_EQ(flags(0)[2], "2");  // the first value has one neighbour only

    std::vector<fs::path> shuffled = files;
    std::reverse(shuffled.begin(), shuffled.end());
    std::swap(shuffled[2], shuffled[7]);
    EXPECT_EQ(flagsOf(shuffled), inOrder);
}
#endif

}  // namespace
}  // namespace saltmark::testing
