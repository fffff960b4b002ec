// saltmark: the message decoder for Python. decode(data) gives what the window shows (the
// report text and the camera image) and the decoded records as dicts, under the names and
// with the values of saltmark-convert --json.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Message.h"

namespace py = pybind11;

namespace {

struct Message {
    std::string report;  // UTF-8, the report's own CR LF line endings
    saltmark::CapturedImage image;
    py::list records;  // the JSON document's "records"
    py::dict outcome;  // and its "outcome"
    std::optional<saltmark::Y81000Spectrum> spectrum;
};

// Any object with a buffer of bytes: bytes, bytearray, memoryview, a numpy uint8 array, mmap.
std::string_view bytesOf(const py::buffer& data, py::buffer_info& info)
{
    info = data.request();
    if (info.itemsize != 1) {
        throw py::type_error("decode takes bytes (one byte an item), not items of " +
                             std::to_string(info.itemsize) + " bytes");
    }
    const bool contiguous =
        info.ndim <= 1 && (info.ndim == 0 || info.strides[0] == 1 || info.shape[0] <= 1);
    if (!contiguous) {
        throw py::type_error("decode takes one contiguous run of bytes");
    }
    return {static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size)};
}

// Everything from the message core's one decode.
Message fromCore(const saltmark::Message& core)
{
    Message message;
    std::string json;
    {
        py::gil_scoped_release released;
        message.report = saltmark::ToUtf8(core.Report());
        message.image = core.Image();
        message.spectrum = core.Spectrum();
        json = core.JsonText("");
    }
    // The records go through the JSON text, so that their names and values are those of
    // the converter's JSON by construction.
    const py::dict document = py::module_::import("json").attr("loads")(json);
    message.records = document["records"];
    message.outcome = document["outcome"];
    return message;
}

Message decode(const py::buffer& data)
{
    py::buffer_info info;
    const std::string_view bytes = bytesOf(data, info);
    if (bytes.size() > static_cast<std::size_t>(saltmark::kLargestMessageBytes)) {
        throw py::value_error("more than " + std::to_string(saltmark::kLargestMessageBytes) +
                              " bytes: not an SBD message");
    }
    const auto* first = reinterpret_cast<const std::uint8_t*>(bytes.data());
    return fromCore(saltmark::Message(std::vector<std::uint8_t>(first, first + bytes.size())));
}

Message decodeFile(const std::string& path)
{
    std::string reason;
    std::optional<saltmark::Message> core;
    {
        py::gil_scoped_release released;
        core = saltmark::Message::FromFile(path, reason);
    }
    if (!core) {
        // The system's error where there is one; the size limit and a folder have none.
        if (errno != 0) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            throw py::error_already_set();
        }
        PyErr_SetString(PyExc_OSError, (path + ": " + reason).c_str());
        throw py::error_already_set();
    }
    return fromCore(*core);
}

py::object lineOf(const std::optional<saltmark::InertialLine>& found)
{
    if (!found) {
        return py::none();
    }
    py::dict line;
    line["level"] = found->level;
    line["bands"] = found->bands;
    line["freq"] = found->freq;
    line["tke"] = found->tke;
    return line;
}

py::object inertialLine(const std::vector<double>& freq, const std::vector<double>& tke)
{
    return lineOf(saltmark::InertialLineOf(freq, tke));
}

// The spectrum as a dict of lists, or None.
py::object spectrumOf(const Message& msg)
{
    if (!msg.spectrum) {
        return py::none();
    }
    const saltmark::Y81000Spectrum& spectrum = *msg.spectrum;
    py::dict out;
    out["port"] = spectrum.port;
    out["freq"] = spectrum.freq;
    out["tke"] = spectrum.tke;
    out["epsilon"] = spectrum.epsilon;
    out["ustar"] = spectrum.ustar;
    out["line"] = lineOf(spectrum.line);
    return out;
}

}  // namespace

// What each field means in a published file (saltmark_cf.cpp).
void BindVariableAttributes(py::module_& m);
// The archive's reader (saltmark_archive.cpp).
void BindArchive(py::module_& m);

#ifdef SALTMARK_HAVE_DEPLOYMENT
// The deployment file reader (saltmark_deployment.cpp), when yaml-cpp was found.
void BindDeployment(py::module_& m);
#endif

PYBIND11_MODULE(_saltmark, m)
{
    m.doc() = "The Saltmark SBD message decoder.";
    m.attr("__version__") = ORCAN_VERSION;

    py::class_<Message>(m, "Message", "One decoded message.")
        .def_property_readonly(
            "report", [](const Message& msg) { return py::str(msg.report); },
            "the report text, lines ending in CR LF, exactly as the window shows it")
        .def_property_readonly(
            "image",
            [](const Message& msg) -> py::object {
                if (!msg.image.held()) {
                    return py::none();
                }
                const std::vector<std::uint8_t>& bytes = *msg.image.bytes;
                return py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            },
            "the last camera record's JPEG bytes (b'' for an empty one), or None")
        .def_readonly("records", &Message::records,
                      "the decoded records, as saltmark-convert --json gives them: dicts with "
                      "index, type, code, port, offset, length, size and fields")
        .def_readonly("outcome", &Message::outcome,
                      "whether the decode completed: complete, reason, offset")
        .def_property_readonly(
            "spectrum", &spectrumOf,
            "the last Y81000 record's spectrum (port, freq, tke, epsilon, ustar) with its "
            "f^-5/3 line (see inertial_line), or None");

    m.def("decode", &decode, py::arg("data"),
          R"(Decodes one SBD message (the bytes of a .sbd file): bytes, bytearray, memoryview,
a numpy uint8 array or any other contiguous buffer of bytes.

Never raises for what the bytes hold: every decoding problem is a line of the report.
Raises ValueError only for more bytes than any SBD message has.)");
    m.def("decode_file", &decodeFile, py::arg("path"),
          "Decodes the .sbd file at path; OSError when it cannot be read (a folder, or larger "
          "than any SBD message, included).");

    m.def("inertial_line", &inertialLine, py::arg("freq"), py::arg("tke"),
          R"(The f^-5/3 line of a turbulence spectrum as every view draws it: level, the mean of
f^(5/3) * Tke over the bands strictly inside the fit band (2.0 to 4.9 Hz), and the line
level * f^(-5/3) at those bands (bands: their indices, freq, tke). None when fewer than two
bands lie there or one of them holds no usable value (not finite, not positive, 9999).)");

    BindVariableAttributes(m);
    BindArchive(m);
#ifdef SALTMARK_HAVE_DEPLOYMENT
    BindDeployment(m);
#endif
}
