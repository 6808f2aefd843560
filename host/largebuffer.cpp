#include "largebuffer.h"

#include <sys/mman.h>

#include <cstdint>

namespace host {

void adviseHugePages(void* block, std::size_t bytes) noexcept
{
    // A short tail past the last whole huge page stays in ordinary pages, so
    // that no memory is held beyond the buffer's own.
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(block) + kHugePageBytes - 1) / kHugePageBytes *
                                 kHugePageBytes;
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(block) + bytes) / kHugePageBytes * kHugePageBytes;
    if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

} // namespace host
