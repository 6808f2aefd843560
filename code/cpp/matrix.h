// A two-dimensional array of numbers (design matrices and their products),
// stored column by column: element (row i, column j) lies at j*rows + i.
// The matrix owns its elements.
#pragma once

#include <memory>
#include <ostream>

#include <glm/glm.hpp>

#include "elementstorage.h"
#include "vector.h"

template <typename T>
class Matrix {
public:
    // Empty: extents 0, no elements.
    Matrix();
    // dims is (rows, columns); elements uninitialised.
    explicit Matrix(glm::tvec2<int> dims);
    Matrix(int rows, int columns);
    // Every element set to value.
    Matrix(glm::tvec2<int> dims, T value);
    Matrix(int rows, int columns, T value);
    Matrix(const Matrix& other);
    Matrix(Matrix&& other) noexcept;
    Matrix& operator=(const Matrix& other);
    Matrix& operator=(Matrix&& other) noexcept;
    ~Matrix() = default;

    // Copies size() elements from src (no size check).
    void copyData(const T* src);
    void setAll(T value);
    // A new element count gives uninitialised elements; the same count keeps
    // them in storage order under the new extents.
    void resize(glm::tvec2<int> dims);
    void resize(int rows, int columns);

    glm::tvec2<int> dimensions() const { return {rows_, columns_}; }
    int rows() const { return rows_; }
    int columns() const { return columns_; }
    int size() const { return rows_ * columns_; }
    std::size_t sizeInBytes() const { return static_cast<std::size_t>(size()) * sizeof(T); }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }

    int index(glm::tvec2<int> p) const { return p.y * rows_ + p.x; }
    int index(int i, int j) const { return j * rows_ + i; }
    // Unchecked access to element (row i, column j).
    T& operator[](glm::tvec2<int> p) { return data_[index(p)]; }
    const T& operator[](glm::tvec2<int> p) const { return data_[index(p)]; }
    T& at(int i, int j) { return data_[index(i, j)]; }
    const T& at(int i, int j) const { return data_[index(i, j)]; }
    // The element, or fallback when i or j is outside.
    T get(glm::tvec2<int> p, T fallback) const { return get(p.x, p.y, fallback); }
    T get(int i, int j, T fallback) const;
    // The element at mirrored row and column (never outside).
    T mirror(glm::tvec2<int> p) const { return mirror(p.x, p.y); }
    T mirror(int i, int j) const;
    // Reflects any index into [0, n) about the first and last sample, without repeating them.
    static int mirrorIndex(int i, int n);

    bool operator==(const Matrix& other) const;
    bool operator!=(const Matrix& other) const { return !(*this == other); }

    Matrix operator+() const { return *this; }
    Matrix operator-() const;
    // Element-wise; the right operand must hold at least as many elements.
    Matrix operator+(const Matrix& other) const;
    Matrix operator-(const Matrix& other) const;
    Matrix& operator+=(const Matrix& other);
    Matrix& operator-=(const Matrix& other);
    Matrix operator*(T value) const;
    Matrix operator/(T value) const;
    Matrix& operator*=(T value);
    Matrix& operator/=(T value);
    // Matrix product: rows() x b.columns(); b must have at least columns() rows.
    Matrix operator*(const Matrix& b) const;
    Matrix& operator*=(const Matrix& b);
    // Matrix times column vector: rows() elements; v needs columns() elements.
    Vector<T> operator*(const Vector<T>& v) const;

    Matrix transpose() const;
    void transposeInPlace();
    static Matrix identity(int n);

private:
    int rows_ = 0, columns_ = 0;
    storage::Array<T> data_;
};

// "matrix (RxC):" and one "[...]" line per row, elided from 21 rows or
// columns on; "empty matrix" without elements.
template <typename T>
std::ostream& operator<<(std::ostream& out, const Matrix<T>& m);

extern template class Matrix<float>;
extern template class Matrix<double>;
