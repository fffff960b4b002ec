#include "DirectoryWatch.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "MessageFiles.h"
#include "ServerLog.h"

namespace saltmark::server {

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;

constexpr std::uint32_t kWatchedEvents =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_ATTRIB | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;

bool IsMessageName(const std::string& name)
{
    if (name.size() <= 4 || name.front() == '.') {
        return false;
    }
    std::string extension = name.substr(name.size() - 4);
    for (char& c : extension) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return extension == ".sbd";
}

// What a file that is not a regular file is, in a refusal.
std::string KindOf(mode_t mode)
{
    switch (mode & S_IFMT) {
        case S_IFLNK:
            return "a symbolic link";
        case S_IFIFO:
            return "a named pipe";
        case S_IFSOCK:
            return "a socket";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        case S_IFDIR:
            return "a folder";
        default:
            return "not a regular file";
    }
}

// Errors that go away without the file changing: its mode fixed, descriptors or memory freed,
// a disk that answers again.
bool IsPassing(int error)
{
    switch (error) {
        case EACCES:
        case EPERM:
        case EMFILE:
        case ENFILE:
        case ENOMEM:
        case EAGAIN:
        case EBUSY:
        case EINTR:
        case EIO:
        case ETXTBSY:
            return true;
        default:
            return false;
    }
}

std::string Seconds(std::chrono::milliseconds pause)
{
    const auto count = pause.count();
    return count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
}

struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

}  // namespace

std::unique_ptr<DirectoryWatch> DirectoryWatch::Open(asio::io_context& io, const fs::path& folder,
                                                     DeliveryWriter& writer, std::string& reason,
                                                     WatchSettings settings)
{
    const int descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        reason = std::string("cannot watch folders: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<DirectoryWatch> watch(
        new DirectoryWatch(io, descriptor, folder, writer, settings));
    if (inotify_add_watch(descriptor, folder.c_str(), kWatchedEvents) < 0) {
        reason = "cannot watch " + folder.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    return watch;
}

DirectoryWatch::DirectoryWatch(asio::io_context& io, int descriptor, fs::path folder,
                               DeliveryWriter& writer, WatchSettings settings)
    : m_io(io),
      m_events(io, descriptor),
      m_folder(std::move(folder)),
      m_writer(writer),
      m_settings(settings)
{
}

DirectoryWatch::~DirectoryWatch() = default;

void DirectoryWatch::Start()
{
    // Watching began in Open, so a file arriving while the folder is listed is seen at least
    // once; seen twice, the archive adds it once.
    ReadEvents();
    ImportAll(true);
}

void DirectoryWatch::Stop()
{
    m_bStopped = true;
    boost::system::error_code ignored;
    m_events.close(ignored);
    for (auto& [name, file] : m_files) {
        file->timer.cancel();
    }
}

DirectoryWatch::Identity DirectoryWatch::Identity::Of(const struct stat& status)
{
    return {
        static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
        status.st_size,
        static_cast<std::int64_t>(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec};
}

std::optional<DirectoryWatch::Identity> DirectoryWatch::Look(const std::string& fileName,
                                                             std::string* notRegular) const
{
    struct stat status {};
    if (::lstat((m_folder / fileName).c_str(), &status) != 0) {
        return std::nullopt;
    }
    if (notRegular != nullptr) {
        *notRegular = S_ISREG(status.st_mode) ? std::string() : KindOf(status.st_mode);
    }
    return Identity::Of(status);
}

DirectoryWatch::File& DirectoryWatch::Track(const std::string& fileName)
{
    auto [at, added] = m_files.try_emplace(fileName);
    if (added) {
        at->second = std::make_unique<File>(m_io);
        at->second->generation = ++m_generations;
    }
    return *at->second;
}

void DirectoryWatch::ImportAll(bool atStart)
{
    std::error_code error;
    std::vector<std::string> names;
    // Stepped with the error code: a range-for would throw from its increment.
    for (fs::directory_iterator entry(m_folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (IsMessageName(name)) {
            names.push_back(name);
        }
    }
    if (error) {
        LogLine("watch cannot list " + m_folder.string() + ": " + error.message());
    }
    std::sort(names.begin(), names.end());
    const auto now = std::chrono::system_clock::now();
    const auto settledBefore = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   now.time_since_epoch() - m_settings.settle)
                                   .count();
    for (const std::string& name : names) {
        const auto known = m_files.find(name);
        if (!atStart && known != m_files.end() && known->second->phase != Phase::Idle) {
            continue;  // already on its way
        }
        std::string notRegular;
        const std::optional<Identity> identity = Look(name, &notRegular);
        if (!identity) {
            continue;
        }
        if (!notRegular.empty() || identity->modifiedNs < settledBefore) {
            Import(name);
        } else {
            Settle(name);  // may still be written
        }
    }
}

void DirectoryWatch::ReadEvents()
{
    m_events.async_read_some(
        asio::buffer(m_buffer), [this](boost::system::error_code error, std::size_t count) {
            if (error) {
                if (error != asio::error::operation_aborted && !m_bStopped) {
                    LogLine("watch of " + m_folder.string() + " ended: " + error.message());
                }
                return;
            }
            bool overflowed = false;
            for (std::size_t at = 0; at + sizeof(inotify_event) <= count;) {
                inotify_event event;
                std::memcpy(&event, m_buffer.data() + at, sizeof event);
                const char* name = m_buffer.data() + at + sizeof event;
                at += sizeof event + event.len;
                if (event.mask & IN_Q_OVERFLOW) {
                    overflowed = true;
                } else if (event.len > 0 && at <= count) {
                    OnEvent(event.mask, std::string(name, strnlen(name, event.len)));
                }
            }
            if (overflowed) {
                // Events were lost: look at everything again rather than miss a file.
                ImportAll(false);
            }
            ReadEvents();
        });
}

void DirectoryWatch::OnEvent(std::uint32_t mask, const std::string& fileName)
{
    if (m_bStopped || !IsMessageName(fileName)) {
        return;
    }
    if (mask & (IN_DELETE | IN_MOVED_FROM)) {
        // Gone: its timer goes with it, and an import under way is reported as it ends.
        m_files.erase(fileName);
    }
    if (mask & IN_MOVED_TO) {
        Import(fileName);  // renamed in: whole by the writer's word
    } else if (mask & IN_CLOSE_WRITE) {
        Settle(fileName);
    } else if (mask & IN_CREATE) {
        // Created files are waited for until closed; what is never written to (a link, a pipe,
        // a device, a socket, a hard link to a written file) shows only here.
        struct stat status {};
        if (::lstat((m_folder / fileName).c_str(), &status) != 0) {
            return;
        }
        if (!S_ISREG(status.st_mode)) {
            Import(fileName);  // refused, with what it is
        } else if (status.st_nlink > 1) {
            Settle(fileName);
        }
    } else if (mask & IN_ATTRIB) {
        // A mode fixed: a file waiting for its next try gets it now.
        const auto known = m_files.find(fileName);
        if (known != m_files.end() && known->second->phase == Phase::Retrying) {
            Import(fileName);
        }
    }
}

void DirectoryWatch::Settle(const std::string& fileName)
{
    if (m_bStopped) {
        return;
    }
    File& file = Track(fileName);
    if (file.phase == Phase::Importing) {
        file.lookAgain = true;
        return;
    }
    std::string notRegular;
    const std::optional<Identity> identity = Look(fileName, &notRegular);
    if (!identity) {
        m_files.erase(fileName);
        return;
    }
    if (!notRegular.empty()) {
        Import(fileName);
        return;
    }
    file.settling = *identity;
    file.phase = Phase::Settling;
    const std::uint64_t ticket = file.generation = ++m_generations;
    file.timer.expires_after(m_settings.settle);
    file.timer.async_wait([this, fileName, ticket](boost::system::error_code error) {
        const auto known = m_files.find(fileName);
        if (error || m_bStopped || known == m_files.end() || known->second->generation != ticket) {
            return;
        }
        const std::optional<Identity> now = Look(fileName, nullptr);
        if (!now) {
            m_files.erase(known);
        } else if (*now == known->second->settling) {
            Import(fileName);
        } else {
            Settle(fileName);  // still being written
        }
    });
}

void DirectoryWatch::Import(const std::string& fileName)
{
    File& file = Track(fileName);
    if (file.phase == Phase::Importing) {
        file.lookAgain = true;
        return;
    }
    file.timer.cancel();
    file.phase = Phase::Idle;
    file.generation = ++m_generations;

    // A first look by name only for the reason's sake and to open nothing but regular files
    // (opening a device can act on it); the open descriptor has the final word.
    const fs::path path = m_folder / fileName;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno == ENOENT) {
            m_files.erase(fileName);
        } else {
            TryAgain(file, fileName, std::strerror(errno));
        }
        return;
    }
    if (!S_ISREG(status.st_mode)) {
        Refuse(file, fileName, Identity::Of(status), KindOf(status.st_mode));
        return;
    }
    Descriptor descriptor;
    descriptor.fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor.fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            m_files.erase(fileName);
        } else if (error == ELOOP) {
            Refuse(file, fileName, Identity::Of(status), "a symbolic link");
        } else if (IsPassing(error)) {
            TryAgain(file, fileName, std::strerror(error), error == EACCES || error == EPERM);
        } else {
            Refuse(file, fileName, Identity::Of(status), std::strerror(error));
        }
        return;
    }
    if (::fstat(descriptor.fd, &status) != 0) {
        TryAgain(file, fileName, std::strerror(errno));
        return;
    }
    const Identity identity = Identity::Of(status);
    if (!S_ISREG(status.st_mode)) {
        Refuse(file, fileName, identity, KindOf(status.st_mode));
        return;
    }
    // The read holds the size limit itself, also for a file that grows meanwhile.
    std::string reason;
    std::optional<std::vector<std::uint8_t>> bytes = ReadMessageDescriptor(descriptor.fd, reason);
    if (!bytes && errno != 0) {
        TryAgain(file, fileName, "cannot read: " + reason);
        return;
    }
    if (!bytes) {
        Refuse(file, fileName, identity, reason);
        return;
    }
    if (bytes->empty()) {
        Refuse(file, fileName, identity, "empty");
        return;
    }
    const std::uint64_t hash = std::hash<std::string_view>{}(
        std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (file.importedHash && *file.importedHash != hash) {
        LogLine("watch " + fileName + ": changed since it was imported: importing again");
    }
    file.refused.reset();

    archive::Delivery delivery = archive::DeliveryFromFile(fileName, std::move(*bytes));
    std::string description = "watch " + fileName;
    if (delivery.header) {
        description +=
            " IMEI " + delivery.header->imei + " MOMSN " + std::to_string(delivery.header->momsn);
    } else if (delivery.attachment) {
        description += " IMEI " + delivery.attachment->imei + " MOMSN " +
                       std::to_string(delivery.attachment->momsn);
    }
    description += ", " + std::to_string(delivery.payload.size()) + " bytes: ";
    file.phase = Phase::Importing;
    // The outcome comes on the writer's thread; the watch's state lives on the I/O thread.
    m_writer.Submit(std::move(delivery),
                    [this, fileName, generation = file.generation, hash, description,
                     work = asio::make_work_guard(m_io)](StoreOutcome outcome) {
                        asio::post(m_io, [this, fileName, generation, hash, description,
                                          outcome = std::move(outcome)] {
                            Stored(fileName, generation, hash, description, outcome);
                        });
                    });
}

void DirectoryWatch::Refuse(File& file, const std::string& fileName, const Identity& identity,
                            const std::string& reason)
{
    file.phase = Phase::Idle;
    file.tries = 0;
    file.pause = {};
    file.passingReason.clear();
    if (file.refused == identity) {
        return;  // named once already
    }
    file.refused = identity;
    LogLine("watch " + fileName + ": not imported, " + reason +
            "; left in place and not tried again unless it changes");
}

void DirectoryWatch::TryAgain(File& file, const std::string& fileName, const std::string& reason,
                              bool modeMatters)
{
    if (m_bStopped) {
        return;
    }
    file.pause = file.pause.count() == 0 ? m_settings.firstRetry
                                         : std::min(file.pause * 2, m_settings.longestRetry);
    ++file.tries;
    if (reason != file.passingReason) {
        file.passingReason = reason;
        LogLine("watch " + fileName + ": not imported yet, " + reason + "; trying again in " +
                Seconds(file.pause) + (modeMatters ? ", and at once when its mode changes" : ""));
    }
    file.phase = Phase::Retrying;
    const std::uint64_t ticket = file.generation = ++m_generations;
    file.timer.expires_after(file.pause);
    file.timer.async_wait([this, fileName, ticket](boost::system::error_code error) {
        const auto known = m_files.find(fileName);
        if (!error && !m_bStopped && known != m_files.end() &&
            known->second->generation == ticket) {
            Import(fileName);
        }
    });
}

void DirectoryWatch::Stored(const std::string& fileName, std::uint64_t generation,
                            std::uint64_t hash, const std::string& description,
                            const StoreOutcome& outcome)
{
    const auto known = m_files.find(fileName);
    if (known == m_files.end() || known->second->generation != generation) {
        LogLine(description + outcome.Text());  // the file went meanwhile
        return;
    }
    File& file = *known->second;
    file.phase = Phase::Idle;
    if (outcome.Durable()) {
        std::string line = description + outcome.Text();
        if (file.tries > 0) {
            line += " (in after " + std::to_string(file.tries) + " refused " +
                    (file.tries == 1 ? "try" : "tries") + ")";
        }
        LogLine(line);
        file.importedHash = hash;
        file.tries = 0;
        file.pause = {};
        file.passingReason.clear();
    } else if (m_bStopped) {
        LogLine(description + outcome.Text());
    } else {
        // Everything the archive refuses is a passing condition (a full disk, a lock, an I/O
        // error); it keeps even what does not decode.
        TryAgain(file, fileName, "the archive: " + outcome.reason);
    }
    if (file.lookAgain) {
        file.lookAgain = false;
        Settle(fileName);
    }
}

}  // namespace saltmark::server
