#include "matrix.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "containers_detail.h"

using containers_detail::allocate;
using containers_detail::elementCount;

template <typename T>
Matrix<T>::Matrix() = default;

template <typename T>
Matrix<T>::Matrix(glm::tvec2<int> dims) : Matrix(dims.x, dims.y)
{
}

template <typename T>
Matrix<T>::Matrix(int rows, int columns)
    : rows_(rows), columns_(columns), data_(allocate<T>(elementCount(rows, columns)))
{
}

template <typename T>
Matrix<T>::Matrix(glm::tvec2<int> dims, T value) : Matrix(dims.x, dims.y, value)
{
}

template <typename T>
Matrix<T>::Matrix(int rows, int columns, T value) : Matrix(rows, columns)
{
    setAll(value);
}

template <typename T>
Matrix<T>::Matrix(const Matrix& other) : Matrix(other.rows_, other.columns_)
{
    if (other.data_) copyData(other.data_.get());
}

template <typename T>
Matrix<T>::Matrix(Matrix&& other) noexcept
    : rows_(other.rows_), columns_(other.columns_), data_(std::move(other.data_))
{
}

template <typename T>
Matrix<T>& Matrix<T>::operator=(const Matrix& other)
{
    if (this == &other) return *this;
    resize(other.rows_, other.columns_);
    if (other.data_) copyData(other.data_.get());
    return *this;
}

template <typename T>
Matrix<T>& Matrix<T>::operator=(Matrix&& other) noexcept
{
    if (this == &other) return *this;
    rows_ = other.rows_;
    columns_ = other.columns_;
    data_ = std::move(other.data_);
    return *this;
}

template <typename T>
void Matrix<T>::copyData(const T* src)
{
    if (size() > 0) std::memcpy(data_.get(), src, sizeInBytes());
}

template <typename T>
void Matrix<T>::setAll(T value)
{
    std::fill_n(data_.get(), size(), value);
}

template <typename T>
void Matrix<T>::resize(glm::tvec2<int> dims)
{
    resize(dims.x, dims.y);
}

template <typename T>
void Matrix<T>::resize(int rows, int columns)
{
    const int count = elementCount(rows, columns);
    if (count != size() || (!data_ && count > 0)) data_ = allocate<T>(count);
    rows_ = rows;
    columns_ = columns;
}

template <typename T>
T Matrix<T>::get(int i, int j, T fallback) const
{
    if (i < 0 || i >= rows_ || j < 0 || j >= columns_) return fallback;
    return data_[index(i, j)];
}

template <typename T>
int Matrix<T>::mirrorIndex(int i, int n)
{
    return containers_detail::mirrorIndex(i, n);
}

template <typename T>
T Matrix<T>::mirror(int i, int j) const
{
    return data_[index(mirrorIndex(i, rows_), mirrorIndex(j, columns_))];
}

template <typename T>
bool Matrix<T>::operator==(const Matrix& other) const
{
    if (rows_ != other.rows_ || columns_ != other.columns_) return false;
    const int n = size();
    for (int k = 0; k < n; ++k)
        if (!(data_[k] == other.data_[k])) return false;
    return true;
}

namespace {

// out[i] = a[i]*s for the first term of a column, then out[i] += a[i]*s:
// each element of a product accumulates its terms in index order, while the
// inner loop runs down contiguous columns.
template <typename T>
void scaledColumn(T* __restrict out, const T* __restrict a, T s, int n)
{
    for (int i = 0; i < n; ++i) out[i] = a[i] * s;
}

template <typename T>
void addScaledColumn(T* __restrict out, const T* __restrict a, T s, int n)
{
    for (int i = 0; i < n; ++i) out[i] += a[i] * s;
}

} // namespace

TREMORA_NEGATION_OPERATOR(Matrix)
TREMORA_ELEMENTWISE_OPERATORS(Matrix, +, add)
TREMORA_ELEMENTWISE_OPERATORS(Matrix, -, sub)
TREMORA_SCALAR_OPERATORS(Matrix, *, mul)
TREMORA_SCALAR_OPERATORS(Matrix, /, quo)

template <typename T>
Matrix<T> Matrix<T>::operator*(const Matrix& b) const
{
    Matrix r(rows_, b.columns_, T(0));
    if (columns_ == 0) return r;
    for (int j = 0; j < b.columns_; ++j) {
        T* out = r.data() + static_cast<std::size_t>(j) * rows_;
        scaledColumn(out, data(), b.at(0, j), rows_);
        for (int m = 1; m < columns_; ++m)
            addScaledColumn(out, data() + static_cast<std::size_t>(m) * rows_, b.at(m, j), rows_);
    }
    return r;
}

template <typename T>
Matrix<T>& Matrix<T>::operator*=(const Matrix& b)
{
    *this = *this * b;
    return *this;
}

template <typename T>
Vector<T> Matrix<T>::operator*(const Vector<T>& v) const
{
    Vector<T> r(rows_, T(0));
    if (columns_ == 0) return r;
    scaledColumn(r.data(), data(), v[0], rows_);
    for (int m = 1; m < columns_; ++m) addScaledColumn(r.data(), data() + static_cast<std::size_t>(m) * rows_, v[m], rows_);
    return r;
}

template <typename T>
Matrix<T> Matrix<T>::transpose() const
{
    Matrix r(columns_, rows_);
    for (int j = 0; j < columns_; ++j)
        for (int i = 0; i < rows_; ++i) r.at(j, i) = at(i, j);
    return r;
}

template <typename T>
void Matrix<T>::transposeInPlace()
{
    if (rows_ == columns_) {
        for (int j = 0; j < columns_; ++j)
            for (int i = j + 1; i < rows_; ++i) std::swap(at(i, j), at(j, i));
        return;
    }
    const Matrix t = transpose();
    copyData(t.data());
    std::swap(rows_, columns_);
}

template <typename T>
Matrix<T> Matrix<T>::identity(int n)
{
    Matrix r(n, n, T(0));
    for (int i = 0; i < n; ++i) r.at(i, i) = T(1);
    return r;
}

template <typename T>
std::ostream& operator<<(std::ostream& out, const Matrix<T>& m)
{
    if (m.size() == 0) return out << "empty matrix";
    out << "matrix (" << m.rows() << "x" << m.columns() << "):";
    const int rows = m.rows(), columns = m.columns();
    for (int i = 0; i < rows; ++i) {
        if (rows >= 21 && i == 10) {
            out << "\n   ...";
            i = rows - 10;
        }
        out << "\n  [";
        for (int j = 0; j < columns; ++j) {
            if (columns >= 21 && j == 10) {
                out << " ...";
                j = columns - 10;
            }
            if (j > 0) out << " ";
            out << m.at(i, j);
        }
        out << "]";
    }
    return out;
}

#define TREMORA_INSTANTIATE_MATRIX(T) \
    template class Matrix<T>; \
    template std::ostream& operator<< <T>(std::ostream&, const Matrix<T>&);

TREMORA_INSTANTIATE_MATRIX(float)
TREMORA_INSTANTIATE_MATRIX(double)
#undef TREMORA_INSTANTIATE_MATRIX
