// Replays the fuzzer's stored corpus through the parser with the same driver
// as the fuzz target, so a regression shows up without clang.
#include <gtest/gtest.h>

#include "parser_driver.h"
#include "support/corpus_files.h"

namespace orvane {
namespace {

TEST(ParserCorpus, EveryInputReplaysCleanly) {
    const auto files = test::read_corpus(ORVANE_PARSER_CORPUS_DIR);
    std::uint64_t sink = 0;
    for (const auto& file : files) {
        const std::string problem = fuzz::replay_parser_input(
            reinterpret_cast<const std::uint8_t*>(file.bytes.data()), file.bytes.size(), sink);
        EXPECT_EQ(problem, "") << file.path;
    }
    EXPECT_GE(files.size(), 20u) << "stored corpus missing from " << ORVANE_PARSER_CORPUS_DIR;
}

}  // namespace
}  // namespace orvane
