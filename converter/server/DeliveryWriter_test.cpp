// The writer confirms a delivery only once a commit holds it: with the disk filling up and
// emptying under it, and the gateway sending each message twice at once (a retry while the
// server is slow), no delivery it reports durable is missing from the archive.

#include "DeliveryWriter.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "testing/FullDiskVfs.h"

namespace saltmark::server {
namespace {

namespace fs = std::filesystem;
using archive::testing::SetDiskFull;

constexpr const char* kImei = "300234010000007";

archive::Delivery Attachment(int momsn)
{
    const std::string name = std::string(kImei) + "_" + std::to_string(momsn) + ".sbd";
    return archive::DeliveryFromFile(name, {0x06, 0x01, 0x08, 0x00, static_cast<std::uint8_t>(momsn)});
}

bool Holds(sqlite3* db, int momsn)
{
    sqlite3_stmt* query = nullptr;
    sqlite3_prepare_v2(db, "SELECT count(*) FROM messages WHERE imei = ? AND momsn = ?", -1,
                       &query, nullptr);
    sqlite3_bind_text(query, 1, kImei, -1, SQLITE_STATIC);
    sqlite3_bind_int(query, 2, momsn);
    const bool held = sqlite3_step(query) == SQLITE_ROW && sqlite3_column_int(query, 0) == 1;
    sqlite3_finalize(query);
    return held;
}

struct Answer {
    int momsn = 0;
    std::promise<StoreOutcome> outcome;
};

TEST(DeliveryWriter, ConfirmsNoCopyOfAMessageItCouldNotStore)
{
    const fs::path folder = fs::temp_directory_path() / ("writer-test-" + std::to_string(::getpid()));
    fs::create_directories(folder);
    std::mt19937 random(24);
    int momsn = 0;
    int confirmed = 0;
    int refused = 0;
    for (int round = 0; round < 20; ++round) {
        const fs::path path = folder / ("round" + std::to_string(round) + ".db");
        SetDiskFull(false);
        std::string reason;
        auto archive = archive::Archive::Open(path, {}, reason);
        ASSERT_TRUE(archive) << reason;
        std::vector<StoreOutcome> outcomes;
        std::vector<int> numbers;
        {
            DeliveryWriter writer(*archive);
            // The disk fills and empties while the writer works, so some groups commit and
            // some do not, and a group's failure falls between the copies of a message.
            std::atomic<bool> writing{true};
            std::thread disk([&, seed = random()] {
                std::mt19937 flips(seed);
                while (writing) {
                    SetDiskFull(flips() % 2 == 0);
                    std::this_thread::sleep_for(std::chrono::microseconds(flips() % 2000));
                }
            });
            std::vector<std::future<StoreOutcome>> answers;
            for (int i = 0; i < 200; ++i, ++momsn) {
                for (int copy = 0; copy < 2; ++copy) {
                    auto answer = std::make_shared<std::promise<StoreOutcome>>();
                    answers.push_back(answer->get_future());
                    numbers.push_back(momsn);
                    writer.Submit(Attachment(momsn),
                                  [answer](StoreOutcome outcome) { answer->set_value(outcome); });
                }
            }
            for (auto& answer : answers) {
                outcomes.push_back(answer.get());
            }
            writing = false;
            disk.join();
            SetDiskFull(false);
        }
        archive.reset();
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const StoreOutcome& outcome = outcomes[i];
            if (outcome.Durable()) {
                ++confirmed;
                EXPECT_TRUE(Holds(db, numbers[i]))
                    << "MOMSN " << numbers[i] << " reported " << outcome.Text() << " but not stored";
            } else {
                ++refused;
            }
        }
        sqlite3_close(db);
    }
    fs::remove_all(folder);
    // Both paths ran: a test where the disk never filled, or never emptied, shows nothing.
    EXPECT_GT(confirmed, 0);
    EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace saltmark::server
