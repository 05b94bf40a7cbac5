// Micro benchmark of the frame-text and life-bar decoders of the core, with
// liblzma's own decompression of the same blocks as the floor.
//
// Build (a Release build by default) and run:
//   cmake -S . -B build/bench -DKADENZO_BUILD_BENCH=ON -DKADENZO_BUILD_EXTENSION=OFF && cmake --build build/bench && build/bench/frame_text_bench
//
// For each play mode it writes realistic texts (cursor paths easing towards
// targets with hand jitter, 0-4 fraction digits; key modes idle most frames;
// 60-70 Hz input with late and bunched frames), compresses them as the game
// does (legacy LZMA header), and reports in thread CPU time, medians of
// interleaved repetitions:
//   floor  = liblzma decoding every block into an allocated, pre-touched buffer;
//   parse  = decode_frame_text on the texts;
//   ratio  = (floor + parse) / floor, the full decode against the floor.
// With a third argument (a mode name) it only parses that mode's texts, for a profiler.
// Then the cost of one life-bar text of 134 samples, the size of a long play's.
#include <lzma.h>
#include <time.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "readers/life_bar.hpp"
#include "replay_events/frame_text.hpp"

namespace {

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

enum Mode { Cursor, Drums, Catch, Columns };
const char* const kModeNames[] = {"cursor", "drums", "catch", "columns"};

struct Writer {
    std::string text;
    void number(double v) {
        char buffer[40];
        text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, v).ptr);
    }
    void number(long v) {
        char buffer[24];
        text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, v).ptr);
    }
    void item(long t, auto x, auto y, long keys) {
        number(t);
        text += '|';
        number(x);
        text += '|';
        number(y);
        text += '|';
        number(keys);
        text += ',';
    }
};

struct Play {
    std::mt19937_64 rng;
    explicit Play(std::uint64_t seed) : rng(seed) {}
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(rng); }
    long integer(long a, long b) { return std::uniform_int_distribution<long>(a, b)(rng); }
    double gauss(double s) { return std::normal_distribution<double>(0, s)(rng); }

    // The game samples input at about 60-70 Hz; a few frames come late or bunched.
    long time_delta() {
        const double roll = uniform(0, 1);
        if (roll < 0.90) return integer(15, 17);
        if (roll < 0.96) return integer(1, 14);
        return integer(18, 120);
    }
    // Positions are stored with zero to four fraction digits.
    double coordinate(double v) {
        const long digits = integer(0, 6);
        const double scale = std::pow(10.0, double(std::min(digits, 4L)));
        return std::round(v * scale) / scale;
    }
    // Key states: idle stretches and presses held for a few frames.
    std::vector<long> held(const std::vector<long>& choices, long count, long idle_max, long press_max) {
        std::vector<long> states;
        while (long(states.size()) < count) {
            states.insert(states.end(), std::size_t(integer(2, idle_max)), 0);
            const long key = choices[std::size_t(integer(0, long(choices.size()) - 1))];
            states.insert(states.end(), std::size_t(integer(2, press_max)), key);
        }
        states.resize(std::size_t(count));
        return states;
    }

    std::string text(Mode mode, long count) {
        Writer w;
        if (mode == Cursor) {
            w.item(0, 256.0, -500.0, 0);
            w.item(-1, 256.0, -500.0, 0);
            const auto keys = held({1, 2, 5, 10, 5, 10, 16}, count, 12, 8);
            double x = 256, y = 192, tx = x, ty = y;
            for (long i = 0; i < count; ++i) {
                if (uniform(0, 1) < 0.04) tx = uniform(-20, 532), ty = uniform(-20, 404);
                x += (tx - x) * uniform(0.1, 0.4) + gauss(0.8);
                y += (ty - y) * uniform(0.1, 0.4) + gauss(0.8);
                w.item(time_delta(), coordinate(x), coordinate(y), keys[std::size_t(i)]);
            }
        } else if (mode == Drums) {
            const auto keys = held({1, 2, 4, 8, 5, 10}, count, 40, 6);
            for (long i = 0; i < count; ++i) w.item(time_delta(), 320L, 0L, keys[std::size_t(i)]);
        } else if (mode == Catch) {
            double x = 256, target = 256;
            bool dashing = false;
            for (long i = 0; i < count; ++i) {
                if (uniform(0, 1) < 0.05) target = uniform(0, 512), dashing = uniform(0, 1) < 0.3;
                const double step = (dashing ? 14.0 : 7.0) * uniform(0.8, 1.2);
                x = x < target ? std::min(x + step, target) : std::max(x - step, target);
                w.item(time_delta(), coordinate(x), 0L, long(dashing && x != target));
            }
        } else {
            std::vector<long> chords;
            for (int i = 0; i < 24; ++i) {
                long chord = 0;
                for (long n = integer(1, 3); n > 0; --n) chord |= 1L << integer(0, 6);
                chords.push_back(chord);
            }
            const auto keys = held(chords, count, 40, 8);
            for (long i = 0; i < count; ++i) w.item(time_delta(), keys[std::size_t(i)], 0L, 0L);
        }
        w.text += "-12345|0|0|";
        w.number(integer(0, 2147483647));
        w.text += ',';
        return w.text;
    }
};

std::vector<std::uint8_t> compress(const std::string& text) {
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.dict_size = 1 << 21;
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&stream, &options) != LZMA_OK) std::abort();
    std::vector<std::uint8_t> out(text.size() + (1 << 16));
    stream.next_in = reinterpret_cast<const std::uint8_t*>(text.data());
    stream.avail_in = text.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    if (lzma_code(&stream, LZMA_FINISH) != LZMA_STREAM_END) std::abort();
    out.resize(out.size() - stream.avail_out);
    lzma_end(&stream);
    return out;
}

std::size_t decompress(const std::vector<std::uint8_t>& block, std::vector<char>& out) {
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&stream, UINT64_MAX) != LZMA_OK) std::abort();
    stream.next_in = block.data();
    stream.avail_in = block.size();
    stream.next_out = reinterpret_cast<std::uint8_t*>(out.data());
    stream.avail_out = out.size();
    const lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    if (ret != LZMA_STREAM_END) std::abort();
    const std::size_t size = out.size() - stream.avail_out;
    lzma_end(&stream);
    return size;
}

template <class Frame>
std::size_t parse(std::string_view text) {
    const auto decoded = kz::decode_frame_text<Frame>(text);
    return decoded.frames.size();
}

std::size_t parse_mode(Mode mode, std::string_view text) {
    switch (mode) {
        case Cursor: return parse<kz::ReplayEventKivo>(text);
        case Drums: return parse<kz::ReplayEventTaiko>(text);
        case Catch: return parse<kz::ReplayEventCatch>(text);
        case Columns: return parse<kz::ReplayEventMania>(text);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int plays = argc > 1 ? std::atoi(argv[1]) : 8;
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 7;
    std::printf("liblzma %s; %d plays per mode, 18-26k frames each; medians of %d repetitions, thread CPU time\n",
                lzma_version_string(), plays, repetitions);
    std::printf("%-8s %9s %7s %9s %9s %9s %7s %8s\n", "mode", "text MB", "comp", "floor ms", "parse ms", "ns/frame",
                "ratio", "MB/s");
    for (int m = 0; m < 4; ++m) {
        const Mode mode = Mode(m);
        std::vector<std::string> texts;
        std::vector<std::vector<std::uint8_t>> blocks;
        std::size_t text_bytes = 0, block_bytes = 0, largest = 0;
        for (int i = 0; i < plays; ++i) {
            Play play(std::uint64_t(1000 * m + i));
            texts.push_back(play.text(mode, play.integer(18000, 26000)));
            blocks.push_back(compress(texts.back()));
            text_bytes += texts.back().size();
            block_bytes += blocks.back().size();
            largest = std::max(largest, texts.back().size());
        }
        if (argc > 3) {  // profiling aid: only the parsing of one mode, many times
            if (std::strcmp(argv[3], kModeNames[m]) != 0) continue;
            std::size_t frames = 0;
            for (int r = 0; r < 20 * repetitions; ++r)
                for (const auto& text : texts) frames += parse_mode(mode, text);
            std::printf("%s: %zu frames parsed\n", kModeNames[m], frames);
            continue;
        }
        std::vector<char> out(largest + 1, 1);  // allocated and touched once
        std::vector<double> floor_times, parse_times;
        std::size_t frames = 0;
        for (int r = 0; r < repetitions; ++r) {
            double t0 = cpu_seconds();
            for (const auto& block : blocks) decompress(block, out);
            floor_times.push_back(cpu_seconds() - t0);
            frames = 0;
            t0 = cpu_seconds();
            for (const auto& text : texts) frames += parse_mode(mode, text);
            parse_times.push_back(cpu_seconds() - t0);
        }
        const double floor_s = median(floor_times), parse_s = median(parse_times);
        std::printf("%-8s %9.2f %6.1f:1 %9.2f %9.2f %9.2f %7.3f %8.0f\n", kModeNames[m], double(text_bytes) / 1e6,
                    double(text_bytes) / double(block_bytes), floor_s * 1e3, parse_s * 1e3,
                    parse_s * 1e9 / double(frames), (floor_s + parse_s) / floor_s, double(text_bytes) / parse_s / 1e6);
    }

    // A life bar of 134 samples ("time|life" every ~2 s, life with 0-2 fraction digits).
    std::string life_bar;
    Play play(7);
    double life = 1.0;
    for (long i = 0; i < 134; ++i) {
        char buffer[40];
        life_bar.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, i * 2000).ptr);
        life_bar += '|';
        life_bar.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, std::round(life * 100) / 100).ptr);
        life_bar += ',';
        life = std::clamp(life + play.uniform(-0.15, 0.1), 0.0, 1.0);
    }
    std::vector<double> life_times;
    constexpr int kCalls = 20000;
    for (int r = 0; r < repetitions; ++r) {
        const double t0 = cpu_seconds();
        std::size_t samples = 0;
        for (int i = 0; i < kCalls; ++i) samples += kz::decode_life_bar_text(life_bar)->size();
        life_times.push_back(cpu_seconds() - t0);
        if (samples != std::size_t(134) * kCalls) std::abort();
    }
    std::printf("life bar, 134 samples (%zu bytes): %.3f us per text\n", life_bar.size(),
                median(life_times) / kCalls * 1e6);
    return 0;
}
