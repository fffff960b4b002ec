#pragma once
// A burst of sonic-anemometer samples as the tools keep it, and its CSV form: one sample a
// row, the columns u, v, w and the sonic temperature T.

#include <cstddef>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

struct Burst {
    std::vector<double> u;
    std::vector<double> v;
    std::vector<double> w;
    std::vector<double> temp;

    std::size_t size() const { return u.size(); }
    void append(double uValue, double vValue, double wValue, double tempValue);
};

struct CsvError {
    std::size_t line = 0;  // counted from 1
    std::string message;
};

// Reads a burst. Lines that are empty or start with '#' are passed over; the first other
// line may be a header (recognised by a first field that is not a number). Every data line
// holds exactly four comma-separated numbers, white space around them allowed; "nan" and
// "inf" are numbers too, since the library is defined for them. Stops at the first bad line.
std::optional<CsvError> readBurstCsv(std::istream& in, Burst& burst);

// Writes the burst with a "u,v,w,T" header, every value with the given number of decimals.
// A value that would round to zero is written one step away from it instead, so that the
// file carries a zero only where the burst holds an exact zero (a dropout the library screens).
void writeBurstCsv(std::ostream& out, const Burst& burst, int decimals);
