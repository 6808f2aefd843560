// Where the containers (Vector, Matrix, Volume) keep their elements.
//
// A large array (kLargeArrayBytes or more) starts on a huge-page boundary and
// the kernel is asked to back it with transparent huge pages: touching a
// fresh volume then takes a handful of page faults instead of one per 4 KiB,
// which is most of what writing a new volume costs. The memory still comes
// from the ordinary heap, so a freed volume's pages serve the next one.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace storage {

inline constexpr std::size_t kHugePageBytes = std::size_t(2) << 20;
inline constexpr std::size_t kLargeArrayBytes = kHugePageBytes;

// Asks for huge pages over the whole huge pages within [block, block + bytes)
// (only advice: where the kernel has none, nothing changes).
void adviseHugePages(void* block, std::size_t bytes) noexcept;

// Frees an array from allocate below, whichever way it was made.
template <typename T>
struct Release {
    bool aligned = false; // from the huge-page-aligned allocation, else from new[]
    void operator()(T* p) const noexcept
    {
        if (aligned)
            ::operator delete(p, std::align_val_t(kHugePageBytes));
        else
            delete[] p;
    }
};

template <typename T>
using Array = std::unique_ptr<T[], Release<T>>;

// An array of n uninitialised elements, or none for n = 0.
template <typename T>
Array<T> allocate(std::size_t n)
{
    if (n == 0) return Array<T>();
    if (n <= static_cast<std::size_t>(-1) / sizeof(T) && n * sizeof(T) >= kLargeArrayBytes) {
        static_assert(std::is_trivially_default_constructible_v<T> && std::is_trivially_destructible_v<T>);
        void* block = ::operator new(n * sizeof(T), std::align_val_t(kHugePageBytes));
        adviseHugePages(block, n * sizeof(T));
        return Array<T>(static_cast<T*>(block), Release<T>{true});
    }
    return Array<T>(new T[n]);
}

} // namespace storage
