// The worker pool and batch decoding: every index once, concurrent callers,
// the lowest-index failure rule, pool sizes from the environment.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "bulk/decode_files.hpp"
#include "worker_pool/worker_pool.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

TEST(PoolSize, EnvironmentRulesAndClamp) {
    using sv = std::string_view;
    EXPECT_EQ(pool_size_from(sv("3"), std::nullopt, 2), 3u);
    EXPECT_EQ(pool_size_from(sv("+0"), sv("5"), 2), 2u);  // 0: one per processor
    EXPECT_EQ(pool_size_from(sv("x"), sv("5"), 2), 5u);
    EXPECT_EQ(pool_size_from(std::nullopt, sv("0"), 2), 2u);
    EXPECT_EQ(pool_size_from(sv("1000000000000"), std::nullopt, 2), 8u);  // four per processor
    EXPECT_EQ(pool_size_from(sv("18446744073709551615"), std::nullopt, 2), 8u);
    EXPECT_EQ(pool_size_from(sv("18446744073709551616"), std::nullopt, 3), 3u);  // overflow: not a number
    EXPECT_EQ(pool_size_from(sv("100000"), std::nullopt, 1000), kMaxPoolThreads);
}

TEST(WorkerPool, EveryIndexOnceWithConcurrentCallers) {
    WorkerPool& pool = WorkerPool::global();
    constexpr std::size_t kCount = 2000;
    auto run_and_check = [&pool] {
        std::vector<std::atomic<int>> hits(kCount);
        pool.run(kCount, [&](std::size_t index) { hits[index].fetch_add(1); });
        for (const auto& hit : hits) EXPECT_EQ(hit.load(), 1);
    };
    std::thread other(run_and_check);
    run_and_check();
    other.join();

    std::atomic<int> submitted{0};
    for (int i = 0; i < 50; ++i) pool.submit([&] { submitted.fetch_add(1); });
    pool.run(pool.size(), [](std::size_t) {});  // tasks run in order: the submitted ones are done or running
    while (submitted.load() != 50) std::this_thread::yield();
}

class DecodeFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kadenzo_batch_test_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    String write(const std::string& name, const ByteVec& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return String(path.c_str());
    }

    std::string dir_;
};

TEST_F(DecodeFiles, OrderAndLowestIndexFailure) {
    const ByteVec good = header_through_timestamp(3).block(compress_alone("1|5,2|6")).u64(7).bytes();
    Vec<String> paths;
    for (int i = 0; i < 40; ++i) paths.push_back(write("good" + std::to_string(i), good));
    const Vec<Replay> replays = decode_files(paths, false);
    ASSERT_EQ(replays.size(), 40u);
    for (const Replay& replay : replays) EXPECT_EQ(replay.replay_data.mania_replay_data->size(), 2u);

    // A failure late in the list that finishes first does not hide an earlier one.
    paths[30] = write("short", {3, 1});
    paths[35] = String("/nonexistent/kadenzo");
    paths[5] = write("nul", {});
    EXPECT_EQ(stop_message([&] { decode_files(paths, true); }),
              "called `Result::unwrap()` on an `Err` value: Error(Error { input: [], code: Eof })");
    EXPECT_TRUE(decode_files({}, false).empty());
}

}  // namespace
}  // namespace kz::test
