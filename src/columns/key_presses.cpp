#include "columns/key_presses.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>

#include "flags/flag_sets.hpp"

namespace kz {
namespace {

constexpr std::uint32_t kM1 = 1, kM2 = 2, kK1 = 4, kK2 = 8;

// The rows of the table as they are found: a press takes its row when it
// starts, so rows come out in press order without a sort.
struct PressRows {
    Vec<std::int32_t> key;
    Vec<std::int64_t> press_time;
    Vec<std::int64_t> release_time;
    Vec<std::int64_t> frame;
    Vec<std::uint8_t> held_to_end;

    std::size_t open(std::uint32_t bit, std::int64_t time, std::size_t index) {
        key.push_back(static_cast<std::int32_t>(bit));
        press_time.push_back(time);
        release_time.push_back(time);
        frame.push_back(static_cast<std::int64_t>(index));
        held_to_end.push_back(0);
        return key.size() - 1;
    }
};

const Column* column_named(const FrameColumns& frames, std::string_view name) noexcept {
    for (const Column& column : frames.columns()) {
        if (column.name == name) return &column;
    }
    return nullptr;
}

// The key set of frame `index` as a bit pattern: `keys` or the catch mode's `dashing`.
struct KeyReader {
    const std::int32_t* keys = nullptr;
    const std::uint8_t* dashing = nullptr;
    std::uint32_t operator[](std::size_t index) const noexcept {
        return keys != nullptr ? static_cast<std::uint32_t>(keys[index]) : dashing[index];
    }
};

template <class T>
Column column_of(std::string_view name, ColumnType type, const Vec<T>& values) {
    Column column;
    column.name = name;
    column.type = type;
    // At least one byte, so that even an empty column has an address of its own.
    column.values = ColumnBuffer(values.empty() ? 1 : values.size() * sizeof(T));
    if (!values.empty()) std::memcpy(column.values.data(), values.data(), values.size() * sizeof(T));
    return column;
}

Column bool_column(std::string_view name, const Vec<std::uint8_t>& values) {
    Column column = column_of(name, ColumnType::Bool, values);
    column.bits = pack_bits(values.data(), values.size());
    return column;
}

template <class Flags>
void append_members(String& out) {
    for (const FlagMember& member : FlagInfo<Flags>::members) {
        if (member.value == 0) continue;
        if (!out.empty()) out += ',';
        out += member.name;
        out += '=';
        char digits[16];
        const auto end = std::to_chars(digits, digits + sizeof digits, member.value).ptr;
        out.append(digits, static_cast<std::size_t>(end - digits));
    }
}

// "name=bit,..." for the mode's keys.
String key_names(GameMode mode) {
    String out;
    switch (mode) {
        case GameMode::TAIKO: append_members<KeyTaiko>(out); break;
        case GameMode::CTB: out = "dashing=1"; break;
        case GameMode::MANIA: append_members<KeyMania>(out); break;
        case GameMode::STD:
        case GameMode::UNKNOWN: append_members<Key>(out); break;
    }
    return out;
}

}  // namespace

std::uint32_t physical_keys(GameMode mode, std::uint32_t keys) noexcept {
    if (mode != GameMode::STD && mode != GameMode::UNKNOWN) return keys;
    if ((keys & kK1) != 0) keys &= ~kM1;
    if ((keys & kK2) != 0) keys &= ~kM2;
    return keys;
}

std::optional<FrameColumns> key_press_table(const FrameColumns& frames) {
    const Column* time_column = frames.time();
    if (time_column == nullptr) return std::nullopt;
    const auto* time = static_cast<const std::int64_t*>(time_column->values.data());
    KeyReader reader;
    if (const Column* keys = column_named(frames, "keys")) {
        reader.keys = static_cast<const std::int32_t*>(keys->values.data());
    } else if (const Column* dashing = column_named(frames, "dashing")) {
        reader.dashing = static_cast<const std::uint8_t*>(dashing->values.data());
    }
    const std::size_t count = frames.length();
    PressRows rows;
    std::array<std::size_t, 32> open_row{};  // the row of each bit held by the previous frame
    std::uint32_t held = 0;
    if (reader.keys != nullptr || reader.dashing != nullptr) {
        for (std::size_t index = 0; index < count; ++index) {
            const std::uint32_t now = physical_keys(frames.mode(), reader[index]);
            for (std::uint32_t released = held & ~now; released != 0; released &= released - 1) {
                rows.release_time[open_row[static_cast<std::size_t>(std::countr_zero(released))]] = time[index];
            }
            for (std::uint32_t pressed = now & ~held; pressed != 0; pressed &= pressed - 1) {
                const int bit = std::countr_zero(pressed);
                open_row[static_cast<std::size_t>(bit)] = rows.open(std::uint32_t{1} << bit, time[index], index);
            }
            held = now;
        }
    }
    for (std::uint32_t still = held; still != 0; still &= still - 1) {
        const std::size_t row = open_row[static_cast<std::size_t>(std::countr_zero(still))];
        rows.release_time[row] = time[count - 1];
        rows.held_to_end[row] = 1;
    }
    Vec<std::int64_t> duration(rows.key.size());
    for (std::size_t row = 0; row < duration.size(); ++row) {
        // Both times fit 64 bits; their difference may not, when negative
        // deltas moved the clock by more than half the range meanwhile.
        if (__builtin_sub_overflow(rows.release_time[row], rows.press_time[row], &duration[row])) {
            return std::nullopt;
        }
    }
    Vec<Column> columns;
    columns.reserve(6);
    columns.push_back(column_of("key", ColumnType::Int32, rows.key));
    columns.push_back(column_of("press_time", ColumnType::Int64, rows.press_time));
    columns.push_back(column_of("release_time", ColumnType::Int64, rows.release_time));
    columns.push_back(column_of("duration", ColumnType::Int64, duration));
    columns.push_back(column_of("frame", ColumnType::Int64, rows.frame));
    columns.push_back(bool_column("held_to_end", rows.held_to_end));
    Vec<MetadataEntry> metadata;
    metadata.emplace_back("kadenzo.keys", key_names(frames.mode()));
    return FrameColumns::table(frames.mode(), rows.key.size(), std::move(columns), std::move(metadata));
}

String key_name(std::string_view key_bits, std::int32_t key) {
    const auto bit = static_cast<std::uint32_t>(key);
    while (!key_bits.empty()) {
        const std::size_t comma = key_bits.find(',');
        const std::string_view entry = key_bits.substr(0, comma);
        key_bits = comma == std::string_view::npos ? std::string_view{} : key_bits.substr(comma + 1);
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) continue;
        std::uint32_t value = 0;
        const std::string_view number = entry.substr(equals + 1);
        const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (error == std::errc{} && end == number.data() + number.size() && value == bit) {
            return String(entry.substr(0, equals));
        }
    }
    std::array<char, 16> place{};
    const auto written =
        std::to_chars(place.data(), place.data() + place.size(), static_cast<int>(std::bit_width(bit)) - 1).ptr;
    String name = "bit ";
    name.append(place.data(), written);
    return name;
}

}  // namespace kz
