#pragma once
// Alerts over the archive: what the rules read of a buoy, and the alerts they open and
// resolve with their events in the outbox, all in the writer's open transaction (the
// BeforeCommit hook, so that no message is committed without the alerts it raises) or one of
// their own (the clock's). The dashboard reads them back, outbox state included.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AlertRules.h"
#include "Archive.h"

namespace saltmark::archive {

// Runs `work` in a transaction of its own, committed when it returns true.
bool InTransaction(Archive& archive, const std::function<bool(std::string&)>& work,
                   std::string& reason);

// The buoys (IMEIs) the archive has messages of.
std::optional<std::vector<std::string>> HeardBuoys(Archive& archive, std::string& reason);

// The newest message time of the whole archive (seconds since 1970), 0 for none.
std::optional<std::int64_t> NewestMessageTime(Archive& archive, std::string& reason);

// What `rules` read of the buoy, as of `now` (seconds since 1970), seeing the open batch.
std::optional<alerts::BuoyFacts> ReadAlertFacts(Archive& archive, const std::string& imei,
                                                const alerts::Rules& rules, std::int64_t now,
                                                std::string& reason);

std::optional<std::vector<alerts::OpenAlert>> ReadOpenAlerts(Archive& archive,
                                                             const std::string& imei,
                                                             std::string& reason);

// One alert event as the channels receive it.
struct AlertEvent {
    std::int64_t alert = 0;
    std::string event;  // "opened" or "resolved"
    std::string rule, buoy, detail;
    std::int64_t at = 0;       // seconds since 1970
    std::int64_t message = 0;  // the message that opened or resolved it; 0: the clock
};
using EventDocument = std::function<std::string(const AlertEvent&)>;

// Opens and resolves what the plan says, each event into the outbox once per channel
// ("webhook:<url>", "mail:<address>").
bool ApplyAlertPlan(Archive& archive, const std::string& imei, const alerts::Plan& plan,
                    std::int64_t now, const std::vector<std::string>& channels,
                    const EventDocument& document, std::string& reason);

// The outbox's events due by `now` and not delivered, oldest first; then each attempt's
// outcome: delivered, or the error and when to try again.
struct OutboxItem {
    std::int64_t id = 0;
    std::string event, channel, document;
    std::int64_t attempts = 0;
};
std::optional<std::vector<OutboxItem>> DueOutbox(Archive& archive, std::int64_t now, int limit,
                                                 std::string& reason);
bool RecordAttempt(Archive& archive, std::int64_t id, std::int64_t now,
                   const std::optional<std::string>& error, std::int64_t nextAttemptAt,
                   std::string& reason);

struct OutboxState {
    std::int64_t id = 0;
    std::string event, channel;
    std::int64_t createdAt = 0, attempts = 0;
    std::optional<std::int64_t> nextAttemptAt, deliveredAt;
    std::optional<std::string> lastError;
};

struct AlertRow {
    std::int64_t id = 0;
    std::string rule, buoy, detail;
    std::int64_t openedAt = 0;
    std::optional<std::int64_t> openedMessage, resolvedAt, resolvedMessage;
    std::vector<OutboxState> outbox;
};

struct AlertQuery {
    std::string buoy;  // empty: every buoy
    std::string rule;  // "silent", or a family "record_absent" for all its records
    std::optional<bool> open;
    int limit = 500;  // the newest first
};

// Read from a committed archive; none for an archive older than the alerts.
std::optional<std::vector<AlertRow>> ReadAlerts(const std::filesystem::path& archive,
                                                const AlertQuery& query, std::string& reason);

}  // namespace saltmark::archive
