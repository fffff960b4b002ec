#pragma once
// The dashboard's API, one handler per route: each reads its parameters, asks the archive's
// reader and answers with ApiJson's rendering. No sockets here: HttpDashboard routes requests
// to these, and a test calls them directly.
//
// Times in `from` and `to` are UTC like "2025-12-07T09:33:20Z"; a shorter one ("2025-12-07",
// "2025-12-07T09:33") stands for its whole span, so a bare-date `to` includes that day.

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "AlertRules.h"
#include "HttpServer.h"
#include "Reader.h"

namespace saltmark::server {

// The first and last second the text names: "2025-12-07" is 00:00:00 to 23:59:59 of that day.
// Nothing when it is no such time.
struct TimeSpan {
    double first = 0;
    double last = 0;
};
std::optional<TimeSpan> ParseTimeText(const std::string& text);

class DashboardApi {
public:
    // Nothing with `reason` set when the file is no archive the reader reads.
    static std::unique_ptr<DashboardApi> Open(const std::filesystem::path& archive,
                                              std::chrono::seconds lateAfter, std::string& reason);
    ~DashboardApi();
    DashboardApi(const DashboardApi&) = delete;
    DashboardApi& operator=(const DashboardApi&) = delete;

    // The buoys' names (IMEI -> name) as they are now; without it, answers carry no names.
    using BuoyNames = std::function<std::map<std::string, std::string>()>;
    void SetBuoyNames(BuoyNames names);
    // The deployment positions (IMEI -> where it was set) as they are now.
    using DeployedAt = std::function<std::map<std::string, alerts::LatLon>()>;
    void SetDeployedAt(DeployedAt deployed);
    // The alert rules that hold for an IMEI as they are now: the health of a buoy says which
    // records are overdue by them.
    using AlertRulesFor = std::function<alerts::Rules(const std::string& imei)>;
    void SetAlertRules(AlertRulesFor rules);

    void Config(const HttpRequest& req, HttpResponse& res) const;    // /api/config
    void Buoys(const HttpRequest& req, HttpResponse& res) const;     // /api/buoys
    void Fields(const HttpRequest& req, HttpResponse& res) const;    // /api/fields
    void Messages(const HttpRequest& req, HttpResponse& res) const;  // /api/messages
    // /api/messages/ID and its "/report", "/image", "/raw" and "/json" (req.rest: "ID/part").
    void Message(const HttpRequest& req, HttpResponse& res) const;
    void Series(const HttpRequest& req, HttpResponse& res) const;  // /api/series
    void Track(const HttpRequest& req, HttpResponse& res) const;   // /api/track
    void Alerts(const HttpRequest& req, HttpResponse& res) const;  // /api/alerts
    void Fleet(const HttpRequest& req, HttpResponse& res) const;   // /api/fleet
    // /api/buoys/BUOY/health (req.rest: "BUOY/health").
    void Health(const HttpRequest& req, HttpResponse& res) const;

    struct Impl;

private:
    explicit DashboardApi(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace saltmark::server
