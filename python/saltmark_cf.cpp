// saltmark.variable_attributes(record, field): what a decoded field means to a data centre,
// from the one table the NetCDF export writes (converter/export/VariableAttributes.h), so that
// a dataset made in Python and a file made by saltmark-export say the same.

#include <pybind11/pybind11.h>

#include <string>

#include "VariableAttributes.h"

namespace py = pybind11;
namespace ex = saltmark::exporting;

namespace {

py::dict AttributesDict(const ex::VariableAttributes& a)
{
    py::dict d;
    d["name"] = a.name;
    d["units"] = a.units;
    d["long_name"] = a.longName;
    if (!a.standardName.empty()) {
        d["standard_name"] = a.standardName;
        d["standard_name_url"] = a.standardNameUrl;
    }
    d["coverage_content_type"] = a.coverageContentType;
    if (!a.comment.empty()) {
        d["comment"] = a.comment;
    }
    if (!a.cellMethods.empty()) {
        d["cell_methods"] = a.cellMethods;
    }
    if (a.integer) {
        d["_FillValue"] = static_cast<long long>(a.fillValue);
    } else {
        d["_FillValue"] = a.fillValue;
    }
    py::list fills;
    for (double value : a.decoderFillValues) {
        fills.append(value);
    }
    d["decoder_fill_values"] = fills;
    d["non_finite_is_fill"] = a.nonFiniteIsFill;
    d["dtype"] = a.integer ? "int32" : "float32";
    if (a.shape == ex::Shape::Array) {
        d["dimension"] = a.dimension;
        d["length"] = a.length;
        if (!a.coordinate.empty()) {
            d["coordinate"] = a.coordinate;  // the variable that labels its elements
        }
    }
    return d;
}

}  // namespace

void BindVariableAttributes(py::module_& m)
{
    m.def(
        "variable_attributes",
        [](const std::string& record, const std::string& field) -> py::object {
            const auto found = ex::FieldAttributes(record, field);
            return found ? py::object(AttributesDict(*found)) : py::object(py::none());
        },
        py::arg("record"), py::arg("field"),
        R"(The NetCDF variable of one decoded field, as saltmark-export writes it: a dict with
name, units, long_name, standard_name (where CF has one), coverage_content_type, comment,
cell_methods, _FillValue, decoder_fill_values (what the logger writes for no reading, mapped to
_FillValue, as is any non-finite value when non_finite_is_fill), dtype, and for an array its
dimension and length. Record and field by the decoder's or the archive's names; None for a
field the exports leave out.)");
    m.def(
        "exported_fields",
        [] {
            py::list out;
            for (const ex::VariableAttributes& a : ex::ExportedFields()) {
                out.append(py::make_tuple(a.record, a.field));
            }
            return out;
        },
        "Every (record, field) the exports write, in the decoder's order.");
}
