// saltmark-server: takes a buoy's messages as Iridium pushes them (DirectIP or a service
// provider's HTTP push) and from a mail folder, and keeps every delivery in the archive,
// durably before it is acknowledged.

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Archive.h"
#include "DeliveryWriter.h"
#include "DirectIpListener.h"
#include "DirectoryWatch.h"
#include "HttpDashboard.h"
#include "NetworkAddress.h"
#include "PushListener.h"
#include "ServerLog.h"
#include "AlertDelivery.h"
#include "ServerAlerts.h"
#include "ServerDeployment.h"
#include "ServerQc.h"

namespace {

using namespace saltmark::server;

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

// The command line as the server uses it: each listener present only when asked for.
struct ServerOptions {
    std::string archivePath;
    std::optional<boost::asio::ip::tcp::endpoint> directIp;
    DirectIpSettings directIpSettings;
    std::string watchFolder;
    std::chrono::milliseconds settle{2000};
    std::optional<HttpOptions> http;
    std::optional<boost::asio::ip::tcp::endpoint> push;
    PushSettings pushSettings;
    std::string qcConfig;  // empty: no quality control
    std::string deploymentFile;  // empty: no names, no alerts
    double alertTickSeconds = 60;
    bool alertMessageClock = false;  // replays: the messages' own times are the clock
    std::string alertCredentials;  // empty: webhooks unsigned, no mail relay

    // Only the dashboard: the archive is read, never opened for writing.
    bool Receives() const { return directIp || push || !watchFolder.empty(); }
};

int Fail(const std::string& line)
{
    std::fprintf(stderr, "saltmark-server: %s\n", line.c_str());
    return kFailure;
}

// The options, or nothing with the exit status when the command line asked for help or the
// version, or is wrong (then said on standard error).
std::optional<ServerOptions> ParseOptions(int argc, char** argv, int& exitStatus)
{
    CLI::App app{
        "Receives an Orcan buoy's messages as the Iridium gateway pushes them (DirectIP), as\n"
        "a service provider pushes them over HTTP, and from a mail folder, and keeps every\n"
        "delivery in the archive.",
        "saltmark-server"};
    ServerOptions options;
    std::string directIp;
    double settleSeconds = 2;
    std::vector<std::string> allow;
    double timeoutSeconds = 30;
    std::string http;
    std::string token;
    std::string tokenFile;
    bool behindTls = false;
    std::string webFolder;
    double lateHours = 6;
    std::string push;
    std::string pushKey;
    app.add_option("--archive", options.archivePath,
                   "the SQLite archive (created, or upgraded from an older layout)")
        ->required();
    app.add_option("--directip", directIp,
                   "[ADDR:]PORT to receive DirectIP MO messages on; port 0 picks a free one");
    app.add_option("--watch", options.watchFolder,
                   "import .sbd files written or moved into this folder");
    app.add_option("--settle", settleSeconds,
                   "seconds a file written into the watched folder must stay unchanged after "
                   "it was closed before it is imported (a file renamed in is imported at once)")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    app.add_flag("--confirm", options.directIpSettings.confirm,
                 "answer each message with an MO confirmation (status 1 stored, 0 not)");
    app.add_option("--allow", allow,
                   "accept connections only from these addresses or networks (CIDR)");
    app.add_option("--timeout", timeoutSeconds, "seconds a connection has to send its message")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 86400.0));
    app.add_option("--http", http,
                   "[ADDR:]PORT of the web dashboard (address 127.0.0.1 unless given); it reads "
                   "the archive only");
    auto* tokenOption =
        app.add_option("--token", token,
                       "answer the dashboard only with this token (header or cookie), also "
                       "beyond this machine; --token-file keeps it out of ps");
    app.add_option("--token-file", tokenFile,
                   "read the dashboard's token from this file, once at start")
        ->excludes(tokenOption);
    app.add_flag("--behind-tls", behindTls,
                 "the dashboard is reached through a TLS proxy: its cookie is marked Secure");
    app.add_option("--late-after", lateHours,
                   "hours without a message after which the dashboard marks a buoy late")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 1e6));
    app.add_option("--qc", options.qcConfig,
                   "flag each buoy's values by this quality-control configuration (YAML) before "
                   "its deliveries are confirmed");
    auto* pushOption = app.add_option(
        "--push", push,
        "[ADDR:]PORT to take the HTTP push of an Iridium service provider on (POST /)");
    app.add_option("--push-key", pushKey,
                   "the provider's RSA public key (PEM): each push's JWT must verify with it")
        ->check(CLI::ExistingFile)
        ->needs(pushOption);
    app.add_option("--deployment", options.deploymentFile,
                   "the deployment file: buoy names for the dashboard, alert rules and their "
                   "channels (read again on SIGHUP)");
    app.add_option("--alert-tick", options.alertTickSeconds,
                   "seconds between the checks for silent buoys")
        ->capture_default_str()
        ->check(CLI::Range(0.01, 86400.0));
    app.add_flag("--alert-message-clock", options.alertMessageClock,
                 "judge silence by the messages' own times, the fleet's newest as now (for "
                 "replaying messages faster than they were sent)");
    app.add_option("--alert-credentials", options.alertCredentials,
                   "the webhook secret and the SMTP relay's settings (KEY = VALUE; readable by "
                   "the server only)");
    app.add_option("--web", webFolder,
                   "the folder of the dashboard's page (default: " + DefaultWebRoot().string() +
                       "; installed, the page is under share/saltmark/web of the prefix, in a "
                       "build tree in web beside the program)");
    app.set_version_flag("--version", "saltmark-server " ORCAN_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        exitStatus = status == 0 ? kSuccess : kUsage;
        return std::nullopt;
    }
    exitStatus = kUsage;
    const auto usage = [](const char* option, const std::string& reason) {
        std::fprintf(stderr, "saltmark-server: %s%s\n", option, reason.c_str());
        return std::nullopt;
    };
    if (directIp.empty() && push.empty() && options.watchFolder.empty() && http.empty()) {
        return usage("", "give --directip, --push, --watch, --http or several of them");
    }
    std::string reason;
    if (!directIp.empty()) {
        options.directIp = ParseListenAddress(directIp, reason);
        if (!options.directIp) {
            return usage("--directip: ", reason);
        }
    }
    if (!push.empty()) {
        options.push = ParseListenAddress(push, reason);
        if (!options.push) {
            return usage("--push: ", reason);
        }
        if (!pushKey.empty() &&
            !ReadTokenFile(pushKey, options.pushSettings.publicKeyPem, reason)) {
            return usage("--push-key: ", reason);
        }
    }
    options.directIpSettings.timeout =
        std::chrono::milliseconds(static_cast<std::int64_t>(timeoutSeconds * 1000));
    options.pushSettings.timeout = options.directIpSettings.timeout;
    for (const std::string& cidr : allow) {
        if (!options.directIpSettings.allow.Add(cidr, reason) ||
            !options.pushSettings.allow.Add(cidr, reason)) {
            return usage("--allow: ", reason);
        }
    }
    options.settle = std::chrono::milliseconds(static_cast<std::int64_t>(settleSeconds * 1000));
    if (!http.empty()) {
        HttpOptions& dashboard = options.http.emplace();
        // The dashboard may be given a host name (behind a proxy, say); DirectIP only an
        // address.
        unsigned port = 0;
        if (!SplitHostPort(http, "127.0.0.1", dashboard.host, port, reason)) {
            return usage("--http: ", reason);
        }
        dashboard.port = static_cast<int>(port);
        if (!tokenFile.empty() && !ReadTokenFile(tokenFile, token, reason)) {
            return usage("--token-file: ", reason);
        }
        dashboard.archive = options.archivePath;
        dashboard.token = token;
        dashboard.behindTls = behindTls;
        dashboard.webRoot = webFolder.empty() ? DefaultWebRoot() : std::filesystem::path(webFolder);
        dashboard.lateAfter = std::chrono::seconds(static_cast<std::int64_t>(lateHours * 3600));
    }
    exitStatus = kSuccess;
    return options;
}

}  // namespace

int main(int argc, char** argv)
{
    int status = kSuccess;
    const std::optional<ServerOptions> options = ParseOptions(argc, argv, status);
    if (!options) {
        return status;
    }

    // A writer waits for another (an import) about as long as the gateway waits for us.
    std::string reason;
    saltmark::archive::Options archiveOptions;
    archiveOptions.busyTimeout = options->directIpSettings.timeout;
    std::unique_ptr<saltmark::archive::Archive> archive;
    std::optional<DeliveryWriter> writer;
    std::function<void(saltmark::archive::Archive&)> qc;
    ServerDeployment deployment;
    std::unique_ptr<ServerAlerts> alerts;
    std::unique_ptr<AlertDelivery> delivery;
    DeliverySettings deliverySettings;
    if (!LoadQc(options->qcConfig, qc, reason) ||
        (!options->deploymentFile.empty() && !deployment.Load(options->deploymentFile, reason)) ||
        (!options->alertCredentials.empty() &&
         !ReadDeliverySettings(options->alertCredentials, deliverySettings, reason))) {
        std::fprintf(stderr, "saltmark-server: %s\n", reason.c_str());
        return kUsage;
    }
    if (options->Receives()) {
        archive = saltmark::archive::Archive::Open(options->archivePath, archiveOptions, reason);
        if (!archive) {
            return Fail(options->archivePath + ": " + reason);
        }
        if (qc) {
            qc(*archive);
        }
        if (!options->deploymentFile.empty()) {
            alerts = ServerAlerts::Start(
                *archive, deployment, options->archivePath, archiveOptions,
                std::chrono::milliseconds(static_cast<std::int64_t>(options->alertTickSeconds * 1000)),
                options->alertMessageClock, reason);
            delivery = alerts ? AlertDelivery::Start(options->archivePath, archiveOptions,
                                                     deliverySettings, reason)
                              : nullptr;
            if (!delivery) {
                return Fail(options->archivePath + ": " + reason);
            }
        }
        writer.emplace(*archive);
    }

    // A stop ends within --timeout whatever the gateway's connections do.
    const std::chrono::milliseconds stopGrace = options->directIpSettings.timeout;
    boost::asio::io_context io;
    std::unique_ptr<DirectIpListener> listener;
    if (options->directIp) {
        listener = DirectIpListener::Open(io, *options->directIp, options->directIpSettings,
                                          *writer, reason);
        if (!listener) {
            return Fail(reason);
        }
    }
    std::unique_ptr<HttpDashboard> dashboard;
    if (options->http) {
        // Thousands of HTTP connections, each a descriptor, must not starve DirectIP of them.
        RaiseOpenFileLimit();
        HttpOptions http = *options->http;
        if (!options->deploymentFile.empty()) {
            http.buoyNames = [&deployment] { return deployment.Names(); };
            http.deployedAt = [&deployment] { return deployment.DeployedAt(); };
            http.alertRulesFor = [&deployment](const std::string& imei) {
                return deployment.AlertRulesFor(imei);
            };
        }
        dashboard = HttpDashboard::Start(http, reason);
        if (!dashboard) {
            return Fail(reason);
        }
    }
    std::unique_ptr<PushListener> push;
    if (options->push) {
        push = PushListener::Start(options->push->address().to_string(), options->push->port(),
                                   options->pushSettings, *writer, reason);
        if (!push) {
            return Fail(reason);
        }
    }
    std::unique_ptr<DirectoryWatch> watch;
    if (!options->watchFolder.empty()) {
        watch = DirectoryWatch::Open(io, options->watchFolder, *writer, reason,
                                     {.settle = options->settle});
        if (!watch) {
            return Fail(reason);
        }
    }

    // SIGHUP: the deployment file again; a refused one leaves the one before in force.
    boost::asio::signal_set hangup(io, SIGHUP);
    std::function<void()> awaitHangup = [&] {
        hangup.async_wait([&](boost::system::error_code error, int) {
            if (!error) {
                if (!options->deploymentFile.empty()) {
                    deployment.Reload();
                }
                awaitHangup();
            }
        });
    };
    awaitHangup();

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
        if (push) {
            push->Stop();
        }
        if (watch) {
            watch->Stop();
        }
        hangup.cancel();
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
    if (push) {
        LogLine("push listening on " + push->ListeningAddress());
    }
    if (watch) {
        LogLine("watching " + options->watchFolder);
        watch->Start();
    }
    io.run();
    if (writer) {
        writer->Stop();
    }
    delivery.reset();
    alerts.reset();
    archive.reset();
    LogLine("stopped");
    return kSuccess;
}
