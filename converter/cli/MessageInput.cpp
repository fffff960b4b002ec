#include "MessageInput.h"

#include <cstdio>

#include "MessageFile.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace saltmark::cli {

std::optional<std::vector<std::uint8_t>> ReadMessageInput(const std::filesystem::path& path,
                                                          std::string& reason)
{
    if (path != kStandardInput) {
        return ReadMessageFile(path, reason);
    }
#ifdef _WIN32
    // A message is binary: the console must not turn CR LF into LF or stop at Ctrl-Z.
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    std::vector<std::uint8_t> bytes(kMaxMessageBytes + 1);
    std::size_t read = 0;
    while (read < bytes.size()) {
        const std::size_t got = std::fread(bytes.data() + read, 1, bytes.size() - read, stdin);
        if (got == 0) {
            break;
        }
        read += got;
    }
    if (std::ferror(stdin)) {
        reason = "read error";
        return std::nullopt;
    }
    if (read > kMaxMessageBytes) {
        reason = "larger than 1 MiB, so not an SBD message; not read";
        return std::nullopt;
    }
    bytes.resize(read);
    return bytes;
}

}  // namespace saltmark::cli
