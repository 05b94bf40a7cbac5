// The frame text's room: growth in place across the kept size, reuse between
// calls on one thread, and frame lists shared until changed.
#include "readers/text_buffer.hpp"

#include <gtest/gtest.h>

#include "common/shared_frames.hpp"
#include "readers/frame_block.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

// `size` bytes of frame-like text that changes along its length, so a byte
// left over from an earlier, longer text would show.
std::string varied_text(std::size_t size, unsigned salt) {
    std::string text;
    text.reserve(size + 32);
    for (unsigned i = 0; text.size() < size; ++i) text += std::to_string((i * 7919u + salt) % 100000u) + "|1|2|3,";
    text.resize(size);
    return text;
}

TEST(TextBuffer, GrowsInPlaceAndReopensReleasedPages) {
    TextBuffer buffer(64u << 20);
    buffer.reserve(1);
    std::uint8_t* const base = buffer.data();
    for (std::size_t room = 4096; room <= (16u << 20); room *= 4) {
        buffer.reserve(room);
        ASSERT_GE(buffer.capacity(), room);
        buffer.data()[room - 1] = 0x5A;  // the whole room is writable
        EXPECT_EQ(buffer.data(), base);  // growing never moves the text
    }
    buffer.release_beyond(1u << 20);
    EXPECT_EQ(buffer.capacity(), 1u << 20);
    buffer.reserve(8u << 20);
    EXPECT_EQ(buffer.data()[(8u << 20) - 1], 0);  // released pages come back zeroed
    buffer.reserve(std::size_t{1} << 40);
    EXPECT_EQ(buffer.capacity(), 64u << 20);  // never past the limit
}

// Long texts and long frame lists sit on whole huge pages: the text from its
// start (so the pages kept between calls end on a huge page), large blocks
// of the allocator aligned to one and writable to their last byte.
TEST(TextBuffer, LongTextsAndLargeBlocksStartOnAHugePage) {
    constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
    for (std::size_t limit : {std::size_t{1}, std::size_t{5} << 20, std::size_t{256} << 20}) {
        TextBuffer buffer(limit);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer.data()) % huge_page, 0u) << limit;
    }
#if !KADENZO_SYSTEM_ALLOCATOR  // the sanitized build's allocator places blocks as it likes
    for (std::size_t size : {kHugePageBlockBytes, kHugePageBlockBytes + 4097, std::size_t{23} << 20}) {
        Vec<std::uint8_t> block(size, 0x5A);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.data()) % huge_page, 0u) << size;
        EXPECT_EQ(block.back(), 0x5A);
    }
#endif
}

// No size declared: the room starts small and doubles; texts just below, at
// and above each doubling and above the size a thread keeps, in an order
// that reuses a longer text's buffer for a shorter one and the reverse.
TEST(TextBuffer, UndeclaredSizesAcrossTheGrowthSteps) {
    const std::size_t sizes[] = {(1u << 20) - 1,        1u << 20, (1u << 20) + 1,
                                 kKeptTextBytes + 4097, 5000,     (2u << 20) + 3,
                                 kKeptTextBytes - 1,    1,        9u << 20};
    unsigned salt = 0;
    for (const std::size_t size : sizes) {
        const std::string text = varied_text(size, ++salt);
        const ByteVec block = compress_alone(text);
        const LentTextBuffer decoded = decompress_frame_block(view_of(block));
        ASSERT_EQ(decoded.size(), text.size());
        EXPECT_TRUE(decoded.view() == text) << "size " << size;
    }
}

TEST(TextBuffer, TwoLoansOnOneThreadAreIndependent) {
    const std::string first = varied_text(3u << 20, 1), second = varied_text(70000, 2);
    const LentTextBuffer a = decompress_frame_block(view_of(compress_alone(first)));
    const LentTextBuffer b = decompress_frame_block(view_of(compress_alone(second)));
    EXPECT_TRUE(a.view() == first);
    EXPECT_TRUE(b.view() == second);
}

TEST(SharedFrames, CopiesShareUntilOneIsChanged) {
    SharedFrames<int> original(Vec<int>{1, 2, 3});
    SharedFrames<int> copy = original;
    EXPECT_TRUE(copy.shares_storage_with(original));
    copy.edit().push_back(4);
    EXPECT_FALSE(copy.shares_storage_with(original));
    EXPECT_EQ(original.frames(), (Vec<int>{1, 2, 3}));
    EXPECT_EQ(copy.frames(), (Vec<int>{1, 2, 3, 4}));

    const int* storage = copy.data();
    copy.edit()[0] = 9;  // sole owner: changed in place
    EXPECT_EQ(copy.data(), storage);

    SharedFrames<int> empty;
    EXPECT_TRUE(empty.empty());
    empty.edit().push_back(5);
    EXPECT_EQ(empty.size(), 1u);
    EXPECT_FALSE(SharedFrames<int>().shares_storage_with(SharedFrames<int>()));
}

}  // namespace
}  // namespace kz::test
