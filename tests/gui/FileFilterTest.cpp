// The filters and default extensions the dialog passes, in Qt's syntax.
#include <gtest/gtest.h>

#include "FileFilter.h"
#include "images/FlashRegion.h"
#include "protocol/ReadBack.h"

namespace orlo::gui {
namespace {

struct FilterCase {
    const char* name;
    const char* filter;
    QStringList expected;
};

void PrintTo(const FilterCase& c, std::ostream* os) {
    *os << '"' << c.filter << '"';
}

class QtNameFiltersTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(QtNameFiltersTest, Translates) {
    EXPECT_EQ(QtNameFilters(GetParam().filter), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    DialogFilters, QtNameFiltersTest,
    ::testing::Values(
        // Open dialogs of the Program buttons: one description, the pattern twice.
        FilterCase{"ProgramApplication",
                   "bin file(*.bin), bin file(*.bin)|*.bin;*.bin",
                   {"bin file(*.bin), bin file(*.bin) (*.bin *.bin)"}},
        FilterCase{"ReadLogAndSave",
                   "csv file(*.csv), csv file(*.csv)|*.csv;*.csv",
                   {"csv file(*.csv), csv file(*.csv) (*.csv *.csv)"}},
        FilterCase{"Bitmap",
                   "BitMap file(*.bmp), bmp file(*.bmp)|*.bmp;*.bmp",
                   {"BitMap file(*.bmp), bmp file(*.bmp) (*.bmp *.bmp)"}},
        // Save dialogs of the read-back: blanks around the pieces, "all files" as "*".
        FilterCase{"ReadBackWithAllFiles",
                   "bin File(*.bin) | *.bin | 모든파일(*.*) | *.*|",
                   {"bin File(*.bin) (*.bin)", "모든파일(*.*) (*)"}},
        // A trailing description without patterns, and nothing at all.
        FilterCase{"DanglingDescription", "a (*.a)|*.a|dangling", {"a (*.a) (*.a)"}},
        FilterCase{"Empty", "", {}}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

TEST(QtNameFilters, EveryFilterOfTheRegionAndReadBackTablesGivesItsPatterns) {
    for (const auto& region : kFlashRegions) {
        const QStringList filters = QtNameFilters(region.openFilter);
        ASSERT_EQ(filters.size(), 1) << region.name;
        EXPECT_TRUE(filters[0].endsWith(
            QStringLiteral("(*.%1 *.%1)").arg(QString::fromUtf8(region.openFilter.substr(0, 3)))))
            << filters[0].toStdString();
    }
    for (const auto& row : kReadBackRows) {
        const QStringList filters = QtNameFilters(row.filter);
        ASSERT_EQ(filters.size(), 2);
        EXPECT_EQ(filters[1], QStringLiteral("모든파일(*.*) (*)"));
    }
}

TEST(DefaultSuffix, KeepsTheFirstThreeCharactersWithoutADot) {
    EXPECT_EQ(DefaultSuffix("bin file"), QStringLiteral("bin"));
    EXPECT_EQ(DefaultSuffix("Map file"), QStringLiteral("Map"));
    EXPECT_EQ(DefaultSuffix("Data file"), QStringLiteral("Dat"));
    EXPECT_EQ(DefaultSuffix(".h"), QStringLiteral("h"));
    EXPECT_EQ(DefaultSuffix(""), QString());
}

}  // namespace
}  // namespace orlo::gui
