// Replays the fuzzer's seed corpus through the parser with the same driver
// as the fuzz target, so a regression shows up without clang.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "parser_driver.h"

namespace orvane {
namespace {

TEST(ParserCorpus, EveryInputReplaysCleanly) {
    const std::filesystem::path dir(ORVANE_PARSER_CORPUS_DIR);
    ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir;
    std::size_t replayed = 0;
    std::uint64_t sink = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        ASSERT_TRUE(in) << entry.path();
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string problem = fuzz::replay_parser_input(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                                              bytes.size(), sink);
        EXPECT_EQ(problem, "") << entry.path();
        ++replayed;
    }
    EXPECT_GE(replayed, 20u) << "seed corpus missing from " << dir;
}

}  // namespace
}  // namespace orvane
