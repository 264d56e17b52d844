// The R-line rewrite and the log file's line ends, as pure functions.
#include "log/RLine.h"

#include <gtest/gtest.h>

#include <string>

namespace orlo {
namespace {

std::string Rewrite(const std::string& line) {
    return RewriteRLine(reinterpret_cast<const uint8_t*>(line.data()), line.size());
}

struct RLineCase {
    const char* name;
    std::string line;
    std::string shown;
};

class RLineRewrite : public ::testing::TestWithParam<RLineCase> {};

TEST_P(RLineRewrite, ShowsDecimal) {
    EXPECT_EQ(Rewrite(GetParam().line), GetParam().shown);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RLineRewrite,
    ::testing::Values(
        // The trailing number without a comma is dropped.
        RLineCase{"TrailingNumberDropped", "R 0A,1F,3C,7\r\n", "10,31,60,\r\n"},
        RLineCase{"AllNumbersKeptWithFinalComma", "R 0A,1F,3C,7,\r\n", "10,31,60,7,\r\n"},
        // Wrapping 32-bit arithmetic, shown signed.
        RLineCase{"AllOnesIsMinusOne", "R FFFFFFFF,\r\n", "-1,\r\n"},
        RLineCase{"NineDigitsWrap", "R 1FFFFFFFF,100000000,123456789,\r\n", "-1,0,591751049,\r\n"},
        RLineCase{"SignBoundary", "R 7FFFFFFF,80000000,\r\n", "2147483647,-2147483648,\r\n"},
        // Blanks vanish, CR and LF stay where they are.
        RLineCase{"BlanksVanish", "R  0 A , 1 F ,\r\n", "10,31,\r\n"},
        RLineCase{"CrLfKeptInPlace", "R 1,\r2,\n", "1,\r2,\n"},
        RLineCase{"LfCrEnding", "R 10,\n\r", "16,\n\r"},
        // Bytes [0] and [1] are never carried over, whatever they are.
        RLineCase{"SecondByteDropped", "RF5,\r\n", "5,\r\n"},
        // Other characters count by the same two formulas: 'a' counts 42, '!' counts -15.
        RLineCase{"LowerCaseCountsFortyTwo", "R a,\r\n", "42,\r\n"},
        RLineCase{"PunctuationCountsNegative", "R !,\r\n", "-15,\r\n"},
        RLineCase{"EmptyNumberIsZero", "R ,,\r\n", "0,0,\r\n"},
        RLineCase{"OnlyTheLetter", "R", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Only a line shaped as a number report is rewritten; the device's words that happen to
// begin with R are its own text.
TEST(RLineShape, OnlyNumberReportsAreRewritten) {
    struct Case {
        const char* line;
        bool report;
    };
    const Case cases[] = {
        {"R 0A,1F,3C,7\r\n", true}, {"R FFFFFFFF,\r\n", true}, {"R:12,34,\r\n", true},
        {"R  0 A , 1 F ,\r\n", true}, {"R 1,\r2,\n", true},     {"R 10,\n\r", true},
        {"Reset done\r\n", false},   {"Ready\r\n", false},     {"R\r\n", false},
        {"R \r\n", false},           {"R ,,\r\n", false},      {"RF5,\r\n", false},
        {"R ff,1\r\n", false},       {"R 12, ok\r\n", false},  {"r 12,\r\n", false},
        {"ROM 3,\r\n", false},       {"R", false},              {"", false},
    };
    for (const Case& c : cases) {
        const std::string line = c.line;
        EXPECT_EQ(IsNumberReport(reinterpret_cast<const uint8_t*>(line.data()), line.size()),
                  c.report)
            << line;
    }
}

TEST(LogFileText, EveryLfBecomesCrLf) {
    EXPECT_EQ(LogFileText("OK\r\n"), "OK\r\r\n");
    EXPECT_EQ(LogFileText("Start Time : 2013:03:07:14:05:09\n"),
              "Start Time : 2013:03:07:14:05:09\r\n");
    EXPECT_EQ(LogFileText("a\n\rb\n\n"), "a\r\n\rb\r\n\r\n");
    EXPECT_EQ(LogFileText("no line end"), "no line end");
    EXPECT_EQ(LogFileText(""), "");
}

}  // namespace
}  // namespace orlo
