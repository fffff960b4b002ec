// saltmark-server as a real process on 127.0.0.1: deliveries pushed as the gateway pushes
// them, the archive read back through SQLite, and what a server ashore meets besides (a
// crash, a full disk, hostile peers, a mail folder, a stop).

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DirectIp.h"
#include "testing/EveryRecord.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Rows = std::vector<std::vector<std::string>>;

constexpr std::uint32_t kSessionTime = 1765100000;  // 2025-12-07T09:33:20Z

fs::path FreshFolder()
{
    const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
    const fs::path folder =
        fs::temp_directory_path() /
        ("saltmark-server-test-" + std::to_string(getpid()) + "-" + test->name());
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

void WriteFile(const fs::path& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::string ReadText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes Framed(const Bytes& payload, const std::string& imei, std::uint16_t momsn,
             std::uint32_t sessionTime = kSessionTime,
             std::optional<saltmark::DirectIpLocation> location = std::nullopt)
{
    saltmark::DirectIpMessage message;
    message.header.imei = imei;
    message.header.momsn = momsn;
    message.header.sessionTime = sessionTime;
    message.payload = payload;
    message.location = location;
    return saltmark::ComposeDirectIp(message);
}

// One message per record type, each record alone (all of them together exceed what one
// DirectIP message carries).
std::vector<Bytes> OneMessagePerRecordType(const saltmark::testing::EveryRecordMessage& every)
{
    std::vector<Bytes> messages;
    const Bytes& bytes = every.Bytes();
    const auto& offsets = every.Offsets();
    for (std::size_t r = 0; r < offsets.size(); ++r) {
        const std::size_t end = r + 1 < offsets.size() ? offsets[r + 1] : bytes.size();
        Bytes message{55};
        message.insert(message.end(), bytes.begin() + static_cast<std::ptrdiff_t>(offsets[r]),
                       bytes.begin() + static_cast<std::ptrdiff_t>(end));
        messages.push_back(std::move(message));
    }
    return messages;
}

// A short message: the battery voltage record alone.
Bytes SmallMessage()
{
    const saltmark::testing::EveryRecordMessage every(false);
    for (const Bytes& message : OneMessagePerRecordType(every)) {
        if (message[1] == 6) {
            return message;
        }
    }
    return {};
}

Rows Query(const fs::path& archive, const std::string& sql)
{
    sqlite3* db = nullptr;
    Rows rows;
    if (sqlite3_open_v2(archive.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << archive << ": " << sqlite3_errmsg(db);
        sqlite3_close(db);
        return rows;
    }
    sqlite3_busy_timeout(db, 10000);
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db);
    }
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
        rows.emplace_back();
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
            rows.back().push_back(text != nullptr ? text : "NULL");
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

std::string QueryOne(const fs::path& archive, const std::string& sql)
{
    const Rows rows = Query(archive, sql);
    return rows.empty() || rows[0].empty() ? "no row" : rows[0][0];
}

// The server process, its standard error collected as it comes.
class Server {
public:
    explicit Server(const std::vector<std::string>& options)
    {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        std::vector<std::string> args{SALTMARK_SERVER};
        args.insert(args.end(), options.begin(), options.end());
        m_pid = fork();
        if (m_pid == 0) {
            // Dies with the test, whatever becomes of it, and holds none of its output open.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            dup2(pipeEnds[1], STDERR_FILENO);
            dup2(open("/dev/null", O_WRONLY), STDOUT_FILENO);
            std::vector<char*> argv;
            for (std::string& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pipeEnds[1]);
        m_reader = std::thread([this, fd = pipeEnds[0]] {
            char buffer[4096];
            ssize_t count;
            while ((count = read(fd, buffer, sizeof buffer)) > 0) {
                const std::lock_guard lock(m_mutex);
                m_log.append(buffer, static_cast<std::size_t>(count));
                m_changed.notify_all();
            }
            close(fd);
        });
        // Without DirectIP, the mail folder alone: ready once it watches.
        const bool directIp =
            std::find(options.begin(), options.end(), "--directip") != options.end();
        const std::string marker = directIp ? "directip listening on 127.0.0.1:" : "watching ";
        if (!WaitForLog(marker)) {
            ADD_FAILURE() << "no listening line:\n" << Log();
            return;
        }
        const std::string log = Log();
        if (directIp) {
            m_port = std::stoi(log.substr(log.find(marker) + marker.size()));
        }
    }

    ~Server()
    {
        if (m_pid > 0) {
            Kill();
        }
        if (m_reader.joinable()) {
            m_reader.join();
        }
    }

    int Port() const { return m_port; }

    std::string Log() const
    {
        const std::lock_guard lock(m_mutex);
        return m_log;
    }

    bool WaitForLog(const std::string& text, int times = 1, std::chrono::milliseconds wait = 10s)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, wait, [&] {
            int found = 0;
            for (std::size_t at = m_log.find(text); at != std::string::npos;
                 at = m_log.find(text, at + 1)) {
                ++found;
            }
            return found >= times;
        });
    }

    // Sends the signal and returns the exit status (-1 when the server died of a signal).
    int Stop(int signal = SIGTERM)
    {
        kill(m_pid, signal);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void Kill() { Stop(SIGKILL); }

private:
    pid_t m_pid = -1;
    int m_port = 0;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_log;
};

int Connect(int port, const char* from = nullptr)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (from != nullptr) {
        inet_pton(AF_INET, from, &address.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const Bytes& bytes)
{
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// What the server answers before it closes the connection; nothing when it is not closed
// within `wait`.
std::optional<Bytes> AnswerUntilClosed(int fd, std::chrono::milliseconds wait = 20s)
{
    Bytes answer;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1) {
            close(fd);
            return std::nullopt;
        }
        std::uint8_t buffer[256];
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) {
            close(fd);
            return answer;
        }
        answer.insert(answer.end(), buffer, buffer + count);
    }
}

// Delivers one message as the gateway does; the server's answer, or nothing when the
// connection failed.
std::optional<Bytes> Deliver(int port, const Bytes& message)
{
    const int fd = Connect(port);
    if (fd < 0 || !SendAll(fd, message)) {
        if (fd >= 0) {
            close(fd);
        }
        return std::nullopt;
    }
    return AnswerUntilClosed(fd);
}

const Bytes kConfirmed = saltmark::DirectIpConfirmation(true);
const Bytes kRefused = saltmark::DirectIpConfirmation(false);

std::string RunConvert(const fs::path& message)
{
    const fs::path report = message.string() + ".txt";
    const std::string command =
        std::string(SALTMARK_CONVERT) + " " + message.string() + " >" + report.string();
    EXPECT_EQ(std::system(command.c_str()), 0) << command;
    return ReadText(report);
}

TEST(SaltmarkServer, EveryRecordTypeLandsWithItsEnvelopeAndTheConvertersReport)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm"});
    const saltmark::testing::EveryRecordMessage every(false);
    const std::vector<Bytes> payloads = OneMessagePerRecordType(every);
    ASSERT_EQ(payloads.size(), every.Records().size());
    const std::string imei = "300234010753370";
    for (std::size_t i = 0; i < payloads.size(); ++i) {
        const Bytes framed = Framed(payloads[i], imei, static_cast<std::uint16_t>(100 + i),
                                    kSessionTime + static_cast<std::uint32_t>(i),
                                    saltmark::DirectIpLocation{-33.5, 151.25, 4});
        WriteFile(folder / ("sent" + std::to_string(i) + ".sbd"), framed);
        EXPECT_EQ(Deliver(server.Port(), framed), kConfirmed) << every.Records()[i].type;
    }
    EXPECT_TRUE(server.WaitForLog("IMEI " + imei + " MOMSN 100, " +
                                  std::to_string(payloads[0].size()) +
                                  " bytes: archived, confirmed with status 1"))
        << server.Log();

    for (std::size_t i = 0; i < payloads.size(); ++i) {
        const std::string type = every.Records()[i].type;
        const std::string momsn = std::to_string(100 + i);
        EXPECT_EQ(Query(archive,
                        "SELECT imei, session_time, iridium_latitude, iridium_longitude, "
                        "iridium_cep_km, source, time_source, outcome, length(raw), size "
                        "FROM messages WHERE momsn = " +
                            momsn),
                  (Rows{{imei, saltmark::IsoUtc(kSessionTime + static_cast<std::int64_t>(i)),
                         "-33.5", "151.25", "4", "directip", "session", "complete",
                         std::to_string(payloads[i].size() + 3 + 31 + 3 + 14),
                         std::to_string(payloads[i].size())}}))
            << type;
        std::string table = type;
        std::replace(table.begin(), table.end(), ' ', '_');
        EXPECT_EQ(QueryOne(archive, "SELECT count(*) FROM \"" + table +
                                        "\" JOIN messages ON messages.id = message_id"
                                        " WHERE momsn = " +
                                        momsn),
                  "1")
            << type;

        // The report of what the archive kept is the converter's report of what was sent.
        const fs::path kept = folder / ("kept" + std::to_string(i) + ".sbd");
        const Rows bytes = Query(archive, "SELECT hex(bytes) FROM messages WHERE momsn = " + momsn);
        ASSERT_EQ(bytes.size(), 1u);
        Bytes payload;
        for (std::size_t at = 0; at + 1 < bytes[0][0].size(); at += 2) {
            payload.push_back(
                static_cast<std::uint8_t>(std::stoi(bytes[0][0].substr(at, 2), nullptr, 16)));
        }
        WriteFile(kept, payload);
        EXPECT_EQ(RunConvert(kept), RunConvert(folder / ("sent" + std::to_string(i) + ".sbd")))
            << type;
    }
    EXPECT_EQ(server.Stop(), 0);
}

TEST(SaltmarkServer, KeepsDistinctDeliveriesOfOneMessageAndARepeatOnce)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm"});
    const Bytes payload = SmallMessage();
    const Bytes first = Framed(payload, "300234010753370", 7);
    const Bytes anHourLater = Framed(payload, "300234010753370", 8, kSessionTime + 3600);
    for (const Bytes& delivery : {first, anHourLater, first}) {
        EXPECT_EQ(Deliver(server.Port(), delivery), kConfirmed);
    }
    EXPECT_TRUE(server.WaitForLog("MOMSN 7, " + std::to_string(payload.size()) +
                                  " bytes: already archived, confirmed with status 1"))
        << server.Log();
    EXPECT_EQ(Query(archive, "SELECT momsn, session_time FROM messages ORDER BY id"),
              (Rows{{"7", "2025-12-07T09:33:20Z"}, {"8", "2025-12-07T10:33:20Z"}}));
    EXPECT_EQ(server.Stop(), 0);
}

// sbd-compose and sbd-send play the gateway, as a team tries its server before deployment.
TEST(SaltmarkServer, ToolsPlayTheGateway)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm"});
    Bytes record = SmallMessage();
    WriteFile(folder / "station.sbd", record);  // a whole message, framed as docs/server.md does
    record.erase(record.begin());               // the record alone, without the packet type
    WriteFile(folder / "battery.rec", record);
    const std::string compose = std::string(SBD_COMPOSE) + " --message " +
                                (folder / "station.sbd").string() + " -o " +
                                (folder / "m.sbd").string() + " --directip ";
    ASSERT_EQ(
        std::system((compose + "300234010753370,17,2025-12-07T09:33:20Z,-33.5,151.25,3").c_str()),
        0);
    EXPECT_EQ(WEXITSTATUS(std::system((compose + "30023401075337,17,0 2>/dev/null").c_str())), 2);

    const fs::path out = folder / "sent.txt";
    const std::string send = std::string(SBD_SEND) + " 127.0.0.1:" + std::to_string(server.Port()) +
                             " " + (folder / "m.sbd").string() + " " +
                             (folder / "battery.rec").string() + " >" + out.string();
    EXPECT_EQ(WEXITSTATUS(std::system(send.c_str())), 1)
        << "the bare record is no DirectIP message";
    EXPECT_EQ(ReadText(out), (folder / "m.sbd").string() + ": confirmed\n" +
                                 (folder / "battery.rec").string() +
                                 ": closed without confirmation\n");
    std::string payloadHex;
    for (std::uint8_t byte : SmallMessage()) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02X", byte);
        payloadHex += digits;
    }
    EXPECT_EQ(Query(archive,
                    "SELECT imei, momsn, session_time, iridium_latitude, "
                    "iridium_longitude, iridium_cep_km, hex(bytes) FROM messages"),
              (Rows{{"300234010753370", "17", "2025-12-07T09:33:20Z", "-33.5", "151.25", "3",
                     payloadHex}}));
    EXPECT_EQ(server.Stop(), 0);
}

TEST(SaltmarkServer, UpgradesAVersionOneArchiveKeepingEveryRow)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    fs::copy_file(fs::path(ARCHIVE_TESTDATA) / "v1-archive.sqlite", archive);
    const std::string everyRow =
        "SELECT m.id, m.file_name, m.size, hex(m.bytes), m.outcome, m.imported_at,"
        " (SELECT count(*) FROM PB200 WHERE message_id = m.id) FROM messages AS m ORDER BY m.id";
    const Rows before = Query(archive, everyRow);
    ASSERT_FALSE(before.empty());

    Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm"});
    EXPECT_EQ(Deliver(server.Port(), Framed(SmallMessage(), "300234010753370", 1)), kConfirmed);
    EXPECT_EQ(server.Stop(), 0);
    EXPECT_EQ(QueryOne(archive, "PRAGMA user_version"), "5");
    Rows after = Query(archive, everyRow);
    ASSERT_EQ(after.size(), before.size() + 1);
    after.pop_back();
    EXPECT_EQ(after, before);
}

// Four senders as four gateways' connections at once; the server is killed while they send.
TEST(SaltmarkServer, KillNineLosesNoConfirmedDelivery)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    constexpr int kSenders = 4;
    constexpr int kPerSender = 500;
    const Bytes payload = SmallMessage();
    const auto imeiOf = [](int sender) { return "30023401000000" + std::to_string(sender); };
    const auto sendAll = [&](int port, std::vector<std::set<int>>& confirmed,
                             std::atomic<int>& count) {
        std::vector<std::thread> senders;
        for (int s = 0; s < kSenders; ++s) {
            senders.emplace_back([&confirmed, &count, &payload, &imeiOf, port, s] {
                for (int m = 0; m < kPerSender; ++m) {
                    const auto answer =
                        Deliver(port, Framed(payload, imeiOf(s), static_cast<std::uint16_t>(m)));
                    if (answer == kConfirmed) {
                        confirmed[static_cast<std::size_t>(s)].insert(m);
                        ++count;
                    }
                }
            });
        }
        return senders;
    };

    std::vector<std::set<int>> confirmed(kSenders);
    {
        Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm"});
        std::atomic<int> count = 0;
        std::vector<std::thread> senders = sendAll(server.Port(), confirmed, count);
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (count < kSenders * kPerSender / 4 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        server.Kill();
        for (std::thread& sender : senders) {
            sender.join();
        }
        ASSERT_GT(count, 0);
        ASSERT_LT(count, kSenders * kPerSender) << "the kill came after the last delivery";
    }
    EXPECT_EQ(QueryOne(archive, "PRAGMA integrity_check"), "ok");
    std::set<std::pair<std::string, int>> archived;
    for (const auto& row : Query(archive, "SELECT imei, momsn FROM messages")) {
        archived.emplace(row[0], std::stoi(row[1]));
    }
    for (int s = 0; s < kSenders; ++s) {
        for (int m : confirmed[static_cast<std::size_t>(s)]) {
            EXPECT_TRUE(archived.count({imeiOf(s), m})) << imeiOf(s) << " MOMSN " << m;
        }
    }

    // The gateway delivers everything not confirmed again (here: everything).
    Server restarted({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm"});
    std::vector<std::set<int>> confirmedAgain(kSenders);
    std::atomic<int> count = 0;
    for (std::thread& sender : sendAll(restarted.Port(), confirmedAgain, count)) {
        sender.join();
    }
    EXPECT_EQ(count, kSenders * kPerSender);
    EXPECT_EQ(QueryOne(archive, "SELECT count(*) FROM messages"),
              std::to_string(kSenders * kPerSender));
    EXPECT_EQ(restarted.Stop(), 0);
}

// Runs as root only (it mounts a small file system).
TEST(SaltmarkServer, FullDiskRefusesToConfirmAndRecovers)
{
    const fs::path folder = FreshFolder();
    const fs::path disk = folder / "disk";
    fs::create_directories(disk);
    if (geteuid() != 0 || mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) {
        GTEST_SKIP() << "cannot mount a small tmpfs (needs root)";
    }
    struct Unmount {
        fs::path disk;
        ~Unmount() { umount2(disk.c_str(), MNT_DETACH); }
    } unmount{disk};
    const fs::path archive = disk / "archive.sqlite";
    Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm"});
    const saltmark::testing::EveryRecordMessage every(false);
    Bytes large;  // the largest of the single-record messages
    for (const Bytes& message : OneMessagePerRecordType(every)) {
        if (message.size() > large.size()) {
            large = message;
        }
    }
    ASSERT_EQ(Deliver(server.Port(), Framed(large, "300234010753370", 0)), kConfirmed);

    {
        std::ofstream filler(disk / "filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), static_cast<std::streamsize>(block.size())) &&
               filler.flush()) {
        }
    }
    std::vector<std::uint16_t> confirmed{0};
    std::optional<std::uint16_t> refused;
    for (std::uint16_t momsn = 1; momsn < 200 && !refused; ++momsn) {
        const auto answer = Deliver(server.Port(), Framed(large, "300234010753370", momsn));
        ASSERT_TRUE(answer == kConfirmed || answer == kRefused) << "MOMSN " << momsn;
        if (answer == kConfirmed) {
            confirmed.push_back(momsn);
        } else {
            refused = momsn;
        }
    }
    ASSERT_TRUE(refused) << "the full disk took every message";
    EXPECT_TRUE(server.WaitForLog("MOMSN " + std::to_string(*refused) + ", " +
                                  std::to_string(large.size()) + " bytes: not stored ("))
        << server.Log();
    EXPECT_EQ(QueryOne(archive, "PRAGMA integrity_check"), "ok");

    fs::remove(disk / "filler");
    EXPECT_EQ(Deliver(server.Port(), Framed(large, "300234010753370", *refused)), kConfirmed);
    confirmed.push_back(*refused);
    EXPECT_EQ(QueryOne(archive, "SELECT count(*) FROM messages"), std::to_string(confirmed.size()));
    EXPECT_EQ(QueryOne(archive, "PRAGMA integrity_check"), "ok");
    EXPECT_EQ(server.Stop(), 0);
}

TEST(SaltmarkServer, RefusesHostileClientsWhileServingAGoodOne)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    Server server(
        {"--archive", archive, "--directip", "127.0.0.1:0", "--confirm", "--timeout", "1"});
    const Bytes payload = SmallMessage();
    const Bytes good = Framed(payload, "300234010753370", 1);
    saltmark::DirectIpMessage headerOnly;
    headerOnly.header.imei = "300234010753370";
    headerOnly.payload = {55};
    Bytes noPayload = saltmark::ComposeDirectIp(headerOnly);
    noPayload.resize(3 + 31);
    noPayload[2] = 31;
    Bytes noHeader{1, 0, static_cast<std::uint8_t>(3 + payload.size()),
                   2, 0, static_cast<std::uint8_t>(payload.size())};
    noHeader.insert(noHeader.end(), payload.begin(), payload.end());
    Bytes wrongRevision = good;
    wrongRevision[0] = 2;

    const struct {
        const char* name;
        Bytes sent;
        std::string reason;
    } kHostile[] = {
        {"nothing", {}, "nothing received within 1 s"},
        {"too little", {1, 0}, "2 of 3 bytes received within 1 s"},
        {"too little of the body", Bytes(good.begin(), good.begin() + 10),
         "10 of " + std::to_string(good.size()) + " bytes received within 1 s"},
        {"length above the maximum", {1, 0xFF, 0xFF}, "exceeds the protocol's maximum"},
        {"wrong revision", wrongRevision, "protocol revision 2, not 1"},
        {"element past the end", {1, 0, 3, 1, 0, 28}, "runs past the end"},
        {"no header", noHeader, "no MO header"},
        {"no payload", noPayload, "no MO payload"},
    };
    std::vector<int> connections;
    for (const auto& hostile : kHostile) {
        connections.push_back(Connect(server.Port()));
        ASSERT_GE(connections.back(), 0);
        ASSERT_TRUE(hostile.sent.empty() || SendAll(connections.back(), hostile.sent));
    }
    // One byte at a time, too slowly to finish within the timeout.
    std::thread slow([&, fd = Connect(server.Port())] {
        for (std::uint8_t byte : good) {
            if (!SendAll(fd, {byte})) {
                break;
            }
            std::this_thread::sleep_for(300ms);
        }
        close(fd);
    });

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Deliver(server.Port(), good), kConfirmed);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 900ms) << "the good sender waited";

    for (std::size_t i = 0; i < std::size(kHostile); ++i) {
        EXPECT_EQ(AnswerUntilClosed(connections[i], 5s), Bytes{}) << kHostile[i].name;
        EXPECT_TRUE(server.WaitForLog(kHostile[i].reason, 1, 1s)) << kHostile[i].name << "\n"
                                                                  << server.Log();
    }
    EXPECT_TRUE(server.WaitForLog("bytes received within 1 s", 3)) << server.Log();
    slow.join();
    EXPECT_EQ(QueryOne(archive, "SELECT count(*) FROM messages"), "1");
    EXPECT_EQ(server.Stop(), 0);
}

TEST(SaltmarkServer, ServesOnlyAllowedPeers)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm", "--allow",
                   "192.0.2.0/24", "--allow", "127.0.0.2"});
    const Bytes message = Framed(SmallMessage(), "300234010753370", 1);
    for (const char* from : {"127.0.0.1", "127.0.0.2"}) {
        const int fd = Connect(server.Port(), from);
        ASSERT_GE(fd, 0);
        SendAll(fd, message);
        EXPECT_EQ(AnswerUntilClosed(fd), from == std::string("127.0.0.2") ? kConfirmed : Bytes{})
            << from;
    }
    // The refusal's log line may reach us after the closed connection does, and the listening
    // line names 127.0.0.1 too, so wait for the refusal itself.
    EXPECT_TRUE(server.WaitForLog("refused: not an allowed peer")) << server.Log();
    EXPECT_NE(server.Log().find("directip 127.0.0.1:"), std::string::npos) << server.Log();
    EXPECT_EQ(QueryOne(archive, "SELECT count(*) FROM messages"), "1");
    EXPECT_EQ(server.Stop(), 0);
}

TEST(SaltmarkServer, ImportsEachFileOfTheWatchedFolderOnce)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    const fs::path mail = folder / "mail";
    fs::create_directories(mail);
    const Bytes payload = SmallMessage();
    WriteFile(mail / "300234010753370_1.sbd", payload);  // there before the server
    WriteFile(mail / "notes.txt", payload);
    Server server({"--archive", archive, "--watch", mail});
    EXPECT_TRUE(server.WaitForLog("watch 300234010753370_1.sbd IMEI 300234010753370 MOMSN 1, " +
                                  std::to_string(payload.size()) + " bytes: archived"))
        << server.Log();

    // A mail filter writes elsewhere on the same file system and moves the file in; the same
    // attachment may come twice.
    for (int copy = 0; copy < 2; ++copy) {
        WriteFile(folder / "incoming", payload);
        fs::rename(folder / "incoming", mail / "300234010753370_2.sbd");
        EXPECT_TRUE(server.WaitForLog("watch 300234010753370_2.sbd", copy + 1)) << server.Log();
    }
    WriteFile(mail / "300234010753370_3.sbd", Framed(payload, "300234010753370", 3));
    EXPECT_TRUE(server.WaitForLog("watch 300234010753370_3.sbd IMEI")) << server.Log();
    EXPECT_TRUE(server.WaitForLog("bytes: already archived")) << server.Log();
    EXPECT_EQ(Query(archive, "SELECT file_name, momsn, source FROM messages ORDER BY id"),
              (Rows{{"300234010753370_1.sbd", "1", "file"},
                    {"300234010753370_2.sbd", "2", "file"},
                    {"300234010753370_3.sbd", "3", "file"}}));
    EXPECT_EQ(server.Log().find("notes.txt"), std::string::npos);
    EXPECT_EQ(server.Stop(), 0);
}

// A stop answers every delivery it holds, whatever other clients do: a gateway connection
// that stalls mid-message and a dashboard client that never finishes its request hold up
// nothing, and neither is taken for a delivery.
TEST(SaltmarkServer, SigtermFinishesTheMessageInFlightThenExitsZero)
{
    const fs::path folder = FreshFolder();
    const fs::path archive = folder / "archive.sqlite";
    Server server({"--archive", archive, "--directip", "127.0.0.1:0", "--confirm", "--http",
                   "127.0.0.1:0", "--timeout", "3"});
    const std::string marker = "http listening on 127.0.0.1:";
    ASSERT_TRUE(server.WaitForLog(marker));
    const std::string log = server.Log();
    const int httpPort = std::stoi(log.substr(log.find(marker) + marker.size()));
    const int slowHttp = Connect(httpPort);
    ASSERT_TRUE(SendAll(slowHttp, {'G', 'E', 'T', ' ', '/'}));

    const Bytes message = Framed(SmallMessage(), "300234010753370", 1);
    const Bytes stalled = Framed(SmallMessage(), "300234010753370", 2);
    const auto firstHalf = [](const Bytes& bytes) {
        return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2));
    };
    const int fd = Connect(server.Port());
    const int stalledFd = Connect(server.Port());
    ASSERT_GE(fd, 0);
    ASSERT_GE(stalledFd, 0);
    ASSERT_TRUE(SendAll(fd, firstHalf(message)));
    ASSERT_TRUE(SendAll(stalledFd, firstHalf(stalled)));
    std::thread stop([&] { EXPECT_EQ(server.Stop(SIGTERM), 0); });
    ASSERT_TRUE(server.WaitForLog("stopping on SIGTERM"));
    EXPECT_LT(Connect(server.Port()), 0) << "still accepting";
    ASSERT_TRUE(SendAll(
        fd, Bytes(message.begin() + static_cast<std::ptrdiff_t>(message.size() / 2), message.end())));
    EXPECT_EQ(AnswerUntilClosed(fd), kConfirmed);
    EXPECT_EQ(AnswerUntilClosed(stalledFd), Bytes{}) << "closed unanswered";
    stop.join();
    EXPECT_EQ(QueryOne(archive, "SELECT group_concat(momsn) FROM messages"), "1");
    close(slowHttp);
}

}  // namespace
