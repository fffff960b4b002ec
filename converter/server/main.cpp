// saltmark-server: takes a buoy's messages as Iridium pushes them (DirectIP) and from a mail
// folder, and keeps every delivery in the archive, durably before it is acknowledged.

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "Archive.h"
#include "DeliveryWriter.h"
#include "DirectIpListener.h"
#include "DirectoryWatch.h"
#include "HttpDashboard.h"
#include "NetworkAddress.h"
#include "ServerLog.h"
#include "ServerQc.h"

namespace {

using namespace saltmark::server;

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

struct ServerOptions {
    std::string archivePath;
    std::string directIp;
    std::string watchFolder;
    double settleSeconds = 2;
    bool confirm = false;
    std::vector<std::string> allow;
    double timeoutSeconds = 30;
    std::string http;
    std::string token;
    std::string tokenFile;
    bool behindTls = false;
    std::string webFolder;
    double lateHours = 6;
    std::string qcConfig;
};

int Fail(const std::string& line)
{
    std::fprintf(stderr, "saltmark-server: %s\n", line.c_str());
    return kFailure;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Receives an Orcan buoy's messages as the Iridium gateway pushes them (DirectIP) and\n"
        "from a mail folder, and keeps every delivery in the archive.",
        "saltmark-server"};
    ServerOptions options;
    app.add_option("--archive", options.archivePath,
                   "the SQLite archive (created, or upgraded from an older layout)")
        ->required();
    app.add_option("--directip", options.directIp,
                   "[ADDR:]PORT to receive DirectIP MO messages on; port 0 picks a free one");
    app.add_option("--watch", options.watchFolder,
                   "import .sbd files written or moved into this folder");
    app.add_option("--settle", options.settleSeconds,
                   "seconds a file written into the watched folder must stay unchanged after "
                   "it was closed before it is imported (a file renamed in is imported at once)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    app.add_flag("--confirm", options.confirm,
                 "answer each message with an MO confirmation (status 1 stored, 0 not)");
    app.add_option("--allow", options.allow,
                   "accept connections only from these addresses or networks (CIDR)");
    app.add_option("--timeout", options.timeoutSeconds,
                   "seconds a connection has to send its message")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 86400.0));
    app.add_option("--http", options.http,
                   "[ADDR:]PORT of the web dashboard (address 127.0.0.1 unless given); it reads "
                   "the archive only");
    auto* token = app.add_option("--token", options.token,
                                 "answer the dashboard only with this token (header or cookie), "
                                 "also beyond this machine; --token-file keeps it out of ps");
    app.add_option("--token-file", options.tokenFile,
                   "read the dashboard's token from this file, once at start")
        ->excludes(token);
    app.add_flag("--behind-tls", options.behindTls,
                 "the dashboard is reached through a TLS proxy: its cookie is marked Secure");
    app.add_option("--late-after", options.lateHours,
                   "hours without a message after which the dashboard marks a buoy late")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 1e6));
    app.add_option("--qc", options.qcConfig,
                   "flag each buoy's values by this quality-control configuration (YAML) before "
                   "its deliveries are confirmed");
    app.add_option("--web", options.webFolder,
                   "the dashboard's page (default: web beside the program)");
    app.set_version_flag("--version", "saltmark-server " ORCAN_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kSuccess : kUsage;
    }

    if (options.directIp.empty() && options.http.empty()) {
        std::fprintf(stderr, "saltmark-server: give --directip, --http or both\n");
        return kUsage;
    }
    HttpOptions http;
    std::string reason;
    // The dashboard may be given a host name (behind a proxy, say); DirectIP only an address.
    if (!options.http.empty()) {
        unsigned port = 0;
        if (!SplitHostPort(options.http, "127.0.0.1", http.host, port, reason)) {
            std::fprintf(stderr, "saltmark-server: --http: %s\n", reason.c_str());
            return kUsage;
        }
        http.port = static_cast<int>(port);
    }
    // Only the dashboard: the archive is read, never opened for writing.
    const bool receives = !options.directIp.empty() || !options.watchFolder.empty();
    const auto endpoint =
        ParseListenAddress(options.directIp.empty() ? "0" : options.directIp, reason);
    if (!endpoint) {
        std::fprintf(stderr, "saltmark-server: --directip: %s\n", reason.c_str());
        return kUsage;
    }
    DirectIpSettings settings;
    settings.confirm = options.confirm;
    settings.timeout =
        std::chrono::milliseconds(static_cast<std::int64_t>(options.timeoutSeconds * 1000));
    for (const std::string& cidr : options.allow) {
        if (!settings.allow.Add(cidr, reason)) {
            std::fprintf(stderr, "saltmark-server: --allow: %s\n", reason.c_str());
            return kUsage;
        }
    }

    // A writer waits for another (an import) about as long as the gateway waits for us.
    saltmark::archive::Options archiveOptions;
    archiveOptions.busyTimeout = settings.timeout;
    std::unique_ptr<saltmark::archive::Archive> archive;
    std::optional<DeliveryWriter> writer;
    std::function<void(saltmark::archive::Archive&)> qc;
    if (!LoadQc(options.qcConfig, qc, reason)) {
        std::fprintf(stderr, "saltmark-server: %s\n", reason.c_str());
        return kUsage;
    }
    if (receives) {
        archive = saltmark::archive::Archive::Open(options.archivePath, archiveOptions, reason);
        if (!archive) {
            return Fail(options.archivePath + ": " + reason);
        }
        if (qc) {
            qc(*archive);
        }
        writer.emplace(*archive);
    }

    // A stop ends within --timeout whatever the gateway's connections do.
    const std::chrono::milliseconds stopGrace = settings.timeout;
    boost::asio::io_context io;
    std::unique_ptr<DirectIpListener> listener;
    if (!options.directIp.empty()) {
        listener = DirectIpListener::Open(io, *endpoint, std::move(settings), *writer, reason);
        if (!listener) {
            return Fail(reason);
        }
    }
    std::unique_ptr<HttpDashboard> dashboard;
    if (!options.http.empty()) {
        // Thousands of HTTP connections, each a descriptor, must not starve DirectIP of them.
        RaiseOpenFileLimit();
        if (!options.tokenFile.empty() &&
            !ReadTokenFile(options.tokenFile, options.token, reason)) {
            std::fprintf(stderr, "saltmark-server: --token-file: %s\n", reason.c_str());
            return kUsage;
        }
        http.archive = options.archivePath;
        http.token = options.token;
        http.behindTls = options.behindTls;
        http.webRoot =
            options.webFolder.empty() ? DefaultWebRoot() : std::filesystem::path(options.webFolder);
        http.lateAfter = std::chrono::seconds(static_cast<std::int64_t>(options.lateHours * 3600));
        dashboard = HttpDashboard::Start(http, reason);
        if (!dashboard) {
            return Fail(reason);
        }
    }
    std::unique_ptr<DirectoryWatch> watch;
    if (receives && !options.watchFolder.empty()) {
        watch = DirectoryWatch::Open(io, options.watchFolder, *writer, reason,
                                     {.settle = std::chrono::milliseconds(static_cast<std::int64_t>(
                                          options.settleSeconds * 1000))});
        if (!watch) {
            return Fail(reason);
        }
    }

    // Stop taking new work; what is in flight finishes, then run() returns.
    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    signals.async_wait([&](boost::system::error_code error, int signal) {
        if (error) {
            return;
        }
        if (listener) {
            listener->Stop(stopGrace);
        }
        if (dashboard) {
            dashboard->Stop();
        }
        if (watch) {
            watch->Stop();
        }
        LogLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                ": no new connections; finishing those in flight");
    });

    if (listener) {
        LogLine("directip listening on " + EndpointText(listener->LocalEndpoint()));
        listener->Start();
    }
    if (dashboard) {
        LogLine("http listening on " + dashboard->ListeningAddress());
    }
    if (watch) {
        LogLine("watching " + options.watchFolder);
        watch->Start();
    }
    io.run();
    if (writer) {
        writer->Stop();
    }
    archive.reset();
    LogLine("stopped");
    return kSuccess;
}
