// A fuzzing driver that builds with any compiler: it mutates the seed corpus
// at random and runs each result through a target of targets.hpp, for a
// bounded time. It has no coverage feedback, so it is a smoke test beside
// the libFuzzer harnesses (scripts/fuzz.sh), not a replacement: built with
// the sanitized tests, it lets every test run fuzz each target for seconds.
//
//   kadenzo_fuzz_smoke TARGET SECONDS SEED_DIR [RANDOM_SEED]
//   kadenzo_fuzz_smoke --list        (the names of the targets, one a line)
//
// A crash, a sanitizer report or a broken invariant aborts with the input
// written to fuzz-smoke-<target>.bin in the working directory.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "targets.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> read_seeds(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (entry.is_regular_file()) paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());  // the same run for the same random seed
    std::vector<Bytes> seeds;
    for (const auto& path : paths) {
        std::ifstream file(path, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return seeds;
}

// Values that sit on the edges the decoder checks: signs, widths, markers.
constexpr std::uint8_t kInteresting[] = {0x00, 0x01, 0x0B, 0x2C, 0x7C, 0x2D, 0x2E, 0x30, 0x39, 0x7F, 0x80, 0xFF};

// One to four mutations of the kinds that find decoder faults: bit flips,
// edge bytes, cut, grown and repeated ranges, and a splice from another seed.
Bytes mutate(const std::vector<Bytes>& seeds, std::mt19937_64& random) {
    auto pick = [&](std::size_t bound) { return bound == 0 ? std::size_t{0} : std::size_t(random() % bound); };
    Bytes input = seeds[pick(seeds.size())];
    for (std::size_t round = 0, rounds = 1 + pick(4); round < rounds; ++round) {
        const std::size_t at = pick(input.size() + 1);
        switch (pick(6)) {
            case 0:
                if (at < input.size()) input[at] = static_cast<std::uint8_t>(input[at] ^ (1u << pick(8)));
                break;
            case 1:
                if (at < input.size()) input[at] = kInteresting[pick(sizeof kInteresting)];
                break;
            case 2:
                input.erase(input.begin() + static_cast<std::ptrdiff_t>(at),
                            input.begin() + static_cast<std::ptrdiff_t>(std::min(input.size(), at + 1 + pick(16))));
                break;
            case 3:
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), 1 + pick(8),
                             static_cast<std::uint8_t>(random()));
                break;
            case 4: {
                const std::size_t length = std::min(input.size() - std::min(at, input.size()), 1 + pick(32));
                const Bytes chunk(input.begin() + static_cast<std::ptrdiff_t>(at),
                                  input.begin() + static_cast<std::ptrdiff_t>(at + length));
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), chunk.begin(), chunk.end());
                break;
            }
            default: {
                const Bytes& other = seeds[pick(seeds.size())];
                const std::size_t from = pick(other.size() + 1);
                input.resize(at);
                input.insert(input.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
            }
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string_view(argv[1]) == "--list") {
        for (const auto& target : kz::fuzz::kTargets)
            std::printf("%.*s\n", int(target.name.size()), target.name.data());
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TARGET SECONDS SEED_DIR [RANDOM_SEED]\n", argv[0]);
        return 2;
    }
    const std::string name = argv[1];
    const auto run = kz::fuzz::target_named(name);
    if (run == nullptr) {
        std::fprintf(stderr, "no fuzz target named %s\n", name.c_str());
        return 2;
    }
    const auto budget = std::chrono::duration<double>(std::atof(argv[2]));
    const std::vector<Bytes> seeds = read_seeds(argv[3]);
    if (seeds.empty()) {
        std::fprintf(stderr, "no seeds in %s\n", argv[3]);
        return 2;
    }
    std::mt19937_64 random(argc > 4 ? std::strtoull(argv[4], nullptr, 10) : std::random_device{}());
    const kz::QuietStops quiet;  // a stop is an expected outcome: no line per input
    const std::string crash_file = "fuzz-smoke-" + name + ".bin";
    const auto start = std::chrono::steady_clock::now();
    std::size_t runs = 0;
    while (std::chrono::steady_clock::now() - start < budget) {
        const Bytes input = mutate(seeds, random);
        // Written first, so that an abort leaves the input behind; removed below.
        std::ofstream(crash_file, std::ios::binary)
            .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
        // An exactly sized heap copy, so that the sanitizers see a read past its end.
        auto* exact = new std::uint8_t[std::max<std::size_t>(input.size(), 1)];
        std::copy(input.begin(), input.end(), exact);
        run(exact, input.size());
        delete[] exact;
        ++runs;
    }
    std::filesystem::remove(crash_file);
    std::printf("fuzz smoke: %s ran %zu inputs in %.0f s\n", name.c_str(), runs, budget.count());
    return 0;
}
