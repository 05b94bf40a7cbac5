// Test helpers that write replay bytes: a little-endian field builder, legacy
// LZMA blocks made with liblzma's own encoder, and stop capture.
#pragma once

#include <lzma.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "failure/stop.hpp"
#include "failure/decode_result.hpp"

namespace kz::test {

using ByteVec = std::vector<std::uint8_t>;

inline ByteView view_of(const ByteVec& bytes) { return ByteView(bytes.data(), bytes.size()); }

inline std::string text_of(const String& s) { return std::string(s.data(), s.size()); }

// What every message of a failed decode starts with.
inline const std::string kUnwrap = "called `Result::unwrap()` on an `Err` value: ";

// Runs `fn` and returns the message of the stop it raises, or "<no stop>".
template <class Fn>
std::string stop_message(Fn&& fn) {
    try {
        fn();
    } catch (const Stop& stop) {
        return text_of(stop.message());
    }
    return "<no stop>";
}

// Appends fields in the replay file's encoding.
class ReplayBytes {
public:
    ReplayBytes& u8(std::uint8_t v) { return raw(&v, 1); }
    ReplayBytes& u16(std::uint16_t v) { return raw(&v, 2); }
    ReplayBytes& u32(std::uint32_t v) { return raw(&v, 4); }
    ReplayBytes& u64(std::uint64_t v) { return raw(&v, 8); }
    ReplayBytes& raw(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
        return *this;
    }
    ReplayBytes& raw(const ByteVec& b) { return raw(b.data(), b.size()); }
    // Absent (marker 0x00) or present (0x0B, ULEB128 length, payload).
    ReplayBytes& str(std::optional<std::string_view> text) {
        if (!text) return u8(0x00);
        u8(0x0B);
        std::uint64_t n = text->size();
        do {
            u8(static_cast<std::uint8_t>((n & 0x7F) | (n > 0x7F ? 0x80 : 0)));
            n >>= 7;
        } while (n != 0);
        return raw(text->data(), text->size());
    }
    // Length field and block.
    ReplayBytes& block(const ByteVec& b) { return u32(static_cast<std::uint32_t>(b.size())).raw(b); }

    const ByteVec& bytes() const { return bytes_; }

private:
    ByteVec bytes_;
};

// The fields before the block: mode, version, three strings, six counts,
// score, combo, perfect, mods, life-bar string, time stamp.
inline ReplayBytes header_through_timestamp(std::uint8_t mode) {
    ReplayBytes r;
    r.u8(mode).u32(20240101).str("0123456789abcdef").str("player").str(std::nullopt);
    for (const std::uint16_t count : std::initializer_list<std::uint16_t>{300, 100, 50, 0xFFFF, 40000, 2}) r.u16(count);
    r.u32(0x80000000u).u16(777).u8(2).u32(24).str("0|1,250|0.5,").u64(0x0123456789ABCDEFull);
    return r;
}

// A legacy LZMA stream made by liblzma's encoder (size "unknown", end marker).
// `produce(into, room)` writes the next input and returns its length; 0 ends it.
inline ByteVec compress_alone_from(const std::function<std::size_t(std::uint8_t*, std::size_t)>& produce,
                                   std::uint32_t dict_size = 1u << 20) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 0);
    options.dict_size = dict_size;
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&stream, &options) != LZMA_OK) throw std::runtime_error("encoder set-up");
    ByteVec input(1 << 20), out(64);
    lzma_ret ret = LZMA_OK;
    while (ret == LZMA_OK) {
        if (stream.avail_in == 0) {
            stream.next_in = input.data();
            stream.avail_in = produce(input.data(), input.size());
        }
        if (stream.total_out == out.size()) out.resize(out.size() * 2);
        stream.next_out = out.data() + stream.total_out;
        stream.avail_out = out.size() - stream.total_out;
        ret = lzma_code(&stream, stream.avail_in == 0 ? LZMA_FINISH : LZMA_RUN);
    }
    out.resize(stream.total_out);
    lzma_end(&stream);
    if (ret != LZMA_STREAM_END) throw std::runtime_error("encoder");
    return out;
}

inline ByteVec compress_alone(std::string_view text, std::uint32_t dict_size = 1u << 20) {
    std::size_t at = 0;
    return compress_alone_from(
        [&](std::uint8_t* into, std::size_t room) {
            const std::size_t n = std::min(room, text.size() - at);
            std::memcpy(into, text.data() + at, n);
            at += n;
            return n;
        },
        dict_size);
}

// Writes the uncompressed size the stream header declares (bytes 5..12).
inline ByteVec with_declared_size(ByteVec block, std::uint64_t size) {
    std::memcpy(block.data() + 5, &size, 8);
    return block;
}

}  // namespace kz::test
