#include "RecordTable.h"

#include <algorithm>
#include <cmath>

#ifdef SALTMARK_HAVE_QC
#include "InvocationFlags.h"
#endif

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
        const bool scalar = !IsArray(field.kind) && field.kind != FieldKind::Text;
        m_streams.push_back(scalar ? std::string(type.typeName) + "." + std::string(field.name)
                                   : std::string());
    }
    m_streams.emplace_back("position");
}

#ifdef SALTMARK_HAVE_QC
namespace {

// The flags of one value as cells, empty ones when it has none.
std::vector<std::string> FlagCells(const std::vector<std::uint8_t>* flags, std::size_t columns)
{
    std::vector<std::string> cells(columns);
    for (std::size_t i = 0; flags != nullptr && i < flags->size() && i < columns; ++i) {
        cells[i] = std::to_string((*flags)[i]);
    }
    return cells;
}

}  // namespace
#endif

std::vector<std::string> RecordTable::FlagStreams() const
{
    std::vector<std::string> flagged(m_streams.size());
#ifdef SALTMARK_HAVE_QC
    for (std::size_t i = 0; m_flags != nullptr && i < m_streams.size(); ++i) {
        if (!m_streams[i].empty() && !m_flags->Tests(m_streams[i]).empty()) {
            flagged[i] = m_streams[i];
        }
    }
#endif
    return flagged;
}

void RecordTable::Add(std::string_view fileName, const DecodedMessage& message,
                      [[maybe_unused]] std::size_t input)
{
    for (std::size_t index = 0; index < message.records.size(); ++index) {
        const DecodedRecord& record = message.records[index];
        if (record.description != &m_type) {
            continue;
        }
        Row row{Quoted(fileName) + "," + std::to_string(index) + "," + std::to_string(record.port),
                {}, {}};
        for (std::size_t f = 0; f < record.fields.size(); ++f) {
            row.cells.push_back(Cells(record.fields[f]));
            m_columns[f] = std::max(m_columns[f], static_cast<int>(row.cells.back().size()));
        }
#ifdef SALTMARK_HAVE_QC
        for (std::size_t i = 0; m_flags != nullptr && i < m_streams.size(); ++i) {
            const std::vector<std::uint8_t>* flags =
                m_streams[i].empty()
                    ? nullptr
                    : m_flags->Find(input, static_cast<std::int32_t>(index), m_streams[i]);
            row.flags.push_back(FlagCells(flags, m_flags->Tests(m_streams[i]).size()));
        }
#endif
        m_rows.push_back(std::move(row));
    }
}

std::string RecordTable::Csv() const
{
    // A position's flags only where one of the table's records had its fix tested.
    std::vector<std::string> flagged = FlagStreams();
    auto anyFlags = [&](std::size_t stream) {
        return std::any_of(m_rows.begin(), m_rows.end(), [&](const Row& row) {
            return stream < row.flags.size() && !row.flags[stream].empty() &&
                   !row.flags[stream].front().empty();
        });
    };
    if (!flagged.back().empty() && !anyFlags(flagged.size() - 1)) {
        flagged.back().clear();
    }
    std::string csv = "file,record,port";
    auto flagHeader = [&](std::string_view prefix, std::size_t stream) {
#ifdef SALTMARK_HAVE_QC
        for (const std::string& test : m_flags->Tests(flagged[stream])) {
            csv += "," + Quoted(std::string(prefix) + "_qc_" + test);
        }
#else
        (void)prefix;
        (void)stream;
#endif
    };
    auto flagCells = [&](const Row& row, std::size_t stream) {
        for (const std::string& cell : row.flags[stream]) {
            csv += "," + cell;
        }
    };
    for (std::size_t f = 0; f < m_type.fields.size(); ++f) {
        const FieldDescription& field = m_type.fields[f];
        if (!IsArray(field.kind)) {
            csv += "," + Quoted(field.name);
            if (!flagged[f].empty()) {
                flagHeader(field.name, f);
            }
            continue;
        }
        for (int i = 0; i < m_columns[f]; ++i) {
            csv += "," + Quoted(std::string(field.name) + "[" + std::to_string(i) + "]");
        }
    }
    if (!flagged.back().empty()) {
        flagHeader("position", flagged.size() - 1);
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
            if (!flagged[f].empty()) {
                flagCells(row, f);
            }
        }
        if (!flagged.back().empty()) {
            flagCells(row, flagged.size() - 1);
        }
        csv += "\n";
    }
    return csv;
}

}  // namespace saltmark::cli
