#include "HttpServer.h"

#include <sys/resource.h>

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <fstream>
#include <future>
#include <list>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "ServerLog.h"

namespace saltmark::server {

namespace {

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

// No inline script or style, nothing from elsewhere: data can never become code on the page.
constexpr const char* kContentSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

const std::array<std::pair<const char*, const char*>, 4> kEveryAnswer{{
    {"Content-Security-Policy", kContentSecurityPolicy},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
}};

// After an answer that closes the connection, what the client still sends is read and
// dropped for this long: closing with unread bytes would reset the connection, and the
// client could lose the answer (a 431 above all).
constexpr std::chrono::milliseconds kDrain{1000};
// Descriptors kept for the archive, DirectIP connections and the folder watch.
constexpr rlim_t kOtherDescriptors = 512;
// A flood would otherwise write a line per connection.
constexpr std::chrono::seconds kLogEvery{60};
constexpr std::chrono::milliseconds kAcceptRetry{100};

bool SameLetters(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> PercentDecoded(std::string_view text, bool plusIsSpace)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+' && plusIsSpace) {
            out += ' ';
        } else if (text[i] != '%') {
            out += text[i];
        } else {
            const auto hex = [](char c) -> int {
                if (c >= '0' && c <= '9') return c - '0';
                if (c >= 'a' && c <= 'f') return c - 'a' + 10;
                if (c >= 'A' && c <= 'F') return c - 'A' + 10;
                return -1;
            };
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int high = hex(text[i + 1]);
            const int low = hex(text[i + 2]);
            if (high < 0 || low < 0) {
                return std::nullopt;
            }
            out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    if (out.find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return out;
}

// "a=1&b=x%20y" as its pairs, decoded; nothing when an escape is malformed.
std::optional<HttpFields> QueryParams(std::string_view query)
{
    HttpFields params;
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const std::size_t eq = pair.find('=');
        auto name = PercentDecoded(pair.substr(0, eq), true);
        auto value = PercentDecoded(
            eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
        if (!name || !value) {
            return std::nullopt;
        }
        params.emplace_back(std::move(*name), std::move(*value));
    }
    return params;
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

// A file of `folder` named by `relative` ("vendor/uPlot.esm.js"); nothing else.
void SendFile(const std::filesystem::path& folder, const std::string& relative,
              HttpResponse& response)
{
    std::filesystem::path path = folder;
    std::istringstream segments(relative);
    std::string segment;
    while (std::getline(segments, segment, '/')) {
        if (!IsPlainSegment(segment)) {
            return response.Fail(400, "bad path");
        }
        path /= segment;
    }
    if (relative.empty() || relative.back() == '/') {
        return response.Fail(400, "bad path");
    }
    const std::optional<std::string> content = ReadFile(path);
    if (!content || !std::filesystem::is_regular_file(path)) {
        return response.Fail(404, "not found");
    }
    response.Set(*content, ContentType(path));
}

enum Phase { kIdle, kHead, kBusy, kPhases };

class Session;

// The connections of one address, by phase, each list oldest first.
struct Peer {
    std::size_t count = 0;
    std::array<std::list<Session*>, kPhases> phases;
};

}  // namespace

std::string HttpRequest::Header(std::string_view name) const
{
    for (const auto& [key, value] : headers) {
        if (SameLetters(key, name)) {
            return value;
        }
    }
    return {};
}

std::string HttpRequest::Param(std::string_view name) const
{
    for (const auto& [key, value] : params) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

bool HttpRequest::HasParam(std::string_view name) const
{
    for (const auto& param : params) {
        if (param.first == name) {
            return true;
        }
    }
    return false;
}

void HttpResponse::Set(std::string content, std::string type)
{
    body = std::move(content);
    contentType = std::move(type);
}

void HttpResponse::Fail(int statusCode, std::string_view why)
{
    status = statusCode;
    Set(std::string(why) + "\n", "text/plain; charset=utf-8");
}

void HttpResponse::Redirect(std::string location)
{
    status = 302;
    headers.emplace_back("Location", std::move(location));
    body.clear();
}

struct HttpServer::Impl {
    HttpLimits limits;
    Guard guard;
    std::map<std::string, Handler, std::less<>> routes;
    std::vector<std::pair<std::string, Handler>> prefixRoutes;

    // Declared first, destroyed last: every socket and timer below belongs to it.
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    asio::steady_timer acceptRetry{io};
    int port = 0;
    // Touched on the I/O thread only. The lists own the sessions, oldest first per phase.
    std::array<std::list<std::shared_ptr<Session>>, kPhases> phases;
    std::unordered_map<std::string, Peer> peers;
    std::size_t open = 0;
    bool stopping = false;
    Clock::time_point capLogged{};
    Clock::time_point acceptFailureLogged{};
    std::size_t evictedSinceLog = 0;

    std::unique_ptr<asio::thread_pool> workers;
    std::thread ioThread;

    void Accept();
    void Admit(tcp::socket socket);
    bool Evict(Peer* peer);
    void Enter(Session& session, Phase phase);
    void Remove(Session& session);
    HttpResponse Handle(HttpRequest request) const;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(HttpServer::Impl& server, tcp::socket socket, Peer& peer, std::string address)
        : m_server(server),
          m_socket(std::move(socket)),
          m_timer(server.io),
          m_buffer(2 * server.limits.headerBytes),
          m_peer(peer),
          m_address(std::move(address))
    {
    }

    void Start()
    {
        Arm(m_server.limits.head);
        AwaitBytes();
    }

    // Closes the connection at once, whatever it is doing; its pending operations end aborted.
    void Close()
    {
        if (m_closed) {
            return;
        }
        const auto self = shared_from_this();
        m_closed = true;
        error_code ignored;
        m_timer.cancel();
        m_socket.close(ignored);
        m_server.Remove(*this);
    }

    Peer& Owner() { return m_peer; }
    const std::string& Address() const { return m_address; }

    // Where the server keeps it: its phase, and its place in the server's and its peer's lists.
    Phase m_phase = kHead;
    std::list<std::shared_ptr<Session>>::iterator m_at;
    std::list<Session*>::iterator m_atPeer;

private:
    // One deadline at a time: re-arming cancels the previous wait, and a wait that completes
    // after it was re-armed finds its expiry in the future and leaves the connection alone.
    void Arm(std::chrono::milliseconds duration)
    {
        m_timer.expires_after(duration);
        m_timer.async_wait([self = shared_from_this()](error_code error) {
            if (!error && self->m_timer.expiry() <= Clock::now()) {
                self->Close();
            }
        });
    }

    // Reads nothing (and holds no buffer) until the client sends something.
    void AwaitBytes()
    {
        if (m_buffer.size() > 0) {
            return ReadHead();
        }
        m_socket.async_wait(tcp::socket::wait_read, [self = shared_from_this()](error_code error) {
            if (self->m_closed) {
                return;
            }
            if (error) {
                return self->Close();
            }
            self->ReadHead();
        });
    }

    void ReadHead()
    {
        // A keep-alive connection's next request: the head's deadline starts with its first byte.
        if (m_phase == kIdle) {
            m_server.Enter(*this, kHead);
            Arm(m_server.limits.head);
        }
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(m_server.limits.headerBytes));
        http::async_read_header(
            m_socket, m_buffer, *m_parser,
            [self = shared_from_this()](error_code error, std::size_t) { self->HeadRead(error); });
    }

    void HeadRead(error_code error)
    {
        if (m_closed) {
            return;
        }
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            return Refuse(431, "request header fields too large");
        }
        if (error == http::error::end_of_stream || error == http::error::partial_message ||
            (error && error.category() != make_error_code(http::error::bad_method).category())) {
            return Close();  // gone, reset, or cut off by its deadline
        }
        if (error) {
            return Refuse(400, "bad request");
        }
        const auto& head = m_parser->get();
        if (static_cast<std::size_t>(std::distance(head.begin(), head.end())) >
            m_server.limits.headerFields) {
            return Refuse(431, "too many request header fields");
        }
        m_version = head.version();
        m_keepAlive = head.keep_alive();
        m_head = head.method() == http::verb::head;
        const std::size_t bodyBytes = m_server.limits.bodyBytes;
        if (bodyBytes > 0) {
            if (head.method() != http::verb::post) {
                return Refuse(405, "only POST");
            }
            if (m_parser->content_length() && *m_parser->content_length() > bodyBytes) {
                return Refuse(413,
                              "the body is larger than " + std::to_string(bodyBytes) + " bytes");
            }
            if (!m_parser->is_done()) {
                // Still within the head's deadline, and evictable like a slow head.
                const auto expect = head[http::field::expect];
                const bool expects = SameLetters({expect.data(), expect.size()}, "100-continue");
                m_bodyParser.emplace(std::move(*m_parser));
                m_parser.reset();
                m_bodyParser->body_limit(bodyBytes);
                if (!expects) {
                    return ReadBody();
                }
                // Such a client waits for this before it sends the body (or gives up waiting).
                static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
                asio::async_write(m_socket, asio::buffer(kContinue.data(), kContinue.size()),
                                  [self = shared_from_this()](error_code error, std::size_t) {
                                      if (self->m_closed) {
                                          return;
                                      }
                                      if (error) {
                                          return self->Close();
                                      }
                                      self->ReadBody();
                                  });
                return;
            }
        } else if (head.method() != http::verb::get && head.method() != http::verb::head) {
            return Refuse(405, "only GET");
        } else if (!m_parser->is_done()) {
            return Refuse(413, "a request has no body here");
        }
        Dispatch(head, {});
    }

    void ReadBody()
    {
        http::async_read(
            m_socket, m_buffer, *m_bodyParser,
            [self = shared_from_this()](error_code error, std::size_t) { self->BodyRead(error); });
    }

    void BodyRead(error_code error)
    {
        if (m_closed) {
            return;
        }
        if (error == http::error::body_limit) {
            return Refuse(413, "the body is larger than " +
                                   std::to_string(m_server.limits.bodyBytes) + " bytes");
        }
        if (error == http::error::end_of_stream || error == http::error::partial_message ||
            (error && error.category() != make_error_code(http::error::bad_method).category())) {
            return Close();
        }
        if (error) {
            return Refuse(400, "bad request body");
        }
        auto message = m_bodyParser->release();
        m_bodyParser.reset();
        Dispatch(message.base(), std::move(message.body()));
    }

    // The request, read whole, to a worker; its answer back on the I/O thread.
    void Dispatch(const http::request_header<>& head, std::string body)
    {
        m_server.Enter(*this, kBusy);
        m_timer.cancel();
        HttpRequest request;
        request.body = std::move(body);
        request.method.assign(head.method_string().data(), head.method_string().size());
        request.peer = m_address;
        const std::string_view target(head.target().data(), head.target().size());
        const std::size_t question = target.find('?');
        const std::optional<std::string> path = PercentDecoded(target.substr(0, question), false);
        std::optional<HttpFields> params = QueryParams(
            question == std::string_view::npos ? std::string_view() : target.substr(question + 1));
        if (!path || !path->starts_with('/') || !params) {
            return Refuse(400, "bad request");
        }
        request.path = *path;
        request.params = std::move(*params);
        for (const auto& field : head) {
            request.headers.emplace_back(
                std::string(field.name_string().data(), field.name_string().size()),
                std::string(field.value().data(), field.value().size()));
        }
        m_parser.reset();
        m_bodyParser.reset();
        asio::post(
            *m_server.workers, [self = shared_from_this(), request = std::move(request)]() mutable {
                HttpResponse response = self->m_server.Handle(std::move(request));
                asio::post(self->m_server.io, [self, response = std::move(response)]() mutable {
                    self->Answer(std::move(response));
                });
            });
    }

    // Answers and closes: the rest of what the client sends is not read as a request.
    void Refuse(int status, std::string_view why)
    {
        m_server.Enter(*this, kBusy);
        m_timer.cancel();
        m_keepAlive = false;
        m_parser.reset();
        m_bodyParser.reset();
        HttpResponse response;
        response.Fail(status, why);
        Answer(std::move(response));
    }

    void Answer(HttpResponse response)
    {
        if (m_closed) {
            return;
        }
        m_response = {};
        m_response.version(m_version);
        m_response.result(static_cast<unsigned>(response.status));
        if (!response.contentType.empty()) {
            m_response.set(http::field::content_type, response.contentType);
        }
        for (const auto& [name, value] : kEveryAnswer) {
            m_response.set(name, value);
        }
        for (const auto& [name, value] : response.headers) {
            m_response.insert(name, value);
        }
        m_response.keep_alive(m_keepAlive && !m_server.stopping);
        if (m_head) {
            m_response.content_length(response.body.size());
        } else {
            m_response.body() = std::move(response.body);
            m_response.prepare_payload();
        }
        Arm(m_server.limits.write);
        http::async_write(
            m_socket, m_response,
            [self = shared_from_this()](error_code error, std::size_t) { self->Written(error); });
    }

    void Written(error_code error)
    {
        if (m_closed) {
            return;
        }
        if (error) {
            return Close();
        }
        const bool keepAlive = m_response.keep_alive();
        m_response = {};
        if (!keepAlive) {
            return Drain();
        }
        if (m_buffer.size() == 0) {
            m_buffer.shrink_to_fit();
        }
        m_head = false;
        m_server.Enter(*this, kIdle);
        Arm(m_server.limits.idle);
        AwaitBytes();
    }

    void Drain()
    {
        error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_send, ignored);
        Arm(kDrain);
        m_buffer.consume(m_buffer.size());
        DrainSome();
    }

    void DrainSome()
    {
        m_socket.async_read_some(m_buffer.prepare(4096),
                                 [self = shared_from_this()](error_code error, std::size_t) {
                                     if (error) {
                                         return self->Close();
                                     }
                                     self->DrainSome();
                                 });
    }

    HttpServer::Impl& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_timer;
    boost::beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::empty_body>> m_parser;
    std::optional<http::request_parser<http::string_body>> m_bodyParser;
    http::response<http::string_body> m_response;
    Peer& m_peer;
    std::string m_address;
    unsigned m_version = 11;
    bool m_keepAlive = false;
    bool m_head = false;
    bool m_closed = false;
};

}  // namespace

void HttpServer::Impl::Accept()
{
    acceptor.async_accept([this](error_code error, tcp::socket socket) {
        if (stopping || error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            // Out of descriptors, most likely: wait a moment rather than spin.
            if (Clock::now() - acceptFailureLogged >= kLogEvery) {
                LogLine("http: cannot accept: " + error.message());
                acceptFailureLogged = Clock::now();
            }
            acceptRetry.expires_after(kAcceptRetry);
            acceptRetry.async_wait([this](error_code waitError) {
                if (!waitError) {
                    Accept();
                }
            });
            return;
        }
        Admit(std::move(socket));
        Accept();
    });
}

void HttpServer::Impl::Admit(tcp::socket socket)
{
    error_code error;
    asio::ip::address address = socket.remote_endpoint(error).address();
    if (error) {
        return;
    }
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
    }
    std::string key = address.to_string();
    Peer& peer = peers[key];
    ++peer.count;  // first, so that evicting the peer's last other connection keeps its entry
    const bool room = (peer.count <= limits.connectionsPerPeer || Evict(&peer)) &&
                      (open < limits.connections || Evict(nullptr));
    if (!room) {
        // Every connection is being answered: nothing to give up for this one.
        if (--peer.count == 0) {
            peers.erase(key);
        }
        socket.close(error);
        return;
    }
    auto session = std::make_shared<Session>(*this, std::move(socket), peer, std::move(key));
    phases[kHead].push_back(session);
    session->m_at = std::prev(phases[kHead].end());
    peer.phases[kHead].push_back(session.get());
    session->m_atPeer = std::prev(peer.phases[kHead].end());
    ++open;
    session->Start();
}

// Closes the longest idle connection, else the one longest in its head: of `peer`, or of all.
bool HttpServer::Impl::Evict(Peer* peer)
{
    Session* victim = nullptr;
    for (const Phase phase : {kIdle, kHead}) {
        if (peer != nullptr && !peer->phases[phase].empty()) {
            victim = peer->phases[phase].front();
        } else if (peer == nullptr && !phases[phase].empty()) {
            victim = phases[phase].front().get();
        }
        if (victim != nullptr) {
            break;
        }
    }
    if (victim == nullptr) {
        return false;
    }
    victim->Close();
    ++evictedSinceLog;
    if (Clock::now() - capLogged >= kLogEvery) {
        LogLine("http: at the connection cap (" + std::to_string(open) + " open, " +
                std::to_string(limits.connections) + " at most, " +
                std::to_string(limits.connectionsPerPeer) +
                " per address): closed the longest idle or slowest " +
                std::to_string(evictedSinceLog) + " for newcomers");
        capLogged = Clock::now();
        evictedSinceLog = 0;
    }
    return true;
}

void HttpServer::Impl::Enter(Session& session, Phase phase)
{
    Peer& peer = session.Owner();
    phases[phase].splice(phases[phase].end(), phases[session.m_phase], session.m_at);
    peer.phases[phase].splice(peer.phases[phase].end(), peer.phases[session.m_phase],
                              session.m_atPeer);
    session.m_phase = phase;
}

void HttpServer::Impl::Remove(Session& session)
{
    Peer& peer = session.Owner();
    peer.phases[session.m_phase].erase(session.m_atPeer);
    --open;
    if (--peer.count == 0) {
        peers.erase(session.Address());
    }
    phases[session.m_phase].erase(session.m_at);  // may release the session: last
}

HttpResponse HttpServer::Impl::Handle(HttpRequest request) const
{
    HttpResponse response;
    try {
        if (guard && !guard(request, response)) {
            return response;
        }
        if (const auto route = routes.find(request.path); route != routes.end()) {
            route->second(request, response);
            return response;
        }
        for (const auto& [prefix, handler] : prefixRoutes) {
            if (request.path.starts_with(prefix)) {
                request.rest = request.path.substr(prefix.size());
                handler(request, response);
                return response;
            }
        }
        response.Fail(404, "not found");
    } catch (...) {
        response = {};
        response.Fail(500, "internal error");
    }
    return response;
}

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

HttpServer::~HttpServer() { Stop(); }

std::unique_ptr<HttpServer> HttpServer::Bind(const std::string& host, int port,
                                             const HttpLimits& limits, std::string& reason)
{
    auto impl = std::make_unique<Impl>();
    impl->limits = limits;
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        const rlim_t budget = files.rlim_cur > 2 * kOtherDescriptors
                                  ? files.rlim_cur - kOtherDescriptors
                                  : files.rlim_cur / 2;
        impl->limits.connections =
            std::min<std::size_t>(impl->limits.connections, static_cast<std::size_t>(budget));
    }
    impl->limits.connectionsPerPeer =
        std::min(impl->limits.connectionsPerPeer, impl->limits.connections);
    const std::string where = host + ":" + std::to_string(port);
    error_code error;
    tcp::resolver resolver(impl->io);
    const auto endpoints = resolver.resolve(host, std::to_string(port), error);
    if (error) {
        reason = "cannot listen on " + where + ": " + error.message();
        return nullptr;
    }
    for (const auto& entry : endpoints) {
        tcp::acceptor& acceptor = impl->acceptor;
        acceptor.close(error);
        if (!acceptor.open(entry.endpoint().protocol(), error) &&
            !acceptor.set_option(tcp::acceptor::reuse_address(true), error) &&
            !acceptor.bind(entry.endpoint(), error) &&
            !acceptor.listen(asio::socket_base::max_listen_connections, error)) {
            impl->port = acceptor.local_endpoint().port();
            return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
        }
    }
    reason = "cannot listen on " + where + (error ? ": " + error.message() : "");
    return nullptr;
}

void HttpServer::SetGuard(Guard guard) { m_impl->guard = std::move(guard); }

void HttpServer::Route(std::string path, Handler handler)
{
    m_impl->routes.emplace(std::move(path), std::move(handler));
}

void HttpServer::RoutePrefix(std::string prefix, Handler handler)
{
    m_impl->prefixRoutes.emplace_back(std::move(prefix), std::move(handler));
}

void HttpServer::ServeFiles(std::string prefix, std::filesystem::path folder)
{
    RoutePrefix(std::move(prefix), [folder](const HttpRequest& request, HttpResponse& response) {
        SendFile(folder, request.rest, response);
    });
}

void HttpServer::ServeFile(std::string path, std::filesystem::path file)
{
    Route(std::move(path), [file](const HttpRequest&, HttpResponse& response) {
        SendFile(file.parent_path(), file.filename().string(), response);
    });
}

void HttpServer::Start()
{
    m_impl->workers = std::make_unique<asio::thread_pool>(m_impl->limits.workers);
    m_impl->Accept();
    m_impl->ioThread = std::thread([this] { m_impl->io.run(); });
}

int HttpServer::Port() const { return m_impl->port; }

void HttpServer::Stop()
{
    if (!m_impl || !m_impl->ioThread.joinable()) {
        return;
    }
    Impl& impl = *m_impl;
    std::promise<void> closed;
    asio::post(impl.io, [&impl, &closed] {
        impl.stopping = true;
        error_code ignored;
        impl.acceptor.close(ignored);
        impl.acceptRetry.cancel();
        for (auto& phase : impl.phases) {
            while (!phase.empty()) {
                // Close() takes the session off this list.
                std::shared_ptr<Session>(phase.front())->Close();
            }
        }
        closed.set_value();
    });
    closed.get_future().wait();
    // A handler running now finishes its query; those not yet started are dropped.
    impl.workers->stop();
    impl.workers->join();
    impl.io.stop();
    impl.ioThread.join();
}

std::optional<HttpFields> FormFields(std::string_view text) { return QueryParams(text); }

void RaiseOpenFileLimit()
{
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
}

}  // namespace saltmark::server
