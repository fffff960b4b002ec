#pragma once
// The mail-folder route: `.sbd` files that appear in a folder (a mail filter drops Iridium's
// attachments there) are imported as deliveries of their own, with what their names say.
//
// Only whole files count. A file renamed into the folder is imported at once (the way every
// writer should deliver: write a temporary name elsewhere on the file system, then rename).
// A file written in place is imported once it was closed after writing and then stayed the
// same (inode, size, modification time) for the settle time, so a writer that closes and
// appends again is not imported half way. A hard link made in the folder counts as written.
// Files already there at start are imported too, after the settle time when they changed
// recently. The files are left where they are.
//
// The folder may hold anything its writers, or anyone who can write to it, put there: only
// regular files are read, opened without following a link and without blocking, checked on
// the open descriptor and read up to the largest message. A file refused for what it is
// (a link, a pipe, a device, too large) is named once and not tried again until it changes.
// A file refused for a passing reason (the archive full or locked, no descriptors left, not
// readable by this account until its mode is fixed) is tried again with a growing pause, at
// once when its mode changes, and the log says when it got in. A file whose bytes change
// after it was imported is a new delivery and imported again.

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "DeliveryWriter.h"

struct stat;

namespace saltmark::server {

struct WatchSettings {
    // How long a file written in place must stay unchanged after its last close.
    std::chrono::milliseconds settle = std::chrono::seconds(2);
    // The pauses between tries of a file refused for a passing reason: the first, doubled up to
    // the longest.
    std::chrono::milliseconds firstRetry = std::chrono::seconds(1);
    std::chrono::milliseconds longestRetry = std::chrono::seconds(60);
};

class DirectoryWatch {
public:
    // Nothing with `reason` set when the folder cannot be watched.
    static std::unique_ptr<DirectoryWatch> Open(boost::asio::io_context& io,
                                                const std::filesystem::path& folder,
                                                DeliveryWriter& writer, std::string& reason,
                                                WatchSettings settings = {});
    ~DirectoryWatch();

    // Imports what the folder holds, then what appears in it.
    void Start();
    // Stops watching and trying again; imports handed to the writer still finish.
    void Stop();

private:
    // What tells a file written in place from the same file changed: a change of any of
    // these after the last close restarts the settle time.
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        std::int64_t size = 0;
        std::int64_t modifiedNs = 0;
        bool operator==(const Identity&) const = default;
        static Identity Of(const struct stat& status);
    };
    enum class Phase { Idle, Settling, Retrying, Importing };
    struct File {
        explicit File(boost::asio::io_context& io) : timer(io) {}
        boost::asio::steady_timer timer;
        Phase phase = Phase::Idle;
        std::uint64_t generation = 0;  // tells a file from an earlier one of the same name
        Identity settling;             // as it was when the settle time began
        bool lookAgain = false;        // changed while its import was under way
        std::optional<std::uint64_t> importedHash;  // the bytes last stored
        std::optional<Identity> refused;            // refused for what it is, as it was then
        std::chrono::milliseconds pause{0};         // before the next try, when retrying
        int tries = 0;                              // refused for a passing reason so far
        std::string passingReason;                  // the last such reason logged
    };

    DirectoryWatch(boost::asio::io_context& io, int descriptor, std::filesystem::path folder,
                   DeliveryWriter& writer, WatchSettings settings);
    void ImportAll(bool atStart);
    void ReadEvents();
    void OnEvent(std::uint32_t mask, const std::string& fileName);

    File& Track(const std::string& fileName);
    void Settle(const std::string& fileName);
    void Import(const std::string& fileName);
    void Refuse(File& file, const std::string& fileName, const Identity& identity,
                const std::string& reason);
    void TryAgain(File& file, const std::string& fileName, const std::string& reason,
                  bool modeMatters = false);
    void Stored(const std::string& fileName, std::uint64_t generation, std::uint64_t hash,
                const std::string& description, const StoreOutcome& outcome);
    std::optional<Identity> Look(const std::string& fileName, std::string* notRegular) const;

    boost::asio::io_context& m_io;
    boost::asio::posix::stream_descriptor m_events;
    std::filesystem::path m_folder;
    DeliveryWriter& m_writer;
    WatchSettings m_settings;
    std::map<std::string, std::unique_ptr<File>> m_files;
    std::uint64_t m_generations = 0;
    bool m_bStopped = false;
    alignas(8) std::array<char, 16384> m_buffer{};
};

}  // namespace saltmark::server
