// Replays every saved fuzz finding through the same core entry points as the
// fuzz targets, without the fuzzer: a stop is fine, a crash or a broken
// invariant is not (the sanitizer build also catches memory errors here).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../../fuzz/targets.hpp"

namespace kz {
namespace {

namespace fs = std::filesystem;

struct Finding {
    std::string target;  // the folder's name: replay, frame_text, life_bar, debug_text
    fs::path path;
};

const fs::path kRegressionDir = fs::path(KADENZO_TEST_DATA_DIR) / "fuzz_regressions";

std::vector<Finding> saved_findings() {
    std::vector<Finding> findings;
    if (!fs::is_directory(kRegressionDir)) return findings;
    for (const auto& folder : fs::directory_iterator(kRegressionDir)) {
        if (!folder.is_directory()) continue;
        for (const auto& file : fs::directory_iterator(folder.path())) {
            if (file.is_regular_file()) findings.push_back({folder.path().filename().string(), file.path()});
        }
    }
    std::sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) { return a.path < b.path; });
    return findings;
}

using fuzz::target_named;

class FuzzRegression : public testing::TestWithParam<Finding> {};

TEST_P(FuzzRegression, RunsWithoutCrashing) {
    const Finding& finding = GetParam();
    const fuzz::TargetFn run = target_named(finding.target);
    ASSERT_NE(run, nullptr) << "no fuzz target named " << finding.target;
    std::ifstream file(finding.path, std::ios::binary);
    ASSERT_TRUE(file) << finding.path;
    // An exactly sized heap copy, as the fuzzer passes it, so that the
    // sanitizer build sees a read one byte past the end.
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    auto* input = new std::uint8_t[std::max<std::size_t>(bytes.size(), 1)];
    std::copy(bytes.begin(), bytes.end(), input);
    run(input, bytes.size());
    delete[] input;
}

// Every folder is a target, so that a finding is never silently not replayed.
TEST(FuzzRegressionFolders, NameTargets) {
    for (const Finding& finding : saved_findings()) {
        EXPECT_NE(target_named(finding.target), nullptr) << finding.path;
    }
}

std::string test_name(const testing::TestParamInfo<Finding>& info) {
    std::string name = info.param.target + "_" + info.param.path.filename().string();
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Saved, FuzzRegression, testing::ValuesIn(saved_findings()), test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(FuzzRegression);

}  // namespace
}  // namespace kz
