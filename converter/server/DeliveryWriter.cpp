#include "DeliveryWriter.h"

#include <algorithm>

namespace saltmark::server {

namespace {

// Bounds one transaction, so that a burst of arrivals is confirmed in steps rather than all
// after one long commit.
constexpr std::size_t kLargestGroup = 256;

StoreOutcome OutcomeOf(archive::Added added, std::string reason)
{
    switch (added) {
        case archive::Added::New:
            return {StoreOutcome::Kind::Archived, {}};
        case archive::Added::AlreadyThere:
            return {StoreOutcome::Kind::AlreadyArchived, {}};
        case archive::Added::Failed:
            break;
    }
    return {StoreOutcome::Kind::NotStored, std::move(reason)};
}

}  // namespace

std::string StoreOutcome::Text() const
{
    switch (kind) {
        case Kind::Archived:
            return "archived";
        case Kind::AlreadyArchived:
            return "already archived";
        case Kind::NotStored:
            break;
    }
    return "not stored (" + reason + ")";
}

DeliveryWriter::DeliveryWriter(archive::Archive& archive)
    : m_archive(archive), m_thread([this] { Run(); })
{
}

DeliveryWriter::~DeliveryWriter() { Stop(); }

void DeliveryWriter::Submit(archive::Delivery delivery, Completion done)
{
    {
        const std::lock_guard lock(m_mutex);
        if (!m_bStopping) {
            m_pending.push_back({std::move(delivery), std::move(done)});
            m_wake.notify_one();
            return;
        }
    }
    done({StoreOutcome::Kind::NotStored, "the server is shutting down"});
}

void DeliveryWriter::Stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void DeliveryWriter::Run()
{
    std::vector<Job> group;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_bStopping || !m_pending.empty(); });
            if (m_pending.empty()) {
                return;  // stopping, and everything submitted is stored
            }
            const std::size_t count = std::min(m_pending.size(), kLargestGroup);
            for (std::size_t i = 0; i < count; ++i) {
                group.push_back(std::move(m_pending.front()));
                m_pending.pop_front();
            }
        }
        StoreGroup(group);
        group.clear();
    }
}

void DeliveryWriter::StoreGroup(std::vector<Job>& group)
{
    std::string reason;
    if (group.size() == 1) {
        const archive::Added added = m_archive.Store(group.front().delivery, reason);
        group.front().done(OutcomeOf(added, std::move(reason)));
        return;
    }
    std::vector<StoreOutcome> outcomes;
    outcomes.reserve(group.size());
    for (const Job& job : group) {
        reason.clear();
        outcomes.push_back(OutcomeOf(m_archive.Add(job.delivery, reason), reason));
    }
    // The commit has the final word: a delivery it could not store, even one by one, is named.
    for (const archive::NotArchived& lost : m_archive.Commit().notArchived) {
        if (lost.index < outcomes.size()) {
            outcomes[lost.index] = {StoreOutcome::Kind::NotStored, lost.reason};
        }
    }
    for (std::size_t i = 0; i < group.size(); ++i) {
        group[i].done(std::move(outcomes[i]));
    }
}

}  // namespace saltmark::server
