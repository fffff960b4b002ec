#pragma once
// Files out for saltmark-convert: outputs are written whole or reported. Message files are
// read by the shared reader, converter/message/MessageFiles.h.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace saltmark::cli {

// Creates or replaces `path` with exactly `bytes`, whole or not at all (the earlier file stays
// when the new one cannot be written); false with `reason` set when it cannot.
bool WriteWholeFile(const std::filesystem::path& path, std::span<const std::uint8_t> bytes,
                    std::string& reason);

// The files a run reads, known by what they are rather than by how their paths are spelled:
// "m.sbd", "./m.sbd", a symbolic link and a hard link to it are one file.
class CFileIdentities {
public:
    // Remembers `path` when it names an existing file.
    void Add(const std::filesystem::path& path);
    // The remembered path of the file that `path` names too, if any.
    std::optional<std::filesystem::path> Find(const std::filesystem::path& path) const;

private:
#ifdef _WIN32
    std::vector<std::filesystem::path> m_paths;
#else
    // Device and file number: what makes a file the same file on POSIX systems.
    std::map<std::pair<std::uintmax_t, std::uintmax_t>, std::filesystem::path> m_files;
#endif
};

}  // namespace saltmark::cli
