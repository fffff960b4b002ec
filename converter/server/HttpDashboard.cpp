#include "HttpDashboard.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

#include "DashboardArchive.h"

namespace saltmark::server {

namespace {

constexpr const char* kTokenCookie = "saltmark_token";

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

void SendJson(HttpResponse& res, const nlohmann::ordered_json& json)
{
    res.Set(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
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

struct Filters {
    std::string buoy;
    TimeRange range;
};

std::optional<Filters> ReadFilters(const HttpRequest& req, HttpResponse& res)
{
    Filters filters{req.Param("imei"), {req.Param("from"), req.Param("to")}};
    for (const std::string* time : {&filters.range.from, &filters.range.to}) {
        if (!time->empty() && !IsTimeText(*time)) {
            res.Fail(400, "from and to are UTC times like 2025-12-07T09:33:20Z");
            return std::nullopt;
        }
    }
    if (filters.buoy.size() > 32) {
        res.Fail(400, "no such buoy");
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

bool ReadTokenFile(const std::filesystem::path& path, std::string& token, std::string& reason)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        reason = path.string() + ": " + std::strerror(errno);
        return false;
    }
    std::string text(4096, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) {
        reason = path.string() + ": cannot be read";
        return false;
    }
    if (text.ends_with('\n')) {
        text.pop_back();
        if (text.ends_with('\r')) {
            text.pop_back();
        }
    }
    if (text.empty()) {
        reason = path.string() + ": is empty";
        return false;
    }
    token = std::move(text);
    return true;
}

struct HttpDashboard::Impl {
    HttpOptions options;
    std::unique_ptr<DashboardArchive> archive;
    std::unique_ptr<HttpServer> http;

    bool Allowed(const HttpRequest& req, HttpResponse& res) const;
    bool OverTls(const HttpRequest& req) const;
    void Routes();
    void Message(const HttpRequest& req, HttpResponse& res) const;
};

bool HttpDashboard::Impl::Allowed(const HttpRequest& req, HttpResponse& res) const
{
    if (options.token.empty()) {
        if (IsLoopback(req.peer) && NamesLoopback(req.Header("Host"))) {
            return true;
        }
        res.Fail(403, "this dashboard answers this machine only; start it with --token");
        return false;
    }
    const std::string bearer = req.Header("Authorization");
    if ((bearer.starts_with("Bearer ") && SameSecret(bearer.substr(7), options.token)) ||
        SameSecret(CookieValue(req.Header("Cookie"), kTokenCookie), options.token)) {
        return true;
    }
    // One visit to "/?token=TOKEN" leaves the cookie that the page's own requests carry.
    if (req.path == "/" && SameSecret(req.Param("token"), options.token)) {
        res.headers.emplace_back("Set-Cookie", std::string(kTokenCookie) + "=" + options.token +
                                                   "; Path=/; HttpOnly; SameSite=Strict" +
                                                   (OverTls(req) ? "; Secure" : ""));
        res.Redirect("/");
        return false;
    }
    res.Fail(401, "token required");
    return false;
}

// A proxy on this machine (the usual set-up: TLS ends in nginx on the same host) may say the
// browser came over TLS. Only a loopback peer is believed: a proxy elsewhere would mean
// trusting a header from the network, and --behind-tls says the same for every request. A
// false "https" could only make the browser keep the cookie off plain HTTP.
bool HttpDashboard::Impl::OverTls(const HttpRequest& req) const
{
    if (options.behindTls) {
        return true;
    }
    // With proxies in a chain, the first one names the browser's scheme.
    std::string proto = req.Header("X-Forwarded-Proto");
    proto.resize(std::min(proto.find(','), proto.size()));
    std::erase(proto, ' ');
    for (char& c : proto) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return IsLoopback(req.peer) && proto == "https";
}

// "/api/messages/ID" and its "/report", "/image", "/raw" and "/json".
void HttpDashboard::Impl::Message(const HttpRequest& req, HttpResponse& res) const
{
    const std::size_t digits = req.rest.find_first_not_of("0123456789");
    const std::string id = req.rest.substr(0, digits);
    const std::string part = digits == std::string::npos ? "" : req.rest.substr(digits);
    if (id.empty() || id.size() > 18 ||
        (part != "" && part != "/report" && part != "/image" && part != "/raw" &&
         part != "/json")) {
        return res.Fail(404, "not found");
    }
    const std::optional<MessageOutputs> message = archive->Message(std::stoll(id));
    if (!message) {
        return res.Fail(404, "no such message");
    }
    const std::string name = DownloadName(message->baseName);
    const auto download = [&](const char* ext) {
        if (req.HasParam("download")) {
            res.headers.emplace_back("Content-Disposition",
                                     "attachment; filename=\"" + name + ext + "\"");
        }
    };
    if (part.empty() || part == "/json") {
        download(".json");
        return SendJson(res, message->json);
    }
    if (part == "/report") {
        download(".txt");
        return res.Set(message->report, "text/plain; charset=utf-8");
    }
    if (part == "/raw") {
        download(".sbd");
        return res.Set(std::string(message->sbd.begin(), message->sbd.end()),
                       "application/octet-stream");
    }
    if (!message->image) {
        return res.Fail(404, "no image in this message");
    }
    download(".jpg");
    res.Set(std::string(message->image->begin(), message->image->end()), "image/jpeg");
}

void HttpDashboard::Impl::Routes()
{
    http->SetGuard([this](const HttpRequest& req, HttpResponse& res) { return Allowed(req, res); });
    http->ServeFile("/", options.webRoot / "index.html");
    http->ServeFiles("/static/", options.webRoot);
    http->Route("/api/config", [this](const HttpRequest&, HttpResponse& res) {
        SendJson(res, {{"late_after_s", options.lateAfter.count()}});
    });
    http->Route("/api/buoys", [this](const HttpRequest&, HttpResponse& res) {
        nlohmann::ordered_json buoys = archive->Buoys();
        for (auto& buoy : buoys) {
            buoy["late"] = buoy["age_s"].is_number() &&
                           buoy["age_s"].get<std::int64_t>() > options.lateAfter.count();
        }
        SendJson(res, buoys);
    });
    http->Route("/api/fields", [this](const HttpRequest&, HttpResponse& res) {
        SendJson(res, archive->Fields());
    });
    http->Route("/api/messages", [this](const HttpRequest& req, HttpResponse& res) {
        const std::optional<Filters> filters = ReadFilters(req, res);
        if (!filters) {
            return;
        }
        MessageQuery query{filters->buoy, filters->range};
        for (auto [name, target] : {std::pair{"before", &query.before}, {"after", &query.after}}) {
            if (req.HasParam(name)) {
                const auto value = ParseInteger(req.Param(name));
                if (!value) {
                    return res.Fail(400, std::string(name) + " is a message id");
                }
                *target = *value;
            }
        }
        if (req.HasParam("limit")) {
            const auto limit = ParseInteger(req.Param("limit"));
            if (!limit || *limit < 1) {
                return res.Fail(400, "limit is a positive count");
            }
            query.limit = static_cast<int>(std::min<std::int64_t>(*limit, 1000));
        }
        SendJson(res, archive->Messages(query));
    });
    http->RoutePrefix("/api/messages/",
                      [this](const HttpRequest& req, HttpResponse& res) { Message(req, res); });
    http->Route("/api/series", [this](const HttpRequest& req, HttpResponse& res) {
        const std::optional<Filters> filters = ReadFilters(req, res);
        if (!filters) {
            return;
        }
        const SeriesQuery query{req.Param("type"), req.Param("field"), filters->buoy,
                                filters->range};
        std::string error;
        const std::optional<Series> series = archive->FieldSeries(query, error);
        if (!series) {
            return res.Fail(404, error);
        }
        if (req.Param("format") == "csv") {
            return res.Set(SeriesCsv(*series), "text/csv; charset=utf-8");
        }
        res.Set(SeriesJson(query, *series), "application/json");
    });
    http->Route("/api/track", [this](const HttpRequest& req, HttpResponse& res) {
        if (const std::optional<Filters> filters = ReadFilters(req, res)) {
            res.Set(archive->Track(filters->buoy, filters->range), "application/json");
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
        reason = "the token may hold only letters, digits and - . _ ~";
        return nullptr;
    }
    auto impl = std::make_unique<Impl>();
    impl->options = options;
    impl->archive = DashboardArchive::Open(options.archive, reason);
    if (!impl->archive) {
        return nullptr;
    }
    impl->http = HttpServer::Bind(options.host, options.port, options.limits, reason);
    if (!impl->http) {
        return nullptr;
    }
    impl->Routes();
    impl->http->Start();
    return std::unique_ptr<HttpDashboard>(new HttpDashboard(std::move(impl)));
}

std::string HttpDashboard::ListeningAddress() const
{
    const std::string& host = m_impl->options.host;
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(m_impl->http->Port());
}

void HttpDashboard::Stop()
{
    if (m_impl && m_impl->http) {
        m_impl->http->Stop();
    }
}

}  // namespace saltmark::server
