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

// Pairs are taken in blocks of rows: a task compares every play of its
// block against each column play in turn, so the block's paths stay in the
// processor's cache and each column's path is read once per block rather
// than once per pair (reading paths, not the arithmetic, bounds a large
// matrix otherwise). A block holds about this many bytes of paths.
constexpr std::size_t kBlockBytes = std::size_t{1} << 20;

std::size_t path_bytes(const CursorPath& path) noexcept { return path.size() * 5 * sizeof(double); }
std::size_t path_bytes(const GridPath& path) noexcept { return path.size() * 2 * sizeof(double); }

template <class Path>
std::size_t rows_per_block(const Vec<Path>& paths) noexcept {
    std::size_t total = 0;
    for (const Path& path : paths) total += path_bytes(path);
    const std::size_t average = paths.empty() ? 1 : std::max<std::size_t>(total / paths.size(), 1);
    return std::clamp<std::size_t>(kBlockBytes / average, 1, 64);
}

// Every pair a task compares: row i of [first, end) against column j, where
// a symmetric measure takes j >= i (the matrix's other half is its mirror)
// and the top pairs take j > i. `visit(i, j)` runs for each until the stop.
template <class Visit>
void block_pairs(Run& run, std::size_t first, std::size_t end, std::size_t n, bool upper, bool strictly,
                 Visit&& visit) {
    for (std::size_t j = upper ? first : 0; j < n; ++j) {
        if (run.stopped.load(std::memory_order_relaxed)) return;
        std::size_t done = 0;
        for (std::size_t i = first; i < end; ++i) {
            if (upper && (strictly ? j <= i : j < i)) continue;
            visit(i, j);
            ++done;
        }
        run.pairs_done.fetch_add(done, std::memory_order_relaxed);
    }
}

template <class Path, class Measure>
std::variant<DistanceMatrix, TopPairs, MatrixFailure> rows(Run& run, const Vec<Path>& paths, bool symmetric,
                                                           Measure measure) {
    const std::size_t n = paths.size();
    const std::size_t block = rows_per_block(paths);
    const std::size_t blocks = (n + block - 1) / block;
    const MatrixOptions& options = run.options;
    if (options.top) {
        TopPairs kept;
        std::mutex kept_mutex;
        const std::size_t limit = *options.top;
        const std::size_t trim_at = std::max<std::size_t>(2 * limit, 4096);
        const bool done = run.each(blocks, [&](std::size_t unit) {
            const std::size_t first = unit * block;
            Vec<RankedPair> found;
            block_pairs(run, first, std::min(n, first + block), n, true, true, [&](std::size_t i, std::size_t j) {
                const double distance = measure(paths[i], paths[j]);
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
        block_pairs(run, first, std::min(n, first + block), n, symmetric, false, [&](std::size_t i, std::size_t j) {
            const double distance = measure(paths[i], paths[j]);
            matrix[i * n + j] = distance;
            if (symmetric) matrix[j * n + i] = distance;
        });
    });
    if (!done) return MatrixFailure{MatrixFailure::Kind::Stopped, 0};
    return matrix;
}

}  // namespace

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
    const std::optional<double> mirror_y = options.mirror_y;

    if (!options.grid_ms) {
        Vec<CursorPath> paths(plays.size());
        if (!run.each(plays.size(), [&](std::size_t index) { paths[index] = path_of(index); })) {
            return MatrixFailure{MatrixFailure::Kind::Stopped, 0};
        }
        return rows(run, paths, false,
                    [&](const CursorPath& a, const CursorPath& b) { return exact_distance(a, b, mirror_y).mean(); });
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
    return rows(run, grids, true,
                [&](const GridPath& a, const GridPath& b) { return grid_distance(a, b, mirror_y).mean(); });
}

}  // namespace kz
