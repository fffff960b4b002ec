// sbd-send: plays the Iridium gateway. Each file goes to a DirectIP server over a connection
// of its own, as the gateway pushes a message, and the MO confirmation is read back when the
// server sends one. With --push it plays a service provider instead: each message is an HTTP
// POST of its envelope and its payload in hex.

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "DirectIp.h"
#include "MessageFiles.h"

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
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

// Where pushes go: "http://HOST[:PORT][/PATH]".
struct PushUrl {
    std::string host;
    std::string port = "80";
    std::string target = "/";
};

std::optional<PushUrl> ParsePushUrl(std::string_view url)
{
    constexpr std::string_view kScheme = "http://";
    if (!url.starts_with(kScheme)) {
        return std::nullopt;
    }
    url.remove_prefix(kScheme.size());
    PushUrl out;
    const std::size_t slash = url.find('/');
    if (slash != std::string_view::npos) {
        out.target = std::string(url.substr(slash));
    }
    std::string_view authority = url.substr(0, slash);
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
        out.port = std::string(authority.substr(colon + 1));
        authority = authority.substr(0, colon);
    }
    if (authority.size() > 2 && authority.front() == '[' && authority.back() == ']') {
        authority = authority.substr(1, authority.size() - 2);
    }
    out.host = std::string(authority);
    if (out.host.empty() || out.port.empty()) {
        return std::nullopt;
    }
    return out;
}

// The fields of a provider's push for one file: its DirectIP envelope when it has one, else
// IMEI and MOMSN from a "<IMEI>_<MOMSN>.sbd" name and the file's time as the transmit time.
using Fields = std::vector<std::pair<std::string, std::string>>;

std::string TransmitTime(std::int64_t secondsSince1970)
{
    const std::time_t seconds = static_cast<std::time_t>(secondsSince1970);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%y-%m-%d %H:%M:%S", &utc);
    return text;
}

std::optional<Fields> PushFields(const std::filesystem::path& file,
                                 const std::vector<std::uint8_t>& bytes, std::string& error)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const auto hex = [](const std::vector<std::uint8_t>& payload) {
        std::string text;
        for (const std::uint8_t byte : payload) {
            text += kHex[byte >> 4];
            text += kHex[byte & 15];
        }
        return text;
    };
    const saltmark::DirectIpParse framed = saltmark::ParseDirectIp(bytes);
    if (framed.message) {
        const auto& message = *framed.message;
        Fields fields{{"imei", message.header.imei},
                      {"serial", "0"},
                      {"momsn", std::to_string(message.header.momsn)},
                      {"transmit_time", TransmitTime(message.header.sessionTime)}};
        if (message.location) {
            char number[64];
            std::snprintf(number, sizeof number, "%.6f", message.location->latitude);
            fields.emplace_back("iridium_latitude", number);
            std::snprintf(number, sizeof number, "%.6f", message.location->longitude);
            fields.emplace_back("iridium_longitude", number);
            fields.emplace_back("iridium_cep", std::to_string(message.location->cepKm));
        }
        fields.emplace_back("data", hex(message.payload));
        return fields;
    }
    const std::string name = file.filename().string();
    const std::size_t underscore = name.find('_');
    const std::string momsn = underscore == 15 && name.ends_with(".sbd")
                                  ? name.substr(16, name.size() - 20)
                                  : std::string();
    if (momsn.empty() || name.substr(0, 15).find_first_not_of("0123456789") != std::string::npos ||
        momsn.find_first_not_of("0123456789") != std::string::npos) {
        error = "neither a DirectIP message nor named <IMEI>_<MOMSN>.sbd";
        return std::nullopt;
    }
    struct stat status {};
    if (stat(file.c_str(), &status) != 0) {
        error = "cannot read its modification time";
        return std::nullopt;
    }
    return Fields{{"imei", name.substr(0, 15)},
                  {"serial", "0"},
                  {"momsn", momsn},
                  {"transmit_time", TransmitTime(status.st_mtime)},
                  {"data", hex(bytes)}};
}

std::string FormEncoded(const Fields& fields)
{
    std::string body;
    for (const auto& [name, value] : fields) {
        body += (body.empty() ? "" : "&") + name + "=";
        for (const char c : value) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_') {
                body += c;
            } else {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
                body += escaped;
            }
        }
    }
    return body;
}

// Every value is digits, hex, a decimal or the time: nothing to escape.
std::string JsonObject(const Fields& fields)
{
    std::string body = "{";
    for (const auto& [name, value] : fields) {
        body += (body.size() > 1 ? ", \"" : "\"") + name + "\": \"" + value + "\"";
    }
    return body + "}";
}

// What came back for one push: "200 archived"; `accepted` when the status is 200.
std::string Push(const PushUrl& url, const std::string& body, bool json,
                 std::chrono::milliseconds timeout, bool& accepted)
{
    accepted = false;
    asio::io_context io;
    tcp::resolver resolver(io);
    boost::beast::tcp_stream stream(io);
    http::request<http::string_body> request{http::verb::post, url.target, 11};
    request.set(http::field::host, url.host + ":" + url.port);
    request.set(http::field::content_type,
                json ? "application/json" : "application/x-www-form-urlencoded");
    request.body() = body;
    request.prepare_payload();
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> response;
    std::string outcome = "timed out";

    resolver.async_resolve(
        url.host, url.port, [&](error_code error, tcp::resolver::results_type hosts) {
            if (error) {
                outcome = "cannot resolve " + url.host + ": " + error.message();
                return;
            }
            stream.async_connect(hosts, [&](error_code error, const tcp::endpoint&) {
                if (error) {
                    outcome = "cannot connect: " + error.message();
                    return;
                }
                http::async_write(stream, request, [&](error_code error, std::size_t) {
                    if (error) {
                        outcome = "not sent: " + error.message();
                        return;
                    }
                    http::async_read(stream, buffer, response, [&](error_code error, std::size_t) {
                        outcome = error ? "no answer: " + error.message() : "";
                    });
                });
            });
        });
    io.run_for(timeout);
    if (!outcome.empty()) {
        return outcome;
    }
    accepted = response.result_int() == 200;
    std::string text = response.body();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return std::to_string(response.result_int()) + " " + text;
}

// The files to send: a folder stands for its .sbd files, in name order.
std::vector<std::string> Expanded(const std::vector<std::string>& arguments)
{
    std::vector<std::string> files;
    for (const std::string& argument : arguments) {
        std::error_code error;
        if (!std::filesystem::is_directory(argument, error)) {
            files.push_back(argument);
            continue;
        }
        std::vector<std::string> inside;
        for (const auto& entry : std::filesystem::directory_iterator(argument, error)) {
            if (entry.path().extension() == ".sbd") {
                inside.push_back(entry.path().string());
            }
        }
        std::sort(inside.begin(), inside.end());
        files.insert(files.end(), inside.begin(), inside.end());
    }
    return files;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{
        "Sends each FILE to a DirectIP server as the Iridium gateway does: one connection per\n"
        "file, its bytes as they are (a DirectIP MO message, as 'sbd-compose --directip'\n"
        "writes it), then the MO confirmation is read until the server closes. One line per\n"
        "file on standard output. Exit status: 0 when every file was confirmed with status 1,\n"
        "1 when one was not (status 0, no confirmation, no connection), 2 for wrong usage.\n"
        "With --push URL, each FILE (or each .sbd file of a folder) is POSTed as a service\n"
        "provider pushes it: its DirectIP envelope, else IMEI and MOMSN from its name\n"
        "<IMEI>_<MOMSN>.sbd and its modification time; 0 when every answer was 200.",
        "sbd-send"};
    std::string server;
    std::vector<std::string> files;
    double timeoutSeconds = 60;
    std::string pushUrl;
    bool json = false;
    app.add_option("HOST:PORT", server, "the server (none with --push)")->required();
    app.add_option("FILE", files, "DirectIP messages to send");
    app.add_option("--push", pushUrl, "POST each message to this http:// URL instead");
    app.add_flag("--json", json, "with --push, send JSON rather than a form");
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
    if (!pushUrl.empty()) {
        files.insert(files.begin(), server);  // no server before the files: it is the URL
        const std::optional<PushUrl> url = ParsePushUrl(pushUrl);
        if (!url) {
            std::fprintf(stderr, "sbd-send: --push takes http://HOST[:PORT][/PATH], not '%s'\n",
                         pushUrl.c_str());
            return kUsage;
        }
        const auto timeout =
            std::chrono::milliseconds(static_cast<std::int64_t>(timeoutSeconds * 1000));
        int status = kAllConfirmed;
        for (const std::string& file : Expanded(files)) {
            std::string outcome;
            const auto bytes = saltmark::ReadMessageFile(file, outcome);
            bool accepted = false;
            if (bytes) {
                const std::optional<Fields> fields = PushFields(file, *bytes, outcome);
                if (fields) {
                    outcome = Push(*url, json ? JsonObject(*fields) : FormEncoded(*fields), json,
                                   timeout, accepted);
                }
            }
            std::printf("%s: %s\n", file.c_str(), outcome.c_str());
            std::fflush(stdout);
            if (!accepted) {
                status = kNotAllConfirmed;
            }
        }
        return status;
    }
    if (files.empty()) {
        std::fprintf(stderr, "sbd-send: FILE is required\n");
        return kUsage;
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
