// The matrix of play distances: paths made once per play, then one block of
// rows per task, every task writing only its own cells.
#include "compare/play_matrix.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>

#include "compare/play_distance.hpp"

namespace kz {
namespace {

bool closer(const RankedPair& left, const RankedPair& right) noexcept {
    if (left.distance != right.distance) return left.distance < right.distance;
    if (left.i != right.i) return left.i < right.i;
    return left.j < right.j;
}

// Keeps the `limit` closest of `pairs` (in no particular order).
void keep_closest(Vec<RankedPair>& pairs, std::size_t limit) {
    if (pairs.size() <= limit) return;
    std::nth_element(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(limit), pairs.end(), closer);
    pairs.resize(limit);
}

// The shared state of one run: the stop flag and the progress count that the
// calling thread reads while the workers write them.
struct Run {
    Run(const MatrixOptions& run_options, WorkerPool& run_pool, const MatrixWatch& run_watch)
        : options(run_options), pool(run_pool), watch(run_watch) {}

    const MatrixOptions& options;
    WorkerPool& pool;
    const MatrixWatch& watch;
    std::atomic<bool> stopped{false};
    std::atomic<std::uint64_t> pairs_done{0};
    std::mutex failure_mutex;
    std::exception_ptr out_of_memory;  // the first allocation failure of a task

    // Runs task(index) for index in [0, count) on the pool, watching; false
    // when stopped. An allocation failure in a task stops the others and is
    // thrown again here, on the calling thread.
    bool each(std::size_t count, const std::function<void(std::size_t)>& task) {
        const auto guarded_task = [&](std::size_t index) {
            try {
                task(index);
            } catch (const std::bad_alloc&) {
                std::lock_guard lock(failure_mutex);
                if (!out_of_memory) out_of_memory = std::current_exception();
                stopped.store(true, std::memory_order_relaxed);
            }
        };
        pool.run_watched(count, options.threads == 0 ? pool.size() : options.threads, guarded_task, watch.interval,
                         [&] {
                             if (watch.waiting(pairs_done.load(std::memory_order_relaxed))) return true;
                             stopped.store(true, std::memory_order_relaxed);
                             return false;
                         });
        if (out_of_memory) std::rethrow_exception(out_of_memory);
        return !stopped.load(std::memory_order_relaxed);
    }
};

// Pairs are taken in tiles of rows by columns, and a tile's pairs are summed
// chunk by chunk (see kChunkPoints): every pair of the tile adds its part
// of one chunk before any pair goes on to the next. A tile's chunk of its
// rows' data then stays in the processor's cache while each column's chunk
// is read once for all the tile's rows: reading paths, not the arithmetic,
// bounds a large matrix otherwise. In a tile of 64 x 64, the rows' chunks
// take about 0.8 MB (24 bytes a point in the exact form), and each column's
// chunk is read once for 64 pairs (measured about 15% faster a pair than
// tiles of 32 x 32, and than chunks of 256 or 1024 points).
constexpr std::size_t kTileSide = 64;

// The pairs (i, j) compared: all, or for a symmetric measure j >= i (the
// matrix's other half is its mirror), or for the top pairs j > i.
struct PairFilter {
    bool upper;
    bool strictly;
    bool wanted(std::size_t i, std::size_t j) const noexcept { return !upper || (strictly ? j > i : j >= i); }
};

// Sums the pairs of the tile rows [row, row_end) x columns [column,
// column_end) that `filter` wants, chunk by chunk, and calls
// done(i, j, distance) for each; false when stopped first.
template <class Path, class PairSum, class Done>
bool sum_tile(Run& run, const Vec<Path>& paths, std::size_t row, std::size_t row_end, std::size_t column,
              std::size_t column_end, PairFilter filter, Done&& done) {
    const std::optional<double> mirror_y = run.options.mirror_y;
    const DistanceKernel kernel = best_distance_kernel();
    struct Entry {
        std::size_t i;
        std::size_t j;
        PairSum sum;
    };
    Vec<Entry> entries;
    entries.reserve((row_end - row) * (column_end - column));
    std::int64_t first = std::numeric_limits<std::int64_t>::max();
    std::int64_t end = std::numeric_limits<std::int64_t>::min();
    for (std::size_t j = column; j < column_end; ++j) {
        for (std::size_t i = row; i < row_end; ++i) {
            if (!filter.wanted(i, j)) continue;
            entries.push_back({i, j, PairSum(paths[i], paths[j])});
            first = std::min(first, entries.back().sum.first_chunk());
            end = std::max(end, entries.back().sum.end_chunk());
        }
    }
    for (std::int64_t chunk = first; chunk < end; ++chunk) {
        if (run.stopped.load(std::memory_order_relaxed)) return false;
        for (Entry& entry : entries) entry.sum.add_chunk(chunk, mirror_y, kernel);
    }
    for (const Entry& entry : entries) done(entry.i, entry.j, entry.sum.total(mirror_y).mean());
    run.pairs_done.fetch_add(entries.size(), std::memory_order_relaxed);
    return true;
}

// Every tile of the row block [row, row_end), in column order.
template <class Path, class PairSum, class Done>
void sum_row_block(Run& run, const Vec<Path>& paths, std::size_t row, std::size_t row_end, PairFilter filter,
                   Done&& done) {
    const std::size_t n = paths.size();
    for (std::size_t column = filter.upper ? row : 0; column < n; column += kTileSide) {
        if (!sum_tile<Path, PairSum>(run, paths, row, row_end, column, std::min(n, column + kTileSide), filter, done)) {
            return;
        }
    }
}

// Rows per block: kTileSide, or fewer so that every thread gets two blocks
// or more (taller tiles share each column chunk among more pairs: with
// a quarter of that, two threads measured 1.85 times one, with this 2.0).
std::size_t rows_per_block(std::size_t n, std::size_t threads) noexcept {
    return std::clamp<std::size_t>(n / (2 * std::max<std::size_t>(threads, 1)), 1, kTileSide);
}

template <class Path, class PairSum>
std::variant<DistanceMatrix, TopPairs, MatrixFailure> rows(Run& run, const Vec<Path>& paths, bool symmetric) {
    const std::size_t n = paths.size();
    const MatrixOptions& options = run.options;
    const std::size_t block = rows_per_block(n, options.threads == 0 ? run.pool.size() : options.threads);
    const std::size_t blocks = (n + block - 1) / block;
    if (options.top) {
        TopPairs kept;
        std::mutex kept_mutex;
        const std::size_t limit = *options.top;
        const std::size_t trim_at = std::max<std::size_t>(2 * limit, 4096);
        const bool done = run.each(blocks, [&](std::size_t unit) {
            const std::size_t first = unit * block;
            Vec<RankedPair> found;
            sum_row_block<Path, PairSum>(
                run, paths, first, std::min(n, first + block), PairFilter{true, true},
                [&](std::size_t i, std::size_t j, double distance) {
                    if (std::isnan(distance)) return;
                    found.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), distance});
                    if (found.size() >= trim_at) keep_closest(found, limit);
                });
            keep_closest(found, limit);
            std::lock_guard lock(kept_mutex);
            kept.insert(kept.end(), found.begin(), found.end());
            keep_closest(kept, limit);
        });
        if (!done) return MatrixFailure{MatrixFailure::Kind::Stopped, 0};
        std::sort(kept.begin(), kept.end(), closer);
        return kept;
    }
    DistanceMatrix matrix(n * n);
    const bool done = run.each(blocks, [&](std::size_t unit) {
        const std::size_t first = unit * block;
        sum_row_block<Path, PairSum>(run, paths, first, std::min(n, first + block), PairFilter{symmetric, false},
                                     [&](std::size_t i, std::size_t j, double distance) {
                                         matrix[i * n + j] = distance;
                                         if (symmetric) matrix[j * n + i] = distance;
                                     });
    });
    if (!done) return MatrixFailure{MatrixFailure::Kind::Stopped, 0};
    return matrix;
}

}  // namespace

std::variant<double, MatrixFailure> play_similarity(const FrameColumns& a, const FrameColumns& b,
                                                    std::optional<double> mirror_y, WorkerPool& pool,
                                                    const MatrixWatch& watch) {
    const std::optional<CursorColumns> columns[2] = {cursor_columns(a), cursor_columns(b)};
    for (std::size_t play = 0; play < 2; ++play) {
        if (!columns[play]) return MatrixFailure{MatrixFailure::Kind::NotCursorMode, play};
    }
    // a is only sampled at its points; b is interpolated, so it gets its slopes.
    const auto path_of = [&](std::size_t play, const std::atomic<bool>* stop) {
        const CursorColumns& cursor = *columns[play];
        return cursor_path(cursor.time_delta, cursor.x, cursor.y, play == 0 ? Slopes::No : Slopes::Yes, stop);
    };
    // Below this many frames a pair takes a few milliseconds at most: no
    // need to hand it to the pool and watch.
    constexpr std::size_t kWatchedFrames = std::size_t{1} << 20;
    if (a.length() + b.length() < kWatchedFrames) {
        return exact_distance(path_of(0, nullptr), path_of(1, nullptr), mirror_y).mean();
    }
    MatrixOptions options;
    options.mirror_y = mirror_y;
    Run run(options, pool, watch);
    CursorPath paths[2];
    double distance = 0.0;
    const bool done = run.each(2, [&](std::size_t play) {
        paths[play] = path_of(play, &run.stopped);
    }) && run.each(1, [&](std::size_t) {
        distance = exact_distance(paths[0], paths[1], mirror_y, best_distance_kernel(), &run.stopped).mean();
    });
    if (!done) return MatrixFailure{MatrixFailure::Kind::Stopped, 0};
    return distance;
}

std::uint64_t matrix_pair_count(std::size_t plays, const MatrixOptions& options) noexcept {
    const std::uint64_t n = plays;
    if (options.top) return n * (n - (n > 0 ? 1 : 0)) / 2;
    if (options.grid_ms) return n * (n + 1) / 2;
    return n * n;
}

std::variant<DistanceMatrix, TopPairs, MatrixFailure> play_matrix(std::span<const FrameColumns* const> plays,
                                                                  const MatrixOptions& options, WorkerPool& pool,
                                                                  const MatrixWatch& watch) {
    Vec<CursorColumns> columns;
    columns.reserve(plays.size());
    for (std::size_t index = 0; index < plays.size(); ++index) {
        std::optional<CursorColumns> cursor = cursor_columns(*plays[index]);
        if (!cursor) return MatrixFailure{MatrixFailure::Kind::NotCursorMode, index};
        columns.push_back(*cursor);
    }
    const auto path_of = [&](std::size_t index) {
        return cursor_path(columns[index].time_delta, columns[index].x, columns[index].y);
    };
    Run run(options, pool, watch);

    if (!options.grid_ms) {
        Vec<CursorPath> paths(plays.size());
        if (!run.each(plays.size(), [&](std::size_t index) { paths[index] = path_of(index); })) {
            return MatrixFailure{MatrixFailure::Kind::Stopped, 0};
        }
        return rows<CursorPath, ExactPairSum>(run, paths, false);
    }

    // Each play is put on the grid once and its frames' path let go; the
    // first play (by index) that does not fit is the one reported.
    const double step = *options.grid_ms;
    Vec<GridPath> grids(plays.size());
    std::atomic<std::size_t> first_too_fine{std::numeric_limits<std::size_t>::max()};
    const bool resampled = run.each(plays.size(), [&](std::size_t index) {
        std::variant<GridPath, GridFailure> grid = grid_path(path_of(index), step);
        if (GridPath* path = std::get_if<GridPath>(&grid)) {
            grids[index] = std::move(*path);
            return;
        }
        std::size_t seen = first_too_fine.load();
        while (index < seen && !first_too_fine.compare_exchange_weak(seen, index)) {}
    });
    if (!resampled) return MatrixFailure{MatrixFailure::Kind::Stopped, 0};
    if (first_too_fine.load() < plays.size()) return MatrixFailure{MatrixFailure::Kind::GridTooFine, first_too_fine};
    return rows<GridPath, GridPairSum>(run, grids, true);
}

}  // namespace kz
