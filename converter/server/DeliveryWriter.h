#pragma once
// The one thread that writes to the archive. SQLite blocks, so the network side never waits
// on it: connections and the folder watch hand their deliveries over and are called back once
// each is durable or has failed.
//
// Group commit: deliveries that arrive while a commit is under way go into the next
// transaction together, so many senders share one sync of the disk; each delivery is reported
// stored only after the commit that holds it succeeded. When a group's commit fails, the
// archive tries its deliveries one by one, so one that cannot be stored fails no other.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Archive.h"

namespace saltmark::server {

struct StoreOutcome {
    enum class Kind { Archived, AlreadyArchived, NotStored };
    Kind kind = Kind::NotStored;
    std::string reason;  // NotStored: why

    bool Durable() const { return kind != Kind::NotStored; }
    std::string Text() const;  // "archived", "already archived", "not stored (disk full)"
};

class DeliveryWriter {
public:
    // Called on the writer thread, exactly once per delivery.
    using Completion = std::function<void(StoreOutcome)>;

    explicit DeliveryWriter(archive::Archive& archive);
    ~DeliveryWriter();  // Stop()
    DeliveryWriter(const DeliveryWriter&) = delete;
    DeliveryWriter& operator=(const DeliveryWriter&) = delete;

    void Submit(archive::Delivery delivery, Completion done);

    // Stores everything submitted so far, then ends the thread; later submissions fail.
    void Stop();

private:
    struct Job {
        archive::Delivery delivery;
        Completion done;
    };

    void Run();
    void StoreGroup(std::vector<Job>& group);

    archive::Archive& m_archive;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_pending;
    bool m_bStopping = false;
    std::thread m_thread;
};

}  // namespace saltmark::server
