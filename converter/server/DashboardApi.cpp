#include "DashboardApi.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <mutex>
#include <vector>

#include "ApiJson.h"
#include "Archive.h"
#include "ConvertedMessage.h"
#include "FleetApi.h"
#include "ServerLog.h"

namespace saltmark::server {

namespace {

// Readers kept open between requests: as many as the HTTP side runs handlers at once.
constexpr std::size_t kPooledReaders = 4;
// A map shows a deployment's drift as well from 10,000 messages as from all of them, and the
// answer stays small: beyond that, every step-th message's positions.
constexpr std::int64_t kTrackMessages = 10000;
constexpr std::size_t kLongestBuoyName = 32;
constexpr std::size_t kLongestMessageId = 18;

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

// The archive failed under a valid request: logged in full, answered briefly.
void SendFailure(HttpResponse& res, const std::string& reason)
{
    LogLine("dashboard: " + reason);
    res.Fail(500, "the archive cannot be read now");
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

// The buoy (`imei`, which also takes the mail-folder buoy's name) and the time range every
// query filters by; nothing when the request has answered 400.
struct Filters {
    std::optional<std::string> buoy;
    archive::TimeRange range;
};

std::optional<Filters> ReadFilters(const HttpRequest& req, HttpResponse& res)
{
    Filters filters;
    for (const auto& [name, bound] :
         {std::pair{"from", &filters.range.from}, {"to", &filters.range.to}}) {
        const std::string text = req.Param(name);
        if (text.empty()) {
            continue;
        }
        const std::optional<TimeSpan> span = ParseTimeText(text);
        if (!span) {
            res.Fail(400, "from and to are UTC times like 2025-12-07T09:33:20Z");
            return std::nullopt;
        }
        *bound = std::string_view(name) == "from" ? span->first : span->last;
    }
    if (const std::string buoy = req.Param("imei"); !buoy.empty()) {
        if (buoy.size() > kLongestBuoyName) {
            res.Fail(400, "no such buoy");
            return std::nullopt;
        }
        filters.buoy = buoy;
    }
    return filters;
}

// A numeric scalar field of a record type, named as the report or the archive names them (as
// the reader takes them).
bool IsScalarField(const std::string& type, const std::string& field)
{
    for (const RecordDescription& description : RecordDescriptions()) {
        if (description.typeName != type && archive::ArchiveName(description.typeName) != type) {
            continue;
        }
        for (const FieldDescription& f : description.fields) {
            if ((f.name == field || archive::ArchiveName(f.name) == field) && !IsArray(f.kind) &&
                f.kind != FieldKind::Text) {
                return true;
            }
        }
    }
    return false;
}

int DaysInMonth(int year, int month)
{
    const std::chrono::year_month_day_last end{std::chrono::year(year) / month / std::chrono::last};
    return static_cast<int>(static_cast<unsigned>(end.day()));
}

}  // namespace

std::optional<TimeSpan> ParseTimeText(const std::string& text)
{
    // YYYY[-MM[-DD[THH[:MM[:SS[.fraction]]]]]][Z]
    std::string_view rest = text;
    if (rest.ends_with('Z')) {
        rest.remove_suffix(1);
    }
    if (rest.size() > 40) {
        return std::nullopt;
    }
    constexpr char kSeparators[] = {'-', '-', 'T', ':', ':'};
    constexpr int kLowest[] = {1970, 1, 1, 0, 0, 0};
    constexpr int kHighest[] = {9999, 12, 31, 23, 59, 59};
    int parts[] = {1970, 1, 1, 0, 0, 0};
    int given = 0;
    std::size_t at = 0;
    for (; given < 6 && (given == 0 || at < rest.size()); ++given) {
        if (given > 0 && rest[at++] != kSeparators[given - 1]) {
            return std::nullopt;
        }
        const std::size_t width = given == 0 ? 4 : 2;
        if (at + width > rest.size()) {
            return std::nullopt;
        }
        int value = 0;
        for (std::size_t k = 0; k < width; ++k) {
            const char c = rest[at + k];
            if (!std::isdigit(static_cast<unsigned char>(c))) {
                return std::nullopt;
            }
            value = value * 10 + (c - '0');
        }
        if (value < kLowest[given] || value > kHighest[given]) {
            return std::nullopt;
        }
        parts[given] = value;
        at += width;
    }
    // A fraction of a second falls within its whole second.
    if (given == 6 && at < rest.size() && rest[at] == '.') {
        for (++at; at < rest.size() && std::isdigit(static_cast<unsigned char>(rest[at]));) {
            ++at;
        }
    }
    if (at != rest.size() || parts[2] > DaysInMonth(parts[0], parts[1])) {
        return std::nullopt;
    }
    using namespace std::chrono;
    const auto day = sys_days(std::chrono::year(parts[0]) / parts[1] / parts[2]);
    const double first = static_cast<double>(day.time_since_epoch().count()) * 86400 +
                         parts[3] * 3600 + parts[4] * 60 + parts[5];
    double length = 1;  // seconds the text names
    switch (given) {
        case 1:
            length = static_cast<double>(
                (sys_days(std::chrono::year(parts[0] + 1) / 1 / 1) - day).count() * 86400);
            break;
        case 2:
            length = DaysInMonth(parts[0], parts[1]) * 86400.0;
            break;
        case 3:
            length = 86400;
            break;
        case 4:
            length = 3600;
            break;
        case 5:
            length = 60;
            break;
        default:
            break;
    }
    return TimeSpan{first, first + length - 1};
}

struct DashboardApi::Impl {
    std::filesystem::path path;
    std::chrono::seconds lateAfter{};
    BuoyNames names;
    DeployedAt deployed;
    AlertRulesFor rules;

    void Name(nlohmann::ordered_json& json) const
    {
        if (names) {
            AddBuoyNames(json, names());
        }
    }
    // What the fleet's answers read beside the archive, as of now.
    FleetFacts Facts(const archive::Reader& reader) const
    {
        const double now =
            std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        return {reader, path, now, lateAfter,
                names ? names() : std::map<std::string, std::string>{},
                deployed ? deployed() : std::map<std::string, alerts::LatLon>{}, rules};
    }
    mutable std::mutex poolMutex;
    mutable std::vector<std::unique_ptr<archive::Reader>> idle;

    // A reader for one request, back to the pool afterwards: a Reader serves one thread at a
    // time, and opening one per request would cost more than most queries.
    class Lease {
    public:
        Lease(const Impl& impl, std::string& reason) : m_impl(impl)
        {
            {
                std::lock_guard lock(impl.poolMutex);
                if (!impl.idle.empty()) {
                    m_reader = std::move(impl.idle.back());
                    impl.idle.pop_back();
                    return;
                }
            }
            m_reader = archive::Reader::Open(impl.path, reason);
        }
        ~Lease()
        {
            std::lock_guard lock(m_impl.poolMutex);
            if (m_reader && m_impl.idle.size() < kPooledReaders) {
                m_impl.idle.push_back(std::move(m_reader));
            }
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        explicit operator bool() const { return m_reader != nullptr; }
        const archive::Reader* operator->() const { return m_reader.get(); }

    private:
        const Impl& m_impl;
        std::unique_ptr<archive::Reader> m_reader;
    };
};

DashboardApi::DashboardApi(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
DashboardApi::~DashboardApi() = default;

std::unique_ptr<DashboardApi> DashboardApi::Open(const std::filesystem::path& archive,
                                                 std::chrono::seconds lateAfter,
                                                 std::string& reason)
{
    auto impl = std::make_unique<Impl>();
    impl->path = archive;
    impl->lateAfter = lateAfter;
    // Opened once now, so that a wrong path is said at start rather than on the first page.
    auto reader = archive::Reader::Open(archive, reason);
    if (!reader) {
        return nullptr;
    }
    impl->idle.push_back(std::move(reader));
    return std::unique_ptr<DashboardApi>(new DashboardApi(std::move(impl)));
}

void DashboardApi::SetBuoyNames(BuoyNames names)
{
    m_impl->names = std::move(names);
}

void DashboardApi::SetDeployedAt(DeployedAt deployed)
{
    m_impl->deployed = std::move(deployed);
}

void DashboardApi::SetAlertRules(AlertRulesFor rules)
{
    m_impl->rules = std::move(rules);
}

void DashboardApi::Config(const HttpRequest&, HttpResponse& res) const
{
    SendJson(res, ConfigJson(m_impl->lateAfter));
}

void DashboardApi::Fields(const HttpRequest&, HttpResponse& res) const
{
    SendJson(res, FieldsJson());
}

void DashboardApi::Buoys(const HttpRequest&, HttpResponse& res) const
{
    std::string reason;
    Impl::Lease reader(*m_impl, reason);
    const auto buoys = reader ? reader->Buoys(reason) : std::nullopt;
    if (!buoys) {
        return SendFailure(res, reason);
    }
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    auto json = BuoysJson(*buoys, now, m_impl->lateAfter);
    m_impl->Name(json);
    SendJson(res, json);
}

void DashboardApi::Messages(const HttpRequest& req, HttpResponse& res) const
{
    const std::optional<Filters> filters = ReadFilters(req, res);
    if (!filters) {
        return;
    }
    archive::MessageQuery query{filters->buoy, filters->range};
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
        query.limit =
            static_cast<int>(std::min<std::int64_t>(*limit, archive::Reader::kLargestPage));
    }
    std::string reason;
    Impl::Lease reader(*m_impl, reason);
    const auto page = reader ? reader->Messages(query, reason) : std::nullopt;
    if (!page) {
        return SendFailure(res, reason);
    }
    auto json = MessagePageJson(*page);
    m_impl->Name(json["messages"]);
    SendJson(res, json);
}

void DashboardApi::Message(const HttpRequest& req, HttpResponse& res) const
{
    const std::size_t digits = req.rest.find_first_not_of("0123456789");
    const std::string id = req.rest.substr(0, digits);
    const std::string part = digits == std::string::npos ? "" : req.rest.substr(digits);
    if (id.empty() || id.size() > kLongestMessageId ||
        (part != "" && part != "/report" && part != "/image" && part != "/raw" &&
         part != "/json")) {
        return res.Fail(404, "not found");
    }
    std::string reason;
    Impl::Lease reader(*m_impl, reason);
    const auto message = reader ? reader->Message(std::stoll(id), reason) : std::nullopt;
    if (!message) {
        return reason.empty() ? res.Fail(404, "no such message") : SendFailure(res, reason);
    }
    const std::string& fileName = message->envelope.fileName;
    const std::string name = DownloadName(
        fileName.ends_with(".sbd") ? fileName.substr(0, fileName.size() - 4) : fileName);
    const auto download = [&](const char* ext) {
        if (req.HasParam("download")) {
            res.headers.emplace_back("Content-Disposition",
                                     "attachment; filename=\"" + name + ext + "\"");
        }
    };
    if (part == "/raw") {
        download(".sbd");
        return res.Set(std::string(message->payload.begin(), message->payload.end()),
                       "application/octet-stream");
    }
    DecodedMessage decoded;
    ConvertedMessage converted = ConvertMessageBytes(message->payload, &decoded);
    if (part.empty() || part == "/json") {
        const auto flags = reader->MessageFlags(message->envelope.id, reason);
        if (!flags) {
            return SendFailure(res, reason);
        }
        download(".json");
        auto json = MessageDocument(decoded, message->envelope, *flags);
        m_impl->Name(json["archive"]);
        return SendJson(res, json);
    }
    if (part == "/report") {
        download(".txt");
        return res.Set(ToUtf8(converted.report), "text/plain; charset=utf-8");
    }
    if (!converted.image.bytes) {
        return res.Fail(404, "no image in this message");
    }
    download(".jpg");
    res.Set(std::string(converted.image.bytes->begin(), converted.image.bytes->end()),
            "image/jpeg");
}

void DashboardApi::Series(const HttpRequest& req, HttpResponse& res) const
{
    const std::optional<Filters> filters = ReadFilters(req, res);
    if (!filters) {
        return;
    }
    const std::string type = req.Param("type");
    const std::string field = req.Param("field");
    if (!IsScalarField(type, field)) {
        return res.Fail(404, "no scalar field of that name in that record type");
    }
    archive::SeriesQuery query{type, field, {}, filters->range};
    // The aggregate flag always; each test's only when asked, as they multiply the answer.
    query.testFlags = req.Param("tests") == "1";
    if (filters->buoy) {
        query.buoys.push_back(*filters->buoy);
    }
    std::string reason;
    Impl::Lease reader(*m_impl, reason);
    const auto series = reader ? reader->Series(query, reason) : std::nullopt;
    if (!series) {
        return SendFailure(res, reason);
    }
    // Without a buoy the points of every buoy are interleaved in time: each says whose it is.
    const bool eachBuoy = !filters->buoy;
    if (req.Param("format") == "csv") {
        return res.Set(SeriesCsv(*series, eachBuoy), "text/csv; charset=utf-8");
    }
    res.Set(SeriesJson(type, field, *series, eachBuoy), "application/json");
}

void DashboardApi::Track(const HttpRequest& req, HttpResponse& res) const
{
    const std::optional<Filters> filters = ReadFilters(req, res);
    if (!filters) {
        return;
    }
    std::string reason;
    Impl::Lease reader(*m_impl, reason);
    const auto count = reader ? reader->MessageCount(reason) : std::nullopt;
    if (!count) {
        return SendFailure(res, reason);
    }
    const std::int64_t every =
        std::max<std::int64_t>(1, (*count + kTrackMessages - 1) / kTrackMessages);
    const auto track = reader->Track({filters->buoy, filters->range, every}, reason);
    if (!track) {
        return SendFailure(res, reason);
    }
    res.Set(TrackJson(*track, every), "application/json");
}

void DashboardApi::Alerts(const HttpRequest& req, HttpResponse& res) const
{
    archive::AlertQuery query;
    query.buoy = req.Param("imei");
    query.rule = req.Param("rule");
    const std::string state = req.Param("state");
    if (state == "open" || state == "resolved") {
        query.open = state == "open";
    } else if (!state.empty()) {
        return res.Fail(400, "state is open or resolved");
    }
    if (req.HasParam("limit")) {
        const auto limit = ParseInteger(req.Param("limit"));
        if (!limit || *limit < 1) {
            return res.Fail(400, "limit is a positive count");
        }
        query.limit = static_cast<int>(std::min<std::int64_t>(*limit, 5000));
    }
    std::string reason;
    const auto alerts = archive::ReadAlerts(m_impl->path, query, reason);
    if (!alerts) {
        return SendFailure(res, reason);
    }
    auto json = AlertsJson(*alerts);
    m_impl->Name(json["alerts"]);
    SendJson(res, json);
}

void DashboardApi::Fleet(const HttpRequest&, HttpResponse& res) const
{
    std::string reason;
    Impl::Lease reader(*m_impl, reason);
    if (!reader) {
        return SendFailure(res, reason);
    }
    const FleetFacts facts = m_impl->Facts(*reader.operator->());
    const auto json = FleetJson(facts, reason);
    if (!json) {
        return SendFailure(res, reason);
    }
    SendJson(res, *json);
}

void DashboardApi::Health(const HttpRequest& req, HttpResponse& res) const
{
    const std::size_t slash = req.rest.find('/');
    const std::string buoy = req.rest.substr(0, slash);
    if (slash == std::string::npos || req.rest.substr(slash) != "/health" || buoy.empty() ||
        buoy.size() > kLongestBuoyName) {
        return res.Fail(404, "not found");
    }
    std::string reason;
    Impl::Lease reader(*m_impl, reason);
    if (!reader) {
        return SendFailure(res, reason);
    }
    const FleetFacts facts = m_impl->Facts(*reader.operator->());
    const auto json = HealthJson(facts, buoy, reason);
    if (!json) {
        return reason.empty() ? res.Fail(404, "no such buoy") : SendFailure(res, reason);
    }
    SendJson(res, *json);
}

}  // namespace saltmark::server
