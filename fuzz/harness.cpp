// The libFuzzer entry point of one target; CMake builds this file once per
// target with KZ_FUZZ_TARGET naming the body in targets.hpp.
#include "targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kz::fuzz::KZ_FUZZ_TARGET(data, size);
    return 0;
}
