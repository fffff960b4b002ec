#pragma once
// One record type of many messages as a CSV table for spreadsheets and pandas: one row per
// record (the message's file name, the record's index in its message and its port, then one
// column per field; an array gives one column per element, named "Freq[0]" ... as the report
// names them). A Signature record's arrays vary in length: the table has as many columns as
// the longest, and shorter rows leave the rest empty. Numbers are written as in the JSON
// output; a non-finite value as "nan", "-nan", "inf" or "-inf", which pandas reads as such.
//
// With quality-control flags, each flagged field is followed by its flags, "WSMean_qc_aggregate"
// and "WSMean_qc_<test>", and a record type whose fixes were tested ends with "position_qc_..."
// columns; a value without flags (its message has no time) leaves them empty.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Records.h"

namespace saltmark::cli {

class InvocationFlags;

class RecordTable {
public:
    explicit RecordTable(const RecordDescription& type);

    // The flags of the messages the table is given; set before the first Add.
    void SetFlags(const InvocationFlags* flags) { m_flags = flags; }

    // Adds a row for every record of the table's type in the message, the `input`-th of the
    // run (what the flags know it by).
    void Add(std::string_view fileName, const DecodedMessage& message, std::size_t input = 0);

    // The header line and every row, each line ending in "\n".
    std::string Csv() const;

private:
    struct Row {
        std::string lead;                             // file name, record index, port
        std::vector<std::vector<std::string>> cells;  // per field: one cell, or one per element
        std::vector<std::vector<std::string>> flags;  // per stream of m_streams: its flags
    };

    // The flags columns: each flagged field's after it, the position's last.
    std::vector<std::string> FlagStreams() const;

    const RecordDescription& m_type;
    std::vector<Row> m_rows;
    std::vector<int> m_columns;  // per field: its columns in the table
    const InvocationFlags* m_flags = nullptr;
    std::vector<std::string> m_streams;  // per field its stream ("" for none), then "position"
};

}  // namespace saltmark::cli
