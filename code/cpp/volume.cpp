#include "volume.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "containers_detail.h"

using containers_detail::Accumulator;
using containers_detail::allocate;
using containers_detail::elementCount;
using containers_detail::zipInPlace;

namespace {

// Writes one element: unsigned char as the character it encodes, the other
// types as numbers, with the stream's own formatting.
template <typename T>
void printElement(std::ostream& out, T v)
{
    out << v;
}

} // namespace

template <typename T>
Volume<T>::Volume() = default;

template <typename T>
Volume<T>::Volume(glm::tvec3<int> dims) : Volume(dims.x, dims.y, dims.z)
{
}

template <typename T>
Volume<T>::Volume(int nx, int ny, int nz)
    : nx_(nx), ny_(ny), nz_(nz), data_(allocate<T>(elementCount(nx, ny, nz)))
{
}

template <typename T>
Volume<T>::Volume(glm::tvec3<int> dims, T value) : Volume(dims.x, dims.y, dims.z, value)
{
}

template <typename T>
Volume<T>::Volume(int nx, int ny, int nz, T value) : Volume(nx, ny, nz)
{
    setAll(value);
}

template <typename T>
Volume<T>::Volume(const Volume& other) : Volume(other.nx_, other.ny_, other.nz_)
{
    if (other.data_) copyData(other.data_.get());
}

template <typename T>
Volume<T>::Volume(Volume&& other) noexcept
    : nx_(other.nx_), ny_(other.ny_), nz_(other.nz_), data_(std::move(other.data_))
{
}

template <typename T>
Volume<T>& Volume<T>::operator=(const Volume& other)
{
    if (this == &other) return *this;
    resize(other.nx_, other.ny_, other.nz_);
    if (other.data_) copyData(other.data_.get());
    return *this;
}

template <typename T>
Volume<T>& Volume<T>::operator=(Volume&& other) noexcept
{
    if (this == &other) return *this;
    nx_ = other.nx_;
    ny_ = other.ny_;
    nz_ = other.nz_;
    data_ = std::move(other.data_);
    return *this;
}

template <typename T>
void Volume<T>::copyData(const T* src)
{
    if (size() > 0) std::memcpy(data_.get(), src, sizeInBytes());
}

template <typename T>
void Volume<T>::setAll(T value)
{
    std::fill_n(data_.get(), size(), value);
}

template <typename T>
void Volume<T>::resize(glm::tvec3<int> dims)
{
    resize(dims.x, dims.y, dims.z);
}

template <typename T>
void Volume<T>::resize(int nx, int ny, int nz)
{
    const int count = elementCount(nx, ny, nz);
    // The same element count is a reshape: the elements stay in linear order.
    // (A moved-from volume has its extents but no array and gets a new one.)
    if (count == size() && (data_ || count == 0)) {
        nx_ = nx;
        ny_ = ny;
        nz_ = nz;
        return;
    }
    storage::Array<T> fresh = allocate<T>(count);
    std::fill_n(fresh.get(), count, T(0));
    if (data_ && count > 0) {
        // The old block is placed centred in the new one; with an odd
        // difference the high side gets the larger share of padding or crop.
        const int dx = (nx - nx_) / 2, dy = (ny - ny_) / 2, dz = (nz - nz_) / 2;
        const int x0 = std::max(0, -dx), x1 = std::min(nx_, nx - dx);
        for (int z = 0; z < nz_; ++z) {
            const int zz = z + dz;
            if (zz < 0 || zz >= nz) continue;
            for (int y = 0; y < ny_; ++y) {
                const int yy = y + dy;
                if (yy < 0 || yy >= ny) continue;
                const T* src = data_.get() + index(0, y, z);
                T* dst = fresh.get() + (static_cast<long long>(zz) * ny + yy) * nx + dx;
                for (int x = x0; x < x1; ++x) dst[x] = src[x];
            }
        }
    }
    nx_ = nx;
    ny_ = ny;
    nz_ = nz;
    data_ = std::move(fresh);
}

template <typename T>
T Volume<T>::get(int x, int y, int z) const
{
    if (x < 0 || x >= nx_ || y < 0 || y >= ny_ || z < 0 || z >= nz_) return T(0);
    return data_[index(x, y, z)];
}

template <typename T>
int Volume<T>::mirrorIndex(int i, int n)
{
    return containers_detail::mirrorIndex(i, n);
}

template <typename T>
T Volume<T>::mirror(int x, int y, int z) const
{
    return data_[index(mirrorIndex(x, nx_), mirrorIndex(y, ny_), mirrorIndex(z, nz_))];
}

template <typename T>
T Volume<T>::linear(float x, float y, float z) const
{
    using A = typename Accumulator<T>::type;
    using containers_detail::indexable;
    using containers_detail::lowerIndex;
    if (!indexable(x) || !indexable(y) || !indexable(z)) return T(0);
    const int ix = lowerIndex(x), iy = lowerIndex(y), iz = lowerIndex(z);
    const float fx = x - static_cast<float>(ix), fy = y - static_cast<float>(iy), fz = z - static_cast<float>(iz);
    const A wx[2] = {A(1) - A(fx), A(fx)};
    const A wy[2] = {A(1) - A(fy), A(fy)};
    const A wz[2] = {A(1) - A(fz), A(fz)};
    A sum = 0;
    for (int c = 0; c < 2; ++c)
        for (int b = 0; b < 2; ++b)
            for (int a = 0; a < 2; ++a)
                sum += static_cast<A>(get(ix + a, iy + b, iz + c)) * wx[a] * wy[b] * wz[c];
    return containers_detail::fromAccumulator<T>(sum);
}

template <typename T>
T Volume<T>::min() const
{
    const int n = size();
    if (n == 0 || !data_) return containers_detail::emptyReduction<T>();
    T best = data_[0];
    for (int i = 1; i < n; ++i)
        if (data_[i] < best) best = data_[i];
    return best;
}

template <typename T>
T Volume<T>::max() const
{
    const int n = size();
    if (n == 0 || !data_) return containers_detail::emptyReduction<T>();
    T best = data_[0];
    for (int i = 1; i < n; ++i)
        if (data_[i] > best) best = data_[i];
    return best;
}

template <typename T>
T Volume<T>::mean() const
{
    using A = typename Accumulator<T>::type;
    const int n = size();
    if constexpr (std::is_same_v<A, T>) {
        // Floating point: an empty volume gives 0/0, NaN.
        T sum = 0;
        for (int i = 0; i < n; ++i) sum += data_[i];
        return sum / static_cast<T>(n);
    } else {
        if (n == 0) return T(0);
        A sum = 0;
        for (int i = 0; i < n; ++i) sum += static_cast<A>(data_[i]);
        return containers_detail::fromAccumulator<T>(sum / static_cast<A>(n));
    }
}

template <typename T>
void Volume<T>::min(const Volume& other)
{
    zipInPlace(data_.get(), other.data_.get(), size(), [](T a, T b) { return b < a ? b : a; });
}

template <typename T>
void Volume<T>::max(const Volume& other)
{
    zipInPlace(data_.get(), other.data_.get(), size(), [](T a, T b) { return b > a ? b : a; });
}

template <typename T>
bool Volume<T>::operator==(const Volume& other) const
{
    if (nx_ != other.nx_ || ny_ != other.ny_ || nz_ != other.nz_) return false;
    const int n = size();
    for (int i = 0; i < n; ++i)
        if (!(data_[i] == other.data_[i])) return false;
    return true;
}

TREMORA_ARITHMETIC_OPERATORS(Volume)

template <typename T>
Volume<T> Volume<T>::square() const
{
    return containers_detail::mapped(*this, [](T a) { return containers_detail::mul(a, a); });
}

template <typename T>
Volume<T> Volume<T>::sqrt() const
{
    return containers_detail::mapped(*this, [](T a) { return containers_detail::elementSqrt(a); });
}

template <typename T>
Volume<T> Volume<T>::transposeXY() const
{
    Volume r(ny_, nx_, nz_);
    for (int z = 0; z < nz_; ++z)
        for (int y = 0; y < ny_; ++y)
            for (int x = 0; x < nx_; ++x) r.at(y, x, z) = at(x, y, z);
    return r;
}

template <typename T>
std::ostream& operator<<(std::ostream& out, const Volume<T>& vol)
{
    if (vol.size() == 0) return out << "empty volume";
    out << "volume (" << vol.nx() << "x" << vol.ny() << "x" << vol.nz() << "):";
    auto printRow = [&](int y, int z) {
        out << "\n    [";
        const int nx = vol.nx();
        for (int x = 0; x < nx; ++x) {
            if (nx >= 4 && x == 2) {
                out << " ...";
                x = nx - 1;
            }
            if (x > 0) out << " ";
            printElement(out, vol.at(x, y, z));
        }
        out << "]";
    };
    auto printSlice = [&](int z) {
        out << "\n  slice " << z << ":";
        const int ny = vol.ny();
        for (int y = 0; y < ny; ++y) {
            if (ny >= 4 && y == 2) {
                out << "\n     ...";
                y = ny - 1;
            }
            printRow(y, z);
        }
    };
    const int nz = vol.nz();
    for (int z = 0; z < nz; ++z) {
        if (nz >= 4 && z == 2) {
            out << "\n   ...";
            z = nz - 1;
        }
        printSlice(z);
    }
    return out;
}

#define TREMORA_INSTANTIATE_VOLUME(T) \
    template class Volume<T>; \
    template std::ostream& operator<< <T>(std::ostream&, const Volume<T>&);

TREMORA_INSTANTIATE_VOLUME(float)
TREMORA_INSTANTIATE_VOLUME(double)
TREMORA_INSTANTIATE_VOLUME(unsigned char)
TREMORA_INSTANTIATE_VOLUME(unsigned short)
#undef TREMORA_INSTANTIATE_VOLUME
