// The archive where the target has no SQLite (a cross build): opening it fails with the
// reason, so --db reports one line and everything else is unaffected.

#include "Archive.h"

namespace saltmark::archive {

struct Archive::Impl {};

std::unique_ptr<Archive> Archive::Open(const std::filesystem::path&, const Options&,
                                       std::string& reason)
{
    reason = "built without SQLite";
    return nullptr;
}

Archive::Archive(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Archive::~Archive() = default;

Added Archive::Add(const Delivery&, std::string& reason)
{
    reason = "built without SQLite";
    return Added::Failed;
}

BatchOutcome Archive::Commit() { return {}; }

Added Archive::Store(const Delivery&, std::string& reason)
{
    reason = "built without SQLite";
    return Added::Failed;
}

}  // namespace saltmark::archive
