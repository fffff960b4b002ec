#pragma once
// saltmark-server's alerts: the deployment file's rules judged for each buoy inside every
// transaction that adds its messages (so an alert and its outbox rows commit with the message
// that raised it, and a crash loses or repeats neither), and on a clock for silence, over a
// connection of the clock's own.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "Archive.h"
#include "ServerDeployment.h"

namespace saltmark::server {

class ServerAlerts {
public:
    // Judges on `archive`'s commits from now on and starts the clock, which judges every
    // buoy heard from each `tick`; nothing with `reason` when the clock's connection fails.
    // With `messageTimes` the clock is the newest message time of the fleet and silence is
    // judged by message times, not arrivals: for replaying messages faster than they were sent.
    static std::unique_ptr<ServerAlerts> Start(archive::Archive& archive,
                                               const ServerDeployment& deployment,
                                               const std::filesystem::path& path,
                                               const archive::Options& options,
                                               std::chrono::milliseconds tick,
                                               bool messageTimes, std::string& reason);
    ~ServerAlerts();  // stops the clock
    ServerAlerts(const ServerAlerts&) = delete;
    ServerAlerts& operator=(const ServerAlerts&) = delete;

    struct Impl;

private:
    explicit ServerAlerts(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace saltmark::server
