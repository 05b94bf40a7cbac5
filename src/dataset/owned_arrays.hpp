// Arrow arrays over memory one record batch owns: the buffers it filled and
// the frame columns it points into, alive until the last exported array
// (the batch or any child a consumer moved out) is released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "columns/arrow_c_abi.hpp"
#include "columns/arrow_export.hpp"
#include "common/memory.hpp"

namespace kz {

// An exported array released when this goes out of scope, unless handed on.
class OwnedArray {
public:
    OwnedArray() noexcept = default;
    explicit OwnedArray(ArrowArray array) noexcept : array_(array) {}
    OwnedArray(OwnedArray&& other) noexcept : array_(other.array_) { other.array_.release = nullptr; }
    OwnedArray& operator=(OwnedArray&& other) noexcept;
    OwnedArray(const OwnedArray&) = delete;
    OwnedArray& operator=(const OwnedArray&) = delete;
    ~OwnedArray() { reset(); }

    const ArrowArray& get() const noexcept { return array_; }
    // Hands the array over: the caller now releases it.
    ArrowArray take() noexcept;
    void reset() noexcept;

private:
    ArrowArray array_{};
};

// Lowest bit first, as Arrow lays out validity and booleans.
inline void set_bit(std::uint8_t* bits, std::size_t at, bool value) noexcept {
    const auto mask = static_cast<std::uint8_t>(1u << (at % 8));
    bits[at / 8] =
        value ? static_cast<std::uint8_t>(bits[at / 8] | mask) : static_cast<std::uint8_t>(bits[at / 8] & ~mask);
}

// Builds the arrays of one batch; every array made shares its memory.
class BatchArrays {
public:
    BatchArrays();

    // Memory for `count` values of T, owned by the batch, not zeroed. Throws std::bad_alloc.
    template <class T>
    T* values(std::size_t count) {
        return static_cast<T*>(allocate(count * sizeof(T)));
    }
    // A bitmap of `count` bits, all set (valid) or all clear.
    std::uint8_t* bits(std::size_t count, bool value);
    // Keeps `columns` alive for as long as the batch: its buffers are used in place.
    void keep(const SharedFrameColumns& columns);

    // An array of `length` values over `buffers` (validity first; null when
    // nothing is null), with `children` and an optional dictionary.
    OwnedArray array(std::size_t length, std::size_t null_count, std::initializer_list<const void*> buffers,
                     Vec<OwnedArray> children = {}, OwnedArray dictionary = {});
    // `length` values, all null, of a fixed-width type (a bitmap and values)
    // or of text (a bitmap, offsets and data): every buffer is the process's
    // shared block of zero bytes, so nothing is written per row.
    OwnedArray nulls(std::size_t length);
    OwnedArray null_text(std::size_t length);

private:
    void* allocate(std::size_t bytes);

    // At least `bytes` zero bytes, never written: shared by every batch.
    const void* zeros(std::size_t bytes);

    struct Memory {
        Vec<ColumnBuffer> buffers;
        Vec<SharedFrameColumns> columns;
        std::shared_ptr<const ColumnBuffer> zeros;
    };
    std::shared_ptr<Memory> memory_;
};

}  // namespace kz
