// Typed strided views over memory the caller owns: a pointer, sizes and byte
// strides, never a copy. Every read is bounds checked the way a typed buffer
// checks it (a negative index counts from the end), because the documented
// engine raises at the moment of an out-of-range read.
#pragma once

#include "kernel_error.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

namespace vantrel::kernel {

using Index = std::ptrdiff_t;

inline Index checked_index(Index i, Index size, int axis) {
    if (i < 0) i += size;
    if (i < 0 || i >= size) throw KernelError::out_of_bounds(axis);
    return i;
}

template <class T>
class Vector {
public:
    Vector() = default;
    Vector(const void* data, Index size, Index stride)
        : data_(static_cast<const char*>(data)), size_(size), stride_(stride) {}

    Index size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T operator[](Index i) const {
        T value;
        std::memcpy(&value, data_ + checked_index(i, size_, 0) * stride_, sizeof(T));
        return value;
    }

private:
    const char* data_ = nullptr;
    Index size_ = 0;
    Index stride_ = 0;
};

// One row of a matrix, for the cells of the held stocks on one bar. Reads are
// checked as the matrix checks them: a row outside the matrix raises at the
// first read, not when the row is taken.
template <class T>
class MatrixRow {
public:
    MatrixRow() = default;
    MatrixRow(const char* data, Index cols, Index stride, bool inside)
        : data_(data), cols_(inside ? cols : 0), stride_(stride), inside_(inside) {}

    T operator[](Index j) const {
        // One unsigned compare in the common case; column ids are never negative
        // here, but a negative one still counts from the end.
        if (static_cast<std::size_t>(j) >= static_cast<std::size_t>(cols_)) j = outside(j);
        T value;
        std::memcpy(&value, data_ + j * stride_, sizeof(T));
        return value;
    }

    bool inside() const { return inside_; }

private:
    Index outside(Index j) const {
        if (!inside_) throw KernelError::out_of_bounds(0);
        return checked_index(j, cols_, 1);
    }

    const char* data_ = nullptr;
    Index cols_ = 0;
    Index stride_ = 0;
    bool inside_ = false;
};

template <class T>
class Matrix {
public:
    Matrix() = default;
    Matrix(const void* data, Index rows, Index cols, Index row_stride, Index col_stride)
        : data_(static_cast<const char*>(data)), rows_(rows), cols_(cols), s0_(row_stride), s1_(col_stride) {}

    bool given() const { return data_ != nullptr || rows_ != 0; }
    Index rows() const { return rows_; }
    Index cols() const { return cols_; }
    T operator()(Index i, Index j) const {
        const Index r = checked_index(i, rows_, 0);
        const Index c = checked_index(j, cols_, 1);
        T value;
        std::memcpy(&value, data_ + r * s0_ + c * s1_, sizeof(T));
        return value;
    }
    MatrixRow<T> row_view(Index i) const {
        if (i < 0) i += rows_;
        const bool inside = i >= 0 && i < rows_;
        return {inside ? data_ + i * s0_ : nullptr, cols_, s1_, inside};
    }
    // Cell (i, j), or NaN outside the matrix: for values that are only reported.
    T get(Index i, Index j) const {
        if (i < 0 || i >= rows_ || j < 0 || j >= cols_) return std::numeric_limits<T>::quiet_NaN();
        T value;
        std::memcpy(&value, data_ + i * s0_ + j * s1_, sizeof(T));
        return value;
    }
    // Rows first..last of column j, read without further checks, when they
    // all lie inside the matrix; otherwise an empty column (read cell by cell).
    struct Column {
        const char* data = nullptr;  // row `first`
        Index stride = 0;
        T operator[](Index k) const {
            T value;
            std::memcpy(&value, data + k * stride, sizeof(T));
            return value;
        }
    };
    Column column(Index j, Index first, Index last) const {
        if (first < 0 || last >= rows_ || j < 0 || j >= cols_ || first > last) return {};
        return {data_ + first * s0_ + j * s1_, s0_};
    }
    // Address of row i for prefetching (0 outside the matrix); a prefetch
    // never faults, so the cells of a row are asked for without checks.
    std::uintptr_t row_address(Index i) const {
        return i >= 0 && i < rows_ ? reinterpret_cast<std::uintptr_t>(data_ + i * s0_) : 0;
    }
    Index col_stride() const { return s1_; }
    Index row_stride() const { return s0_; }
    // Row i copied out, with one bounds check for the whole row.
    std::vector<T> row(Index i) const {
        std::vector<T> out(static_cast<std::size_t>(cols_));
        copy_row(i, out.data());
        return out;
    }
    // The columns of row i whose cell is not +0.0 (-0.0 and NaN are listed),
    // ascending, with the row checked as a copy of it is: what a row of a few
    // nonzero weights among thousands of stocks is worked on from.
    void listed_columns(Index i, std::vector<int>& out) const {
        static_assert(sizeof(T) == sizeof(std::uint64_t), "a cell is compared by its bits");
        const char* p = data_ + checked_index(i, rows_, 0) * s0_;
        out.clear();
        Index j = 0;
        if (s1_ == static_cast<Index>(sizeof(T))) {
            // A contiguous row is mostly zeros: skip them eight cells at a time.
            for (; j + 8 <= cols_; j += 8) {
                std::uint64_t bits[8];
                std::memcpy(bits, p + j * s1_, sizeof bits);
                std::uint64_t any = 0;
                for (const std::uint64_t b : bits) any |= b;
                if (any == 0) continue;
                for (int k = 0; k < 8; ++k) {
                    if (bits[k] != 0) out.push_back(static_cast<int>(j + k));
                }
            }
        }
        for (; j < cols_; ++j) {
            std::uint64_t bits;
            std::memcpy(&bits, p + j * s1_, sizeof bits);
            if (bits != 0) out.push_back(static_cast<int>(j));
        }
    }
    void copy_row(Index i, T* out) const {
        const char* p = data_ + checked_index(i, rows_, 0) * s0_;
        if (cols_ == 0) return;  // an empty row: nothing to copy (and no null pointer to memcpy)
        if (s1_ == static_cast<Index>(sizeof(T))) {
            std::memcpy(out, p, static_cast<std::size_t>(cols_) * sizeof(T));
            return;
        }
        for (Index j = 0; j < cols_; ++j) std::memcpy(&out[j], p + j * s1_, sizeof(T));
    }

private:
    const char* data_ = nullptr;
    Index rows_ = 0, cols_ = 0, s0_ = 0, s1_ = 0;
};

}  // namespace vantrel::kernel
