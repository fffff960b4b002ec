// saltmark.read_deployment(path): the deployment file as dicts and lists, under the file's own
// key names, so that a script reads the same words as the person who wrote the file.

#include <pybind11/pybind11.h>

#include <fstream>
#include <iterator>
#include <string>

#include "Deployment.h"

namespace py = pybind11;
namespace sd = saltmark::deployment;

namespace {

py::object OptionalNumber(const std::optional<double>& value)
{
    return value ? py::object(py::float_(*value)) : py::object(py::none());
}

py::object OptionalTime(const std::optional<double>& value)
{
    return value ? py::object(py::str(sd::IsoTime(*value))) : py::object(py::none());
}

py::dict PartyDict(const sd::Party& party)
{
    return py::dict(py::arg("name") = party.name, py::arg("email") = party.email,
                    py::arg("url") = party.url, py::arg("type") = party.type,
                    py::arg("institution") = party.institution,
                    py::arg("country") = party.country, py::arg("sector") = party.sector,
                    py::arg("address") = party.address, py::arg("city") = party.city,
                    py::arg("state") = party.state, py::arg("postalcode") = party.postalcode,
                    py::arg("phone") = party.phone);
}

py::dict MetadataDict(const sd::Metadata& m)
{
    py::list keywords;
    for (const std::string& word : m.keywords) {
        keywords.append(word);
    }
    py::list contributors;
    for (const sd::Contributor& c : m.contributors) {
        contributors.append(py::dict(py::arg("name") = c.name, py::arg("role") = c.role,
                                     py::arg("email") = c.email, py::arg("url") = c.url));
    }
    py::dict d;
    d["title"] = m.title;
    d["summary"] = m.summary;
    d["keywords"] = keywords;
    d["keywords_vocabulary"] = m.keywordsVocabulary;
    d["institution"] = m.institution;
    d["project"] = m.project;
    d["creator"] = PartyDict(m.creator);
    d["publisher"] = PartyDict(m.publisher);
    d["contributors"] = contributors;
    d["license"] = m.license;
    d["naming_authority"] = m.namingAuthority;
    d["infoUrl"] = m.infoUrl;
    d["references"] = m.references;
    d["acknowledgement"] = m.acknowledgement;
    d["comment"] = m.comment;
    d["instrument_vocabulary"] = m.instrumentVocabulary;
    // Under their ACDD/IOOS names, as the exports write them.
    py::dict attributes;
    for (const auto& [name, value] : sd::DatasetAttributes(m)) {
        attributes[py::str(name)] = value;
    }
    d["attributes"] = attributes;
    return d;
}

py::dict BuoyDict(const sd::Buoy& b)
{
    py::list instruments;
    for (const sd::Instrument& i : b.instruments) {
        instruments.append(py::dict(py::arg("record") = i.record,
                                    py::arg("make_model") = i.makeModel,
                                    py::arg("height") = OptionalNumber(i.height),
                                    py::arg("depth") = OptionalNumber(i.depth),
                                    py::arg("calibration_date") = OptionalTime(i.calibrationDate)));
    }
    py::dict d;
    d["name"] = b.name;
    d["platform_id"] = b.platformId;
    d["wmo_platform_code"] = b.wmoPlatformCode;
    d["platform_type"] = b.platformType;
    d["deployment"] =
        py::dict(py::arg("start") = OptionalTime(b.start), py::arg("end") = OptionalTime(b.end));
    d["position"] = b.latitude ? py::object(py::dict(py::arg("latitude") = *b.latitude,
                                                     py::arg("longitude") = *b.longitude))
                               : py::object(py::none());
    d["instruments"] = instruments;
    return d;
}

// The rules as the file names them; a rule that is off is None.
py::dict RulesDict(const saltmark::alerts::Rules& r)
{
    py::dict absent;
    for (const auto& [record, hours] : r.recordAbsentHours) {
        absent[py::str(record)] = hours;
    }
    py::object geofence = py::none();
    if (r.geofence) {
        // GeoJSON's order: a MultiPolygon's rings of [lon, lat].
        py::list polygons;
        for (const auto& polygon : r.geofence->polygons) {
            py::list rings;
            for (const auto& ring : polygon) {
                py::list points;
                for (const saltmark::alerts::LatLon& p : ring) {
                    points.append(py::make_tuple(p.longitude, p.latitude));
                }
                rings.append(points);
            }
            polygons.append(rings);
        }
        geofence = py::dict(py::arg("type") = "MultiPolygon", py::arg("coordinates") = polygons);
    }
    py::dict d;
    d["silent_hours"] = OptionalNumber(r.silentHours);
    d["record_absent_hours"] = absent;
    d["battery_below"] = OptionalNumber(r.batteryBelow);
    d["battery_falling_per_day"] = OptionalNumber(r.batteryFallingPerDay);
    d["geofence"] = geofence;
    d["max_distance_km"] = OptionalNumber(r.maxDistanceKm);
    py::list qcFail;
    for (const std::string& stream : r.qcFail) {
        qcFail.append(stream);
    }
    d["qc_fail"] = qcFail;
    return d;
}

py::dict ReadDeployment(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    sd::Deployment deployment;
    try {
        deployment = sd::ParseDeployment(text, path);
    } catch (const sd::DeploymentError& error) {
        throw py::value_error(error.what());
    }
    py::dict buoys;
    for (const sd::Buoy& buoy : deployment.buoys) {
        py::dict entry = BuoyDict(buoy);
        // The rules that hold for this buoy: its own where it gives any, else the fleet's.
        entry["alerts"] = RulesDict(deployment.AlertRulesFor(buoy.imei));
        buoys[py::str(buoy.imei)] = entry;
    }
    py::list channels;
    for (const std::string& channel : deployment.alertChannels) {
        // "webhook:<url>" and "mail:<address>" as the file writes them.
        const std::size_t colon = channel.find(':');
        py::dict one;
        one[py::str(channel.substr(0, colon))] = channel.substr(colon + 1);
        channels.append(one);
    }
    py::dict d;
    d["metadata"] = MetadataDict(deployment.metadata);
    d["buoys"] = buoys;
    d["alerts"] = py::dict(py::arg("channels") = channels,
                           py::arg("rules") = RulesDict(deployment.alertRules));
    return d;
}

}  // namespace

void BindDeployment(py::module_& m)
{
    m.def("read_deployment", &ReadDeployment, py::arg("path"),
          R"(Reads a deployment file (YAML; see docs/publishing.md) into dicts:
{"metadata": {...}, "buoys": {imei: {...}}, "alerts": {"channels": [...], "rules": {...}}};
each buoy's "alerts" are the rules that hold for it. Times are ISO 8601 UTC text, absent
values None. OSError when the file cannot be read; ValueError, naming the
file, line and reason, when it is not a valid deployment file.)");
}
