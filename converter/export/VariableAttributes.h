#pragma once
// What each decoded field means to a data centre: the one table every published dataset
// takes its variable names, units, long names and standard names from (the NetCDF export,
// the ERDDAP dataset, Python's xarray view). Built from the record descriptions, so that a
// field the decoder knows is never left out, plus a small table of meanings.
//
// Variable names are the archive's: "<record table>_<column>" ("PB200_WSMean",
// "Miscellaneous_values_Battery_voltage").

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace saltmark::exporting {

// How a variable is laid out in a file: one value per observation, or an array per
// observation along one of the bands or bins below.
enum class Shape { Scalar, Array };

struct VariableAttributes {
    std::string record;  // the record type as the decoder names it ("Miscellaneous values")
    std::string field;   // the field as the report labels it ("Battery voltage")
    std::string name;    // the variable's name
    std::string units;   // udunits
    std::string longName;
    std::string standardName;         // empty where the CF standard-name table has none
    std::string standardNameUrl;      // the name's entry in a resolvable vocabulary, or empty
    std::string coverageContentType;  // ISO 19115-1 as ACDD uses it
    std::string comment;              // empty, or what a reader must know beyond the name
    std::string cellMethods;          // "time: mean" for a burst statistic
    // An array's frequency or bin centres: the variable of the same record that labels its
    // elements, an auxiliary coordinate.
    std::string coordinate;
    bool integer = false;  // counts (int32), else float32
    Shape shape = Shape::Scalar;
    std::string dimension;  // an array's band or bin dimension ("band", "wave_band", ...)
    int length = 0;         // an array's element count
    // What the file holds for "no value", and which of the decoder's values become it: the
    // logger's 9999 marker and any non-finite value for the float fields.
    double fillValue = 0;
    std::vector<double> decoderFillValues;
    bool nonFiniteIsFill = false;
};

// The attributes of one field, by the decoder's names or the archive's; nothing for a field
// the exports leave out (the PB200's date and position, which are the file's coordinates,
// the V536's address, the camera's bytes, the Signature's arrays, whose length changes from
// message to message) or one that does not exist.
std::optional<VariableAttributes> FieldAttributes(std::string_view record, std::string_view field);

// Every exported field in the decoder's order of record types and fields.
const std::vector<VariableAttributes>& ExportedFields();

// The value the exports write where a float field has none, and an integer one.
inline constexpr float kFloatFill = -9999.0f;
inline constexpr int kIntegerFill = -2147483647;

}  // namespace saltmark::exporting
