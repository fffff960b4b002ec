#pragma once
// Receives DirectIP MO messages: the gateway opens one TCP connection per message, sends it,
// and (when the account asks for it) reads a confirmation before closing.
//
// Every connection is a session object that owns its buffer and its deadline; the acceptor
// goes straight back to accepting, so a slow or silent peer holds up nothing but itself.
// A message is confirmed, or its connection closed as accepted, only once the archive holds
// it durably; a message that cannot be stored gets status 0 (or no confirmation), so that the
// gateway delivers it again.

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "DeliveryWriter.h"
#include "NetworkAddress.h"

namespace saltmark::server {

struct DirectIpSettings {
    bool confirm = false;                      // answer each message with an MO confirmation
    std::chrono::milliseconds timeout{30000};  // for the whole message, and for the confirmation
    PeerFilter allow;
};

class DirectIpListener {
public:
    // Binds and listens; nothing with `reason` set when it cannot.
    static std::unique_ptr<DirectIpListener> Open(boost::asio::io_context& io,
                                                  const boost::asio::ip::tcp::endpoint& endpoint,
                                                  DirectIpSettings settings, DeliveryWriter& writer,
                                                  std::string& reason);

    boost::asio::ip::tcp::endpoint LocalEndpoint() const;
    void Start();
    // Stops accepting; connections already open finish, and those still open after `grace`
    // are closed, their messages unanswered (the gateway sends them again).
    void Stop(std::chrono::milliseconds grace);

    struct Sessions;

private:
    DirectIpListener(boost::asio::io_context& io, DirectIpSettings settings,
                     DeliveryWriter& writer);
    void Accept();

    boost::asio::ip::tcp::acceptor m_acceptor;
    boost::asio::steady_timer m_retry;  // after an accept error (no file descriptors left)
    DirectIpSettings m_settings;
    DeliveryWriter& m_writer;
    std::shared_ptr<Sessions> m_sessions;
};

}  // namespace saltmark::server
