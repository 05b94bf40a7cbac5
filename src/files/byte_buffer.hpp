// A growable byte buffer in the module's allocator that never zero-fills:
// made for file contents read straight into its spare room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/memory.hpp"

namespace kz {

class ByteBuffer {
public:
    ByteBuffer() noexcept = default;
    explicit ByteBuffer(std::size_t capacity) { reserve(capacity); }
    ByteBuffer(ByteBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    ByteBuffer& operator=(ByteBuffer&& other) noexcept {
        if (this != &other) {
            free_bytes(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;
    ~ByteBuffer() { free_bytes(data_); }

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    std::size_t spare() const noexcept { return capacity_ - size_; }
    std::uint8_t* end() noexcept { return data_ + size_; }
    std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data_), size_}; }

    // Counts `n` bytes written into the spare room as part of the contents.
    void commit(std::size_t n) noexcept { size_ += n; }

    // Grows the capacity to at least `capacity`, keeping the contents. The
    // new room is left uninitialised.
    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        auto* fresh = static_cast<std::uint8_t*>(allocate_bytes(capacity));
        if (size_ != 0) std::memcpy(fresh, data_, size_);
        free_bytes(data_);
        data_ = fresh;
        capacity_ = capacity;
    }

private:
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace kz
