#include "ServerAlerts.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "ArchiveAlerts.h"
#include "Deployment.h"
#include "DirectIp.h"
#include "QcRows.h"
#include "ServerLog.h"

namespace saltmark::server {

namespace {

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The clock of a replay that runs the messages' own times ahead of the wall clock: the newest
// message time heard from the fleet, a buoy's newest message time as its last arrival. It only
// moves forward, so a buoy a replay has fallen behind on is judged against the fleet's pace.
struct MessageClock {
    std::atomic<std::int64_t> newest{0};

    void Heard(std::int64_t time)
    {
        std::int64_t seen = newest.load();
        while (time > seen && !newest.compare_exchange_weak(seen, time)) {
        }
    }
};

// One buoy's rules judged against its state in the open transaction.
bool Judge(archive::Archive& archive, const deployment::Deployment& deployment,
           const std::string& imei, std::int64_t now, MessageClock* messageClock,
           std::string& reason)
{
    const alerts::Rules& rules = deployment.AlertRulesFor(imei);
    if (imei == archive::kFilesBuoy) {
        return true;
    }
    auto facts = archive::ReadAlertFacts(archive, imei, rules, now, reason);
    if (facts && messageClock) {
        facts->lastReceivedAt.reset();
        if (facts->lastMessage) {
            messageClock->Heard(facts->lastMessage->time);
            facts->lastReceivedAt = facts->lastMessage->time;
        }
        now = facts->now = messageClock->newest.load();
    }
    const auto open = facts ? archive::ReadOpenAlerts(archive, imei, reason) : std::nullopt;
    if (!open) {
        return false;
    }
    const deployment::Buoy* buoy = deployment.FindBuoy(imei);
    if (buoy && buoy->latitude && buoy->longitude) {
        facts->deployedAt = alerts::LatLon{*buoy->latitude, *buoy->longitude};
    }
    std::vector<alerts::Finding> findings = alerts::Evaluate(rules, *facts);
    for (const alerts::OpenAlert& alert : *open) {
        if (!alerts::Configured(rules, alert.rule)) {
            findings.push_back({alert.rule, false, "the rule is no longer configured", 0});
        }
    }
    const alerts::Plan plan = alerts::PlanChanges(findings, *open);
    if (plan.open.empty() && plan.resolve.empty()) {
        return true;
    }
    const std::string name = buoy ? buoy->name : "";
    const auto document = [&name](const archive::AlertEvent& e) {
        nlohmann::ordered_json json = {
            {"event", e.event},   {"alert", e.alert},
            {"rule", e.rule},     {"buoy", e.buoy},
            {"name", name.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(name)},
            {"detail", e.detail}, {"at", IsoUtc(e.at)},
            {"message", e.message > 0 ? nlohmann::ordered_json(e.message)
                                      : nlohmann::ordered_json()}};
        return json.dump();
    };
    for (const alerts::Finding& f : plan.open) {
        LogLine("alert opened: " + imei + " " + f.rule + ": " + f.detail);
    }
    for (const auto& [id, f] : plan.resolve) {
        LogLine("alert " + std::to_string(id) + " resolved: " + imei + " " + f.rule + ": " +
                f.detail);
    }
    return archive::ApplyAlertPlan(archive, imei, plan, now, deployment.alertChannels, document,
                                   reason);
}

}  // namespace

struct ServerAlerts::Impl {
    const ServerDeployment* deployment = nullptr;
    std::unique_ptr<archive::Archive> clockArchive;
    std::chrono::milliseconds tick{};
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread clock;
    std::unique_ptr<MessageClock> messageClock;  // null: the wall clock

    void RunClock()
    {
        std::unique_lock lock(mutex);
        while (!wake.wait_for(lock, tick, [this] { return stopping; })) {
            lock.unlock();
            const auto current = deployment->Current();
            std::string reason;
            const bool done =
                archive::InTransaction(*clockArchive, [&](std::string& why) {
                    const auto buoys = archive::HeardBuoys(*clockArchive, why);
                    if (!buoys) {
                        return false;
                    }
                    const std::int64_t now = Now();
                    for (const std::string& imei : *buoys) {
                        if (!Judge(*clockArchive, *current, imei, now, messageClock.get(),
                                   why)) {
                            return false;
                        }
                    }
                    return true;
                }, reason);
            if (!done) {
                LogLine("alerts not judged on the clock: " + reason);
            }
            lock.lock();
        }
    }
};

ServerAlerts::ServerAlerts(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

ServerAlerts::~ServerAlerts()
{
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    m_impl->wake.notify_all();
    if (m_impl->clock.joinable()) {
        m_impl->clock.join();
    }
}

std::unique_ptr<ServerAlerts> ServerAlerts::Start(archive::Archive& archive,
                                                  const ServerDeployment& deployment,
                                                  const std::filesystem::path& path,
                                                  const archive::Options& options,
                                                  std::chrono::milliseconds tick,
                                                  bool messageTimes, std::string& reason)
{
    auto impl = std::make_unique<Impl>();
    impl->deployment = &deployment;
    impl->tick = tick;
    impl->clockArchive = archive::Archive::Open(path, options, reason);
    if (!impl->clockArchive) {
        return nullptr;
    }
    if (messageTimes) {
        impl->messageClock = std::make_unique<MessageClock>();
        const auto newest = archive::NewestMessageTime(*impl->clockArchive, reason);
        if (!newest) {
            return nullptr;
        }
        impl->messageClock->Heard(*newest);
    }
    MessageClock* messageClock = impl->messageClock.get();
    archive.AddBeforeCommit([&deployment, messageClock](archive::Archive& a,
                                          const std::vector<std::string>& buoys,
                                          std::string& why) {
        const auto current = deployment.Current();
        const std::int64_t now = Now();
        for (const std::string& imei : buoys) {
            if (!Judge(a, *current, imei, now, messageClock, why)) {
                why = "alerts: " + why;
                return false;
            }
        }
        return true;
    });
    Impl* self = impl.get();
    impl->clock = std::thread([self] { self->RunClock(); });
    return std::unique_ptr<ServerAlerts>(new ServerAlerts(std::move(impl)));
}

}  // namespace saltmark::server
