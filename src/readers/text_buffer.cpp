// Reserved address space for the frame text, and the per-thread buffer kept between calls.
#include "readers/text_buffer.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

namespace kz {
namespace {

std::size_t page_size() noexcept {
    static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return size;
}

std::size_t whole_pages(std::size_t bytes) noexcept {
    const std::size_t page = page_size();
    return (bytes + page - 1) / page * page;
}

}  // namespace

TextBuffer::TextBuffer(std::size_t limit) : limit_(limit), mapped_(whole_pages(std::max<std::size_t>(limit, 1))) {
    // Inaccessible address space costs no memory and counts against no
    // commit limit; pages become real only when reserve() opens them and the
    // decoder writes them.
    // The start is aligned to a huge page, so that the pages kept between
    // calls (a whole number of huge pages) end where a huge page ends and
    // the text beyond them never straddles small pages.
    constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
    void* raw = mmap(nullptr, mapped_ + huge_page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
    if (aligned != start) munmap(raw, aligned - start);
    munmap(reinterpret_cast<void*>(aligned + mapped_), start + huge_page - aligned);
    base_ = reinterpret_cast<std::uint8_t*>(aligned);
    // Long texts fault far fewer, larger pages where the system allows it;
    // a refusal only costs speed.
    madvise(base_, mapped_, MADV_HUGEPAGE);
}

TextBuffer::TextBuffer(TextBuffer&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      usable_(std::exchange(other.usable_, 0)),
      limit_(std::exchange(other.limit_, 0)),
      mapped_(std::exchange(other.mapped_, 0)) {}

TextBuffer& TextBuffer::operator=(TextBuffer&& other) noexcept {
    if (this != &other) {
        if (base_ != nullptr) munmap(base_, mapped_);
        base_ = std::exchange(other.base_, nullptr);
        size_ = std::exchange(other.size_, 0);
        usable_ = std::exchange(other.usable_, 0);
        limit_ = std::exchange(other.limit_, 0);
        mapped_ = std::exchange(other.mapped_, 0);
    }
    return *this;
}

TextBuffer::~TextBuffer() {
    if (base_ != nullptr) munmap(base_, mapped_);
}

void TextBuffer::reserve(std::size_t capacity) {
    capacity = std::min(capacity, limit_);
    if (capacity <= usable_) return;
    const std::size_t usable = std::min(whole_pages(capacity), mapped_);
    if (mprotect(base_, usable, PROT_READ | PROT_WRITE) != 0) throw std::bad_alloc();
    usable_ = std::min(usable, limit_);
}

void TextBuffer::release_beyond(std::size_t keep) noexcept {
    const std::size_t kept = std::min(whole_pages(keep), mapped_);
    if (kept >= usable_) return;
    const std::size_t open = whole_pages(usable_);
    // The pages go back to the system at once; closing them again keeps a
    // stray write from bringing them back unnoticed.
    madvise(base_ + kept, open - kept, MADV_DONTNEED);
    mprotect(base_ + kept, open - kept, PROT_NONE);
    usable_ = kept;
    size_ = std::min(size_, kept);
}

namespace {

// One kept buffer per thread, empty while it is lent out.
thread_local std::optional<TextBuffer> kept_buffer;

TextBuffer take_buffer(std::size_t limit) {
    if (kept_buffer && kept_buffer->limit() == limit) {
        TextBuffer buffer = std::move(*kept_buffer);
        kept_buffer.reset();
        buffer.clear();
        return buffer;
    }
    return TextBuffer(limit);
}

}  // namespace

LentTextBuffer::LentTextBuffer(std::size_t limit) : buffer_(take_buffer(limit)) {}

LentTextBuffer::~LentTextBuffer() {
    if (buffer_.limit() == 0) return;  // moved from
    buffer_.release_beyond(kKeptTextBytes);
    buffer_.clear();
    if (!kept_buffer) kept_buffer.emplace(std::move(buffer_));
}

}  // namespace kz
