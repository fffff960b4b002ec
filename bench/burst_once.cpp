// One reference burst through eddyRate, `count` times (default 1): the steady program that
// callgrind counts instructions of and massif measures the heap of, without the benchmark
// library's own repetitions around it.
//
// Usage: eddyrate_burst_once [10hz|20hz] [COUNT]

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "eddyrate.h"

int main(int argc, char** argv)
{
    const bool twentyHertz = argc > 1 && std::string(argv[1]) == "20hz";
    const int count = argc > 2 ? std::atoi(argv[2]) : 1;
    const std::size_t n = twentyHertz ? 36000 : 18000;
    const double fs = twentyHertz ? 20.0 : 10.0;
    const double z = twentyHertz ? 3.5 : 4.0;
    std::vector<double> burst(4 * n);
    std::ifstream in(std::string(EDDYRATE_TESTDATA) +
                         (twentyHertz ? "/burst-30min-20hz.f64" : "/burst-30min-10hz.f64"),
                     std::ios::binary);
    in.read(reinterpret_cast<char*>(burst.data()),
            static_cast<std::streamsize>(burst.size() * sizeof(double)));
    if (!in) {
        std::fprintf(stderr, "cannot read the reference burst\n");
        return 1;
    }
    std::array<double, 8> s{};
    std::array<double, EDDYRATE_BANDS> freq{};
    std::array<double, EDDYRATE_BANDS> tke{};
    for (int k = 0; k < count; ++k) {
        std::vector<double> work = burst;
        eddyRate(&work[0], &work[n], &work[2 * n], &work[3 * n], z, fs, &s[0], &s[1], &s[2],
                 &s[3], &s[4], &s[5], &s[6], &s[7], freq.data(), tke.data(),
                 static_cast<int32_t>(n));
    }
    std::printf("Ustar %.17g Epsilon %.17g Quality %.17g\n", s[0], s[1], s[7]);
    return 0;
}
