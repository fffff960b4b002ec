// Runs the fuzz target's checks on given files or on every file of given folders, without
// libFuzzer: the seed corpus and every input a fuzz run found replay as a regression test in
// any build.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    int replayed = 0;
    const auto replay = [&](const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                              std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++replayed;
    };
    for (int i = 1; i < argc; ++i) {
        if (std::filesystem::is_directory(argv[i])) {
            for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
                replay(entry.path());
            }
        } else {
            replay(argv[i]);
        }
    }
    std::printf("%d inputs passed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
