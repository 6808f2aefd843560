// Shared pieces of the container implementations (not part of the interface).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>

#include "elementstorage.h"

namespace containers_detail {

// The element count of the given extents as a signed 32-bit product. A
// negative extent or a product beyond the 32-bit range fails like any
// impossible allocation, so that no array of a wrapped size is ever made.
inline int elementCount(std::int64_t a, std::int64_t b, std::int64_t c = 1)
{
    if (a < 0 || b < 0 || c < 0) throw std::bad_array_new_length();
    const std::int64_t ab = a * b;  // both below 2^31: no 64-bit overflow
    if (c == 0 || ab == 0) return 0;
    if (ab > std::numeric_limits<int>::max()) throw std::bad_array_new_length();
    const std::int64_t n = ab * c;
    if (n > std::numeric_limits<int>::max()) throw std::bad_array_new_length();
    return static_cast<int>(n);
}

// An uninitialised array of n elements, or none for n = 0.
template <typename T>
storage::Array<T> allocate(int n)
{
    return storage::allocate<T>(n > 0 ? static_cast<std::size_t>(n) : 0);
}

// Reflects i into [0, n) about the first and last sample without repeating them.
inline int mirrorIndex(int i, int n)
{
    if (n <= 1) return 0;
    const long long p = 2LL * n - 2;
    const long long m = (i < 0 ? -static_cast<long long>(i) : static_cast<long long>(i)) % p;
    return static_cast<int>(m < n ? m : p - m);
}

// floor(c) for every c >= -2, as the interpolators take it. Callers make sure
// c lies in [-2, 2^30) so that the conversion is defined.
inline int lowerIndex(float c) { return static_cast<int>(c + 2.0f) - 2; }
// Coordinates for which lowerIndex is defined; all others lie wholly outside.
inline bool indexable(float c) { return c >= -2.0f && c < 1073741824.0f; }

// The type in which interpolation weights and means are accumulated: float
// for float, double for double and for the integer volumes.
template <typename T> struct Accumulator { using type = double; };
template <> struct Accumulator<float> { using type = float; };

// The type in which element-wise arithmetic is done before the result is
// stored as T: small unsigned types are widened to unsigned int, so that
// their sums and products wrap modulo 2^8 or 2^16 without signed overflow.
template <typename T> struct Arithmetic { using type = T; };
template <> struct Arithmetic<unsigned char> { using type = unsigned int; };
template <> struct Arithmetic<unsigned short> { using type = unsigned int; };

template <typename T>
using Wide = typename Arithmetic<T>::type;

// The arithmetic of one element, done in the widened type.
template <typename T> T add(T a, T b) { return static_cast<T>(Wide<T>(a) + Wide<T>(b)); }
template <typename T> T sub(T a, T b) { return static_cast<T>(Wide<T>(a) - Wide<T>(b)); }
template <typename T> T mul(T a, T b) { return static_cast<T>(Wide<T>(a) * Wide<T>(b)); }
template <typename T> T quo(T a, T b) { return static_cast<T>(Wide<T>(a) / Wide<T>(b)); }
template <typename T> T neg(T a) { return static_cast<T>(-Wide<T>(a)); }

// The element-wise kernels of all containers: plain counted loops over
// contiguous arrays, so that the compiler turns them into vector code.
template <typename T, typename Op>
void mapInto(T* __restrict out, const T* __restrict a, int n, Op op)
{
    for (int i = 0; i < n; ++i) out[i] = op(a[i]);
}

template <typename T, typename Op>
void zipInto(T* __restrict out, const T* a, const T* b, int n, Op op)
{
    for (int i = 0; i < n; ++i) out[i] = op(a[i], b[i]);
}

template <typename T, typename Op>
void mapInPlace(T* a, int n, Op op)
{
    for (int i = 0; i < n; ++i) a[i] = op(a[i]);
}

template <typename T, typename Op>
void zipInPlace(T* a, const T* b, int n, Op op)
{
    for (int i = 0; i < n; ++i) a[i] = op(a[i], b[i]);
}

// A new container of a's extents (its elements not yet set).
template <typename C>
C sameShape(const C& a)
{
    if constexpr (requires { a.dimensions(); }) return C(a.dimensions());
    else return C(a.size());
}

// A new container of a's extents holding op(a[i]), or op(a[i], b[i]); b must
// hold at least as many elements as a.
template <typename C, typename Op>
C mapped(const C& a, Op op)
{
    C r = sameShape(a);
    mapInto(r.data(), a.data(), a.size(), op);
    return r;
}

template <typename C, typename Op>
C zipped(const C& a, const C& b, Op op)
{
    C r = sameShape(a);
    zipInto(r.data(), a.data(), b.data(), a.size(), op);
    return r;
}

template <typename T, typename A>
T fromAccumulator(A value)
{
    if constexpr (std::numeric_limits<T>::is_integer) {
        // Integer volumes: round to the nearest representable value.
        const A lo = static_cast<A>(std::numeric_limits<T>::min());
        const A hi = static_cast<A>(std::numeric_limits<T>::max());
        if (!(value > lo)) return std::numeric_limits<T>::min();
        if (!(value < hi)) return std::numeric_limits<T>::max();
        return static_cast<T>(value + static_cast<A>(0.5));
    } else {
        return static_cast<T>(value);
    }
}

// The value of a reduction over no elements: NaN for floating point, 0 otherwise.
template <typename T>
T emptyReduction()
{
    if constexpr (std::numeric_limits<T>::has_quiet_NaN) return std::numeric_limits<T>::quiet_NaN();
    else return T(0);
}

// Square root of an element: in T for floating point, in double truncated
// toward zero for the integer types.
template <typename T>
T elementSqrt(T v)
{
    if constexpr (std::numeric_limits<T>::is_integer) return static_cast<T>(std::sqrt(static_cast<double>(v)));
    else return std::sqrt(v);
}

} // namespace containers_detail

// The element-wise operators of a container class template: with a scalar
// (TREMORA_SCALAR_OPERATORS) or with another container of the same kind
// (TREMORA_ELEMENTWISE_OPERATORS), each as a new container and in place.
// FN is one of the element operations above.
#define TREMORA_SCALAR_OPERATORS(Class, OP, FN) \
    template <typename T> \
    Class<T> Class<T>::operator OP(T value) const \
    { \
        return containers_detail::mapped(*this, [value](T a) { return containers_detail::FN(a, value); }); \
    } \
    template <typename T> \
    Class<T>& Class<T>::operator OP##=(T value) \
    { \
        containers_detail::mapInPlace(data(), size(), [value](T a) { return containers_detail::FN(a, value); }); \
        return *this; \
    }

#define TREMORA_ELEMENTWISE_OPERATORS(Class, OP, FN) \
    template <typename T> \
    Class<T> Class<T>::operator OP(const Class& other) const \
    { \
        return containers_detail::zipped(*this, other, [](T a, T b) { return containers_detail::FN(a, b); }); \
    } \
    template <typename T> \
    Class<T>& Class<T>::operator OP##=(const Class& other) \
    { \
        containers_detail::zipInPlace(data(), other.data(), size(), [](T a, T b) { return containers_detail::FN(a, b); }); \
        return *this; \
    }

#define TREMORA_NEGATION_OPERATOR(Class) \
    template <typename T> \
    Class<T> Class<T>::operator-() const \
    { \
        return containers_detail::mapped(*this, [](T a) { return containers_detail::neg(a); }); \
    }

// All of the above, for a container with the full set of element-wise operators.
#define TREMORA_ARITHMETIC_OPERATORS(Class) \
    TREMORA_NEGATION_OPERATOR(Class) \
    TREMORA_SCALAR_OPERATORS(Class, +, add) \
    TREMORA_SCALAR_OPERATORS(Class, -, sub) \
    TREMORA_SCALAR_OPERATORS(Class, *, mul) \
    TREMORA_SCALAR_OPERATORS(Class, /, quo) \
    TREMORA_ELEMENTWISE_OPERATORS(Class, +, add) \
    TREMORA_ELEMENTWISE_OPERATORS(Class, -, sub) \
    TREMORA_ELEMENTWISE_OPERATORS(Class, *, mul) \
    TREMORA_ELEMENTWISE_OPERATORS(Class, /, quo)
