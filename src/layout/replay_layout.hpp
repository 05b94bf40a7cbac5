// The replay file's layout, described once: its fields in file order, each a
// name, a kind (how its bytes are read and written) and the Replay member it
// fills. The parser, the header-only reader, failure messages and the writer
// all work from this table; the Python side checks its field lists against it
// (kadenzo._native.layout_fields).
//
// Adding a header field is one row here plus its member in Replay (and, for a
// new kind, its width and codec in field_codec.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "common/record_fields.hpp"
#include "replay/replay_record.hpp"

namespace kz::layout {

// How a field's bytes are laid out. Every number is little-endian.
enum class Kind : std::uint8_t {
    Byte,        // 1 byte, unsigned
    Int16,       // 2 bytes
    Int32,       // 4 bytes
    Int64,       // 8 bytes
    Text,        // 0x00 (absent), or 0x0B, a ULEB128 length and that many bytes of UTF-8
    LifeBar,     // a Text of "time|life" samples separated by ','
    FrameBlock,  // a signed 32-bit length, then that many bytes of legacy LZMA frame text
    ReplayId,    // 8 bytes; a file with fewer than 8 left ends with a signed 4-byte id
};

// The bytes every value of the kind takes, or 0 when its size depends on its contents.
constexpr std::size_t fixed_width(Kind kind) noexcept {
    switch (kind) {
        case Kind::Byte: return 1;
        case Kind::Int16: return 2;
        case Kind::Int32: return 4;
        case Kind::Int64: return 8;
        case Kind::Text:
        case Kind::LifeBar:
        case Kind::FrameBlock:
        case Kind::ReplayId: break;
    }
    return 0;
}

// The fewest bytes a value of the kind can take: the fixed width, the marker
// of a text, the length of a block, the short form of the id.
constexpr std::size_t min_width(Kind kind) noexcept {
    switch (kind) {
        case Kind::Text:
        case Kind::LifeBar: return 1;
        case Kind::FrameBlock:
        case Kind::ReplayId: return 4;
        default: return fixed_width(kind);
    }
}

constexpr std::string_view kind_name(Kind kind) noexcept {
    switch (kind) {
        case Kind::Byte: return "byte";
        case Kind::Int16: return "int16";
        case Kind::Int32: return "int32";
        case Kind::Int64: return "int64";
        case Kind::Text: return "text";
        case Kind::LifeBar: return "life_bar";
        case Kind::FrameBlock: return "frame_block";
        case Kind::ReplayId: return "replay_id";
    }
    return "byte";
}

// One field of the file, as plain data.
struct FieldInfo {
    std::string_view name;  // the Replay member's name
    Kind kind;
    std::size_t width;  // fixed_width(kind): 0 when the size depends on the contents
};

// One row of the table: the field and the member it fills.
template <FixedString Name, Kind K, auto Member>
struct LayoutField {
    static constexpr Kind kind = K;
    static constexpr auto member = Member;
    static constexpr FieldInfo info{Name.view(), K, fixed_width(K)};
};

// The name of the frame block's row, which also names the frames in failures.
inline constexpr FixedString kFrameBlockField{"replay_data"};
inline constexpr std::string_view kFrameBlockName = kFrameBlockField.view();

// The file, in order. The frame block fills replay_data and rng_seed.
using ReplayFields = FieldList<
    LayoutField<"mode", Kind::Byte, &Replay::mode>, LayoutField<"game_version", Kind::Int32, &Replay::game_version>,
    LayoutField<"beatmap_hash", Kind::Text, &Replay::beatmap_hash>,
    LayoutField<"username", Kind::Text, &Replay::username>,
    LayoutField<"replay_hash", Kind::Text, &Replay::replay_hash>,
    LayoutField<"count_300", Kind::Int16, &Replay::count_300>,
    LayoutField<"count_100", Kind::Int16, &Replay::count_100>, LayoutField<"count_50", Kind::Int16, &Replay::count_50>,
    LayoutField<"count_geki", Kind::Int16, &Replay::count_geki>,
    LayoutField<"count_katu", Kind::Int16, &Replay::count_katu>,
    LayoutField<"count_miss", Kind::Int16, &Replay::count_miss>, LayoutField<"score", Kind::Int32, &Replay::score>,
    LayoutField<"max_combo", Kind::Int16, &Replay::max_combo>, LayoutField<"perfect", Kind::Byte, &Replay::perfect>,
    LayoutField<"mods", Kind::Int32, &Replay::mods>,
    LayoutField<"life_bar_graph", Kind::LifeBar, &Replay::life_bar_graph>,
    LayoutField<"timestamp", Kind::Int64, &Replay::timestamp>,
    LayoutField<kFrameBlockField, Kind::FrameBlock, &Replay::replay_data>,
    LayoutField<"replay_id", Kind::ReplayId, &Replay::replay_id>>;

inline constexpr std::size_t kFieldCount = ReplayFields::size;

namespace detail {
template <class... Fields>
constexpr std::array<FieldInfo, sizeof...(Fields)> infos_of(FieldList<Fields...>) noexcept {
    return {Fields::info...};
}
}  // namespace detail

// The table as plain data, in file order.
inline constexpr std::array<FieldInfo, kFieldCount> kFields = detail::infos_of(ReplayFields{});

// Index of the field named `name`, if there is one.
constexpr std::optional<std::size_t> field_index(std::string_view name) noexcept {
    for (std::size_t index = 0; index < kFields.size(); ++index) {
        if (kFields[index].name == name) return index;
    }
    return std::nullopt;
}

// The index of the frame block: the fields before it are the header, which a
// header-only read decodes in full.
inline constexpr std::size_t kFrameBlockIndex = *field_index(kFrameBlockName);
inline constexpr std::size_t kReplayIdIndex = *field_index("replay_id");

namespace detail {
template <std::size_t I, class... Fields>
auto field_at(FieldList<Fields...>) -> std::tuple_element_t<I, std::tuple<Fields...>>;
}  // namespace detail

// The row at `I`: FieldAt<I>::info, ::kind, ::member.
template <std::size_t I>
using FieldAt = decltype(detail::field_at<I>(ReplayFields{}));

namespace detail {
template <class... Fields>
auto tuple_of(FieldList<Fields...>) -> std::tuple<Fields...>;
template <class List, std::size_t I>
using ListAt = std::tuple_element_t<I, decltype(tuple_of(List{}))>;

template <class Row, class Field>
consteval bool fills_the_same_member() {
    if constexpr (std::is_same_v<decltype(Row::member), decltype(Field::member)>) {
        return Row::info.name == Field::name && Row::member == Field::member;
    } else {
        return false;
    }
}

// The Replay record's field table (its attributes, constructor and debug
// text) is the layout's rows in file order, with rng_seed, which the frame
// block also fills, right after the block.
template <std::size_t... I>
consteval bool record_follows_layout(std::index_sequence<I...>) {
    using Record = RecordInfo<Replay>::fields;
    if constexpr (Record::size != sizeof...(I) + 1) {
        return false;
    } else {
        constexpr std::size_t block = *field_index(kFrameBlockName);
        return ListAt<Record, block + 1>::name == "rng_seed" &&
               (fills_the_same_member<ListAt<ReplayFields, I>, ListAt<Record, (I <= block ? I : I + 1)>>() && ...);
    }
}
}  // namespace detail

static_assert(detail::record_follows_layout(std::make_index_sequence<kFieldCount>{}),
              "RecordInfo<Replay> lists the layout's fields in file order, rng_seed after the frame block");

// Calls fn(std::integral_constant<std::size_t, I>{}) for each field I in
// file order up to `Count` (the header alone: kFrameBlockIndex). Each call
// sees its row as FieldAt<I> at compile time.
template <std::size_t Count = kFieldCount, class Fn>
constexpr void for_each_field(Fn&& fn) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (fn(std::integral_constant<std::size_t, I>{}), ...);
    }(std::make_index_sequence<Count>{});
}

// The same while fn returns true: false when a call returned false, after
// which no later field is visited.
template <std::size_t Count = kFieldCount, class Fn>
constexpr bool for_each_field_while(Fn&& fn) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return (fn(std::integral_constant<std::size_t, I>{}) && ...);
    }(std::make_index_sequence<Count>{});
}

}  // namespace kz::layout
