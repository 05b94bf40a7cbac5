#include "dataset/batch_assembly.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <unordered_map>

#include "dataset/owned_arrays.hpp"
#include "layout/replay_layout.hpp"

namespace kz {
namespace {

// Ticks: 100 ns units since 0001-01-01.
constexpr std::int64_t kTicksAtUnixEpoch = 621'355'968'000'000'000;
constexpr std::int64_t kLastTick = 3'155'378'975'999'999'999;  // 9999-12-31 23:59:59.9999999

using TextMap =
    std::unordered_map<std::string_view, std::int32_t, std::hash<std::string_view>, std::equal_to<std::string_view>,
                       Allocator<std::pair<const std::string_view, std::int32_t>>>;

void set_bits(std::uint8_t* bits, std::size_t start, std::size_t count, bool value) noexcept {
    std::size_t at = start;
    const std::size_t end = start + count;
    for (; at < end && at % 8 != 0; ++at) set_bit(bits, at, value);
    // Whole bytes at once: a long play lacking a column clears thousands of bits.
    const std::size_t whole = (end - at) / 8;
    std::memset(bits + at / 8, value ? 0xff : 0, whole);
    for (at += whole * 8; at < end; ++at) set_bit(bits, at, value);
}

std::optional<std::string_view> text_of(const OptionalText& text) noexcept {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

const Column* column_named(const FrameColumns& columns, std::string_view name) noexcept {
    for (const Column& column : columns.columns()) {
        if (column.name == name) return &column;
    }
    return nullptr;
}

// The file's column behind a frame field, or null where it has none (its
// mode lacks the field, a clock that left 64 bits, a failure).
const Column* frame_source(const FileResult& file, FieldId id) noexcept {
    if (!file.columns) return nullptr;
    const FrameColumns& columns = *file.columns;
    switch (id) {
        case FieldId::Time: return columns.time();
        case FieldId::TimeDelta: return column_named(columns, "time_delta");
        case FieldId::X: return column_named(columns, "x");
        case FieldId::XInt: {
            // The drum mode's integer positions, exactly as stored.
            const Column* x = column_named(columns, "x");
            return x != nullptr && x->type == ColumnType::Int64 ? x : nullptr;
        }
        case FieldId::Y: return column_named(columns, "y");
        case FieldId::Keys: return column_named(columns, "keys");
        case FieldId::Dashing: return column_named(columns, "dashing");
        default: return nullptr;
    }
}

template <class T>
constexpr bool stored_as(ColumnType type) noexcept {
    switch (type) {
        case ColumnType::Int64: return std::is_same_v<T, std::int64_t>;
        case ColumnType::Float64: return std::is_same_v<T, double>;
        case ColumnType::Int32: return std::is_same_v<T, std::int32_t>;
        case ColumnType::Bool: return false;
    }
    return false;
}

template <class T, class Source>
void convert(const void* from, T* out, std::size_t count) noexcept {
    const auto* values = static_cast<const Source*>(from);
    if constexpr (std::is_same_v<T, Source>) {
        std::memcpy(out, values, count * sizeof(T));
    } else {
        // The drum mode's int64 x to the nearest double, as in the float `x`.
        for (std::size_t at = 0; at < count; ++at) out[at] = static_cast<T>(values[at]);
    }
}

template <class T>
void copy_values(const Column& column, T* out, std::size_t count) noexcept {
    switch (column.type) {
        case ColumnType::Int64: convert<T, std::int64_t>(column.values.data(), out, count); return;
        case ColumnType::Float64: convert<T, double>(column.values.data(), out, count); return;
        case ColumnType::Int32: convert<T, std::int32_t>(column.values.data(), out, count); return;
        case ColumnType::Bool: convert<T, std::uint8_t>(column.values.data(), out, count); return;
    }
}

// A text of the header, none for a failure.
template <class Read>
auto in_header(Read read) {
    return [read](const FileResult& file) -> std::optional<std::string_view> {
        if (file.replay == nullptr) return std::nullopt;
        return read(*file.replay);
    };
}

// Builds the columns of one batch. Each file has `rows_[i]` rows, starting at
// the running sum of those before it.
class Assembler {
public:
    Assembler(TableKind kind, std::span<const FileResult> files) : kind_(kind), files_(files) {
        rows_.reserve(files.size());
        for (const FileResult& file : files) {
            // A failure keeps one row, for its error.
            const std::size_t rows = kind == TableKind::Summary || !file.columns ? 1 : file.columns->length();
            rows_.push_back(rows);
            total_ += rows;
        }
    }

    void assemble(std::span<const TableField> fields, ArrowArray* out) {
        Vec<OwnedArray> children;
        children.reserve(fields.size());
        for (const TableField& field : fields) children.push_back(unhidden_column(field));
        *out = arrays_.array(total_, 0, {nullptr}, std::move(children)).take();
    }

private:
    // The column, with the files that hide it made to give it as a failure does: null.
    OwnedArray unhidden_column(const TableField& field) {
        const std::uint64_t bit = hidden_bit(kind_, field);
        if (std::none_of(files_.begin(), files_.end(), [bit](const FileResult& file) { return file.hidden & bit; })) {
            return column(field);
        }
        Vec<FileResult> masked(files_.begin(), files_.end());
        for (FileResult& file : masked) {
            if (file.hidden & bit) file.replay = nullptr, file.columns = {}, file.mods_names.reset();
        }
        const std::span<const FileResult> all = files_;
        files_ = masked;
        OwnedArray made = column(field);
        files_ = all;
        return made;
    }

    OwnedArray column(const TableField& field) {
        const FieldId id = field.id;
        switch (id) {
            case FieldId::FileIndex: return per_file<std::int64_t>([](const FileResult& f) { return f.index; });
            case FieldId::Path: return dictionary_text([](const FileResult& f) { return f.name; });
            case FieldId::Mode: return mode();
            case FieldId::Error: return text([](const FileResult& f) { return f.error; });
            case FieldId::Header: return header_column(field);
            case FieldId::Mods:
                // All 32 bits, bit 31 included: the number is known even where no modifier names it.
                return header<std::int64_t>([](const Replay& r) { return std::int64_t{r.mods.bits}; });
            case FieldId::ModsNames: return text([](const FileResult& f) { return f.mods_names; });
            case FieldId::PlayedAt:
                return header<std::int64_t>([](const Replay& r) { return played_at_micros(r.timestamp); });
            case FieldId::FrameCount: return per_file<std::int64_t>(frame_count_of);
            case FieldId::RngSeed: return header<std::int32_t>([](const Replay& r) { return r.rng_seed; });
            case FieldId::Time:
            case FieldId::TimeDelta:
            case FieldId::XInt: return frame_values<std::int64_t>(id);
            case FieldId::X:
            case FieldId::Y: return frame_values<double>(id);
            case FieldId::Keys: return frame_values<std::int32_t>(id);
            case FieldId::Dashing: return dashing();
        }
        return arrays_.null_text(total_);
    }

    static std::optional<std::int64_t> frame_count_of(const FileResult& file) {
        if (file.replay == nullptr) return std::nullopt;
        if (file.columns) return static_cast<std::int64_t>(file.columns->length());
        const std::optional<std::size_t> count = frame_count(file.replay->replay_data, file.replay->mode);
        if (!count) return std::nullopt;
        return static_cast<std::int64_t>(*count);
    }

    template <class T, class Read>
    OwnedArray header(Read read) {
        return per_file<T>([read](const FileResult& file) -> std::optional<T> {
            if (file.replay == nullptr) return std::nullopt;
            const auto value = read(*file.replay);
            if constexpr (requires { value.has_value(); }) {
                if (!value) return std::nullopt;
                return static_cast<T>(*value);
            } else {
                return static_cast<T>(value);
            }
        });
    }

    // One value per file, over each of its rows.
    template <class T, class Value>
    OwnedArray per_file(Value value) {
        T* out = arrays_.values<T>(total_);
        std::uint8_t* valid = nullptr;
        std::size_t nulls = 0;
        std::size_t at = 0;
        for (std::size_t index = 0; index < files_.size(); ++index) {
            const std::optional<T> found = value(files_[index]);
            const std::size_t rows = rows_[index];
            std::fill_n(out + at, rows, found.value_or(T{}));
            if (!found) null_rows(valid, nulls, at, rows);
            at += rows;
        }
        return arrays_.array(total_, nulls, {valid, out});
    }

    void null_rows(std::uint8_t*& valid, std::size_t& nulls, std::size_t at, std::size_t rows) {
        if (valid == nullptr) valid = arrays_.bits(total_, true);
        set_bits(valid, at, rows, false);
        nulls += rows;
    }

    // The column of a layout row, as its record member holds it.
    OwnedArray header_column(const TableField& field) {
        const std::size_t row = field.layout_row;
        const bool dictionary = field.dictionary_format != nullptr;
        std::optional<OwnedArray> made;
        layout::for_each_field([&](auto index) {
            constexpr std::size_t I = decltype(index)::value;
            if (I != row) return;
            constexpr auto member = layout::FieldAt<I>::member;
            using Member = std::remove_cvref_t<decltype(std::declval<Replay&>().*member)>;
            if constexpr (std::is_same_v<Member, bool>) {
                made.emplace(flag(member));
            } else if constexpr (std::is_integral_v<Member>) {
                made.emplace(header<Member>([](const Replay& r) { return r.*member; }));
            } else if constexpr (std::is_same_v<Member, OptionalText>) {
                const auto read = in_header([](const Replay& r) { return text_of(r.*member); });
                made.emplace(dictionary ? dictionary_text(read) : text(read));
            }
        });
        if (!made) return arrays_.null_text(total_);
        return std::move(*made);
    }

    // A flag of the header, as Arrow's packed bits.
    OwnedArray flag(bool Replay::* member) {
        std::uint8_t* out = arrays_.bits(total_, false);
        std::uint8_t* valid = nullptr;
        std::size_t nulls = 0;
        for (std::size_t at = 0; at < files_.size(); ++at) {  // one row per file: a summary column
            if (files_[at].replay == nullptr) {
                null_rows(valid, nulls, at, 1);
            } else {
                set_bit(out, at, files_[at].replay->*member);
            }
        }
        return arrays_.array(total_, nulls, {valid, out});
    }

    // Text per file, over each of its rows.
    template <class Value>
    OwnedArray text(Value value) {
        std::size_t bytes = 0;
        bool any = false;
        for (std::size_t index = 0; index < files_.size(); ++index) {
            const std::optional<std::string_view> found = value(files_[index]);
            if (found) bytes += found->size() * rows_[index];
            any = any || found.has_value();
        }
        if (!any) return arrays_.null_text(total_);
        // Batches hold a bounded number of files; their text fits 32-bit offsets.
        if (bytes > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) throw std::bad_alloc();
        auto* offsets = arrays_.values<std::int32_t>(total_ + 1);
        char* data = arrays_.values<char>(bytes);
        std::uint8_t* valid = nullptr;
        std::size_t nulls = 0;
        std::size_t at = 0;
        std::size_t end = 0;
        offsets[0] = 0;
        for (std::size_t index = 0; index < files_.size(); ++index) {
            const std::optional<std::string_view> found = value(files_[index]);
            if (!found) null_rows(valid, nulls, at, rows_[index]);
            for (std::size_t row = 0; row < rows_[index]; ++row) {
                if (found) {
                    std::memcpy(data + end, found->data(), found->size());
                    end += found->size();
                }
                offsets[++at] = static_cast<std::int32_t>(end);
            }
        }
        return arrays_.array(total_, nulls, {valid, offsets, data});
    }

    // Text made of `values` in order (a dictionary), none null.
    OwnedArray plain_text(std::span<const std::string_view> values) {
        std::size_t bytes = 0;
        for (std::string_view value : values) bytes += value.size();
        auto* offsets = arrays_.values<std::int32_t>(values.size() + 1);
        char* data = arrays_.values<char>(bytes);
        std::size_t end = 0;
        offsets[0] = 0;
        for (std::size_t at = 0; at < values.size(); ++at) {
            std::memcpy(data + end, values[at].data(), values[at].size());
            end += values[at].size();
            offsets[at + 1] = static_cast<std::int32_t>(end);
        }
        return arrays_.array(values.size(), 0, {nullptr, offsets, data});
    }

    // Dictionary-encoded text: each distinct value once, in order of first
    // appearance; a missing value is a null index, not a dictionary entry.
    template <class Value>
    OwnedArray dictionary_text(Value value) {
        TextMap codes;
        Vec<std::string_view> distinct;
        auto* indices = arrays_.values<std::int32_t>(total_);
        std::uint8_t* valid = nullptr;
        std::size_t nulls = 0;
        std::size_t at = 0;
        for (std::size_t index = 0; index < files_.size(); ++index) {
            const std::optional<std::string_view> found = value(files_[index]);
            std::int32_t code = 0;
            if (found) {
                const auto [entry, added] = codes.try_emplace(*found, static_cast<std::int32_t>(distinct.size()));
                if (added) distinct.push_back(*found);
                code = entry->second;
            } else {
                null_rows(valid, nulls, at, rows_[index]);
            }
            std::fill_n(indices + at, rows_[index], code);
            at += rows_[index];
        }
        OwnedArray dictionary = plain_text(distinct);
        return arrays_.array(total_, nulls, {valid, indices}, {}, std::move(dictionary));
    }

    // The play mode's index among the five names, the same dictionary in every batch.
    OwnedArray mode() {
        OwnedArray indices = per_file<std::int8_t>([](const FileResult& file) -> std::optional<std::int8_t> {
            if (file.replay == nullptr) return std::nullopt;
            return static_cast<std::int8_t>(file.replay->mode);
        });
        constexpr std::array<std::string_view, kModeCount> names{"STD", "TAIKO", "CTB", "MANIA", "UNKNOWN"};
        const ArrowArray& made = indices.get();
        const auto length = static_cast<std::size_t>(made.length);
        const auto nulls = static_cast<std::size_t>(made.null_count);
        const void* valid = made.buffers[0];
        const void* values = made.buffers[1];
        // The batch's memory outlives the array given up here: the same buffers serve the dictionary array.
        return arrays_.array(length, nulls, {valid, values}, {}, plain_text(names));
    }

    // Whether no file of the batch has the frame field: its column is then all null, over no memory of its own.
    bool none_has(FieldId id) const noexcept {
        return std::none_of(files_.begin(), files_.end(),
                            [id](const FileResult& file) { return frame_source(file, id) != nullptr; });
    }

    template <class T>
    OwnedArray frame_values(FieldId id) {
        if (none_has(id)) return arrays_.nulls(total_);
        if (files_.size() == 1) {
            // One file: its own column, in place, when stored as this type.
            const Column* column = frame_source(files_[0], id);
            if (column != nullptr && stored_as<T>(column->type)) {
                arrays_.keep(files_[0].columns);
                return arrays_.array(total_, 0, {nullptr, column->values.data()});
            }
        }
        T* out = arrays_.values<T>(total_);
        std::uint8_t* valid = nullptr;
        std::size_t nulls = 0;
        std::size_t at = 0;
        for (std::size_t index = 0; index < files_.size(); ++index) {
            const std::size_t rows = rows_[index];
            if (const Column* column = frame_source(files_[index], id)) {
                copy_values(*column, out + at, rows);
            } else {
                std::fill_n(out + at, rows, T{});
                null_rows(valid, nulls, at, rows);
            }
            at += rows;
        }
        return arrays_.array(total_, nulls, {valid, out});
    }

    OwnedArray dashing() {
        if (none_has(FieldId::Dashing)) return arrays_.nulls(total_);
        if (files_.size() == 1) {
            if (const Column* column = frame_source(files_[0], FieldId::Dashing)) {
                arrays_.keep(files_[0].columns);
                return arrays_.array(total_, 0, {nullptr, column->bits.data()});
            }
        }
        std::uint8_t* out = arrays_.bits(total_, false);
        std::uint8_t* valid = nullptr;
        std::size_t nulls = 0;
        std::size_t at = 0;
        for (std::size_t index = 0; index < files_.size(); ++index) {
            const std::size_t rows = rows_[index];
            if (const Column* column = frame_source(files_[index], FieldId::Dashing)) {
                const auto* values = static_cast<const std::uint8_t*>(column->values.data());
                for (std::size_t row = 0; row < rows; ++row) {
                    if (values[row] != 0) set_bit(out, at + row, true);
                }
            } else {
                null_rows(valid, nulls, at, rows);
            }
            at += rows;
        }
        return arrays_.array(total_, nulls, {valid, out});
    }

    TableKind kind_;
    std::span<const FileResult> files_;
    Vec<std::size_t> rows_;
    std::size_t total_ = 0;
    BatchArrays arrays_;
};

}  // namespace

std::uint64_t hidden_bit(TableKind kind, const TableField& field) noexcept {
    const std::span<const TableField> all = table_fields(kind);
    for (std::size_t at = 0; at < all.size(); ++at) {
        if (all[at].name == field.name) return std::uint64_t{1} << at;
    }
    return 0;
}

std::optional<std::int64_t> played_at_micros(std::int64_t ticks) noexcept {
    if (ticks < 0 || ticks > kLastTick) return std::nullopt;
    const std::int64_t since_epoch = ticks - kTicksAtUnixEpoch;
    // Rounded down, before the epoch too.
    return since_epoch / 10 - (since_epoch % 10 < 0 ? 1 : 0);
}

void assemble_batch(TableKind kind, std::span<const TableField> fields, std::span<const FileResult> files,
                    ArrowArray* out) {
    Assembler(kind, files).assemble(fields, out);
}

}  // namespace kz
