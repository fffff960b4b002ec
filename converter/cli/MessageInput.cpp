#include "MessageInput.h"

#include <cstdio>

#include "MessageFiles.h"

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
    return ReadMessageStream(stdin, reason);
}

}  // namespace saltmark::cli
