#include "spectrum_plot.h"

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#ifdef _WIN32
#define popen _popen
#define pclose _pclose
#endif

namespace {

#if defined(ORCAN_PYTHON) && defined(ORCAN_PYTHON_DIR)
// One argument for the shell that popen starts, whatever characters the path holds.
std::string shellQuoted(const std::string& text)
{
#ifdef _WIN32
    return '"' + text + '"';
#else
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
#endif
}

// The built modules come first, so that the figure matches the library of this build.
void putPythonDirOnPath()
{
    std::string path = ORCAN_PYTHON_DIR;
    if (const char* existing = std::getenv("PYTHONPATH"); existing != nullptr && *existing) {
#ifdef _WIN32
        path += ';';
#else
        path += ':';
#endif
        path += existing;
    }
#ifdef _WIN32
    _putenv_s("PYTHONPATH", path.c_str());
#else
    setenv("PYTHONPATH", path.c_str(), 1);
#endif
}
#endif

}  // namespace

std::optional<std::string> plotSpectrum(const EddyRateOutputs& outputs, const std::string& path,
                                        const std::string& noEstimateReason)
{
#if defined(ORCAN_PYTHON) && defined(ORCAN_PYTHON_DIR)
    putPythonDirOnPath();
    const std::string command =
        shellQuoted(ORCAN_PYTHON) + " -m eddyrate.figure - " + shellQuoted(path);
    std::FILE* figure = popen(command.c_str(), "w");
    if (figure == nullptr) {
        return "cannot start " + std::string(ORCAN_PYTHON) + " for the figure";
    }
    std::string json = outputsToJson(outputs);
    if (!noEstimateReason.empty()) {
        // The figure says why in the same words as the command line.
        const std::size_t end = json.rfind('}');
        json.insert(end, ",\"NoEstimateReason\":" + nlohmann::json(noEstimateReason).dump());
    }
    const bool sent = std::fwrite(json.data(), 1, json.size(), figure) == json.size();
    const int status = pclose(figure);
    if (!sent || status != 0) {
        return "no figure written to " + path + " (the reason, if any, is above)";
    }
    return std::nullopt;
#else
    (void)outputs;
    (void)path;
    (void)noEstimateReason;
    return "figures need the Python modules, which this build does not have (Python 3 and "
           "pybind11 were not found)";
#endif
}
