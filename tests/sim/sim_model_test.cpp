// The simulator's framing: batches cut into commands and the output frame
// (the rest of the model is exercised end to end by the library tests).
#include <gtest/gtest.h>

#include <string>

#include "protocol.h"

namespace orvane::sim {
namespace {

TEST(SimProtocol, SplitsBatchesIntoCommandsAndTheOutputFrame) {
    const auto pieces = protocol::split_line("160:0,25.0,10.000000!170:1!!110:1,2,3");
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0].kind, protocol::PieceKind::command);
    EXPECT_EQ(pieces[0].code, "160");
    EXPECT_EQ(pieces[0].payload, "0,25.0,10.000000");
    EXPECT_EQ(pieces[1].text, "170:1!");
    EXPECT_EQ(pieces[2].kind, protocol::PieceKind::output_frame);
    EXPECT_EQ(pieces[2].payload, "1,2,3");

    const auto tail = protocol::split_line("170:1!junk");
    ASSERT_EQ(tail.size(), 2u);
    EXPECT_EQ(tail[1].kind, protocol::PieceKind::unknown);
    EXPECT_EQ(tail[1].text, "junk");

    const auto polls = protocol::split_line("2001:2001");
    ASSERT_EQ(polls.size(), 1u);
    EXPECT_EQ(polls[0].kind, protocol::PieceKind::poll);

    // A frame closed by "!" and followed by another command.
    const auto after = protocol::split_line("!110:0!170:2!");
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].payload, "0");
    EXPECT_EQ(after[1].text, "170:2!");
}

}  // namespace
}  // namespace orvane::sim
