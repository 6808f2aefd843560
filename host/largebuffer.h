// Buffers of map size (a map's voxels, a file before and after compression)
// that start on a huge-page boundary, with the kernel asked to back them with
// transparent huge pages: the first touch of a fresh map then costs a few
// page faults instead of one per 4 KiB page, which is most of what a new map
// costs. The memory still comes from the ordinary heap, so a freed map's
// pages serve the next one. Smaller buffers are allocated as usual. The
// advice is the library's own (its containers' storage), so both ask alike.
#pragma once

#include <cstddef>
#include <new>
#include <vector>

#include "elementstorage.h"

namespace host {

using storage::adviseHugePages;
using storage::kHugePageBytes;

// For std::vector and the like: blocks of kHugePageBytes or more are aligned
// and advised as above.
template <typename T>
struct LargeAllocator {
    using value_type = T;

    LargeAllocator() = default;
    template <typename U>
    LargeAllocator(const LargeAllocator<U>&) noexcept
    {
    }

    static bool large(std::size_t n) { return n * sizeof(T) >= kHugePageBytes; }

    T* allocate(std::size_t n)
    {
        if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
        if (!large(n)) return static_cast<T*>(::operator new(n * sizeof(T)));
        void* block = ::operator new(n * sizeof(T), std::align_val_t(kHugePageBytes));
        adviseHugePages(block, n * sizeof(T));
        return static_cast<T*>(block);
    }

    void deallocate(T* p, std::size_t n) noexcept
    {
        if (large(n))
            ::operator delete(p, std::align_val_t(kHugePageBytes));
        else
            ::operator delete(p);
    }

    template <typename U>
    bool operator==(const LargeAllocator<U>&) const noexcept
    {
        return true;
    }
};

// A map's voxels as the host keeps them.
using MapVoxels = std::vector<float, LargeAllocator<float>>;

} // namespace host
