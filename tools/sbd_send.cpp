// sbd-send: plays the Iridium gateway. Each file goes to a DirectIP server over a connection
// of its own, as the gateway pushes a message, and the MO confirmation is read back when the
// server sends one.

#include <CLI/CLI.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "DirectIp.h"
#include "MessageFiles.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

enum ExitStatus { kAllConfirmed = 0, kNotAllConfirmed = 1, kUsage = 2 };

// What came back for one file.
std::string Send(const std::string& host, const std::string& port,
                 const std::vector<std::uint8_t>& message, std::chrono::milliseconds timeout,
                 bool& confirmed)
{
    confirmed = false;
    asio::io_context io;
    tcp::resolver resolver(io);
    tcp::socket socket(io);
    std::vector<std::uint8_t> answer(64);
    std::size_t answerBytes = 0;
    std::string outcome = "timed out";

    resolver.async_resolve(host, port, [&](error_code error, tcp::resolver::results_type hosts) {
        if (error) {
            outcome = "cannot resolve " + host + ": " + error.message();
            return;
        }
        asio::async_connect(socket, hosts, [&](error_code error, const tcp::endpoint&) {
            if (error) {
                outcome = "cannot connect: " + error.message();
                return;
            }
            asio::async_write(socket, asio::buffer(message), [&](error_code error, std::size_t) {
                if (error) {
                    outcome = "not sent: " + error.message();
                    return;
                }
                // The confirmation, if any, then the server closes.
                asio::async_read(socket, asio::buffer(answer),
                                 [&](error_code error, std::size_t count) {
                                     answerBytes = count;
                                     // A server that refuses a message may close
                                     // before reading it all: the peer sees a reset.
                                     const bool closed = !error || error == asio::error::eof ||
                                                         error == asio::error::connection_reset;
                                     outcome = closed ? "" : "read failed: " + error.message();
                                 });
            });
        });
    });
    io.run_for(timeout);
    answer.resize(answerBytes);
    if (!outcome.empty() && answer.empty()) {
        return outcome;
    }
    if (answer == saltmark::DirectIpConfirmation(true)) {
        confirmed = true;
        return "confirmed";
    }
    if (answer == saltmark::DirectIpConfirmation(false)) {
        return "not confirmed (status 0: the server could not store it)";
    }
    if (answer.empty()) {
        return "closed without confirmation";
    }
    return "unexpected answer of " + std::to_string(answer.size()) + " bytes";
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Sends each FILE to a DirectIP server as the Iridium gateway does: one connection per\n"
        "file, its bytes as they are (a DirectIP MO message, as 'sbd-compose --directip'\n"
        "writes it), then the MO confirmation is read until the server closes. One line per\n"
        "file on standard output. Exit status: 0 when every file was confirmed with status 1,\n"
        "1 when one was not (status 0, no confirmation, no connection), 2 for wrong usage.",
        "sbd-send"};
    std::string server;
    std::vector<std::string> files;
    double timeoutSeconds = 60;
    app.add_option("HOST:PORT", server, "the server")->required();
    app.add_option("FILE", files, "DirectIP messages to send")->required();
    app.add_option("--timeout", timeoutSeconds, "seconds to wait for each file's answer")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 86400.0));
    app.set_version_flag("--version", "sbd-send " ORCAN_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kAllConfirmed : kUsage;
    }
    const std::size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == server.size()) {
        std::fprintf(stderr, "sbd-send: the server is HOST:PORT, not '%s'\n", server.c_str());
        return kUsage;
    }
    std::string host = server.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    const std::string port = server.substr(colon + 1);
    const auto timeout =
        std::chrono::milliseconds(static_cast<std::int64_t>(timeoutSeconds * 1000));

    int status = kAllConfirmed;
    for (const std::string& file : files) {
        std::string reason;
        const auto message = saltmark::ReadMessageFile(file, reason);
        bool confirmed = false;
        const std::string outcome =
            message ? Send(host, port, *message, timeout, confirmed) : reason;
        std::printf("%s: %s\n", file.c_str(), outcome.c_str());
        std::fflush(stdout);
        if (!confirmed) {
            status = kNotAllConfirmed;
        }
    }
    return status;
}
