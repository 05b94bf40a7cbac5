// How each kind of field of the layout is read from bytes and written to
// them, and how a field's bytes map to its Replay member.
//
//   Codec<K>::read(ByteView)        -> Result<Codec<K>::Wire>   (the bytes as the file holds them)
//   Codec<K>::write(Bytes&, Wire)   appends the field's bytes
//   to_wire(member) / from_wire(member&, wire)   the member <-> wire conversions
//
// The life bar's and the frame block's contents (text, compressed frames) are
// formatted and decoded elsewhere; their codecs move the bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "common/memory.hpp"
#include "layout/replay_layout.hpp"
#include "readers/byte_reader.hpp"
#include "failure/decode_result.hpp"
#include "readers/frame_block.hpp"
#include "readers/life_bar.hpp"

namespace kz::layout {

namespace detail {
template <class T>
void append_little(Bytes& out, T value) {
    for (std::size_t index = 0; index < sizeof(T); ++index) {
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * index)));
    }
}
}  // namespace detail

template <Kind K>
struct Codec;

template <>
struct Codec<Kind::Byte> {
    using Wire = std::uint8_t;
    static Result<Wire> read(ByteView input) noexcept { return parse_u8(input); }
    static void write(Bytes& out, Wire value) { out.push_back(value); }
};

template <>
struct Codec<Kind::Int16> {
    using Wire = std::uint16_t;
    static Result<Wire> read(ByteView input) noexcept { return parse_u16(input, ByteOrder::Little); }
    static void write(Bytes& out, Wire value) { detail::append_little(out, value); }
};

template <>
struct Codec<Kind::Int32> {
    using Wire = std::uint32_t;
    static Result<Wire> read(ByteView input) noexcept { return parse_u32(input, ByteOrder::Little); }
    static void write(Bytes& out, Wire value) { detail::append_little(out, value); }
};

template <>
struct Codec<Kind::Int64> {
    using Wire = std::uint64_t;
    static Result<Wire> read(ByteView input) noexcept { return parse_u64(input, ByteOrder::Little); }
    static void write(Bytes& out, Wire value) { detail::append_little(out, value); }
};

// Absent and empty differ: 0x00 versus 0x0B with length 0.
template <>
struct Codec<Kind::Text> {
    using Wire = OptionalText;
    // `field` is the text's row in the layout, which a failure names.
    static Result<Wire> read(ByteView input, std::uint8_t field) {
        return parse_string(input, field, kFields[field].name);
    }
    static void write(Bytes& out, const std::optional<std::string_view>& text) {
        if (!text) {
            out.push_back(0x00);
            return;
        }
        out.push_back(0x0B);
        std::uint64_t length = text->size();
        do {
            const auto low = static_cast<std::uint8_t>(length & 0x7F);
            length >>= 7;
            out.push_back(length != 0 ? static_cast<std::uint8_t>(low | 0x80) : low);
        } while (length != 0);
        out.insert(out.end(), text->begin(), text->end());
    }
};

// Laid out as a Text, read as its samples; the writer formats the samples' text.
template <>
struct Codec<Kind::LifeBar> {
    using Wire = LifeBarGraph;
    static Result<Wire> read(ByteView input, std::uint8_t field) { return parse_life_bar_graph(input, field); }
    static void write(Bytes& out, const std::optional<std::string_view>& text) { Codec<Kind::Text>::write(out, text); }
};

// The block's length (a signed 32-bit number) and its bytes.
template <>
struct Codec<Kind::FrameBlock> {
    using Wire = ByteView;
    // The length alone (stops on a negative one); the rest starts at the block.
    static Result<std::size_t> read_length(ByteView input) {
        return parse_frame_block_length(input, ByteOrder::Little);
    }
    static void write(Bytes& out, ByteView block) {
        detail::append_little(out, static_cast<std::uint32_t>(block.size()));
        out.insert(out.end(), block.begin(), block.end());
    }
};

// Written in the long form, which every reader takes.
template <>
struct Codec<Kind::ReplayId> {
    using Wire = std::uint64_t;
    // Older files end with the 4-byte id, so 0xFFFFFFFF reads as 2^64 - 1.
    static Result<Wire> read(ByteView input) noexcept {
        if (input.size() >= 8) return parse_u64(input, ByteOrder::Little);
        auto narrow = parse_i32(input, ByteOrder::Little);
        if (!narrow) return narrow.error();
        const auto widened = static_cast<std::int64_t>(narrow.value());
        return Result<Wire>(static_cast<Wire>(widened), narrow.rest());
    }
    static void write(Bytes& out, Wire value) { detail::append_little(out, value); }
};

// Members <-> their wire values. Numbers keep their bits; perfect is 1 for true.
constexpr std::uint8_t to_wire(GameMode mode) noexcept { return static_cast<std::uint8_t>(mode); }
constexpr std::uint8_t to_wire(bool flag) noexcept { return flag ? 1 : 0; }
constexpr std::uint16_t to_wire(std::int16_t value) noexcept { return static_cast<std::uint16_t>(value); }
constexpr std::uint32_t to_wire(std::int32_t value) noexcept { return static_cast<std::uint32_t>(value); }
constexpr std::uint64_t to_wire(std::int64_t value) noexcept { return static_cast<std::uint64_t>(value); }
constexpr std::uint64_t to_wire(std::uint64_t value) noexcept { return value; }
constexpr std::uint32_t to_wire(Mod mods) noexcept { return mods.bits; }
inline std::optional<std::string_view> to_wire(const OptionalText& text) noexcept {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

// The mode byte has no from_wire: it is checked only once the header is read.
constexpr void from_wire(bool& flag, std::uint8_t wire) noexcept { flag = wire == 1; }
constexpr void from_wire(std::int16_t& value, std::uint16_t wire) noexcept { value = static_cast<std::int16_t>(wire); }
constexpr void from_wire(std::int32_t& value, std::uint32_t wire) noexcept { value = static_cast<std::int32_t>(wire); }
constexpr void from_wire(std::int64_t& value, std::uint64_t wire) noexcept { value = static_cast<std::int64_t>(wire); }
constexpr void from_wire(std::uint64_t& value, std::uint64_t wire) noexcept { value = wire; }
constexpr void from_wire(Mod& mods, std::uint32_t wire) noexcept { mods = Mod{wire}; }
inline void from_wire(OptionalText& text, OptionalText&& wire) noexcept { text = std::move(wire); }
inline void from_wire(LifeBarGraph& graph, LifeBarGraph&& wire) noexcept { graph = std::move(wire); }

}  // namespace kz::layout
