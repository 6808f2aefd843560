// A three-dimensional voxel block: one functional volume, a map, or the
// values of a sampling grid. Voxel (x, y, z) lies at (z*ny + y)*nx + x: x runs
// fastest, then y, then z. The volume owns its elements.
#pragma once

#include <memory>
#include <ostream>

#include <glm/glm.hpp>

#include "elementstorage.h"

template <typename T>
class Volume {
public:
    // Empty: extents 0, no elements.
    Volume();
    // Elements uninitialised.
    explicit Volume(glm::tvec3<int> dims);
    Volume(int nx, int ny, int nz);
    // Every element set to value.
    Volume(glm::tvec3<int> dims, T value);
    Volume(int nx, int ny, int nz, T value);
    Volume(const Volume& other);
    Volume(Volume&& other) noexcept;
    Volume& operator=(const Volume& other);
    Volume& operator=(Volume&& other) noexcept;
    ~Volume() = default;

    // Copies size() elements from src (no size check).
    void copyData(const T* src);
    void setAll(T value);
    // New extents. The same element count keeps the elements in linear order
    // (a reshape); another count keeps the old content centred, padded with 0
    // or cropped (an odd difference gives the high side the larger share).
    void resize(glm::tvec3<int> dims);
    void resize(int nx, int ny, int nz);

    glm::tvec3<int> dimensions() const { return {nx_, ny_, nz_}; }
    int nx() const { return nx_; }
    int ny() const { return ny_; }
    int nz() const { return nz_; }
    int size() const { return nx_ * ny_ * nz_; }
    std::size_t sizeInBytes() const { return static_cast<std::size_t>(size()) * sizeof(T); }
    T* data() { return data_.get(); }
    const T* data() const { return data_.get(); }

    int index(glm::tvec3<int> p) const { return (p.z * ny_ + p.y) * nx_ + p.x; }
    int index(int x, int y, int z) const { return (z * ny_ + y) * nx_ + x; }
    // Unchecked access.
    T& operator[](glm::tvec3<int> p) { return data_[index(p)]; }
    const T& operator[](glm::tvec3<int> p) const { return data_[index(p)]; }
    T& at(int x, int y, int z) { return data_[index(x, y, z)]; }
    const T& at(int x, int y, int z) const { return data_[index(x, y, z)]; }
    T& operator[](int i) { return data_[i]; }
    const T& operator[](int i) const { return data_[i]; }
    // The voxel, or 0 when any coordinate is outside.
    T get(glm::tvec3<int> p) const { return get(p.x, p.y, p.z); }
    T get(int x, int y, int z) const;
    // The voxel at mirrored coordinates: never outside.
    T mirror(glm::tvec3<int> p) const { return mirror(p.x, p.y, p.z); }
    T mirror(int x, int y, int z) const;
    // Reflects any index into [0, n) about the first and last sample, without repeating them.
    static int mirrorIndex(int i, int n);
    // Trilinear interpolation; corners outside the volume count as 0.
    T linear(glm::tvec3<float> p) const { return linear(p.x, p.y, p.z); }
    T linear(float x, float y, float z) const;

    // Smallest and largest element (a later one replaces the current only when
    // strictly smaller or larger) and the mean; NaN (0 for integer volumes)
    // without elements. Integer volumes interpolate and average in double and
    // round to the nearest value.
    T min() const;
    T max() const;
    T mean() const;
    // In place: each element becomes the smaller (larger) of itself and other's.
    void min(const Volume& other);
    void max(const Volume& other);

    bool operator==(const Volume& other) const;
    bool operator!=(const Volume& other) const { return !(*this == other); }

    // Element-wise arithmetic; the right operand must hold at least as many elements.
    Volume operator+() const { return *this; }
    Volume operator-() const;
    Volume operator+(T value) const;
    Volume operator-(T value) const;
    Volume operator*(T value) const;
    Volume operator/(T value) const;
    Volume& operator+=(T value);
    Volume& operator-=(T value);
    Volume& operator*=(T value);
    Volume& operator/=(T value);
    Volume operator+(const Volume& other) const;
    Volume operator-(const Volume& other) const;
    Volume operator*(const Volume& other) const;
    Volume operator/(const Volume& other) const;
    Volume& operator+=(const Volume& other);
    Volume& operator-=(const Volume& other);
    Volume& operator*=(const Volume& other);
    Volume& operator/=(const Volume& other);

    Volume square() const;
    Volume sqrt() const;
    // x and y exchanged: result(y, x, z) = this(x, y, z).
    Volume transposeXY() const;

private:
    int nx_ = 0, ny_ = 0, nz_ = 0;
    storage::Array<T> data_;
};

// "volume (NXxNYxNZ):" and the slices, rows and elements, long ones elided;
// "empty volume" without elements.
template <typename T>
std::ostream& operator<<(std::ostream& out, const Volume<T>& vol);

extern template class Volume<float>;
extern template class Volume<double>;
extern template class Volume<unsigned char>;
extern template class Volume<unsigned short>;
