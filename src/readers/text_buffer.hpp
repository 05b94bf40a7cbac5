// The output room of the frame-block decompressor: address space reserved
// once for the longest text allowed and made usable as the text grows, so
// growing never copies the text and never touches a page twice. Each thread
// keeps its buffer for the next call, its pages still mapped, up to a bound.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kz {

class TextBuffer {
public:
    // Reserves `limit` bytes of address space; nothing of it is usable yet.
    explicit TextBuffer(std::size_t limit);
    TextBuffer(TextBuffer&& other) noexcept;
    TextBuffer& operator=(TextBuffer&& other) noexcept;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    std::uint8_t* data() noexcept { return base_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t limit() const noexcept { return limit_; }
    // Usable bytes: the contents plus the spare room after them.
    std::size_t capacity() const noexcept { return usable_; }
    std::size_t spare() const noexcept { return usable_ - size_; }
    std::uint8_t* end() noexcept { return base_ + size_; }
    std::string_view view() const noexcept { return {reinterpret_cast<const char*>(base_), size_}; }

    // Counts `n` bytes written into the spare room as part of the contents.
    void commit(std::size_t n) noexcept { size_ += n; }
    void clear() noexcept { size_ = 0; }
    // Drops the bytes past the first `n`.
    void truncate(std::size_t n) noexcept { size_ = n < size_ ? n : size_; }

    // Makes at least `capacity` bytes usable (at most the limit), in place.
    void reserve(std::size_t capacity);

    // Gives the pages past the first `keep` bytes back to the system; they
    // are usable again only after another reserve().
    void release_beyond(std::size_t keep) noexcept;

private:
    std::uint8_t* base_ = nullptr;
    std::size_t size_ = 0;
    std::size_t usable_ = 0;
    std::size_t limit_ = 0;
    std::size_t mapped_ = 0;  // the reservation, whole pages
};

// The calling thread's text buffer, lent for one decode: empty when lent,
// handed back (its pages past kKeptTextBytes released) when the loan ends. A
// second loan on a thread whose buffer is out gets a buffer of its own.
class LentTextBuffer {
public:
    explicit LentTextBuffer(std::size_t limit);
    LentTextBuffer(LentTextBuffer&&) noexcept = default;
    LentTextBuffer& operator=(LentTextBuffer&&) = delete;
    LentTextBuffer(const LentTextBuffer&) = delete;
    LentTextBuffer& operator=(const LentTextBuffer&) = delete;
    ~LentTextBuffer();

    TextBuffer& operator*() noexcept { return buffer_; }
    TextBuffer* operator->() noexcept { return &buffer_; }
    std::string_view view() const noexcept { return buffer_.view(); }
    std::size_t size() const noexcept { return buffer_.size(); }

private:
    TextBuffer buffer_;
};

// The pages a thread keeps mapped between calls: enough for most plays' texts
// to decode without a fresh page fault, little enough to hold per worker.
inline constexpr std::size_t kKeptTextBytes = std::size_t{4} << 20;

}  // namespace kz
