// The native half of the speed guard (bench/speed_guard.py): decodes the
// guard's corpus with the core, and decompresses the same blocks with
// liblzma alone, inside functions that callgrind counts one at a time.
//
// Usage: speed_guard MANIFEST decode|both
//        speed_guard --compiler
// MANIFEST has one line per file: group, path, block offset, block length and
// text length, tab-separated; files of a group are consecutive. Per group,
// after one decode and one decompression that are not counted (first calls
// bind symbols and set up the thread's buffers), `both` counts liblzma's
// decompression of the group's blocks (the floor) and then the decode of its
// files, `decode` only the latter: callgrind's counters are zeroed before
// each and dumped after it under the name "floor GROUP" or "decode GROUP".
// The driver runs `decode` with collection toggled off inside liblzma's entry
// points, which leaves the decoder's own work. It prints, per group, the
// group's name, files, frames and frame-text bytes.
#include <lzma.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "failure/stop.hpp"
#include "replay_decode/replay_parser.hpp"

namespace {

struct Input {
    std::string group;
    std::vector<std::uint8_t> file;
    std::size_t block_offset = 0;
    std::size_t block_length = 0;
    std::size_t text_length = 0;
};

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "speed_guard: cannot read %s\n", path.c_str());
        std::exit(2);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<Input> read_manifest(const char* path) {
    std::ifstream in(path);
    std::vector<Input> inputs;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Input input;
        std::string file;
        std::getline(fields, input.group, '\t');
        std::getline(fields, file, '\t');
        fields >> input.block_offset >> input.block_length >> input.text_length;
        if (!fields) {
            std::fprintf(stderr, "speed_guard: bad manifest line: %s\n", line.c_str());
            std::exit(2);
        }
        input.file = read_file(file);
        inputs.push_back(std::move(input));
    }
    return inputs;
}

std::size_t frame_count(const kz::Replay& replay) {
    const auto& data = replay.replay_data;
    if (data.kivo_replay_data) return data.kivo_replay_data->size();
    if (data.taiko_replay_data) return data.taiko_replay_data->size();
    if (data.catch_replay_data) return data.catch_replay_data->size();
    if (data.mania_replay_data) return data.mania_replay_data->size();
    return 0;
}

std::size_t decode_one(const Input& input) {
    try {
        auto result =
            kz::parse_replay(kz::ByteView(input.file.data(), input.file.size()), kz::ByteOrder::Little, false);
        if (result) return frame_count(result.value());
    } catch (const kz::Stop& stop) {
        std::fprintf(stderr, "speed_guard: %s\n", stop.what());
    }
    std::exit(3);  // the guard's corpus is valid: a failure is a fault of the decoder
}

std::size_t decompress_one(const Input& input, std::vector<std::uint8_t>& out) {
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_alone_decoder(&stream, UINT64_MAX) != LZMA_OK) std::abort();
    stream.next_in = input.file.data() + input.block_offset;
    stream.avail_in = input.block_length;
    stream.next_out = out.data();
    stream.avail_out = out.size();
    const lzma_ret ret = lzma_code(&stream, LZMA_RUN);
    const std::size_t written = out.size() - stream.avail_out;
    lzma_end(&stream);
    if ((ret != LZMA_OK && ret != LZMA_STREAM_END) || written != input.text_length) std::abort();
    return written;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--compiler") == 0) {
#if defined(__clang__)
        std::printf("clang %d.%d.%d\n", __clang_major__, __clang_minor__, __clang_patchlevel__);
#elif defined(__GNUC__)
        std::printf("gcc %d.%d.%d\n", __GNUC__, __GNUC_MINOR__, __GNUC_PATCHLEVEL__);
#else
        std::printf("unknown\n");
#endif
        return 0;
    }
    if (argc != 3 || (std::strcmp(argv[2], "decode") != 0 && std::strcmp(argv[2], "both") != 0)) {
        std::fprintf(stderr, "usage: speed_guard MANIFEST decode|both\n       speed_guard --compiler\n");
        return 2;
    }
    const bool floor = std::strcmp(argv[2], "both") == 0;
    const std::vector<Input> inputs = read_manifest(argv[1]);
    std::size_t largest = 0;
    for (const Input& input : inputs) largest = std::max(largest, input.text_length);
    std::vector<std::uint8_t> out(largest + 1, 1);  // allocated and touched once, as the floor's buffer is

    for (std::size_t first = 0; first < inputs.size();) {
        std::size_t end = first;
        std::size_t text_bytes = 0;
        while (end < inputs.size() && inputs[end].group == inputs[first].group) text_bytes += inputs[end++].text_length;
        decode_one(inputs[first]);
        decompress_one(inputs[first], out);
        // The dumps' names are made before the counters are zeroed: only the work counts.
        const std::string floor_name = "floor " + inputs[first].group, decode_name = "decode " + inputs[first].group;
        if (floor) {
            std::size_t bytes = 0;
            CALLGRIND_ZERO_STATS;
            for (std::size_t i = first; i < end; ++i) bytes += decompress_one(inputs[i], out);
            CALLGRIND_DUMP_STATS_AT(floor_name.c_str());
            if (bytes != text_bytes) std::abort();
        }
        std::size_t frames = 0;
        CALLGRIND_ZERO_STATS;
        for (std::size_t i = first; i < end; ++i) frames += decode_one(inputs[i]);
        CALLGRIND_DUMP_STATS_AT(decode_name.c_str());
        std::printf("%s\t%zu\t%zu\t%zu\n", inputs[first].group.c_str(), end - first, frames, text_bytes);
        first = end;
    }
    return 0;
}
