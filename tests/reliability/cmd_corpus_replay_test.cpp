// Replays the cmd fuzzer's stored corpus through the same driver as the fuzz
// target, so a regression in codes 3 and 5 shows up without clang.
#include <gtest/gtest.h>

#include <exception>
#include <string>

#include "cmd_driver.h"
#include "support/corpus_files.h"

namespace orvane {
namespace {

TEST(CmdCorpus, EveryInputReplaysCleanly) {
    const auto files = test::read_corpus(ORVANE_CMD_CORPUS_DIR);
    for (const auto& file : files) {
        std::string problem;
        try {
            problem = fuzz::replay_cmd_input(reinterpret_cast<const std::uint8_t*>(file.bytes.data()),
                                             file.bytes.size());
        } catch (const std::exception& e) {
            problem = std::string("unexpected exception: ") + e.what();
        }
        EXPECT_EQ(problem, "") << file.path;
    }
    EXPECT_GE(files.size(), 20u) << "stored corpus missing from " << ORVANE_CMD_CORPUS_DIR;
}

}  // namespace
}  // namespace orvane
