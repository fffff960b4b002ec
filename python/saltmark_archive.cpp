// The archive's reader for Python: saltmark.archive calls these and puts the numpy arrays they
// return into pandas and xarray, so that Python reads the archive exactly as the dashboard does.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Archive.h"
#include "Reader.h"
#include "Records.h"

namespace py = pybind11;
namespace sa = saltmark::archive;

namespace {

template <typename T>
py::array_t<T> Numpy(const std::vector<T>& values)
{
    return py::array_t<T>(static_cast<py::ssize_t>(values.size()), values.data());
}

py::list Names(const std::vector<std::string>& names)
{
    py::list list;
    for (const std::string& name : names) {
        list.append(py::str(name));
    }
    return list;
}

template <typename T>
py::object Optional(const std::optional<T>& value)
{
    return value ? py::cast(*value) : py::none();
}

// Runs `query` without the GIL; its reason becomes a ValueError (an unknown record or field)
// or an OSError (SQLite failed).
template <typename Query>
auto Run(Query query)
{
    std::string reason;
    decltype(query(reason)) result;
    {
        py::gil_scoped_release released;
        result = query(reason);
    }
    if (!result) {
        if (reason.rfind("no ", 0) == 0) {
            throw py::value_error(reason);
        }
        PyErr_SetString(PyExc_OSError, reason.c_str());
        throw py::error_already_set();
    }
    return std::move(*result);
}

sa::TimeRange Range(std::optional<double> from, std::optional<double> to) { return {from, to}; }

class ArchiveReader {
public:
    explicit ArchiveReader(const std::string& path)
    {
        std::string reason;
        m_reader = sa::Reader::Open(path, reason);
        if (!m_reader) {
            if (reason.find("not an archive") != std::string::npos) {
                throw py::value_error(path + ": " + reason +
                                      "; saltmark-convert --db upgrades an earlier one");
            }
            PyErr_SetString(PyExc_OSError, (path + ": not a readable archive: " + reason).c_str());
            throw py::error_already_set();
        }
    }

    int Version() const { return m_reader->Version(); }

    // The buoys by IMEI, the mail-folder buoy ("files") last.
    py::list Buoys() const
    {
        const std::vector<sa::BuoySummary> buoys =
            Run([&](std::string& reason) { return m_reader->Buoys(reason); });
        py::list names;
        for (const sa::BuoySummary& buoy : buoys) {
            names.append(py::str(buoy.buoy));
        }
        return names;
    }

    // Every message, page after page, as columns; newest first as the Reader lists them.
    py::dict Messages(std::optional<std::string> buoy) const
    {
        std::vector<sa::MessageEnvelope> all;
        sa::MessageQuery query;
        query.buoy = std::move(buoy);
        query.limit = sa::Reader::kLargestPage;
        for (;;) {
            sa::MessagePage page =
                Run([&](std::string& reason) { return m_reader->Messages(query, reason); });
            std::move(page.messages.begin(), page.messages.end(), std::back_inserter(all));
            if (!page.next) {
                break;
            }
            query.before = page.next;
        }
        // Numbers as numpy arrays (a missing integer under a mask, to become pandas' Int64),
        // texts as lists: a large archive's envelopes become columns, not objects per cell.
        struct Integers {
            const char* name;
            std::optional<std::int64_t> sa::MessageEnvelope::*member;
        };
        static constexpr Integers kIntegers[] = {
            {"packet_type", &sa::MessageEnvelope::packetType},
            {"stop_offset", &sa::MessageEnvelope::stopOffset},
            {"momsn", &sa::MessageEnvelope::momsn},
            {"mtmsn", &sa::MessageEnvelope::mtmsn},
            {"cdr_reference", &sa::MessageEnvelope::cdrReference},
            {"session_status", &sa::MessageEnvelope::sessionStatus},
            {"iridium_cep_km", &sa::MessageEnvelope::iridiumCepKm}};
        struct Texts {
            const char* name;
            std::optional<std::string> sa::MessageEnvelope::*member;
        };
        static constexpr Texts kTexts[] = {{"stop_reason", &sa::MessageEnvelope::stopReason},
                                           {"imei", &sa::MessageEnvelope::imei},
                                           {"session_time", &sa::MessageEnvelope::sessionTime},
                                           {"received_at", &sa::MessageEnvelope::receivedAt},
                                           {"time", &sa::MessageEnvelope::time},
                                           {"time_source", &sa::MessageEnvelope::timeSource}};
        const auto each = [&](auto value) {
            std::vector<decltype(value(all.front()))> column;
            column.reserve(all.size());
            for (const sa::MessageEnvelope& e : all) {
                column.push_back(value(e));
            }
            return column;
        };
        const auto texts = [&](auto value) {
            py::list column;
            for (const sa::MessageEnvelope& e : all) {
                column.append(value(e));
            }
            return column;
        };
        constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
        py::dict d;
        d["id"] = Numpy(each([](const sa::MessageEnvelope& e) { return e.id; }));
        d["file_name"] = texts([](const sa::MessageEnvelope& e) { return e.fileName; });
        d["size"] = Numpy(each([](const sa::MessageEnvelope& e) { return e.size; }));
        d["outcome"] = texts([](const sa::MessageEnvelope& e) { return e.outcome; });
        d["imported_at"] = texts([](const sa::MessageEnvelope& e) { return e.importedAt; });
        d["source"] = texts([](const sa::MessageEnvelope& e) { return e.source; });
        d["iridium_latitude"] = Numpy(
            each([&](const sa::MessageEnvelope& e) { return e.iridiumLatitude.value_or(kNaN); }));
        d["iridium_longitude"] = Numpy(
            each([&](const sa::MessageEnvelope& e) { return e.iridiumLongitude.value_or(kNaN); }));
        for (const Integers& c : kIntegers) {
            const auto member = c.member;
            d[c.name] = py::make_tuple(
                Numpy(each([&](const sa::MessageEnvelope& e) { return (e.*member).value_or(0); })),
                Numpy(each([&](const sa::MessageEnvelope& e) {
                    return static_cast<std::uint8_t>(!(e.*member));
                })));
        }
        for (const Texts& c : kTexts) {
            const auto member = c.member;
            d[c.name] = texts([&](const sa::MessageEnvelope& e) { return Optional(e.*member); });
        }
        return d;
    }

    py::dict Times(const std::optional<std::string>& buoy) const
    {
        const sa::MessageTimes times =
            Run([&](std::string& reason) { return m_reader->Times(buoy, reason); });
        py::dict d;
        d["id"] = Numpy(times.ids);
        d["time"] = Numpy(times.times);
        return d;
    }

    py::dict Records(const std::string& record) const
    {
        const sa::RecordRows rows =
            Run([&](std::string& reason) { return m_reader->Records(record, reason); });
        py::dict values;
        for (std::size_t i = 0; i < rows.fields.size(); ++i) {
            values[py::str(rows.fields[i])] = Numpy(rows.values[i]);
        }
        py::dict d;
        d["message_id"] = Numpy(rows.messageIds);
        d["record"] = Numpy(rows.records);
        d["time"] = Numpy(rows.times);
        d["fields"] = Names(rows.fields);
        d["values"] = values;
        return d;
    }

    py::dict Series(const std::string& record, const std::string& field,
                    const std::vector<std::string>& buoys, std::optional<double> from,
                    std::optional<double> to) const
    {
        const sa::SeriesValues series = Run([&](std::string& reason) {
            return m_reader->Series({record, field, buoys, Range(from, to)}, reason);
        });
        py::dict d;
        d["time"] = Numpy(series.times);
        d["value"] = Numpy(series.values);
        d["message_id"] = Numpy(series.messageIds);
        d["record"] = Numpy(series.records);
        d["buoy"] = Numpy(series.buoys);
        d["buoy_names"] = Names(series.buoyNames);
        return d;
    }

    py::dict Track(std::optional<std::string> buoy, std::optional<double> from,
                   std::optional<double> to) const
    {
        const sa::TrackPositions track = Run([&](std::string& reason) {
            return m_reader->Track({std::move(buoy), Range(from, to)}, reason);
        });
        std::vector<std::int8_t> sources;
        for (const sa::PositionSource source : track.sources) {
            sources.push_back(static_cast<std::int8_t>(source));
        }
        std::vector<std::string> sourceNames;
        for (const auto source : {sa::PositionSource::Pb200, sa::PositionSource::Imu,
                                  sa::PositionSource::Ellipse, sa::PositionSource::Iridium}) {
            sourceNames.emplace_back(sa::PositionSourceName(source));
        }
        py::dict d;
        d["time"] = Numpy(track.times);
        d["latitude"] = Numpy(track.latitudes);
        d["longitude"] = Numpy(track.longitudes);
        d["source"] = Numpy(sources);
        d["source_names"] = Names(sourceNames);
        d["cep_km"] = Numpy(track.cepKm);
        d["message_id"] = Numpy(track.messageIds);
        d["record"] = Numpy(track.records);
        d["buoy"] = Numpy(track.buoys);
        d["buoy_names"] = Names(track.buoyNames);
        return d;
    }

    // One row per element, in time order (those without a time last).
    py::dict Array(const std::string& record, const std::string& field,
                   std::optional<std::string> buoy) const
    {
        const std::vector<sa::ArrayRecord> records = Run([&](std::string& reason) {
            return m_reader->Array({record, field, {}, std::move(buoy)}, reason);
        });
        std::vector<std::int64_t> ids;
        std::vector<std::int32_t> indexes, elements;
        std::vector<double> times, values;
        for (const sa::ArrayRecord& r : records) {
            for (std::size_t i = 0; i < r.values.size(); ++i) {
                ids.push_back(r.messageId);
                indexes.push_back(r.record);
                elements.push_back(static_cast<std::int32_t>(i));
                times.push_back(r.time.value_or(std::numeric_limits<double>::quiet_NaN()));
                values.push_back(r.values[i]);
            }
        }
        py::dict d;
        d["message_id"] = Numpy(ids);
        d["record"] = Numpy(indexes);
        d["element"] = Numpy(elements);
        d["value"] = Numpy(values);
        d["time"] = Numpy(times);
        return d;
    }

    py::dict Flags(const std::string& stream, const std::optional<std::string>& buoy) const
    {
        const sa::StoredFlags rows =
            Run([&](std::string& reason) { return m_reader->FlagsOfStreams(stream, buoy, reason); });
        std::vector<std::int64_t> ids;
        std::vector<std::int32_t> records;
        for (const sa::ValueKey& key : rows.keys) {
            ids.push_back(key.messageId);
            records.push_back(key.record);
        }
        py::dict d;
        d["streams"] = Names(rows.streams);
        d["stream"] = Numpy(rows.streamIndexes);
        d["tests"] = Names(rows.tests);
        d["message_id"] = Numpy(ids);
        d["record"] = Numpy(records);
        d["test"] = Numpy(rows.testIndexes);
        d["flag"] = Numpy(rows.flags);
        return d;
    }

private:
    std::unique_ptr<sa::Reader> m_reader;
};

// The record types and their fields as the archive names them: (type, field, kind) with kind
// "scalar", "array" or "text", in the decoder's order.
py::list RecordFields()
{
    py::list fields;
    for (const saltmark::RecordDescription& type : saltmark::RecordDescriptions()) {
        for (const saltmark::FieldDescription& field : type.fields) {
            const char* kind = saltmark::IsArray(field.kind)             ? "array"
                               : field.kind == saltmark::FieldKind::Text ? "text"
                                                                         : "scalar";
            fields.append(
                py::make_tuple(sa::ArchiveName(type.typeName), sa::ArchiveName(field.name), kind));
        }
    }
    return fields;
}

}  // namespace

void BindArchive(py::module_& m)
{
    py::class_<ArchiveReader>(m, "_ArchiveReader",
                              "The archive's reader; saltmark.open_archive wraps it.")
        .def(py::init<const std::string&>(), py::arg("path"))
        .def_property_readonly("version", &ArchiveReader::Version)
        .def("buoys", &ArchiveReader::Buoys)
        .def("messages", &ArchiveReader::Messages, py::arg("buoy") = py::none())
        .def("times", &ArchiveReader::Times, py::arg("buoy") = py::none())
        .def("records", &ArchiveReader::Records, py::arg("record"))
        .def("series", &ArchiveReader::Series, py::arg("record"), py::arg("field"),
             py::arg("buoys") = std::vector<std::string>{}, py::arg("start") = py::none(),
             py::arg("end") = py::none())
        .def("track", &ArchiveReader::Track, py::arg("buoy") = py::none(),
             py::arg("start") = py::none(), py::arg("end") = py::none())
        .def("array", &ArchiveReader::Array, py::arg("record"), py::arg("field"),
             py::arg("buoy") = py::none())
        .def("flags", &ArchiveReader::Flags, py::arg("stream") = "", py::arg("buoy") = py::none());
    m.def("_record_fields", &RecordFields);
}
