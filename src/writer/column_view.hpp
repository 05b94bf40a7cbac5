// Reading one column of values that another library laid out (a NumPy array,
// a memoryview): any of the common element types, with any stride, each value
// checked against the field it is written into.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kz {

enum class ValueFormat : std::uint8_t { I8, I16, I32, I64, U8, U16, U32, U64, F32, F64, Bool };

constexpr bool is_real_format(ValueFormat format) noexcept {
    return format == ValueFormat::F32 || format == ValueFormat::F64;
}

// Borrowed memory of `length` values (the length is kept by the caller);
// value i lives at data + i * stride.
struct ColumnView {
    const std::byte* data = nullptr;
    std::ptrdiff_t stride = 0;
    ValueFormat format = ValueFormat::I64;

    // Value i as an integer; false when it is not one (a real, or an unsigned
    // value above the int64 range).
    bool integer(std::size_t i, std::int64_t& out) const noexcept {
        const std::byte* p = data + static_cast<std::ptrdiff_t>(i) * stride;
        switch (format) {
            case ValueFormat::I8: return out = load<std::int8_t>(p), true;
            case ValueFormat::I16: return out = load<std::int16_t>(p), true;
            case ValueFormat::I32: return out = load<std::int32_t>(p), true;
            case ValueFormat::I64: return out = load<std::int64_t>(p), true;
            case ValueFormat::U8:
            case ValueFormat::Bool: return out = load<std::uint8_t>(p), true;
            case ValueFormat::U16: return out = load<std::uint16_t>(p), true;
            case ValueFormat::U32: return out = load<std::uint32_t>(p), true;
            case ValueFormat::U64: {
                const auto value = load<std::uint64_t>(p);
                out = static_cast<std::int64_t>(value);
                return value <= static_cast<std::uint64_t>(INT64_MAX);
            }
            case ValueFormat::F32:
            case ValueFormat::F64: break;
        }
        return false;
    }

    // Value i as a double; false for an integer that a double cannot hold exactly.
    bool real(std::size_t i, double& out) const noexcept {
        const std::byte* p = data + static_cast<std::ptrdiff_t>(i) * stride;
        if (format == ValueFormat::F64) return out = load<double>(p), true;
        if (format == ValueFormat::F32) return out = load<float>(p), true;
        std::int64_t value;
        if (!integer(i, value)) return false;
        constexpr std::int64_t kExact = std::int64_t{1} << 53;
        out = static_cast<double>(value);
        return value >= -kExact && value <= kExact;
    }

private:
    template <class T>
    static T load(const std::byte* p) noexcept {
        T value;
        std::memcpy(&value, p, sizeof value);  // strides need not be aligned
        return value;
    }
};

}  // namespace kz
