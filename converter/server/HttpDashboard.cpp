#include "HttpDashboard.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "DashboardApi.h"

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

}  // namespace

std::filesystem::path DefaultWebRoot()
{
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return "web";
    }
    // The build tree keeps the page beside the program; an installed prefix keeps programs and
    // data apart, as the file-system layout wants.
    const std::filesystem::path beside = exe.parent_path() / "web";
    if (std::filesystem::is_directory(beside, ec)) {
        return beside;
    }
    return (exe.parent_path() / SALTMARK_WEB_FROM_BIN).lexically_normal();
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
    std::unique_ptr<DashboardApi> api;
    std::unique_ptr<HttpServer> http;

    bool Allowed(const HttpRequest& req, HttpResponse& res) const;
    bool OverTls(const HttpRequest& req) const;
    void Routes();
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

void HttpDashboard::Impl::Routes()
{
    http->SetGuard([this](const HttpRequest& req, HttpResponse& res) { return Allowed(req, res); });
    http->ServeFile("/", options.webRoot / "index.html");
    http->ServeFiles("/static/", options.webRoot);
    const auto handler = [this](void (DashboardApi::*route)(const HttpRequest&, HttpResponse&)
                                    const) {
        return [api = api.get(), route](const HttpRequest& req, HttpResponse& res) {
            (api->*route)(req, res);
        };
    };
    http->Route("/api/config", handler(&DashboardApi::Config));
    http->Route("/api/buoys", handler(&DashboardApi::Buoys));
    http->Route("/api/fields", handler(&DashboardApi::Fields));
    http->Route("/api/messages", handler(&DashboardApi::Messages));
    http->RoutePrefix("/api/messages/", handler(&DashboardApi::Message));
    http->Route("/api/series", handler(&DashboardApi::Series));
    http->Route("/api/track", handler(&DashboardApi::Track));
    http->Route("/api/alerts", handler(&DashboardApi::Alerts));
    http->Route("/api/fleet", handler(&DashboardApi::Fleet));
    http->RoutePrefix("/api/buoys/", handler(&DashboardApi::Health));
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
    impl->api = DashboardApi::Open(options.archive, options.lateAfter, reason);
    if (!impl->api) {
        return nullptr;
    }
    impl->api->SetBuoyNames(options.buoyNames);
    impl->api->SetDeployedAt(options.deployedAt);
    impl->api->SetAlertRules(options.alertRulesFor);
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
