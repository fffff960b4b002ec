// The archive where the target has no SQLite (a cross build): opening it fails with the
// reason, so --db reports one line and everything else is unaffected.

#include "Archive.h"
#include "Reader.h"

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

void Archive::SetBeforeCommit(BeforeCommit) {}
void Archive::AddBeforeCommit(BeforeCommit) {}

// Never called: no Archive opens.
std::optional<BuoyRows> Archive::ReadBuoy(const std::string&, const std::vector<std::string>&,
                                          std::string&, std::int64_t)
{
    return std::nullopt;
}
std::optional<std::int64_t> Archive::LastMessageId(std::string&) { return {}; }
std::optional<std::int64_t> Archive::DataVersion(std::string&) { return {}; }
std::uint64_t Archive::RolledBack() const { return 0; }
const std::vector<NewMessage>& Archive::NewMessages() const
{
    static const std::vector<NewMessage> none;
    return none;
}
bool Archive::WriteFlags(const BuoyFlags&, std::string&) { return false; }
bool Archive::Begin(std::string&) { return false; }
bool Archive::WriteFlagChanges(const BuoyFlags&, const BuoyFlags&, std::string&) { return false; }
sqlite3* Archive::Handle() const { return nullptr; }

struct Reader::Impl {};

std::unique_ptr<Reader> Reader::Open(const std::filesystem::path&, std::string& reason)
{
    reason = "built without SQLite";
    return nullptr;
}

// Never called: no Reader opens.
Reader::Reader(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
Reader::~Reader() = default;
int Reader::Version() const { return 0; }
std::optional<std::int64_t> Reader::MessageCount(std::string&) const { return {}; }
std::optional<std::vector<BuoySummary>> Reader::Buoys(std::string&) const { return {}; }
std::optional<MessagePage> Reader::Messages(const MessageQuery&, std::string&) const { return {}; }
std::optional<StoredMessage> Reader::Message(std::int64_t, std::string&) const { return {}; }
std::optional<SeriesValues> Reader::Series(const SeriesQuery&, std::string&) const { return {}; }
std::optional<TrackPositions> Reader::Track(const TrackQuery&, std::string&) const { return {}; }
std::optional<std::vector<ArrayRecord>> Reader::Array(const ArrayQuery&, std::string&) const
{
    return {};
}
std::optional<std::vector<ValueFlag>> Reader::MessageFlags(std::int64_t, std::string&) const
{
    return {};
}
std::optional<StreamFlags> Reader::Flags(const std::string&, const std::string&,
                                         const std::string&, std::string&) const
{
    return {};
}
std::optional<MessageTimes> Reader::Times(const std::optional<std::string>&, std::string&) const
{
    return {};
}
std::optional<RecordRows> Reader::Records(const std::string&, std::string&) const { return {}; }
std::optional<std::vector<LastRecord>> Reader::LastRecords(const std::string&,
                                                           std::string&) const
{
    return {};
}
std::optional<StoredFlags> Reader::FlagsOfStreams(const std::string&,
                                                  const std::optional<std::string>&,
                                                  std::string&) const
{
    return {};
}

std::optional<BuoyRows> Reader::ReadBuoy(const std::string&, const std::vector<std::string>&,
                                         std::string& reason) const
{
    reason = "built without SQLite";
    return std::nullopt;
}

}  // namespace saltmark::archive
