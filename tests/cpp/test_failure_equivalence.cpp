// Every way a generated file can fail ends in the same texts as it always
// has: the stop message (PanicException's text), the per-file failure's
// message and detail, whole-file and header-only, in memory and read from a
// file by parts. The inputs are every prefix and many single-byte
// corruptions of generated files of every mode, and corruptions of their
// frame and life-bar texts; the expected texts are kept as one hash per case
// in tests/data/failure_texts.txt. KADENZO_WRITE_FAILURE_TEXTS=1 writes that
// file instead of checking it (only ever from a build whose texts are right).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <unistd.h>

#include "bulk/decode_outcome.hpp"
#include "files/replay_file.hpp"
#include "replay_bytes.hpp"

namespace kz::test {
namespace {

namespace fs = std::filesystem;

const fs::path kExpectedTexts = fs::path(KADENZO_TEST_DATA_DIR) / "failure_texts.txt";

// FNV-1a, 64 bits: a stable short fingerprint of a case's texts.
std::uint64_t fingerprint(std::string_view text) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string failure_text(const Outcome& outcome) {
    if (std::holds_alternative<Replay>(outcome)) return "ok";
    const Failure& failure = std::get<Failure>(outcome);
    return std::to_string(static_cast<int>(failure.kind)) + "|" + text_of(failure.message) + "|" +
           text_of(failure.detail);
}

// A scratch file for the readers that take a path.
class ScratchFile {
public:
    ScratchFile() : path_(fs::temp_directory_path() / ("kadenzo_failure_texts_" + std::to_string(::getpid()))) {}
    ~ScratchFile() {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    const String& write(const ByteVec& bytes) {
        std::ofstream(path_, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        name_ = String(path_.string());
        return name_;
    }

private:
    fs::path path_;
    String name_;
};

// All the texts one input ends in.
std::string texts_of(const ByteVec& bytes, ScratchFile& scratch) {
    QuietStops quiet;  // thousands of stops: none of them on standard error
    std::string out;
    for (const bool header_only : {false, true}) {
        out += stop_message([&] { (void)decode_replay(view_of(bytes), header_only); });
        out += '\n';
        out += failure_text(decode_bytes_outcome(view_of(bytes), header_only));
        out += '\n';
    }
    const String& path = scratch.write(bytes);
    out += stop_message([&] { (void)decode_replay_file(path.c_str(), true); });
    out += '\n';
    out += failure_text(decode_file_outcome(path, true));
    return out;
}

ByteVec file_of(std::uint8_t mode, std::string_view life_bar, std::string_view frames) {
    ReplayBytes r;
    r.u8(mode).u32(20240101).str("0123456789abcdef").str("pl\xc3\xa4yer").str(std::string_view());
    for (const std::uint16_t count : std::initializer_list<std::uint16_t>{300, 100, 50, 0xFFFF, 40000, 2}) r.u16(count);
    r.u32(123456).u16(777).u8(1).u32(24).str(life_bar).u64(0x0123456789ABCDEFull);
    return r.block(compress_alone(frames)).u64(77).bytes();
}

struct Family {
    std::uint8_t mode;
    std::string frames;
};

const Family kFamilies[] = {
    {0, "0|256|-500|0,-1|256|-500|0,16|100.5|200|1,17|1e3|-0.25|5,-12345|0|0|777,"},
    {1, "0|320|9999|0,15|320|9999|4,16|-3|9999|12,-12345|0|0|5"},
    {2, "0|256.5|9999|0,15|-2|9999|1,16|511.75|9999|0,-12345|0|0|-9,"},
    {3, "0|0|15.35|0,15|5|15.35|0,16|1023|15.35|0"},
};
constexpr std::string_view kLifeBar = "0|1,250|0.5,9000|0.75";
constexpr char kTextReplacements[] = {'x', '|', ',', '-', '.', '9', ' '};
constexpr std::uint8_t kByteReplacements[] = {0x00, 0xFF, 0x0B, 0x80, 0x04};

// Every case: its name and its input.
std::map<std::string, ByteVec> all_cases() {
    std::map<std::string, ByteVec> cases;
    for (const Family& family : kFamilies) {
        const std::string prefix = "mode" + std::to_string(family.mode) + "/";
        const ByteVec whole = file_of(family.mode, kLifeBar, family.frames);
        for (std::size_t size = 0; size <= whole.size(); ++size) {
            cases[prefix + "prefix/" + std::to_string(size)] =
                ByteVec(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
        }
        for (std::size_t at = 0; at < whole.size(); ++at) {
            for (const std::uint8_t value : kByteReplacements) {
                ByteVec bytes = whole;
                bytes[at] = value;
                cases[prefix + "byte/" + std::to_string(at) + "=" + std::to_string(value)] = bytes;
            }
        }
        for (std::size_t at = 0; at < family.frames.size(); ++at) {
            for (const char c : kTextReplacements) {
                std::string text = family.frames;
                text[at] = c;
                cases[prefix + "frames/" + std::to_string(at) + "=" + std::to_string(static_cast<int>(c))] =
                    file_of(family.mode, kLifeBar, text);
            }
        }
        for (std::size_t at = 0; at < kLifeBar.size(); ++at) {
            for (const char c : kTextReplacements) {
                std::string text(kLifeBar);
                text[at] = c;
                cases[prefix + "life/" + std::to_string(at) + "=" + std::to_string(static_cast<int>(c))] =
                    file_of(family.mode, text, family.frames);
            }
        }
    }
    return cases;
}

TEST(FailureTexts, StayTheSameForEveryPrefixAndCorruption) {
    ScratchFile scratch;
    const std::map<std::string, ByteVec> cases = all_cases();
    std::map<std::string, std::string> actual;
    for (const auto& [name, bytes] : cases) {
        char hex[17];
        std::snprintf(hex, sizeof hex, "%016llx",
                      static_cast<unsigned long long>(fingerprint(texts_of(bytes, scratch))));
        actual[name] = hex;
    }
    const char* write = std::getenv("KADENZO_WRITE_FAILURE_TEXTS");
    if (write != nullptr && std::string(write) == "1") {
        std::ofstream out(kExpectedTexts);
        for (const auto& [name, hash] : actual) out << name << ' ' << hash << '\n';
        GTEST_SKIP() << "wrote " << kExpectedTexts;
    }
    std::ifstream in(kExpectedTexts);
    ASSERT_TRUE(in) << kExpectedTexts;
    std::map<std::string, std::string> expected;
    for (std::string name, hash; in >> name >> hash;) expected[name] = hash;
    ASSERT_EQ(expected.size(), actual.size()) << "the cases changed: write the file again from a correct build";
    std::size_t differing = 0;
    for (const auto& [name, hash] : actual) {
        if (expected[name] != hash && ++differing <= 20) {
            ADD_FAILURE() << name << ": the texts differ; now:\n" << texts_of(cases.at(name), scratch);
        }
    }
    EXPECT_EQ(differing, 0u);
}

}  // namespace
}  // namespace kz::test
