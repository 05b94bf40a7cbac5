// Decoding of the life-bar graph string into samples.
#include "readers/life_bar.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "failure/stop.hpp"
#include "failure/failure_text.hpp"
#include "readers/byte_reader.hpp"
#include "text/number_text.hpp"
#include "text/text_scan.hpp"

namespace kz {
namespace {

// The sample's place is added where the text is read (decode_life_bar_text).
[[noreturn]] void stop_bad_time(IntErrorKind kind) {
    DecodeFailure failure;
    failure.cause = FailureCause::BadLifeBarTime;
    failure.int_error = static_cast<std::uint8_t>(kind);
    stop_decode(std::move(failure));
}

[[noreturn]] void stop_bad_life() {
    DecodeFailure failure;
    failure.cause = FailureCause::BadLifeBarLife;
    stop_decode(std::move(failure));
}

// The general rules for one piece, its ',' excluded: the time before the
// life, so a piece bad in both reports its time; no '|', no sample.
std::optional<LifeBarState> read_piece(const char* piece, const char* piece_end) {
    const char* const bar = find_byte(piece, piece_end, '|');
    if (bar == piece_end) return std::nullopt;
    const StrictU32 time = parse_strict_u32(std::string_view(piece, static_cast<std::size_t>(bar - piece)));
    if (time.error) stop_bad_time(*time.error);
    const auto life =
        parse_strict_float<float>(std::string_view(bar + 1, static_cast<std::size_t>(piece_end - bar - 1)));
    if (!life) stop_bad_life();
    return LifeBarState{time.value, *life};
}

// The common life, "0.95" or "1": digits with an optional '.' and digits, at
// most 7 in all and up to the ',' or the end of the text. Mantissa and power
// of ten are both exact in a float, so one division rounds correctly, as the
// general float reader's own fast path does. nullptr for anything else.
// With kFar the text is known to go on for kFarBytes more, and the end is not checked.
constexpr std::ptrdiff_t kFarBytes = 32;

template <bool kFar>
const char* read_plain_life(const char* p, const char* end, float& out) noexcept {
    if constexpr (FLT_EVAL_METHOD != 0) return nullptr;
    using number_text_detail::is_digit;
    const char* const start = p;
    std::uint32_t mantissa = 0;
    for (; (kFar || p != end) && p - start < 8 && is_digit(*p); ++p) mantissa = mantissa * 10 + std::uint32_t(*p - '0');
    std::ptrdiff_t count = p - start;
    std::ptrdiff_t fraction = 0;
    if ((kFar || p != end) && *p == '.') {
        const char* const fraction_start = ++p;
        for (; (kFar || p != end) && p - start < 9 && is_digit(*p); ++p) {
            mantissa = mantissa * 10 + std::uint32_t(*p - '0');
        }
        fraction = p - fraction_start;
        count += fraction;
    }
    if (count == 0 || count > 7 || ((kFar || p != end) && *p != ',')) return nullptr;
    const auto m = static_cast<float>(mantissa);
    out = fraction == 0 ? m : m / number_text_detail::FastPathLimits<float>::powers[fraction];
    return p;
}

// How many of the eight bytes at p are ASCII digits before the first that is
// not (8 when all are), and their value: eight bytes at a time, as times run
// to five or six digits.
inline int leading_digits(const char* p, std::uint32_t& value) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    constexpr std::uint64_t each = 0x0101010101010101;
    constexpr std::uint64_t high = 0x8080808080808080;
    // Adding to the low seven bits of a byte never carries into the next.
    const std::uint64_t low = word & ~high;
    const std::uint64_t not_digit = ((low + 0x46 * each) | ~(low + 0x50 * each) | word) & high;
    const int count = not_digit == 0 ? 8 : __builtin_ctzll(not_digit) / 8;
    if (count == 0 || count == 8) return count;
    // Shifted up so that the missing leading digits read as zeros.
    std::uint64_t v = (word & (0x0F * each)) << (8 * (8 - count));
    v = (v * 10) + (v >> 8);
    v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
         (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
        32;
    value = static_cast<std::uint32_t>(v);
    return count;
}

// The common piece, "1234|0.95": a time of a few digits (no overflow, no
// sign), '|', then the common life. Gives the piece's end with its sample, or
// nullptr and leaves the piece to read_piece.
template <bool kFar>
const char* read_plain_piece(const char* p, const char* end, LifeBarState& sample) noexcept {
    if constexpr (kFar) {
        const int count = leading_digits(p, sample.time);
        if (count == 0 || count == 8 || p[count] != '|') return nullptr;
        return read_plain_life<kFar>(p + count + 1, end, sample.life);
    }
    const char* const digits = p;
    std::uint32_t time = 0;
    for (; p != end && p - digits < 9 && number_text_detail::is_digit(*p); ++p) {
        time = time * 10 + std::uint32_t(*p - '0');
    }
    if (p == digits || p == end || *p != '|') return nullptr;
    sample.time = time;
    return read_plain_life<kFar>(p + 1, end, sample.life);
}

}  // namespace

LifeBarGraph decode_life_bar_text(std::string_view text) {
    const char* piece = text.data();
    const char* const end = piece + text.size();
    // Only a piece with a '|' yields a sample or stops.
    const std::size_t bars = count_byte(piece, end, '|');
    if (bars == 0) return std::nullopt;
    Vec<LifeBarState> samples;
    // Room for all at once: each sample has its own '|' and takes at least
    // four bytes with its ','.
    samples.reserve(std::min(bars, (text.size() + 1) / 4));
    try {
        while (true) {
            LifeBarState sample;
            const char* piece_end = end - piece >= kFarBytes ? read_plain_piece<true>(piece, end, sample)
                                                             : read_plain_piece<false>(piece, end, sample);
            if (piece_end != nullptr) {
                samples.push_back(sample);
            } else {
                piece_end = find_byte(piece, end, ',');
                if (const std::optional<LifeBarState> read = read_piece(piece, piece_end)) samples.push_back(*read);
            }
            if (piece_end == end) break;
            piece = piece_end + 1;
        }
    } catch (Stop& stopped) {
        // The failing sample: every piece counts, with or without a '|'.
        DecodeFailure& failure = stopped.failure();
        failure.item = count_byte(text.data(), piece, ',');
        failure.item_offset = static_cast<std::uint64_t>(piece - text.data());
        throw;
    }
    if (samples.empty()) return std::nullopt;
    return samples;
}

Result<LifeBarGraph> parse_life_bar_graph(ByteView input, std::uint8_t field) {
    ByteView rest = input;
    KZ_TRY(text, rest, parse_string(input, field, "parse_life_bar_graph"));
    if (!text) return {LifeBarGraph{}, rest};
    try {
        return {decode_life_bar_text(*text), rest};
    } catch (Stop& stopped) {
        // The sample's offset in the field: the text's bytes end where the rest begins.
        DecodeFailure& failure = stopped.failure();
        failure.field = field;
        failure.offset = static_cast<std::uint64_t>(rest.data() - input.data()) - text->size() + failure.item_offset;
        throw;
    }
}

}  // namespace kz
