// Play comparison: paths, the distance kernels and both forms against plain
// reference loops, edge cases exactly, and the matrix against single pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "compare/play_distance.hpp"
#include "compare/play_matrix.hpp"

namespace kz {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Frames {
    std::vector<std::int64_t> delta;
    std::vector<double> x, y;
    CursorPath path() const { return cursor_path(delta, x, y); }
};

// How a generated play's clock ticks: about 60 Hz with a millisecond of
// jitter, twice as fast, or any gap from 1 to 40 ms.
enum class Clock { Steady, Fast, Ragged };

std::int64_t tick(std::mt19937_64& random, Clock clock) {
    switch (clock) {
        case Clock::Fast: return random() % 3 == 0 ? 9 : 8;
        case Clock::Ragged: return 1 + static_cast<std::int64_t>(random() % 40);
        case Clock::Steady: break;
    }
    return random() % 3 == 0 ? 17 : 16;
}

// A cursor easing towards random targets with a little jitter.
Frames generated_play(std::mt19937_64& random, std::size_t count, Clock clock = Clock::Steady) {
    std::uniform_real_distribution<double> target(0, 512), jitter(-0.5, 0.5);
    Frames frames;
    double x = 256, y = 192, goal_x = 256, goal_y = 192;
    for (std::size_t index = 0; index < count; ++index) {
        if (random() % 40 == 0) goal_x = target(random), goal_y = target(random) * 0.75;
        x += (goal_x - x) * 0.2 + jitter(random);
        y += (goal_y - y) * 0.2 + jitter(random);
        frames.delta.push_back(tick(random, clock));
        frames.x.push_back(x);
        frames.y.push_back(y);
    }
    frames.delta[0] = static_cast<std::int64_t>(random() % 200);
    return frames;
}

// b's position at time t (within its range): found by a linear scan,
// interpolated by the fraction of the segment passed.
std::pair<double, double> reference_at(const CursorPath& b, double t) {
    std::size_t k = 0;
    while (k + 1 < b.size() && b.time[k + 1] <= t) ++k;
    if (k + 1 == b.size()) return {b.x[k], b.y[k]};
    const double f = (t - b.time[k]) / (b.time[k + 1] - b.time[k]);
    return {b.x[k] + (b.x[k + 1] - b.x[k]) * f, b.y[k] + (b.y[k + 1] - b.y[k]) * f};
}

// The plain form: each point of a inside b's time range against b there, by hypot.
double reference_exact(const CursorPath& a, const CursorPath& b, std::optional<double> mirror_y) {
    double sum = 0;
    std::size_t count = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const double t = a.time[i];
        if (b.empty() || t < b.time.front() || t > b.time.back()) continue;
        auto [bx, by] = reference_at(b, t);
        if (mirror_y) by = *mirror_y - by;
        sum += std::hypot(a.x[i] - bx, a.y[i] - by);
        ++count;
    }
    return count == 0 ? kNaN : sum / static_cast<double>(count);
}

TEST(CursorPath, DropsFramesWithoutPositionOrGoingBackAndKeepsTheLaterOfEqualTimes) {
    const Frames frames{{5, 10, 0, -3, 0, 10, 4}, {1, 2, 3, 4, 5, kNaN, 7}, {1, 2, 3, 4, 5, 6, INFINITY}};
    const CursorPath path = frames.path();
    EXPECT_EQ(path.time, (Vec<double>{5, 15}));
    EXPECT_EQ(path.x, (Vec<double>{1, 3}));  // t=15 twice: the later; t=12 earlier than 15; then no position
    EXPECT_EQ(path.slope_x, (Vec<double>{0.2}));
}

// Frames where the common case (times rising, positions finite) breaks off
// at every place of a run: the path follows the three rules frame by frame.
TEST(CursorPath, RunsOfCommonFramesAndTheirExceptionsFollowTheRules) {
    std::mt19937_64 random(17);
    for (int round = 0; round < 200; ++round) {
        const std::size_t count = random() % 70;
        Frames frames;
        std::int64_t start = round % 4 == 0 ? (std::int64_t{1} << 52) - 300 : 0;  // the clock past 2^52
        for (std::size_t k = 0; k < count; ++k) {
            const auto kind = random() % 12;
            frames.delta.push_back(kind == 0 ? -static_cast<std::int64_t>(random() % 40) : kind == 1 ? 0 : 16);
            frames.x.push_back(kind == 2 ? kNaN : static_cast<double>(k));
            frames.y.push_back(kind == 3 ? INFINITY : 2.0 * static_cast<double>(k));
        }
        if (count > 0) frames.delta[0] += start;
        CursorPath expected;
        std::uint64_t clock = 0;
        for (std::size_t k = 0; k < count; ++k) {
            clock += static_cast<std::uint64_t>(frames.delta[k]);
            const double time = static_cast<double>(static_cast<std::int64_t>(clock));
            if (!std::isfinite(frames.x[k]) || !std::isfinite(frames.y[k])) continue;
            if (!expected.time.empty() && time < expected.time.back()) continue;
            if (!expected.time.empty() && time == expected.time.back()) {
                expected.time.pop_back(), expected.x.pop_back(), expected.y.pop_back();
            }
            expected.time.push_back(time), expected.x.push_back(frames.x[k]), expected.y.push_back(frames.y[k]);
        }
        const CursorPath path = frames.path();
        EXPECT_EQ(path.time, expected.time) << "round " << round;
        EXPECT_EQ(path.x, expected.x) << "round " << round;
        EXPECT_EQ(path.y, expected.y) << "round " << round;
    }
}

TEST(DistanceSum, EveryKernelAgreesWithThePlainLoop) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> value(-600, 600);
    for (const std::size_t count : {0u, 1u, 2u, 3u, 7u, 8u, 15u, 16u, 17u, 33u, 100u, 1001u}) {
        std::vector<double> v[4];
        for (auto& run : v) {
            for (std::size_t k = 0; k < count; ++k) run.push_back(value(random));
        }
        const PositionRuns runs{v[0].data(), v[1].data(), v[2].data(), v[3].data(), count};
        for (const std::optional<double> mirror : {std::optional<double>{}, std::optional<double>{384.0}}) {
            double expected = 0;
            for (std::size_t k = 0; k < count; ++k) {
                expected += std::hypot(v[0][k] - v[2][k], v[1][k] - (mirror ? *mirror - v[3][k] : v[3][k]));
            }
            for (const DistanceKernel kernel : available_distance_kernels()) {
                const double got = distance_sum(runs, mirror, kernel);
                EXPECT_NEAR(got, expected, std::fabs(expected) * 1e-14)
                    << distance_kernel_name(kernel) << ", " << count << " points";
                EXPECT_EQ(distance_sum(runs, mirror, kernel), got);  // the same run, the same bits
            }
        }
    }
}

// Squares that overflow, fall below the normal numbers or underflow to 0
// (dx = 1e-170), among ordinary ones and exact zeros, at every place of a
// vector: each kernel measures them as hypot does.
TEST(DistanceSum, SquaresOutOfRangeAreMeasuredAsHypotDoes) {
    constexpr double kOdd[] = {1e-170, 3e-160, 5e-324, 1e-300, 1e-20, 2e-19, 1e19, 1e20, 1e160, 1e200};
    for (const double odd : kOdd) {
        for (const double ordinary : {0.0, 3.0}) {
            for (const std::size_t count : {1u, 5u, 40u}) {
                for (std::size_t at = 0; at < count; at += 3) {
                    std::vector<double> a_x(count, 0.0), a_y(count, 0.0), b_x(count, ordinary), b_y(count, 0.0);
                    b_x[at] = odd;
                    b_y[at] = odd * 0.75;
                    const double expected = ordinary * static_cast<double>(count - 1) + std::hypot(odd, odd * 0.75);
                    const PositionRuns runs{a_x.data(), a_y.data(), b_x.data(), b_y.data(), count};
                    for (const DistanceKernel kernel : available_distance_kernels()) {
                        EXPECT_NEAR(distance_sum(runs, {}, kernel), expected, expected * 1e-14)
                            << distance_kernel_name(kernel) << ", " << odd << " at " << at << " of " << count;
                    }
                }
            }
        }
    }
}

// Clocks at the same rate, at different rates and ragged exercise every way
// the kernels find b's segments (a shift followed, one step off, the walk).
TEST(PlayDistance, ExactFormMatchesThePlainReferenceOnGeneratedPlays) {
    std::mt19937_64 random(11);
    constexpr Clock kClocks[3] = {Clock::Steady, Clock::Fast, Clock::Ragged};
    for (int round = 0; round < 36; ++round) {
        Frames a_frames = generated_play(random, 50 + random() % 3000, kClocks[round % 3]);
        Frames b_frames = generated_play(random, 1 + random() % 3000, kClocks[round / 3 % 3]);
        // Some plays at scales whose squares fall below the normal numbers or overflow.
        const double scale = round % 9 == 4 ? 1e-165 : round % 9 == 7 ? 1e160 : 1.0;
        for (Frames* frames : {&a_frames, &b_frames}) {
            for (double& value : frames->x) value *= scale;
            for (double& value : frames->y) value *= scale;
        }
        const CursorPath a = a_frames.path();
        const CursorPath b = b_frames.path();
        for (const std::optional<double> mirror : {std::optional<double>{}, std::optional<double>{384.0 * scale}}) {
            const double expected = reference_exact(a, b, mirror);
            for (const DistanceKernel kernel : available_distance_kernels()) {
                const double got = exact_distance(a, b, mirror, kernel).mean();
                if (std::isnan(expected)) {
                    EXPECT_TRUE(std::isnan(got));
                } else {
                    EXPECT_NEAR(got, expected, expected * 1e-12);
                }
            }
        }
    }
}

// Where the AVX-512 kernel starts looking for b's segments changes its speed,
// never its sum: every way of finding a segment computes the same values.
TEST(PlayDistance, TheSearchHintNeverChangesTheSum) {
    std::mt19937_64 random(13);
    constexpr Clock kClocks[3] = {Clock::Steady, Clock::Fast, Clock::Ragged};
    for (int round = 0; round < 9; ++round) {
        const CursorPath a = generated_play(random, 2000, kClocks[round % 3]).path();
        const CursorPath b = generated_play(random, 2000, kClocks[round / 3]).path();
        // a's points within [b's first time, b's last time).
        const auto first =
            static_cast<std::size_t>(std::lower_bound(a.time.begin(), a.time.end(), b.time.front()) - a.time.begin());
        const auto end =
            static_cast<std::size_t>(std::lower_bound(a.time.begin(), a.time.end(), b.time.back()) - a.time.begin());
        for (const DistanceKernel kernel : available_distance_kernels()) {
            std::size_t hint = kNoHint;
            const double expected = interpolated_distance_sum(a, first, end, b, 384.0, kernel, hint);
            for (const std::size_t start :
                 {std::size_t{0}, std::size_t{1}, hint, hint + 1, hint - 2, ~std::size_t{0}}) {
                hint = start;
                EXPECT_EQ(interpolated_distance_sum(a, first, end, b, 384.0, kernel, hint), expected);
            }
        }
    }
}

TEST(PlayDistance, EdgesAreExact) {
    const CursorPath a = Frames{{0, 10, 10, 10}, {0, 0, 0, 0}, {0, 0, 0, 0}}.path();  // t = 0, 10, 20, 30
    // b covers 10..20: a's points at 10 and 20; b's point at 20 is its last.
    const CursorPath b = Frames{{10, 10}, {3, 6}, {4, 8}}.path();
    EXPECT_EQ(exact_distance(a, b).mean(), 7.5);  // 5 and 10
    EXPECT_EQ(exact_distance(b, a).mean(), 7.5);
    // Interpolated halfway, and mirrored (y -> 8 - y).
    const CursorPath c = Frames{{15}, {0}, {0}}.path();
    const CursorPath d = Frames{{10, 10}, {0, 6}, {0, 8}}.path();
    EXPECT_EQ(exact_distance(c, d).mean(), 5.0);
    EXPECT_EQ(exact_distance(c, d, 4.0).mean(), 3.0);  // (3, 4) mirrored to (3, 0)
    // One frame: covers its own time only.
    const CursorPath one = Frames{{20}, {3}, {4}}.path();
    EXPECT_EQ(exact_distance(a, one).mean(), 5.0);
    EXPECT_EQ(exact_distance(one, a).mean(), 5.0);
    EXPECT_TRUE(std::isnan(exact_distance(c, one).mean()));
    // No overlap, and plays without frames.
    EXPECT_TRUE(std::isnan(exact_distance(Frames{{31}, {0}, {0}}.path(), a).mean()));
    EXPECT_TRUE(std::isnan(exact_distance(CursorPath{}, a).mean()));
}

TEST(PlayDistance, GridFormResamplesBothPlaysOnTheSameTimes) {
    std::mt19937_64 random(5);
    for (int round = 0; round < 10; ++round) {
        Frames a_frames = generated_play(random, 100 + random() % 2000);
        Frames b_frames = generated_play(random, 100 + random() % 2000);
        if (round % 3 == 0) a_frames.delta[0] = b_frames.delta[0] = -1000;  // grid times below 0 too
        const CursorPath a = a_frames.path();
        const CursorPath b = b_frames.path();
        const double step = round % 2 == 0 ? 16.0 : 7.3;
        const GridPath ga = std::get<GridPath>(grid_path(a, step));
        const GridPath gb = std::get<GridPath>(grid_path(b, step));
        // The reference: a's grid times as a path of their own, sampled exactly against b.
        CursorPath times;
        for (std::size_t k = 0; k < ga.size(); ++k) {
            times.time.push_back(static_cast<double>(ga.first + static_cast<std::int64_t>(k)) * step);
            times.x.push_back(ga.x[k]);
            times.y.push_back(ga.y[k]);
            const auto [x, y] = reference_at(a, times.time.back());
            EXPECT_NEAR(ga.x[k], x, 1e-9);
            EXPECT_NEAR(ga.y[k], y, 1e-9);
        }
        const double expected = reference_exact(times, b, {});
        EXPECT_NEAR(grid_distance(ga, gb).mean(), expected, expected * 1e-12);
        EXPECT_EQ(grid_distance(ga, gb, 300.0).mean(), grid_distance(gb, ga, 300.0).mean());
    }
    EXPECT_EQ(std::get<GridPath>(grid_path(Frames{{10, 10}, {0, 6}, {0, 8}}.path(), 10)).x, (Vec<double>{0, 6}));
    EXPECT_EQ(std::get<GridFailure>(grid_path(Frames{{0, 1000000}, {0, 0}, {0, 0}}.path(), 0.01)),
              GridFailure::TooFine);
}

FrameColumns columns_of(const Frames& frames) {
    Vec<ReplayEventKivo> events;
    for (std::size_t k = 0; k < frames.x.size(); ++k) events.push_back({frames.delta[k], frames.x[k], frames.y[k], {}});
    ReplayDataContainer data;
    data.kivo_replay_data = SharedFrames<ReplayEventKivo>(std::move(events));
    return FrameColumns::of(data, GameMode::STD, {});
}

TEST(PlayMatrix, EntriesArePairDistancesAndTopIsTheirSmallest) {
    std::mt19937_64 random(3);
    std::vector<FrameColumns> columns;
    std::vector<CursorPath> paths;
    for (int index = 0; index < 70; ++index) {  // more than one tile of pairs, and of chunks of points
        const Frames frames = generated_play(random, 500 + random() % 2500);
        columns.push_back(columns_of(frames));
        paths.push_back(frames.path());
    }
    columns.push_back(columns_of(Frames{{100000}, {0}, {0}}));  // shares no time with the others
    paths.push_back(Frames{{100000}, {0}, {0}}.path());
    std::vector<const FrameColumns*> plays;
    for (const FrameColumns& play : columns) plays.push_back(&play);
    const std::size_t n = plays.size();
    const MatrixWatch watch{std::chrono::milliseconds(5), [](std::uint64_t) { return true; }};
    WorkerPool& pool = WorkerPool::global();

    const auto matrix = std::get<DistanceMatrix>(play_matrix(plays, {{}, 300.0, {}, 2}, pool, watch));
    Vec<RankedPair> all;
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            const double expected = exact_distance(paths[i], paths[j], 300.0).mean();
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(matrix[i * n + j]));
            } else {
                EXPECT_EQ(matrix[i * n + j], expected);  // the same arithmetic, to the bit
                if (i < j) all.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j), expected});
            }
        }
    }
    EXPECT_EQ(std::get<double>(play_similarity(columns[2], columns[5], 300.0, pool, watch)), matrix[2 * n + 5]);
    std::sort(all.begin(), all.end(), [](auto& l, auto& r) { return l.distance < r.distance; });
    const auto top = std::get<TopPairs>(play_matrix(plays, {{}, 300.0, 5, 0}, pool, watch));
    ASSERT_EQ(top.size(), 5u);
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(top[k].i, all[k].i);
        EXPECT_EQ(top[k].j, all[k].j);
    }

    const auto grid = std::get<DistanceMatrix>(play_matrix(plays, {16.0, {}, {}, 0}, pool, watch));
    std::vector<GridPath> grids;
    for (const CursorPath& path : paths) grids.push_back(std::get<GridPath>(grid_path(path, 16.0)));
    for (std::size_t i = 0; i + 1 < n; ++i) {  // the last play shares no grid time with the others
        for (std::size_t j = i; j + 1 < n; ++j) {
            EXPECT_EQ(grid[i * n + j], grid_distance(grids[i], grids[j]).mean());
            EXPECT_EQ(grid[j * n + i], grid[i * n + j]);
        }
    }
}

TEST(PlayMatrix, RefusesOtherModesAndStopsWhenTheWatchSaysSo) {
    std::mt19937_64 random(9);
    const FrameColumns cursor = columns_of(generated_play(random, 20000));
    ReplayDataContainer drums;
    drums.taiko_replay_data = SharedFrames<ReplayEventTaiko>(Vec<ReplayEventTaiko>(3));
    const FrameColumns other = FrameColumns::of(drums, GameMode::TAIKO, {});
    const MatrixWatch never_stop{std::chrono::milliseconds(5), [](std::uint64_t) { return true; }};
    std::vector<const FrameColumns*> plays{&cursor, &other};
    const auto refused = std::get<MatrixFailure>(play_matrix(plays, {}, WorkerPool::global(), never_stop));
    EXPECT_EQ(refused.kind, MatrixFailure::Kind::NotCursorMode);
    EXPECT_EQ(refused.play, 1u);

    EXPECT_EQ(std::get<MatrixFailure>(play_similarity(cursor, other, {}, WorkerPool::global(), never_stop)).play, 1u);

    std::vector<const FrameColumns*> many(400, &cursor);
    const MatrixWatch stop_at_once{std::chrono::milliseconds(1), [](std::uint64_t) { return false; }};
    const auto stopped = std::get<MatrixFailure>(play_matrix(many, {}, WorkerPool::global(), stop_at_once));
    EXPECT_EQ(stopped.kind, MatrixFailure::Kind::Stopped);
    // One pair large enough to be watched (tens of milliseconds of work).
    const FrameColumns huge = columns_of(generated_play(random, 3'000'000));
    const auto pair_stopped =
        std::get<MatrixFailure>(play_similarity(huge, huge, {}, WorkerPool::global(), stop_at_once));
    EXPECT_EQ(pair_stopped.kind, MatrixFailure::Kind::Stopped);
}

}  // namespace
}  // namespace kz
