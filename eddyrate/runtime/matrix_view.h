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
