#pragma once
// One record type of many messages as a CSV table for spreadsheets and pandas: one row per
// record (the message's file name, the record's index in its message and its port, then one
// column per field; an array gives one column per element, named "Freq[0]" ... as the report
// names them). A Signature record's arrays vary in length: the table has as many columns as
// the longest, and shorter rows leave the rest empty. Numbers are written as in the JSON
// output; a non-finite value as "nan", "-nan", "inf" or "-inf", which pandas reads as such.

#include <string>
#include <string_view>
#include <vector>

#include "Records.h"

namespace saltmark::cli {

class RecordTable {
public:
    explicit RecordTable(const RecordDescription& type);

    // Adds a row for every record of the table's type in the message.
    void Add(std::string_view fileName, const DecodedMessage& message);

    // The header line and every row, each line ending in "\n".
    std::string Csv() const;

private:
    struct Row {
        std::string lead;                             // file name, record index, port
        std::vector<std::vector<std::string>> cells;  // per field: one cell, or one per element
    };

    const RecordDescription& m_type;
    std::vector<Row> m_rows;
    std::vector<int> m_columns;  // per field: its columns in the table
};

}  // namespace saltmark::cli
