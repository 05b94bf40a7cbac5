#include "common/lzma_allocator.hpp"

#include <cstddef>
#include <limits>

#include "common/memory.hpp"

namespace kz {
namespace {

// liblzma expects nullptr on failure, never an exception.
void* lzma_alloc(void*, std::size_t count, std::size_t size) noexcept {
    if (size != 0 && count > std::numeric_limits<std::size_t>::max() / size) return nullptr;
    try {
        return allocate_bytes(count * size);
    } catch (...) {
        return nullptr;
    }
}

void lzma_free(void*, void* block) noexcept { free_bytes(block); }

}  // namespace

const lzma_allocator kLzmaAllocator{&lzma_alloc, &lzma_free, nullptr};

}  // namespace kz
