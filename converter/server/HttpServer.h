#pragma once
// A small HTTP/1.1 server for the dashboard: GET and HEAD only, no request bodies, answers a
// few handlers and the static files of one folder. Given a body limit it takes POST only
// instead (the push route), each body read whole within the request's deadline. Built so
// that slow or idle clients cannot starve a good one:
//
// - one I/O thread holds every connection; handlers (which read the archive) run on a small
//   worker pool, so a slow query holds up no connection and a slow connection no query;
// - a request head has one deadline for all of it, not per read, so a client that sends a
//   byte now and then is cut off all the same; its size and field count are bounded (431);
// - connections are capped per peer and in total. At the cap the newcomer is kept and the
//   connection doing least is closed instead: the longest idle keep-alive connection, else
//   the one that has been sending its head the longest. A flood of connections from one
//   address (or through a proxy, where every client is 127.0.0.1) then costs its own oldest
//   connections, and a good client still gets in;
// - Stop() closes everything at once, whatever the clients are doing.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace saltmark::server {

struct HttpLimits {
    std::chrono::milliseconds head{10000};   // to send the whole request head (and body)
    std::chrono::milliseconds idle{5000};    // a keep-alive connection between requests
    std::chrono::milliseconds write{30000};  // to take the whole answer
    std::size_t headerBytes = 8192;          // request line and header fields together
    std::size_t headerFields = 100;
    // 0: GET and HEAD only, no request bodies. Otherwise POST only, with a body up to this.
    std::size_t bodyBytes = 0;
    // A connection costs a few KB here (nothing is read for it until it sends), so these
    // stay well under the memory a small machine has; lowered to what open files allow.
    std::size_t connections = 16384;
    std::size_t connectionsPerPeer = 8192;
    std::size_t workers = 4;
};

using HttpFields = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;  // "GET" or "HEAD", or "POST": the server answers every other itself
    std::string path;    // percent-decoded
    std::string rest;    // the part of the path after a prefix route's prefix
    std::string peer;    // the peer's address: "127.0.0.1", "::1"
    HttpFields params;   // the query's, decoded, in order
    HttpFields headers;
    std::string body;  // a POST's

    // The first header or parameter of that name (headers case-insensitively); empty if none.
    std::string Header(std::string_view name) const;
    std::string Param(std::string_view name) const;
    bool HasParam(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::string contentType;
    std::string body;
    HttpFields headers;

    void Set(std::string content, std::string type);
    // A one-line text answer, as every error is.
    void Fail(int statusCode, std::string_view why);
    void Redirect(std::string location);
};

class HttpServer {
public:
    using Handler = std::function<void(const HttpRequest&, HttpResponse&)>;
    // True when the request may go on to its route; otherwise it has answered `response`.
    using Guard = std::function<bool(const HttpRequest&, HttpResponse&)>;

    // Binds to `host` (a name or an address) and `port` (0: the system picks one); nothing
    // with `reason` set when it cannot. Routes are added before Start().
    static std::unique_ptr<HttpServer> Bind(const std::string& host, int port,
                                            const HttpLimits& limits, std::string& reason);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    void SetGuard(Guard guard);
    void Route(std::string path, Handler handler);          // this path exactly
    void RoutePrefix(std::string prefix, Handler handler);  // request.rest holds the remainder
    // The files of `folder` under `prefix` ("/static/"), and one file at `path` ("/").
    void ServeFiles(std::string prefix, std::filesystem::path folder);
    void ServeFile(std::string path, std::filesystem::path file);

    void Start();
    int Port() const;
    // Stops accepting and closes every connection now; waits for the handlers running.
    void Stop();

    struct Impl;

private:
    explicit HttpServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

// "a=1&b=x%20y" (a query, a form-encoded body) as its pairs, decoded; nothing when an escape
// is malformed.
std::optional<HttpFields> FormFields(std::string_view text);

// Raises the soft limit on open files to the hard one: each connection holds a descriptor.
void RaiseOpenFileLimit();

}  // namespace saltmark::server
