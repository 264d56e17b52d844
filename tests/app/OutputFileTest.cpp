// The files the dialog writes: it changes only a file it created itself while the name still
// leads to it, creates without following links, keeps a replaced file's owner and mode, does
// not follow another user's link in a shared folder, and refuses Windows device names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "app/OutputFile.h"
#include "support/TestSystem.h"

namespace orlo {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OutputFileTest : public ::testing::Test {
  public:
    void SetUp() override {
        dir = test::MakeTempDir("orlo-outputfile-");
        ASSERT_FALSE(dir.empty());
        victim = dir / "victim";
        std::ofstream(victim, std::ios::binary) << "precious";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    bool Link(const fs::path& to, const fs::path& at) {
        std::error_code ec;
        fs::create_symlink(to, at, ec);
        return !ec;
    }

    fs::path dir;
    fs::path victim;
};

// What happens to the name of a file we created before we append to it, measure it, remove it
// or rename it into place: only while it is still our file does anything happen, and whatever
// stands there instead (and whatever it leads to) is left as it is.
struct SwapCase {
    const char* name;
    // Puts something else at `at`; false when the system cannot make it.
    std::function<bool(OutputFileTest&, const fs::path& at)> swap;
};

class OwnFileSwap : public OutputFileTest, public ::testing::WithParamInterface<SwapCase> {};

TEST_P(OwnFileSwap, OnlyTheFileWeCreatedIsChanged) {
    const fs::path target = dir / "out.bin";
    const auto own = CreateBeside(target.string(), ".partial");
    ASSERT_TRUE(own);
    EXPECT_EQ(own->path, target.string() + ".partial");
    ASSERT_TRUE(AppendOwned(*own, "abc", 3));
    EXPECT_EQ(OwnedSize(*own), 3u);

    // Made beside it and renamed over it, as an editor or an attacker would.
    const fs::path swapped = own->path + ".swap";
    if (!GetParam().swap(*this, swapped)) GTEST_SKIP() << "this system cannot make it";
    if (fs::exists(fs::symlink_status(swapped)))
        fs::rename(swapped, own->path);
    else
        fs::remove(own->path);
    const auto before = fs::symlink_status(own->path).type();

    EXPECT_FALSE(AppendOwned(*own, "xyz", 3));
    EXPECT_FALSE(OwnedSize(*own));
    EXPECT_FALSE(RemoveOwned(*own));
    std::string why;
    EXPECT_FALSE(ReplaceWith(*own, target.string(), &why));
    EXPECT_NE(why.find("no longer the file"), std::string::npos) << why;

    EXPECT_EQ(fs::symlink_status(own->path).type(), before);
    EXPECT_EQ(ReadAll(victim), "precious");
    EXPECT_FALSE(fs::exists(target));
}

INSTANTIATE_TEST_SUITE_P(
    Swaps, OwnFileSwap,
    ::testing::Values(
        SwapCase{"LinkToAnotherFile",
                 [](OutputFileTest& t, const fs::path& at) { return t.Link(t.victim, at); }},
        SwapCase{"AnotherRegularFile",
                 [](OutputFileTest&, const fs::path& at) {
                     std::ofstream(at, std::ios::binary) << "theirs";
                     return true;
                 }},
        SwapCase{"HardLinkToAnotherFile",
                 [](OutputFileTest& t, const fs::path& at) {
                     std::error_code ec;
                     fs::create_hard_link(t.victim, at, ec);
                     return !ec;
                 }},
        SwapCase{"Pipe",
                 [](OutputFileTest&, const fs::path& at) { return test::MakeFifo(at.string()); }},
        SwapCase{"Nothing", [](OutputFileTest&, const fs::path&) { return true; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OutputFileTest, NewFilesAreCreatedExclusivelyAndNeverThroughALink) {
    const fs::path taken = dir / "taken";
    std::ofstream(taken) << "mine";
    int error = 0;
    EXPECT_FALSE(CreateExclusive(taken.string(), {}, &error));
    EXPECT_EQ(error, EEXIST);
    EXPECT_EQ(ReadAll(taken), "mine");

    // A link in the way, dangling or not, is a taken name: its target is never created or
    // truncated.
    const fs::path dangling = dir / "dangling";
    if (Link(dir / "created-through", dangling)) {
        EXPECT_FALSE(CreateExclusive(dangling.string(), {}, &error));
        EXPECT_FALSE(fs::exists(dir / "created-through"));
        ASSERT_TRUE(Link(victim, dir / "x.partial"));
        const auto beside = CreateBeside((dir / "x").string(), ".partial");
        ASSERT_TRUE(beside);
        EXPECT_EQ(beside->path, (dir / "x").string() + ".partial-2");
        EXPECT_EQ(ReadAll(victim), "precious");
    }

    // A device is never the file a name leads to, and nothing we did removed one.
    EXPECT_FALSE(RemoveOwned({"/dev/null", {}}));
}

#ifndef _WIN32
// A replaced file keeps who owns it, its group and its permissions; the file beside it is made
// as private as the file it will replace from the start.
TEST_F(OutputFileTest, ReplacedFileKeepsOwnerGroupAndMode) {
    const fs::path target = dir / "report.json";
    std::ofstream(target) << "old";
    ASSERT_EQ(::chmod(target.c_str(), 0600), 0);
    const bool root = ::geteuid() == 0;
    // As root the file belongs to another user, as when root writes into a user's file.
    const uid_t owner = root ? 4321 : ::geteuid();
    const gid_t group = root ? 4322 : ::getegid();
    if (root) {
        ASSERT_EQ(::chown(target.c_str(), owner, group), 0);
    }

    const auto fresh = CreateBeside(target.string(), ".new");
    ASSERT_TRUE(fresh);
    struct stat st {};
    ASSERT_EQ(::stat(fresh->path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_TRUE(AppendOwned(*fresh, "new", 3));
    std::string why;
    ASSERT_TRUE(ReplaceWith(*fresh, target.string(), &why)) << why;

    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(ReadAll(target), "new");
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_FALSE(fs::exists(fresh->path));

    // The whole-file writer (headers, reports) keeps them the same way.
    ASSERT_TRUE(WriteWholeFile(target.string(), "newer", &why)) << why;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(ReadAll(target), "newer");
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(st.st_uid, owner);
}

// In a sticky folder everyone may write to (such as /tmp), a link that belongs neither to us
// nor to the folder's owner is not followed: another user may have placed it to make us write
// where they may not. Links of our own, and links of the folder's owner, are followed.
TEST_F(OutputFileTest, AnotherUsersLinkInASharedFolderIsNotFollowed) {
    if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
    const fs::path shared = dir / "shared";
    fs::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    const fs::path link = shared / "out.json";
    ASSERT_TRUE(Link(victim, link));

    EXPECT_EQ(OutputRefusal(link.string()), "");  // our own link
    ASSERT_EQ(::lchown(link.c_str(), 4321, 4321), 0);
    const std::string refusal = OutputRefusal(link.string());
    EXPECT_NE(refusal.find("symbolic link of another user"), std::string::npos) << refusal;
    EXPECT_FALSE(WriteWholeFile(link.string(), "root's text"));
    EXPECT_FALSE(OpenEmptied(link.string(), nullptr));
    EXPECT_EQ(ReadAll(victim), "precious");

    // The folder's owner's link, and a link in a folder that is not shared, are followed.
    ASSERT_EQ(::chown(shared.c_str(), 4321, 4321), 0);
    EXPECT_EQ(OutputRefusal(link.string()), "");
    ASSERT_EQ(::chown(shared.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0755), 0);
    EXPECT_EQ(OutputRefusal(link.string()), "");
}

// Outputs that are not files: refused before anything is opened.
TEST_F(OutputFileTest, OnlyRegularFilesAreOutputs) {
    EXPECT_EQ(OutputRefusal("/dev/null"), "it is not a regular file");
    EXPECT_EQ(OutputRefusal(dir.string()), "it is a directory");
    const fs::path fifo = dir / "fifo";
    ASSERT_TRUE(test::MakeFifo(fifo.string()));
    EXPECT_EQ(OutputRefusal(fifo.string()), "it is not a regular file");
    ASSERT_TRUE(Link(fifo, dir / "to-fifo"));
    EXPECT_EQ(OutputRefusal((dir / "to-fifo").string()), "it is not a regular file");
    EXPECT_FALSE(OpenEmptied(fifo.string(), nullptr));  // returns: it never waits for a reader
}
#endif

TEST(WindowsDeviceNames, AreKnownInEverySpelling) {
    struct Case {
        const char* path;
        bool device;
    };
    const Case cases[] = {
        {"NUL", true},           {"nul", true},          {"CON", true},
        {"aux.txt", true},       {"COM1", true},         {"com9.bin", true},
        {"LPT3", true},          {"C:\\work\\NUL", true}, {"out\\con .log", true},
        {"\\\\.\\NUL", true},    {"\\\\.\\COM12", true}, {"//./pipe/x", true},
        {"conin$", true},        {"\\\\?\\GLOBALROOT\\Device\\Null", true},
        {"COM10", false},        {"console.txt", false}, {"nul2", false},
        {"backup.bin", false},   {"C:\\NULL\\a.bin", false},
        {"\\\\?\\C:\\long\\a.bin", false},              {"\\\\?\\UNC\\server\\share\\a", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsWindowsDeviceName(c.path), c.device) << c.path;
}

}  // namespace
}  // namespace orlo
