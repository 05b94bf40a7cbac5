// Reading files: what is refused, what a header-only read reads, and that it
// ends exactly as the header-only decode of the whole file in memory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "../../fuzz/targets.hpp"
#include "files/replay_file.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

// A source that counts what is read from it.
class CountingSource final : public ByteSource {
public:
    explicit CountingSource(ByteView bytes) : inner_(bytes) {}
    std::uint64_t size() const override { return inner_.size(); }
    std::size_t read_at(std::uint64_t offset, std::uint8_t* into, std::size_t room) const override {
        const std::size_t got = inner_.read_at(offset, into, room);
        read_ += got;
        ++reads_;
        return got;
    }
    std::size_t bytes_read() const { return read_; }
    std::size_t reads() const { return reads_; }

private:
    fuzz::MemorySource inner_;
    mutable std::size_t read_ = 0;
    mutable std::size_t reads_ = 0;
};

ByteVec good_file() {
    return header_through_timestamp(0).block(compress_alone("16|1|2|0,-12345|0|0|5")).u64(42).bytes();
}

ByteVec operator+(ByteVec a, const ByteVec& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

ByteVec filler(std::size_t n) {
    ByteVec bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
    return bytes;
}

TEST(HeaderRead, EndsAsTheWholeFileDecode) {
    const ByteVec good = good_file();
    const std::size_t length_at = header_through_timestamp(0).bytes().size();
    std::vector<ByteVec> files;
    for (std::size_t cut = 0; cut <= good.size(); ++cut) files.emplace_back(good.begin(), good.begin() + long(cut));
    files.push_back(good + filler(3));               // trailing bytes after an 8-byte id
    ByteVec short_id(good.begin(), good.end() - 4);  // a 4-byte id
    files.push_back(short_id);
    ByteVec lying_block(good.begin(), good.begin() + long(length_at));
    files.push_back(ReplayBytes().raw(lying_block).u32(1u << 30).raw(filler(5000)).bytes());  // quoted past 4 KiB
    files.push_back(ReplayBytes().raw(lying_block).u32(1u << 30).raw(filler(100)).bytes());
    files.push_back(ReplayBytes().raw(lying_block).u32(0xFFFFFFFFu).raw(filler(100)).bytes());  // negative: stops
    // A string whose length is far past the end of the file, and a ULEB128 length too long to read.
    files.push_back(
        ReplayBytes().u8(0).u32(1).u8(0x0B).raw(ByteVec{0x80, 0x80, 0x80, 0x80, 0x80, 0x01}).raw(filler(9000)).bytes());
    files.push_back(ReplayBytes().u8(0).u32(1).u8(0x0B).raw(ByteVec(19, 0xFF)).raw(filler(6000)).bytes());
    files.push_back(ReplayBytes().u8(0).u32(1).u8(0x0B).raw(ByteVec(5, 0xFF)).bytes());  // ULEB128 cut short
    // Stops inside the header: invalid UTF-8, a bad marker, an unknown mode.
    files.push_back(ReplayBytes().u8(0).u32(1).str(std::string(5000, '\xff')).raw(filler(100)).bytes());
    files.push_back(ReplayBytes().u8(0).u32(1).u8(7).raw(filler(100)).bytes());
    ByteVec bad_mode = good;
    bad_mode[0] = 9;
    files.push_back(bad_mode);
    // A long header: a 200 KB life-bar text with a large block after it.
    std::string life;
    while (life.size() < 200000) life += "16|0.5,";
    ReplayBytes long_header;
    long_header.u8(1).u32(1).str("a").str("b").str("c");
    for (int i = 0; i < 6; ++i) long_header.u16(1);
    long_header.u32(1).u16(1).u8(1).u32(0).str(life).u64(9).block(filler(300000)).u64(77);
    files.push_back(long_header.bytes());

    for (const ByteVec& file : files) {
        for (const std::size_t first_read : {std::size_t{1}, std::size_t{5}, std::size_t{64}, std::size_t{65536}}) {
            const auto [whole, by_parts] = fuzz::header_read_outcomes(view_of(file), first_read);
            EXPECT_EQ(text_of(whole), text_of(by_parts))
                << "file of " << file.size() << " bytes, first read " << first_read;
        }
    }
}

TEST(HeaderRead, ReadsOnlyTheHeaderTheLengthAndTheId) {
    ByteVec file = header_through_timestamp(2).block(filler(2'000'000)).u64(1234).bytes() + filler(3'000'000);
    const CountingSource source(view_of(file));
    const DecodeOutcome outcome = decode_header_only(source, 4096);
    ASSERT_TRUE(std::holds_alternative<Replay>(outcome));
    EXPECT_EQ(std::get<Replay>(outcome).replay_id, 1234u);
    EXPECT_LE(source.bytes_read(), 4096u + 8u);
}

// From the first byte on, each field's first bytes say how many it takes:
// the reader reads on to the end of the field, not byte by byte, and the
// read-ahead doubles, so a header of long texts takes a few reads.
TEST(HeaderRead, ReadsEachFieldWholeFromItsFirstBytes) {
    const std::string text(100'000, 'a');
    ReplayBytes r;
    r.u8(1).u32(1).str(text).str(text).str(text);
    for (int i = 0; i < 6; ++i) r.u16(1);
    r.u32(1).u16(1).u8(1).u32(0).str("0|1").u64(9).block(filler(10)).u64(5);
    const ByteVec file = r.bytes() + filler(1'000'000);
    const CountingSource source(view_of(file));
    const DecodeOutcome outcome = decode_header_only(source, 1);
    ASSERT_TRUE(std::holds_alternative<Replay>(outcome));
    EXPECT_EQ(std::get<Replay>(outcome).replay_id, 5u);
    EXPECT_LE(source.reads(), 12u);
    EXPECT_LE(source.bytes_read(), 2 * r.bytes().size());
}

TEST(ByteList, WholeUpTo4KiBThenTheFirst64BytesAndTheLength) {
    const ByteVec bytes = filler(kMaxQuotedBytes + 1);
    String whole, cut;
    append_byte_list(whole, view_of(bytes).first(kMaxQuotedBytes));
    append_byte_list(cut, view_of(bytes));
    EXPECT_EQ(std::count(whole.begin(), whole.end(), ','), long(kMaxQuotedBytes) - 1);
    String head;
    append_byte_list(head, view_of(bytes).first(kQuotedHeadBytes));
    head.pop_back();
    EXPECT_EQ(text_of(cut), text_of(head) + ", ... (4097 bytes)]");
    // An error's text quotes the same way, its view holding only the head.
    EXPECT_EQ(text_of(describe(DecodeError::eof(view_of(bytes).first(kQuotedHeadBytes)), 4097)),
              "Error(Error { input: " + text_of(cut) + ", code: Eof })");
}

class Folder : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kadenzo_reading_XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string dir_;
};

TEST_F(Folder, OnlyRegularFilesAreRead) {
    const std::string fifo = dir_ + "/pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string refused = kUnwrap + "Error { kind: InvalidInput, message: \"not a regular file\" }";
    for (const std::string& path : {fifo, std::string("/dev/zero"), std::string("/dev/null")}) {
        for (const bool header_only : {false, true}) {
            EXPECT_EQ(stop_message([&] { decode_replay_file(path.c_str(), header_only); }), refused) << path;
        }
        EXPECT_TRUE(std::holds_alternative<FileRefusal>(read_whole_file(path.c_str())));
    }
    for (const bool header_only : {false, true}) {  // a directory keeps the system's error
        EXPECT_EQ(stop_message([&] { decode_replay_file(dir_.c_str(), header_only); }),
                  kUnwrap + "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
    }
}

TEST_F(Folder, AFullDecodeRefusesFilesOver4GiBAHeaderOnlyDecodeReadsThem) {
    const std::string path = dir_ + "/sparse";
    const ByteVec good = good_file();
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(good.data()), std::streamsize(good.size()));
    ASSERT_EQ(::truncate(path.c_str(), off_t(kMaxFileBytes) + 1), 0);  // sparse: no disk, no memory
    EXPECT_EQ(stop_message([&] { decode_replay_file(path.c_str(), false); }),
              kUnwrap + "Error { kind: FileTooLarge, message: \"file exceeds 4294967296 bytes\" }");
    EXPECT_EQ(decode_replay_file(path.c_str(), true).replay_id, 42u);
}

}  // namespace
}  // namespace kz::test
