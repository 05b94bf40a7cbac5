// Micro benchmark of the comparison core: what one pair of 10,800-frame
// cursor plays costs in each part, and each distance kernel this processor runs.
//
// Build (a Release build by default) and run (with the argument `exact`, only
// the exact pair with the best kernel, long enough for a profiler; with
// `matrix`, a pair's cost inside a matrix of 240 plays):
//   cmake -S . -B build/bench -DKADENZO_BUILD_BENCH=ON -DKADENZO_BUILD_EXTENSION=OFF && cmake --build build/bench && build/bench/compare_kernel_bench
//
// Reports thread CPU time per call, the least of several rounds: making a
// path with and without slopes, resampling one onto a 16 ms grid, and the
// exact and grid distances of one pair with every kernel.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "common/memory.hpp"
#include "compare/play_distance.hpp"
#include "compare/play_matrix.hpp"

namespace {

// The process's CPU time: the matrix runs on pool threads.
double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Frames {
    std::vector<std::int64_t> delta;
    std::vector<double> x, y;
};

// A cursor easing towards random targets with hand jitter, at 60 Hz with a
// millisecond of jitter on one frame in ten and a late frame now and then.
Frames cursor_play(std::mt19937_64& random, std::size_t count) {
    std::uniform_real_distribution<double> target(0, 512), jitter(-0.6, 0.6);
    Frames frames;
    double x = 256, y = 192, goal_x = 256, goal_y = 192;
    for (std::size_t index = 0; index < count; ++index) {
        if (random() % 40 == 0) goal_x = target(random), goal_y = target(random) * 0.75;
        x += (goal_x - x) * 0.25 + jitter(random);
        y += (goal_y - y) * 0.25 + jitter(random);
        std::int64_t delta = index % 3 == 2 ? 16 : 17;
        if (random() % 10 == 0) delta += random() % 2 == 0 ? 1 : -1;
        if (random() % 200 == 0) delta = 18 + static_cast<std::int64_t>(random() % 22);
        frames.delta.push_back(delta);
        frames.x.push_back(x);
        frames.y.push_back(y);
    }
    return frames;
}

// Microseconds of CPU per call of `body`: the least over rounds of `calls` calls.
template <class Body>
double microseconds(int calls, Body&& body) {
    double best = 1e30;
    for (int round = 0; round < 7; ++round) {
        const double start = cpu_seconds();
        for (int call = 0; call < calls; ++call) body();
        best = std::min(best, (cpu_seconds() - start) / calls);
    }
    return best * 1e6;
}

kz::FrameColumns columns_of(const Frames& frames) {
    kz::Vec<kz::ReplayEventKivo> events;
    for (std::size_t k = 0; k < frames.x.size(); ++k) events.push_back({frames.delta[k], frames.x[k], frames.y[k], {}});
    kz::ReplayDataContainer data;
    data.kivo_replay_data = kz::SharedFrames<kz::ReplayEventKivo>(std::move(events));
    return kz::FrameColumns::of(data, kz::GameMode::STD, {});
}

// Microseconds of CPU per pair of a matrix of 240 plays (24 distinct ones
// repeated) on one thread, paths included: what a pair costs inside the matrix.
void matrix_per_pair(std::mt19937_64& random) {
    std::vector<kz::FrameColumns> distinct;
    for (int index = 0; index < 24; ++index) distinct.push_back(columns_of(cursor_play(random, 10'800)));
    std::vector<const kz::FrameColumns*> plays;
    for (std::size_t index = 0; index < 240; ++index) plays.push_back(&distinct[index % distinct.size()]);
    const kz::MatrixWatch watch{std::chrono::milliseconds(50), [](std::uint64_t) { return true; }};
    for (const std::optional<double> grid : {std::optional<double>{}, std::optional<double>{16.0}}) {
        kz::MatrixOptions options;
        options.grid_ms = grid;
        options.threads = 1;
        const double pairs = static_cast<double>(kz::matrix_pair_count(plays.size(), options));
        double best = 1e30;
        for (int round = 0; round < 3; ++round) {
            const double start = process_cpu_seconds();
            (void)kz::play_matrix(plays, options, kz::WorkerPool::global(), watch);
            best = std::min(best, process_cpu_seconds() - start);
        }
        std::printf("matrix of 240, %s: %6.2f us a pair\n", grid ? "grid 16 ms" : "exact", best / pairs * 1e6);
    }
    // Two threads against one, by the wall clock.
    for (const std::size_t threads : {1u, 2u}) {
        kz::MatrixOptions options;
        options.threads = threads;
        double best = 1e30;
        for (int round = 0; round < 3; ++round) {
            const auto start = std::chrono::steady_clock::now();
            (void)kz::play_matrix(plays, options, kz::WorkerPool::global(), watch);
            best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        std::printf("matrix of 240, exact, %zu thread(s): %.3f s wall\n", threads, best);
    }
}

}  // namespace

int main(int argc, char** argv) {
    kz::tune_allocator();
    std::mt19937_64 random(2024);
    const Frames a = cursor_play(random, 10'800);
    const Frames b = cursor_play(random, 10'800);
    volatile double sink = 0;
    std::printf("path with slopes    %7.2f us\n",
                microseconds(200, [&] { sink = sink + kz::cursor_path(a.delta, a.x, a.y).x[1]; }));
    std::printf("path without slopes %7.2f us\n",
                microseconds(200, [&] { sink = sink + kz::cursor_path(a.delta, a.x, a.y, kz::Slopes::No).x[1]; }));
    const kz::CursorPath path_a = kz::cursor_path(a.delta, a.x, a.y);
    const kz::CursorPath path_b = kz::cursor_path(b.delta, b.x, b.y);
    std::printf("grid of 16 ms       %7.2f us\n",
                microseconds(200, [&] { sink = sink + std::get<kz::GridPath>(kz::grid_path(path_a, 16.0)).x[1]; }));
    if (argc > 1 && std::string_view(argv[1]) == "matrix") {
        matrix_per_pair(random);
        return 0;
    }
    if (argc > 1 && std::string_view(argv[1]) == "exact") {  // only the best exact kernel, for a profiler
        std::printf("exact pair %7.2f us\n",
                    microseconds(20000, [&] { sink = sink + kz::exact_distance(path_a, path_b).sum; }));
        std::printf("exact self %7.2f us\n",
                    microseconds(20000, [&] { sink = sink + kz::exact_distance(path_a, path_a).sum; }));
        return 0;
    }
    const auto grid_a = std::get<kz::GridPath>(kz::grid_path(path_a, 16.0));
    const auto grid_b = std::get<kz::GridPath>(kz::grid_path(path_b, 16.0));
    for (const kz::DistanceKernel kernel : kz::available_distance_kernels()) {
        const double exact =
            microseconds(500, [&] { sink = sink + kz::exact_distance(path_a, path_b, {}, kernel).sum; });
        const double grid =
            microseconds(2000, [&] { sink = sink + kz::grid_distance(grid_a, grid_b, {}, kernel).sum; });
        std::printf("%-8s exact pair %7.2f us, grid pair %6.2f us (%zu grid points)\n",
                    std::string(kz::distance_kernel_name(kernel)).c_str(), exact, grid, grid_a.size());
    }
    return 0;
}
