// Per-file outcomes (what went wrong and where, the specified text beside
// it, nothing on standard error) and the ordered, bounded stream.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

#include "bulk/decode_outcome.hpp"
#include "bulk/ordered_stream.hpp"
#include "files/replay_file.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

using namespace std::chrono_literals;

ByteVec replay_with_text(std::uint8_t mode, std::string_view text) {
    ReplayBytes r = header_through_timestamp(mode);
    r.block(compress_alone(text)).u64(7);
    return r.bytes();
}

ByteVec cut(ByteVec bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
}

ByteVec bad_username() {
    ReplayBytes r;
    r.u8(0).u32(1).str("hash").str(
        "pl\xff"
        "ayer");
    return r.bytes();
}

struct FailureCase {
    const char* name;
    ByteVec bytes;
    FailureKind kind;
    std::string message;
};

class Failures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failures, SayWhatAndWhereAndKeepTheStopText) {
    const FailureCase& c = GetParam();
    const std::string specified = stop_message([&] { (void)decode_replay(view_of(c.bytes), false); });
    ::testing::internal::CaptureStderr();
    const Outcome outcome = decode_bytes_outcome(view_of(c.bytes), false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const Failure* failure = std::get_if<Failure>(&outcome);
    ASSERT_NE(failure, nullptr);
    EXPECT_EQ(failure->kind, c.kind);
    EXPECT_EQ(text_of(failure->message), c.message);
    EXPECT_EQ(text_of(failure->detail), specified);
}

// Offsets below follow header_through_timestamp: the username starts at 23,
// the frame block at 77.
INSTANTIATE_TEST_SUITE_P(
    Bulk, Failures,
    ::testing::Values(
        FailureCase{"empty", {}, FailureKind::Decode, "file ends inside mode (needs 1 more byte at offset 0)"},
        FailureCase{"inside_username", cut(header_through_timestamp(0).bytes(), 26), FailureKind::Decode,
                    "file ends inside username (needs 5 more bytes at offset 26)"},
        FailureCase{"username_not_utf8", bad_username(), FailureKind::Decode,
                    "username is not valid UTF-8 at offset 15"},
        FailureCase{"bad_marker", ReplayBytes().u8(0).u32(1).u8(7).bytes(), FailureKind::Decode,
                    "beatmap_hash at offset 5 starts with byte 0x7, which marks no string (0x00 or 0x0b)"},
        FailureCase{"unknown_mode", replay_with_text(9, "1|2|3|4"), FailureKind::Decode,
                    "mode byte 9 at offset 0 names no game mode (0 to 3)"},
        FailureCase{"block_cut", cut(replay_with_text(0, "1|2|3|4"), 90), FailureKind::Decode,
                    "file ends inside the frame block (needs 21 more bytes at offset 90)"},
        FailureCase{"block_garbage", ReplayBytes(header_through_timestamp(0)).block(ByteVec(40, 0xEE)).u64(1).bytes(),
                    FailureKind::Decode, "the frame block at offset 77 is not valid compressed data (Format)"},
        FailureCase{"y_not_a_number", replay_with_text(0, "1|2|3|0,5|1|y|0,"), FailureKind::Decode,
                    "frame 1 (byte 8 of the frame text): y is not a number"},
        FailureCase{"keys_missing", replay_with_text(1, "1|2|3|0,5|1|2"), FailureKind::Decode,
                    "frame 1 (byte 8 of the frame text): keys is missing (the item has 3 fields)"},
        FailureCase{"column_keys", replay_with_text(3, "1|2,3|x"), FailureKind::Decode,
                    "frame 1 (byte 4 of the frame text): keys is not a whole number in range"},
        FailureCase{"no_frames", replay_with_text(2, ",,"), FailureKind::Decode, "the frame text holds no frame"},
        FailureCase{"life_bar",
                    ReplayBytes()
                        .u8(0)
                        .u32(1)
                        .str("h")
                        .str("p")
                        .str("r")
                        .u16(0)
                        .u16(0)
                        .u16(0)
                        .u16(0)
                        .u16(0)
                        .u16(0)
                        .u32(0)
                        .u16(0)
                        .u8(0)
                        .u32(0)
                        .str("0|1,x|0.5")
                        .bytes(),
                    FailureKind::Decode, "life_bar_graph sample 1 (offset 43): the time is not a whole number"}),
    [](const auto& test_info) { return std::string(test_info.param.name); });

TEST(Outcome, FileErrorsCarryErrnoAndTheSpecifiedText) {
    const String missing("/nonexistent/kadenzo/replay.kvr");
    const std::string specified = stop_message([&] { (void)decode_replay_file(missing.c_str(), false); });
    ::testing::internal::CaptureStderr();
    const Outcome outcome = decode_file_outcome(missing, false);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    const Failure& failure = std::get<Failure>(outcome);
    EXPECT_EQ(failure.kind, FailureKind::File);
    EXPECT_EQ(failure.error_number, ENOENT);
    EXPECT_EQ(text_of(failure.detail), specified);
    EXPECT_EQ(text_of(failure.message), "cannot read the file: No such file or directory");

    const Outcome nul = decode_file_outcome(String("a\0b", 3), false);
    EXPECT_EQ(std::get<Failure>(nul).error_number, EINVAL);
}

TEST(Outcome, LongDetailsAreCutAtACharacter) {
    const std::string long_text = std::string(kMaxDetailBytes - 1, 'a') + "\xc3\xa9" + std::string(50, 'b');
    const String bounded = bounded_detail(long_text);
    EXPECT_EQ(text_of(bounded), std::string(kMaxDetailBytes - 1, 'a') + "... (1,075 bytes in all)");
    EXPECT_EQ(text_of(bounded_detail("short")), "short");
}

TEST(Outcome, DecodesGoodBytes) {
    const Outcome outcome = decode_bytes_outcome(view_of(replay_with_text(0, "1|2|3|4,-12345|0|0|99")), false);
    ASSERT_TRUE(std::holds_alternative<Replay>(outcome));
    EXPECT_EQ(std::get<Replay>(outcome).rng_seed, 99);
}

TEST(Outcome, OtherFormsShareTheReadingAndTheReports) {
    const ByteVec bytes = replay_with_text(0, "1|2|3|0,5|1|y|0");
    const auto frame_count = [](ByteView contents) {
        return decode_replay(contents, false).replay_data.kivo_replay_data->size();
    };
    const auto failed = decode_bytes_as<std::size_t>(view_of(bytes), frame_count);
    EXPECT_EQ(text_of(std::get<Failure>(failed).message), "frame 1 (byte 8 of the frame text): y is not a number");
    const auto good = decode_bytes_as<std::size_t>(view_of(replay_with_text(0, "1|2|3|0,5|1|2|0")), frame_count);
    EXPECT_EQ(std::get<std::size_t>(good), 2u);
    const auto missing = decode_file_as<std::size_t>(String("/nonexistent/kadenzo.kvr"), frame_count);
    EXPECT_EQ(std::get<Failure>(missing).kind, FailureKind::File);
}

std::size_t unit_cost(const int&) noexcept { return 1; }

TEST(OrderedStream, ResultsInOrderWithinTheWindow) {
    WorkerPool& pool = WorkerPool::global();
    OrderedStream<int> stream(pool, {.runners = 4, .window = 6, .budget_bytes = 1000}, &unit_cost);
    std::mt19937 random(7);
    constexpr int kItems = 300;
    int added = 0, taken = 0;
    while (taken < kItems) {
        while (added < kItems && stream.wants_more()) {
            const auto delay = std::chrono::microseconds(random() % 300);
            stream.add([added, delay] {
                std::this_thread::sleep_for(delay);
                return added;
            });
            ++added;
        }
        EXPECT_LE(stream.pending(), 6u);
        if (auto result = stream.take(1000ms)) {
            EXPECT_EQ(*result, taken++);
        }
    }
    EXPECT_FALSE(stream.take(1ms).has_value());
}

TEST(OrderedStream, ByteBudgetStopsAdding) {
    OrderedStream<int> stream(WorkerPool::global(), {.runners = 2, .window = 100, .budget_bytes = 3}, &unit_cost);
    for (int i = 0; i < 3; ++i) stream.add([i] { return i; });
    while (stream.wants_more()) std::this_thread::sleep_for(1ms);  // three done results fill the budget
    EXPECT_EQ(*stream.take(1000ms), 0);
    EXPECT_TRUE(stream.wants_more());
}

TEST(OrderedStream, InputsHeldByWaitingItemsCountInTheBudget) {
    // Contents handed in (an archive's members) hold memory before they run:
    // one item past the budget is let in, no more until its result is taken.
    auto release = std::make_shared<std::atomic<bool>>(false);
    OrderedStream<int> stream(WorkerPool::global(), {.runners = 1, .window = 100, .budget_bytes = 100}, &unit_cost);
    stream.add(
        [release] {
            while (!release->load()) std::this_thread::sleep_for(100us);
            return 0;
        },
        40);
    EXPECT_TRUE(stream.wants_more());
    stream.add([] { return 1; }, 70);
    EXPECT_FALSE(stream.wants_more());  // 110 bytes held while both wait
    release->store(true);
    EXPECT_EQ(*stream.take(1000ms), 0);
    EXPECT_EQ(*stream.take(1000ms), 1);
    EXPECT_TRUE(stream.wants_more());  // results of one unit each, taken
}

TEST(OrderedStream, CancelAndDestroyWhileRunning) {
    WorkerPool& pool = WorkerPool::global();
    auto started = std::make_shared<std::atomic<int>>(0);
    auto release = std::make_shared<std::atomic<bool>>(false);
    {
        OrderedStream<int> stream(pool, {.runners = 1, .window = 50}, &unit_cost);
        for (int i = 0; i < 50; ++i) {
            stream.add([started, release, i] {
                started->fetch_add(1);
                while (!release->load()) std::this_thread::sleep_for(100us);
                return i;
            });
        }
        while (started->load() == 0) std::this_thread::yield();
    }  // destroyed with one item running and 49 waiting
    release->store(true);
    // The pool is free again once the running item ends; nothing waiting ran.
    pool.run(pool.size(), [](std::size_t) {});
    EXPECT_EQ(started->load(), 1);

    OrderedStream<int> after(pool, {.runners = 2}, &unit_cost);
    after.add([] { return 5; });
    EXPECT_EQ(*after.take(1000ms), 5);
}

// A child made by fork() has none of the pool's threads: it must let go of a
// stream without touching the shared state, whose lock a runner may hold.
TEST(OrderedStream, AForkedChildLetsGoWithoutTouchingTheState) {
    OrderedStream<int> stream(WorkerPool::global(), {.runners = 1, .window = 4}, &unit_cost);
    stream.add([] {
        std::this_thread::sleep_for(100ms);
        return 7;
    });
    ASSERT_TRUE(stream.owner().is_this_process());
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        alarm(10);  // a wait on the parent's runner would hang: end the child instead
        const bool elsewhere = !stream.owner().is_this_process();
        stream.cancel();
        std::_Exit(elsewhere && stream.limits().window == 4 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(*stream.take(1000ms), 7);  // the parent's stream goes on
}

}  // namespace
}  // namespace kz::test
