#include "state/number_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <utility>

namespace orvane {
namespace {

constexpr std::int32_t i32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t i32_min = std::numeric_limits<std::int32_t>::min();

// Read like atoi, but saturating at the int32 limits (not wrapping).
TEST(LenientInt, ReadsLikeAtoiAndSaturates) {
    const std::pair<const char*, std::int32_t> cases[] = {
        {"42", 42}, {"  -12abc", -12}, {" \t\n\v\f\r+7", 7}, {"12\r", 12}, {"007", 7}, {"1e3", 1}, {"0x10", 0},
        {"3.9", 3}, {"", 0}, {"abc", 0}, {"-", 0}, {"+-1", 0}, {"- 1", 0}, {"\r", 0},
        {"2147483647", i32_max}, {"-2147483648", i32_min}, {"2147483648", i32_max}, {"-2147483649", i32_min},
        {"99999999999999999999999999", i32_max}, {"-99999999999999999999999999", i32_min},
        {"4294967296", i32_max}, {"-4294967297", i32_min}};
    for (const auto& [text, value] : cases) EXPECT_EQ(lenient_int(text), value) << '"' << text << '"';
}

TEST(LenientInt, NumbersInsideLongerText) {
    // Numbers followed by more text, as inside a reply, of every length around eight bytes.
    const std::tuple<const char*, std::int32_t, std::size_t> cases[] = {
        {"1,2,3,4,5,6,7", 1, 1}, {"1234567,89,10", 1234567, 7}, {"-7654321 and more", -7654321, 8},
        {"12345678,9", 12345678, 8}, {"123456789,0", 123456789, 9}, {"10000000,0,0,0", 10000000, 8},
        {"-0000001,000", -1, 8}, {"99999999999,0", i32_max, 11}, {",12345678", 0, 0}, {"x12345678", 0, 0},
        {"  +42\r\n100:1,2", 42, 5}, {"7\x80\xff\xff\xff\xff\xff\xff\xff", 7, 1}, {"123:45678", 123, 3},
    };
    for (const auto& [text, value, length] : cases) {
        SCOPED_TRACE(text);
        std::size_t used = 99;
        EXPECT_EQ(lenient_int(text, used), value);
        EXPECT_EQ(used, length);
        std::int32_t strict = 0;
        used = 99;
        const Conversion kind = strict_int(text, strict, used);
        if (length == 0) {
            EXPECT_EQ(kind, Conversion::invalid_argument);
            continue;
        }
        EXPECT_EQ(kind, value == i32_max ? Conversion::out_of_range : Conversion::ok);
        EXPECT_EQ(used, length);
        if (kind == Conversion::ok) {
            EXPECT_EQ(strict, value);
        }
    }
}

TEST(LenientInt, ViewIsNotReadPastItsEnd) {
    const std::string text = "1234567890123456";
    for (std::size_t n = 0; n <= text.size(); ++n) {
        const std::string_view view = std::string_view(text).substr(0, n);
        const long long whole = n == 0 ? 0 : std::stoll(std::string(view));
        EXPECT_EQ(lenient_int(view), whole > i32_max ? i32_max : static_cast<std::int32_t>(whole)) << n;
    }
}

TEST(StrictFloat, TextWithoutANumberIsInvalid) {
    for (const char* text : {"", ".", "-", "+", "e5", ".e5", "x1", "in", "na", " ", "\r", "- 1", "--1", "+.", ",1"}) {
        float value = 0.0f;
        EXPECT_EQ(strict_float(text, value), Conversion::invalid_argument) << '"' << text << '"';
    }
}

TEST(StrictFloat, ViewIsNotReadPastItsEnd) {
    const std::string text = "1.25e3";
    float value = 0.0f;
    ASSERT_EQ(strict_float(std::string_view(text).substr(0, 4), value), Conversion::ok);
    EXPECT_EQ(value, 1.25f);
    ASSERT_EQ(strict_float(std::string_view(text).substr(0, 5), value), Conversion::ok);
    EXPECT_EQ(value, 1.25f);
    EXPECT_EQ(strict_float(std::string_view(text).substr(0, 0), value), Conversion::invalid_argument);
}

TEST(StrictFloat, DecimalPointIsAPointWhateverTheLocale) {
    const char* found = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "German_Germany.1252", "de-DE"}) {
        found = std::setlocale(LC_NUMERIC, name);
        if (found != nullptr) break;
    }
    if (found == nullptr) GTEST_SKIP() << "no locale with a decimal comma on this machine";
    float value = 0.0f;
    const Conversion kind = strict_float("1.5", value);
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(kind, Conversion::ok);
    EXPECT_EQ(value, 1.5f);
}

}  // namespace
}  // namespace orvane
