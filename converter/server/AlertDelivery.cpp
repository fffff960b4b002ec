#include "AlertDelivery.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>

#include <algorithm>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "ArchiveAlerts.h"
#include "ServerLog.h"

namespace saltmark::server {

namespace {

constexpr std::int64_t kLongestRetrySeconds = 3600;
constexpr long kSendTimeoutSeconds = 20;

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Trim(std::string text)
{
    text.erase(0, text.find_first_not_of(" \t\r"));
    text.erase(text.find_last_not_of(" \t\r") + 1);
    return text;
}

struct Easy {
    CURL* curl = curl_easy_init();
    curl_slist* headers = nullptr;
    curl_slist* recipients = nullptr;
    ~Easy()
    {
        curl_slist_free_all(headers);
        curl_slist_free_all(recipients);
        curl_easy_cleanup(curl);
    }
};

std::size_t Discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

struct Upload {
    std::string text;
    std::size_t at = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* user)
{
    auto* upload = static_cast<Upload*>(user);
    const std::size_t n = std::min(size * count, upload->text.size() - upload->at);
    std::copy_n(upload->text.data() + upload->at, n, buffer);
    upload->at += n;
    return n;
}

// Nothing when the receiver took it, else why not.
std::optional<std::string> Perform(Easy& easy, bool http)
{
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy.curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(easy.curl, CURLOPT_TIMEOUT, kSendTimeoutSeconds);
    curl_easy_setopt(easy.curl, CURLOPT_NOSIGNAL, 1L);
    const CURLcode code = curl_easy_perform(easy.curl);
    if (code != CURLE_OK) {
        return std::string(error[0] ? error : curl_easy_strerror(code));
    }
    long status = 0;
    curl_easy_getinfo(easy.curl, CURLINFO_RESPONSE_CODE, &status);
    if (http && (status < 200 || status > 299)) {
        return "HTTP status " + std::to_string(status);
    }
    return std::nullopt;
}

std::optional<std::string> PostWebhook(const std::string& url, const std::string& body,
                                       const std::string& event, const DeliverySettings& s)
{
    Easy easy;
    if (!easy.curl) {
        return std::string("cannot start libcurl");
    }
    easy.headers = curl_slist_append(easy.headers, "Content-Type: application/json");
    easy.headers = curl_slist_append(easy.headers, ("X-Saltmark-Event: " + event).c_str());
    if (!s.webhookSecret.empty()) {
        easy.headers = curl_slist_append(
            easy.headers, ("X-Saltmark-Signature: sha256=" + SignBody(s.webhookSecret, body)).c_str());
    }
    curl_easy_setopt(easy.curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy.curl, CURLOPT_HTTPHEADER, easy.headers);
    curl_easy_setopt(easy.curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(easy.curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(easy.curl, CURLOPT_WRITEFUNCTION, Discard);
    return Perform(easy, true);
}

std::string MailDate()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &utc);
    return text;
}

std::optional<std::string> SendMail(const std::string& to, const std::string& document,
                                    const DeliverySettings& s)
{
    if (s.smtpUrl.empty() || s.mailFrom.empty()) {
        return std::string("no SMTP relay configured (smtp_url, mail_from)");
    }
    const auto json = nlohmann::json::parse(document, nullptr, false);
    const auto text = [&json](const char* key) {
        return json.contains(key) && json[key].is_string() ? json[key].get<std::string>() : "";
    };
    const std::string buoy = text("name").empty() ? text("buoy") : text("name") + " (" + text("buoy") + ")";
    Upload upload;
    upload.text = "Date: " + MailDate() + "\r\nFrom: " + s.mailFrom + "\r\nTo: " + to +
                  "\r\nSubject: [buoy alert] " + buoy + ": " + text("rule") + " " +
                  text("event") + "\r\nContent-Type: text/plain; charset=utf-8\r\n\r\n" +
                  text("detail") + "\r\nAt " + text("at") + ".\r\n\r\n" + document + "\r\n";
    Easy easy;
    if (!easy.curl) {
        return std::string("cannot start libcurl");
    }
    easy.recipients = curl_slist_append(easy.recipients, ("<" + to + ">").c_str());
    curl_easy_setopt(easy.curl, CURLOPT_URL, s.smtpUrl.c_str());
    curl_easy_setopt(easy.curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(easy.curl, CURLOPT_USE_SSL, s.smtpStartTls ? CURLUSESSL_ALL : CURLUSESSL_NONE);
    if (!s.smtpCaFile.empty()) {
        curl_easy_setopt(easy.curl, CURLOPT_CAINFO, s.smtpCaFile.c_str());
    }
    if (!s.smtpUser.empty()) {
        curl_easy_setopt(easy.curl, CURLOPT_USERNAME, s.smtpUser.c_str());
        curl_easy_setopt(easy.curl, CURLOPT_PASSWORD, s.smtpPassword.c_str());
    }
    curl_easy_setopt(easy.curl, CURLOPT_MAIL_FROM, ("<" + s.mailFrom + ">").c_str());
    curl_easy_setopt(easy.curl, CURLOPT_MAIL_RCPT, easy.recipients);
    curl_easy_setopt(easy.curl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(easy.curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(easy.curl, CURLOPT_UPLOAD, 1L);
    return Perform(easy, false);
}

}  // namespace

std::string SignBody(const std::string& secret, const std::string& body)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool ReadDeliverySettings(const std::filesystem::path& path, DeliverySettings& settings,
                          std::string& reason)
{
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        reason = path.string() + ": cannot be read";
        return false;
    }
    // Passwords and the signing secret: nobody but the server's account may read them.
    if ((info.st_mode & 077) != 0) {
        reason = path.string() + ": readable by others; chmod 600 it";
        return false;
    }
    std::ifstream file(path);
    if (!file) {
        reason = path.string() + ": cannot be read";
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::size_t equals = line.find('=');
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = equals == std::string::npos ? "" : Trim(line.substr(equals + 1));
        const std::string where = path.string() + ":" + std::to_string(number) + ": ";
        if (equals == std::string::npos) {
            reason = where + "expected KEY = VALUE";
            return false;
        }
        if (key == "webhook_secret") {
            settings.webhookSecret = value;
        } else if (key == "smtp_url") {
            settings.smtpUrl = value;
        } else if (key == "smtp_starttls" && (value == "required" || value == "no")) {
            settings.smtpStartTls = value == "required";
        } else if (key == "smtp_user") {
            settings.smtpUser = value;
        } else if (key == "smtp_password") {
            settings.smtpPassword = value;
        } else if (key == "mail_from") {
            settings.mailFrom = value;
        } else if (key == "smtp_ca_file") {
            settings.smtpCaFile = value;
        } else {
            reason = where + (key == "smtp_starttls" ? "smtp_starttls is required or no"
                                                      : "unknown key " + key);
            return false;
        }
    }
    return true;
}

struct AlertDelivery::Impl {
    std::unique_ptr<archive::Archive> archive;
    DeliverySettings settings;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread thread;

    std::optional<std::string> Send(const archive::OutboxItem& item) const
    {
        if (item.channel.starts_with("webhook:")) {
            return PostWebhook(item.channel.substr(8), item.document, item.event, settings);
        }
        if (item.channel.starts_with("mail:")) {
            return SendMail(item.channel.substr(5), item.document, settings);
        }
        return "unknown channel " + item.channel;
    }

    void Run()
    {
        std::unique_lock lock(mutex);
        while (!stopping) {
            lock.unlock();
            std::string reason;
            const auto due = archive::DueOutbox(*archive, Now(), 50, reason);
            if (!due) {
                LogLine("alert outbox not read: " + reason);
            }
            for (const archive::OutboxItem& item : due.value_or(std::vector<archive::OutboxItem>{})) {
                const auto error = Send(item);
                const std::int64_t now = Now();
                const std::int64_t wait = std::min<std::int64_t>(
                    kLongestRetrySeconds,
                    settings.firstRetry.count() << std::min<std::int64_t>(item.attempts, 20));
                if (!archive::RecordAttempt(*archive, item.id, now, error, now + wait, reason)) {
                    LogLine("alert outbox not updated: " + reason);
                }
                LogLine("alert event " + std::to_string(item.id) + " " + item.event + " to " +
                        item.channel + (error ? ": not delivered (" + *error + "), again in " +
                                                    std::to_string(wait) + " s"
                                              : ": delivered"));
                std::lock_guard stop(mutex);
                if (stopping) {
                    return;
                }
            }
            lock.lock();
            wake.wait_for(lock, std::chrono::seconds(1), [this] { return stopping; });
        }
    }
};

AlertDelivery::AlertDelivery(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

AlertDelivery::~AlertDelivery()
{
    {
        std::lock_guard lock(m_impl->mutex);
        m_impl->stopping = true;
    }
    m_impl->wake.notify_all();
    if (m_impl->thread.joinable()) {
        m_impl->thread.join();
    }
}

std::unique_ptr<AlertDelivery> AlertDelivery::Start(const std::filesystem::path& path,
                                                    const archive::Options& options,
                                                    DeliverySettings settings,
                                                    std::string& reason)
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
    auto impl = std::make_unique<Impl>();
    impl->archive = archive::Archive::Open(path, options, reason);
    if (!impl->archive) {
        return nullptr;
    }
    impl->settings = std::move(settings);
    Impl* self = impl.get();
    impl->thread = std::thread([self] { self->Run(); });
    return std::unique_ptr<AlertDelivery>(new AlertDelivery(std::move(impl)));
}

}  // namespace saltmark::server
