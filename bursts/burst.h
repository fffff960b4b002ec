#pragma once
// A burst of sonic-anemometer samples as the shore side keeps it, and its CSV form: one
// sample a row, the columns u, v, w and the sonic temperature T.

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace orcan::bursts {

struct Burst {
    std::vector<double> u;
    std::vector<double> v;
    std::vector<double> w;
    std::vector<double> temp;

    std::size_t size() const { return u.size(); }
    // Inline: the readers call it once a sample.
    void append(double uValue, double vValue, double wValue, double tempValue)
    {
        u.push_back(uValue);
        v.push_back(vValue);
        w.push_back(wValue);
        temp.push_back(tempValue);
    }
};

// Where a burst file stops making sense (see burst_files.h for the readers).
struct CsvError {
    std::size_t line = 0;  // counted from 1
    std::string message;
};

// Writes the burst with a "u,v,w,T" header, every value with the given number of decimals.
// A value that would round to zero is written one step away from it instead, so that the
// file carries a zero only where the burst holds an exact zero (a dropout the library screens).
void writeBurstCsv(std::ostream& out, const Burst& burst, int decimals);

}  // namespace orcan::bursts
