#include "vector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "containers_detail.h"

using containers_detail::allocate;
using containers_detail::elementCount;

template <typename T>
Vector<T>::Vector() = default;

template <typename T>
Vector<T>::Vector(int n) : n_(n), data_(allocate<T>(elementCount(n, 1)))
{
}

template <typename T>
Vector<T>::Vector(int n, T value) : Vector(n)
{
    setAll(value);
}

template <typename T>
Vector<T>::Vector(const std::vector<T>& values) : Vector(elementCount(static_cast<std::int64_t>(values.size()), 1))
{
    std::copy(values.begin(), values.end(), data_.get());
}

template <typename T>
Vector<T>::Vector(const Vector& other) : Vector(other.n_)
{
    if (other.data_) copyData(other.data_.get());
}

template <typename T>
Vector<T>::Vector(Vector&& other) noexcept : n_(other.n_), data_(std::move(other.data_))
{
}

template <typename T>
Vector<T>& Vector<T>::operator=(const Vector& other)
{
    if (this == &other) return *this;
    resize(other.n_);
    if (other.data_) copyData(other.data_.get());
    return *this;
}

template <typename T>
Vector<T>& Vector<T>::operator=(Vector&& other) noexcept
{
    if (this == &other) return *this;
    n_ = other.n_;
    data_ = std::move(other.data_);
    return *this;
}

template <typename T>
void Vector<T>::copyData(const T* src)
{
    if (n_ > 0) std::memcpy(data_.get(), src, sizeInBytes());
}

template <typename T>
void Vector<T>::setAll(T value)
{
    std::fill_n(data_.get(), n_, value);
}

template <typename T>
void Vector<T>::resize(int n)
{
    const int count = elementCount(n, 1);
    if (count != n_ || (!data_ && count > 0)) data_ = allocate<T>(count);
    n_ = n;
}

template <typename T>
int Vector<T>::mirrorIndex(int i) const
{
    return containers_detail::mirrorIndex(i, n_);
}

template <typename T>
T Vector<T>::linear(float x) const
{
    if (!containers_detail::indexable(x)) return T(0);
    const int i0 = containers_detail::lowerIndex(x), i1 = i0 + 1;
    const T a = get(i0, T(0)), b = get(i1, T(0));
    return (static_cast<T>(i1) - static_cast<T>(x)) * a + (static_cast<T>(x) - static_cast<T>(i0)) * b;
}

TREMORA_ARITHMETIC_OPERATORS(Vector)

template <typename T>
T Vector<T>::dot(const Vector& b) const
{
    if (n_ == 0) return T(0);
    T s = data_[0] * b.data_[0];
    for (int k = 1; k < n_; ++k) s += data_[k] * b.data_[k];
    return s;
}

template <typename T>
T Vector<T>::min() const
{
    if (n_ == 0) return containers_detail::emptyReduction<T>();
    T best = data_[0];
    for (int i = 1; i < n_; ++i)
        if (data_[i] < best) best = data_[i];
    return best;
}

template <typename T>
T Vector<T>::max() const
{
    if (n_ == 0) return containers_detail::emptyReduction<T>();
    T best = data_[0];
    for (int i = 1; i < n_; ++i)
        if (data_[i] > best) best = data_[i];
    return best;
}

template <typename T>
T Vector<T>::sum() const
{
    if (n_ == 0) return T(0);
    T s = data_[0];
    for (int i = 1; i < n_; ++i) s += data_[i];
    return s;
}

template <typename T>
T Vector<T>::mean() const
{
    if (n_ == 0) return containers_detail::emptyReduction<T>();
    return sum() / static_cast<T>(n_);
}

template <typename T>
T Vector<T>::std() const
{
    if (n_ < 1) return T(0);
    const T m = mean();
    T s = 0;
    for (int i = 0; i < n_; ++i) {
        const T d = data_[i] - m;
        s += d * d;
    }
    // Below this sum of squares the vector counts as constant (rounding noise).
    if (s > static_cast<T>(0.0001f)) return std::sqrt(s / static_cast<T>(n_ - 1));
    return T(0);
}

template <typename T>
Vector<T> Vector<T>::squared() const
{
    return containers_detail::mapped(*this, [](T a) { return a * a; });
}

template <typename T>
Vector<T> Vector<T>::sqrt() const
{
    return containers_detail::mapped(*this, [](T a) { return std::sqrt(a); });
}

template <typename T>
std::ostream& operator<<(std::ostream& out, const Vector<T>& v)
{
    out << "[";
    const int n = v.size();
    for (int i = 0; i < n; ++i) {
        if (n >= 4 && i == 2) {
            out << " ...";
            i = n - 1;
        }
        if (i > 0) out << " ";
        out << v[i];
    }
    return out << "]";
}

#define TREMORA_INSTANTIATE_VECTOR(T) \
    template class Vector<T>; \
    template std::ostream& operator<< <T>(std::ostream&, const Vector<T>&);

TREMORA_INSTANTIATE_VECTOR(float)
TREMORA_INSTANTIATE_VECTOR(double)
#undef TREMORA_INSTANTIATE_VECTOR
