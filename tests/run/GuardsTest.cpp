// The guard every front-end asks before a file is programmed: which extension belongs to which
// region (the regions' own dialog patterns, any letter case), and the two forms of the doubt.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "run/Guards.h"

namespace orlo::run {
namespace {

struct GuardCase {
    RegionId target;
    std::string path;
    std::string question;  // empty: nothing in doubt
    std::string sentence;
};

class ImageGuard : public ::testing::TestWithParam<GuardCase> {};

TEST_P(ImageGuard, DoubtsAFileWithAnotherRegionsExtensionOnly) {
    const GuardCase& c = GetParam();
    const auto doubt = DoubtAboutImage(Region(c.target), c.path);
    EXPECT_EQ(ImageQuestion(Region(c.target), c.path), c.question);
    if (c.question.empty()) {
        EXPECT_FALSE(doubt);
        return;
    }
    ASSERT_TRUE(doubt);
    EXPECT_EQ(doubt->question, c.question);
    EXPECT_EQ(doubt->sentence, c.sentence);
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, ImageGuard,
    ::testing::Values(
        GuardCase{RegionId::Map, "/x/voice.adm",
                  "This file has the extension of voice data. Program it into the map region "
                  "anyway?",
                  "/x/voice.adm is a voice image (.adm), not a map image (.map)"},
        GuardCase{RegionId::Voice, "/x/APP.BIN",
                  "This file has the extension of application data. Program it into the voice "
                  "region anyway?",
                  "/x/APP.BIN is an application image (.BIN), not a voice image (.adm)"},
        GuardCase{RegionId::Application, "u.dat",
                  "This file has the extension of user data. Program it into the application "
                  "region anyway?",
                  "u.dat is a user image (.dat), not an application image (.bin)"},
        GuardCase{RegionId::Map, "/x/city.MAP", "", ""},      // its own, in capitals
        GuardCase{RegionId::User, "/x/user.dat", "", ""},     // its own
        GuardCase{RegionId::Map, "/x/image.img", "", ""},     // no region's extension
        GuardCase{RegionId::Map, "/x/adm", "", ""},           // a name, not an extension
        GuardCase{RegionId::Voice, "/x/voice.adm.bak", "", ""}));

TEST(RegionVocabulary, EachRegionsWordAndExtensionAgreeWithItsNameAndFileDialog) {
    for (const FlashRegion& r : kFlashRegions) {
        SCOPED_TRACE(std::string(r.name));
        // The file dialog offers the files the guard takes for the region's own.
        EXPECT_NE(r.openFilter.find("|*" + std::string(r.extension)), std::string_view::npos);
        std::string upper(r.name);
        for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_EQ(RegionOfWord(upper), r.id);
        EXPECT_EQ(RegionOfExtension("a/b" + std::string(r.extension)), r.id);
    }
    EXPECT_EQ(RegionOfExtension("a/b.MaP"), RegionId::Map);
    EXPECT_EQ(RegionOfWord("flash"), std::nullopt);
}

}  // namespace
}  // namespace orlo::run
