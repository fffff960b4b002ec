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
        py::list columns[21];
        for (const sa::MessageEnvelope& e : all) {
            const py::object row[] = {py::cast(e.id),
                                      py::cast(e.fileName),
                                      py::cast(e.size),
                                      Optional(e.packetType),
                                      py::cast(e.outcome),
                                      Optional(e.stopReason),
                                      Optional(e.stopOffset),
                                      py::cast(e.importedAt),
                                      Optional(e.imei),
                                      Optional(e.momsn),
                                      Optional(e.mtmsn),
                                      Optional(e.cdrReference),
                                      Optional(e.sessionStatus),
                                      Optional(e.sessionTime),
                                      Optional(e.iridiumLatitude),
                                      Optional(e.iridiumLongitude),
                                      Optional(e.iridiumCepKm),
                                      py::cast(e.source),
                                      Optional(e.receivedAt),
                                      Optional(e.time),
                                      Optional(e.timeSource)};
            for (std::size_t i = 0; i < std::size(row); ++i) {
                columns[i].append(row[i]);
            }
        }
        static constexpr const char* kNames[] = {"id",
                                                 "file_name",
                                                 "size",
                                                 "packet_type",
                                                 "outcome",
                                                 "stop_reason",
                                                 "stop_offset",
                                                 "imported_at",
                                                 "imei",
                                                 "momsn",
                                                 "mtmsn",
                                                 "cdr_reference",
                                                 "session_status",
                                                 "session_time",
                                                 "iridium_latitude",
                                                 "iridium_longitude",
                                                 "iridium_cep_km",
                                                 "source",
                                                 "received_at",
                                                 "time",
                                                 "time_source"};
        py::dict d;
        for (std::size_t i = 0; i < std::size(kNames); ++i) {
            d[kNames[i]] = columns[i];
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
            Run([&](std::string& reason) { return m_reader->Flags(stream, buoy, reason); });
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
