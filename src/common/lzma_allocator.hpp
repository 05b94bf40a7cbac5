// liblzma's own allocations, routed to the module's allocator.
#pragma once

#include <lzma.h>

namespace kz {

// For lzma_stream::allocator of every decoder and encoder the core makes.
extern const lzma_allocator kLzmaAllocator;

}  // namespace kz
