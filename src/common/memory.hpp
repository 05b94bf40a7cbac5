// Allocator of the module's own memory: records, texts, lists and buffers go through mimalloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include <cstdlib>

#if !KADENZO_SYSTEM_ALLOCATOR
#include <mimalloc.h>
#endif

namespace kz {

// Blocks from this size up are placed on huge pages (see allocate_on_huge_pages).
inline constexpr std::size_t kHugePageBlockBytes = std::size_t{4} << 20;

// A block of kHugePageBlockBytes or more, aligned to a huge page (2 MiB) and,
// in its first 128 MiB, advised to be backed by huge pages: the allocator hands out blocks this
// large as fresh pages on every call, and the frame records of a long text
// then take a few page faults instead of one per 4 KiB. Only advice: where
// the system refuses, nothing changes but the speed. Null when out of memory.
void* allocate_on_huge_pages(std::size_t size) noexcept;

// Raw allocation. The sanitizer build routes everything to the system
// allocator so that AddressSanitizer sees every block.
inline void* allocate_bytes(std::size_t size) {
#if KADENZO_SYSTEM_ALLOCATOR
    void* p = std::malloc(size == 0 ? 1 : size);
#else
    void* p = size < kHugePageBlockBytes ? mi_malloc(size) : allocate_on_huge_pages(size);
#endif
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

inline void free_bytes(void* p) noexcept {
#if KADENZO_SYSTEM_ALLOCATOR
    std::free(p);
#else
    mi_free(p);
#endif
}

// Once per process, before decoding: freed pages stay with the allocator for
// a second before they go back to the system, so that a loop of decodes
// writes each replay's frames into the pages of the replay freed before it
// instead of faulting in fresh ones (at the default delay, about one page
// fault per 4 KiB of frames on every call). A delay the user set in the
// environment is left alone.
inline void tune_allocator() noexcept {
#if !KADENZO_SYSTEM_ALLOCATOR
#if MI_MALLOC_VERSION >= 210
    constexpr mi_option_t delay = mi_option_purge_delay;
#else
    constexpr mi_option_t delay = mi_option_decommit_delay;
#endif
    for (const char* name : {"MIMALLOC_PURGE_DELAY", "MIMALLOC_DECOMMIT_DELAY", "MIMALLOC_RESET_DELAY"}) {
        if (std::getenv(name) != nullptr) return;
    }
    mi_option_set(delay, 1000);
#endif
}

// Standard allocator over allocate_bytes/free_bytes; stateless, so all
// instances compare equal and containers can swap and move freely.
template <class T>
struct Allocator {
    using value_type = T;

    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
        return static_cast<T*>(allocate_bytes(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { free_bytes(p); }

    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }
};

template <class T>
using Vec = std::vector<T, Allocator<T>>;
using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;
using Bytes = Vec<std::uint8_t>;

}  // namespace kz
