#include "DirectoryWatch.h"

#include <sys/inotify.h>

#include <algorithm>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "ServerLog.h"

namespace saltmark::server {

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;

// No SBD message, framed or bare, comes near this; anything larger is not read into memory.
constexpr std::uintmax_t kLargestFile = 1 << 20;

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

}  // namespace

std::unique_ptr<DirectoryWatch> DirectoryWatch::Open(asio::io_context& io, const fs::path& folder,
                                                     DeliveryWriter& writer, std::string& reason)
{
    const int descriptor = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (descriptor < 0) {
        reason = std::string("cannot watch folders: ") + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<DirectoryWatch> watch(new DirectoryWatch(io, descriptor, folder, writer));
    if (inotify_add_watch(descriptor, folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO | IN_ONLYDIR) <
        0) {
        reason = "cannot watch " + folder.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    return watch;
}

DirectoryWatch::DirectoryWatch(asio::io_context& io, int descriptor, fs::path folder,
                               DeliveryWriter& writer)
    : m_events(io, descriptor), m_folder(std::move(folder)), m_writer(writer)
{
}

void DirectoryWatch::Start()
{
    // Watching began in Open, so a file arriving while the folder is listed is seen at least
    // once; seen twice, the archive adds it once.
    ReadEvents();
    ImportAll();
}

void DirectoryWatch::Stop()
{
    boost::system::error_code ignored;
    m_events.close(ignored);
}

void DirectoryWatch::ImportAll()
{
    std::error_code error;
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(m_folder, error)) {
        if (entry.is_regular_file(error) && IsMessageName(entry.path().filename().string())) {
            names.push_back(entry.path().filename().string());
        }
    }
    if (error) {
        LogLine("watch cannot list " + m_folder.string() + ": " + error.message());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        Import(name);
    }
}

void DirectoryWatch::Import(const std::string& fileName)
{
    const fs::path path = m_folder / fileName;
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    if (error) {
        LogLine("watch " + fileName + ": cannot read: " + error.message());
        return;
    }
    if (size > kLargestFile) {
        LogLine("watch " + fileName + ": not imported: " + std::to_string(size) +
                " bytes is no SBD message");
        return;
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        LogLine("watch " + fileName + ": cannot read: " + std::strerror(errno));
        return;
    }
    archive::Delivery delivery = archive::DeliveryFromFile(fileName, std::move(bytes));
    std::string description = "watch " + fileName;
    if (delivery.header) {
        description +=
            " IMEI " + delivery.header->imei + " MOMSN " + std::to_string(delivery.header->momsn);
    } else if (delivery.attachment) {
        description += " IMEI " + delivery.attachment->imei + " MOMSN " +
                       std::to_string(delivery.attachment->momsn);
    }
    description += ", " + std::to_string(delivery.payload.size()) + " bytes: ";
    m_writer.Submit(std::move(delivery),
                    [description, work = asio::make_work_guard(m_events.get_executor())](
                        StoreOutcome outcome) { LogLine(description + outcome.Text()); });
}

void DirectoryWatch::ReadEvents()
{
    m_events.async_read_some(
        asio::buffer(m_buffer), [this](boost::system::error_code error, std::size_t count) {
            if (error) {
                if (error != asio::error::operation_aborted) {
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
                    const std::string fileName(name, strnlen(name, event.len));
                    if (IsMessageName(fileName)) {
                        Import(fileName);
                    }
                }
            }
            if (overflowed) {
                // Events were lost: look at everything again rather than miss a file.
                ImportAll();
            }
            ReadEvents();
        });
}

}  // namespace saltmark::server
