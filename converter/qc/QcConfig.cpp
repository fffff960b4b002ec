// The configuration is checked whole as it is read: every key known, every number a number,
// every span a pair, so that a mistake stops the run with its line before any value is
// flagged under half a configuration.

#include "QcConfig.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <set>

#include "CheckedYaml.h"
#include "Records.h"
#include "eddyrate.h"

namespace saltmark::qc {

namespace {

// ---- SHA-256 of the normalised text ----------------------------------------------------

std::string Sha256Hex(std::string_view text)
{
    static constexpr std::uint32_t kRound[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string message(text);
    const std::uint64_t bits = static_cast<std::uint64_t>(message.size()) * 8;
    message.push_back(static_cast<char>(0x80));
    while (message.size() % 64 != 56) {
        message.push_back('\0');
    }
    for (int shift = 56; shift >= 0; shift -= 8) {
        message.push_back(static_cast<char>((bits >> shift) & 0xff));
    }
    const auto rotr = [](std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
    for (std::size_t block = 0; block < message.size(); block += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = 0;
            for (int b = 0; b < 4; ++b) {
                w[i] = (w[i] << 8) | static_cast<unsigned char>(message[block + 4 * i + b]);
            }
        }
        for (int i = 16; i < 64; ++i) {
            const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6],
                      k = h[7];
        for (int i = 0; i < 64; ++i) {
            const std::uint32_t s1 = rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25);
            const std::uint32_t choice = (e & f) ^ (~e & g);
            const std::uint32_t t1 = k + s1 + choice + kRound[i] + w[i];
            const std::uint32_t s0 = rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            const std::uint32_t t2 = s0 + majority;
            k = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
        h[4] += e;
        h[5] += f;
        h[6] += g;
        h[7] += k;
    }
    std::string hex;
    for (std::uint32_t word : h) {
        char part[9];
        std::snprintf(part, sizeof part, "%08x", word);
        hex += part;
    }
    return hex;
}

// ---- names -----------------------------------------------------------------------------

bool IsScalar(FieldKind kind)
{
    return kind == FieldKind::Float32 || kind == FieldKind::UInt16 || kind == FieldKind::Int32;
}

bool IsPositionStream(std::string_view stream)
{
    return stream == kPositionStream || stream == kIridiumPositionStream;
}

// ---- reading YAML with lines -----------------------------------------------------------

[[noreturn]] void RaiseConfigError(const std::string& fileName, int line, const std::string& reason)
{
    throw ConfigError(fileName, line, reason);
}

using yaml::Reader;

double NonNegative(const Reader& reader, const YAML::Node& node, const std::string& what)
{
    const double value = reader.Number(node, what);
    if (value < 0) {
        reader.Fail(node, what + ": must not be negative");
    }
    return value;
}

Span Pair(const Reader& reader, const YAML::Node& node, const std::string& what)
{
    if (!node.IsSequence() || node.size() != 2) {
        reader.Fail(node, what + ": expected a pair [low, high]");
    }
    return Span::Sorted(reader.Number(node[0], what), reader.Number(node[1], what));
}

std::string Number17(double value)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// ---- shapes ----------------------------------------------------------------------------

std::vector<Shape::Point> Ring(const Reader& reader, const YAML::Node& node,
                               const std::string& what)
{
    if (!node.IsSequence() || node.size() < 3) {
        reader.Fail(node, what + ": a ring needs at least three [lon, lat] points");
    }
    std::vector<Shape::Point> ring;
    for (const YAML::Node& point : node) {
        if (!point.IsSequence() || point.size() < 2) {
            reader.Fail(point, what + ": expected a point [lon, lat]");
        }
        ring.push_back({reader.Number(point[0], what), reader.Number(point[1], what)});
    }
    // A closed ring repeats its first point; the walk closes it anyway.
    if (ring.size() > 3 && ring.front().lon == ring.back().lon &&
        ring.front().lat == ring.back().lat) {
        ring.pop_back();
    }
    return ring;
}

// A bounding box [lon_min, lat_min, lon_max, lat_max] or a list of [lon, lat] vertices.
Shape ShapeParameter(const Reader& reader, const YAML::Node& node, const std::string& what)
{
    if (node.IsSequence() && node.size() == 4 && node[0].IsScalar()) {
        return Shape::BoundingBox(reader.Number(node[0], what), reader.Number(node[1], what),
                                  reader.Number(node[2], what), reader.Number(node[3], what));
    }
    if (node.IsSequence() && node.size() > 0 && node[0].IsSequence()) {
        return Shape{{Ring(reader, node, what)}};
    }
    reader.Fail(node, what +
                          ": expected [lon_min, lat_min, lon_max, lat_max] or a list of "
                          "[lon, lat] points");
}

void GeoJsonGeometry(const Reader& reader, const YAML::Node& node, std::vector<Shape>& shapes)
{
    if (!node.IsMap() || !node["type"] || !node["coordinates"]) {
        reader.Fail(node, "region: expected a GeoJSON geometry with type and coordinates");
    }
    const std::string type = reader.Text(node["type"], "region: type");
    const auto polygon = [&](const YAML::Node& rings) {
        if (!rings.IsSequence() || rings.size() == 0) {
            reader.Fail(rings, "region: a polygon is a list of rings");
        }
        Shape shape;
        for (const YAML::Node& ring : rings) {
            shape.rings.push_back(Ring(reader, ring, "region"));
        }
        shapes.push_back(std::move(shape));
    };
    if (type == "Polygon") {
        polygon(node["coordinates"]);
    } else if (type == "MultiPolygon") {
        for (const YAML::Node& rings : node["coordinates"]) {
            polygon(rings);
        }
    } else {
        reader.Fail(node["type"],
                    "region: only Polygon and MultiPolygon geometries bound a "
                    "region, not " +
                        type);
    }
}

std::vector<Shape> Region(const Reader& reader, const YAML::Node& node)
{
    std::vector<Shape> shapes;
    if (node.IsNull()) {
        return shapes;
    }
    if (node.IsMap() && node["features"]) {
        for (const YAML::Node& feature : node["features"]) {
            if (!feature.IsMap() || !feature["geometry"]) {
                reader.Fail(feature, "region: a feature needs a geometry");
            }
            GeoJsonGeometry(reader, feature["geometry"], shapes);
        }
    } else if (node.IsMap() && node["geometry"]) {
        GeoJsonGeometry(reader, node["geometry"], shapes);
    } else {
        GeoJsonGeometry(reader, node, shapes);
    }
    if (shapes.empty()) {
        reader.Fail(node, "region: no polygon in it");
    }
    return shapes;
}

// ---- tests -----------------------------------------------------------------------------

struct Canon {
    std::map<std::string, std::string> parameters;
    void Add(const std::string& name, const std::string& value) { parameters[name] = value; }
    void Add(const std::string& name, double value) { parameters[name] = Number17(value); }
    void Add(const std::string& name, Span span)
    {
        parameters[name] = "[" + Number17(span.min) + "," + Number17(span.max) + "]";
    }
    std::string Text() const
    {
        std::string text;
        for (const auto& [name, value] : parameters) {
            text += " " + name + "=" + value;
        }
        return text;
    }
};

std::string ShapeText(const Shape& shape)
{
    std::string text;
    for (const auto& ring : shape.rings) {
        text += "(";
        for (const auto& point : ring) {
            text += Number17(point.lon) + " " + Number17(point.lat) + ";";
        }
        text += ")";
    }
    return text;
}

// Reads one test's parameters; the module and stream kind were checked by the caller.
TestParameters ReadTest(const Reader& reader, const std::string& name, const YAML::Node& node,
                        const std::string& where, Canon& canon)
{
    // A test given with no parameters ("time_gap_test:") takes its defaults.
    const YAML::Node none(YAML::NodeType::Map);
    const YAML::Node& body = node.IsNull() ? none : node;
    const auto entries = [&](std::initializer_list<std::string_view> known) {
        std::map<std::string, YAML::Node> present;
        for (auto& [key, value] : reader.Entries(body, where, known)) {
            if (!value.IsNull()) {  // null is the reference's "not given"
                present.emplace(key, value);
            }
        }
        return present;
    };
    const auto required = [&](const std::map<std::string, YAML::Node>& present,
                              const char* key) -> const YAML::Node& {
        const auto it = present.find(key);
        if (it == present.end()) {
            throw ConfigError(reader.FileName(), reader.KeyLine(node),
                              where + ": " + key + " is required");
        }
        return it->second;
    };
    const auto what = [&](const char* key) { return where + ": " + key; };

    if (name == "gross_range_test") {
        const auto p = entries({"fail_span", "suspect_span"});
        GrossRangeParameters parameters;
        parameters.fail = Pair(reader, required(p, "fail_span"), what("fail_span"));
        canon.Add("fail_span", parameters.fail);
        if (p.count("suspect_span")) {
            const YAML::Node& suspect = p.at("suspect_span");
            parameters.suspect = Pair(reader, suspect, what("suspect_span"));
            if (parameters.suspect->min < parameters.fail.min ||
                parameters.suspect->max > parameters.fail.max) {
                reader.Fail(
                    suspect,
                    what("suspect_span") + ": [" + Number17(parameters.suspect->min) + ", " +
                        Number17(parameters.suspect->max) + "] reaches outside the fail span [" +
                        Number17(parameters.fail.min) + ", " + Number17(parameters.fail.max) + "]");
            }
            canon.Add("suspect_span", *parameters.suspect);
        }
        return parameters;
    }
    if (name == "spike_test") {
        const auto p = entries({"suspect_threshold", "fail_threshold", "method"});
        SpikeParameters parameters;
        if (p.count("suspect_threshold")) {
            parameters.suspectThreshold =
                NonNegative(reader, p.at("suspect_threshold"), what("suspect_threshold"));
            canon.Add("suspect_threshold", *parameters.suspectThreshold);
        }
        if (p.count("fail_threshold")) {
            parameters.failThreshold =
                NonNegative(reader, p.at("fail_threshold"), what("fail_threshold"));
            canon.Add("fail_threshold", *parameters.failThreshold);
        }
        if (p.count("method")) {
            const std::string method = reader.Text(p.at("method"), what("method"));
            if (method == "differential") {
                parameters.method = SpikeMethod::Differential;
            } else if (method != "average") {
                reader.Fail(p.at("method"),
                            what("method") + ": average or differential, not " + method);
            }
        }
        canon.Add("method", parameters.method == SpikeMethod::Average ? "average" : "differential");
        return parameters;
    }
    if (name == "rate_of_change_test") {
        const auto p = entries({"threshold", "fail_threshold"});
        RateOfChangeParameters parameters;
        parameters.threshold = NonNegative(reader, required(p, "threshold"), what("threshold"));
        canon.Add("threshold", parameters.threshold);
        if (p.count("fail_threshold")) {
            parameters.failThreshold =
                NonNegative(reader, p.at("fail_threshold"), what("fail_threshold"));
            canon.Add("fail_threshold", *parameters.failThreshold);
        }
        return parameters;
    }
    if (name == "flat_line_test") {
        const auto p = entries({"suspect_threshold", "fail_threshold", "tolerance"});
        FlatLineParameters parameters;
        parameters.suspectThreshold =
            NonNegative(reader, required(p, "suspect_threshold"), what("suspect_threshold"));
        parameters.failThreshold =
            NonNegative(reader, required(p, "fail_threshold"), what("fail_threshold"));
        if (p.count("tolerance")) {
            parameters.tolerance = NonNegative(reader, p.at("tolerance"), what("tolerance"));
        }
        canon.Add("suspect_threshold", parameters.suspectThreshold);
        canon.Add("fail_threshold", parameters.failThreshold);
        canon.Add("tolerance", parameters.tolerance);
        return parameters;
    }
    if (name == "location_test") {
        const auto p = entries({"range_max", "range_method", "bbox"});
        LocationParameters parameters;
        if (p.count("range_max")) {
            parameters.rangeMax = NonNegative(reader, p.at("range_max"), what("range_max"));
            canon.Add("range_max", *parameters.rangeMax);
        }
        if (p.count("range_method")) {
            std::string method = reader.Text(p.at("range_method"), what("range_method"));
            std::transform(method.begin(), method.end(), method.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (method == "wgs84") {
                parameters.method = DistanceMethod::Wgs84;
            } else if (method != "haversine") {
                reader.Fail(p.at("range_method"),
                            what("range_method") + ": haversine or wgs84, not " + method);
            }
        }
        canon.Add("range_method",
                  parameters.method == DistanceMethod::Wgs84 ? "wgs84" : "haversine");
        if (p.count("bbox")) {
            const YAML::Node& bbox = p.at("bbox");
            if (!bbox.IsSequence() || bbox.size() != 4) {
                reader.Fail(bbox, what("bbox") + ": expected [lon_min, lat_min, lon_max, lat_max]");
            }
            parameters.bbox = ShapeParameter(reader, bbox, what("bbox"));
            canon.Add("bbox", ShapeText(*parameters.bbox));
        }
        return parameters;
    }
    if (name == "location_bounds_test") {
        const auto p = entries({"shape", "flag_area"});
        LocationBoundsParameters parameters;
        parameters.shape = ShapeParameter(reader, required(p, "shape"), what("shape"));
        canon.Add("shape", ShapeText(parameters.shape));
        if (p.count("flag_area")) {
            const std::string area = reader.Text(p.at("flag_area"), what("flag_area"));
            if (area == "inside") {
                parameters.flagArea = FlagArea::Inside;
            } else if (area != "outside") {
                reader.Fail(p.at("flag_area"),
                            what("flag_area") + ": outside or inside, not " + area);
            }
        }
        canon.Add("flag_area", parameters.flagArea == FlagArea::Inside ? "inside" : "outside");
        return parameters;
    }
    if (name == "speed_test") {
        const auto p = entries({"suspect_threshold", "fail_threshold"});
        SpeedParameters parameters;
        parameters.suspectThreshold =
            NonNegative(reader, required(p, "suspect_threshold"), what("suspect_threshold"));
        parameters.failThreshold =
            NonNegative(reader, required(p, "fail_threshold"), what("fail_threshold"));
        canon.Add("suspect_threshold", parameters.suspectThreshold);
        canon.Add("fail_threshold", parameters.failThreshold);
        return parameters;
    }
    if (name == "climatology_test") {
        const auto p = entries({"config"});
        const YAML::Node& list = required(p, "config");
        if (!list.IsSequence()) {
            reader.Fail(list,
                        what("config") + ": expected a list of {tspan, vspan, fspan, period}");
        }
        ClimatologyParameters parameters;
        std::string text;
        for (const YAML::Node& item : list) {
            const std::string where2 = what("config");
            std::map<std::string, YAML::Node> m;
            for (auto& [key, value] :
                 reader.Entries(item, where2, {"tspan", "vspan", "fspan", "period", "zspan"})) {
                if (!value.IsNull()) {
                    m.emplace(key, value);
                }
            }
            if (m.count("zspan")) {
                reader.Fail(m.at("zspan"), where2 +
                                               ": zspan needs a depth, and no stream of the "
                                               "buoy has one");
            }
            ClimatologyMember member;
            if (m.count("period")) {
                const std::string period = reader.Text(m.at("period"), where2 + ": period");
                const auto known = PeriodFromName(period);
                if (!known) {
                    reader.Fail(m.at("period"),
                                where2 + ": period " + period +
                                    " is none of year, quarter, month, week, weekofyear, "
                                    "dayofyear, dayofweek, day, hour");
                }
                member.period = *known;
            }
            if (!m.count("tspan") || !m.count("vspan")) {
                reader.Fail(item, where2 + ": each member needs tspan and vspan");
            }
            const YAML::Node& tspan = m.at("tspan");
            if (!tspan.IsSequence() || tspan.size() != 2) {
                reader.Fail(tspan, where2 + ": tspan: expected a pair [start, end]");
            }
            if (member.period == Period::None) {
                const double a = reader.Instant(tspan[0], where2 + ": tspan");
                const double b = reader.Instant(tspan[1], where2 + ": tspan");
                member.timeMin = std::min(a, b);
                member.timeMax = std::max(a, b);
            } else {
                const Span span = Pair(reader, tspan, where2 + ": tspan");
                member.timeMin = span.min;
                member.timeMax = span.max;
            }
            member.suspect = Pair(reader, m.at("vspan"), where2 + ": vspan");
            if (m.count("fspan")) {
                member.fail = Pair(reader, m.at("fspan"), where2 + ": fspan");
            }
            text += "{period=" + std::to_string(static_cast<int>(member.period)) +
                    " tspan=" + Number17(member.timeMin) + "," + Number17(member.timeMax) +
                    " vspan=" + Number17(member.suspect.min) + "," + Number17(member.suspect.max);
            if (member.fail) {
                text += " fspan=" + Number17(member.fail->min) + "," + Number17(member.fail->max);
            }
            text += "}";
            parameters.members.push_back(member);
        }
        canon.Add("config", text);
        return parameters;
    }
    // time_gap_test
    const auto p = entries({"fail_span"});
    TimeGapParameters parameters;
    if (p.count("fail_span")) {
        parameters.failSpanHours = NonNegative(reader, p.at("fail_span"), what("fail_span"));
    }
    canon.Add("fail_span", parameters.failSpanHours);
    return parameters;
}

struct KnownTest {
    std::string_view module;
    std::string_view name;
    bool scalar;    // runs on a record's field
    bool position;  // runs on a position stream
};
constexpr KnownTest kKnownTests[] = {
    {"qartod", "gross_range_test", true, false},
    {"qartod", "spike_test", true, false},
    {"qartod", "rate_of_change_test", true, false},
    {"qartod", "flat_line_test", true, false},
    {"qartod", "climatology_test", true, false},
    {"qartod", "time_gap_test", true, true},
    {"qartod", "location_test", false, true},
    {"qartod", "location_bounds_test", false, true},
    {"argo", "speed_test", false, true},
};

StreamTests ReadStream(const Reader& reader, const std::string& stream, const YAML::Node& node,
                       std::string& normalised)
{
    StreamTests tests{stream, {}};
    const std::string where = "streams: " + stream;
    const bool position = IsPositionStream(stream);
    std::set<std::string> names;
    for (auto& [module, body] : reader.Entries(node, where, {"qartod", "argo"})) {
        for (auto& [name, parameters] : reader.Entries(body, where + ": " + module)) {
            const KnownTest* known = nullptr;
            const KnownTest* elsewhere = nullptr;
            for (const KnownTest& test : kKnownTests) {
                if (test.name == name) {
                    (test.module == module ? known : elsewhere) = &test;
                }
            }
            const int line = reader.KeyLine(parameters);
            const std::string testWhere = where + ": " + module + "." + name;
            if (!known) {
                throw ConfigError(reader.FileName(), line,
                                  elsewhere ? testWhere + ": " + name + " is in the " +
                                                  std::string(elsewhere->module) + " module"
                                            : testWhere + ": unknown test");
            }
            if (position ? !known->position : !known->scalar) {
                throw ConfigError(reader.FileName(), line,
                                  testWhere + (position ? ": runs on a record's field, not on "
                                                          "positions"
                                                        : ": runs on position or "
                                                          "iridium_position, not on a field"));
            }
            if (!names.insert(name).second) {
                throw ConfigError(reader.FileName(), line, testWhere + ": given twice");
            }
            Canon canon;
            TestParameters read = ReadTest(reader, name, parameters, testWhere, canon);
            normalised += "  " + module + "." + name + canon.Text() + "\n";
            tests.tests.push_back(TestCall{name, line, std::move(read)});
        }
    }
    return tests;
}

Context ReadContext(const Reader& reader, const YAML::Node& node, std::string& normalised,
                    bool topLevel)
{
    Context context;
    const auto entries =
        topLevel ? reader.Entries(node, "configuration", {"streams", "window", "region", "attrs"})
                 : reader.Entries(node, "contexts", {"streams", "window", "region", "attrs"});
    const YAML::Node* streams = nullptr;
    for (const auto& [key, value] : entries) {
        if (key == "window" && !value.IsNull()) {
            for (auto& [bound, time] : reader.Entries(value, "window", {"starting", "ending"})) {
                if (time.IsNull()) {
                    continue;
                }
                (bound == "starting" ? context.starting : context.ending) =
                    reader.Instant(time, "window: " + bound);
            }
            if (context.starting && context.ending && *context.ending <= *context.starting) {
                reader.Fail(value, "window: ending is not after starting");
            }
        } else if (key == "region") {
            context.region = Region(reader, value);
        } else if (key == "streams") {
            streams = &value;
        }
    }
    if (!streams) {
        reader.Fail(node, "a context needs streams");
    }
    normalised += "context starting=" + (context.starting ? Number17(*context.starting) : "-") +
                  " ending=" + (context.ending ? Number17(*context.ending) : "-") + " region=";
    for (const Shape& shape : context.region) {
        normalised += ShapeText(shape);
    }
    normalised += "\n";
    std::set<std::string> seen;
    for (auto& [name, body] : reader.Entries(*streams, "streams")) {
        const auto canonical = CanonicalStreamName(name);
        if (!canonical) {
            throw ConfigError(reader.FileName(), reader.KeyLine(body),
                              "streams: " + name +
                                  ": unknown stream (a record's scalar field such as "
                                  "PB200.WSMean, or position, or iridium_position)");
        }
        if (!seen.insert(*canonical).second) {
            throw ConfigError(reader.FileName(), reader.KeyLine(body),
                              "streams: " + name + ": " + *canonical + " given twice");
        }
        normalised += " stream " + *canonical + "\n";
        context.streams.push_back(ReadStream(reader, *canonical, body, normalised));
    }
    return context;
}

// ---- running ---------------------------------------------------------------------------

// The order of a series by time; equal times by value, so that any arrival order of the same
// values gives the same series.
template <typename Less>
std::vector<std::size_t> SortedOrder(std::size_t n, Less less)
{
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), less);
    return order;
}

// NaN after every number, so that the order is total.
bool NumberLess(double a, double b)
{
    if (std::isnan(a) || std::isnan(b)) {
        return !std::isnan(a) && std::isnan(b);
    }
    return a < b;
}

struct Track {
    std::vector<std::int64_t> times;
    std::vector<double> latitudes;
    std::vector<double> longitudes;
};

Track SortedTrack(const PositionSeries& series, std::vector<std::size_t>& order)
{
    const std::size_t n = series.times.size();
    if (series.latitudes.size() != n || series.longitudes.size() != n) {
        throw std::invalid_argument(
            "a position series' times, latitudes and longitudes differ "
            "in length");
    }
    order = SortedOrder(n, [&](std::size_t a, std::size_t b) {
        return PositionLess(series.times[a], series.latitudes[a], series.longitudes[a],
                            series.times[b], series.latitudes[b], series.longitudes[b]);
    });
    Track track;
    for (std::size_t i : order) {
        track.times.push_back(series.times[i]);
        track.latitudes.push_back(series.latitudes[i]);
        track.longitudes.push_back(series.longitudes[i]);
    }
    return track;
}

// The buoy's own valid fix nearest in time (the earlier on a tie).
std::optional<Shape::Point> PositionAt(const Track& fixes, std::int64_t time)
{
    const auto after = std::lower_bound(fixes.times.begin(), fixes.times.end(), time);
    const auto index = static_cast<std::size_t>(after - fixes.times.begin());
    std::optional<std::size_t> best;
    for (std::size_t i = index; i-- > 0;) {
        if (!IsMissing(fixes.latitudes[i]) && !IsMissing(fixes.longitudes[i])) {
            best = i;
            break;
        }
    }
    for (std::size_t i = index; i < fixes.times.size(); ++i) {
        if (!IsMissing(fixes.latitudes[i]) && !IsMissing(fixes.longitudes[i])) {
            if (!best || fixes.times[i] - time < time - fixes.times[*best]) {
                best = i;
            }
            break;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    return Shape::Point{fixes.longitudes[*best], fixes.latitudes[*best]};
}

struct SortedStream {
    std::vector<std::int64_t> times;
    std::vector<double> values;     // scalar streams, fill values as NaN
    std::vector<double> latitudes;  // position streams
    std::vector<double> longitudes;
    std::vector<std::size_t> order;  // sorted index -> the caller's index
    bool position = false;
};

SortedStream Prepare(const std::string& stream, const BuoySeries& series, const Track& ownFixes,
                     const std::vector<std::size_t>& ownOrder, const Track& iridium,
                     const std::vector<std::size_t>& iridiumOrder)
{
    SortedStream sorted;
    if (IsPositionStream(stream)) {
        const bool own = stream == kPositionStream;
        const Track& track = own ? ownFixes : iridium;
        sorted.position = true;
        sorted.times = track.times;
        sorted.latitudes = track.latitudes;
        sorted.longitudes = track.longitudes;
        sorted.order = own ? ownOrder : iridiumOrder;
        return sorted;
    }
    const auto it = series.streams.find(stream);
    if (it == series.streams.end()) {
        return sorted;
    }
    const ScalarSeries& scalar = it->second;
    if (scalar.times.size() != scalar.values.size()) {
        throw std::invalid_argument(stream + ": times and values differ in length");
    }
    const std::optional<double> fill = FillValue(stream);
    std::vector<double> values = scalar.values;
    for (double& value : values) {
        if (fill && value == *fill) {
            value = std::numeric_limits<double>::quiet_NaN();
        }
    }
    sorted.order = SortedOrder(values.size(), [&](std::size_t a, std::size_t b) {
        return ValueLess(scalar.times[a], values[a], scalar.times[b], values[b]);
    });
    for (std::size_t i : sorted.order) {
        sorted.times.push_back(scalar.times[i]);
        sorted.values.push_back(values[i]);
    }
    return sorted;
}

Flags RunSorted(const TestCall& call, const SortedStream& s)
{
    return RunTest(call, s.times, s.values, s.latitudes, s.longitudes);
}

SortedStream Subset(const SortedStream& s, const std::vector<std::size_t>& keep)
{
    SortedStream subset;
    subset.position = s.position;
    for (std::size_t i : keep) {
        subset.times.push_back(s.times[i]);
        if (s.position) {
            subset.latitudes.push_back(s.latitudes[i]);
            subset.longitudes.push_back(s.longitudes[i]);
        } else {
            subset.values.push_back(s.values[i]);
        }
    }
    return subset;
}

}  // namespace

ConfigError::ConfigError(std::string fileName, int line, std::string reason)
    : std::runtime_error(fileName + ":" + (line > 0 ? std::to_string(line) + ":" : "") + " " +
                         reason),
      m_fileName(std::move(fileName)),
      m_line(line),
      m_reason(std::move(reason))
{
}

std::optional<std::string> CanonicalStreamName(std::string_view name)
{
    if (name == kPositionStream || name == kIridiumPositionStream) {
        return std::string(name);
    }
    const std::size_t dot = name.find('.');
    if (dot == std::string_view::npos) {
        return std::nullopt;
    }
    const std::string_view typeName = name.substr(0, dot);
    const std::string_view fieldName = name.substr(dot + 1);
    for (const RecordDescription& record : RecordDescriptions()) {
        if (!SameTypeName(record.typeName, typeName)) {
            continue;
        }
        for (const FieldDescription& field : record.fields) {
            if (IsScalar(field.kind) && SameTypeName(field.name, fieldName)) {
                return std::string(record.typeName) + "." + std::string(field.name);
            }
        }
    }
    return std::nullopt;
}

std::optional<double> FillValue(std::string_view canonicalStream)
{
    // The turbulence record carries the library's outputs, and its marker for no estimate.
    if (canonicalStream.starts_with("Y81000.")) {
        return static_cast<double>(static_cast<float>(EDDYRATE_MISSING));
    }
    return std::nullopt;
}

Config ParseConfig(std::string_view text, std::string_view fileName)
{
    Config config;
    config.fileName = std::string(fileName);
    const Reader reader(config.fileName, RaiseConfigError);
    const YAML::Node root = reader.Load(text);
    if (!root.IsMap()) {
        throw ConfigError(config.fileName, 0,
                          "expected a mapping with contexts or streams at the top");
    }
    try {
        if (root["contexts"]) {
            for (const auto& [key, value] :
                 reader.Entries(root, "configuration", {"contexts", "attrs"})) {
                if (key != "contexts") {
                    continue;
                }
                if (!value.IsSequence() || value.size() == 0) {
                    reader.Fail(value, "contexts: expected a list of contexts");
                }
                for (const YAML::Node& context : value) {
                    config.contexts.push_back(
                        ReadContext(reader, context, config.normalised, false));
                }
            }
        } else if (root["streams"]) {
            config.contexts.push_back(ReadContext(reader, root, config.normalised, true));
        } else {
            reader.Fail(root, "expected contexts or streams at the top");
        }
    } catch (const YAML::Exception& error) {
        throw ConfigError(config.fileName, error.mark.is_null() ? 0 : error.mark.line + 1,
                          error.msg);
    }
    config.hash = "sha256:" + Sha256Hex(config.normalised);
    return config;
}

Flags RunTest(const TestCall& call, std::span<const std::int64_t> times,
              std::span<const double> values, std::span<const double> latitudes,
              std::span<const double> longitudes, std::optional<std::int64_t> medianStep)
{
    return std::visit(
        [&](const auto& p) -> Flags {
            using P = std::decay_t<decltype(p)>;
            if constexpr (std::is_same_v<P, GrossRangeParameters>) {
                return GrossRangeTest(values, p.fail, p.suspect);
            } else if constexpr (std::is_same_v<P, SpikeParameters>) {
                return SpikeTest(values, p.suspectThreshold, p.failThreshold, p.method);
            } else if constexpr (std::is_same_v<P, RateOfChangeParameters>) {
                return RateOfChangeTest(values, times, p.threshold, p.failThreshold);
            } else if constexpr (std::is_same_v<P, FlatLineParameters>) {
                if (medianStep) {
                    return FlatLineTestWithStep(values, *medianStep, p.suspectThreshold,
                                                p.failThreshold, p.tolerance);
                }
                return FlatLineTest(values, times, p.suspectThreshold, p.failThreshold,
                                    p.tolerance);
            } else if constexpr (std::is_same_v<P, ClimatologyParameters>) {
                return ClimatologyTest(values, times, p.members);
            } else if constexpr (std::is_same_v<P, TimeGapParameters>) {
                return TimeGapTest(times, p.failSpanHours);
            } else if constexpr (std::is_same_v<P, LocationParameters>) {
                Flags flags = LocationTest(latitudes, longitudes, p.rangeMax, p.method);
                if (p.bbox) {
                    // An older configuration's bbox: outside it fails, as the bounds test.
                    const Flags bounds =
                        LocationBoundsTest(latitudes, longitudes, *p.bbox, FlagArea::Outside);
                    for (std::size_t i = 0; i < flags.size(); ++i) {
                        if (bounds[i] == kFail) {
                            flags[i] = kFail;
                        }
                    }
                }
                return flags;
            } else if constexpr (std::is_same_v<P, LocationBoundsParameters>) {
                return LocationBoundsTest(latitudes, longitudes, p.shape, p.flagArea);
            } else {
                static_assert(std::is_same_v<P, SpeedParameters>);
                return SpeedTest(latitudes, longitudes, times, p.suspectThreshold,
                                 p.failThreshold);
            }
        },
        call.parameters);
}

bool ValueLess(std::int64_t timeA, double a, std::int64_t timeB, double b)
{
    if (timeA != timeB) {
        return timeA < timeB;
    }
    return NumberLess(a, b);
}

bool PositionLess(std::int64_t timeA, double latitudeA, double longitudeA, std::int64_t timeB,
                  double latitudeB, double longitudeB)
{
    if (timeA != timeB) {
        return timeA < timeB;
    }
    if (latitudeA != latitudeB) {
        return NumberLess(latitudeA, latitudeB);
    }
    return NumberLess(longitudeA, longitudeB);
}

std::vector<StreamFlags> RunConfig(const Config& config, const BuoySeries& series)
{
    std::vector<std::size_t> ownOrder;
    std::vector<std::size_t> iridiumOrder;
    const Track ownFixes = SortedTrack(series.position, ownOrder);
    const Track iridium = SortedTrack(series.iridiumPosition, iridiumOrder);

    std::vector<StreamFlags> results;
    std::map<std::string, SortedStream> prepared;
    for (const Context& context : config.contexts) {
        for (const StreamTests& stream : context.streams) {
            auto found = prepared.find(stream.stream);
            if (found == prepared.end()) {
                found = prepared
                            .emplace(stream.stream, Prepare(stream.stream, series, ownFixes,
                                                            ownOrder, iridium, iridiumOrder))
                            .first;
            }
            const SortedStream& s = found->second;
            const std::size_t n = s.times.size();

            // Which values this context covers: its window, then its region.
            std::vector<std::size_t> keep;
            for (std::size_t i = 0; i < n; ++i) {
                const auto t = static_cast<double>(s.times[i]);
                if ((context.starting && t < *context.starting) ||
                    (context.ending && t >= *context.ending)) {
                    continue;
                }
                if (!context.region.empty()) {
                    const std::optional<Shape::Point> where =
                        s.position ? std::optional<Shape::Point>(
                                         Shape::Point{s.longitudes[i], s.latitudes[i]})
                                   : PositionAt(ownFixes, s.times[i]);
                    if (!where || std::none_of(context.region.begin(), context.region.end(),
                                               [&](const Shape& shape) {
                                                   return shape.Contains(where->lon, where->lat);
                                               })) {
                        continue;
                    }
                }
                keep.push_back(i);
            }
            const bool whole = keep.size() == n;
            const SortedStream subset = whole ? SortedStream{} : Subset(s, keep);
            const SortedStream& input = whole ? s : subset;

            auto result = std::find_if(results.begin(), results.end(), [&](const StreamFlags& r) {
                return r.stream == stream.stream;
            });
            if (result == results.end()) {
                results.push_back(StreamFlags{stream.stream, {}, {}});
                result = results.end() - 1;
            }
            for (const TestCall& call : stream.tests) {
                auto test = std::find_if(result->tests.begin(), result->tests.end(),
                                         [&](const TestFlags& t) { return t.test == call.name; });
                if (test == result->tests.end()) {
                    result->tests.push_back(TestFlags{call.name, Flags(n, kUnknown)});
                    test = result->tests.end() - 1;
                }
                const Flags flags = RunSorted(call, input);
                for (std::size_t j = 0; j < keep.size(); ++j) {
                    test->flags[keep[j]] = flags[j];
                }
                // A missing value is missing in every test, also in the two whose reference
                // leaves it be: the time-gap test looks at times only, and the flat-line test
                // passes a series shorter than three values whole.
                for (std::size_t i : keep) {
                    const bool missing =
                        s.position ? std::isnan(s.latitudes[i]) && std::isnan(s.longitudes[i])
                                   : std::isnan(s.values[i]);
                    if (missing) {
                        test->flags[i] = kMissing;
                    }
                }
            }
        }
    }

    // Back to the caller's order, with the aggregate.
    for (StreamFlags& result : results) {
        const SortedStream& s = prepared.at(result.stream);
        const std::size_t n = s.times.size();
        for (TestFlags& test : result.tests) {
            Flags original(n);
            for (std::size_t i = 0; i < n; ++i) {
                original[s.order[i]] = test.flags[i];
            }
            test.flags = std::move(original);
        }
        std::vector<Flags> all;
        for (const TestFlags& test : result.tests) {
            all.push_back(test.flags);
        }
        result.aggregate = Aggregate(all, n);
    }
    return results;
}

}  // namespace saltmark::qc
