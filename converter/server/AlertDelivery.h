#pragma once
// The alerts' outbox sent: each event to its channel, a webhook by HTTP POST (its body signed
// with HMAC-SHA256 when a secret is configured) or a mail through an SMTP relay, on a thread
// and a connection of its own. An event is marked delivered only after its channel took it,
// so it is sent at least once; a failure is tried again with a doubling backoff, and the
// times live in the archive, so a restart carries on where the last run stopped.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "Archive.h"

namespace saltmark::server {

// From a file only the server may read (no group or other permissions), KEY = VALUE lines:
//   webhook_secret = ...          signs each webhook's body (X-Saltmark-Signature: sha256=HEX)
//   smtp_url = smtp://relay.example.org:587
//   smtp_starttls = required      required (default) or no
//   smtp_user = ...   smtp_password = ...   mail_from = buoys@example.org
//   smtp_ca_file = /etc/ssl/relay-ca.pem   trust this CA for a relay with a private certificate
struct DeliverySettings {
    std::string webhookSecret;
    std::string smtpUrl;
    bool smtpStartTls = true;
    std::string smtpUser, smtpPassword, mailFrom, smtpCaFile;
    std::chrono::seconds firstRetry{5};  // doubling up to an hour
};

// False with `reason` when the file cannot be read, may be read by others, or has an unknown
// key.
bool ReadDeliverySettings(const std::filesystem::path& path, DeliverySettings& settings,
                          std::string& reason);

// The hex HMAC-SHA256 of `body` under `secret`, as the signature header carries it.
std::string SignBody(const std::string& secret, const std::string& body);

class AlertDelivery {
public:
    static std::unique_ptr<AlertDelivery> Start(const std::filesystem::path& archive,
                                                const archive::Options& options,
                                                DeliverySettings settings, std::string& reason);
    ~AlertDelivery();  // ends after the event being sent
    AlertDelivery(const AlertDelivery&) = delete;
    AlertDelivery& operator=(const AlertDelivery&) = delete;

    struct Impl;

private:
    explicit AlertDelivery(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> m_impl;
};

}  // namespace saltmark::server
