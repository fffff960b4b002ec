// saltmark-server: takes a buoy's messages as Iridium pushes them (DirectIP) and from a mail
// folder, and keeps every delivery in the archive, durably before it is acknowledged.

#include <CLI/CLI.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "Archive.h"
#include "DeliveryWriter.h"
#include "DirectIpListener.h"
#include "DirectoryWatch.h"
#include "NetworkAddress.h"
#include "ServerLog.h"

namespace {

using namespace saltmark::server;

enum ExitStatus { kSuccess = 0, kFailure = 1, kUsage = 2 };

struct ServerOptions {
    std::string archivePath;
    std::string directIp;
    std::string watchFolder;
    bool confirm = false;
    std::vector<std::string> allow;
    double timeoutSeconds = 30;
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
                   "[ADDR:]PORT to receive DirectIP MO messages on; port 0 picks a free one")
        ->required();
    app.add_option("--watch", options.watchFolder,
                   "import .sbd files written or moved into this folder");
    app.add_flag("--confirm", options.confirm,
                 "answer each message with an MO confirmation (status 1 stored, 0 not)");
    app.add_option("--allow", options.allow,
                   "accept connections only from these addresses or networks (CIDR)");
    app.add_option("--timeout", options.timeoutSeconds,
                   "seconds a connection has to send its message")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 86400.0));
    app.set_version_flag("--version", "saltmark-server " ORCAN_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kSuccess : kUsage;
    }

    std::string reason;
    const auto endpoint = ParseListenAddress(options.directIp, reason);
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
    std::unique_ptr<saltmark::archive::Archive> archive =
        saltmark::archive::Archive::Open(options.archivePath, archiveOptions, reason);
    if (!archive) {
        return Fail(options.archivePath + ": " + reason);
    }
    DeliveryWriter writer(*archive);

    boost::asio::io_context io;
    std::unique_ptr<DirectIpListener> listener =
        DirectIpListener::Open(io, *endpoint, std::move(settings), writer, reason);
    if (!listener) {
        return Fail(reason);
    }
    std::unique_ptr<DirectoryWatch> watch;
    if (!options.watchFolder.empty()) {
        watch = DirectoryWatch::Open(io, options.watchFolder, writer, reason);
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
        listener->Stop();
        if (watch) {
            watch->Stop();
        }
        LogLine(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM") +
                ": no new connections; finishing those in flight");
    });

    LogLine("directip listening on " + EndpointText(listener->LocalEndpoint()));
    listener->Start();
    if (watch) {
        LogLine("watching " + options.watchFolder);
        watch->Start();
    }
    io.run();
    writer.Stop();
    archive.reset();
    LogLine("stopped");
    return kSuccess;
}
