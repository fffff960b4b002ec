#include "DirectIpListener.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <set>
#include <vector>

#include "DirectIp.h"
#include "ServerLog.h"

namespace saltmark::server {

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using boost::system::error_code;

// How long to wait before accepting again when accepting failed (out of file descriptors):
// long enough not to spin, short enough that the gateway hardly notices.
constexpr std::chrono::milliseconds kAcceptRetry{100};

std::string Seconds(std::chrono::milliseconds duration)
{
    const auto count = duration.count();
    return count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
}

class Session;

}  // namespace

// The sessions alive, so that a stop can end those that outstay it. Shared with the sessions,
// which may outlive the listener by a handler or two.
struct DirectIpListener::Sessions {
    explicit Sessions(asio::io_context& io) : stopBy(io) {}
    std::set<Session*> live;
    // Armed by a stop while sessions remain; cancelled by the last one to end, so that the
    // stop waits for nothing once they are done.
    asio::steady_timer stopBy;
    bool stopping = false;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(tcp::socket socket, const DirectIpSettings& settings, DeliveryWriter& writer,
            std::shared_ptr<DirectIpListener::Sessions> sessions)
        : m_socket(std::move(socket)),
          m_deadline(m_socket.get_executor()),
          m_settings(settings),
          m_writer(writer),
          m_sessions(std::move(sessions))
    {
        error_code ignored;
        m_peer = EndpointText(m_socket.remote_endpoint(ignored));
        m_sessions->live.insert(this);
    }
    ~Session()
    {
        m_sessions->live.erase(this);
        if (m_sessions->stopping && m_sessions->live.empty()) {
            m_sessions->stopBy.cancel();
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // The server stops and this session outstayed it: whatever it was doing ends here. A
    // message not yet answered gets no confirmation, so the gateway sends it again.
    void Abandon()
    {
        m_bAbandoned = true;
        error_code ignored;
        m_socket.close(ignored);
    }

    void Start()
    {
        ArmDeadline();
        m_message.resize(kDirectIpPreambleBytes);
        asio::async_read(m_socket, asio::buffer(m_message),
                         [self = shared_from_this()](error_code error, std::size_t count) {
                             self->PreambleRead(error, count);
                         });
    }

private:
    void ArmDeadline()
    {
        m_deadline.expires_after(m_settings.timeout);
        m_deadline.async_wait([self = shared_from_this()](error_code error) {
            if (!error) {
                self->m_bTimedOut = true;
                error_code ignored;
                self->m_socket.close(ignored);  // the pending read or write ends, aborted
            }
        });
    }

    void Refuse(const std::string& reason)
    {
        m_deadline.cancel();
        LogLine("directip " + m_peer + " refused: " + reason);
        error_code ignored;
        m_socket.close(ignored);
    }

    // Why a read stopped short, in the peer's terms.
    void RefuseShortRead(error_code error, std::size_t expected)
    {
        const std::string received = m_nReceived == 0 ? std::string("nothing")
                                                      : std::to_string(m_nReceived) + " of " +
                                                            std::to_string(expected) + " bytes";
        if (m_bAbandoned) {
            Refuse(received + " received when the server stopped");
        } else if (m_bTimedOut) {
            Refuse(received + " received within " + Seconds(m_settings.timeout));
        } else if (error == asio::error::eof) {
            Refuse("connection closed after " + received);
        } else {
            Refuse(received + " received: " + error.message());
        }
    }

    void PreambleRead(error_code error, std::size_t count)
    {
        m_nReceived += count;
        if (error) {
            RefuseShortRead(error, kDirectIpPreambleBytes);
            return;
        }
        std::string reason;
        const std::optional<std::size_t> body = DirectIpBodyLength(m_message, reason);
        if (!body) {
            Refuse(reason);
            return;
        }
        m_message.resize(kDirectIpPreambleBytes + *body);
        asio::async_read(m_socket, asio::buffer(m_message.data() + kDirectIpPreambleBytes, *body),
                         [self = shared_from_this()](error_code error, std::size_t count) {
                             self->BodyRead(error, count);
                         });
    }

    void BodyRead(error_code error, std::size_t count)
    {
        m_nReceived += count;
        if (error) {
            RefuseShortRead(error, m_message.size());
            return;
        }
        m_deadline.cancel();
        DirectIpParse parse = ParseDirectIp(m_message);
        if (!parse.message) {
            Refuse(parse.error);
            return;
        }
        const DirectIpHeader& header = parse.message->header;
        m_description = "directip " + m_peer + " IMEI " + header.imei + " MOMSN " +
                        std::to_string(header.momsn) + ", " +
                        std::to_string(parse.message->payload.size()) + " bytes: ";
        archive::Delivery delivery =
            archive::DeliveryFromDirectIp(*parse.message, std::move(m_message));
        // The store completes on the writer thread; the work guard keeps the io_context
        // running until the answer is back here, also while the server shuts down.
        auto work = std::make_shared<asio::executor_work_guard<tcp::socket::executor_type>>(
            m_socket.get_executor());
        m_writer.Submit(
            std::move(delivery), [self = shared_from_this(), work](StoreOutcome outcome) {
                asio::post(self->m_socket.get_executor(),
                           [self, work, outcome = std::move(outcome)] { self->Stored(outcome); });
            });
    }

    void Stored(const StoreOutcome& outcome)
    {
        if (!m_settings.confirm) {
            error_code ignored;
            if (!outcome.Durable()) {
                // No confirmation to say so: reset the connection rather than close it
                // normally, so the sender does not take the message as delivered.
                m_socket.set_option(asio::socket_base::linger(true, 0), ignored);
            }
            LogLine(m_description + outcome.Text() +
                    (outcome.Durable() ? "" : ", connection reset"));
            m_socket.close(ignored);
            return;
        }
        m_outcome = outcome;
        m_confirmation = DirectIpConfirmation(outcome.Durable());
        ArmDeadline();
        asio::async_write(
            m_socket, asio::buffer(m_confirmation),
            [self = shared_from_this()](error_code error, std::size_t) { self->Confirmed(error); });
    }

    void Confirmed(error_code error)
    {
        m_deadline.cancel();
        const std::string status = m_outcome.Durable() ? "1" : "0";
        LogLine(m_description + m_outcome.Text() +
                (error ? ", confirmation (status " + status + ") not sent: " +
                             (m_bAbandoned  ? "the server stopped"
                              : m_bTimedOut ? "timed out"
                                            : error.message())
                       : ", confirmed with status " + status));
        error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
    }

    tcp::socket m_socket;
    asio::steady_timer m_deadline;
    const DirectIpSettings& m_settings;
    DeliveryWriter& m_writer;
    std::string m_peer;
    std::vector<std::uint8_t> m_message;
    std::size_t m_nReceived = 0;
    bool m_bTimedOut = false;
    std::string m_description;
    StoreOutcome m_outcome;
    std::vector<std::uint8_t> m_confirmation;
    bool m_bAbandoned = false;
    std::shared_ptr<DirectIpListener::Sessions> m_sessions;
};

}  // namespace

std::unique_ptr<DirectIpListener> DirectIpListener::Open(asio::io_context& io,
                                                         const tcp::endpoint& endpoint,
                                                         DirectIpSettings settings,
                                                         DeliveryWriter& writer,
                                                         std::string& reason)
{
    std::unique_ptr<DirectIpListener> listener(
        new DirectIpListener(io, std::move(settings), writer));
    tcp::acceptor& acceptor = listener->m_acceptor;
    error_code error;
    acceptor.open(endpoint.protocol(), error);
    if (!error) {
        // A restarted server binds again at once, whatever connections of the last one linger.
        acceptor.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        acceptor.bind(endpoint, error);
    }
    if (!error) {
        acceptor.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) {
        return listener;
    }
    reason = "cannot listen on " + EndpointText(endpoint) + ": " + error.message();
    return nullptr;
}

DirectIpListener::DirectIpListener(asio::io_context& io, DirectIpSettings settings,
                                   DeliveryWriter& writer)
    : m_acceptor(io),
      m_retry(io),
      m_settings(std::move(settings)),
      m_writer(writer),
      m_sessions(std::make_shared<Sessions>(io))
{
}

tcp::endpoint DirectIpListener::LocalEndpoint() const
{
    error_code ignored;
    return m_acceptor.local_endpoint(ignored);
}

void DirectIpListener::Start() { Accept(); }

void DirectIpListener::Stop(std::chrono::milliseconds grace)
{
    error_code ignored;
    m_acceptor.close(ignored);
    m_retry.cancel();
    // Sessions under way finish within their own deadlines, which already bound them; this
    // one bounds the stop as a whole, also for a session that started its confirmation late.
    m_sessions->stopping = true;
    if (m_sessions->live.empty()) {
        return;
    }
    m_sessions->stopBy.expires_after(grace);
    m_sessions->stopBy.async_wait([sessions = m_sessions](error_code error) {
        if (error) {
            return;
        }
        // Abandoning removes nothing from the set until the session's handlers have run.
        const std::vector<Session*> outstaying(sessions->live.begin(), sessions->live.end());
        for (Session* session : outstaying) {
            session->Abandon();
        }
    });
}

void DirectIpListener::Accept()
{
    m_acceptor.async_accept([this](error_code error, tcp::socket socket) {
        if (error == asio::error::operation_aborted || !m_acceptor.is_open()) {
            return;
        }
        if (error) {
            LogLine("directip cannot accept a connection: " + error.message());
            m_retry.expires_after(kAcceptRetry);
            m_retry.async_wait([this](error_code retryError) {
                if (!retryError) {
                    Accept();
                }
            });
            return;
        }
        error_code peerError;
        const tcp::endpoint peer = socket.remote_endpoint(peerError);
        if (peerError) {
            // Gone before we looked: nothing to serve and no one to name.
        } else if (!m_settings.allow.Allows(peer.address())) {
            LogLine("directip " + EndpointText(peer) + " refused: not an allowed peer (--allow)");
            socket.close(peerError);
        } else {
            std::make_shared<Session>(std::move(socket), m_settings, m_writer, m_sessions)
                ->Start();
        }
        Accept();
    });
}

}  // namespace saltmark::server
