#include "PushListener.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <future>
#include <nlohmann/json.hpp>

#include "DirectIp.h"
#include "ServerLog.h"

#if SALTMARK_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/pem.h>
#endif

namespace saltmark::server {

namespace {

constexpr std::size_t kImeiDigits = 15;

const std::string* Field(const HttpFields& fields, std::string_view name)
{
    for (const auto& [key, value] : fields) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

template <typename Number>
std::optional<Number> WholeNumber(std::string_view text)
{
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// "25-12-07 09:33:20", UTC, the year in this century, as seconds since 1970.
std::optional<std::int64_t> TransmitTime(std::string_view text)
{
    if (text.size() != 17 || text[2] != '-' || text[5] != '-' || text[8] != ' ' ||
        text[11] != ':' || text[14] != ':') {
        return std::nullopt;
    }
    const auto part = [&](std::size_t at) { return WholeNumber<int>(text.substr(at, 2)); };
    const auto year = part(0), month = part(3), day = part(6);
    const auto hour = part(9), minute = part(12), second = part(15);
    if (!year || !month || !day || !hour || !minute || !second || *hour > 23 || *minute > 59 ||
        *second > 59) {
        return std::nullopt;
    }
    return archive::RecordTime(2000 + *year, *month, *day, *hour * 3600 + *minute * 60 + *second);
}

std::optional<std::vector<std::uint8_t>> FromHex(std::string_view text)
{
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> bytes(text.size() / 2);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char* at = text.data() + 2 * i;
        if (!std::isxdigit(static_cast<unsigned char>(at[0])) ||
            !std::isxdigit(static_cast<unsigned char>(at[1])) ||
            std::from_chars(at, at + 2, bytes[i], 16).ec != std::errc()) {
            return std::nullopt;
        }
    }
    return bytes;
}

// A decimal in [-limit, limit]; from_chars takes no leading '+', nor spaces.
std::optional<double> Decimal(std::string_view text, double limit)
{
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value) || std::fabs(value) > limit) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> Base64Url(std::string_view text)
{
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (const char c : text) {
        if (c == '=') {
            break;
        }
        const std::size_t index = kAlphabet.find(c);
        if (index == std::string_view::npos) {
            return std::nullopt;
        }
        bits = (bits << 6) | static_cast<unsigned>(index);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>((bits >> count) & 0xFF);
        }
    }
    return out;
}

// The fields a JWT must carry, equal to the push's, for the signature to vouch for the push:
// without them any signed push could be replayed with another payload.
constexpr std::string_view kVouchedFields[] = {"imei", "momsn", "data"};
constexpr std::string_view kCheckedFields[] = {
    "imei",        "serial", "momsn", "transmit_time", "iridium_latitude", "iridium_longitude",
    "iridium_cep", "data",
};

// A claim's value as the push states it: strings as they are, numbers compared as numbers.
bool SameValue(const nlohmann::json& claim, const std::string& value)
{
    if (claim.is_string()) {
        return claim.get<std::string>() == value;
    }
    if (claim.is_number()) {
        const auto number = Decimal(value, HUGE_VAL);
        return number && *number == claim.get<double>();
    }
    return false;
}

}  // namespace

std::optional<HttpFields> PushFields(const std::string& body, const std::string& contentType,
                                     std::string& reason)
{
    const bool json = contentType.find("json") != std::string::npos ||
                      (contentType.empty() && body.starts_with('{'));
    if (!json) {
        auto fields = FormFields(body);
        if (!fields) {
            reason = "the body is not form-encoded (a bad % escape)";
        }
        return fields;
    }
    const nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
    if (!document.is_object()) {
        reason = "the body is not a JSON object";
        return std::nullopt;
    }
    HttpFields fields;
    for (const auto& [name, value] : document.items()) {
        if (value.is_string()) {
            fields.emplace_back(name, value.get<std::string>());
        } else if (value.is_number()) {
            fields.emplace_back(name, value.dump());
        } else {
            reason = name + ": neither a string nor a number";
            return std::nullopt;
        }
    }
    return fields;
}

std::optional<archive::Delivery> DeliveryFromPush(const HttpFields& fields, std::string& reason)
{
    const auto fail = [&](std::string_view field, std::string_view why) {
        reason = std::string(field) + ": " + std::string(why);
        return std::nullopt;
    };
    const std::string* imei = Field(fields, "imei");
    const std::string* momsn = Field(fields, "momsn");
    const std::string* time = Field(fields, "transmit_time");
    const std::string* data = Field(fields, "data");
    if (!imei || imei->size() != kImeiDigits ||
        imei->find_first_not_of("0123456789") != std::string::npos) {
        return fail("imei", imei ? "not 15 digits" : "missing");
    }
    const auto sequence = momsn ? WholeNumber<std::uint16_t>(*momsn) : std::nullopt;
    if (!sequence) {
        return fail("momsn", momsn ? "not a number from 0 to 65535" : "missing");
    }
    const auto sessionTime = time ? TransmitTime(*time) : std::nullopt;
    if (!sessionTime) {
        return fail("transmit_time", time ? "not YY-MM-DD HH:MM:SS" : "missing");
    }
    auto payload = data ? FromHex(*data) : std::nullopt;
    if (!payload) {
        return fail("data", data ? "not hexadecimal digits in pairs" : "missing");
    }
    if (payload->empty() || payload->size() > kDirectIpLargestPayload) {
        return fail("data", "not 1 to " + std::to_string(kDirectIpLargestPayload) + " bytes");
    }

    DirectIpMessage message;
    message.header.imei = *imei;
    message.header.momsn = *sequence;
    message.header.sessionTime = static_cast<std::uint32_t>(*sessionTime);
    message.payload = std::move(*payload);
    // The provider's estimate of the position comes whole or not at all.
    const std::string* latitude = Field(fields, "iridium_latitude");
    const std::string* longitude = Field(fields, "iridium_longitude");
    const std::string* cep = Field(fields, "iridium_cep");
    if (latitude || longitude || cep) {
        const auto lat = latitude ? Decimal(*latitude, 90) : std::nullopt;
        const auto lon = longitude ? Decimal(*longitude, 180) : std::nullopt;
        double radius = -1;  // none yet
        if (const auto km = cep ? Decimal(*cep, 1e9) : std::nullopt) {
            radius = *km;
        }
        if (!lat) {
            return fail("iridium_latitude", latitude ? "not a latitude" : "missing");
        }
        if (!lon) {
            return fail("iridium_longitude", longitude ? "not a longitude" : "missing");
        }
        if (radius < 0) {
            return fail("iridium_cep", cep ? "not a radius in km" : "missing");
        }
        message.location =
            DirectIpLocation{*lat, *lon, static_cast<std::uint32_t>(std::lround(radius))};
    }
    return archive::DeliveryFromDirectIp(message, {});
}

struct PushListener::Impl {
    PushSettings settings;
    DeliveryWriter* writer = nullptr;
    std::string host;
    std::unique_ptr<HttpServer> http;
#if SALTMARK_HAVE_OPENSSL
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, &EVP_PKEY_free};
#endif

    bool LoadKey(std::string& reason);
    bool Verifies(const HttpFields& fields, std::string& why) const;
    void Take(const HttpRequest& req, HttpResponse& res) const;
};

bool PushListener::Impl::LoadKey(std::string& reason)
{
    if (settings.publicKeyPem.empty()) {
        return true;
    }
#if SALTMARK_HAVE_OPENSSL
    std::unique_ptr<BIO, decltype(&BIO_free)> pem(
        BIO_new_mem_buf(settings.publicKeyPem.data(),
                        static_cast<int>(settings.publicKeyPem.size())),
        &BIO_free);
    key.reset(pem ? PEM_read_bio_PUBKEY(pem.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!key || EVP_PKEY_base_id(key.get()) != EVP_PKEY_RSA) {
        reason = "the push key is no RSA public key in PEM (-----BEGIN PUBLIC KEY-----)";
        return false;
    }
    return true;
#else
    reason = "this server is built without OpenSSL: it cannot check a push's signature";
    return false;
#endif
}

bool PushListener::Impl::Verifies(const HttpFields& fields, std::string& why) const
{
#if SALTMARK_HAVE_OPENSSL
    const std::string* token = Field(fields, "JWT");
    if (!token) {
        why = "no JWT";
        return false;
    }
    const std::size_t first = token->find('.');
    const std::size_t second = first == std::string::npos ? first : token->find('.', first + 1);
    if (second == std::string::npos || token->find('.', second + 1) != std::string::npos) {
        why = "the JWT is not three parts";
        return false;
    }
    const auto header = Base64Url(std::string_view(*token).substr(0, first));
    const auto claims = Base64Url(std::string_view(*token).substr(first + 1, second - first - 1));
    const auto signature = Base64Url(std::string_view(*token).substr(second + 1));
    const nlohmann::json head =
        header ? nlohmann::json::parse(*header, nullptr, false) : nlohmann::json();
    const nlohmann::json body =
        claims ? nlohmann::json::parse(*claims, nullptr, false) : nlohmann::json();
    if (!signature || !head.is_object() || !body.is_object()) {
        why = "the JWT is malformed";
        return false;
    }
    // The algorithm is ours to choose, never the token's: RS256 alone.
    if (head.value("alg", "") != "RS256") {
        why = "the JWT is not signed with RS256";
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    &EVP_MD_CTX_free);
    const auto* signedPart = reinterpret_cast<const unsigned char*>(token->data());
    if (!context ||
        EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestVerify(context.get(), reinterpret_cast<const unsigned char*>(signature->data()),
                         signature->size(), signedPart, second) != 1) {
        why = "the JWT's signature does not verify with the push key";
        return false;
    }
    for (const std::string_view name : kVouchedFields) {
        if (!body.contains(name)) {
            why = "the JWT does not carry " + std::string(name);
            return false;
        }
    }
    for (const std::string_view name : kCheckedFields) {
        const std::string* value = Field(fields, name);
        if (body.contains(name) && (!value || !SameValue(body[std::string(name)], *value))) {
            why = "the JWT's " + std::string(name) + " differs from the push's";
            return false;
        }
    }
    return true;
#else
    (void)fields;
    why = "built without OpenSSL";
    return false;
#endif
}

void PushListener::Impl::Take(const HttpRequest& req, HttpResponse& res) const
{
    std::string reason;
    const std::optional<HttpFields> fields =
        PushFields(req.body, req.Header("Content-Type"), reason);
    std::optional<archive::Delivery> delivery =
        fields ? DeliveryFromPush(*fields, reason) : std::nullopt;
    if (!delivery) {
        LogLine("push " + req.peer + " refused: " + reason);
        return res.Fail(400, reason);
    }
    if (!settings.publicKeyPem.empty() && !Verifies(*fields, reason)) {
        LogLine("push " + req.peer + " refused: " + reason);
        return res.Fail(403, reason);
    }
    const std::string description = "push " + req.peer + " IMEI " + delivery->header->imei +
                                    " MOMSN " + std::to_string(delivery->header->momsn) + ", " +
                                    std::to_string(delivery->payload.size()) + " bytes: ";
    // This worker waits for the commit; the writer gathers the pushes of all workers into one.
    std::promise<StoreOutcome> stored;
    std::future<StoreOutcome> outcome = stored.get_future();
    writer->Submit(std::move(*delivery),
                   [&stored](StoreOutcome result) { stored.set_value(std::move(result)); });
    const StoreOutcome result = outcome.get();
    LogLine(description + result.Text());
    if (!result.Durable()) {
        return res.Fail(503, result.Text());
    }
    res.Set(result.Text() + "\n", "text/plain; charset=utf-8");
}

PushListener::PushListener(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}

PushListener::~PushListener() { Stop(); }

std::unique_ptr<PushListener> PushListener::Start(const std::string& host, int port,
                                                  PushSettings settings, DeliveryWriter& writer,
                                                  std::string& reason)
{
    auto impl = std::make_unique<Impl>();
    impl->settings = std::move(settings);
    impl->writer = &writer;
    impl->host = host;
    if (!impl->LoadKey(reason)) {
        return nullptr;
    }
    HttpLimits limits;
    limits.head = impl->settings.timeout;
    limits.bodyBytes = impl->settings.bodyBytes;
    // Each worker holds a push until its commit: enough of them for commits to be shared.
    limits.workers = 16;
    impl->http = HttpServer::Bind(host, port, limits, reason);
    if (!impl->http) {
        return nullptr;
    }
    Impl* self = impl.get();
    impl->http->SetGuard([self](const HttpRequest& req, HttpResponse& res) {
        boost::system::error_code error;
        const auto peer = boost::asio::ip::make_address(req.peer, error);
        if (error || !self->settings.allow.Allows(peer)) {
            LogLine("push " + req.peer + " refused: not an allowed peer (--allow)");
            res.Fail(403, "not an allowed peer");
            return false;
        }
        return true;
    });
    impl->http->Route("/",
                      [self](const HttpRequest& req, HttpResponse& res) { self->Take(req, res); });
    impl->http->Start();
    return std::unique_ptr<PushListener>(new PushListener(std::move(impl)));
}

std::string PushListener::ListeningAddress() const
{
    const std::string& host = m_impl->host;
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(m_impl->http->Port());
}

void PushListener::Stop()
{
    if (m_impl && m_impl->http) {
        m_impl->http->Stop();
    }
}

}  // namespace saltmark::server
