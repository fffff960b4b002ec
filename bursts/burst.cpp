#include "burst.h"

#include <charconv>
#include <cmath>
#include <ostream>

namespace orcan::bursts {

namespace {

std::string formatSample(double value, int decimals)
{
    const double step = std::pow(10.0, -decimals);
    if (value != 0.0 && std::isfinite(value) && std::fabs(value) <= step * 0.5) {
        value = std::copysign(step, value);
    }
    char buffer[512];  // room for the largest double in fixed notation
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) {
        return "nan";
    }
    return std::string(buffer, result.ptr);
}

}  // namespace

void writeBurstCsv(std::ostream& out, const Burst& burst, int decimals)
{
    out << "u,v,w,T\n";
    for (std::size_t i = 0; i < burst.size(); ++i) {
        out << formatSample(burst.u[i], decimals) << ',' << formatSample(burst.v[i], decimals)
            << ',' << formatSample(burst.w[i], decimals) << ','
            << formatSample(burst.temp[i], decimals) << '\n';
    }
}

}  // namespace orcan::bursts
