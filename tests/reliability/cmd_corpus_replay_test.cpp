// Replays the cmd fuzzer's seed corpus through the same driver as the fuzz
// target, so a regression in codes 3 and 5 shows up without clang.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "cmd_driver.h"

namespace orvane {
namespace {

TEST(CmdCorpus, EveryInputReplaysCleanly) {
    const std::filesystem::path dir(ORVANE_CMD_CORPUS_DIR);
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        ASSERT_TRUE(in) << entry.path();
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string problem;
        try {
            problem = fuzz::replay_cmd_input(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        } catch (const std::exception& e) {
            problem = std::string("unexpected exception: ") + e.what();
        }
        EXPECT_EQ(problem, "") << entry.path();
        ++replayed;
    }
    EXPECT_GE(replayed, 20u) << "seed corpus missing from " << dir;
}

}  // namespace
}  // namespace orvane
