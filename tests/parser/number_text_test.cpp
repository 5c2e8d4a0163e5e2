#include "state/number_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace orvane {
namespace {

constexpr std::int32_t i32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t i32_min = std::numeric_limits<std::int32_t>::min();

TEST(LenientInt, ReadsLikeAtoi) {
    EXPECT_EQ(lenient_int("42"), 42);
    EXPECT_EQ(lenient_int("  -12abc"), -12);
    EXPECT_EQ(lenient_int(" \t\n\v\f\r+7"), 7);
    EXPECT_EQ(lenient_int("12\r"), 12);
    EXPECT_EQ(lenient_int("007"), 7);
    EXPECT_EQ(lenient_int("1e3"), 1);
    EXPECT_EQ(lenient_int("0x10"), 0);
    EXPECT_EQ(lenient_int("3.9"), 3);
}

TEST(LenientInt, TextWithoutANumberIsZero) {
    EXPECT_EQ(lenient_int(""), 0);
    EXPECT_EQ(lenient_int("abc"), 0);
    EXPECT_EQ(lenient_int("-"), 0);
    EXPECT_EQ(lenient_int("+-1"), 0);
    EXPECT_EQ(lenient_int("- 1"), 0);
    EXPECT_EQ(lenient_int("\r"), 0);
}

TEST(LenientInt, SaturatesAtInt32Limits) {
    EXPECT_EQ(lenient_int("2147483647"), i32_max);
    EXPECT_EQ(lenient_int("-2147483648"), i32_min);
    EXPECT_EQ(lenient_int("2147483648"), i32_max);
    EXPECT_EQ(lenient_int("-2147483649"), i32_min);
    EXPECT_EQ(lenient_int("99999999999999999999999999"), i32_max);
    EXPECT_EQ(lenient_int("-99999999999999999999999999"), i32_min);
    EXPECT_EQ(lenient_int("4294967296"), i32_max);  // would wrap to 0 if truncated
    EXPECT_EQ(lenient_int("-4294967297"), i32_min);
}

TEST(LenientInt, NumbersInsideLongerText) {
    // Numbers followed by more text, as inside a reply, of every length
    // around eight bytes.
    const struct {
        const char* text;
        std::int32_t value;
        std::size_t used;
    } cases[] = {
        {"1,2,3,4,5,6,7", 1, 1},
        {"1234567,89,10", 1234567, 7},
        {"-7654321 and more", -7654321, 8},
        {"12345678,9", 12345678, 8},
        {"123456789,0", 123456789, 9},
        {"10000000,0,0,0", 10000000, 8},
        {"-0000001,000", -1, 8},
        {"99999999999,0", i32_max, 11},
        {",12345678", 0, 0},
        {"x12345678", 0, 0},
        {"  +42\r\n100:1,2", 42, 5},
        {"7\x80\xff\xff\xff\xff\xff\xff\xff", 7, 1},
        {"123:45678", 123, 3},
    };
    for (const auto& c : cases) {
        std::size_t used = 99;
        EXPECT_EQ(lenient_int(c.text, used), c.value) << c.text;
        EXPECT_EQ(used, c.used) << c.text;
        std::int32_t strict = 0;
        used = 99;
        const Conversion kind = strict_int(c.text, strict, used);
        if (c.used == 0) {
            EXPECT_EQ(kind, Conversion::invalid_argument) << c.text;
        } else {
            EXPECT_EQ(kind, c.value == i32_max ? Conversion::out_of_range : Conversion::ok) << c.text;
            EXPECT_EQ(used, c.used) << c.text;
            if (kind == Conversion::ok) {
                EXPECT_EQ(strict, c.value) << c.text;
            }
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

struct IntCase {
    const char* text;
    Conversion kind;
    std::int32_t value;
};

TEST(StrictInt, ReadsLikeStrtolAndChecksInt32) {
    const IntCase cases[] = {
        {"42", Conversion::ok, 42},
        {" -17xyz", Conversion::ok, -17},
        {"+5", Conversion::ok, 5},
        {"\t\r\n 9", Conversion::ok, 9},
        {"1\r", Conversion::ok, 1},
        {"-0", Conversion::ok, 0},
        {"0000000000000000000000012", Conversion::ok, 12},
        {"2147483647", Conversion::ok, i32_max},
        {"-2147483648", Conversion::ok, i32_min},
        {"12.9", Conversion::ok, 12},
        {"0x1F", Conversion::ok, 0},
        {"2147483648", Conversion::out_of_range, 0},
        {"-2147483649", Conversion::out_of_range, 0},
        {"99999999999999999999", Conversion::out_of_range, 0},  // beyond 64-bit long too
        {"", Conversion::invalid_argument, 0},
        {"x", Conversion::invalid_argument, 0},
        {"-", Conversion::invalid_argument, 0},
        {"+ 1", Conversion::invalid_argument, 0},
        {"+-1", Conversion::invalid_argument, 0},
        {"\r", Conversion::invalid_argument, 0},
        {".5", Conversion::invalid_argument, 0},
    };
    for (const IntCase& c : cases) {
        std::int32_t value = -1;
        EXPECT_EQ(strict_int(c.text, value), c.kind) << '"' << c.text << '"';
        if (c.kind == Conversion::ok) {
            EXPECT_EQ(value, c.value) << '"' << c.text << '"';
        }
    }
}

struct FloatCase {
    const char* text;
    Conversion kind;
    float value;
};

TEST(StrictFloat, ReadsDecimalAndHexLikeStrtof) {
    const FloatCase cases[] = {
        {"1.5", Conversion::ok, 1.5f},
        {" +1.5xyz", Conversion::ok, 1.5f},
        {"-2.25e2", Conversion::ok, -225.0f},
        {"2.5E-1", Conversion::ok, 0.25f},
        {".5", Conversion::ok, 0.5f},
        {"5.", Conversion::ok, 5.0f},
        {"1e", Conversion::ok, 1.0f},
        {"1e+", Conversion::ok, 1.0f},
        {"1e+-3", Conversion::ok, 1.0f},
        {"7,5", Conversion::ok, 7.0f},
        {"0.1", Conversion::ok, 0.1f},
        {"10000.0\r", Conversion::ok, 10000.0f},
        {"-10000", Conversion::ok, -10000.0f},
        {"3.4028235e38", Conversion::ok, std::numeric_limits<float>::max()},
        {"3.4028235677973366e38", Conversion::ok, std::numeric_limits<float>::max()},  // just below the midpoint
        {"0x1.fffffefp127", Conversion::ok, std::numeric_limits<float>::max()},
        {"1.17549435e-38", Conversion::ok, std::numeric_limits<float>::min()},
        {"0x1p3", Conversion::ok, 8.0f},
        {"0X1.8P1", Conversion::ok, 3.0f},
        {"-0x10", Conversion::ok, -16.0f},
        {"0x.8", Conversion::ok, 0.5f},
        {"0x1p", Conversion::ok, 1.0f},
        {"0xAp+-1", Conversion::ok, 10.0f},
        {"0x", Conversion::ok, 0.0f},
        {"0xg", Conversion::ok, 0.0f},
        {"0e-50", Conversion::ok, 0.0f},
        {"0.000", Conversion::ok, 0.0f},
        {"00000000000000000000000000000000001.5", Conversion::ok, 1.5f},
    };
    for (const FloatCase& c : cases) {
        float value = -1.0f;
        EXPECT_EQ(strict_float(c.text, value), c.kind) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
}

TEST(StrictFloat, InfinityAndNotANumber) {
    for (const char* text : {"inf", "INF", "Infinity", "infinITY", " +inf", "infx"}) {
        float value = 0.0f;
        ASSERT_EQ(strict_float(text, value), Conversion::ok) << text;
        EXPECT_TRUE(std::isinf(value) && value > 0) << text;
    }
    float value = 0.0f;
    ASSERT_EQ(strict_float("-Inf", value), Conversion::ok);
    EXPECT_TRUE(std::isinf(value) && value < 0);
    for (const char* text : {"nan", "NaN", "nan(123abc)", "nan(", "NAN)x", " -nan"}) {
        value = 0.0f;
        ASSERT_EQ(strict_float(text, value), Conversion::ok) << text;
        EXPECT_TRUE(std::isnan(value)) << text;
    }
    ASSERT_EQ(strict_float("-nan", value), Conversion::ok);
    EXPECT_TRUE(std::signbit(value));
}

TEST(StrictFloat, RangeErrorsAsStrtofReportsThem) {
    for (const char* text : {"1e40", "-1e40", "3.5e38", "1e99999999999999999999", "0x1p200", "1e-50", "-1e-50", "1e-40",
                             "1e-99999999999999999999", "0x1p-200", "1.0e-45", "0x1.ffffffp127",
                             "3.4028235677973367e38", "0x1p99999999999999999999"}) {
        float value = 0.0f;
        EXPECT_EQ(strict_float(text, value), Conversion::out_of_range) << text;
    }
}

// Below the smallest normal float strtof reports a range error only for an
// inexact result; tininess is judged after rounding to 24 bits.
TEST(StrictFloat, TinyResultsAreOutOfRangeOnlyWhenInexact) {
    const FloatCase cases[] = {
        {"0x.000000000000000000000000000000000007", Conversion::ok, 0x1.cp-142f},
        {"0x1p-149", Conversion::ok, 0x1p-149f},
        {"-0x1p-147", Conversion::ok, -0x1p-147f},
        {"0x1.8p-148", Conversion::ok, 0x1.8p-148f},
        {"0x7fffffp-149", Conversion::ok, 0x1.fffffcp-127f},
        {"0x1.ffffffp-127", Conversion::ok, 0x1p-126f},  // 2^-126 once rounded to 24 bits: not tiny
        {"1.4012984643248170709237295832899161312802619418765157717570682838897910826858606014866381883621215820"
         "3125e-45",
         Conversion::ok, 0x1p-149f},  // 2^-149 exactly
        {"0.00000000000000000000000000000000000000000000140129846432481707092372958328991613128026194187651577175706828"
         "388979108268586060148663818836212158203125000",
         Conversion::ok, 0x1p-149f},
        {"0x1.fffffep-127", Conversion::out_of_range, 0.0f},  // rounds up to 2^-126, yet tiny
        {"0x1.000002p-140", Conversion::out_of_range, 0.0f},
        {"0x1p-150", Conversion::out_of_range, 0.0f},
        {"-0x1.8p-150", Conversion::out_of_range, 0.0f},
        {"1.4012984643248170709237295832899161312802619418765157717570682838897910826858606014866381883621215820"
         "31251e-45",
         Conversion::out_of_range, 0.0f},
        {"1.1754942807573642917278829910357665133228589927589904276829631184250030649651730385585324256680905818"
         "939208984375e-38",
         Conversion::out_of_range, 0.0f},  // 2^-126 - 2^-150
    };
    for (const FloatCase& c : cases) {
        float value = -1.0f;
        EXPECT_EQ(strict_float(c.text, value), c.kind) << '"' << c.text << '"';
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
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
