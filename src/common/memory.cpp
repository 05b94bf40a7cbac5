// Huge-page advice for large blocks of the module's own memory.
#include "common/memory.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace kz {

void advise_huge_pages(void* block, std::size_t size) noexcept {
    if (size < kHugePageAdviceBytes) return;
    constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
    // madvise takes page-aligned ranges; only whole huge pages inside the
    // block are named, so the advice never reaches a neighbouring block.
    const auto begin = (reinterpret_cast<std::uintptr_t>(block) + huge_page - 1) & ~(huge_page - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(block) + size) & ~(huge_page - 1);
    if (end <= begin) return;
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace kz
