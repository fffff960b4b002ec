#pragma once
// The ERDDAP dataset over a folder of exported trajectory files: the datasets.xml fragment a
// data centre's operator pastes into their server (an EDDTableFromNcCFFiles). ERDDAP serves
// tables, one value per row: the variables on the observation dimension become its columns;
// the spectra (on their band dimension) and the platform and instrument containers, which a
// table cannot hold, stay in the files only.

#include <string>
#include <vector>

#include "Deployment.h"
#include "VariableAttributes.h"

namespace saltmark::exporting {

struct ErddapDataset {
    std::string datasetId;  // letters, digits and underscores
    std::string fileDir;    // the exported folder as the ERDDAP server sees it
    // The data fields the files hold (arrays are left out), and those with a QC flag variable.
    std::vector<const VariableAttributes*> fields;
    std::vector<std::string> flagged;  // variable names
    bool positionFlagged = false;      // position_qc_agg
};

// The <dataset> element, with the ACDD attributes of the deployment file.
std::string DatasetsXml(const ErddapDataset& dataset, const deployment::Deployment& deployment);

// An ERDDAP datasetID from free text: "Drifter turbulence pilot" -> "drifter_turbulence_pilot".
std::string DatasetId(const std::string& text);

}  // namespace saltmark::exporting
