#include "Erddap.h"

#include <algorithm>
#include <cctype>

namespace saltmark::exporting {

namespace {

std::string Escaped(std::string_view text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void Att(std::string& out, std::string_view indent, std::string_view name, std::string_view value)
{
    if (!value.empty()) {
        out += std::string(indent) + "<att name=\"" + Escaped(name) + "\">" + Escaped(value) +
               "</att>\n";
    }
}

// ERDDAP asks every variable for one of its fixed categories.
std::string IoosCategory(const VariableAttributes& a)
{
    const std::string& r = a.record;
    if (a.coverageContentType == "qualityInformation") {
        return "Quality";
    }
    if (r == "IMU" || r == "Ellipse") {
        return "Surface Waves";
    }
    if (r == "ACS") {
        return a.field.starts_with("Temp") ? "Temperature" : "Salinity";
    }
    if (r == "ACO") {
        return "Dissolved O2";
    }
    if (r == "ECO" || r == "SWL") {
        return "Optical Properties";
    }
    if (r == "Signature") {
        return "Currents";
    }
    if (a.field.starts_with("WD") || a.field.starts_with("WS") || r == "Y81000") {
        return "Wind";
    }
    if (a.field.starts_with("AT")) {
        return "Temperature";
    }
    if (a.field.starts_with("BP")) {
        return "Pressure";
    }
    if (r == "PB200" || r == "V536") {
        return "Meteorology";
    }
    return "Other";
}

void Variable(std::string& out, std::string_view name, std::string_view type,
              std::initializer_list<std::pair<std::string_view, std::string_view>> atts)
{
    out += "    <dataVariable>\n";
    out += "        <sourceName>" + Escaped(name) + "</sourceName>\n";
    out += "        <destinationName>" + Escaped(name) + "</destinationName>\n";
    out += "        <dataType>" + std::string(type) + "</dataType>\n";
    out += "        <addAttributes>\n";
    for (const auto& [key, value] : atts) {
        Att(out, "            ", key, value);
    }
    out += "        </addAttributes>\n";
    out += "    </dataVariable>\n";
}

}  // namespace

std::string DatasetId(const std::string& text)
{
    std::string id;
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u)) {
            id += static_cast<char>(std::tolower(u));
        } else if (!id.empty() && id.back() != '_') {
            id += '_';
        }
    }
    while (!id.empty() && id.back() == '_') {
        id.pop_back();
    }
    if (id.empty() || std::isdigit(static_cast<unsigned char>(id.front()))) {
        id = "buoys_" + id;
    }
    return id;
}

std::string DatasetsXml(const ErddapDataset& dataset, const deployment::Deployment& deployment)
{
    const deployment::Metadata& m = deployment.metadata;
    std::string out;
    out += "<dataset type=\"EDDTableFromNcCFFiles\" datasetID=\"" + Escaped(dataset.datasetId) +
           "\" active=\"true\">\n";
    out += "    <reloadEveryNMinutes>1440</reloadEveryNMinutes>\n";
    out += "    <updateEveryNMillis>10000</updateEveryNMillis>\n";
    out += "    <fileDir>" + Escaped(dataset.fileDir) + "</fileDir>\n";
    out += "    <fileNameRegex>.*\\.nc</fileNameRegex>\n";
    out += "    <recursive>false</recursive>\n";
    out += "    <pathRegex>.*</pathRegex>\n";
    out += "    <metadataFrom>last</metadataFrom>\n";
    out += "    <standardizeWhat>0</standardizeWhat>\n";
    out += "    <sortFilesBySourceNames>trajectory time</sortFilesBySourceNames>\n";
    out += "    <fileTableInMemory>false</fileTableInMemory>\n";
    out += "    <addAttributes>\n";
    const std::string_view in = "        ";
    Att(out, in, "cdm_data_type", "Trajectory");
    Att(out, in, "cdm_trajectory_variables", "trajectory, trajectory_name");
    Att(out, in, "subsetVariables", "trajectory, trajectory_name");
    Att(out, in, "featureType", "Trajectory");
    Att(out, in, "Conventions", "CF-1.8, ACDD-1.3, IOOS-1.2, COARDS");
    Att(out, in, "title", m.title);
    for (const auto& [name, value] : deployment::DatasetAttributes(m)) {
        Att(out, in, name, value);
    }
    Att(out, in, "sourceUrl", "(local files)");
    Att(out, in, "standard_name_vocabulary", "CF Standard Name Table v72");
    out += "    </addAttributes>\n";

    Variable(out, "trajectory", "String",
             {{"cf_role", "trajectory_id"},
              {"ioos_category", "Identifier"},
              {"long_name", "buoy IMEI"}});
    Variable(out, "trajectory_name", "String",
             {{"ioos_category", "Identifier"}, {"long_name", "buoy name"}});
    Variable(out, "time", "double",
             {{"ioos_category", "Time"}, {"units", "seconds since 1970-01-01T00:00:00Z"}});
    Variable(out, "latitude", "double", {{"ioos_category", "Location"}});
    Variable(out, "longitude", "double", {{"ioos_category", "Location"}});
    Variable(out, "position_source", "byte", {{"ioos_category", "Location"}});
    if (dataset.positionFlagged) {
        Variable(out, "position_qc_agg", "byte", {{"ioos_category", "Quality"}});
    }
    Variable(out, "message_id", "int", {{"ioos_category", "Identifier"}});
    for (const VariableAttributes* a : dataset.fields) {
        if (a->shape != Shape::Scalar) {
            continue;
        }
        const std::string category = IoosCategory(*a);
        Variable(out, a->name, a->integer ? "int" : "float", {{"ioos_category", category}});
        if (std::find(dataset.flagged.begin(), dataset.flagged.end(), a->name) !=
            dataset.flagged.end()) {
            Variable(out, a->name + "_qc_agg", "byte", {{"ioos_category", "Quality"}});
        }
    }
    out += "</dataset>\n";
    return out;
}

}  // namespace saltmark::exporting
