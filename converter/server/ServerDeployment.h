#pragma once
// saltmark-server --deployment: the deployment file, read and checked whole at start, read
// again on SIGHUP. A file refused on a reload is logged and the one before stays in force, so
// that a typo made at sea never leaves the server without names or alert rules.

#include <filesystem>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "AlertRules.h"

namespace saltmark::deployment {
struct Deployment;
}

namespace saltmark::server {

class ServerDeployment {
public:
    // False with `reason` ("deployment.yaml:12: reason") when the file is refused or this
    // build reads no deployment files.
    bool Load(const std::filesystem::path& path, std::string& reason);
    void Reload();  // logs what became of it

    // The file in force, shared: a reload replaces it, never changes it under a reader.
    std::shared_ptr<const deployment::Deployment> Current() const;
    // IMEI -> name, for the buoys the file names.
    std::map<std::string, std::string> Names() const;
    // IMEI -> deployment position, for the buoys the file gives one.
    std::map<std::string, alerts::LatLon> DeployedAt() const;
    // The alert rules that hold for the IMEI: the fleet's with the buoy's own over them.
    alerts::Rules AlertRulesFor(const std::string& imei) const;

private:
    std::filesystem::path m_path;
    mutable std::mutex m_mutex;
    std::shared_ptr<const deployment::Deployment> m_current;
};

}  // namespace saltmark::server
