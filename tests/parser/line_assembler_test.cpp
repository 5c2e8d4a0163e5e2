// Reply lines cut by receive boundaries, unended, or left over from an earlier connection.
#include "state/line_assembler.h"

#include "api/runtime.h"
#include "support/mirror_dump.h"
#include "support/status_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace orvane {
namespace {

using test::mirror_dump;
using test::reply_line;
using test::status_values;

// A status reply long enough to seed the outputs, with values in every kind of field.
std::string seeding_status() {
    auto v = status_values(42);
    for (std::size_t i = 0; i < 12; ++i) v[i] = std::to_string(1000 * (i + 1) + 7);
    v[12] = "85";
    v[13] = "10";
    v[14] = "2";
    v[15] = "129";
    v[16] = "66";
    v[17] = "255";
    for (std::size_t i = 18; i < 42; ++i) v[i] = std::to_string(255 - i);
    return reply_line("100", v) + "\r\n";
}

struct Fed {
    std::vector<std::string> texts;
    void operator()(std::string_view text) { texts.emplace_back(text); }
};

// For a runtime never started: bytes go straight from on_data to its mirror.
RuntimeConfig quiet_config() {
    RuntimeConfig config = RuntimeConfig::defaults();
    config.console = ConsoleLog::off;
    return config;
}

// The mirror after text fed in pieces cut at the given offsets.
std::string fed_in_pieces(const std::string& text, std::vector<std::size_t> cuts) {
    Runtime rt(quiet_config());
    rt.mirror().status_count.set(ControllerMirror::state_hold_off + 1);
    cuts.push_back(text.size());
    std::size_t from = 0;
    for (const std::size_t cut : cuts) {
        rt.on_data(std::string_view(text).substr(from, cut - from));
        from = cut;
    }
    return mirror_dump(rt.mirror());
}

TEST(LineAssembler, CutsAtAnyBytesLeaveTheSameMirror) {
    const std::string text = seeding_status() + "2001:V2.1\r\n190:" + std::string(24, 'F') + ",4,5,6,io\n";
    Runtime whole(quiet_config());
    whole.on_data(text);
    ASSERT_EQ(whole.mirror().output_value[0].get(), 237) << "the reference seeds the outputs";
    const std::string expected = fed_in_pieces(text, {});
    for (std::size_t a = 1; a < text.size(); ++a) {
        ASSERT_EQ(fed_in_pieces(text, {a}), expected) << "cut after byte " << a;
        for (std::size_t b = a + 1; a % 7 == 1 && b < text.size(); b += 11) {
            ASSERT_EQ(fed_in_pieces(text, {a, b}), expected) << "cuts after " << a << " and " << b;
        }
    }
}

TEST(LineAssembler, RepliesWithoutLineEndsGetThrough) {
    // Each unended reply is taken when the next begins with a reply code, the last when the controller falls quiet.
    Runtime rt(quiet_config());
    rt.on_data("2001:V3.0");
    EXPECT_EQ(rt.mirror().version_text.get(), "") << "a reply may still go on";
    rt.on_data("5010:answer");
    EXPECT_EQ(rt.mirror().version_text.get(), "V3.0");
    EXPECT_EQ(rt.mirror().reply_5010.get(), "-1");
    rt.on_quiet();
    EXPECT_EQ(rt.mirror().reply_5010.get(), "answer");
    rt.on_quiet();  // nothing kept: nothing happens
    EXPECT_EQ(rt.mirror().reply_5010.get(), "answer");
}

TEST(LineAssembler, ContinuationThatLooksLikeNoReplyIsJoined) {
    Fed fed;
    LineAssembler assembler;
    for (std::string_view chunk : {"2001:V", "1.2", "3\n5010:", "x\n1", "00:"}) assembler.feed(chunk, fed);
    EXPECT_EQ(fed.texts, (std::vector<std::string>{"2001:V1.23\n", "5010:x\n"}));
    EXPECT_TRUE(assembler.has_tail());
}

TEST(LineAssembler, TailIsDroppedWhenTheConnectionChanges) {
    for (bool up : {false, true}) {
        Runtime rt(quiet_config());
        rt.on_data("2001:OLD-");
        rt.on_connection_change(up);
        // Not the start of a reply: only a kept tail would make it one.
        rt.on_data("X\n");
        EXPECT_EQ(rt.mirror().version_text.get(), "") << (up ? "link came back" : "link went down");
        rt.on_data("2001:NEW\n");
        EXPECT_EQ(rt.mirror().version_text.get(), "NEW") << (up ? "link came back" : "link went down");
        rt.on_data("tail\n");
        EXPECT_EQ(rt.mirror().version_text.get(), "NEW");
    }
}

TEST(LineAssembler, OverlongTailIsDroppedUpToTheNextLineEnd) {
    Fed fed;
    LineAssembler assembler;
    const std::string junk(LineAssembler::tail_limit / 2 + 1, 'x');
    assembler.feed(junk, fed);
    assembler.feed(junk, fed);
    EXPECT_FALSE(assembler.has_tail());
    assembler.feed("still junk\n2001:V\n", fed);
    assembler.feed("5010:y", fed);
    assembler.flush(fed);
    EXPECT_EQ(fed.texts, (std::vector<std::string>{"2001:V\n", "5010:y"}));
}

TEST(LineAssembler, EveryReplyCodeEndsAnUnendedTail) {
    for (const char* code : {"100:", "125:", "190:", "520:", "5010:", "2001:"}) {
        LineAssembler assembler;
        Fed fed;
        assembler.feed("5010:x", fed);
        assembler.feed(std::string(code) + "1\n", fed);
        EXPECT_EQ(fed.texts, (std::vector<std::string>{"5010:x", std::string(code) + "1\n"})) << code;
    }
}

}  // namespace
}  // namespace orvane
