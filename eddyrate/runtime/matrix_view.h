#pragma once
// A typed, non-owning view of a column-major matrix: element (i, j) of a [rows, columns]
// array, and whole columns as spans, so that stages and kernels say "row i of segment j"
// instead of computing offsets. The view does not check bounds; it only does the arithmetic
// in a type that cannot overflow for any array the runtime can hold.

#include <cstdint>
#include <span>
#include <type_traits>

#include "numeric_array.h"

namespace eddyrate {

template <typename T>
struct MatrixView {
    T* data;
    std::int32_t rows;
    std::int32_t columns;

    T& operator()(std::int32_t i, std::int32_t j) const
    {
        return data[static_cast<std::int64_t>(j) * rows + i];
    }
    // The same matrix, read only.
    operator MatrixView<const T>() const requires(!std::is_const_v<T>)
    {
        return {data, rows, columns};
    }

    // Column j, all of its rows.
    std::span<T> column(std::int32_t j) const
    {
        return {data + static_cast<std::int64_t>(j) * rows, extentOf(rows)};
    }
    // The rows of column j below row i.
    std::span<T> below(std::int32_t i, std::int32_t j) const
    {
        return column(j).subspan(static_cast<std::size_t>(i) + 1);
    }

private:
    static std::size_t extentOf(std::int32_t extent)
    {
        return extent > 0 ? static_cast<std::size_t>(extent) : 0;
    }
};

// Columns of one length that need not lie side by side: those of a matrix, or columns that
// each start where they lie (windows of one series, which may overlap, or the columns of
// several arrays). The column statistics read either through it.
template <typename T>
struct ColumnSet {
    std::int32_t rows = 0;
    std::int32_t columns = 0;
    T* matrix = nullptr;         // column j at matrix + j * rows, or
    T* const* starts = nullptr;  // column j at starts[j]

    ColumnSet() = default;
    ColumnSet(std::int32_t rowCount, std::int32_t columnCount, T* const* columnStarts)
        : rows(rowCount), columns(columnCount), matrix(nullptr), starts(columnStarts)
    {
    }
    ColumnSet(MatrixView<T> x) : rows(x.rows), columns(x.columns), matrix(x.data), starts(nullptr)
    {
    }
    // A writable matrix's columns, read only.
    ColumnSet(MatrixView<std::remove_const_t<T>> x) requires(std::is_const_v<T>)
        : rows(x.rows), columns(x.columns), matrix(x.data), starts(nullptr)
    {
    }
    // The same columns, read only.
    operator ColumnSet<const T>() const requires(!std::is_const_v<T>)
    {
        return starts != nullptr ? ColumnSet<const T>(rows, columns, starts)
                                 : ColumnSet<const T>(MatrixView<const T>{matrix, rows, columns});
    }

    T* columnStart(std::int32_t j) const
    {
        return starts != nullptr ? starts[j] : matrix + static_cast<std::int64_t>(j) * rows;
    }
    std::span<T> column(std::int32_t j) const
    {
        return {columnStart(j), rows > 0 ? static_cast<std::size_t>(rows) : 0};
    }
    T& operator()(std::int32_t i, std::int32_t j) const { return columnStart(j)[i]; }
    // Columns first .. first + count - 1.
    ColumnSet subset(std::int32_t first, std::int32_t count) const
    {
        ColumnSet part = *this;
        part.columns = count;
        if (starts != nullptr) {
            part.starts = starts + first;
        } else {
            part.matrix = matrix + static_cast<std::int64_t>(first) * rows;
        }
        return part;
    }
};

// The array's storage seen as a matrix of its extents.
inline MatrixView<double> doubleMatrix(NumericArray& array)
{
    return {doubles(array), rows(array), columns(array)};
}
inline MatrixView<const double> doubleMatrix(const NumericArray& array)
{
    return {doubles(array), rows(array), columns(array)};
}
inline MatrixView<Complex> complexMatrix(NumericArray& array)
{
    return {complexes(array), rows(array), columns(array)};
}

}  // namespace eddyrate
