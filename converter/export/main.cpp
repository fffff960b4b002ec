// saltmark-export: the archive published as a data centre takes it (see docs/publishing.md).

#include <cstdio>

#include "ExportOptions.h"

int main(int argc, char** argv)
{
    CLI::App app{
        "saltmark-export: writes the buoys' records as CF/ACDD/IOOS NetCDF trajectory "
        "files and the ERDDAP dataset over them"};
    saltmark::exporting::ExportOptions options;
    saltmark::exporting::AddExportOptions(app, options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? 0 : 2;
    }
    if (const auto reason = saltmark::exporting::CheckExportOptions(options)) {
        std::fprintf(stderr, "saltmark-export: %s\n", reason->c_str());
        return 2;
    }
    return saltmark::exporting::RunExport(options);
}
