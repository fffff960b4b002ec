#include "ServerDeployment.h"

#include <fstream>
#include <sstream>

#include "Deployment.h"
#include "ServerLog.h"

namespace saltmark::server {

namespace {

std::shared_ptr<const deployment::Deployment> Read(const std::filesystem::path& path,
                                                   std::string& reason)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        reason = path.string() + ": cannot be read";
        return nullptr;
    }
    std::ostringstream text;
    text << file.rdbuf();
    try {
        return std::make_shared<const deployment::Deployment>(
            deployment::ParseDeployment(text.str(), path.string()));
    } catch (const deployment::DeploymentError& error) {
        reason = error.what();
        return nullptr;
    }
}

}  // namespace

bool ServerDeployment::Load(const std::filesystem::path& path, std::string& reason)
{
    auto read = Read(path, reason);
    if (!read) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_path = path;
    m_current = std::move(read);
    return true;
}

void ServerDeployment::Reload()
{
    std::string reason;
    auto read = Read(m_path, reason);
    if (!read) {
        LogLine("deployment not reloaded, the one before stays: " + reason);
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_current = std::move(read);
    }
    LogLine("deployment reloaded from " + m_path.string());
}

std::shared_ptr<const deployment::Deployment> ServerDeployment::Current() const
{
    std::lock_guard lock(m_mutex);
    return m_current;
}

std::map<std::string, std::string> ServerDeployment::Names() const
{
    std::map<std::string, std::string> names;
    if (const auto current = Current()) {
        for (const deployment::Buoy& buoy : current->buoys) {
            if (!buoy.name.empty()) {
                names.emplace(buoy.imei, buoy.name);
            }
        }
    }
    return names;
}

std::map<std::string, alerts::LatLon> ServerDeployment::DeployedAt() const
{
    std::map<std::string, alerts::LatLon> positions;
    if (const auto current = Current()) {
        for (const deployment::Buoy& buoy : current->buoys) {
            if (buoy.latitude && buoy.longitude) {
                positions.emplace(buoy.imei, alerts::LatLon{*buoy.latitude, *buoy.longitude});
            }
        }
    }
    return positions;
}

alerts::Rules ServerDeployment::AlertRulesFor(const std::string& imei) const
{
    const auto current = Current();
    return current ? current->AlertRulesFor(imei) : alerts::Rules{};
}

}  // namespace saltmark::server
