#pragma once
// The quality-control flags of the messages one saltmark-convert run reads, for its CSV and
// JSON: each buoy's series of the run, in time order whatever the order of the files, flagged
// exactly as an import with --db --qc flags it (the messages go through an archive in memory,
// read and flagged by the archive's own quality control).

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "DataOutputs.h"
#include "QcConfig.h"

namespace saltmark::cli {

class InvocationFlags {
public:
    // Nothing with `reason` set when the archive in memory fails.
    static std::optional<InvocationFlags> Compute(const qc::Config& config,
                                                  std::span<const InputMessage> inputs,
                                                  std::string& reason);

    // The columns a value of `stream` ("PB200.WSMean", "position", "iridium_position") takes:
    // "aggregate", then each test in the configuration's order. Empty when nothing of the
    // stream was flagged.
    const std::vector<std::string>& Tests(std::string_view stream) const;

    // The flags of one value in the order of Tests: the stream's value in record `record` of
    // the `input`-th message (-1 for the message's own, the gateway's position). Nothing when
    // it has none (its message has no time, or it repeats one the run read before).
    const std::vector<std::uint8_t>* Find(std::size_t input, std::int32_t record,
                                          std::string_view stream) const;

private:
    std::map<std::string, std::vector<std::string>, std::less<>> m_tests;
    std::map<std::tuple<std::size_t, std::int32_t, std::string>, std::vector<std::uint8_t>>
        m_flags;
};

// "PB200.WSMean" as the configuration names a record's scalar field; nothing for one no
// configuration can name.
std::optional<std::string> StreamOf(const DecodedRecord& record, const RecordField& field);

}  // namespace saltmark::cli
