#include "matrix.h"

#include <algorithm>
#include <utility>

#include "containers_detail.h"

using namespace containers_detail;

template <typename T>
Matrix<T>::Matrix() = default;

template <typename T>
Matrix<T>::Matrix(glm::tvec2<int> dims) : Matrix(dims.x, dims.y) {}

template <typename T>
Matrix<T>::Matrix(int rows, int columns)
    : rows_(rows), columns_(columns), data_(allocate<T>(elementCount(rows, columns))) {}

template <typename T>
Matrix<T>::Matrix(glm::tvec2<int> dims, T value) : Matrix(dims.x, dims.y, value) {}

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
    : rows_(other.rows_), columns_(other.columns_), data_(std::move(other.data_)) {}

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
    rows_ = other.rows_;
    columns_ = other.columns_;
    data_ = std::move(other.data_);
    return *this;
}

template <typename T>
void Matrix<T>::copyData(const T* src)
{
    std::copy(src, src + size(), data_.get());
}

template <typename T>
void Matrix<T>::setAll(T value)
{
    T* d = data_.get();
    const int n = size();
    for (int i = 0; i < n; ++i) d[i] = value;
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
    if (count != size() || !data_) data_ = allocate<T>(count);
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
    for (int i = 0; i < n; ++i)
        if (!(data_[i] == other.data_[i])) return false;
    return true;
}

template <typename T>
Matrix<T> Matrix<T>::operator-() const
{
    Matrix<T> r(rows_, columns_);
    const int n = size();
    for (int i = 0; i < n; ++i) r.data_[i] = -data_[i];
    return r;
}

#define TREMORA_MATRIX_ELEMENTWISE(op)                                                  \
    template <typename T>                                                             \
    Matrix<T> Matrix<T>::operator op(const Matrix& other) const                       \
    {                                                                                 \
        Matrix<T> r(rows_, columns_);                                                 \
        const T* __restrict a = data_.get();                                          \
        const T* __restrict b = other.data_.get();                                    \
        T* __restrict d = r.data_.get();                                              \
        const int n = size();                                                         \
        for (int i = 0; i < n; ++i) d[i] = a[i] op b[i];                             \
        return r;                                                                     \
    }                                                                                 \
    template <typename T>                                                             \
    Matrix<T>& Matrix<T>::operator op##=(const Matrix& other)                         \
    {                                                                                 \
        T* d = data_.get();                                                           \
        const T* b = other.data_.get();                                               \
        const int n = size();                                                         \
        for (int i = 0; i < n; ++i) d[i] = d[i] op b[i];                             \
        return *this;                                                                 \
    }

#define TREMORA_MATRIX_SCALAR(op)                                                       \
    template <typename T>                                                             \
    Matrix<T> Matrix<T>::operator op(T value) const                                   \
    {                                                                                 \
        Matrix<T> r(rows_, columns_);                                                 \
        const T* __restrict a = data_.get();                                          \
        T* __restrict d = r.data_.get();                                              \
        const int n = size();                                                         \
        for (int i = 0; i < n; ++i) d[i] = a[i] op value;                            \
        return r;                                                                     \
    }                                                                                 \
    template <typename T>                                                             \
    Matrix<T>& Matrix<T>::operator op##=(T value)                                     \
    {                                                                                 \
        T* __restrict d = data_.get();                                                \
        const int n = size();                                                         \
        for (int i = 0; i < n; ++i) d[i] = d[i] op value;                            \
        return *this;                                                                 \
    }

TREMORA_MATRIX_ELEMENTWISE(+)
TREMORA_MATRIX_ELEMENTWISE(-)
TREMORA_MATRIX_SCALAR(*)
TREMORA_MATRIX_SCALAR(/)
#undef TREMORA_MATRIX_ELEMENTWISE
#undef TREMORA_MATRIX_SCALAR

template <typename T>
Matrix<T> Matrix<T>::operator*(const Matrix& other) const
{
    // Column by column; within a column every element accumulates its terms
    // in the order m = 0, 1, ..., while the loop over rows runs contiguously.
    Matrix<T> r(rows_, other.columns_);
    const int inner = columns_;
    if (inner == 0) {
        r.setAll(T(0));
        return r;
    }
    for (int j = 0; j < other.columns_; ++j) {
        T* __restrict c = r.data_.get() + static_cast<std::size_t>(j) * static_cast<std::size_t>(rows_);
        const T* b = other.data_.get() + static_cast<std::size_t>(j) * static_cast<std::size_t>(other.rows_);
        const T* __restrict a0 = data_.get();
        const T b0 = b[0];
        for (int i = 0; i < rows_; ++i) c[i] = a0[i] * b0;
        for (int m = 1; m < inner; ++m) {
            const T* __restrict a = data_.get() + static_cast<std::size_t>(m) * static_cast<std::size_t>(rows_);
            const T bm = b[m];
            for (int i = 0; i < rows_; ++i) c[i] += a[i] * bm;
        }
    }
    return r;
}

template <typename T>
Matrix<T>& Matrix<T>::operator*=(const Matrix& other)
{
    *this = *this * other;
    return *this;
}

template <typename T>
Vector<T> Matrix<T>::operator*(const Vector<T>& v) const
{
    Vector<T> r(rows_);
    if (columns_ == 0) {
        r.setAll(T(0));
        return r;
    }
    T* __restrict c = r.data();
    const T* __restrict a0 = data_.get();
    for (int i = 0; i < rows_; ++i) c[i] = a0[i] * v[0];
    for (int m = 1; m < columns_; ++m) {
        const T* __restrict a = data_.get() + static_cast<std::size_t>(m) * static_cast<std::size_t>(rows_);
        const T vm = v[m];
        for (int i = 0; i < rows_; ++i) c[i] += a[i] * vm;
    }
    return r;
}

template <typename T>
Matrix<T> Matrix<T>::transpose() const
{
    Matrix<T> r(columns_, rows_);
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
    const Matrix<T> t = transpose();
    copyData(t.data_.get());
    std::swap(rows_, columns_);
}

template <typename T>
Matrix<T> Matrix<T>::identity(int n)
{
    Matrix<T> r(n, n, T(0));
    for (int i = 0; i < n; ++i) r.at(i, i) = T(1);
    return r;
}

template <typename T>
std::ostream& operator<<(std::ostream& out, const Matrix<T>& m)
{
    if (m.size() == 0) return out << "empty matrix";
    out << "matrix (" << m.rows() << "x" << m.columns() << "):";
    const auto row = [&](int i) {
        out << "\n  [";
        if (m.columns() >= 21) {
            for (int j = 0; j < 10; ++j) out << (j ? " " : "") << m.at(i, j);
            out << " ...";
            for (int j = m.columns() - 10; j < m.columns(); ++j) out << " " << m.at(i, j);
        } else {
            for (int j = 0; j < m.columns(); ++j) out << (j ? " " : "") << m.at(i, j);
        }
        out << "]";
    };
    if (m.rows() >= 21) {
        for (int i = 0; i < 10; ++i) row(i);
        out << "\n   ...";
        for (int i = m.rows() - 10; i < m.rows(); ++i) row(i);
    } else {
        for (int i = 0; i < m.rows(); ++i) row(i);
    }
    return out;
}

template class Matrix<float>;
template class Matrix<double>;
template std::ostream& operator<<(std::ostream&, const Matrix<float>&);
template std::ostream& operator<<(std::ostream&, const Matrix<double>&);
