#pragma once
// Receives the MO push of an Iridium service provider: an HTTP POST to "/" per message,
// form-encoded or JSON, with the session's envelope as fields and the payload in hex.
//
// A push becomes the same archive delivery a DirectIP message would (IMEI, MOMSN, the
// transmit time as the session time, the provider's position and CEP), so a provider's
// retry, or the same message also pushed over DirectIP, is stored once. The answer is 200
// only once the archive holds the message durably: anything else and the provider sends it
// again. With a public key, the provider's RS256-signed JWT must verify and vouch for the
// push's IMEI, MOMSN and payload.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "Archive.h"
#include "DeliveryWriter.h"
#include "HttpServer.h"
#include "NetworkAddress.h"

namespace saltmark::server {

struct PushSettings {
    PeerFilter allow;
    std::string publicKeyPem;       // empty: pushes are not signed
    std::size_t bodyBytes = 32768;  // a whole push: 1960 payload bytes in hex, twice with a JWT
    std::chrono::milliseconds timeout{30000};  // to send the whole request
};

// The delivery a push's fields describe; nothing with `reason` (naming the field) when a
// field is missing or malformed.
std::optional<archive::Delivery> DeliveryFromPush(const HttpFields& fields, std::string& reason);

// The fields of a push body: form-encoded, or a JSON object of strings and numbers.
std::optional<HttpFields> PushFields(const std::string& body, const std::string& contentType,
                                     std::string& reason);

class PushListener {
public:
    // Binds to `host`:`port` (0 picks one); nothing with `reason` set when it cannot, or when
    // the key is no RSA public key in PEM.
    static std::unique_ptr<PushListener> Start(const std::string& host, int port,
                                               PushSettings settings, DeliveryWriter& writer,
                                               std::string& reason);
    ~PushListener();
    std::string ListeningAddress() const;
    // Stops taking pushes; those being stored finish, their answers unsent (sent again).
    void Stop();

    struct Impl;

private:
    explicit PushListener(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace saltmark::server
