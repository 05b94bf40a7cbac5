// Reading replay files from disk: the file error text, whole-file reads and the decode stops.
#include "files/replay_file.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "replay_bytes.hpp"

namespace kz::test {
namespace {

TEST(OsErrorText, CodeKindAndMessage) {
    const std::pair<int, std::string> cases[] = {
        {ENOENT, "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }"},
        {EACCES, "Os { code: 13, kind: PermissionDenied, message: \"Permission denied\" }"},
        {EISDIR, "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }"},
        {EIO, "Os { code: 5, kind: Uncategorized, message: \"Input/output error\" }"},
        {9999, "Os { code: 9999, kind: Uncategorized, message: \"Unknown error 9999\" }"},
    };
    for (const auto& [code, text] : cases) EXPECT_EQ(text_of(describe(OsError{code})), text);
}

TEST(ReplayFile, ReadAndDecode) {
    char pattern[] = "/tmp/kadenzo_file_test_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    auto write = [&](const std::string& name, const ByteVec& bytes) {
        std::ofstream(dir + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return dir + "/" + name;
    };
    auto read = [](const std::string& path) { return read_whole_file(path.c_str()); };

    ByteVec large(300000);
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = std::uint8_t(i * 7);
    for (const ByteVec& content : {ByteVec{}, ByteVec{1, 2, 3}, large}) {
        const std::string_view expected(reinterpret_cast<const char*>(content.data()), content.size());
        EXPECT_EQ(std::get<ByteBuffer>(read(write("f", content))).view(), expected);
    }
    EXPECT_GT(std::get<ByteBuffer>(read("/proc/self/status")).size(), 256u);  // reports size 0
    EXPECT_EQ(std::get<OsError>(read(dir + "/missing")).code, ENOENT);
    EXPECT_EQ(std::get<OsError>(read(dir)).code, EISDIR);
    EXPECT_EQ(std::get<OsError>(read(dir + "/f/x")).code, ENOTDIR);

    EXPECT_EQ(stop_message([&] { decode_replay_file((dir + "/missing").c_str(), false); }),
              kUnwrap + "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
    EXPECT_EQ(stop_message([&] { decode_replay({}, false); }), kUnwrap + "Error(Error { input: [], code: Eof })");
    EXPECT_EQ(stop_message([&] { decode_replay_file(write("short", {0, 7, 0}).c_str(), true); }),
              kUnwrap + "Error(Error { input: [7, 0], code: Eof })");
    const ByteVec good =
        header_through_timestamp(1).block(compress_alone("16|256.75|0|1,-12345|0|0|5")).u32(42).bytes();
    const Replay replay = decode_replay_file(write("good", good).c_str(), false);
    EXPECT_EQ(replay.replay_data.taiko_replay_data->size(), 1u);
    EXPECT_EQ(replay.rng_seed, 5);
    EXPECT_EQ(replay.replay_id, 42u);
    std::system(("rm -rf '" + dir + "'").c_str());
}

}  // namespace
}  // namespace kz::test
