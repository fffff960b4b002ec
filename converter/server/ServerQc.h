#pragma once
// saltmark-server --qc: the quality-control configuration, read and checked whole before the
// archive is opened, then set on the archive so that every transaction that adds messages
// flags their buoys before it commits, and so before any of them is confirmed.

#include <functional>
#include <string>

#include "Archive.h"

namespace saltmark::server {

// Nothing to do for an empty path; false with `reason` ("qc.yaml:3: reason") when the
// configuration is refused or this build has no quality control.
bool LoadQc(const std::string& path, std::function<void(archive::Archive&)>& setUp,
            std::string& reason);

}  // namespace saltmark::server
