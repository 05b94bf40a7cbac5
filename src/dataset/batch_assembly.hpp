// One record batch of a kadenzo.dataset table assembled from decoded files:
// header rows, or the frames of every file one after another, written in
// one pass per column straight from the frame columns' buffers.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "columns/arrow_c_abi.hpp"
#include "columns/arrow_export.hpp"
#include "dataset/table_fields.hpp"
#include "replay/replay_record.hpp"

namespace kz {

// One source's outcome, in input order; the views stay valid while the batch is assembled.
struct FileResult {
    std::int64_t index = 0;                // the source's place in the input
    std::optional<std::string_view> name;  // the `path` column; none for contents without a name
    const Replay* replay = nullptr;        // header fields; null for a failure
    // The frames; null for a failure and in a summary read header-only.
    SharedFrameColumns columns;
    std::optional<std::string_view> error;       // the failure's message
    std::optional<std::string_view> mods_names;  // the codes of the mods ("HDDT"), when read
    // The columns left null, as for a failure (the fields a damaged file did
    // not yield, beside what it did): one bit each, see hidden_bit.
    std::uint64_t hidden = 0;
};

// Mode names as the `mode` column's dictionary holds them, whatever the batch
// holds: every batch has the same categories.
inline constexpr std::int8_t kModeCount = 5;

// A struct array of `fields` (of `kind`'s table), one row per file for the
// summary; for the frames table one row per frame of each file (a failure
// keeps one row, for its error). Columns a file lacks are null there. A batch
// of one file points into its columns' memory instead of copying it. Throws
// std::bad_alloc.
void assemble_batch(TableKind kind, std::span<const TableField> fields, std::span<const FileResult> files,
                    ArrowArray* out);

// FileResult::hidden's bit for `field`: its place among every field of the table.
std::uint64_t hidden_bit(TableKind kind, const TableField& field) noexcept;

// Microseconds since the Unix epoch of the header's tick count (100 ns since
// the year 1), rounded down; none outside years 1 to 9999.
std::optional<std::int64_t> played_at_micros(std::int64_t ticks) noexcept;

}  // namespace kz
