#pragma once
// The web dashboard: the pages (static files from one folder) and the JSON API over the
// archive, read-only, served by HttpServer on its own threads beside the DirectIP side.
//
// Who may ask: without a token only this machine (a loopback peer naming a loopback host,
// so that a web site rebinding its name to 127.0.0.1 gets nothing); with a token every peer,
// also a local one such as a reverse proxy, must send it as "Authorization: Bearer TOKEN" or
// the cookie it sets after one visit to "/?token=TOKEN". That cookie is marked Secure when the
// browser reaches the dashboard over TLS: `behindTls`, or a proxy on this machine saying so.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "AlertRules.h"
#include "HttpServer.h"

namespace saltmark::server {

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 8080;  // 0: the system picks one
    std::filesystem::path archive;
    std::filesystem::path webRoot;  // the folder of index.html and the static files
    std::string token;              // empty: this machine only
    bool behindTls = false;         // every browser comes through a TLS proxy
    std::chrono::seconds lateAfter = std::chrono::hours(6);
    HttpLimits limits;
    // The buoys' names as they are now (IMEI -> name), asked per request: they may be reloaded.
    std::function<std::map<std::string, std::string>()> buoyNames;
    // Where each buoy was deployed (IMEI -> position), asked per request likewise.
    std::function<std::map<std::string, alerts::LatLon>()> deployedAt;
    // The alert rules that hold for an IMEI, asked per request likewise.
    std::function<alerts::Rules(const std::string& imei)> alertRulesFor;
};

// The token kept in a file (so that no command line shows it), read once: the file's text
// without a trailing line end. False with `reason` when it cannot be read or is empty.
bool ReadTokenFile(const std::filesystem::path& path, std::string& token, std::string& reason);

// The folder the page is served from: `<exe dir>/web` in the build tree, else where
// `cmake --install` puts it, `<exe dir>/../share/saltmark/web`.
std::filesystem::path DefaultWebRoot();

class HttpDashboard {
public:
    // Opens the archive and binds; nothing with `reason` set when either fails. Serves on its
    // own threads until Stop() or destruction.
    static std::unique_ptr<HttpDashboard> Start(const HttpOptions& options, std::string& reason);
    ~HttpDashboard();
    HttpDashboard(const HttpDashboard&) = delete;
    HttpDashboard& operator=(const HttpDashboard&) = delete;

    // "127.0.0.1:8080", the port the system picked when 0 was asked.
    std::string ListeningAddress() const;
    void Stop();

    struct Impl;

private:
    explicit HttpDashboard(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace saltmark::server
