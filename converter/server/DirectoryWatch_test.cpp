// The folder watch in this process over a temporary folder and archive: what a hostile or
// careless writer can put into a mail folder, files written in steps, and refusals that pass.

#include "DirectoryWatch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#include "MessageFiles.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using saltmark::server::DirectoryWatch;
using saltmark::server::WatchSettings;

void WriteText(const fs::path& path, const std::string& text,
               std::ios::openmode mode = std::ios::trunc)
{
    std::ofstream(path, std::ios::binary | std::ios::out | mode) << text;
}

// The server's log goes to standard error; here into a file the test reads.
class CapturedLog {
public:
    explicit CapturedLog(const fs::path& path) : m_path(path)
    {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~CapturedLog()
    {
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
    }
    std::string Text() const
    {
        std::ifstream in(m_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::size_t Count(const std::string& text) const
    {
        const std::string log = Text();
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos;
             at = log.find(text, at + text.size())) {
            ++count;
        }
        return count;
    }

private:
    fs::path m_path;
    int m_saved = -1;
};

class DirectoryWatchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = fs::temp_directory_path() /
                   ("saltmark-watch-" + std::to_string(getpid()) + "-" +
                    ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_folder);
        fs::create_directories(m_mail = m_folder / "mail");
        m_log.emplace(m_folder / "log");
        saltmark::archive::Options options;
        options.busyTimeout = 100ms;
        std::string reason;
        m_archive = saltmark::archive::Archive::Open(m_folder / "archive.sqlite", options, reason);
        ASSERT_TRUE(m_archive) << reason;
        m_writer.emplace(*m_archive);
    }
    void TearDown() override
    {
        if (m_watch) {
            m_watch->Stop();
            m_io.run_for(5s);  // imports under way finish
        }
        m_watch.reset();
        m_writer.reset();
        m_archive.reset();
        m_log.reset();
        fs::remove_all(m_folder);
    }

    void Start(WatchSettings settings)
    {
        std::string reason;
        m_watch = DirectoryWatch::Open(m_io, m_mail, *m_writer, reason, settings);
        ASSERT_TRUE(m_watch) << reason;
        m_watch->Start();
    }

    // Runs the watch until the log holds `text` `count` times; false after a long while.
    bool RunUntilLogged(const std::string& text, std::size_t count = 1)
    {
        const auto giveUp = std::chrono::steady_clock::now() + 30s;
        while (m_log->Count(text) < count) {
            if (std::chrono::steady_clock::now() > giveUp) {
                return false;
            }
            if (m_io.stopped()) {
                m_io.restart();
            }
            m_io.run_for(20ms);
        }
        return true;
    }
    void RunFor(std::chrono::milliseconds duration) { m_io.run_for(duration); }

    std::vector<std::string> Archived()
    {
        std::vector<std::string> rows;
        sqlite3* db = nullptr;
        sqlite3_open_v2((m_folder / "archive.sqlite").c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT file_name, size FROM messages ORDER BY id", -1, &statement,
                           nullptr);
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            rows.push_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)) +
                           std::string(" ") + std::to_string(sqlite3_column_int(statement, 1)));
        }
        sqlite3_finalize(statement);
        sqlite3_close(db);
        return rows;
    }
    std::string Log() const { return m_log->Text(); }

    fs::path m_folder;
    fs::path m_mail;
    std::optional<CapturedLog> m_log;
    std::unique_ptr<saltmark::archive::Archive> m_archive;
    std::optional<saltmark::server::DeliveryWriter> m_writer;
    boost::asio::io_context m_io;
    std::unique_ptr<DirectoryWatch> m_watch;
};

// Root reads a file whatever its mode: for as long as this lives, this thread does not.
class WithoutFileAccessOverride {
public:
    WithoutFileAccessOverride()
    {
        if (geteuid() != 0) {
            m_bHolds = true;  // the mode binds this account already
            return;
        }
        if (syscall(SYS_capget, &m_header, m_saved) != 0) {
            return;
        }
        __user_cap_data_struct reduced[2] = {m_saved[0], m_saved[1]};
        reduced[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        m_bHolds = m_bDropped = syscall(SYS_capset, &m_header, reduced) == 0;
    }
    ~WithoutFileAccessOverride()
    {
        if (m_bDropped) {
            syscall(SYS_capset, &m_header, m_saved);
        }
    }
    bool Holds() const { return m_bHolds; }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[2]{};
    bool m_bDropped = false;
    bool m_bHolds = false;
};

TEST_F(DirectoryWatchTest, ReadsRegularFilesOnlyAndLivesOn)
{
    WriteText(m_folder / "secret", "not for the archive");
    fs::create_symlink(m_folder / "secret", m_mail / "secret.sbd");
    fs::create_symlink("/proc/self/pagemap", m_mail / "pagemap.sbd");
    ASSERT_EQ(mkfifo((m_mail / "pipe.sbd").c_str(), 0644), 0);
    WriteText(m_mail / "first.sbd", "first");
    WriteText(m_mail / "huge.sbd", std::string(saltmark::kLargestMessageFile + 1, 'x'));
    Start({.settle = 200ms});
    ASSERT_TRUE(RunUntilLogged("watch first.sbd, 5 bytes: archived")) << Log();

    // The same kinds appearing while the watch runs; a pipe must not hold it up.
    fs::create_symlink("/proc/self/pagemap", m_mail / "pagemap2.sbd");
    fs::create_symlink(m_folder / "secret", m_mail / "moved.sbd.tmp");
    fs::rename(m_mail / "moved.sbd.tmp", m_mail / "moved.sbd");
    ASSERT_EQ(mkfifo((m_mail / "pipe2.sbd").c_str(), 0644), 0);
    WriteText(m_folder / "incoming", "second");
    fs::rename(m_folder / "incoming", m_mail / "second.sbd");
    ASSERT_TRUE(RunUntilLogged("watch second.sbd, 6 bytes: archived")) << Log();
    // A hard link made in the folder is a file written there.
    WriteText(m_folder / "linked", "third!!");
    fs::create_hard_link(m_folder / "linked", m_mail / "third.sbd");
    ASSERT_TRUE(RunUntilLogged("watch third.sbd, 7 bytes: archived")) << Log();

    for (const char* refused :
         {"secret.sbd: not imported, a symbolic link", "pagemap.sbd: not imported, a symbolic link",
          "pagemap2.sbd: not imported, a symbolic link", "moved.sbd: not imported, a symbolic link",
          "pipe.sbd: not imported, a named pipe", "pipe2.sbd: not imported, a named pipe",
          "huge.sbd: not imported, larger than any SBD message"}) {
        EXPECT_EQ(m_log->Count(refused), 1u) << refused << "\n" << Log();
    }
    EXPECT_EQ(Archived(), (std::vector<std::string>{"first.sbd 5", "second.sbd 6", "third.sbd 7"}));
    EXPECT_TRUE(fs::is_symlink(m_mail / "secret.sbd")) << "left in place";
}

TEST_F(DirectoryWatchTest, ImportsWholeFilesAndAChangedFileAgain)
{
    Start({.settle = 1500ms});
    // Closed half written, then appended well within the settle time.
    WriteText(m_mail / "steps.sbd", "half");
    RunFor(100ms);  // the watch sees the first close
    WriteText(m_mail / "steps.sbd", " and the rest", std::ios::app);
    ASSERT_TRUE(RunUntilLogged("watch steps.sbd, 17 bytes: archived")) << Log();

    WriteText(m_mail / "steps.sbd", "rewritten");
    ASSERT_TRUE(RunUntilLogged("watch steps.sbd, 9 bytes: archived")) << Log();
    EXPECT_EQ(m_log->Count("watch steps.sbd: changed since it was imported: importing again"), 1u)
        << Log();
    EXPECT_EQ(Archived(), (std::vector<std::string>{"steps.sbd 17", "steps.sbd 9"}));
}

TEST_F(DirectoryWatchTest, TriesAgainWhileTheArchiveIsLocked)
{
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((m_folder / "archive.sqlite").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    WriteText(m_mail / "waiting.sbd", "waiting");
    Start({.settle = 0ms, .firstRetry = 50ms, .longestRetry = 200ms});
    ASSERT_TRUE(RunUntilLogged("watch waiting.sbd: not imported yet, the archive: ")) << Log();
    RunFor(500ms);  // a few more tries
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    ASSERT_TRUE(RunUntilLogged("watch waiting.sbd, 7 bytes: archived (in after ")) << Log();
    EXPECT_EQ(m_log->Count("waiting.sbd: not imported yet"), 1u) << "named once: " << Log();
    EXPECT_EQ(Archived(), (std::vector<std::string>{"waiting.sbd 7"}));
}

TEST_F(DirectoryWatchTest, ImportsAnUnreadableFileOnceItsModeIsFixed)
{
    const WithoutFileAccessOverride unprivileged;
    if (!unprivileged.Holds()) {
        GTEST_SKIP() << "cannot give up root's access to every file";
    }
    WriteText(m_mail / "private.sbd", "private");
    fs::permissions(m_mail / "private.sbd", fs::perms::none);
    // Tries again only after a minute: the change of mode alone must bring it in.
    Start({.settle = 0ms, .firstRetry = 60s, .longestRetry = 60s});
    ASSERT_TRUE(RunUntilLogged("watch private.sbd: not imported yet, Permission denied")) << Log();
    fs::permissions(m_mail / "private.sbd", fs::perms::owner_read | fs::perms::owner_write |
                                                fs::perms::group_read | fs::perms::others_read);
    ASSERT_TRUE(RunUntilLogged("watch private.sbd, 7 bytes: archived (in after 1 refused try)"))
        << Log();
}

}  // namespace
