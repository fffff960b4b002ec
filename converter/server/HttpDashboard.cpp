#include "HttpDashboard.h"

#include <httplib.h>
#include <unistd.h>

#include <charconv>
#include <condition_variable>
#include <deque>
#include <fstream>
#include <sstream>
#include <thread>

#include "DashboardArchive.h"

namespace saltmark::server {

namespace {

constexpr std::size_t kLargestRequestBody = 4096;  // the API takes no bodies
constexpr const char* kTokenCookie = "saltmark_token";

// No inline script or style, nothing from elsewhere: data can never become code on the page.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// httplib's pool queues connections without end; this one makes the acceptor wait instead,
// so a flood of connections stays in the kernel's backlog and not in memory.
class BoundedPool : public httplib::TaskQueue {
public:
    BoundedPool(std::size_t workers, std::size_t queued) : m_queued(queued)
    {
        for (std::size_t i = 0; i < workers; ++i) {
            m_threads.emplace_back([this] { Work(); });
        }
    }
    void enqueue(std::function<void()> fn) override
    {
        std::unique_lock lock(m_mutex);
        m_roomLeft.wait(lock, [&] { return m_jobs.size() < m_queued || m_shutdown; });
        m_jobs.push_back(std::move(fn));
        m_jobReady.notify_one();
    }
    void shutdown() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_shutdown = true;
        }
        m_jobReady.notify_all();
        m_roomLeft.notify_all();
        for (std::thread& t : m_threads) {
            t.join();
        }
    }

private:
    void Work()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                m_jobReady.wait(lock, [&] { return !m_jobs.empty() || m_shutdown; });
                if (m_jobs.empty()) {
                    return;
                }
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
                m_roomLeft.notify_one();
            }
            job();
        }
    }

    std::size_t m_queued;
    std::mutex m_mutex;
    std::condition_variable m_jobReady;
    std::condition_variable m_roomLeft;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    bool m_shutdown = false;
};

bool IsLoopback(const std::string& address)
{
    return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.");
}

// The Host header names this machine: "localhost", "127.x.y.z" or "[::1]", with a port or not.
bool NamesLoopback(const std::string& host)
{
    std::string name = host;
    if (name.starts_with("[")) {
        name = name.substr(1, name.find(']') == std::string::npos ? 0 : name.find(']') - 1);
    } else if (const auto colon = name.rfind(':'); colon != std::string::npos) {
        name.resize(colon);
    }
    return name == "localhost" || name == "::1" ||
           (name.starts_with("127.") && name.find_first_not_of("0123456789.") == std::string::npos);
}

// Compares in time independent of where the first difference is.
bool SameSecret(const std::string& a, const std::string& b)
{
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    }
    return difference == 0 && !b.empty();
}

std::string CookieValue(const std::string& cookies, const std::string& name)
{
    std::istringstream in(cookies);
    std::string pair;
    while (std::getline(in, pair, ';')) {
        const auto start = pair.find_first_not_of(' ');
        if (start != std::string::npos && pair.compare(start, name.size() + 1, name + "=") == 0) {
            return pair.substr(start + name.size() + 1);
        }
    }
    return {};
}

std::optional<std::int64_t> ParseInteger(const std::string& text)
{
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

void Fail(httplib::Response& res, int status, const std::string& why)
{
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
}

void SendJson(httplib::Response& res, const nlohmann::ordered_json& json)
{
    res.set_content(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                    "application/json");
}

// A file name safe inside a Content-Disposition header: what is not plain becomes '_'.
std::string DownloadName(const std::string& name)
{
    std::string out;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        out += plain ? c : '_';
    }
    return out.empty() ? "message" : out;
}

std::optional<std::string> ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

const char* ContentType(const std::filesystem::path& path)
{
    const std::string ext = path.extension().string();
    if (ext == ".html") return "text/html; charset=utf-8";
    if (ext == ".js") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".json") return "application/json";
    if (ext == ".png") return "image/png";
    if (ext == ".svg") return "image/svg+xml";
    return "application/octet-stream";
}

// One path segment of a static file: letters, digits, '-', '_' and dots, never "." or "..".
bool IsPlainSegment(const std::string& segment)
{
    if (segment.empty() || segment == "." || segment == "..") {
        return false;
    }
    return segment.find_first_not_of(
               "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
               "0123456789-_.") == std::string::npos;
}

struct Filters {
    std::string buoy;
    TimeRange range;
};

std::optional<Filters> ReadFilters(const httplib::Request& req, httplib::Response& res)
{
    Filters filters{req.get_param_value("imei"),
                    {req.get_param_value("from"), req.get_param_value("to")}};
    for (const std::string* time : {&filters.range.from, &filters.range.to}) {
        if (!time->empty() && !IsTimeText(*time)) {
            Fail(res, 400, "from and to are UTC times like 2025-12-07T09:33:20Z");
            return std::nullopt;
        }
    }
    if (filters.buoy.size() > 32) {
        Fail(res, 400, "no such buoy");
        return std::nullopt;
    }
    return filters;
}

std::string SeriesCsv(const Series& series)
{
    std::string csv = "time,value\n";
    char number[32];
    for (std::size_t i = 0; i < series.times.size(); ++i) {
        const std::time_t t = series.times[i];
        std::tm utc{};
        gmtime_r(&t, &utc);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
        csv += stamp;
        csv += ',';
        if (series.values[i]) {
            const auto [end, ec] = std::to_chars(number, number + sizeof number, *series.values[i]);
            csv.append(number, end);
        }
        csv += '\n';
    }
    return csv;
}

// Written by hand: a chart of 100,000 points is two long number lists, and building them as
// JSON values first would cost more than the query.
std::string SeriesJson(const SeriesQuery& query, const Series& series)
{
    std::string json = nlohmann::ordered_json{{"type", query.type}, {"field", query.field}}.dump(
        -1, ' ', false, nlohmann::json::error_handler_t::replace);
    json.pop_back();
    json.reserve(json.size() + series.times.size() * 32);
    char number[32];
    json += ",\"t\":[";
    for (std::size_t i = 0; i < series.times.size(); ++i) {
        json += i ? "," : "";
        json.append(number, std::to_chars(number, number + sizeof number, series.times[i]).ptr);
    }
    json += "],\"v\":[";
    for (std::size_t i = 0; i < series.values.size(); ++i) {
        json += i ? "," : "";
        if (series.values[i]) {
            json.append(number,
                        std::to_chars(number, number + sizeof number, *series.values[i]).ptr);
        } else {
            json += "null";
        }
    }
    json += "]}";
    return json;
}

}  // namespace

std::filesystem::path DefaultWebRoot()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::path("web") : exe.parent_path() / "web";
}

struct HttpDashboard::Impl {
    HttpOptions options;
    std::unique_ptr<DashboardArchive> archive;
    httplib::Server http;
    std::thread listener;
    int port = 0;

    bool Allowed(const httplib::Request& req, httplib::Response& res) const;
    void Routes();
    void Static(const std::string& relative, httplib::Response& res) const;
};

bool HttpDashboard::Impl::Allowed(const httplib::Request& req, httplib::Response& res) const
{
    if (options.token.empty()) {
        if (IsLoopback(req.remote_addr) && NamesLoopback(req.get_header_value("Host"))) {
            return true;
        }
        Fail(res, 403, "this dashboard answers this machine only; start it with --token");
        return false;
    }
    const std::string bearer = req.get_header_value("Authorization");
    if ((bearer.starts_with("Bearer ") && SameSecret(bearer.substr(7), options.token)) ||
        SameSecret(CookieValue(req.get_header_value("Cookie"), kTokenCookie), options.token)) {
        return true;
    }
    // One visit to "/?token=TOKEN" leaves the cookie that the page's own requests carry.
    if (req.path == "/" && SameSecret(req.get_param_value("token"), options.token)) {
        res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + options.token +
                                         "; Path=/; HttpOnly; SameSite=Strict");
        res.set_redirect("/");
        return false;
    }
    Fail(res, 401, "token required");
    return false;
}

void HttpDashboard::Impl::Static(const std::string& relative, httplib::Response& res) const
{
    std::filesystem::path path = options.webRoot;
    std::istringstream segments(relative);
    std::string segment;
    while (std::getline(segments, segment, '/')) {
        if (!IsPlainSegment(segment)) {
            return Fail(res, 400, "bad path");
        }
        path /= segment;
    }
    if (!relative.empty() && relative.back() == '/') {
        return Fail(res, 400, "bad path");
    }
    const std::optional<std::string> content = ReadFile(path);
    if (!content || !std::filesystem::is_regular_file(path)) {
        return Fail(res, 404, "not found");
    }
    res.set_content(*content, ContentType(path));
}

void HttpDashboard::Impl::Routes()
{
    http.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        Static("index.html", res);
    });
    http.Get(R"(/static/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
        Static(req.matches[1], res);
    });
    http.Get("/api/config", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, {{"late_after_s", options.lateAfter.count()}});
    });
    http.Get("/api/buoys", [this](const httplib::Request&, httplib::Response& res) {
        nlohmann::ordered_json buoys = archive->Buoys();
        for (auto& buoy : buoys) {
            buoy["late"] = buoy["age_s"].is_number() &&
                           buoy["age_s"].get<std::int64_t>() > options.lateAfter.count();
        }
        SendJson(res, buoys);
    });
    http.Get("/api/fields", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, archive->Fields());
    });
    http.Get("/api/messages", [this](const httplib::Request& req, httplib::Response& res) {
        const std::optional<Filters> filters = ReadFilters(req, res);
        if (!filters) {
            return;
        }
        MessageQuery query{filters->buoy, filters->range};
        for (auto [name, target] : {std::pair{"before", &query.before}, {"after", &query.after}}) {
            if (req.has_param(name)) {
                const auto value = ParseInteger(req.get_param_value(name));
                if (!value) {
                    return Fail(res, 400, std::string(name) + " is a message id");
                }
                *target = *value;
            }
        }
        if (req.has_param("limit")) {
            const auto limit = ParseInteger(req.get_param_value("limit"));
            if (!limit || *limit < 1) {
                return Fail(res, 400, "limit is a positive count");
            }
            query.limit = static_cast<int>(std::min<std::int64_t>(*limit, 1000));
        }
        SendJson(res, archive->Messages(query));
    });
    http.Get(R"(/api/messages/(\d{1,18})(/report|/image|/raw|/json)?)",
             [this](const httplib::Request& req, httplib::Response& res) {
                 const std::optional<MessageOutputs> message =
                     archive->Message(std::stoll(req.matches[1]));
                 if (!message) {
                     return Fail(res, 404, "no such message");
                 }
                 const std::string part = req.matches[2];
                 const std::string name = DownloadName(message->baseName);
                 const auto download = [&](const char* ext) {
                     if (req.has_param("download")) {
                         res.set_header("Content-Disposition",
                                        "attachment; filename=\"" + name + ext + "\"");
                     }
                 };
                 if (part.empty() || part == "/json") {
                     download(".json");
                     return SendJson(res, message->json);
                 }
                 if (part == "/report") {
                     download(".txt");
                     return res.set_content(message->report, "text/plain; charset=utf-8");
                 }
                 if (part == "/raw") {
                     download(".sbd");
                     return res.set_content(std::string(message->sbd.begin(), message->sbd.end()),
                                            "application/octet-stream");
                 }
                 if (!message->image) {
                     return Fail(res, 404, "no image in this message");
                 }
                 download(".jpg");
                 res.set_content(std::string(message->image->begin(), message->image->end()),
                                 "image/jpeg");
             });
    http.Get("/api/series", [this](const httplib::Request& req, httplib::Response& res) {
        const std::optional<Filters> filters = ReadFilters(req, res);
        if (!filters) {
            return;
        }
        const SeriesQuery query{req.get_param_value("type"), req.get_param_value("field"),
                                filters->buoy, filters->range};
        std::string error;
        const std::optional<Series> series = archive->FieldSeries(query, error);
        if (!series) {
            return Fail(res, 404, error);
        }
        if (req.get_param_value("format") == "csv") {
            return res.set_content(SeriesCsv(*series), "text/csv; charset=utf-8");
        }
        res.set_content(SeriesJson(query, *series), "application/json");
    });
    http.Get("/api/track", [this](const httplib::Request& req, httplib::Response& res) {
        if (const std::optional<Filters> filters = ReadFilters(req, res)) {
            res.set_content(archive->Track(filters->buoy, filters->range), "application/json");
        }
    });
}

HttpDashboard::HttpDashboard(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

HttpDashboard::~HttpDashboard() { Stop(); }

std::unique_ptr<HttpDashboard> HttpDashboard::Start(const HttpOptions& options, std::string& reason)
{
    // It travels in a header and a cookie, where other characters would need quoting.
    if (options.token.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                        "0123456789-._~") != std::string::npos) {
        reason = "--token may hold only letters, digits and - . _ ~";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->archive = DashboardArchive::Open(options.archive, reason);
    if (!impl->archive) {
        return nullptr;
    }
    Impl& self = *impl;
    httplib::Server& http = self.http;
    http.new_task_queue = [&self] {
        return new BoundedPool(self.options.workers, self.options.queuedConnections);
    };
    http.set_payload_max_length(kLargestRequestBody);
    http.set_read_timeout(std::chrono::seconds(5));
    http.set_write_timeout(std::chrono::seconds(10));
    http.set_keep_alive_timeout(2);
    http.set_keep_alive_max_count(100);
    http.set_pre_routing_handler([&self](const httplib::Request& req, httplib::Response& res) {
        // The library would compress answers with brotli at its slowest setting whenever a
        // browser accepts it: seconds for a long series. Answers go out as they are (a proxy
        // in front may compress). The request object is the library's own, not a constant.
        const_cast<httplib::Request&>(req).headers.erase("Accept-Encoding");
        if (req.method != "GET" && req.method != "HEAD") {
            Fail(res, 405, "only GET");
            return httplib::Server::HandlerResponse::Handled;
        }
        return self.Allowed(req, res) ? httplib::Server::HandlerResponse::Unhandled
                                      : httplib::Server::HandlerResponse::Handled;
    });
    http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty()) {
            Fail(res, res.status, res.status == 404 ? "not found" : "bad request");
        }
    });
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { Fail(res, 500, "internal error"); });
    http.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Security-Policy", kContentSecurityPolicy);
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        res.set_header("Cache-Control", "no-store");
    });
    self.Routes();
    if (self.options.port == 0) {
        self.port = http.bind_to_any_port(self.options.host);
    } else if (http.bind_to_port(self.options.host, self.options.port)) {
        self.port = self.options.port;
    }
    if (self.port <= 0) {
        reason = "cannot listen on " + self.options.host + ":" + std::to_string(self.options.port);
        return nullptr;
    }
    self.listener = std::thread([&http] { http.listen_after_bind(); });
    return std::unique_ptr<HttpDashboard>(new HttpDashboard(std::move(impl)));
}

std::string HttpDashboard::ListeningAddress() const
{
    const std::string& host = m_impl->options.host;
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(m_impl->port);
}

void HttpDashboard::Stop()
{
    if (m_impl && m_impl->listener.joinable()) {
        m_impl->http.stop();
        m_impl->listener.join();
    }
}

}  // namespace saltmark::server
