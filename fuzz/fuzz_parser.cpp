// libFuzzer target: arbitrary received bytes, cut into arbitrary chunks,
// through the line assembler and the reply parser into a fresh mirror, and
// again whole into another: both must hold the same.
#include <cstdio>
#include <cstdlib>

#include "parser_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::uint64_t sink = 0;
    const std::string problem = orvane::fuzz::replay_parser_input(data, size, sink);
    if (!problem.empty()) {
        std::fprintf(stderr, "mirror check failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
