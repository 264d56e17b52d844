// The slots folder on a real file system, with pseudo-terminals as the devices.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "station/SlotWatcher.h"
#include "support/Pty.h"
#include "support/TestSystem.h"

namespace orlo::station {
namespace {

namespace fs = std::filesystem;

// Present() after the watcher has had time to hear of the last change.
const std::map<std::string, SlotDevice>& Settled(ISlotWatcher& w) {
    std::this_thread::sleep_for(w.Period());
    return w.Present();
}

TEST(DirSlotWatcher, OnlyLinksToSerialDevicesAreDevicesAndAReplacedLinkIsAnotherDevice) {
    const fs::path dir = test::MakeTempDir("slots");
    test::Pty first, second;
    ASSERT_TRUE(first.ok() && second.ok());
    fs::create_symlink(first.SlavePath(), dir / "slot-1");
    fs::create_symlink("/dev/null", dir / "null");
    fs::create_symlink(dir / "nowhere", dir / "dangling");
    fs::create_symlink(second.SlavePath(), dir / ".being-made");
    { std::ofstream(dir / "notes.txt") << "not a slot"; }
    fs::create_symlink(dir / "notes.txt", dir / "file");

    std::string error;
    auto watcher = MakeDirSlotWatcher(dir.string(), &error);
    ASSERT_TRUE(watcher) << error;
    auto present = watcher->Present();
    ASSERT_EQ(present.size(), 1u);
    const SlotDevice device = present.at("slot-1");
    EXPECT_EQ(device.path, (dir / "slot-1").string());
    EXPECT_EQ(device.node, fs::canonical(first.SlavePath()).string());
    const std::string problem = watcher->Problem();
    EXPECT_NE(problem.find("slot null leads to /dev/null"), std::string::npos) << problem;
    EXPECT_NE(problem.find("slot file leads to"), std::string::npos) << problem;
    EXPECT_EQ(problem.find("dangling"), std::string::npos) << problem;

    // The link is replaced in place (a rename over it): another device, at once.
    fs::rename(dir / ".being-made", dir / "slot-1");
    present = Settled(*watcher);
    ASSERT_EQ(present.count("slot-1"), 1u);
    EXPECT_NE(present.at("slot-1").identity, device.identity);
    EXPECT_EQ(present.at("slot-1").node, fs::canonical(second.SlavePath()).string());

    // Removed and made again to the same device between two looks: still another device.
    const std::string before = present.at("slot-1").identity;
    fs::remove(dir / "slot-1");
    fs::create_symlink(second.SlavePath(), dir / "slot-1");
    present = Settled(*watcher);
    ASSERT_EQ(present.count("slot-1"), 1u);
    EXPECT_NE(present.at("slot-1").identity, before);

    fs::remove(dir / "slot-1");
    EXPECT_TRUE(Settled(*watcher).empty());

    // The folder goes away and comes back.
    fs::remove_all(dir);
    EXPECT_TRUE(Settled(*watcher).empty());
    EXPECT_NE(watcher->Problem().find("cannot read the slots folder"), std::string::npos);
    fs::create_directories(dir);
    fs::create_symlink(first.SlavePath(), dir / "slot-2");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Settled(*watcher).count("slot-2"), 1u);
    fs::remove_all(dir);

    EXPECT_FALSE(MakeDirSlotWatcher((dir / "missing").string(), &error));
    EXPECT_NE(error.find("no such folder"), std::string::npos);
}

TEST(MatchRule, ParsesUsbIdsAndMatchesThem) {
    MatchRule rule;
    std::string error;
    ASSERT_TRUE(ParseMatch("0403:6001", &rule, &error));
    ASSERT_TRUE(ParseMatch("0403:6001:A50285BI", &rule, &error));
    EXPECT_EQ(rule.serialNumber, "A50285BI");
    for (const char* bad : {"0403", "403:6001", "0403:60012", "04g3:6001", "0403:6001:", ""})
        EXPECT_FALSE(ParseMatch(bad, &rule, &error)) << bad;
    MatchRule any;
    ASSERT_TRUE(ParseMatch("0403:6001", &any, &error));
    EXPECT_TRUE(Matches({any}, "0403", "6001", "X"));
    EXPECT_TRUE(Matches({rule}, "0403", "6001", "A50285BI"));
    EXPECT_FALSE(Matches({rule}, "0403", "6001", "OTHER"));
    EXPECT_FALSE(Matches({any}, "0403", "6015", ""));
}

}  // namespace
}  // namespace orlo::station
