// A one-dimensional array of numbers: a voxel's time course, a predictor, a
// parameter set. The vector owns its elements.
#pragma once

#include <memory>
#include <ostream>
#include <vector>

#include "elementstorage.h"

template <typename T>
class Vector {
public:
    // Empty: no elements.
    Vector();
    // Elements uninitialised.
    explicit Vector(int n);
    // Every element set to value.
    Vector(int n, T value);
    // A copy of the elements of values.
    Vector(const std::vector<T>& values);
    Vector(const Vector& other);
    Vector(Vector&& other) noexcept;
    Vector& operator=(const Vector& other);
    Vector& operator=(Vector&& other) noexcept;
    ~Vector() = default;

    // Copies size() elements from src (no size check).
    void copyData(const T* src);
    void setAll(T value);
    // A new count gives uninitialised elements; the same count keeps them.
    void resize(int n);

    int size() const { return n_; }
    std::size_t sizeInBytes() const { return static_cast<std::size_t>(n_) * sizeof(T); }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }
    // Unchecked access.
    T& operator[](int i) { return data_[i]; }
    const T& operator[](int i) const { return data_[i]; }
    // Element i, or fallback when i is outside [0, size).
    T get(int i, T fallback) const { return i >= 0 && i < n_ ? data_[i] : fallback; }
    // The element at the index reflected into [0, size) about the first and
    // last element, without repeating them.
    T mirror(int i) const { return data_[mirrorIndex(i)]; }
    int mirrorIndex(int i) const;
    // Linear interpolation between the neighbouring elements; elements
    // outside [0, size) count as 0.
    T linear(float x) const;

    // Element-wise arithmetic; the right operand must hold at least as many elements.
    Vector operator+() const { return *this; }
    Vector operator-() const;
    Vector operator+(T value) const;
    Vector operator-(T value) const;
    Vector operator*(T value) const;
    Vector operator/(T value) const;
    Vector& operator+=(T value);
    Vector& operator-=(T value);
    Vector& operator*=(T value);
    Vector& operator/=(T value);
    Vector operator+(const Vector& other) const;
    Vector operator-(const Vector& other) const;
    Vector operator*(const Vector& other) const;
    Vector operator/(const Vector& other) const;
    Vector& operator+=(const Vector& other);
    Vector& operator-=(const Vector& other);
    Vector& operator*=(const Vector& other);
    Vector& operator/=(const Vector& other);

    // Sum of a[k]*b[k] over this vector's indices; b must be at least as long.
    T dot(const Vector& b) const;
    // Reductions in T starting from element 0. Without elements min, max and
    // mean give NaN and sum gives 0.
    T min() const;
    T max() const;
    T mean() const;
    T sum() const;
    // Sample standard deviation (divisor n - 1); 0 when the sum of squared
    // deviations is not above 0.0001, so constant or one-element vectors give 0.
    T std() const;
    Vector squared() const;
    Vector sqrt() const;

private:
    int n_ = 0;
    storage::Array<T> data_;
};

// "[a b c]"; from 4 elements on "[a b ... z]"; "[]" when empty.
template <typename T>
std::ostream& operator<<(std::ostream& out, const Vector<T>& v);

extern template class Vector<float>;
extern template class Vector<double>;
