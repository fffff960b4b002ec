// The archive where the target has no SQLite (a cross build): opening it fails with the
// reason, so --db reports one line and the converter's other work is unaffected.

#include "RecordArchive.h"

struct sqlite3 {};

namespace saltmark::cli {

struct RecordArchive::Statements {};

std::unique_ptr<RecordArchive> RecordArchive::Open(const std::filesystem::path&,
                                                   std::string& reason)
{
    reason = "this saltmark-convert was built without SQLite";
    return nullptr;
}

RecordArchive::~RecordArchive() = default;

RecordArchive::Added RecordArchive::Add(std::string_view, std::span<const std::uint8_t>,
                                        std::string& reason)
{
    reason = "this saltmark-convert was built without SQLite";
    return Added::Failed;
}

bool RecordArchive::Commit(std::string& reason)
{
    reason = "this saltmark-convert was built without SQLite";
    return false;
}

}  // namespace saltmark::cli
