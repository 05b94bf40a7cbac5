// Large blocks of the module's own memory, placed on huge pages.
#include "common/memory.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace kz {
namespace {

// Past this size the kernel's huge pages cost more system time than the
// small-page faults they save (measured on the frames of a 256 MiB text,
// 370 MiB: 0.6 s against 0.15 s per call), so only the start of a larger
// block is advised: a frame list's room reserved from an estimate is larger
// than the frames written into it, which fill it from its start.
constexpr std::size_t kHugePageAdviceLimit = std::size_t{128} << 20;

}  // namespace

void* allocate_on_huge_pages(std::size_t size) noexcept {
#if KADENZO_SYSTEM_ALLOCATOR
    return std::malloc(size);
#else
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    void* block = mi_malloc_aligned(size, huge_page);
    if (block == nullptr) return mi_malloc(size);  // an alignment this large may be refused
    // The advice covers the last, partial huge page too when the block's
    // usable room reaches its end (mimalloc gives blocks this large a
    // segment of their own), so no stretch of it is left to small pages.
    const std::size_t whole = (size + huge_page - 1) / huge_page * huge_page;
    const std::size_t advised = mi_usable_size(block) >= whole ? whole : size / huge_page * huge_page;
    const std::size_t advised_start = advised < kHugePageAdviceLimit ? advised : kHugePageAdviceLimit;
    if (advised_start != 0) madvise(block, advised_start, MADV_HUGEPAGE);
    return block;
#endif
}

}  // namespace kz
