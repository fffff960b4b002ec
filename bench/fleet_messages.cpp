// A fleet's messages as the mail route delivers them, written straight as bytes: BUOYS buoys
// reporting every 30 minutes, DAYS days from day FIRST of 2025, one file
// "<IMEI>_<MOMSN>.sbd" per message. Every message has a PB200 (its own time and position) and
// a battery record; every second one the turbulence record (Y81000, with its two 116-band
// arrays). Composing them with sbd-compose would take a process per message, longer than
// the import being measured (scripts/fleet-scale.sh).
//
//   saltmark_fleet_messages FOLDER BUOYS FIRST DAYS

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kStepsPerDay = 48;
constexpr int kBands = 116;
constexpr std::int64_t kYearStart = 1735689600;  // 2025-01-01T00:00:00Z

using Bytes = std::vector<std::uint8_t>;

void PutU16(Bytes& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutU32(Bytes& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

void PutFloat(Bytes& out, double value)
{
    std::uint32_t bits = 0;
    const auto narrow = static_cast<float>(value);
    std::memcpy(&bits, &narrow, sizeof bits);
    PutU32(out, bits);
}

// Type, port and the record's whole size (header included), little-endian like every field.
void Header(Bytes& out, std::uint8_t type, std::uint8_t port, std::uint16_t size)
{
    out.push_back(type);
    out.push_back(port);
    PutU16(out, size);
}

void Message(Bytes& out, int buoy, std::int64_t step)
{
    const std::int64_t time = kYearStart + step * 1800;
    const std::int64_t day = time / 86400;
    // Civil date of `day` (days since 1970), Howard Hinnant's algorithm.
    const std::int64_t z = day + 719468;
    const std::int64_t era = z / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t dayOfMonth = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    const double phase = static_cast<double>(step) * 0.05 + buoy;
    out.clear();
    out.push_back(55);
    Header(out, 2, 2, 76);                                            // PB200
    PutFloat(out, std::fmod(180.0 + 40.0 * std::sin(phase), 360.0));  // WDMean
    PutFloat(out, 8.0);
    PutFloat(out, 7.0 + 4.0 * std::sin(phase * 0.7));  // WSMean
    PutFloat(out, 1.2);
    PutFloat(out, 60.0 + buoy * 0.1 - static_cast<double>(step) * 1e-4);   // Lat
    PutFloat(out, -20.0 + buoy * 0.3 + static_cast<double>(step) * 2e-4);  // Lon
    PutU32(out, static_cast<std::uint32_t>(year));
    PutU32(out, static_cast<std::uint32_t>(month));
    PutU32(out, static_cast<std::uint32_t>(dayOfMonth));
    PutU32(out, static_cast<std::uint32_t>(time - day * 86400));
    PutFloat(out, 8.0 + 3.0 * std::sin(phase * 0.3));  // ATMean
    PutFloat(out, 0.2);
    PutFloat(out, 1010.0 + 8.0 * std::sin(phase * 0.1));  // BPMean
    PutFloat(out, 0.3);
    PutFloat(out, std::fmod(90.0 + step, 360.0));  // COGMean
    PutFloat(out, 5.0);
    PutU32(out, 0);  // bytes 68 to 75, unnamed
    PutU32(out, 0);
    Header(out, 6, 0, 8);  // the logger's battery voltage
    PutFloat(out, 12.0 + 0.1 * static_cast<double>(step % 7));
    if ((step + buoy) % 2 == 0) {
        Header(out, 11, 3, 964);                                       // Y81000
        PutFloat(out, 0.3);                                            // Ustar
        PutFloat(out, 1e-5 * static_cast<double>(1 + step % 11));      // Epsilon
        for (const double scalar : {6.0, 0.5, 0.01, 8.0, 0.4, 1.0}) {  // MeanU .. Quality
            PutFloat(out, scalar);
        }
        for (int band = 0; band < kBands; ++band) {
            PutFloat(out, 0.01 * std::pow(1.05, band));  // Freq
        }
        for (int band = 0; band < kBands; ++band) {
            PutFloat(out, 1e-3 * std::pow(1.05, -band * 5.0 / 3.0) * (1.0 + 0.01 * buoy));
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s FOLDER BUOYS FIRST DAYS\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    const int buoys = std::stoi(argv[2]);
    const int first = std::stoi(argv[3]);
    const int days = std::stoi(argv[4]);
    std::filesystem::create_directories(folder);
    Bytes message;
    message.reserve(2048);
    for (int buoy = 0; buoy < buoys; ++buoy) {
        const std::string imei = std::to_string(300234010000000LL + buoy);
        for (std::int64_t step = std::int64_t{first} * kStepsPerDay;
             step < std::int64_t{first + days} * kStepsPerDay; ++step) {
            Message(message, buoy, step);
            // The MOMSN counts the buoy's messages; a year is 17,520, below its 16-bit wrap.
            const std::string path =
                (folder / (imei + "_" + std::to_string(step) + ".sbd")).string();
            std::FILE* file = std::fopen(path.c_str(), "wb");
            if (file == nullptr ||
                std::fwrite(message.data(), 1, message.size(), file) != message.size() ||
                std::fclose(file) != 0) {
                std::fprintf(stderr, "%s: cannot be written\n", path.c_str());
                return 1;
            }
        }
    }
    return 0;
}
