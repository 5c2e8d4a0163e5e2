// libFuzzer target: arbitrary texts through Orvane_cmd codes 3 and 5 on a
// Runtime that counts as connected. Only the two documented conversion
// errors may leave the call; anything else, or a broken promise about what
// was queued and stored, aborts.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "cmd_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string problem;
    try {
        problem = orvane::fuzz::replay_cmd_input(data, size);
    } catch (const std::exception& e) {
        problem = std::string("unexpected exception: ") + e.what();
    } catch (...) {
        problem = "unexpected exception of an unknown type";
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "cmd check failed: %s\n", problem.c_str());
        std::abort();
    }
    return 0;
}
