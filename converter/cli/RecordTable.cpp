#include "RecordTable.h"

#include <algorithm>
#include <cmath>

namespace saltmark::cli {

namespace {

std::string Cell(float value)
{
    return std::isfinite(value) ? ShortestFloat32(value) : std::string(NonFiniteName(value));
}

// A cell as CSV needs it: quoted when it holds a separator, a quote or a line break.
std::string Quoted(std::string_view text)
{
    if (text.find_first_of(",\"\r\n") == std::string_view::npos) {
        return std::string(text);
    }
    std::string out = "\"";
    for (char c : text) {
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    }
    return out + "\"";
}

std::vector<std::string> Cells(const RecordField& field)
{
    std::vector<std::string> cells;
    switch (field.Kind()) {
        case FieldKind::Float32:
            cells.push_back(Cell(field.Real()));
            break;
        case FieldKind::UInt16:
        case FieldKind::Int32:
            cells.push_back(std::to_string(field.Integer()));
            break;
        case FieldKind::Float32Array:
            for (int i = 0; i < field.Count(); ++i) {
                cells.push_back(Cell(field.RealAt(i)));
            }
            break;
        case FieldKind::Int32Array:
            for (int i = 0; i < field.Count(); ++i) {
                cells.push_back(std::to_string(field.IntegerAt(i)));
            }
            break;
        case FieldKind::Text:
            cells.push_back(Quoted(field.TextUtf8()));
            break;
    }
    return cells;
}

}  // namespace

RecordTable::RecordTable(const RecordDescription& type) : m_type(type)
{
    for (const FieldDescription& field : type.fields) {
        m_columns.push_back(IsArray(field.kind) ? field.count : 1);
    }
}

void RecordTable::Add(std::string_view fileName, const DecodedMessage& message)
{
    for (std::size_t index = 0; index < message.records.size(); ++index) {
        const DecodedRecord& record = message.records[index];
        if (record.description != &m_type) {
            continue;
        }
        Row row{Quoted(fileName) + "," + std::to_string(index) + "," + std::to_string(record.port),
                {}};
        for (std::size_t f = 0; f < record.fields.size(); ++f) {
            row.cells.push_back(Cells(record.fields[f]));
            m_columns[f] = std::max(m_columns[f], static_cast<int>(row.cells.back().size()));
        }
        m_rows.push_back(std::move(row));
    }
}

std::string RecordTable::Csv() const
{
    std::string csv = "file,record,port";
    for (std::size_t f = 0; f < m_type.fields.size(); ++f) {
        const FieldDescription& field = m_type.fields[f];
        if (!IsArray(field.kind)) {
            csv += "," + Quoted(field.name);
            continue;
        }
        for (int i = 0; i < m_columns[f]; ++i) {
            csv += "," + Quoted(std::string(field.name) + "[" + std::to_string(i) + "]");
        }
    }
    csv += "\n";
    for (const Row& row : m_rows) {
        csv += row.lead;
        for (std::size_t f = 0; f < row.cells.size(); ++f) {
            const std::vector<std::string>& cells = row.cells[f];
            for (int i = 0; i < m_columns[f]; ++i) {
                csv += ",";
                if (static_cast<std::size_t>(i) < cells.size()) {
                    csv += cells[static_cast<std::size_t>(i)];
                }
            }
        }
        csv += "\n";
    }
    return csv;
}

}  // namespace saltmark::cli
