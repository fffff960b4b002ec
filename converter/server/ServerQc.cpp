#include "ServerQc.h"

#ifdef SALTMARK_HAVE_QC
#include "ArchiveQc.h"
#endif

namespace saltmark::server {

bool LoadQc(const std::string& path, std::function<void(archive::Archive&)>& setUp,
            std::string& reason)
{
    if (path.empty()) {
        return true;
    }
#ifdef SALTMARK_HAVE_QC
    try {
        setUp = [config = archive::LoadQcConfig(path)](archive::Archive& archive) {
            archive::FlagOnCommit(archive, config);
        };
        return true;
    } catch (const qc::ConfigError& error) {
        reason = error.what();
        return false;
    }
#else
    reason = "--qc: this build has no quality control (yaml-cpp, GeographicLib)";
    return false;
#endif
}

}  // namespace saltmark::server
