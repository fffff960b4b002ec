#pragma once
// A NetCDF file being written, over the netCDF C library: define dimensions, variables and
// attributes, then write the data. Every call checks the library's status and throws
// NetcdfError with the file and the library's words, so that the export reads as a list of
// what goes into the file. The file is written under a temporary name and renamed over the
// target on Commit: a reader never sees half a file, and a failed export leaves the old one.

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace saltmark::exporting {

class NetcdfError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class NetcdfFile {
public:
    static constexpr int kGlobal = -1;  // NC_GLOBAL: the file's own attributes

    // A netCDF-4 file in the classic model, its variables compressed.
    explicit NetcdfFile(std::filesystem::path path);
    ~NetcdfFile();
    NetcdfFile(const NetcdfFile&) = delete;
    NetcdfFile& operator=(const NetcdfFile&) = delete;

    int Dimension(std::string_view name, std::size_t length);
    // Types: the netCDF C library's NC_DOUBLE, NC_FLOAT, NC_INT, NC_BYTE, NC_CHAR.
    int Variable(std::string_view name, int type, const std::vector<int>& dimensions);

    void Text(int variable, std::string_view name, std::string_view value);
    void Double(int variable, std::string_view name, double value);
    void Float(int variable, std::string_view name, float value);
    void Int(int variable, std::string_view name, int value);
    void Bytes(int variable, std::string_view name, const std::vector<std::int8_t>& values);

    // The end of the definitions: data may be written from here on.
    void EndDefinitions();
    void Put(int variable, const std::vector<double>& values);
    void Put(int variable, const std::vector<float>& values);
    void Put(int variable, const std::vector<int>& values);
    void Put(int variable, const std::vector<std::int8_t>& values);
    // Fixed-length names, one per row of a (rows, length) character variable.
    void PutNames(int variable, const std::vector<std::string>& names, std::size_t length);

    // Closes the file and puts it in place.
    void Commit();

private:
    void Check(int status, std::string_view what) const;
    std::filesystem::path m_path;
    std::filesystem::path m_partPath;
    int m_id = -1;
};

}  // namespace saltmark::exporting
