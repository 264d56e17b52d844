// Bundles and manifests: the programming order, and every refusal before a port opens.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "record/Manifest.h"
#include "record/Sha256.h"
#include "support/TestSystem.h"

namespace orlo::record {
namespace {

namespace fs = std::filesystem;

class ManifestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = test::MakeTempDir("orlo-manifest");
        ASSERT_FALSE(m_dir.empty());
        Write("voice.adm", "voice bytes");
        Write("map.map", "map bytes");
        Write("app.bin", "application bytes");
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string Path(const std::string& name) const { return (m_dir / name).string(); }
    void Write(const std::string& name, const std::string& bytes) const {
        std::ofstream(m_dir / name, std::ios::binary) << bytes;
    }
    std::string Hash(const std::string& name) const { return FileSha256(Path(name)).value(); }

    fs::path m_dir;
};

TEST_F(ManifestTest, PairsAreProgrammedInFlashOrderAndARegionTwiceIsRefused) {
    std::string error;
    const auto bundle =
        BundleFromPairs({"application", "app.bin", "MAP", "map.map", "voice", "voice.adm"}, &error);
    ASSERT_TRUE(bundle) << error;
    ASSERT_EQ(bundle->images.size(), 3u);
    EXPECT_EQ(bundle->images[0].region, RegionId::Voice);
    EXPECT_EQ(bundle->images[1].region, RegionId::Map);
    EXPECT_EQ(bundle->images[2].region, RegionId::Application);
    EXPECT_EQ(bundle->images[2].path, "app.bin");

    EXPECT_FALSE(BundleFromPairs({"voice", "a.adm", "map", "m.map", "voice", "b.adm"}, &error));
    EXPECT_EQ(error, "region voice is given twice (a.adm and b.adm): a run programs each region once");
    EXPECT_FALSE(BundleFromPairs({"voice", "a.adm", "map"}, &error));
    EXPECT_EQ(error, "REGION and FILE come in pairs: map has no file after it");
    EXPECT_FALSE(BundleFromPairs({"eeprom", "a.bin"}, &error));
    EXPECT_EQ(error, "eeprom is not a region: the regions are voice, map, user and application");
}

TEST_F(ManifestTest, WrittenManifestLoadsBackWithEveryFilePinned) {
    std::string error;
    auto bundle = BundleFromPairs({"application", Path("app.bin"), "voice", Path("voice.adm")}, &error);
    ASSERT_TRUE(bundle) << error;
    fs::create_directory(m_dir / "release");
    const std::string manifest = Path("release/line.json");
    ASSERT_EQ(WriteManifest(*bundle, "release-4.2", manifest), "");

    std::ifstream in(manifest);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"file\": \"../voice.adm\""), std::string::npos) << text;

    const ManifestLoad load = LoadManifest(manifest);
    ASSERT_TRUE(load.bundle) << load.error;
    EXPECT_EQ(load.bundle->manifestName, "release-4.2");
    EXPECT_EQ(load.bundle->manifestSha256, Sha256Hex(text));
    ASSERT_EQ(load.bundle->images.size(), 2u);
    EXPECT_EQ(load.bundle->images[0].region, RegionId::Voice);
    EXPECT_TRUE(fs::equivalent(load.bundle->images[0].path, Path("voice.adm")));
    EXPECT_EQ(load.bundle->images[0].sha256, Hash("voice.adm"));
    EXPECT_EQ(load.bundle->images[1].region, RegionId::Application);
    EXPECT_EQ(load.bundle->images[1].sha256, Hash("app.bin"));
}

TEST_F(ManifestTest, EveryFaultOfAManifestIsRefusedWithItsSentence) {
    const std::string voice = Hash("voice.adm");
    const std::string map = Hash("map.map");
    auto image = [](const std::string& region, const std::string& file, const std::string& sha) {
        return "{\"region\": \"" + region + "\", \"file\": \"" + file + "\", \"sha256\": \"" +
               sha + "\"}";
    };
    auto doc = [](const std::string& images) {
        return "{\"schema\": 1, \"name\": \"r1\", \"images\": [" + images + "]}";
    };
    const std::string wrong(64, 'a');
    struct Case {
        const char* what;
        std::string document;
        std::string sentence;  // after "manifest PATH: "
    };
    const Case cases[] = {
        {"wrong hash", doc(image("voice", "voice.adm", voice) + "," + image("map", "map.map", wrong)),
         "the map image " + Path("map.map") + " has SHA-256 " + map + ", not the pinned " + wrong +
             ": the file is not the one the manifest was written for"},
        {"missing file", doc(image("voice", "gone.adm", voice)),
         "the voice image " + Path("gone.adm") + " cannot be used: it does not exist"},
        {"unknown region", doc(image("eeprom", "voice.adm", voice)),
         "image 1 names the region \"eeprom\", which is not one of voice, map, user and application"},
        {"region twice", doc(image("voice", "voice.adm", voice) + "," + image("voice", "map.map", map)),
         "region voice is given twice (" + Path("voice.adm") + " and " + Path("map.map") +
             "): a run programs each region once"},
        {"newer schema", "{\"schema\": 2, \"name\": \"r1\", \"images\": []}",
         "it has schema 2; this orlo reads schema 1"},
        {"not JSON", "{\"schema\": 1,",
         "it is not JSON (parse error at line 1, column 14: syntax error while parsing object key "
         "- unexpected end of input; expected string literal)"},
        {"no images", doc(""), "it lists no \"images\""},
        {"short hash", doc(image("voice", "voice.adm", "abc")),
         "the voice image has no \"sha256\" of 64 hex digits"},
        {"absolute file", doc(image("voice", "/etc/passwd", voice)),
         "the voice image's file /etc/passwd is not relative to the manifest's folder"},
    };
    for (const Case& c : cases) {
        Write("m.json", c.document);
        const ManifestLoad load = LoadManifest(Path("m.json"));
        EXPECT_FALSE(load.bundle) << c.what;
        EXPECT_EQ(load.error, "manifest " + Path("m.json") + ": " + c.sentence) << c.what;
    }
}

}  // namespace
}  // namespace orlo::record
