#pragma once
// The mail-folder route: `.sbd` files that appear in a folder (a mail filter drops Iridium's
// attachments there) are imported as deliveries of their own, with what their names say.
//
// Only files written completely count: closed after writing, or moved in (a filter that
// writes a temporary name and renames it). Files already there when the watch starts are
// imported too; the archive knows a delivery it already holds, so nothing is imported twice.
// The files are left where they are.

#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <filesystem>
#include <memory>
#include <string>

#include "DeliveryWriter.h"

namespace saltmark::server {

class DirectoryWatch {
public:
    // Nothing with `reason` set when the folder cannot be watched.
    static std::unique_ptr<DirectoryWatch> Open(boost::asio::io_context& io,
                                                const std::filesystem::path& folder,
                                                DeliveryWriter& writer, std::string& reason);

    // Imports what the folder holds, then what appears in it.
    void Start();
    void Stop();

private:
    DirectoryWatch(boost::asio::io_context& io, int descriptor, std::filesystem::path folder,
                   DeliveryWriter& writer);
    void ImportAll();
    void Import(const std::string& fileName);
    void ReadEvents();

    boost::asio::posix::stream_descriptor m_events;
    std::filesystem::path m_folder;
    DeliveryWriter& m_writer;
    alignas(8) std::array<char, 16384> m_buffer{};
};

}  // namespace saltmark::server
